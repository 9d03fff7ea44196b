#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <memory>

#include "platform/wait_handle.h"

namespace gui {

// Runs fnOnStop on the window's thread each time SIGINT or SIGTERM arrives
// on sigFd (from platform::BlockStopSignals), after taking the signal off,
// so that a signal ends the window as the operator would. The watch ends
// with the returned notifier or with pContext.
std::unique_ptr<QSocketNotifier> WatchStopSignals(platform::WaitHandle sigFd, QObject* pContext,
                                                  std::function<void()> fnOnStop);

}  // namespace gui
