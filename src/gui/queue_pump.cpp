#include "gui/queue_pump.h"

#include <QEventLoop>
#include <QTimer>

#include "common/deadline.h"

namespace gui {

CQueuePump::CQueuePump(CMessageQueue& queue, QObject* pParent)
    : QObject(pParent), m_queue(queue), m_notifier(queue.WakeHandle(), QSocketNotifier::Read) {
  connect(&m_notifier, &QSocketNotifier::activated, this, &CQueuePump::ServePending);
}

void CQueuePump::ServePending() {
  const CDeadline slice(kSliceMs);
  bool bServed = false;
  SMessage dropped;
  // The wake descriptor stays readable while entries are left, so whatever
  // the slice leaves over brings the notifier back on the next pass.
  while (m_queue.Take(&dropped) != CMessageQueue::ETaken::Nothing) {
    bServed = true;
    if (slice.Passed()) break;
  }
  if (bServed) emit Served();
}

void CQueuePump::ServeWhileWaiting(CMessageQueue& queue, int nMs) {
  SMessage dropped;
  if (queue.Take(&dropped) != CMessageQueue::ETaken::Nothing) return;
  QEventLoop loop;
  QTimer::singleShot(nMs, &loop, &QEventLoop::quit);
  connect(this, &CQueuePump::Served, &loop, &QEventLoop::quit);
  loop.exec(QEventLoop::ExcludeUserInputEvents);
}

void CCoalescedCall::Request() {
  if (m_bPending) return;
  m_bPending = true;
  QMetaObject::invokeMethod(
      m_pContext,
      [this] {
        m_bPending = false;
        m_fnCall();
      },
      Qt::QueuedConnection);
}

}  // namespace gui
