// Test-only failure of the k-th allocation or thread start. Linking fault_hooks.cpp replaces operator new
// and the C allocators and pthread_create for the whole process, the library and OpenCV included. Only an
// armed thread counts, and the threads it starts are armed too, so the count covers a call and the tasks
// it launches but not gtest or other threads.
#ifndef HDRMETER_TESTS_RELIABILITY_FAULT_HOOKS_H
#define HDRMETER_TESTS_RELIABILITY_FAULT_HOOKS_H

namespace faults {

// From now on the calling thread counts; the failAt-th (from 1) fails: allocators return null (operator
// new throws std::bad_alloc), pthread_create returns EAGAIN.
void arm(long long failAt);

struct Outcome {
    long long counted = 0;                       // allocations and thread starts counted while armed
    bool injected = false, threadStart = false;  // the failAt-th was reached and failed; it was a thread start
};
Outcome disarm();

int threadsUnjoined();  // threads started while armed that nobody has joined yet
int leakCheck();        // LeakSanitizer's findings: 0 or 1

}  // namespace faults

#endif
