#include "analysis/worker_pool.h"

namespace hdrmeter {
namespace detail {

WorkerPool::WorkerPool(int workerCount) {
    workers_.reserve(static_cast<size_t>(workerCount));
    try {
        for (int i = 0; i < workerCount; ++i) workers_.emplace_back([this] { workerLoop(); });
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        workAvailable_.notify_all();
        for (std::thread& worker : workers_) worker.join();
        throw;
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    workAvailable_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void WorkerPool::execute(const Item& item) {
    std::exception_ptr error;
    try {
        (*item.batch->task)(item.index);
    } catch (...) {
        error = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (error && !item.batch->error) item.batch->error = error;
    if (--item.batch->unfinished == 0) batchFinished_.notify_all();
}

void WorkerPool::workerLoop() {
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            workAvailable_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            item = queue_.front();
            queue_.pop_front();
        }
        execute(item);
    }
}

void WorkerPool::run(int count, const std::function<void(int)>& task) {
    if (count <= 0) return;
    if (count == 1 || workers_.empty()) {
        for (int i = 0; i < count; ++i) task(i);
        return;
    }
    Batch batch{&task, count, nullptr};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 1; i < count; ++i) queue_.push_back({&batch, i});
    }
    workAvailable_.notify_all();
    execute({&batch, 0});
    std::unique_lock<std::mutex> lock(mutex_);
    while (batch.unfinished > 0) {
        if (!queue_.empty()) {
            const Item item = queue_.front();
            queue_.pop_front();
            lock.unlock();
            execute(item);
            lock.lock();
        } else {
            batchFinished_.wait(lock);
        }
    }
    if (batch.error) std::rethrow_exception(batch.error);
}

}  // namespace detail
}  // namespace hdrmeter
