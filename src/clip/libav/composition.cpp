#include "composition.h"

#include <fstream>
#include <iterator>
#include <map>

namespace hdrmeter::clip {

namespace {

std::string fileText(const std::string& path, std::size_t most = std::string::npos)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::string text;
    if (most == std::string::npos) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
        text.resize(most);
        in.read(text.data(), static_cast<std::streamsize>(most));
        text.resize(static_cast<std::size_t>(in.gcount()));
    }
    return text;
}

// The element's local name at `open` ('<' of a start tag), without a namespace prefix.
std::string localNameAt(const std::string& xml, std::size_t open)
{
    std::size_t end = xml.find_first_of(" \t\r\n/>", open + 1);
    if (end == std::string::npos)
        return {};
    std::string name = xml.substr(open + 1, end - open - 1);
    const std::size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

// The start tags named `name` (any prefix) in xml[from, to), by the position of their content.
std::vector<std::size_t> elements(const std::string& xml, const std::string& name, std::size_t from, std::size_t to)
{
    std::vector<std::size_t> found;
    for (std::size_t open = xml.find('<', from); open != std::string::npos && open < to; open = xml.find('<', open + 1)) {
        if (xml[open + 1] == '/' || xml[open + 1] == '?' || xml[open + 1] == '!' || localNameAt(xml, open) != name)
            continue;
        const std::size_t close = xml.find('>', open);
        if (close == std::string::npos)
            break;
        found.push_back(close + 1);
    }
    return found;
}

// The end of the element whose content starts at `content`: its matching end tag's '<'.
std::size_t endOf(const std::string& xml, std::size_t content, const std::string& name)
{
    std::size_t depth = 1;
    for (std::size_t open = xml.find('<', content); open != std::string::npos; open = xml.find('<', open + 1)) {
        const bool closing = xml[open + 1] == '/';
        const std::string tag = closing ? localNameAt(xml, open + 1) : localNameAt(xml, open);
        if (tag != name)
            continue;
        const std::size_t close = xml.find('>', open);
        if (!closing && close != std::string::npos && xml[close - 1] != '/')
            ++depth;
        else if (closing && --depth == 0)
            return open;
    }
    return xml.size();
}

std::string unescaped(std::string text)
{
    static const std::pair<const char*, const char*> entities[] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (const auto& [entity, character] : entities)
        for (std::size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1))
            text.replace(at, std::char_traits<char>::length(entity), character);
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    const std::size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// The text of the first element `name` in xml[from, to).
std::string textOf(const std::string& xml, const std::string& name, std::size_t from, std::size_t to)
{
    const std::vector<std::size_t> found = elements(xml, name, from, to);
    if (found.empty())
        return {};
    return unescaped(xml.substr(found.front(), endOf(xml, found.front(), name) - found.front()));
}

std::string bareUuid(std::string id)
{
    if (id.rfind("urn:uuid:", 0) == 0)
        id.erase(0, 9);
    for (char& c : id)
        c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return id;
}

}  // namespace

bool isCompositionPlaylist(const std::string& path)
{
    if (path.size() < 4)
        return false;
    std::string extension = path.substr(path.size() - 4);
    for (char& c : extension)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (extension != ".xml")
        return false;
    const std::string head = fileText(path, 4096);
    for (std::size_t open = head.find('<'); open != std::string::npos; open = head.find('<', open + 1))
        if (head[open + 1] != '?' && head[open + 1] != '!')
            return localNameAt(head, open) == "CompositionPlaylist";
    return false;
}

std::string assetMapOf(const std::string& cplPath, const std::string& given)
{
    if (!given.empty())
        return given;
    const std::size_t slash = cplPath.rfind('/');
    return (slash == std::string::npos ? std::string() : cplPath.substr(0, slash + 1)) + "ASSETMAP.xml";
}

Composition readComposition(const std::string& cplPath, const std::string& assetMapPath)
{
    Composition composition;
    const std::string cpl = fileText(cplPath);
    composition.title = textOf(cpl, "ContentTitle", 0, cpl.size());
    const std::string map = fileText(assetMapPath);
    std::map<std::string, std::string> paths;
    for (std::size_t asset : elements(map, "Asset", 0, map.size())) {
        const std::size_t end = endOf(map, asset, "Asset");
        paths[bareUuid(textOf(map, "Id", asset, end))] = textOf(map, "Path", asset, end);
    }
    for (std::size_t sequence : elements(cpl, "MainImageSequence", 0, cpl.size())) {
        const std::size_t end = endOf(cpl, sequence, "MainImageSequence");
        for (std::size_t resource : elements(cpl, "Resource", sequence, end)) {
            const std::string id = bareUuid(textOf(cpl, "TrackFileId", resource, endOf(cpl, resource, "Resource")));
            const auto path = paths.find(id);
            composition.reels.push_back(path != paths.end() && !path->second.empty() ? path->second : id);
        }
    }
    return composition;
}

}  // namespace hdrmeter::clip
