// Mentions of settings inside messages, and their spelling by a host.
#include <hdrmeter/settings.h>

namespace hdrmeter::clip {

namespace {

constexpr char kOpen = '\x01';
constexpr char kValue = '\x1f';
constexpr char kClose = '\x02';

}  // namespace

std::string mention(const std::string& name)
{
    return kOpen + name + kClose;
}

std::string mention(const std::string& name, const std::string& value)
{
    return kOpen + name + kValue + value + kClose;
}

std::string spelled(const std::string& message, const SettingSpeller& speller)
{
    std::string text;
    std::size_t at = 0;
    while (at < message.size()) {
        const std::size_t open = message.find(kOpen, at);
        const std::size_t close = open == std::string::npos ? open : message.find(kClose, open);
        if (close == std::string::npos) {
            text.append(message, at, std::string::npos);
            break;
        }
        text.append(message, at, open - at);
        const std::string inside = message.substr(open + 1, close - open - 1);
        const std::size_t valueAt = inside.find(kValue);
        const std::string name = inside.substr(0, valueAt);
        if (valueAt == std::string::npos) {
            text += speller(name, nullptr);
        } else {
            const std::string value = inside.substr(valueAt + 1);
            text += speller(name, &value);
        }
        at = close + 1;
    }
    return text;
}

std::string spelledPlainly(const std::string& message)
{
    return spelled(message, [](const std::string& name, const std::string* value) {
        return value ? name + "=" + *value : name;
    });
}

RequestError::RequestError(const std::string& message)
    : std::invalid_argument(spelledPlainly(message)), message_(message)
{
}

InputError::InputError(const std::string& message) : std::runtime_error(spelledPlainly(message)), message_(message) {}

InputError::InputError(const std::string& message, int systemError, const std::string& path)
    : std::runtime_error(spelledPlainly(message)), message_(message), systemError_(systemError), path_(path)
{
}

}  // namespace hdrmeter::clip
