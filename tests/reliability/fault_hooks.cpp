// The interposers behind fault_hooks.h. They forward to the next definition in the lookup order (the C
// library's, or LeakSanitizer's when the executable links it) found with dlsym(RTLD_NEXT). dlsym may
// itself allocate before the first lookup has finished; those few early blocks come from a static
// arena and are never given back.
//
// This cannot be combined with AddressSanitizer or ThreadSanitizer, whose runtimes own malloc; the
// executable links LeakSanitizer alone, which keeps the leak check while letting these hooks sit in
// front of its allocator.
#include "fault_hooks.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

std::atomic<long long> counted{0}, failAt{0}, running{0};
std::atomic<bool> injected{false}, failNext{false}, threadStartFailed{false};
thread_local bool armed = false;
thread_local const void* newCaller = nullptr;  // who called operator new, while it allocates

decltype(&::malloc) realMalloc;
decltype(&::calloc) realCalloc;
decltype(&::realloc) realRealloc;
decltype(&::free) realFree;
decltype(&::posix_memalign) realPosixMemalign;
decltype(&::aligned_alloc) realAlignedAlloc, realMemalign;  // memalign has aligned_alloc's signature
decltype(&::pthread_create) realPthreadCreate;

alignas(64) char arena[1 << 16];
std::size_t arenaUsed;
bool resolving;

bool fromArena(const void* block) {
    return static_cast<const char*>(block) >= arena && static_cast<const char*>(block) < arena + sizeof(arena);
}

void* arenaAllocate(std::size_t bytes) {
    bytes = (bytes + 63) & ~std::size_t{63};
    if (arenaUsed + bytes > sizeof(arena)) std::abort();
    void* block = arena + arenaUsed;
    arenaUsed += bytes;
    return block;  // static storage, already zero
}

template <typename Function>
void lookUp(Function& function, const char* name) {
    function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void resolve() {
    if (realFree != nullptr || resolving) return;
    resolving = true;
    lookUp(realMalloc, "malloc");
    lookUp(realCalloc, "calloc");
    lookUp(realRealloc, "realloc");
    lookUp(realPosixMemalign, "posix_memalign");
    lookUp(realAlignedAlloc, "aligned_alloc");
    lookUp(realMemalign, "memalign");
    lookUp(realPthreadCreate, "pthread_create");
    lookUp(realFree, "free");  // last: its presence tells the others are there
    resolving = false;
}

bool ready() {
    resolve();
    return realFree != nullptr;
}

// OpenCV's matrix allocator takes the data block first and only then allocates the record that owns it
// with operator new; when that new throws, the data block is lost. That leak is OpenCV's, so this one
// allocation is passed over and the failure moves to the next one.
bool isOpenCvMatrixRecord(const void* caller) {
    if (caller == nullptr) return false;
    Dl_info symbol;
    if (dladdr(caller, &symbol) == 0 || symbol.dli_sname == nullptr) return false;
    return std::strncmp(symbol.dli_sname, "_ZN2cv3Mat6create", 17) == 0 ||
           std::strncmp(symbol.dli_sname, "_ZNK2cv16StdMatAllocator8allocate", 33) == 0;
}

// True when this allocation or thread start is the one to fail. A failure passed over goes to whichever
// allocation or thread start comes next, on any thread.
bool failHere() {
    if (!armed) return false;
    const long long number = counted.fetch_add(1) + 1;
    if (number != failAt.load() && !failNext.exchange(false)) return false;
    armed = false;  // dladdr must not count
    const bool passOver = isOpenCvMatrixRecord(newCaller);
    armed = true;
    if (passOver) {
        failNext.store(true);
        return false;
    }
    injected.store(true);
    return true;
}

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

void* armedThread(void* start) {
    const ThreadStart copy = *static_cast<ThreadStart*>(start);
    realFree(start);
    armed = true;
    void* result = copy.routine(copy.argument);
    armed = false;
    running.fetch_sub(1);
    return result;
}

// The C allocators: from the arena while the real ones are being looked up, else failed or forwarded.
template <typename Real, typename... Arguments>
void* allocate(Real& real, std::size_t arenaBytes, Arguments... arguments) {
    if (!ready()) return arenaAllocate(arenaBytes);
    return failHere() ? nullptr : real(arguments...);
}

void* allocateOrThrow(std::size_t bytes, const void* caller) {
    newCaller = caller;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    newCaller = nullptr;
    if (block != nullptr) return block;
    throw std::bad_alloc();
}

void* allocateAlignedOrThrow(std::size_t bytes, std::size_t alignment) {
    void* block = nullptr;
    if (posix_memalign(&block, alignment < sizeof(void*) ? sizeof(void*) : alignment, bytes == 0 ? 1 : bytes) == 0) {
        return block;
    }
    throw std::bad_alloc();
}

}  // namespace

