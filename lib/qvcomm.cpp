#include "qvcomm.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <utility>

#include "platform/qvportnames.h"
#include "platform/qvthread.h"

namespace pf = qv::platform;
using pf::TSerialErrc;

namespace {

constexpr uint32_t kFlagsKeptMask = 0x4CEA;
constexpr uint32_t kFlagsNone = 0x1011;      // binary, DTR on, RTS on
constexpr uint32_t kFlagsXonXoff = 0x1311;   // ... and XON/XOFF both ways
constexpr uint32_t kFlagsHardware = 0x2015;  // binary, CTS out, DTR on, RTS handshake
constexpr uint32_t kFlagsRS485 = 0x3011;     // binary, DTR on, RTS toggle
constexpr uint32_t kAllLineErrors = 0x1F;    // every CE_ bit at once: the device is gone

// The system error number of a platform error, for OnCommError's SysError.
uint32_t SysErrorOf(const std::error_code& ec) { return ec ? uint32_t(ec.default_error_condition().value()) : 0; }


std::u16string ErrorText(const std::error_code& ec) { return qv::Utf8ToString(ec.message()); }

// Waits a little for time to pass; the main thread runs handed-over calls
// (the port's own events among them) meanwhile.
void PauseBriefly() {
  if (pf::IsMainThread())
    pf::PumpFor(5);
  else
    pf::Sleep(5);
}

std::mutex gDialogMutex;
TqvCommConfigDialogHook gDialogHook;

struct TraceRow {
  TTraceState state;
  uint32_t event;
};
constexpr TraceRow kTraceTable[] = {
    {TTraceState::tsRxChar, pf::EV_RXCHAR},   {TTraceState::tsRxFlag, pf::EV_RXFLAG},
    {TTraceState::tsTxEmpty, pf::EV_TXEMPTY}, {TTraceState::tsCTS, pf::EV_CTS},
    {TTraceState::tsDSR, pf::EV_DSR},         {TTraceState::tsRLSD, pf::EV_RLSD},
    {TTraceState::tsBreak, pf::EV_BREAK},     {TTraceState::tsErr, pf::EV_ERR},
    {TTraceState::tsRing, pf::EV_RING},       {TTraceState::tsRx80Full, pf::EV_RX80FULL},
    {TTraceState::tsEvent1, pf::EV_EVENT1},   {TTraceState::tsEvent2, pf::EV_EVENT2},
};

}  // namespace

// ===========================================================================
// Free helpers

uint32_t TraceStateEventBit(TTraceState s) {
  for (const TraceRow& r : kTraceTable)
    if (r.state == s) return r.event;
  return 0;
}

uint32_t TraceStatesToEventMask(TTraceStates states) {
  uint32_t mask = pf::EV_RXCHAR;
  for (const TraceRow& r : kTraceTable)
    if (states.Contains(r.state)) mask |= r.event;
  return mask;
}

TTraceStates EventMaskToTraceStates(uint32_t mask) {
  TTraceStates out;
  for (const TraceRow& r : kTraceTable) {
    if (r.state == TTraceState::tsRxChar || r.state == TTraceState::tsTxEmpty) continue;
    if (mask & r.event) out.Include(r.state);
  }
  return out;
}

TqvCommConfigDialogHook SetCommConfigDialogHook(TqvCommConfigDialogHook hook) {
  std::lock_guard lock(gDialogMutex);
  return std::exchange(gDialogHook, std::move(hook));
}

uint32_t qvCommMsgComEvent() {
  static const uint32_t id = pf::RegisterMessage(u"qvCommMsgComEvent");
  return id;
}

uint32_t qvCommMsgQuitComEvent() {
  static const uint32_t id = pf::RegisterMessage(u"qvCommMsgQuitComEvent");
  return id;
}

// ===========================================================================
// Threads

struct TCommThread::State {
  pf::TqvSerialDevicePtr device;
  pf::TThreadId msgThread = 0;
  std::atomic<bool> terminated{false};
};

TCommThread::TCommThread(pf::TqvSerialDevicePtr Device, pf::TThreadId MsgThreadId)
    : st_(std::make_shared<State>()) {
  st_->device = std::move(Device);
  st_->msgThread = MsgThreadId;
  thread_ = std::thread(&TCommThread::Execute, st_);
}

TCommThread::~TCommThread() {
  Terminate();
  WaitFor();
}

void TCommThread::Terminate() {
  st_->terminated = true;
  st_->device->WakeWait();
}

bool TCommThread::Terminated() const { return st_->terminated.load(); }

void TCommThread::WaitFor() { qv::JoinOrReap(thread_); }

void TCommThread::Execute(std::shared_ptr<State> st) {
  // Only the shared state is used here: the thread may be reaped after its
  // owner is gone.
  auto post = [&st](uint32_t mask) {
    return pf::PostThreadMessage(st->msgThread, {qvCommMsgComEvent(), mask, 0});
  };
  while (!st->terminated) {
    uint32_t mask = 0;
    const std::error_code ec = st->device->WaitCommEvent(mask);
    if (st->terminated) break;
    if (ec) {
      // Closed under the wait: a normal close. Anything else ends the port
      // as lost; the message thread's handler runs the disconnect.
      if (ec != TSerialErrc::Closed) post(EV_LOST);
      break;
    }
    // The message thread makes its queue before this thread starts, so a
    // post fails only once that thread has ended: then nobody handles
    // events any more and waiting on would be pointless.
    if (mask != 0 && !post(mask)) break;
  }
}

