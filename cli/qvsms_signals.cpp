#include "qvsms_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace qvsms {

namespace {

// SIGUSR1 only wakes the waiting thread when the program ends.
sigset_t TakenSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  return set;
}

}  // namespace

TInterrupt::TInterrupt() {
  // A reader that went away (qvsms ... | head) is seen as a failed write.
  ::signal(SIGPIPE, SIG_IGN);
  const sigset_t set = TakenSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);  // inherited by every thread started later
  fThread = std::thread([this] { Wait(); });
}

TInterrupt::~TInterrupt() {
  fGroup.Cancel();
  fStop = true;
  pthread_kill(fThread.native_handle(), SIGUSR1);
  fThread.join();
}

void TInterrupt::SetHandler(std::function<void()> handler) { fHandler = std::move(handler); }

void TInterrupt::Wait() {
  const sigset_t set = TakenSignals();
  while (!fStop) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0 || signal == SIGUSR1) continue;
    OnSignal(signal);
  }
}

void TInterrupt::OnSignal(int signal) {
  int none = 0;
  if (!fSignal.compare_exchange_strong(none, signal)) _exit(128 + signal);  // asked twice
  qv::platform::PostToMainThread(fGroup, [this] {
    if (fHandler) fHandler();
  });
  qv::platform::WakeMainThread();
}

}  // namespace qvsms
