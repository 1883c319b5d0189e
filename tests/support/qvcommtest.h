// Test helpers around a serial port: pumping the main thread until a
// condition holds, a log that keeps its lines, and a data processor that
// records what it hears and on which thread.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvclasses.h"
#include "qvmemorylog.h"

namespace qv::test {

// Pumps the main-thread dispatcher until `done` holds or `timeout` passed;
// returns `done()`.
bool PumpUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(5));
// Pumps for `time` whatever happens.
void PumpFor(std::chrono::milliseconds time);

// Records received data, open/close notifications and the threads they came on.
class TqvRecordingProcessor : public TqvCustomDataProcessor {
 public:
  explicit TqvRecordingProcessor(TqvComponent* AOwner = nullptr) : TqvCustomDataProcessor(AOwner) {}
  ~TqvRecordingProcessor() override { FreeAsyncTimer(); }

  void DoProcessing(const char* Data, uint32_t Len, TIgnoreTypes& R) override;
  void MediumOpened() override;
  void MediumClosed() override;
  void DoAfterSendComplete(bool& flIgnore) override;

  std::string Received() const;
  size_t Blocks() const;
  size_t LargestBlock() const;
  std::vector<std::string> Events() const;  // "opened", "closed", "txempty"
  bool AllOnMainThread() const;             // every call so far
  void SetClaimTxEmpty(bool v);

 private:
  void Note(std::string what);
  mutable std::mutex mu_;
  std::string data_;
  size_t blocks_ = 0, largest_ = 0;
  std::vector<std::string> events_;
  bool offMain_ = false;
  bool claim_ = false;
};

}  // namespace qv::test