struct TMsgThread::State {
  TqvCustomComm* com = nullptr;
  std::atomic<bool> terminated{false};
  std::atomic<pf::TThreadId> id{0};
  pf::TEvent ready{true, false};
};

TMsgThread::TMsgThread(TqvCustomComm* Com) : st_(std::make_shared<State>()) {
  st_->com = Com;
  thread_ = std::thread(&TMsgThread::Execute, st_);
  st_->ready.Wait();  // its queue exists from here on
}

TMsgThread::~TMsgThread() {
  Terminate();
  WaitFor();
}

void TMsgThread::Terminate() {
  st_->terminated = true;
  pf::PostThreadMessage(st_->id.load(), {qvCommMsgQuitComEvent(), 0, 0});
}

bool TMsgThread::Terminated() const { return st_->terminated.load(); }

void TMsgThread::WaitFor() { qv::JoinOrReap(thread_); }

pf::TThreadId TMsgThread::ThreadId() const { return st_->id.load(); }

void TMsgThread::Execute(std::shared_ptr<State> st) {
  st->id = pf::CurrentThreadId();
  st->ready.Set();
  TqvCustomComm* com = st->com;
  while (!st->terminated) {
    pf::TMessage msg;
    if (!pf::GetMessage(msg)) continue;
    if (st->terminated || msg.Message == qvCommMsgQuitComEvent()) break;
    if (msg.Message == qvCommMsgComEvent()) {
      const auto mask = uint32_t(msg.WParam);
      try {
        if (com->UseMainThread()) {
          // Skipped when the port was told to stop meanwhile.
          pf::RunOnMainThread(com->DispatchGroup(), [&] {
            if (!st->terminated) com->HandleCommEvent(mask);
          });
        } else {
          com->HandleCommEvent(mask);
        }
      } catch (...) {
        // HandleCommEvent reports its own errors; nothing leaves this thread.
      }
    }
    // The port is no longer open (no virtual call: the owner may be in its destructor).
    if (st->terminated || com->Handle() == INVALID_HANDLE_VALUE) break;
  }
}

// ===========================================================================
// TqvCustomComm

TqvCustomComm::TqvCustomComm(TqvComponent* AOwner) : TqvBaseIO(AOwner) {
  fUseMainThread = true;
  sLogPrefix = u"qvComm: ";
  CommCfg.dwSize = 52;
  CommCfg.dcb.DCBlength = 28;
  CommCfg.dcb.Flags = 0;  // this system has no stored default configuration of a port
  CommCfg.dcb.BaudRate = 19200;
  CommCfg.dcb.ByteSize = 8;
  CommCfg.dcb.Parity = pf::NOPARITY;
  CommCfg.dcb.StopBits = pf::ONESTOPBIT;
  CommCfg.dcb.EvtChar = 0;
  fProtocol = TStreamProtocol::spHardware;
  ApplyLineSettings();
}

TqvCustomComm::~TqvCustomComm() { ShutDown(); }

void TqvCustomComm::ShutDown() {
  if (fShutDown) return;
  fShutDown = true;
  // No keep-connection tick may reach this object while it goes away: a tick
  // waiting for the main thread is released before the timer is destroyed
  // (which pumps, and would otherwise run the reopen now).
  fTimerDispatch.Cancel();
  FreeKeepConnectionTimer();
  SetTerminal(nullptr);
  SetDataProcessor(nullptr);
  OnTraceState = nullptr;
  Close();
  StopThreads();
  FreeReceiveBuffer();
  if (auto dev = Device()) {  // a lost device
    AdoptDevice(nullptr);
    dev->Close();
  }
}

pf::TqvSerialDevicePtr TqvCustomComm::Device() const {
  std::lock_guard lock(fDeviceMutex);
  return fDevice;
}

THandle TqvCustomComm::AdoptDevice(pf::TqvSerialDevicePtr Device) {
  std::lock_guard lock(fDeviceMutex);
  fDevice = std::move(Device);
  return fDevice ? THandle(fDevice->NativeHandle()) : INVALID_HANDLE_VALUE;
}

void TqvCustomComm::CloseDeviceHandle(THandle /*h*/) {
  pf::TqvSerialDevicePtr dev;
  {
    std::lock_guard lock(fDeviceMutex);
    dev = std::move(fDevice);
  }
  // Ends a pending wait (TCommThread), reads and writes; whoever still holds
  // the object sees it closed.
  if (dev) dev->Close();
}

std::u16string TqvCustomComm::ComName() { return u"Unknown"; }

void TqvCustomComm::AllocReceiveBuffer() {
  auto buf = std::make_shared<std::vector<char>>(std::max<size_t>(fBufferInSize, 8192), '\0');
  std::lock_guard lock(fDeviceMutex);
  glBuffer = std::move(buf);
}

void TqvCustomComm::FreeReceiveBuffer() {
  // The handler holds its own reference while it reads into the buffer, so
  // this never frees it under a reader.
  std::lock_guard lock(fDeviceMutex);
  glBuffer.reset();
}

