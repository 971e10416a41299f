// Test-only failure of the k-th allocation or thread start. Linking fault_hooks.cpp into a test
// executable replaces the global operator new family and interposes malloc, calloc, realloc, the
// aligned allocators and pthread_create for the whole process, the hdrmeter library and OpenCV
// included. Only work done by an armed thread is counted, and threads it starts while armed are armed
// too, so the count covers a call and the tasks it launches but not gtest or other threads.
#ifndef HDRMETER_TESTS_RELIABILITY_FAULT_HOOKS_H
#define HDRMETER_TESTS_RELIABILITY_FAULT_HOOKS_H

namespace faults {

// From now on the calling thread counts its allocations and thread starts; the failAt-th one (1-based)
// fails: allocators return null (operator new throws std::bad_alloc), pthread_create returns EAGAIN.
void arm(long long failAt);

struct Outcome {
    long long counted = 0;  // allocations and thread starts counted while armed
    bool injected = false;  // whether the failAt-th one was reached and failed
    bool threadStart = false;  // whether what failed was a thread start
};
Outcome disarm();

// Threads started by armed threads whose start routine has not returned yet.
long long tasksRunning();

// Runs LeakSanitizer's check when the executable has it; returns -1 when it does not, else the number
// of leaks found (0 or 1, as LeakSanitizer reports "found some").
int leakCheck();

}  // namespace faults

#endif