namespace faults {

void arm(long long failOn) {
    counted.store(0);
    injected.store(false);
    failNext.store(false);
    threadStartFailed.store(false);
    failAt.store(failOn);
    armed = true;
}

Outcome disarm() {
    armed = false;
    Outcome outcome;
    outcome.counted = counted.load();
    outcome.injected = injected.load();
    outcome.threadStart = threadStartFailed.load();
    failAt.store(0);
    failNext.store(false);
    return outcome;
}

long long tasksRunning() { return running.load(); }

}  // namespace faults

extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

int faults::leakCheck() { return __lsan_do_recoverable_leak_check != nullptr ? __lsan_do_recoverable_leak_check() : -1; }

extern "C" {

void* malloc(std::size_t bytes) { return allocate(realMalloc, bytes, bytes); }
void* calloc(std::size_t count, std::size_t size) { return allocate(realCalloc, count * size, count, size); }
void* aligned_alloc(std::size_t alignment, std::size_t bytes) {
    return allocate(realAlignedAlloc, bytes, alignment, bytes);
}
void* memalign(std::size_t alignment, std::size_t bytes) { return allocate(realMemalign, bytes, alignment, bytes); }

void* realloc(void* block, std::size_t bytes) {
    if (block != nullptr && fromArena(block)) {
        void* moved = malloc(bytes);
        if (moved != nullptr) {
            const std::size_t available = static_cast<std::size_t>(arena + sizeof(arena) - static_cast<char*>(block));
            std::memcpy(moved, block, bytes < available ? bytes : available);
        }
        return moved;
    }
    return allocate(realRealloc, bytes, block, bytes);
}

void free(void* block) {
    if (block == nullptr || fromArena(block)) return;
    if (ready()) realFree(block);
}

int posix_memalign(void** block, std::size_t alignment, std::size_t bytes) {
    if (!ready()) {
        *block = arenaAllocate(bytes);
        return 0;
    }
    if (failHere()) return ENOMEM;
    return realPosixMemalign(block, alignment, bytes);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument) {
    resolve();
    if (!armed) return realPthreadCreate(thread, attributes, routine, argument);
    if (failHere()) {
        threadStartFailed.store(true);
        return EAGAIN;
    }
    auto* start = static_cast<ThreadStart*>(realMalloc(sizeof(ThreadStart)));
    if (start == nullptr) return EAGAIN;
    *start = ThreadStart{routine, argument};
    running.fetch_add(1);
    const int status = realPthreadCreate(thread, attributes, &armedThread, start);
    if (status != 0) {
        running.fetch_sub(1);
        realFree(start);
    }
    return status;
}

}  // extern "C"

// Every form of new, so that no allocation of the library or its dependencies slips past the count (a
// sanitizer runtime's own new would). The forms of delete are left as they are: they only give back.
void* operator new(std::size_t bytes) { return allocateOrThrow(bytes, __builtin_return_address(0)); }
void* operator new[](std::size_t bytes) { return allocateOrThrow(bytes, __builtin_return_address(0)); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return std::malloc(bytes == 0 ? 1 : bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return std::malloc(bytes == 0 ? 1 : bytes); }
void* operator new(std::size_t bytes, std::align_val_t alignment) {
    return allocateAlignedOrThrow(bytes, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t bytes, std::align_val_t alignment) {
    return allocateAlignedOrThrow(bytes, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t bytes, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    try {
        return allocateAlignedOrThrow(bytes, static_cast<std::size_t>(alignment));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t bytes, std::align_val_t alignment, const std::nothrow_t& tag) noexcept {
    return operator new(bytes, alignment, tag);
}
