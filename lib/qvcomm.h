// The serial port component.
//
// TqvCustomComm does everything that needs an open device: configuration,
// the event-wait thread (TCommThread) and the message thread (TMsgThread),
// the reception path into the I/O base's reception entry, sending, line
// control, modem status, line errors and polling reads. TqvCustomSerialComm
// adds the port number, the device path and how the device is opened;
// TqvComm publishes it all.
//
// Threads of an open port: TCommThread waits for comm events on the device
// and posts each event mask ("qvCommMsgComEvent") to TMsgThread, which runs
// HandleCommEvent on the main thread (through the dispatcher, waiting) when
// UseMainThread is set, else on its own thread. A lost device is handled the
// same way, so with UseMainThread every event of the port, the loss and the
// keep-connection reopen included, runs on the main thread: a program (or
// test) must pump the dispatcher (qv::platform::PumpFor/ProcessMessages, or a
// GUI wake hook) for data to arrive.
//
// Using it:
//   TqvComm comm;
//   comm.SetDataProcessor(&gsm);              // receives every block
//   comm.SetDevicePath(u"/dev/pts/3");        // any tty; or SetComPortNo(101)
//   comm.SetActive(true);                     // throws EqvError on failure unless
//                                             // OnFatalError clears RaiseException
//   ... qv::platform::PumpFor(50) on the main thread ...
// In tests, an in-memory device stands in for the port:
//   auto dev = qv::platform::TqvMemorySerial::Create();
//   comm.SetDeviceOpener(dev->Opener());       // every open opens `dev`
//   dev->FeedInput("OK\r\n"); dev->TakeOutput(); dev->SetModemLines(...); dev->Lose();
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "platform/qvdispatcher.h"
#include "platform/qvserial.h"
#include "qvclasses.h"
#include "qvapi.h"

QV_API_BEGIN

// ---------------------------------------------------------------------------
// Enumerations and sets

enum class TComPort { cpCOM1, cpCOM2, cpCOM3, cpCOM4, cpCOM5, cpCOM6, cpCOM7, cpCOM8, cpCOMxx };
enum class TStreamProtocol { spNone, spXonXoff, spHardware };
enum class TParity { pNone = 0, pOdd = 1, pEven = 2, pMark = 3, pSpace = 4 };
enum class TStopBits { sbOne = 0, sbOneAndHalf = 1, sbTwo = 2 };
enum class TqvEnumPorts { epQuickAll, epFullInfo, epFullPresent };

enum class TTraceState {
  tsRxChar, tsRxFlag, tsTxEmpty, tsCTS, tsDSR, tsRLSD, tsBreak, tsErr, tsRing, tsRx80Full, tsEvent1, tsEvent2
};
enum class TModemSignal { msCTS, msDSR, msRing, msRLSD };

