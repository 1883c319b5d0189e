// qvsms: Ctrl-C and SIGTERM. The signals are blocked in every thread and
// taken by a thread of their own, which hands them to the main thread: there
// the handler closes the port, which ends any wait of the library at once, and
// the program then ends with 128 + the signal. A second signal ends the
// program at once.
#pragma once

#include <atomic>
#include <functional>
#include <thread>

#include "platform/qvdispatcher.h"

namespace qvsms {

class TInterrupt {
 public:
  // Construct it first thing in main(), before any other thread exists.
  TInterrupt();
  ~TInterrupt();
  TInterrupt(const TInterrupt&) = delete;
  TInterrupt& operator=(const TInterrupt&) = delete;

  // The signal that came; 0 while none did.
  int Signal() const { return fSignal.load(); }
  // Runs on the main thread, the next time it pumps after a signal came.
  // Set and cleared on the main thread.
  void SetHandler(std::function<void()> handler);

 private:
  void Wait();
  void OnSignal(int signal);

  std::atomic<int> fSignal{0};
  std::atomic<bool> fStop{false};
  std::function<void()> fHandler;
  qv::platform::TDispatchGroup fGroup;
  std::thread fThread;
};

}  // namespace qvsms