std::shared_ptr<std::vector<char>> TqvCustomComm::ReceiveBuffer() const {
  std::lock_guard lock(fDeviceMutex);
  return glBuffer;
}

void TqvCustomComm::CountQueued(uint32_t queued) {
  std::lock_guard lock(fCountMutex);
  if (queued > fQueuedCounted) {
    fTotalReceived += queued - fQueuedCounted;
    fQueuedCounted = queued;
  }
}

void TqvCustomComm::CountRead(uint32_t n) {
  std::lock_guard lock(fCountMutex);
  // A read may take bytes that came after the queue was last looked at.
  if (n > fQueuedCounted) fTotalReceived += n - fQueuedCounted;
  fQueuedCounted = fQueuedCounted > n ? fQueuedCounted - n : 0;
}

void TqvCustomComm::Open() {
  Close();
  fTotalReceived = 0;
  fTotalSent = 0;
  {
    std::lock_guard lock(fCountMutex);
    fQueuedCounted = 0;
  }
  fPendingErrors = 0;
  {
    std::lock_guard lock(fReconnectMutex);
    fOpenedGen = fReconnectGen;
  }
  TqvBaseIO::Open();  // OnOpen comes here, before configuration and threads
  if (!IsOpen()) {
    fLastErrorString = qv::Format(u"Device \"%s\" Open Error !!!\r%s", {ComName(), fOpenErrorText});
    DoFatalError(1, 0, fLastErrorString, false);
    return;
  }
  AllocReceiveBuffer();
  WriteLogFmt(TDetailLevel::dlSimple, u"The port %s is opened succesfully", {ComName()});
  SetupPort();
  SetTraceStates(TraceStates());
  StartThreads();
  DoNotify(qvNotifyOpened);
}

void TqvCustomComm::SetupPort() {
  auto dev = Device();
  if (!dev) return;
  uint32_t errors = 0;
  pf::TComStat stat;
  (void)dev->ClearCommError(errors, stat);
  (void)dev->SetupComm(fBufferInSize, fBufferOutSize);
  ApplyTimeouts(fCommTimeouts);
  ApplyLineSettings();
}

void TqvCustomComm::StartThreads() {
  StopThreads();
  auto dev = Device();
  if (!dev) return;
  fDispatch.Reopen();
  MsgThread = std::make_unique<TMsgThread>(this);
  CommThread = std::make_unique<TCommThread>(dev, MsgThread->ThreadId());
}

void TqvCustomComm::StopThreads() {
  if (CommThread) {
    CommThread->Terminate();
    CommThread->WaitFor();
    CommThread.reset();
  }
  if (MsgThread) {
    MsgThread->Terminate();
    // A handler call the message thread still waits for is dropped; it would
    // be skipped anyway, and off the main thread nobody would run it.
    fDispatch.Cancel();
    MsgThread->WaitFor();
    MsgThread.reset();
  }
}

void TqvCustomComm::Close() {
  if (IsOpen()) {
    try {
      Disconnect(true);
    } catch (...) {
      // A close is not undone by a failing subscriber; the port is closed
      // all the same.
      try {
        TqvBaseIO::Close();
      } catch (...) {
      }
    }
    StopThreads();
    WriteLog(TDetailLevel::dlSimple, u"The port is closed succesfully");
  }
  DoTraceState(this, {TTraceState::tsTxEmpty});
}

void TqvCustomComm::Disconnect(bool Normal) {
  if (!IsOpen()) return;
  // A close on one thread and a loss handled on another: the first one ends
  // the port, the other has nothing left to do.
  bool expected = false;
  if (!fDisconnecting.compare_exchange_strong(expected, true)) return;
  struct Done {
    std::atomic<bool>& flag;
    ~Done() { flag = false; }
  } done{fDisconnecting};
  if (Normal && NotYetSend() > 0) ClearDeviceBuffers();
  FreeReceiveBuffer();
  TqvBaseIO::Close();  // invalidates the handle, closes the device, OnClose
  // A subscriber's error must not keep a lost port from being reopened: it
  // is thrown on once the reconnect is decided.
  std::exception_ptr notifyError;
  try {
    DoNotify(qvNotifyClosed);
  } catch (...) {
    notifyError = std::current_exception();
  }
  {
    // Decided under the lock that switching off takes, so that a loss and
    // the user's switching off on another thread cannot cross: the user's
    // choice wins, and a port switched off since it was opened stays closed.
    std::lock_guard lock(fReconnectMutex);
    fReconnect = fKeepConnection && !Normal && fReconnectGen == fOpenedGen;
    if (fReconnect)
      KeepConnectionStart();
    else
      KeepConnectionStop();
  }
  if (notifyError) std::rethrow_exception(notifyError);
}

void TqvCustomComm::SetActive(bool Value) {
  if (!Value && !IsLoading()) {
    // Switching the port off also ends the attempts to reopen a lost device.
    std::lock_guard lock(fReconnectMutex);
    fReconnect = false;
    ++fReconnectGen;
    KeepConnectionStop();
  }
  TqvBaseIO::SetActive(Value);
}

void TqvCustomComm::KeepConnectionTick(TObject* Sender) {
  // With UseMainThread the reopen and all its events run on the main thread.
  if (fUseMainThread && !pf::IsMainThread()) {
    pf::RunOnMainThread(fTimerDispatch, [&] { KeepConnectionTickHere(Sender); });
    return;
  }
  KeepConnectionTickHere(Sender);
}