// A set of an enumeration: bit n stands for the value n.
template <class E, class Bits>
class TqvSetOf {
 public:
  constexpr TqvSetOf() = default;
  constexpr TqvSetOf(std::initializer_list<E> items) {
    for (E e : items) Include(e);
  }
  static constexpr TqvSetOf FromBits(Bits b) {
    TqvSetOf s;
    s.bits_ = b;
    return s;
  }
  constexpr bool Contains(E e) const { return bits_ & Bit(e); }
  constexpr void Include(E e) { bits_ = Bits(bits_ | Bit(e)); }
  constexpr void Exclude(E e) { bits_ = Bits(bits_ & ~Bit(e)); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr Bits ToBits() const { return bits_; }
  constexpr bool operator==(const TqvSetOf&) const = default;

 private:
  static constexpr Bits Bit(E e) { return Bits(1u << unsigned(e)); }
  Bits bits_ = 0;
};

using TTraceStates = TqvSetOf<TTraceState, uint16_t>;
using TModemSignals = TqvSetOf<TModemSignal, uint8_t>;
// The low 8 bits of the line-status flags (bit 0 CTS hold ... bit 6 character
// queued by SendAheadChar).
using TComStateFlags = uint8_t;

using TOnTraceEvent = TqvEvent<TObject* /*Com*/, TTraceStates /*Event*/>;
using TOnCommErrorEvent = TqvEvent<TObject* /*Com*/, uint32_t /*CommCode*/, uint32_t /*SysError*/,
                                   TComStateFlags /*State*/, bool& /*flFlashBuffers*/>;

// The EV_ bit each trace state watches (tsRx80Full watches 0x0400, not 0x0200).
uint32_t TraceStateEventBit(TTraceState s);
// The comm event mask for a set of trace states: EV_RXCHAR always.
uint32_t TraceStatesToEventMask(TTraceStates states);
// The trace states reported for an event mask (EV_RXCHAR and EV_TXEMPTY are not).
TTraceStates EventMaskToTraceStates(uint32_t mask);

// A Boolean display bound to a modem signal (a check box in the GUI).
class TqvCustomSignalMonitor : public TqvComponent {
 public:
  explicit TqvCustomSignalMonitor(TqvComponent* AOwner = nullptr) : TqvComponent(AOwner) {}
  virtual void SetChecked(bool Value) = 0;
};

// Shows the port configuration dialog over a configuration record; true
// when the user confirmed (the record then holds the new settings). The
// desktop program installs the Qt dialog.
using TqvCommConfigDialogHook =
    std::function<bool(const std::u16string& PortName, qv::platform::TCommConfig& Config)>;
TqvCommConfigDialogHook SetCommConfigDialogHook(TqvCommConfigDialogHook hook);

// The registered message numbers of the two port threads.
uint32_t qvCommMsgComEvent();
uint32_t qvCommMsgQuitComEvent();

class TqvCustomComm;

// ---------------------------------------------------------------------------
// The event-wait thread: waits for comm events and posts each mask to the
// message thread. Knows only the device and the message thread's queue.
class TCommThread {
 public:
  TCommThread(qv::platform::TqvSerialDevicePtr Device, qv::platform::TThreadId MsgThreadId);
  ~TCommThread();  // Terminate, then join (pumping on the main thread)
  TCommThread(const TCommThread&) = delete;
  TCommThread& operator=(const TCommThread&) = delete;

  void Terminate();
  bool Terminated() const;
  // Joins the thread, or hands it to the reaper when that is not possible here.
  void WaitFor();

  // A mask bit of this library: the wait ended because the device was lost.
  static constexpr uint32_t EV_LOST = 0x40000000u;

 private:
  struct State;
  static void Execute(std::shared_ptr<State> st);
  std::shared_ptr<State> st_;
  std::thread thread_;
};

// The message thread: takes the event masks from its queue and runs the
// port's handler, on the main thread with UseMainThread.
class TMsgThread {
 public:
  explicit TMsgThread(TqvCustomComm* Com);
  ~TMsgThread();
  TMsgThread(const TMsgThread&) = delete;
  TMsgThread& operator=(const TMsgThread&) = delete;

  void Terminate();  // also posts "qvCommMsgQuitComEvent"
  bool Terminated() const;
  void WaitFor();
  qv::platform::TThreadId ThreadId() const;

 private:
  struct State;
  static void Execute(std::shared_ptr<State> st);
  std::shared_ptr<State> st_;
  std::thread thread_;
};

// ---------------------------------------------------------------------------
class TqvCustomComm : public TqvBaseIO {
 public:
  explicit TqvCustomComm(TqvComponent* AOwner = nullptr);
  ~TqvCustomComm() override;

  // --- virtual operations added by the serial port, in slot order
  virtual std::u16string ComName();
  virtual void SetupPort();
  virtual void SetEventChar(char16_t Value);
  virtual char16_t EventChar();
  virtual void DoCommError(uint32_t CommCode, uint32_t SysError, TComStateFlags State);

