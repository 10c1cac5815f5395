// The threads that keep the main thread free of servers that stop answering: the query thread,
// the outline's thread, and the capture thread's hand-over of its stream's end to a stop.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/query_thread.hpp"
#include "capture/x11/capture_control.hpp"
#include "recording/threaded_outline_panel.hpp"

namespace darvo::testing {
namespace {

using namespace std::chrono_literals;

// What the other threads did, and a gate that holds them as a server that does not answer would.
struct Journal {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> entries;
  bool held = false;

  void note(const std::string& entry) {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return !held; });
    entries.push_back(entry);
    changed.notify_all();
  }
  void hold(bool value) {
    const std::lock_guard lock(mutex);
    held = value;
    changed.notify_all();
  }
  // The entries once there are `count` of them (or after five seconds, whatever there is).
  std::vector<std::string> awaitEntries(std::size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 5s, [&] { return entries.size() >= count; });
    return entries;
  }
};

TEST(QueryThreadTest, OneJobAtATimeAndNoneQueuedBehindAHeldOne) {
  auto journal = std::make_shared<Journal>();
  {
    capture::QueryThread thread;
    journal->hold(true);
    EXPECT_TRUE(thread.tryRun([journal] { journal->note("first"); }));
    EXPECT_FALSE(thread.tryRun([journal] { journal->note("refused"); }));
    journal->hold(false);
    EXPECT_EQ(journal->awaitEntries(1), std::vector<std::string>{"first"});
    // Accepted again once idle; a throwing job does not end the thread.
    const auto start = std::chrono::steady_clock::now();
    while (!thread.tryRun([] { throw std::runtime_error("job"); })) {
      ASSERT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    while (!thread.tryRun([journal] { journal->note("second"); })) {
      ASSERT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    EXPECT_EQ(journal->awaitEntries(2).back(), "second");
    journal->hold(true);
    while (!thread.tryRun([journal] { journal->note("held"); })) {
      ASSERT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
  }  // destroyed while its job is held: no wait
  journal->hold(false);
  EXPECT_EQ(journal->awaitEntries(3).back(), "held");
}

struct JournalPanel : recording::OutlinePanel {
  explicit JournalPanel(std::shared_ptr<Journal> journal) : journal(std::move(journal)) {}
  ~JournalPanel() override { journal->note("gone"); }
  JournalPanel(const JournalPanel&) = delete;
  JournalPanel& operator=(const JournalPanel&) = delete;
  void setFrame(const capture::Rect& frame) override {
    journal->note("frame " + std::to_string(static_cast<int>(frame.x)));
  }
  void orderFrontRegardless() override { journal->note("front"); }
  void close() override { journal->note("close"); }
  std::shared_ptr<Journal> journal;
};

TEST(ThreadedOutlinePanelTest, CallsWhileThePanelIsHeldAreMergedAndNeverWait) {
  auto journal = std::make_shared<Journal>();
  journal->hold(true);  // the panel's opening waits for the server
  recording::ThreadedOutlinePanel panel({1, 0, 10, 10}, [journal](const capture::Rect& frame) {
    journal->note("open " + std::to_string(static_cast<int>(frame.x)));
    return std::make_unique<JournalPanel>(journal);
  });
  for (const double x : {2.0, 3.0}) {
    panel.setFrame({x, 0, 10, 10});
    panel.orderFrontRegardless();
  }
  journal->hold(false);
  EXPECT_EQ(journal->awaitEntries(3), (std::vector<std::string>{"open 1", "frame 3", "front"}));
  panel.close();
  panel.setFrame({4, 0, 10, 10});
  EXPECT_EQ(journal->awaitEntries(5),
            (std::vector<std::string>{"open 1", "frame 3", "front", "close", "gone"}));

  // Let go while the server holds it: at once, and nothing more is asked of the panel.
  auto held = std::make_shared<Journal>();
  held->hold(true);
  {
    recording::ThreadedOutlinePanel doomed({0, 0, 10, 10}, [held](const capture::Rect&) {
      held->note("open");
      return std::make_unique<JournalPanel>(held);
    });
    doomed.orderFrontRegardless();
  }
  held->hold(false);
  EXPECT_EQ(held->awaitEntries(2), (std::vector<std::string>{"open", "gone"}));
}

TEST(CaptureControlTest, AStreamEndsOnceAndAStopNeedNotWaitForAHeldThread) {
  capture::x11::CaptureControl control;
  EXPECT_TRUE(control.claimStreamEnd());
  EXPECT_FALSE(control.claimStreamEnd());

  int stopped = 0;
  capture::Completion completion = [&](const std::optional<capture::CaptureError>&) { ++stopped; };
  ASSERT_TRUE(control.addStopCompletion(completion));
  EXPECT_FALSE(control.waitUntilEnded(std::chrono::steady_clock::now() + 10ms));
  auto givenUp = control.abandon();
  EXPECT_EQ(givenUp.size(), 1U);
  EXPECT_TRUE(control.abandoned());
  EXPECT_TRUE(control.markEnded().empty()) << "the held thread's late end runs nothing twice";
  EXPECT_FALSE(control.addStopCompletion(completion)) << "a later stop completes at once";

  // A thread that ends in time hands its completions over itself.
  capture::x11::CaptureControl prompt;
  ASSERT_TRUE(prompt.addStopCompletion(completion));
  EXPECT_EQ(prompt.markEnded().size(), 1U);
  EXPECT_TRUE(prompt.waitUntilEnded(std::chrono::steady_clock::now()));
  EXPECT_TRUE(prompt.abandon().empty());
  EXPECT_FALSE(prompt.abandoned());
}

}  // namespace
}  // namespace darvo::testing
