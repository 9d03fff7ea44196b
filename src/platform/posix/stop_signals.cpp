#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>

namespace platform {

WaitHandle BlockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

}  // namespace platform
