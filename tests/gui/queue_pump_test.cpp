#include "gui/queue_pump.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

class QueuePumpTest : public ::testing::Test {
 protected:
  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
  gui::CQueuePump m_pump{m_queue};
};

TEST_F(QueuePumpTest, PostedTasksRunOnTheGuiThreadInOrder) {
  std::vector<int> order;
  std::atomic<bool> bOffThread{false};
  const auto guiThread = std::this_thread::get_id();
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) {
      m_queue.PostTask([&, i] {
        if (std::this_thread::get_id() != guiThread) bOffThread = true;
        order.push_back(i);
      });
    }
  });
  worker.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return order.size() == 100; }, 5000));
  EXPECT_FALSE(bOffThread);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
}

TEST_F(QueuePumpTest, ASentTaskHoldsTheWorkerUntilTheEventLoopRanIt) {
  std::atomic<bool> bReturned{false};
  bool bRan = false;
  std::thread worker([&] {
    m_queue.Send([&] { bRan = true; });
    bReturned = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(bReturned) << "nothing served the queue yet";
  EXPECT_TRUE(QTest::qWaitFor([&] { return bReturned.load(); }, 5000));
  worker.join();
  EXPECT_TRUE(bRan);
}

TEST_F(QueuePumpTest, AFloodOfTasksLeavesTheEventLoopTurning) {
  // Tasks that each take a while, more than a slice's worth at once: timers
  // of the window (its painting, its clocks) still get their turn between.
  std::atomic<bool> bStop{false};
  std::thread worker([&] {
    while (!bStop) {
      m_queue.PostTask([] { std::this_thread::sleep_for(1ms); });
      std::this_thread::sleep_for(200us);
    }
  });
  QElapsedTimer clock;
  clock.start();
  qint64 nLongestGap = 0, nLast = 0;
  int nTicks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    const qint64 nNow = clock.elapsed();
    nLongestGap = std::max(nLongestGap, nNow - nLast);
    nLast = nNow;
    ++nTicks;
  });
  ticker.start(5);
  QTest::qWait(1000);
  bStop = true;
  worker.join();
  EXPECT_GT(nTicks, 20);
  EXPECT_LT(nLongestGap, 500) << "the timer starved while tasks kept coming";
}

}  // namespace
