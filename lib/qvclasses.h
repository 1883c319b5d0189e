// Core component framework: the abstract log, the notification list, the I/O
// device base with its device list, terminal binding and keep-connection timer,
// the generic reception thread, and the data processor chain.
//
// Threads: the main thread is the one of qv::platform (qvdispatcher.h). Calls
// that must reach it from other threads go through the dispatcher; a thread
// that waits on the main thread is always joined with JoinWhilePumping.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "qvcomponent.h"
#include "qvsecret.h"
#include "qvtext.h"
#include "qvtimer.h"
#include "platform/qvthread.h"
#include "qvapi.h"

QV_API_BEGIN

class TqvBaseIO;
class TqvCustomDataProcessor;
class TqvCallGate;

// ---------------------------------------------------------------------------
// Shared types

enum class TDetailLevel { dlSimple = 0, dlDetail = 1, dlDebug = 2 };

enum class TTerminalUsage { tuNone = 0, tuSend = 1, tuReceive = 2, tuBoth = 3 };

enum class TIgnoreType { itTerminal = 0, itEventList = 1, itAfterReceive = 2, itTraceState = 3 };

// A set of TIgnoreType: bit n stands for the value n.
class TIgnoreTypes {
 public:
  constexpr TIgnoreTypes() = default;
  constexpr bool Contains(TIgnoreType t) const { return bits_ & Bit(t); }
  constexpr void Include(TIgnoreType t) { bits_ |= Bit(t); }
  constexpr void Exclude(TIgnoreType t) { bits_ &= ~Bit(t); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint8_t Bits() const { return bits_; }
  constexpr bool operator==(const TIgnoreTypes&) const = default;

 private:
  static constexpr uint8_t Bit(TIgnoreType t) { return uint8_t(1u << unsigned(t)); }
  uint8_t bits_ = 0;
};

// Stored only: threads run at the platform's ordinary priority.
enum class TThreadPriority { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// A device handle: a file descriptor or whatever the device family keeps.
using THandle = std::intptr_t;
inline constexpr THandle INVALID_HANDLE_VALUE = -1;

using TqvNotifyEvent = TqvEvent<TObject* /*Sender*/, int32_t /*Code*/>;
using TOnReceived = TqvEvent<TObject* /*Com*/, const char* /*Buffer*/, uint32_t /*Received*/>;
using TOnSent = TqvEvent<TObject* /*Com*/>;
using TOnFatalErrorEvent = TqvEvent<TObject* /*Sender*/, uint32_t /*ErrorCode*/, uint32_t /*Detail*/,
                                    const std::u16string& /*ErrorMsg*/, bool& /*RaiseException*/>;
using TDataSendEvent = TqvEvent<TObject* /*Sender*/, const char* /*ptrBuffer*/, uint32_t /*Len*/,
                                bool /*flSynchro*/, bool& /*flHandled*/>;

// Notify codes a device sends to its subscribers.
inline constexpr int32_t qvNotifyClosed = 1;         // the device was closed or lost
inline constexpr int32_t qvNotifyOpened = 2;         // the device was opened and is ready
inline constexpr int32_t qvNotifyDeviceChanged = 3;  // device list or selected device changed

// ---------------------------------------------------------------------------
// Message boxes: the library shows its few boxes through a hook that the
// application installs (the Qt adapter shows a modal box on the GUI thread).
// Without a hook the box is written to standard error as "caption: text".

namespace qv {
// Joins `thread`, or hands it to the reaper where this thread cannot wait for
// it: on the thread itself, or inside a call that the thread waits on.
void JoinOrReap(std::thread& thread);

enum class TMsgBoxIcon { mbError, mbWarning, mbInformation };
using TMessageBoxHook =
    std::function<void(std::u16string_view Text, std::u16string_view Caption, TMsgBoxIcon Icon)>;
// Installs the hook (an empty one restores the default); returns the previous one.
TMessageBoxHook SetMessageBoxHook(TMessageBoxHook hook);
// An empty caption means the application's own title.
void ShowMessageBox(std::u16string_view Text, std::u16string_view Caption, TMsgBoxIcon Icon);
}  // namespace qv

// ---------------------------------------------------------------------------
// The abstract log every component writes to (the log file implements it).
// Implementations must accept calls from any thread.
class TqvCustomLogFile : public TqvComponent {
 public:
  explicit TqvCustomLogFile(TqvComponent* AOwner = nullptr) : TqvComponent(AOwner) {}

