#include "common/message_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(MessageQueueTest, DispatchOnePendingRunsTasksAndDropsThreadMessages) {
  CMessageQueue queue;
  CQueueBinding binding(queue);
  std::vector<int> ran;
  queue.Post({0x2B11, 1, 2});
  queue.PostTask([&] { ran.push_back(1); });
  queue.PostTask([&] { ran.push_back(2); });

  EXPECT_TRUE(DispatchOnePending());  // the start message: taken and dropped
  EXPECT_TRUE(ran.empty());
  EXPECT_TRUE(DispatchOnePending());
  EXPECT_EQ(ran, std::vector<int>{1}) << "at most one entry per call";
  EXPECT_TRUE(DispatchOnePending());
  EXPECT_FALSE(DispatchOnePending());
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
}

TEST(MessageQueueTest, WithoutABoundQueueNothingIsDispatched) {
  EXPECT_EQ(CMessageQueue::Current(), nullptr);
  EXPECT_FALSE(DispatchOnePending());
}

TEST(MessageQueueTest, MessageThreadHandsThreadMessagesToItsHandler) {
  std::promise<SMessage> got;
  CMessageThread thread([&](const SMessage& msg) { got.set_value(msg); });
  ASSERT_TRUE(thread.PostThreadMessage(0x2B11, 3, 42));
  auto future = got.get_future();
  ASSERT_EQ(future.wait_for(2s), std::future_status::ready);
  const SMessage msg = future.get();
  EXPECT_EQ(msg.nId, 0x2B11u);
  EXPECT_EQ(msg.wParam, 3u);
  EXPECT_EQ(msg.lParam, 42);
}

TEST(MessageQueueTest, SendWaitsUntilTheOwnerRanTheTask) {
  CMessageThread thread(nullptr);
  std::thread::id ranOn;
  ASSERT_TRUE(thread.Queue().Send([&] {
    std::this_thread::sleep_for(20ms);
    ranOn = std::this_thread::get_id();
  }));
  EXPECT_NE(ranOn, std::thread::id());
  EXPECT_NE(ranOn, std::this_thread::get_id());
}

TEST(MessageQueueTest, SendFromTheOwnerRunsInline) {
  CMessageQueue queue;
  CQueueBinding binding(queue);
  bool bRan = false;
  EXPECT_TRUE(queue.Send([&] { bRan = true; }));
  EXPECT_TRUE(bRan);
}

TEST(MessageQueueTest, ClosingReleasesAWaitingSenderAndRefusesMore) {
  CMessageQueue queue;
  std::promise<void> bound;
  std::thread owner([&] {
    CQueueBinding binding(queue);
    bound.set_value();
    std::this_thread::sleep_for(50ms);  // never takes the task
    queue.Close();
  });
  bound.get_future().wait();
  bool bRan = false;
  EXPECT_FALSE(queue.Send([&] { bRan = true; }));
  EXPECT_FALSE(bRan);
  owner.join();
  EXPECT_FALSE(queue.Post({1, 0, 0}));
}

TEST(MessageQueueTest, WakeHandleIsReadyExactlyWhileEntriesWait) {
  CMessageQueue queue;
  CQueueBinding binding(queue);
  auto readable = [&] {
    const platform::WaitHandle wake = queue.WakeHandle();
    return platform::WaitAny({&wake, 1}, 0) == 0;
  };
  EXPECT_FALSE(readable());
  queue.Post({1, 0, 0});
  queue.Post({2, 0, 0});
  EXPECT_TRUE(readable());
  DispatchOnePending();
  EXPECT_TRUE(readable());
  DispatchOnePending();
  EXPECT_FALSE(readable());
}

}  // namespace
