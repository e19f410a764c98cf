#include "WorkQueue.h"

#include <future>
#include <utility>

namespace pelio::host {

WorkQueue::WorkQueue()
    : mThread([this] { Loop(); })
{
}

WorkQueue::~WorkQueue()
{
    Stop();
}

bool WorkQueue::Post(Task task)
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        if (mStopping) {
            return false;
        }
        mTasks.push_back(std::move(task));
    }
    mChanged.notify_one();
    return true;
}

bool WorkQueue::RunAndWait(std::function<void()> run)
{
    std::promise<bool> done;
    std::future<bool> finished = done.get_future();
    if (!Post({[&] {
                   run();
                   done.set_value(true);
               },
               [&] { done.set_value(false); }})) {
        return false;
    }
    return finished.get();
}

void WorkQueue::Stop()
{
    {
        const std::lock_guard<std::mutex> lock(mMutex);
        mStopping = true;
    }
    mChanged.notify_one();
    if (mThread.joinable() && !IsQueueThread()) {
        mThread.join();
    }
}

void WorkQueue::Loop()
{
    for (;;) {
        Task task;
        bool stopping = false;
        {
            std::unique_lock<std::mutex> lock(mMutex);
            mChanged.wait(lock, [this] { return mStopping || !mTasks.empty(); });
            stopping = mStopping;
            if (mTasks.empty()) {
                return;
            }
            task = std::move(mTasks.front());
            mTasks.pop_front();
        }
        if (!stopping) {
            task.run();
        } else if (task.cancel) {
            task.cancel();
        }
    }
}

} // namespace pelio::host
