#include "planes/parallel_filter.h"

#include <chrono>
#include <future>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "planes/fixed_kernels.h"
#include "planes/stripe_layout.h"

namespace hdrmeter {
namespace planes {
namespace {

// The tasks of one pass. Tasks write into the host's plane, so none may outlive the call: when an
// exception leaves early (a stripe's failure raised by a join, or a failed launch), the destructor
// waits for every task still running. A task that the runtime deferred has not started and never
// will once its future is dropped, so it is not run just to be waited for.
class StripeTasks {
public:
    explicit StripeTasks(std::size_t stripeCount) { futures_.reserve(stripeCount); }
    StripeTasks(const StripeTasks&) = delete;
    StripeTasks& operator=(const StripeTasks&) = delete;

    ~StripeTasks()
    {
        for (std::future<void>& future : futures_) {
            if (future.valid() && future.wait_for(std::chrono::seconds(0)) != std::future_status::deferred) {
                future.wait();
            }
        }
    }

    // The task is handed over as a copy: when no thread can be started, the runtime falls back to a
    // deferred task built from the same argument, and a task moved into the failed attempt would then
    // filter empty views.
    template <typename Task>
    void launch(const Task& task)
    {
        futures_.push_back(std::async(task));
    }

    // In launch order, so that the failure raised is that of the lowest-numbered failing stripe.
    void joinInOrder()
    {
        for (std::future<void>& future : futures_) {
            future.get();
        }
    }

private:
    std::vector<std::future<void>> futures_;
};

// cv::filter2D correlates, while the filter is defined as a convolution; mirroring a per-call copy
// keeps that true without ever writing the shared kernel. Both kernels are symmetric, so the copy
// holds the stored values and the anchor stays in the middle.
cv::Mat mirroredKernel(const cv::Mat& kernel, int flipCode)
{
    cv::Mat mirrored;
    cv::flip(kernel, mirrored, flipCode);
    return mirrored;
}

cv::Point mirroredAnchor(const cv::Mat& kernel, cv::Point anchor)
{
    return cv::Point(kernel.cols - 1 - anchor.x, kernel.rows - 1 - anchor.y);
}

}  // namespace

void parallelFilter2D(const cv::Mat& source, cv::Mat& destination, int width, int height, int stripeCount)
{
    const std::vector<Stripe> rowStripes = stripeLayout(height, stripeCount);
    const std::vector<Stripe> columnStripes = stripeLayout(width, stripeCount);
    if (rowStripes.empty() || columnStripes.empty()) {
        return;
    }

    const int outputDepth = source.depth();
    const cv::Mat horizontal = mirroredKernel(horizontalKernel, 1);
    const cv::Point horizontalAnchor = mirroredAnchor(horizontalKernel, horizontalKernelAnchor);
    const cv::Mat vertical = mirroredKernel(verticalKernel, 0);
    const cv::Point verticalAnchor = mirroredAnchor(verticalKernel, verticalKernelAnchor);

    // The horizontal kernel reaches only along a row, so bands of whole rows are independent.
    // cv::filter2D buffers the rows it still needs, which makes it safe when a stripe is its own
    // destination.
    {
        StripeTasks horizontalPass(rowStripes.size());
        for (const Stripe& rows : rowStripes) {
            const cv::Rect area(0, rows.start, width, rows.length);
            cv::Mat sourceStripe(source, area);
            cv::Mat destinationStripe(destination, area);
            horizontalPass.launch([sourceStripe, destinationStripe, outputDepth, kernel = horizontal,
                                   anchor = horizontalAnchor]() mutable {
                cv::filter2D(sourceStripe, destinationStripe, outputDepth, kernel, anchor, 0.0, cv::BORDER_CONSTANT);
            });
        }
        horizontalPass.joinInOrder();
    }

    // The vertical pass reads the horizontal result, so it starts only once every row is done.
    {
        StripeTasks verticalPass(columnStripes.size());
        for (const Stripe& columns : columnStripes) {
            cv::Mat stripe(destination, cv::Rect(columns.start, 0, columns.length, height));
            verticalPass.launch([stripe, outputDepth, kernel = vertical, anchor = verticalAnchor]() mutable {
                cv::filter2D(stripe, stripe, outputDepth, kernel, anchor, 0.0, cv::BORDER_CONSTANT);
            });
        }
        verticalPass.joinInOrder();
    }
}

}  // namespace planes
}  // namespace hdrmeter
