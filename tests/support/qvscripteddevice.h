// Test doubles for processors: a device that answers the bytes sent to it with
// scripted replies, and a log that keeps its lines in memory.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qvclasses.h"

namespace qvtest {

// A device whose SendData records the bytes and answers them through the
// Responder: each returned chunk is one read the device delivers.
class TqvScriptedDevice : public TqvBaseIO {
 public:
  enum class TDelivery {
    dlInline,      // inside SendData, on the sending thread, before it returns
    dlThread,      // from a delivery thread of the device
    dlMainThread,  // from the delivery thread through the main-thread dispatcher
  };
  struct TChunk {
    std::string Bytes;
    uint32_t DelayMs = 0;  // pause before this chunk (thread deliveries only)
  };
  using TResponder = std::function<std::vector<TChunk>(const std::string& sent)>;

  explicit TqvScriptedDevice(TDelivery delivery = TDelivery::dlInline);
  ~TqvScriptedDevice() override;

  // Opens or closes the fake handle and raises notify code 2 or 1.
  void OpenDevice();
  void CloseDevice();
  // Ends the delivery thread (chunks still queued are dropped). Call before
  // the processor the device delivers to goes away.
  void Stop();

  // Answers each sent text found in the table (exact bytes) with its chunks.
  void SetReplies(std::vector<std::pair<std::string, std::vector<TChunk>>> table);
  void SetResponder(TResponder responder);
  void SetFailSends(bool fail);
  // Delivers bytes as if read from the device, the way replies are delivered.
  void Inject(std::vector<TChunk> chunks);
  // Waits until every queued chunk was delivered.
  void Drain();

  std::vector<std::string> Sent() const;
  // "tx:<bytes>" and "rx:<bytes>" in the order they happened.
  std::vector<std::string> Events() const;

  // TqvBaseIO
  THandle OpenHandle() override { return 1; }
  void CloseDeviceHandle(THandle) override {}
  int32_t GetDeviceIndex() override { return 0; }
  void DeviceListLoad() override {}
  bool SendChar(char16_t Ch) override;
  bool SendString(std::string_view S) override;
  bool SendData(const char* Buff, uint32_t N) override;
  void ClearDeviceInput() override {}
  void ClearDeviceOutput() override {}
  void ClearDeviceBuffers() override {}

 private:
  void Deliver(const std::string& bytes);
  void Run();

  const TDelivery delivery_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<TChunk> queue_;
  bool stop_ = false;
  bool busy_ = false;
  bool failSends_ = false;
  TResponder responder_;
  std::vector<std::string> sent_;
  std::vector<std::string> events_;
  std::thread thread_;
};

}  // namespace qvtest
