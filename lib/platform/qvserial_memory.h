// In-memory serial device for tests. The test plays the far side and the
// line: it feeds input, takes what was sent, drives the modem lines, injects
// line errors and breaks, stalls writes, and loses or restores the device.
// Waits, reads and writes block on a condition variable exactly where the
// POSIX device blocks in the kernel, and received characters are reported by
// the same rule (RxReportState, the form for a wait that looks at the queue).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/qvserial.h"
#include "platform/qvserial_events.h"

namespace qv::platform {

class TqvMemorySerial final : public TqvSerialDevice,
                              public std::enable_shared_from_this<TqvMemorySerial> {
 public:
  static std::shared_ptr<TqvMemorySerial> Create(std::string path = "mem:0");
  explicit TqvMemorySerial(std::string path);  // use Create
  ~TqvMemorySerial() override = default;

  // Opens the device (again): fails with ENOENT while it is absent and with
  // PortBusy while it is open. Queues start empty.
  TqvSerialOpenResult Open();
  // An opener that opens this device whatever path it is asked for.
  TqvSerialOpener Opener();

  // ---- the far side and the line
  void FeedInput(std::string_view bytes);
  // What has left the device (not what is stalled in its output queue).
  std::string TakeOutput();
  // Called with every block as it leaves the device, on the writing thread
  // and outside the device's lock, so it may answer with FeedInput (a
  // scripted far side). The bytes are still kept for TakeOutput.
  using TOutputHook = std::function<void(std::string_view bytes)>;
  void SetOutputHook(TOutputHook hook);
  // While stalled, written bytes stay in the output queue; blocking writes
  // wait (and may run into their time-out), Drain waits.
  void SetWriteStall(bool stalled);
  // The modem lines as MS_ bits; a change raises the matching events.
  void SetModemLines(uint32_t msBits);
  // Line errors (CE_ bits), reported by ClearCommError and as EV_ERR/EV_BREAK.
  void InjectLineError(uint32_t ceBits);
  // Line errors that arrive together with data, as one change of the line.
  void InjectLineError(uint32_t ceBits, std::string_view bytes);
  void InjectBreak() { InjectLineError(CE_BREAK); }
  // Raises events the line cannot produce by itself (EV_RXFLAG, EV_RX80FULL...).
  void RaiseEvents(uint32_t ev);
  // Drops what waits in the output queue and reports it as a failed write.
  void FailPendingWrites(std::error_code ec);
  // Makes every later write fail at once with `ec` (empty: writes work again).
  void FailWrites(std::error_code ec);
  // The device disappears: waits end with DeviceLost, I/O fails, Open fails.
  void Lose();
  // The device is present again (after Lose) and can be opened.
  void Restore();

  // ---- what the component did
  bool IsOpen() const;
  int OpenCount() const;
  TDCB Dcb() const;
  TCommTimeouts Timeouts() const;
  uint32_t Mask() const;
  bool Dtr() const;
  bool Rts() const;
  bool BreakOn() const;
  bool OutputSuspended() const;
  std::vector<uint32_t> Purges() const;
  std::vector<TEscape> Escapes() const;
  uint32_t InputQueued() const;
  uint32_t OutputQueued() const;
  int AcksSeen() const;

  // ---- TqvSerialDevice
  const std::string& Path() const override { return path_; }
  intptr_t NativeHandle() const override { return handle_; }
  std::error_code GetCommState(TDCB& dcb) override;
  std::error_code SetCommState(const TDCB& dcb) override;
  std::error_code SetupComm(uint32_t in, uint32_t out) override;
  std::error_code SetCommTimeouts(const TCommTimeouts& t) override;
  std::error_code GetCommTimeouts(TCommTimeouts& t) override;
  uint32_t SupportedEvents() const override { return 0x1FFF & ~EV_PERR; }
  std::error_code SetCommMask(uint32_t mask) override;
  std::error_code WaitCommEvent(uint32_t& mask) override;
  void WakeWait() override;
  void AckReceive(uint32_t leftQueued) override;
  std::error_code Read(std::span<uint8_t> buf, size_t& got) override;
  std::error_code ReadAvailable(std::span<uint8_t> buf, size_t& got) override;
  std::error_code Write(std::span<const uint8_t> data, size_t& written) override;
  std::error_code WriteAsync(std::span<const uint8_t> data) override;
  std::error_code TakeWriteError() override;
  std::error_code TransmitCommChar(uint8_t ch) override;
  std::error_code ClearCommError(uint32_t& errors, TComStat& stat) override;
  std::error_code PurgeComm(uint32_t flags) override;
  void CancelIo() override;
  std::error_code EscapeCommFunction(TEscape fn) override;
  std::error_code GetCommModemStatus(uint32_t& status) override;
  std::error_code GetCommProperties(TCommProp& prop) override;
  std::error_code Drain(std::chrono::milliseconds timeout) override;
  void Close() override;

 private:
  std::error_code UsableLocked() const;
  // Returns what left the device now, for the output hook.
  std::string PushOutputLocked(std::span<const uint8_t> data);
  void CallHook(const std::string& left);

  const std::string path_;
  const intptr_t handle_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool present_ = true, open_ = false, lost_ = false;
  int openCount_ = 0;
  std::deque<uint8_t> input_;
  std::string transmitted_;
  std::deque<uint8_t> outQueue_;
  bool stalled_ = false;
  uint32_t modem_ = 0;
  uint32_t errors_ = 0;
  uint32_t pendingEvents_ = 0;
  uint32_t mask_ = 0;
  bool wakePending_ = false;
  RxReportState rx_;
  int acks_ = 0;
  bool txWatch_ = false;
  std::error_code writeError_, failWrites_;
  std::error_code dropped_;  // a failure dropped output since the last write was taken
  bool writeErrorPending_ = false;
  uint64_t readAbortGen_ = 0, writeAbortGen_ = 0;
  TDCB dcb_;
  TCommTimeouts timeouts_;
  uint32_t inQueueSize_ = 0, outQueueSize_ = 0;
  bool dtr_ = false, rts_ = false, break_ = false, suspended_ = false;
  std::vector<uint32_t> purges_;
  std::vector<TEscape> escapes_;
  std::shared_ptr<TOutputHook> hook_;
};

}  // namespace qv::platform