void TqvCustomComm::KeepConnectionTickHere(TObject* Sender) {
  TqvBaseIO::KeepConnectionTick(Sender);
  if (!fKeepConnection) return;
  uint32_t gen;
  {
    std::lock_guard lock(fReconnectMutex);
    if (!fReconnect || IsOpen()) {
      fReconnect = false;
      KeepConnectionStop();
      return;
    }
    gen = fReconnectGen;
  }
  WriteLog(TDetailLevel::dlDetail, u" TqvCustomComm. Try to keep connection ...");
  try {
    Open();
  } catch (...) {
    // OnFatalError and the log have it; the next tick tries again.
  }
  if (!IsOpen()) return;
  bool switchedOff;
  {
    std::lock_guard lock(fReconnectMutex);
    switchedOff = gen != fReconnectGen;  // while this tick was opening
    fReconnect = false;
    KeepConnectionStop();
  }
  if (switchedOff) {
    Close();
    return;
  }
  WriteLog(TDetailLevel::dlDetail, u" TqvCustomComm. Try to keep connection ... OPENED!");
}

// ---------------------------------------------------------------------------
// The comm event handler

void TqvCustomComm::HandleCommEvent(uint32_t Mask) {
  auto dev = Device();
  if (!dev) return;
  // The wait reports received characters again only after this.
  uint32_t left = 0;
  struct Ack {
    pf::TqvSerialDevice& dev;
    bool on;
    const uint32_t& left;
    ~Ack() {
      if (on) dev.AckReceive(left);
    }
  } ack{*dev, (Mask & pf::EV_RXCHAR) != 0, left};
  try {
    if (Mask & TCommThread::EV_LOST) {
      Disconnect(false);
      return;
    }
    if (Mask & pf::EV_WRITEERROR) {
      if (auto ec = dev->TakeWriteError()) ReportWriteFailure(ec);
    }
    uint32_t errors = 0;
    pf::TComStat stat;
    if (auto ec = dev->ClearCommError(errors, stat)) {
      if (ec == TSerialErrc::DeviceLost) Disconnect(false);
      return;
    }
    errors |= fPendingErrors.exchange(0);
    if (errors == kAllLineErrors) {
      Disconnect(false);
      return;
    }
    // Reported, and then the data that came with the error is still read.
    if (errors) DoCommError(errors, 0, TComStateFlags(stat.Flags & 0xFF));
    if ((Mask & pf::EV_RXCHAR) && stat.cbInQue > 0) {
      if (auto buf = ReceiveBuffer()) ReceiveQueued(*dev, *buf, stat.cbInQue, left);
    }
    if (Mask & pf::EV_TXEMPTY) {
      if (SoftwareRS485()) SetStateRTS(false);
      const bool claimed = AfterSendComplete();
      if (TraceStates().Contains(TTraceState::tsTxEmpty) && !claimed && OnAfterSend) OnAfterSend(this);
    }
    const TTraceStates states = EventMaskToTraceStates(Mask);
    if (!states.Empty()) DoTraceState(this, states);
  } catch (const std::exception& e) {
    try {
      DoFatalError(1, uint32_t(errno), qv::Utf8ToString(e.what()), true);
    } catch (...) {
    }
  } catch (...) {
    try {
      DoFatalError(1, uint32_t(errno), u"Unknown error", true);
    } catch (...) {
    }
  }
}

void TqvCustomComm::ReceiveQueued(pf::TqvSerialDevice& dev, std::vector<char>& buf, uint32_t queued,
                                  uint32_t& left) {
  CountQueued(queued);
  const bool read = TraceStates().Contains(TTraceState::tsRxChar) || HasDataConsumer();
  left = queued;
  if (!read) return;  // the bytes stay for Read
  uint32_t q = queued;
  // Each read takes what is there, up to the buffer's size, so bytes that
  // came after the queue was looked at join the block. A read that leaves
  // room in the buffer has emptied the queue: only a full buffer calls for
  // another look.
  for (;;) {
    size_t got = 0;
    const std::error_code ec =
        dev.ReadAvailable(std::span(reinterpret_cast<uint8_t*>(buf.data()), buf.size()), got);
    CountRead(uint32_t(got));
    if (got) DataReceived(buf.data(), uint32_t(got));
    if (ec) {
      left = 0;
      if (ec == TSerialErrc::DeviceLost) Disconnect(false);
      return;
    }
    if (got == 0 || !IsOpen()) break;  // a handler may have closed the port
    if (got < buf.size()) {
      q = 0;
      break;
    }
    uint32_t errors = 0;
    pf::TComStat stat;
    if (dev.ClearCommError(errors, stat)) {
      q = 0;
      break;
    }
    errors |= fPendingErrors.exchange(0);
    if (errors) DoCommError(errors, 0, TComStateFlags(stat.Flags & 0xFF));
    q = stat.cbInQue;
    CountQueued(q);
    if (q == 0) break;
  }
  left = q;
}

void TqvCustomComm::ReportWriteFailure(const std::error_code& ec) {
  WriteLog(TDetailLevel::dlDebug, u"... the data transmittion failed: " + ErrorText(ec));
  DoCommError(0, SysErrorOf(ec), 0);
}

