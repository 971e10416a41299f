// The hooks behind fault_hooks.h. The executable links LeakSanitizer, whose runtime owns the allocator
// and exports its entry points under __interceptor_ names: the hooks count, fail or pass the call on to
// those, so every block stays under the leak check. (Address and thread sanitizers own malloc in their
// own way; this cannot be combined with them.)
#include "fault_hooks.h"

#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>

extern "C" {
void* __interceptor_malloc(std::size_t);
void* __interceptor_calloc(std::size_t, std::size_t);
void* __interceptor_realloc(void*, std::size_t);
void* __interceptor_memalign(std::size_t, std::size_t);
void* __interceptor_aligned_alloc(std::size_t, std::size_t);
int __interceptor_posix_memalign(void**, std::size_t, std::size_t);
void __interceptor_free(void*);
int __interceptor_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int __interceptor_pthread_join(pthread_t, void**);
int __lsan_do_recoverable_leak_check();
}

namespace {

std::atomic<long long> counted{0}, failAt{0};
std::atomic<bool> injected{false}, failNext{false}, threadStartFailed{false};
thread_local bool armed = false;
thread_local const void* newCaller = nullptr;  // who called operator new, while it allocates

std::mutex threadsLock;
pthread_t unjoined[256];  // threads started while armed, not joined yet
int unjoinedCount = 0;

// OpenCV's matrix allocator takes the data block first and only then allocates the record that owns it
// with operator new; when that new throws, the data block is lost. That leak is OpenCV's, so this one
// allocation is passed over and the failure moves to the next one.
bool isOpenCvMatrixRecord(const void* caller) {
    Dl_info symbol;
    if (caller == nullptr || dladdr(caller, &symbol) == 0 || symbol.dli_sname == nullptr) return false;
    return std::strncmp(symbol.dli_sname, "_ZN2cv3Mat6create", 17) == 0 ||
           std::strncmp(symbol.dli_sname, "_ZNK2cv16StdMatAllocator8allocate", 33) == 0;
}

// True when this allocation or thread start is the one to fail.
bool failHere() {
    if (!armed) return false;
    const long long number = counted.fetch_add(1) + 1;
    if (number != failAt.load() && !failNext.exchange(false)) return false;
    const bool passOver = isOpenCvMatrixRecord(newCaller);
    failNext.store(passOver);  // a failure passed over goes to the next allocation, on any thread
    injected.store(injected.load() || !passOver);
    return !passOver;
}

struct ThreadStart {
    void* (*routine)(void*);
    void* argument;
};

void* armedThread(void* start) {
    const ThreadStart copy = *static_cast<ThreadStart*>(start);
    __interceptor_free(start);
    armed = true;
    return copy.routine(copy.argument);
}

void* allocateOrThrow(std::size_t bytes, const void* caller) {
    newCaller = caller;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    newCaller = nullptr;
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

void faults::arm(long long failOn) {
    counted = 0, injected = false, failNext = false, threadStartFailed = false, failAt = failOn;
    armed = true;
}

faults::Outcome faults::disarm() {
    armed = false, failAt = 0, failNext = false;
    return {counted.load(), injected.load(), threadStartFailed.load()};
}

int faults::threadsUnjoined() {
    std::lock_guard<std::mutex> lock(threadsLock);
    return unjoinedCount;
}

int faults::leakCheck() { return __lsan_do_recoverable_leak_check(); }

extern "C" {

void* malloc(std::size_t bytes) { return failHere() ? nullptr : __interceptor_malloc(bytes); }
void* calloc(std::size_t count, std::size_t size) { return failHere() ? nullptr : __interceptor_calloc(count, size); }
void* realloc(void* block, std::size_t bytes) { return failHere() ? nullptr : __interceptor_realloc(block, bytes); }
void* memalign(size_t alignment, size_t bytes) { return failHere() ? nullptr : __interceptor_memalign(alignment, bytes); }
void* aligned_alloc(size_t alignment, size_t bytes) {
    return failHere() ? nullptr : __interceptor_aligned_alloc(alignment, bytes);
}
int posix_memalign(void** block, std::size_t alignment, std::size_t bytes) {
    return failHere() ? ENOMEM : __interceptor_posix_memalign(block, alignment, bytes);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*), void* argument) {
    if (!armed) return __interceptor_pthread_create(thread, attributes, routine, argument);
    if (failHere()) {
        threadStartFailed.store(true);
        return EAGAIN;
    }
    auto* start = new (__interceptor_malloc(sizeof(ThreadStart))) ThreadStart{routine, argument};
    std::lock_guard<std::mutex> lock(threadsLock);
    const int status = __interceptor_pthread_create(thread, attributes, &armedThread, start);
    if (status != 0) __interceptor_free(start);
    if (status == 0 && unjoinedCount < 256) unjoined[unjoinedCount++] = *thread;
    return status;
}

int pthread_join(pthread_t thread, void** result) {
    const int status = __interceptor_pthread_join(thread, result);
    std::lock_guard<std::mutex> lock(threadsLock);
    for (int i = 0; status == 0 && i < unjoinedCount; ++i) {
        if (pthread_equal(unjoined[i], thread)) unjoined[i] = unjoined[--unjoinedCount];
    }
    return status;
}

// The analyzer starts one thread a core; four make its pool start several workers even on a small
// machine, so that the second or third start can fail after the first succeeded.
int get_nprocs() { return 4; }

}  // extern "C"

// Every form of new, so that no allocation slips past the count; the forms of delete only give back.
void* operator new(std::size_t bytes) { return allocateOrThrow(bytes, __builtin_return_address(0)); }
void* operator new[](std::size_t bytes) { return allocateOrThrow(bytes, __builtin_return_address(0)); }
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return std::malloc(bytes == 0 ? 1 : bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return std::malloc(bytes == 0 ? 1 : bytes); }
void* operator new(std::size_t bytes, std::align_val_t alignment) {
    void* block = nullptr;
    const std::size_t align = std::max(static_cast<std::size_t>(alignment), sizeof(void*));
    if (posix_memalign(&block, align, bytes == 0 ? 1 : bytes) != 0) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t bytes, std::align_val_t alignment) { return operator new(bytes, alignment); }
