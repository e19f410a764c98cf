#pragma once

// pelio::host::WorkQueue: the server's own thread, which runs the work posted to it one task at a
// time, in the order posted: loading plug-ins, re-reading what a plug-in says changed, and
// configuration changes. Whatever changes the shape of the plug-ins' objects thus happens on one
// thread, never on the thread of the plug-in that asked for it.
//
// A task has a run step and, optionally, a cancel step. Stop lets the running task finish, then
// calls the cancel step of every task still waiting (on the queue's thread) and ends the thread;
// from then on Post refuses new work.
//
// Thread safety: Post, RunAndWait and Stop may be called from any thread, Post also from a task.
// RunAndWait must not be called from a task (it would wait for itself). Not for a real-time
// thread: it locks and allocates.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace pelio::host {

class WorkQueue
{
public:
    struct Task
    {
        std::function<void()> run;
        std::function<void()> cancel;
    };

    WorkQueue();
    // Stops.
    ~WorkQueue();
    WorkQueue(const WorkQueue&) = delete;
    WorkQueue& operator=(const WorkQueue&) = delete;

    // False, with neither step called, once the queue has stopped.
    bool Post(Task task);
    // Runs `run` on the queue's thread after everything posted before it and waits for it; false
    // when the queue stopped before it ran.
    bool RunAndWait(std::function<void()> run);
    void Stop();

    bool IsQueueThread() const { return std::this_thread::get_id() == mThread.get_id(); }

private:
    void Loop();

    std::mutex mMutex;
    std::condition_variable mChanged;
    std::deque<Task> mTasks;
    bool mStopping = false;
    std::thread mThread;
};

} // namespace pelio::host