  // --- overrides of the I/O base
  void CloseDeviceHandle(THandle h) override;
  void Open() override;
  void Close() override;
  void StartThreads() override;
  void StopThreads() override;
  void KeepConnectionTick(TObject* Sender) override;
  // Sending: true when every byte was written (SendChar, SendString) or taken
  // into the port's own output buffer (SendData, written in the background).
  bool SendChar(char16_t Ch) override;
  bool SendString(std::string_view S) override;
  bool SendData(const char* Buff, uint32_t N) override;
  void ClearDeviceInput() override;
  void ClearDeviceOutput() override;
  void ClearDeviceBuffers() override;
  std::error_code FlushOutput(uint32_t TimeoutMs) override;
  uint32_t WriteTimeout() const override { return fCommTimeouts.WriteTotalTimeoutConstant; }

  // Writing Active False also ends reconnect attempts after a loss.
  void SetActive(bool Value) override;

  bool SendAheadChar(char16_t Ch);
  void FlushOutputBuffer();
  void ConfigDialog();
  void ApplyLineSettings();
  void ReadLineSettings();
  void ApplyTimeouts(const qv::platform::TCommTimeouts& T);

  // --- line control and status
  void SetStateDTR(bool State);
  void SetStateRTS(bool State);
  void SetStateX(bool State);
  void SetStateBreak(bool State);
  void DoTraceState(TObject* Com, TTraceStates Event);
  TModemSignals ModemSignals();
  uint32_t ReadyForRead();
  uint32_t NotYetSend();
  const qv::platform::TCommProp* CommProp();

  // --- reading by the application (bounded by the buffer given)
  void Read(std::span<char> Buffer);
  uint32_t ReadAll(std::span<char> Buffer);
  // Reads min(ReadyForRead, MaxLen, Buffer.size()) bytes; a negative MaxLen reads nothing.
  int32_t ReadMax(std::span<char> Buffer, int32_t MaxLen);
  std::string ReadString();
  bool WaitForBytes(uint32_t Count, uint32_t Ms);
  bool WaitForSignal(TModemSignal Signal, uint32_t Ms);

  // --- properties
  uint32_t BaudRate() const { return CommCfg.dcb.BaudRate; }
  void SetBaudRate(uint32_t Value);
  TParity Parity() const { return TParity(CommCfg.dcb.Parity); }
  void SetParity(TParity Value);
  TStopBits StopBits() const { return TStopBits(CommCfg.dcb.StopBits); }
  void SetStopBits(TStopBits Value);
  uint8_t ByteSize() const { return CommCfg.dcb.ByteSize; }
  void SetByteSize(uint8_t Value);
  TStreamProtocol StreamProtocol() const { return fProtocol; }
  void SetStreamProtocol(TStreamProtocol Value);
  bool RS485Mode() const { return fRS485Mode; }
  void SetRS485Mode(bool Value);
  uint32_t TimeoutRead() const { return fCommTimeouts.ReadIntervalTimeout; }
  void SetTimeoutRead(uint32_t Value);
  uint32_t TimeoutWrite() const { return fCommTimeouts.WriteTotalTimeoutConstant; }
  void SetTimeoutWrite(uint32_t Value);
  TTraceStates TraceStates() const { return TTraceStates::FromBits(fTraceStates.load()); }
  void SetTraceStates(TTraceStates Value);
  uint16_t BufferInSize() const { return fBufferInSize; }
  void SetBufferInSize(uint16_t Value);
  uint16_t BufferOutSize() const { return fBufferOutSize; }
  void SetBufferOutSize(uint16_t Value);
  TqvCustomSignalMonitor* MonitorCTS() const { return fMonitorCTS; }
  void SetMonitorCTS(TqvCustomSignalMonitor* Value) { SetMonitor(fMonitorCTS, Value); }
  TqvCustomSignalMonitor* MonitorDSR() const { return fMonitorDSR; }
  void SetMonitorDSR(TqvCustomSignalMonitor* Value) { SetMonitor(fMonitorDSR, Value); }
  TqvCustomSignalMonitor* MonitorRLSD() const { return fMonitorRLSD; }
  void SetMonitorRLSD(TqvCustomSignalMonitor* Value) { SetMonitor(fMonitorRLSD, Value); }
  TqvCustomSignalMonitor* MonitorRing() const { return fMonitorRing; }
  void SetMonitorRing(TqvCustomSignalMonitor* Value) { SetMonitor(fMonitorRing, Value); }
  uint32_t TotalSent() const { return fTotalSent.load(); }
  uint32_t TotalReceived() const { return fTotalReceived.load(); }
  const std::u16string& LastErrorString() const { return fLastErrorString; }
  // The configuration record with the line settings (read by saved configurations).
  const qv::platform::TCommConfig& CommConfig() const { return CommCfg; }
  void SetCommConfig(const qv::platform::TCommConfig& Value) { CommCfg = Value; }
  const qv::platform::TCommTimeouts& CommTimeouts() const { return fCommTimeouts; }