  TDetailLevel DetailLevel() const { return fDetailLevel.load(std::memory_order_relaxed); }
  void SetDetailLevel(TDetailLevel Value) { fDetailLevel.store(Value, std::memory_order_relaxed); }

  TOnFatalErrorEvent OnFatalError;

  // RaiseException := true; OnFatalError may clear it; then EqvError(ErrorMsg)
  // is thrown if it is still set.
  virtual void DoFatalError(uint32_t ErrorCode, uint32_t Detail, const std::u16string& ErrorMsg);
  virtual void Save() = 0;          // write what is buffered to the store
  virtual void Clear() = 0;         // discard the buffer and the store
  virtual void Add(const std::u16string& s) = 0;  // one entry whatever its level
  virtual void AddSysInfo() = 0;    // the system information entry
  // Add(s) when DetailLevel >= l.
  virtual void AddLog(TDetailLevel l, const std::u16string& s) = 0;
  // qv::Format, then Add.
  virtual void AddFmt(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) = 0;
  // AddFmt when DetailLevel >= l.
  virtual void AddLogFmt(TDetailLevel l, const std::u16string& Format,
                         const std::vector<qv::TqvFmtArg>& Args) = 0;

 private:
  std::atomic<TDetailLevel> fDetailLevel{TDetailLevel::dlSimple};
};

// ---------------------------------------------------------------------------
// Subscribers of a device. Entries are compared by code and object, so two
// objects of one class subscribe independently. Add/Delete and Call may run on
// different threads: Call works on a snapshot, skips an entry deleted meanwhile,
// and Delete returns only when no other thread is still inside that entry's
// callback (the main thread pumps the dispatcher while it waits; a caller
// whose hand-over the main thread is running at that moment is not waited
// for, as it cannot go on before Delete returns). A callback may delete any
// entry, its own included.
class TqvNotifyList {
 public:
  TqvNotifyList();
  ~TqvNotifyList();
  TqvNotifyList(const TqvNotifyList&) = delete;
  TqvNotifyList& operator=(const TqvNotifyList&) = delete;

  int Add(const TqvNotifyEvent& Item);        // appends; its index
  void Delete(int Index);                     // out-of-range indexes are ignored
  void Clear();
  TqvNotifyEvent Get(int Index) const;        // an empty event when out of range
  void Put(int Index, const TqvNotifyEvent& Item);
  int IndexOf(const TqvNotifyEvent& Item) const;  // same code and object; -1 if none
  // Add unless IndexOf finds it, as one step: its index, or -1 when present.
  int AddUnique(const TqvNotifyEvent& Item);
  // Delete what IndexOf finds, as one step: false when absent.
  bool Remove(const TqvNotifyEvent& Item);
  int Count() const;
  // Calls every entry, in index order, with (Sender, Code). An entry that
  // throws does not stop the others; the first error is thrown after them.
  void Call(TObject* Sender, int32_t Code) const;

 private:
  struct Record;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Record>> items_;
};

// ---------------------------------------------------------------------------
// One device the component can open; owned by the component's device list.
// What discovery's AT probe found on a serial interface.
enum class TqvAtAnswer { aaNotProbed, aaAnswers, aaSilent, aaHeld };

class TqvDevice : public TObject {
 public:
  int32_t Index() const { return fIndex; }
  TqvBaseIO* Parent() const { return fParent; }

  std::uintptr_t Handle = 0;
  uint32_t DevInst = 0, DevInstParent = 0;
  int32_t Data = 0;    // sort key; for serial devices the port number
  int32_t DataEx = 0;
  std::u16string NameFriendly;  // the caption shown in lists
  std::u16string NamePDO, NameDeviceDos, NameSymbolic, NameParentDevice;
  std::u16string RegKey, Description, Service, Driver;
  std::u16string InstanceId, InstanceIdParent, BusRelations;
  std::u16string PortName;  // the name the device is opened by
  std::u16string Manufacturer, SerialNumber;
  std::array<uint8_t, 16> GuidClass{};
  std::u16string DiskID, NameVolume;
  int32_t DiskNumber = 0;
  int32_t UsbInterface = -1;  // the interface number of a USB device's port; -1 for none
  TqvAtAnswer AtAnswer = TqvAtAnswer::aaNotProbed;

