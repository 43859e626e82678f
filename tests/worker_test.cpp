#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pthread.h>

#include "platform/Worker.h"

namespace {
// One job holds the worker until the test lets it go; two more wait behind it.
struct HeldWorker {
  Worker worker{"test-worker-with-a-long-name"};
  std::promise<void> started;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::vector<std::string> ran;  // written by the worker only
  std::string threadName;
  HeldWorker() {
    worker.Post([this] {
      char name[32] = {};
      pthread_getname_np(pthread_self(), name, sizeof name);
      threadName = name;
      started.set_value();
      released.wait();
      ran.push_back("held");
    });
    worker.Post([this] { ran.push_back("second"); });
    worker.Post([this] { ran.push_back("third"); });
  }
};
} // namespace

TEST(Worker, RunsInOrderAndStopsAsAsked) {
  struct Case {
    const char* name;
    bool stop;
    bool drain;
    std::vector<std::string> ran;
  };
  const Case cases[] = {
      {"runs every job in order", false, false, {"held", "second", "third"}},
      {"a stop drops jobs not begun", true, false, {"held"}},
      {"a draining stop still runs them", true, true, {"held", "second", "third"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HeldWorker held;
    held.started.get_future().wait();
    EXPECT_EQ(held.worker.Pending(), 3u);  // one under way, two behind it
    if (c.stop) {
      std::atomic<bool> interrupted{false};
      // The interrupt is what ends the job under way.
      held.worker.Stop([&] {
        interrupted = true;
        held.release.set_value();
      }, c.drain);
      EXPECT_TRUE(interrupted);
      EXPECT_FALSE(held.worker.Post([] {}));
    } else {
      held.release.set_value();
      held.worker.WaitIdle();
    }
    EXPECT_EQ(held.ran, c.ran);
    EXPECT_EQ(held.worker.Pending(), 0u);
    EXPECT_EQ(held.threadName, std::string("test-worker-with-a-long-name").substr(0, kMaxThreadNameBytes));
  }
}

TEST(Worker, AJobThatThrowsLeavesTheWorkerRunning) {
  Worker worker("thrower");
  std::atomic<int> after{0};
  worker.Post([] { throw std::runtime_error("lost"); });
  worker.Post([&] { ++after; });
  worker.WaitIdle();
  EXPECT_EQ(after, 1);
}
