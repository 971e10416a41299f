// Internal to the analyzer: threads kept for an analyzer's lifetime, so that measuring a frame costs no
// thread start. Several callers may share one pool at once.
#ifndef HDRMETER_ANALYSIS_WORKER_POOL_H
#define HDRMETER_ANALYSIS_WORKER_POOL_H

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace hdrmeter {
namespace detail {

class WorkerPool {
public:
    explicit WorkerPool(int workerCount);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int workerCount() const { return static_cast<int>(workers_.size()); }

    // Runs task(0) .. task(count - 1) and returns when all have finished: task 0 on the calling thread,
    // the others on the workers, the caller taking queued ones too while it waits. The first exception a
    // task throws is raised here, after every task has finished.
    void run(int count, const std::function<void(int)>& task);

private:
    struct Batch {
        const std::function<void(int)>* task;
        int unfinished;
        std::exception_ptr error;
    };
    struct Item {
        Batch* batch;
        int index;
    };

    void workerLoop();
    void execute(const Item& item);  // runs one task; the pool's mutex is not held

    std::mutex mutex_;
    std::condition_variable workAvailable_;
    std::condition_variable batchFinished_;
    std::deque<Item> queue_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

}  // namespace detail
}  // namespace hdrmeter

#endif