 private:
  friend class TqvBaseIO;
  int32_t fIndex = -1;
  TqvBaseIO* fParent = nullptr;
};

// (caption, device) pairs as GetDeviceList hands them out; the devices stay
// owned by the component.
using TqvDeviceRefs = std::vector<std::pair<std::u16string, TqvDevice*>>;

// ---------------------------------------------------------------------------
// Device-change broadcast, as the system's device watcher delivers it.
namespace qv {
inline constexpr uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr uint32_t DBT_DEVNODES_CHANGED = 0x0007;
inline constexpr uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr uint32_t DBT_DEVTYP_VOLUME = 2;
inline constexpr uint32_t DBT_DEVTYP_PORT = 3;
}  // namespace qv

struct TqvDeviceChangeMsg {
  uint32_t Msg = qv::WM_DEVICECHANGE;
  uint32_t Event = qv::DBT_DEVNODES_CHANGED;  // the DBT_ code
  uint32_t DeviceType = 0;  // the broadcast header's device type; 0 when there is none
};

// ---------------------------------------------------------------------------
// The terminal a device writes received text to and takes typed keys from.
// The widgets library implements it over an edit widget; calls may come from
// any thread that delivers data, so an implementation hands them to its GUI
// thread itself.
class TqvCustomTerminal : public TqvComponent {
 public:
  explicit TqvCustomTerminal(TqvComponent* AOwner = nullptr) : TqvComponent(AOwner) {}

  // Shows one character as if it was typed (a backspace erases, CR breaks the line).
  virtual void TypeChar(char16_t Ch) = 0;
  // Inserts text at the caret.
  virtual void ReplaceSel(std::u16string_view Text) = 0;
  // A device was bound to this terminal (nullptr: unbound). Nothing by default.
  virtual void DeviceBound(TqvBaseIO* /*Device*/) {}

  // The implementation calls this for every key the user types: the bound
  // device's hook sees it first; unless the hook consumes it, TypeChar shows it.
  void KeyTyped(char16_t Ch);

  // Returns true when it consumed the key. Installed by the bound device.
  using TKeyHook = std::function<bool(char16_t)>;
  void SetKeyHook(TKeyHook Hook);

 private:
  std::mutex hookMutex_;
  std::shared_ptr<TKeyHook> hook_;
};

// ---------------------------------------------------------------------------
class TqvThreadIO;

// The base of every I/O device component. The virtual operations keep the
// slot order the components were designed with. A device family (the serial port) provides:
// - OpenHandle/CloseDeviceHandle (and IsOpen when the handle is not all of the
//   state); it may wrap Open/Close, and raises DoNotify(qvNotifyOpened) at the
//   end of a successful open and DoNotify(qvNotifyClosed) after OnClose;
// - SendChar/SendString/SendData: true when the device accepted every byte,
//   false on an error (closed, write failure, short write);
// - FlushOutput(ms): wait until the output has left the device, at most ms
//   (0: no limit); an error when it did not (std::errc::timed_out when the
//   time ran out, the write's error when a write failed). WriteTimeout():
//   the device's write time-out (0: none), the flush deadline of a processor's
//   sends;
// - ClearDevice*, GetDeviceIndex/SetDeviceIndex, DeviceListLoad, Update;
// - StartThreads/StopThreads for its own threads; received blocks go to
//   DataReceived on the delivering thread, a drained transmit buffer to
//   AfterSendComplete;
// - KeepConnectionTick (reopen); a class that overrides it calls
//   FreeKeepConnectionTimer() first thing in its destructor.
// Threads: property writes, Open/Close and the device list belong to the main
// thread; DoNotify, DataReceived, the logging operations and KeepConnection*
// may run on any thread. A thread the device owns and that hands calls to the
// main thread is joined with qv::platform::JoinWhilePumping.
class TqvBaseIO : public TqvComponent {
 public:
  explicit TqvBaseIO(TqvComponent* AOwner = nullptr);
  ~TqvBaseIO() override;

