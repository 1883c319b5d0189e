// The modem side of the fuzz targets that drive the AT command processor and
// the GSM component: an input format (what the modem says, reply by reply),
// a device that plays it back on the sending thread, and the scenarios the
// targets and the seed generator (tests/qvfuzz_seeds_test.cpp) share.
//
// Input: byte 0 picks the built-in driver (its index modulo the count); the
// rest is the modem's output cut into chunks at each kChunkEnd byte. Every
// line the host sends is answered, inline and before the send returns, with
// the next chunk; once the lines of a scenario are done, the chunks left over
// arrive unsolicited, one at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "qvclasses.h"
#include "qvgsm.h"
#include "qvtext.h"

namespace qvfuzz {

inline constexpr char kChunkEnd = '\xFF';

struct TModemInput {
  uint8_t Driver = 0;
  std::deque<std::string> Chunks;
};

inline TModemInput ParseInput(std::string_view data) {
  TModemInput in;
  if (data.empty()) return in;
  in.Driver = static_cast<uint8_t>(data[0]);
  data.remove_prefix(1);
  while (!data.empty()) {
    const size_t end = data.find(kChunkEnd);
    in.Chunks.emplace_back(data.substr(0, end));
    data.remove_prefix(end == std::string_view::npos ? data.size() : end + 1);
  }
  return in;
}

inline std::string MakeInput(uint8_t driver, const std::vector<std::string>& chunks) {
  std::string out(1, static_cast<char>(driver));
  for (size_t i = 0; i < chunks.size(); ++i) {
    if (i > 0) out += kChunkEnd;
    out += chunks[i];
  }
  return out;
}

// The AT processor target's queue: these driver commands, line by line.
inline constexpr int32_t kProcessorQueue[] = {
    qv::gsm::gsmInit,       qv::gsm::gsmGetManufacturer, qv::gsm::gsmGetModel,   qv::gsm::gsmGetIMEI,
    qv::gsm::gsmGetSMSMem,  qv::gsm::gsmGetPINStatus,    qv::gsm::gsmSMSList,    qv::gsm::gsmGetSignalStatus,
};

// The GSM target's send: its recipient and text.
inline constexpr char16_t kSendPhone[] = u"+491701234567";
inline constexpr char16_t kSendText[] = u"Fuzz";

// A log at the debug level that formats every line and keeps none of them.
class TqvSinkLog : public TqvCustomLogFile {
 public:
  TqvSinkLog() { SetDetailLevel(TDetailLevel::dlDebug); }
  void Save() override {}
  void Clear() override {}
  void Add(const std::u16string& s) override { fChars += s.size(); }
  void AddSysInfo() override {}
  void AddLog(TDetailLevel l, const std::u16string& s) override {
    if (DetailLevel() >= l) Add(s);
  }
  void AddFmt(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) override {
    Add(qv::Format(Format, Args));
  }
  void AddLogFmt(TDetailLevel l, const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) override {
    if (DetailLevel() >= l) AddFmt(Format, Args);
  }

 private:
  std::atomic<size_t> fChars{0};
};

// A device that answers each sent line with the input's next chunk, on the
// sending thread before the send returns: no thread of its own.
class TqvPlaybackDevice : public TqvBaseIO {
 public:
  explicit TqvPlaybackDevice(std::deque<std::string> chunks) : fChunks(std::move(chunks)) {}
  ~TqvPlaybackDevice() override { SetDataProcessor(nullptr); }

  void OpenDevice() {
    fHandle = 1;
    DoNotify(qvNotifyOpened);
  }
  void CloseDevice() {
    fHandle = INVALID_HANDLE_VALUE;
    DoNotify(qvNotifyClosed);
  }
  // Delivers the next chunk unasked; false when none is left.
  bool DeliverNext() {
    if (fChunks.empty()) return false;
    const std::string bytes = std::move(fChunks.front());
    fChunks.pop_front();
    if (!bytes.empty()) DataReceived(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return true;
  }

  THandle OpenHandle() override { return 1; }
  void CloseDeviceHandle(THandle) override {}
  int32_t GetDeviceIndex() override { return 0; }
  void DeviceListLoad() override {}
  bool SendChar(char16_t Ch) override {
    const char c = static_cast<char>(Ch);
    return SendData(&c, 1);
  }
  bool SendString(std::string_view S) override { return SendData(S.data(), static_cast<uint32_t>(S.size())); }
  bool SendData(const char* /*Buff*/, uint32_t /*N*/) override {
    if (!IsOpen()) return false;
    DeliverNext();
    return true;
  }
  void ClearDeviceInput() override {}
  void ClearDeviceOutput() override {}
  void ClearDeviceBuffers() override {}

 private:
  std::deque<std::string> fChunks;
};

}  // namespace qvfuzz
