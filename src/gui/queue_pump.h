#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>

#include "common/message_queue.h"

namespace gui {

// Serves a CMessageQueue on the GUI thread from the Qt event loop: the queue's
// wake descriptor tells the loop when entries are pending, so nothing polls.
// Workers' posted row updates and sent notifications run here.
class CQueuePump final : public QObject {
  Q_OBJECT

 public:
  // A batch of entries runs for at most this long before the loop gets to
  // paint and take input again; the rest follows on the next pass.
  static constexpr int kSliceMs = 8;

  explicit CQueuePump(CMessageQueue& queue, QObject* pParent = nullptr);

  // Runs what is pending, within one slice. Thread messages are dropped, as
  // every wait loop of a window thread does.
  void ServePending();

  // One pass of a window thread's wait loop: takes a pending thread message
  // of queue, or else turns the event loop until this pump served something
  // or nMs passed, so that the window paints and the workers' calls run while
  // a handler waits. User input waits until that handler has returned.
  void ServeWhileWaiting(CMessageQueue& queue, int nMs);

 signals:
  // At least one entry ran.
  void Served();

 private:
  CMessageQueue& m_queue;
  QSocketNotifier m_notifier;
};

// Runs a call once on the event loop for any number of requests made before
// it ran: a window renders once per batch of model changes, however many the
// queue ran at once.
class CCoalescedCall {
 public:
  CCoalescedCall(QObject* pContext, std::function<void()> fnCall)
      : m_pContext(pContext), m_fnCall(std::move(fnCall)) {}
  void Request();

 private:
  QObject* m_pContext;  // owns this object; a call still queued dies with it
  std::function<void()> m_fnCall;
  bool m_bPending = false;
};

}  // namespace gui