// ---------------------------------------------------------------------------
// Sending

void TqvCustomComm::RaiseRtsForSend() {
  if (SoftwareRS485()) SetStateRTS(true);
}

bool TqvCustomComm::SendChar(char16_t Ch) {
  auto dev = Device();
  if (!dev) return false;
  const uint8_t byte = uint8_t(Ch & 0xFF);
  fSecretMask.ForWrite(std::string_view(reinterpret_cast<const char*>(&byte), 1));  // ends a mark
  WriteLogFmt(TDetailLevel::dlDebug, u"Try to send char %2Xh ...", {uint64_t(byte)});
  RaiseRtsForSend();
  size_t written = 0;
  const std::error_code ec = dev->Write(std::span(&byte, 1), written);
  if (!ec && written == 1) {
    ++fTotalSent;
    return true;
  }
  DoCommError(0, SysErrorOf(ec ? ec : make_error_code(TSerialErrc::TimedOut)), 0);
  return false;
}

bool TqvCustomComm::SendAheadChar(char16_t Ch) {
  auto dev = Device();
  if (!dev) return false;
  RaiseRtsForSend();
  if (auto ec = dev->TransmitCommChar(uint8_t(Ch & 0xFF))) {
    DoCommError(0, SysErrorOf(ec), 0);
    return false;
  }
  ++fTotalSent;
  return true;
}

bool TqvCustomComm::SendString(std::string_view S) {
  auto dev = Device();
  if (!dev) return false;
  if (S.empty()) return true;
  const auto secrets = fSecretMask.ForWrite(S);
  WriteLogFmt(TDetailLevel::dlDebug, u"Try to send string %s ...", {qv::MaskChars(qv::AnsiToString(S), secrets)});
  RaiseRtsForSend();
  size_t written = 0;
  const std::error_code ec =
      dev->Write(std::span(reinterpret_cast<const uint8_t*>(S.data()), S.size()), written);
  // A time-out may leave part of it written: only that part counts as sent.
  fTotalSent += uint32_t(written);
  if (!ec && written == S.size()) return true;
  DoCommError(0, SysErrorOf(ec ? ec : make_error_code(TSerialErrc::TimedOut)), 0);
  return false;
}

bool TqvCustomComm::SendData(const char* Buff, uint32_t N) {
  auto dev = Device();
  if (!dev) return false;
  if (N > 0 && !Buff) return false;
  const std::string_view data(Buff, N);
  const auto secrets = fSecretMask.ForWrite(data);
  if (IsLogLevel(TDetailLevel::dlDebug))
    WriteLogFmt(TDetailLevel::dlDebug, u"Try to send the data with %d length [%s]...",
                {int64_t(N), qv::HexDump(data, secrets) + (N ? u" " : u"")});
  RaiseRtsForSend();
  // The device copies the bytes, so the caller's buffer is free at once; a
  // failure after this point comes back as a write-error event.
  const std::error_code ec = N ? dev->WriteAsync(std::span(reinterpret_cast<const uint8_t*>(Buff), N))
                               : std::error_code{};
  if (ec) {
    DoCommError(0, SysErrorOf(ec), 0);
    return false;
  }
  fTotalSent += N;
  WriteLog(TDetailLevel::dlDebug, u"... the data transmittion is OK!");
  return true;
}

std::error_code TqvCustomComm::FlushOutput(uint32_t TimeoutMs) {
  auto dev = Device();
  if (!dev) return make_error_code(TSerialErrc::Closed);
  return dev->Drain(std::chrono::milliseconds(TimeoutMs));
}

void TqvCustomComm::FlushOutputBuffer() {
  if (auto dev = Device()) (void)dev->Drain(std::chrono::milliseconds(fCommTimeouts.WriteTotalTimeoutConstant));
}

// ---------------------------------------------------------------------------
// Buffers

void TqvCustomComm::ClearDeviceInput() {
  auto dev = Device();
  if (!dev) return;
  (void)dev->PurgeComm(pf::PURGE_RXABORT | pf::PURGE_RXCLEAR);
  std::lock_guard lock(fCountMutex);
  fQueuedCounted = 0;
}

void TqvCustomComm::ClearDeviceOutput() {
  auto dev = Device();
  if (!dev) return;
  (void)dev->PurgeComm(pf::PURGE_TXABORT | pf::PURGE_TXCLEAR);
  if (SoftwareRS485()) SetStateRTS(false);
}

void TqvCustomComm::ClearDeviceBuffers() {
  auto dev = Device();
  if (!dev) return;
  (void)dev->PurgeComm(pf::PURGE_TXABORT | pf::PURGE_RXABORT | pf::PURGE_TXCLEAR | pf::PURGE_RXCLEAR);
  dev->CancelIo();
  {
    std::lock_guard lock(fCountMutex);
    fQueuedCounted = 0;
  }
  if (SoftwareRS485()) SetStateRTS(false);
}

// ---------------------------------------------------------------------------
// Line settings

