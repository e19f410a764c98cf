// The server's own thread: work runs there in order; what is left when it stops is cancelled.

#include "WorkQueue.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

namespace pelio::host {
namespace {

TEST(WorkQueue, RunsTasksInOrderOnItsOwnThread)
{
    WorkQueue queue;
    std::vector<int> order;
    std::thread::id ranOn;
    for (int index = 0; index < 3; ++index) {
        ASSERT_TRUE(queue.Post({[&, index] {
                                    order.push_back(index);
                                    ranOn = std::this_thread::get_id();
                                },
                                {}}));
    }
    // Work posted from a task runs after it.
    ASSERT_TRUE(queue.RunAndWait([&] { queue.Post({[&] { order.push_back(4); }, {}}); }));
    ASSERT_TRUE(queue.RunAndWait([&] { order.push_back(5); }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 4, 5}));
    EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST(WorkQueue, CancelsWhatIsLeftWhenItStopsAndRefusesNewWork)
{
    WorkQueue queue;
    std::vector<std::string> events;
    std::thread::id cancelledOn;
    // The first task stops the queue once the second is waiting behind it.
    std::promise<void> secondPosted;
    std::promise<void> stopped;
    queue.Post({[&] {
                    secondPosted.get_future().wait();
                    events.push_back("first ran");
                    queue.Stop();
                    stopped.set_value();
                },
                [&] { events.push_back("first cancelled"); }});
    queue.Post({[&] { events.push_back("second ran"); },
                [&] {
                    events.push_back("second cancelled");
                    cancelledOn = std::this_thread::get_id();
                }});
    secondPosted.set_value();
    stopped.get_future().wait();
    // Joins the thread, which cancels the rest first.
    queue.Stop();
    EXPECT_EQ(events, (std::vector<std::string>{"first ran", "second cancelled"}));
    EXPECT_NE(cancelledOn, std::this_thread::get_id());

    bool called = false;
    EXPECT_FALSE(queue.Post({[&] { called = true; }, [&] { called = true; }}));
    EXPECT_FALSE(queue.RunAndWait([&] { called = true; }));
    EXPECT_FALSE(called);
}

} // namespace
} // namespace pelio::host
