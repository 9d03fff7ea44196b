#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "platform/wake_event.h"

// Thread message queues. A thread that owns a queue can be posted thread
// messages (id, wParam, lParam) and tasks. Thread messages are handled only by
// the thread's own main loop; a wait loop that services its queue with
// DispatchOnePending() takes them off and drops them, which is how a second
// start message posted during a run is discarded. Tasks run wherever they are
// taken: in the main loop or in a wait loop.

struct SMessage {
  uint32_t nId = 0;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
};

class CMessageQueue {
 public:
  CMessageQueue() = default;
  CMessageQueue(const CMessageQueue&) = delete;
  CMessageQueue& operator=(const CMessageQueue&) = delete;
  ~CMessageQueue();

  // Both return false once the queue is closed.
  bool Post(const SMessage& msg);
  bool PostTask(std::function<void()> fnTask);
  // Runs fnTask on the owning thread and waits until it ran; runs it inline
  // when called from the owning thread. Returns false, without running it,
  // when the queue is closed before the task was taken.
  bool Send(std::function<void()> fnTask);

  // What one Take() found.
  enum class ETaken { Nothing, Message, Task };
  // Takes the oldest entry: a thread message is copied to *pMsg, a task is run.
  ETaken Take(SMessage* pMsg);

  // Drops everything pending, releases waiting senders, refuses new entries.
  void Close();
  // Ready while an entry is pending; for platform::WaitAny and device waits.
  platform::WaitHandle WakeHandle() const { return m_wake.Handle(); }

  // The queue bound to the calling thread, or null.
  static CMessageQueue* Current();

 private:
  friend class CQueueBinding;
  struct SSendState;
  struct SEntry {
    SMessage msg;
    std::function<void()> fnTask;
    std::shared_ptr<SSendState> pSend;  // set for Send(): the sender waits on it
  };
  bool Push(SEntry entry);

  std::mutex m_mutex;  // guards m_entries, m_bClosed and the wake event's state
  std::deque<SEntry> m_entries;
  bool m_bClosed = false;
  platform::CWakeEvent m_wake;           // signalled exactly while m_entries is not empty
  std::atomic<std::thread::id> m_owner;  // the bound thread, set by CQueueBinding
};

// Binds a queue to the calling thread for the binding's lifetime.
class CQueueBinding {
 public:
  explicit CQueueBinding(CMessageQueue& queue);
  ~CQueueBinding();
  CQueueBinding(const CQueueBinding&) = delete;
  CQueueBinding& operator=(const CQueueBinding&) = delete;

 private:
  CMessageQueue* m_pPrevious;
};

// Takes at most one pending entry of the calling thread's queue: a task runs,
// a thread message is dropped. Returns true when something was taken.
bool DispatchOnePending();

// The wait of a window thread that must keep answering its workers: waits
// at most nMs for an entry of the calling thread's queue and takes one when
// there is one. Returns true when something was taken.
bool ServeQueueFor(int nMs);
// The same for a given queue, from its owning thread.
bool ServeQueueFor(CMessageQueue& queue, int nMs);

// One pass of a worker's wait: at most nMs, ended early when one of wakes
// (at most three) is ready or, with bQueue, when the calling thread's queue
// has an entry. Nothing is consumed or taken.
void WaitForWakeUp(std::span<const platform::WaitHandle> wakes, bool bQueue, int nMs);

// A thread with its own queue. Its main loop hands thread messages to the
// handler and runs tasks until the object is destroyed, which closes the
// queue and joins the thread.
class CMessageThread {
 public:
  using Handler = std::function<void(const SMessage&)>;
  explicit CMessageThread(Handler fnHandler);
  ~CMessageThread();
  CMessageThread(const CMessageThread&) = delete;
  CMessageThread& operator=(const CMessageThread&) = delete;

  bool PostThreadMessage(uint32_t nId, uintptr_t wParam = 0, intptr_t lParam = 0) {
    return m_queue.Post({nId, wParam, lParam});
  }
  CMessageQueue& Queue() { return m_queue; }

 private:
  void Run();

  CMessageQueue m_queue;
  Handler m_fnHandler;
  std::atomic<bool> m_bQuit{false};  // set by the destructor, read by the main loop
  std::thread m_thread;
};
