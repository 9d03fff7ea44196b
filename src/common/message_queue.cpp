#include "common/message_queue.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>

#include "common/deadline.h"

namespace {
thread_local CMessageQueue* t_pQueue = nullptr;
}

struct CMessageQueue::SSendState {
  std::mutex mutex;  // guards bDone
  std::condition_variable cv;
  bool bDone = false;
  bool bRan = false;

  void Finish(bool bRanTask) {
    std::lock_guard lock(mutex);
    bDone = true;
    bRan = bRanTask;
    cv.notify_all();
  }
};

CMessageQueue::~CMessageQueue() {
  Close();
}

bool CMessageQueue::Push(SEntry entry) {
  std::lock_guard lock(m_mutex);
  if (m_bClosed) return false;
  if (m_entries.empty()) m_wake.Signal();
  m_entries.push_back(std::move(entry));
  return true;
}

bool CMessageQueue::Post(const SMessage& msg) {
  return Push({msg, {}, {}});
}

bool CMessageQueue::PostTask(std::function<void()> fnTask) {
  return Push({{}, std::move(fnTask), {}});
}

bool CMessageQueue::Send(std::function<void()> fnTask) {
  if (std::this_thread::get_id() == m_owner) {
    fnTask();
    return true;
  }
  auto pState = std::make_shared<SSendState>();
  if (!Push({{}, std::move(fnTask), pState})) return false;
  std::unique_lock lock(pState->mutex);
  pState->cv.wait(lock, [&] { return pState->bDone; });
  return pState->bRan;
}

CMessageQueue::ETaken CMessageQueue::Take(SMessage* pMsg) {
  SEntry entry;
  {
    std::lock_guard lock(m_mutex);
    if (m_entries.empty()) return ETaken::Nothing;
    entry = std::move(m_entries.front());
    m_entries.pop_front();
    if (m_entries.empty()) m_wake.Consume();
  }
  if (!entry.fnTask) {
    *pMsg = entry.msg;
    return ETaken::Message;
  }
  entry.fnTask();
  if (entry.pSend) entry.pSend->Finish(true);
  return ETaken::Task;
}

void CMessageQueue::Close() {
  std::deque<SEntry> dropped;
  {
    std::lock_guard lock(m_mutex);
    m_bClosed = true;
    dropped.swap(m_entries);
    m_wake.Consume();
  }
  for (auto& entry : dropped) {
    if (entry.pSend) entry.pSend->Finish(false);
  }
}

CMessageQueue* CMessageQueue::Current() {
  return t_pQueue;
}

CQueueBinding::CQueueBinding(CMessageQueue& queue) : m_pPrevious(t_pQueue) {
  queue.m_owner = std::this_thread::get_id();
  t_pQueue = &queue;
}

CQueueBinding::~CQueueBinding() {
  if (t_pQueue) t_pQueue->m_owner = std::thread::id();
  t_pQueue = m_pPrevious;
}

bool DispatchOnePending() {
  CMessageQueue* pQueue = CMessageQueue::Current();
  if (!pQueue) return false;
  SMessage dropped;
  return pQueue->Take(&dropped) != CMessageQueue::ETaken::Nothing;
}

bool ServeQueueFor(int nMs) {
  CMessageQueue* pQueue = CMessageQueue::Current();
  return pQueue && ServeQueueFor(*pQueue, nMs);
}

bool ServeQueueFor(CMessageQueue& queue, int nMs) {
  const CDeadline deadline(nMs);
  for (;;) {
    SMessage dropped;
    if (queue.Take(&dropped) != CMessageQueue::ETaken::Nothing) return true;
    if (deadline.Passed()) return false;
    const platform::WaitHandle wake = queue.WakeHandle();
    if (platform::WaitAny({&wake, 1}, deadline.LeftMs()) == platform::kWaitFailed) return false;
  }
}

void WaitForWakeUp(std::span<const platform::WaitHandle> wakes, bool bQueue, int nMs) {
  std::array<platform::WaitHandle, 4> all;
  all.fill(platform::kNoWaitHandle);
  const size_t nWakes = std::min(wakes.size(), all.size() - 1);
  std::copy_n(wakes.begin(), nWakes, all.begin());
  if (CMessageQueue* pQueue = bQueue ? CMessageQueue::Current() : nullptr)
    all[nWakes] = pQueue->WakeHandle();
  platform::WaitAny(all, nMs);
}

CMessageThread::CMessageThread(Handler fnHandler)
    : m_fnHandler(std::move(fnHandler)), m_thread([this] { Run(); }) {}

CMessageThread::~CMessageThread() {
  m_bQuit = true;
  m_queue.PostTask([] {});  // wakes the main loop
  m_thread.join();
  m_queue.Close();
}

void CMessageThread::Run() {
  CQueueBinding binding(m_queue);
  while (!m_bQuit) {
    SMessage msg;
    switch (m_queue.Take(&msg)) {
      case CMessageQueue::ETaken::Message:
        if (m_fnHandler) m_fnHandler(msg);
        break;
      case CMessageQueue::ETaken::Task:
        break;
      case CMessageQueue::ETaken::Nothing: {
        const platform::WaitHandle wake = m_queue.WakeHandle();
        platform::WaitAny({&wake, 1}, -1);
        break;
      }
    }
  }
}