  // --- virtual operations, in slot order
  virtual bool IsOpen();
  virtual THandle OpenHandle();
  virtual void CloseDeviceHandle(THandle h);
  virtual bool HasDataConsumer();
  virtual void Open();
  virtual void Close();
  virtual void StartThreads();
  virtual void StopThreads();
  virtual void ThreadExecute(TqvThreadIO& Thread);
  // The one path of fatal errors, see the .cpp.
  virtual void DoFatalError(uint32_t Code, uint32_t Detail, const std::u16string& Msg, bool flShow = false);
  virtual void DoNotify(int32_t Code);
  // Reception entry: every block the device read. Always false.
  virtual bool DataReceived(const char* Data, uint32_t Len);
  // True when the data processor claims the transmit-empty event.
  virtual bool AfterSendComplete();
  virtual void SetDeviceIndex(int32_t Value);
  virtual int32_t GetDeviceIndex() = 0;
  // The list owns added devices. DeviceAdd always adds; DeviceInsert keeps the
  // list in ascending Data order and returns -1 (not added, ownership stays with
  // the caller) for a Data already present.
  virtual int DeviceAdd(std::unique_ptr<TqvDevice> aDevice);
  virtual int DeviceInsert(std::unique_ptr<TqvDevice>& aDevice);
  virtual void DeviceListLoad() = 0;
  virtual void DeviceListClear();
  virtual void KeepConnectionTick(TObject* Sender);
  virtual void KeepConnectionStart();
  virtual void KeepConnectionStop();
  virtual void TerminalOutput(const char* Data, uint32_t Len);
  virtual void Update();
  virtual void NotifyAdd(const TqvNotifyEvent& NotifyEvent);
  virtual void NotifyDelete(const TqvNotifyEvent& NotifyEvent);
  virtual bool SendChar(char16_t Ch) = 0;
  virtual bool SendString(std::string_view S) = 0;
  virtual bool SendData(const char* Buff, uint32_t N) = 0;
  virtual void ClearDeviceInput() = 0;
  virtual void ClearDeviceOutput() = 0;
  virtual void ClearDeviceBuffers() = 0;
  virtual void GetDeviceList(TqvDeviceRefs* L);
  virtual bool WMDeviceChange(const TqvDeviceChangeMsg& Msg);
  // Additions of this library: the bounded flush and the write time-out.
  virtual std::error_code FlushOutput(uint32_t TimeoutMs);
  virtual uint32_t WriteTimeout() const { return 0; }

  // --- devices
  TqvDevice* GetDevice(int Index) const;
  int DeviceCount() const { return int(slDevices.size()); }
  int IndexOfDevice(const TqvDevice* aDevice) const;
  int IndexOfDeviceData(int32_t Key) const;
  int32_t DeviceIndex() { return GetDeviceIndex(); }
  const std::u16string& DeviceName(int Index) const;  // the list's caption at Index

  // --- logging (nothing happens without a log)
  bool IsLogLevel(TDetailLevel Level) const;
  // An empty Text records the system information entry.
  void WriteLog(TDetailLevel Level, const std::u16string& Text) const;
  void WriteLogFmt(TDetailLevel Level, const std::u16string& Format,
                   const std::vector<qv::TqvFmtArg>& Args) const;
  // A sender marks a line that carries a secret right before writing it; the
  // dumps of that write and of its echo show the secret masked.
  qv::TqvSecretMask& SecretMask() { return fSecretMask; }

  // --- properties
  bool Active();
  virtual void SetActive(bool Value);
  TqvCustomDataProcessor* DataProcessor() const { return fDataProcessor.load(); }
  // Attaches Value (none detaches); a processor it replaces is detached.
  // Returns when no block is being handed to the one it replaced on another
  // thread any more.
  void SetDataProcessor(TqvCustomDataProcessor* Value);
  TqvCustomLogFile* Log() const { return fLog; }
  void SetLog(TqvCustomLogFile* Value);
  TqvCustomTerminal* Terminal() const { return fTerminal; }
  void SetTerminal(TqvCustomTerminal* Value);
  TTerminalUsage TerminalUsage() const { return fTerminalUsage; }
  void SetTerminalUsage(TTerminalUsage Value);
  bool TerminalEcho() const { return fTerminalEcho; }
  void SetTerminalEcho(bool Value) { fTerminalEcho = Value; }
  bool KeepConnection() const { return fKeepConnection; }
  void SetKeepConnection(bool Value) { fKeepConnection = Value; }
  int32_t KeepConnectionInterval() const { return fKeepConnectionInterval; }
  // Read when the timer is first created.
  void SetKeepConnectionInterval(int32_t Value) { fKeepConnectionInterval = Value; }
  bool UseMainThread() const { return fUseMainThread; }
  void SetUseMainThread(bool Value) { fUseMainThread = Value; }
  TThreadPriority Priority() const { return fPriority; }
  void SetPriority(TThreadPriority Value) { fPriority = Value; }
  THandle Handle() const { return fHandle.load(); }
  // What a descendant set, else the name of the object's own class (known
  // only once it is constructed, so fixed at the first use).
  const std::u16string& LogPrefix() const;