void TqvCustomComm::ApplyLineSettings() {
  pf::TDCB& d = CommCfg.dcb;
  d.DCBlength = 28;
  uint32_t flags = d.Flags & kFlagsKeptMask;
  if (fRS485Mode) {
    flags |= kFlagsRS485;
  } else {
    switch (fProtocol) {
      case TStreamProtocol::spNone: flags |= kFlagsNone; break;
      case TStreamProtocol::spXonXoff: flags |= kFlagsXonXoff; break;
      case TStreamProtocol::spHardware: flags |= kFlagsHardware; break;
    }
  }
  d.Flags = flags;
  d.XonLim = 80;
  d.XoffLim = 200;
  d.XonChar = 17;
  d.XoffChar = 19;
  auto dev = Device();
  if (!dev || !IsOpen()) return;
  if (auto ec = dev->SetCommState(d))
    WriteLogFmt(TDetailLevel::dlDetail, u"Line settings not applied: %s", {ErrorText(ec)});
}

void TqvCustomComm::ReadLineSettings() {
  CommCfg.dwSize = 52;
  CommCfg.dcb.DCBlength = 28;
  if (auto dev = Device()) (void)dev->GetCommState(CommCfg.dcb);
  const uint32_t f = CommCfg.dcb.Flags;
  if ((f & kFlagsXonXoff) == kFlagsXonXoff)
    fProtocol = TStreamProtocol::spXonXoff;
  else if ((f & kFlagsHardware) == kFlagsHardware)
    fProtocol = TStreamProtocol::spHardware;
  else
    fProtocol = TStreamProtocol::spNone;
  fRS485Mode = (f & kFlagsRS485) == kFlagsRS485;
}

void TqvCustomComm::ApplyTimeouts(const pf::TCommTimeouts& T) {
  fCommTimeouts = T;
  if (auto dev = Device()) (void)dev->SetCommTimeouts(T);
}

void TqvCustomComm::ConfigDialog() {
  ReadLineSettings();
  TqvCommConfigDialogHook hook;
  {
    std::lock_guard lock(gDialogMutex);
    hook = gDialogHook;
  }
  if (!hook || !hook(ComName(), CommCfg)) return;
  if (auto dev = Device()) {
    if (auto ec = dev->SetCommState(CommCfg.dcb))
      WriteLogFmt(TDetailLevel::dlDetail, u"Line settings not applied: %s", {ErrorText(ec)});
  }
  ReadLineSettings();
}

void TqvCustomComm::SetBaudRate(uint32_t Value) {
  CommCfg.dcb.BaudRate = Value;
  ApplyLineSettings();
}

void TqvCustomComm::SetParity(TParity Value) {
  CommCfg.dcb.Parity = uint8_t(Value);
  if (Value == TParity::pNone)
    CommCfg.dcb.Flags &= ~pf::DCB_fParity;
  else
    CommCfg.dcb.Flags |= pf::DCB_fParity;
  ApplyLineSettings();
}

void TqvCustomComm::SetStopBits(TStopBits Value) {
  CommCfg.dcb.StopBits = uint8_t(Value);
  ApplyLineSettings();
}

void TqvCustomComm::SetByteSize(uint8_t Value) {
  CommCfg.dcb.ByteSize = (Value > 8 || Value < 4) ? 8 : Value;
  ApplyLineSettings();
}

void TqvCustomComm::SetStreamProtocol(TStreamProtocol Value) {
  fProtocol = Value;
  ApplyLineSettings();
}

void TqvCustomComm::SetRS485Mode(bool Value) {
  fRS485Mode = Value;
  ApplyLineSettings();
}

void TqvCustomComm::SetEventChar(char16_t Value) {
  CommCfg.dcb.EvtChar = uint8_t(Value & 0xFF);
  ApplyLineSettings();
}

char16_t TqvCustomComm::EventChar() { return char16_t(CommCfg.dcb.EvtChar); }

void TqvCustomComm::SetTimeoutRead(uint32_t Value) {
  fCommTimeouts.ReadIntervalTimeout = Value;
  ApplyTimeouts(fCommTimeouts);
}

void TqvCustomComm::SetTimeoutWrite(uint32_t Value) {
  fCommTimeouts.WriteTotalTimeoutConstant = Value;
  ApplyTimeouts(fCommTimeouts);
}

void TqvCustomComm::SetTraceStates(TTraceStates Value) {
  fTraceStates = Value.ToBits();
  auto dev = Device();
  if (!dev) return;
  uint32_t mask = TraceStatesToEventMask(Value);
  if (SoftwareRS485()) mask |= pf::EV_TXEMPTY;
  (void)dev->SetCommMask(mask);
}

void TqvCustomComm::SetBufferInSize(uint16_t Value) {
  if (auto dev = Device()) (void)dev->SetupComm(Value, fBufferOutSize);
  fBufferInSize = Value;
}

void TqvCustomComm::SetBufferOutSize(uint16_t Value) {
  if (auto dev = Device()) (void)dev->SetupComm(fBufferInSize, Value);
  fBufferOutSize = Value;
}

// ---------------------------------------------------------------------------
// Line control and status

void TqvCustomComm::SetStateDTR(bool State) {
  auto dev = Device();
  if (!dev) return;
  (void)dev->EscapeCommFunction(State ? pf::TEscape::SETDTR : pf::TEscape::CLRDTR);
  DoTraceState(this, {TTraceState::tsDSR});
}