  TOnSent OnAfterSend;
  TOnTraceEvent OnTraceState;
  TOnCommErrorEvent OnCommError;

  // --- used by the port's own threads
  // Runs one posted event mask (on the main thread with UseMainThread).
  void HandleCommEvent(uint32_t Mask);
  // The common end of a normal close (Normal) and of a lost device. An error
  // of a close subscriber is thrown on once everything else is done.
  void Disconnect(bool Normal);
  // The open device, shared with whoever uses it right now; empty when closed.
  qv::platform::TqvSerialDevicePtr Device() const;
  qv::platform::TDispatchGroup& DispatchGroup() { return fDispatch; }

 protected:
  // Ends everything that runs on other threads (keep-connection timer, the
  // port's threads) and closes the port. A class derived from this one calls
  // it first thing in its destructor, while its own overrides still exist;
  // later calls do nothing.
  void ShutDown();

  void Notification(TqvComponent* AComponent, TOperation Operation) override;
  // OpenHandle's helper for descendants: takes over an opened device.
  THandle AdoptDevice(qv::platform::TqvSerialDevicePtr Device);
  // The text of the last failed open, used in the open-error message.
  std::u16string fOpenErrorText;
  // True where the port switches RTS itself around sends in RS-485 mode.
  bool SoftwareRS485() const { return fRS485Mode && fIsNotSupportRS485; }

  qv::platform::TCommConfig CommCfg;
  qv::platform::TCommTimeouts fCommTimeouts;
  qv::platform::TCommProp ComProp;
  std::unique_ptr<TMsgThread> MsgThread;
  std::unique_ptr<TCommThread> CommThread;

 private:
  void SetMonitor(TqvCustomSignalMonitor*& field, TqvCustomSignalMonitor* Value);
  void AllocReceiveBuffer();
  void FreeReceiveBuffer();
  std::shared_ptr<std::vector<char>> ReceiveBuffer() const;
  void ReceiveQueued(qv::platform::TqvSerialDevice& dev, std::vector<char>& buf, uint32_t queued,
                     uint32_t& left);
  // Errors a status query saw; reported by the next handler run.
  void KeepErrors(uint32_t errors) { fPendingErrors.fetch_or(errors); }
  // Counts arrivals: `queued` bytes are in the input queue now.
  void CountQueued(uint32_t queued);
  void CountRead(uint32_t n);
  void KeepConnectionTickHere(TObject* Sender);
  void ReportWriteFailure(const std::error_code& ec);
  void RaiseRtsForSend();

  mutable std::mutex fDeviceMutex;  // fDevice and glBuffer
  qv::platform::TqvSerialDevicePtr fDevice;
  std::shared_ptr<std::vector<char>> glBuffer;
  std::atomic<bool> fDisconnecting{false};
  bool fShutDown = false;
  std::mutex fReconnectMutex;  // the reconnect decision and switching off
  bool fReconnect = false;     // a lost port is being reopened
  uint32_t fReconnectGen = 0;  // counts the times the port was switched off
  uint32_t fOpenedGen = 0;     // fReconnectGen at the last open
  std::atomic<uint32_t> fPendingErrors{0};
  std::mutex fCountMutex;
  uint32_t fQueuedCounted = 0;  // bytes in the input queue already counted as received
  std::atomic<uint32_t> fTotalSent{0}, fTotalReceived{0};
  std::u16string fLastErrorString;
  std::atomic<uint16_t> fTraceStates{0};
  uint16_t fBufferOutSize = 8192, fBufferInSize = 8192;
  bool fRS485Mode = false;
  TqvCustomSignalMonitor* fMonitorRLSD = nullptr;
  TqvCustomSignalMonitor* fMonitorRing = nullptr;
  TqvCustomSignalMonitor* fMonitorCTS = nullptr;
  TqvCustomSignalMonitor* fMonitorDSR = nullptr;
  // The kernel's RS-485 mode exists only for some drivers, so the port
  // switches RTS itself.
  bool fIsNotSupportRS485 = true;
  TStreamProtocol fProtocol = TStreamProtocol::spHardware;
  qv::platform::TDispatchGroup fDispatch;       // the message thread's calls
  qv::platform::TDispatchGroup fTimerDispatch;  // the keep-connection ticks' calls
};

// ---------------------------------------------------------------------------
class TqvCustomSerialComm : public TqvCustomComm {
 public:
  explicit TqvCustomSerialComm(TqvComponent* AOwner = nullptr);
  ~TqvCustomSerialComm() override;