  TOnFatalErrorEvent OnFatalError;
  TNotifyEvent OnKeepConnection;
  TNotifyEvent OnOpen;
  TNotifyEvent OnClose;
  TOnReceived OnAfterReceive;

  void Loaded() override;

 protected:
  void Notification(TqvComponent* AComponent, TOperation Operation) override;

  // Terminates the running TqvThreadIO and waits for it where that is possible.
  void EndThreadIO();
  // Stops and destroys the keep-connection timer, waiting for a running tick;
  // KeepConnectionStart does nothing afterwards. A descendant that overrides
  // KeepConnectionTick calls it first thing in its destructor, so that no
  // tick reaches a half-destroyed object.
  void FreeKeepConnectionTimer();
  // The key hook installed on the bound terminal (the window-procedure part).
  bool TerminalKey(char16_t Ch);

  TqvNotifyList qvNotifyList;
  TqvCustomLogFile* fLog = nullptr;
  std::atomic<TqvCustomDataProcessor*> fDataProcessor{nullptr};  // written by SwapProcessor only
  std::vector<std::pair<std::u16string, std::unique_ptr<TqvDevice>>> slDevices;
  std::atomic<bool> fKeepConnection{false};  // read by the keep-connection tick
  int32_t fKeepConnectionInterval = 2000;
  TqvCustomTerminal* hTerminal = nullptr;  // where output goes; none with tuNone/tuSend
  TTerminalUsage fTerminalUsage = TTerminalUsage::tuNone;
  TqvCustomTerminal* fTerminal = nullptr;
  qv::TqvSecretMask fSecretMask;
  bool fTerminalEcho = false;
  std::atomic<bool> fTerminalLocked{false};
  std::shared_ptr<TqvThreadIO> fThreadIO;
  bool fUseMainThread = false;
  TThreadPriority fPriority = TThreadPriority::tpNormal;
  bool fActive = false;
  std::atomic<THandle> fHandle{INVALID_HANDLE_VALUE};
  // Set in a descendant's constructor, or left empty for the class name; read
  // it through LogPrefix().
  mutable std::u16string sLogPrefix;
  bool isThreaded = false;
  std::atomic<bool> IsThreadIOTerminated{true};

 private:
  // Blocks and send completions reach the processor through its gate, so
  // that replacing the processor can wait for a hand-over in progress.
  struct TProcessorPass;
  TProcessorPass PassToProcessor();
  // Puts Value in place of the processor, waits for hand-overs to the old one
  // on other threads, and returns the old one.
  TqvCustomDataProcessor* SwapProcessor(TqvCustomDataProcessor* Value);
  std::mutex processorMutex_;
  std::shared_ptr<TqvCallGate> processorGate_;

  mutable std::once_flag logPrefixOnce_;

  std::mutex timerMutex_;  // creation and destruction of the keep-connection timer
  std::unique_ptr<TqvTimer> timerKeepConnection;
  bool timerFreed_ = false;  // FreeKeepConnectionTimer ran: no timer is made again
};

// ---------------------------------------------------------------------------
// The generic reception thread: runs the device's ThreadExecute(*this) until it
// returns; exceptions from ThreadExecute are swallowed. Shared by the device
// and by its running thread, so that it outlives a device that lets go of it
// from that thread. Start() (on an object a shared_ptr owns) lets it run.
// WaitFor() joins it, pumping the dispatcher on the main thread; where that
// is impossible (on the thread itself, or in a call that the thread waits
// on) the thread ends by itself once ThreadExecute sees Terminated(), and the
// reaper joins it.
class TqvThreadIO : public std::enable_shared_from_this<TqvThreadIO> {
 public:
  TqvThreadIO(TqvBaseIO* aqvComm, TThreadPriority pr);
  ~TqvThreadIO();  // Terminate() and WaitFor()
  TqvThreadIO(const TqvThreadIO&) = delete;
  TqvThreadIO& operator=(const TqvThreadIO&) = delete;

  void Start();
  void Terminate() { terminated_.store(true); }
  bool Terminated() const { return terminated_.load(); }
  // Runs Method on the main thread and waits; false when it was cancelled.
  bool Synchronize(const std::function<void()>& Method);
  void WaitFor();
  bool IsCurrentThread() const;
  TqvBaseIO* Comm() const { return fqvComm; }

