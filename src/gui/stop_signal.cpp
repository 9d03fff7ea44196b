#include "gui/stop_signal.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <utility>

namespace gui {

std::unique_ptr<QSocketNotifier> WatchStopSignals(platform::WaitHandle sigFd, QObject* pContext,
                                                  std::function<void()> fnOnStop) {
  auto pNotifier = std::make_unique<QSocketNotifier>(sigFd, QSocketNotifier::Read);
  QObject::connect(pNotifier.get(), &QSocketNotifier::activated, pContext,
                   [sigFd, fnOnStop = std::move(fnOnStop)] {
                     signalfd_siginfo info;
                     if (read(sigFd, &info, sizeof info) > 0) fnOnStop();
                   });
  return pNotifier;
}

}  // namespace gui