  // ComName: the device path in use ("/dev/ttyUSB0", a by-id link, a
  // pseudo-terminal), or "COM" + number for a number outside the port table.
  std::u16string ComName() override;
  // Part of the discovery and saved-configuration code (qvcomm_devices.cpp).
  virtual bool SaveConfig(const std::u16string& Root, const std::u16string& Key, const std::u16string& Name);
  virtual bool LoadConfig(const std::u16string& Root, const std::u16string& Key, const std::u16string& Name);
  virtual std::u16string GetPNPDeviceString();
  // Hardware handshake test: DTR on, RTS off, DSR within 200 ms, RTS on.
  virtual void InitDeviceConnect();

  THandle OpenHandle() override;
  void SetDeviceIndex(int32_t Value) override;
  int32_t GetDeviceIndex() override;
  void DeviceListLoad() override;
  void Update() override;
  bool WMDeviceChange(const TqvDeviceChangeMsg& Msg) override;

  uint16_t ComPortNo() const { return fComPortNo; }
  void SetComPortNo(uint16_t Value);
  TComPort ComPort() const;
  void SetComPort(TComPort Value);
  // An explicit device path; it wins over ComPortNo when not empty, until a
  // device is picked from the list (SetDeviceIndex).
  const std::u16string& DevicePath() const { return fDevicePath; }
  void SetDevicePath(const std::u16string& Value);
  TqvEnumPorts EnumPorts() const { return fEnumPorts; }
  void SetEnumPorts(TqvEnumPorts Value) { fEnumPorts = Value; }
  // The full listings ask each USB serial interface, that no program holds,
  // whether it answers AT (a short probe; never an on-board UART), and name
  // the interfaces that do. Off by default: the probe writes to the devices.
  bool ProbeAT() const { return fProbeAT; }
  void SetProbeAT(bool Value) { fProbeAT = Value; }
  // Adopts an already open descriptor at once (0 and -1 are ignored).
  void SetExtHandle(THandle aHandle);
  // How devices are opened; the POSIX backend unless replaced (tests pass
  // an in-memory device's Opener()). An empty opener restores the default.
  void SetDeviceOpener(qv::platform::TqvSerialOpener Opener);

 protected:
  // The path OpenHandle opens: DevicePath, else the selected device's port
  // name, else the port table's path of ComPortNo.
  std::string OpenPath();

  uint16_t fComPortNo = 1;
  THandle fExtHandle = 0;
  TqvEnumPorts fEnumPorts = TqvEnumPorts::epQuickAll;
  bool fProbeAT = false;
  std::u16string fDevicePath;
  qv::platform::TqvSerialOpener fOpener;
};

// The listed device to start on: the first interface that answered AT, else
// the first port of a USB device, else none (an on-board UART is never
// chosen by itself).
TqvDevice* FirstModemDevice(TqvCustomSerialComm& comm);

// ---------------------------------------------------------------------------
class TqvComm : public TqvCustomSerialComm {
 public:
  explicit TqvComm(TqvComponent* AOwner = nullptr) : TqvCustomSerialComm(AOwner) {}
  ~TqvComm() override { ShutDown(); }
};

QV_API_END