void TqvCustomComm::SetStateRTS(bool State) {
  auto dev = Device();
  if (!dev) return;
  (void)dev->EscapeCommFunction(State ? pf::TEscape::SETRTS : pf::TEscape::CLRRTS);
  DoTraceState(this, {TTraceState::tsCTS});
}

void TqvCustomComm::SetStateX(bool State) {
  if (auto dev = Device()) (void)dev->EscapeCommFunction(State ? pf::TEscape::SETXON : pf::TEscape::SETXOFF);
}

void TqvCustomComm::SetStateBreak(bool State) {
  if (auto dev = Device()) (void)dev->EscapeCommFunction(State ? pf::TEscape::SETBREAK : pf::TEscape::CLRBREAK);
}

void TqvCustomComm::DoTraceState(TObject* Com, TTraceStates Event) {
  const TModemSignals signals = ModemSignals();
  if (fMonitorCTS) fMonitorCTS->SetChecked(signals.Contains(TModemSignal::msCTS));
  if (fMonitorDSR) fMonitorDSR->SetChecked(signals.Contains(TModemSignal::msDSR));
  if (fMonitorRLSD) fMonitorRLSD->SetChecked(signals.Contains(TModemSignal::msRLSD));
  if (Event.Contains(TTraceState::tsRing) && fMonitorRing) fMonitorRing->SetChecked(true);
  if (OnTraceState) OnTraceState(Com, Event);
}

TModemSignals TqvCustomComm::ModemSignals() {
  TModemSignals out;
  auto dev = Device();
  uint32_t status = 0;
  if (!dev || dev->GetCommModemStatus(status)) return out;
  if (status & pf::MS_CTS_ON) out.Include(TModemSignal::msCTS);
  if (status & pf::MS_DSR_ON) out.Include(TModemSignal::msDSR);
  if (status & pf::MS_RING_ON) out.Include(TModemSignal::msRing);
  if (status & pf::MS_RLSD_ON) out.Include(TModemSignal::msRLSD);
  return out;
}

uint32_t TqvCustomComm::ReadyForRead() {
  auto dev = Device();
  if (!dev) return 0;
  uint32_t errors = 0;
  pf::TComStat stat;
  if (dev->ClearCommError(errors, stat)) return 0;
  KeepErrors(errors);  // the query clears them; the next handler run reports them
  CountQueued(stat.cbInQue);
  return stat.cbInQue;
}

uint32_t TqvCustomComm::NotYetSend() {
  auto dev = Device();
  if (!dev) return 0;
  uint32_t errors = 0;
  pf::TComStat stat;
  if (dev->ClearCommError(errors, stat)) return 0;
  KeepErrors(errors);
  return stat.cbOutQue;
}

const pf::TCommProp* TqvCustomComm::CommProp() {
  if (auto dev = Device()) (void)dev->GetCommProperties(ComProp);
  return &ComProp;
}

// ---------------------------------------------------------------------------
// Reading by the application

void TqvCustomComm::Read(std::span<char> Buffer) {
  auto dev = Device();
  if (!dev || Buffer.empty()) return;
  size_t got = 0;
  (void)dev->Read(std::span(reinterpret_cast<uint8_t*>(Buffer.data()), Buffer.size()), got);
  CountRead(uint32_t(got));
}

uint32_t TqvCustomComm::ReadAll(std::span<char> Buffer) {
  const uint32_t n = uint32_t(std::min<size_t>(ReadyForRead(), Buffer.size()));
  Read(Buffer.first(n));
  return n;
}

int32_t TqvCustomComm::ReadMax(std::span<char> Buffer, int32_t MaxLen) {
  if (MaxLen <= 0) return 0;
  const size_t n = std::min({size_t(ReadyForRead()), size_t(MaxLen), Buffer.size()});
  Read(Buffer.first(n));
  return int32_t(n);
}

std::string TqvCustomComm::ReadString() {
  const uint32_t n = ReadyForRead();
  if (n == 0) return {};
  std::string s(n, '\0');
  Read(std::span(s.data(), s.size()));
  return s;
}

bool TqvCustomComm::WaitForBytes(uint32_t Count, uint32_t Ms) {
  if (!IsOpen()) return false;
  const TTraceStates saved = TraceStates();
  TTraceStates without = saved;
  without.Exclude(TTraceState::tsRxChar);
  SetTraceStates(without);
  bool result = false;
  const uint32_t start = pf::GetTickCount();
  // Elapsed time by unsigned difference: right across the tick counter's wrap.
  while (pf::TicksSince(start) <= Ms && IsOpen()) {
    result = ReadyForRead() >= Count;
    if (result) break;
    PauseBriefly();
  }
  SetTraceStates(saved);
  return result;
}

bool TqvCustomComm::WaitForSignal(TModemSignal Signal, uint32_t Ms) {
  if (!IsOpen()) return false;
  bool result = false;
  const uint32_t start = pf::GetTickCount();
  do {
    result = ModemSignals().Contains(Signal);
    if (result) break;
    PauseBriefly();
  } while (pf::TicksSince(start) <= Ms && IsOpen());
  return result;
}

// ---------------------------------------------------------------------------
// Errors, monitors, references

