#pragma once

#include <QObject>
#include <QSocketNotifier>

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

 signals:
  // At least one entry ran.
  void Served();

 private:
  CMessageQueue& m_queue;
  QSocketNotifier m_notifier;
};

}  // namespace gui