 private:
  TqvBaseIO* fqvComm;
  std::atomic<bool> terminated_{false};
  qv::platform::TEvent started_{true, false};  // thread_ and id_ are stored
  std::thread thread_;
  std::thread::id id_;
};

// ---------------------------------------------------------------------------
// The base of components that interpret a device's byte stream. Chained
// processors each pass received blocks on to their DataProcessor; every one of
// a chain is attached to the same device and hears its open/close codes.
//
// What descendants use:
// - override DoProcessing (call the base at the end so the chain goes on),
//   MediumOpened/MediumClosed, AsyncTimerTick, DoAfterSendComplete;
// - DoDataSend/DoTextSend to send, which report failure by returning false;
// - StartAsyncTimer(ms) as a one-shot time-out; AsyncTimerTick runs on the
//   timer's thread;
// - a descendant calls ShutDown() (or FreeAsyncTimer(), the same) first thing
//   in its destructor, so that neither its device nor its timer calls into
//   it while its own parts go away;
// - SendTimeout(): the flush deadline when the device's WriteTimeout is 0.
class TqvCustomDataProcessor : public TqvComponent {
 public:
  explicit TqvCustomDataProcessor(TqvComponent* AOwner = nullptr);
  ~TqvCustomDataProcessor() override;

  // --- virtual operations, in slot order
  virtual void DeviceNotify(TObject* Sender, int32_t Code);  // 1 closed, 2 opened
  virtual void MediumClosed();
  virtual void MediumOpened();
  virtual void SetDataProcessor(TqvCustomDataProcessor* Value);
  virtual void AttachDevice(TqvBaseIO* Device);
  virtual void SetActive(bool Value) { fActive = Value; }
  // Sends a block and waits (bounded) until it left the device. True on success;
  // a failure is logged. Len 0 or no data: nothing, true.
  virtual bool DoDataSend(const char* Data, uint32_t Len);
  // Sends a byte string without flush. True on success; a failure is logged.
  virtual bool DoTextSend(std::string_view S);
  virtual void AsyncTimerTick(TObject* Sender);
  // Stops the one-shot timer; a non-zero Interval arms it again.
  virtual void StartAsyncTimer(uint32_t Interval);
  virtual void DoFatalErrors(uint32_t Code, uint32_t Detail, const std::u16string& Msg);
  virtual void DoProcessing(const char* Data, uint32_t Len, TIgnoreTypes& R);
  virtual void DataReceive(const char* ptrBuffer, uint32_t Len);
  virtual void DoAfterSendComplete(bool& flIgnore);
  // The flush deadline when the device has no write time-out (ms, not 0).
  virtual uint32_t SendTimeout() const { return 5000; }

  bool Active() const { return fActive; }
  bool IsDeviceOpen() const;
  // Whether the one-shot timer is armed.
  bool AsyncTimerEnabled() const;
  TqvBaseIO* Device() const { return fDevice; }
  TqvCustomDataProcessor* DataProcessor() const { return fDataProcessor; }
  TqvCustomLogFile* Log() const { return fLog; }
  void SetLog(TqvCustomLogFile* Value);
  const std::u16string& LogPrefix() const { return sLogPrefix; }

  void WriteLog(TDetailLevel Level, const std::u16string& Text) const;
  void WriteLogFmt(TDetailLevel Level, const std::u16string& Format,
                   const std::vector<qv::TqvFmtArg>& Args) const;

  TOnFatalErrorEvent OnFatalError;
  TDataSendEvent OnDataSend;

 protected:
  void Notification(TqvComponent* AComponent, TOperation Operation) override;
  // Ends every way into this processor from elsewhere: the device forgets it
  // (waiting for a block it is handing over on another thread), it leaves the
  // device's notify list, and the one-shot timer is destroyed (waiting for a
  // running tick; later StartAsyncTimer calls do nothing). Later calls do
  // nothing more.
  void ShutDown();
  // The name descendants have called first in their destructors: ShutDown().
  void FreeAsyncTimer() { ShutDown(); }
  // This processor's subscription on a device's notify list.
  TqvNotifyEvent NotifyHandler() { return TqvNotifyEvent::Bind(this, &TqvCustomDataProcessor::DeviceNotify); }

  TqvBaseIO* fDevice = nullptr;
  TqvCustomDataProcessor* fDataProcessor = nullptr;
  bool fActive = false;
  TqvCustomLogFile* fLog = nullptr;
  std::u16string sLogPrefix;

 private:
  mutable std::mutex timerMutex_;  // guards the fTimerAsync pointer, never held while it is destroyed
  std::unique_ptr<TqvTimer> fTimerAsync;
};

QV_API_END