void TqvCustomComm::DoCommError(uint32_t CommCode, uint32_t SysError, TComStateFlags State) {
  if (SoftwareRS485()) SetStateRTS(false);
  WriteLogFmt(TDetailLevel::dlDetail, u"Communication Error %d:%d %X",
              {int64_t(CommCode), int64_t(SysError), uint64_t(State)});
  bool flush = false;
  if (OnCommError) OnCommError(this, CommCode, SysError, State, flush);
  if (flush) ClearDeviceBuffers();
}

void TqvCustomComm::SetMonitor(TqvCustomSignalMonitor*& field, TqvCustomSignalMonitor* Value) {
  field = Value;
  if (Value) FreeNotification(Value);
}

void TqvCustomComm::Notification(TqvComponent* AComponent, TOperation Operation) {
  TqvBaseIO::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  for (TqvCustomSignalMonitor** m : {&fMonitorCTS, &fMonitorDSR, &fMonitorRLSD, &fMonitorRing})
    if (*m == AComponent) *m = nullptr;
}

// ===========================================================================
// TqvCustomSerialComm

TqvCustomSerialComm::TqvCustomSerialComm(TqvComponent* AOwner) : TqvCustomComm(AOwner) {}

TqvCustomSerialComm::~TqvCustomSerialComm() { ShutDown(); }

std::string TqvCustomSerialComm::OpenPath() {
  if (!fDevicePath.empty()) return qv::StringToUtf8(fDevicePath);
  if (const int32_t index = GetDeviceIndex(); index >= 0) {
    const std::string name = qv::StringToUtf8(GetDevice(index)->PortName);
    if (!name.empty() && name.front() == '/') return name;
    if (auto no = pf::PortNumberOf(name)) return pf::PortDevicePath(*no);
    return pf::PortDevicePath(fComPortNo);
  }
  return pf::PortDevicePath(fComPortNo);
}

std::u16string TqvCustomSerialComm::ComName() {
  const std::string path = OpenPath();
  if (path.empty()) return u"COM" + qv::IntToStr(fComPortNo);
  return qv::Utf8ToString(path);
}

THandle TqvCustomSerialComm::OpenHandle() {
  fOpenErrorText.clear();
  pf::TqvSerialOpenResult r;
  if (fExtHandle != 0) {
    const THandle h = std::exchange(fExtHandle, 0);  // an adopted handle serves one open
    r = pf::AdoptPosixSerial(int(h), OpenPath());
  } else {
    const std::string path = OpenPath();
    if (path.empty()) {
      fOpenErrorText = u"No device has this port number";
      return INVALID_HANDLE_VALUE;
    }
    r = fOpener ? fOpener(path) : pf::OpenPosixSerial(path);
  }
  if (!r.Device) {
    fOpenErrorText = qv::Utf8ToString(r.Message.empty() ? r.Error.message() : r.Message);
    return INVALID_HANDLE_VALUE;
  }
  return AdoptDevice(std::move(r.Device));
}

void TqvCustomSerialComm::SetDeviceOpener(pf::TqvSerialOpener Opener) { fOpener = std::move(Opener); }

void TqvCustomSerialComm::SetComPortNo(uint16_t Value) {
  const bool was = Active();
  SetActive(false);
  fComPortNo = Value;
  SetActive(was);
  DoNotify(qvNotifyDeviceChanged);
}

void TqvCustomSerialComm::SetDevicePath(const std::u16string& Value) {
  const bool was = Active();
  SetActive(false);
  fDevicePath = Value;
  SetActive(was);
  DoNotify(qvNotifyDeviceChanged);
}

TComPort TqvCustomSerialComm::ComPort() const {
  if (fComPortNo >= 1 && fComPortNo <= 8) return TComPort(fComPortNo - 1);
  return TComPort::cpCOMxx;  // also for number 0
}

void TqvCustomSerialComm::SetComPort(TComPort Value) {
  if (Value != TComPort::cpCOMxx) SetComPortNo(uint16_t(int(Value) + 1));
}

int32_t TqvCustomSerialComm::GetDeviceIndex() { return IndexOfDeviceData(fComPortNo); }

// A device picked from the list is an explicit choice as well: it replaces
// an explicit path, which would otherwise go on winning over the new number.
void TqvCustomSerialComm::SetDeviceIndex(int32_t Value) {
  if (Value < 0 || Value >= DeviceCount()) return;
  fDevicePath.clear();
  SetComPortNo(uint16_t(GetDevice(Value)->Data & 0xFFFF));
}

void TqvCustomSerialComm::Update() {
  DeviceListClear();
  GetDeviceList(nullptr);
  TqvBaseIO::Update();
}

void TqvCustomSerialComm::SetExtHandle(THandle aHandle) {
  if (aHandle == 0 || aHandle == INVALID_HANDLE_VALUE) return;
  if (Active()) Close();
  fExtHandle = aHandle;
  Open();
}

void TqvCustomSerialComm::InitDeviceConnect() {
  if (!IsOpen()) return;
  ClearDeviceBuffers();
  SetStateDTR(true);
  SetStateRTS(false);
  if (WaitForSignal(TModemSignal::msDSR, 200)) {
    SetStateRTS(true);
    WriteLog(TDetailLevel::dlDetail, u"The device connection was succesful tested");
  } else {
    DoFatalError(1, 0, u"Device Connect Initialization Error", false);
  }
}
