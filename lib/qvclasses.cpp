#include "qvclasses.h"

#include <cxxabi.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "platform/qvdispatcher.h"
#include "platform/qvhandle.h"

namespace pf = qv::platform;

namespace {

std::u16string ExceptionText(const std::exception& e) { return qv::Utf8ToString(e.what()); }

const std::u16string kFatalErrorFormat = u"Fatal Error: %u, %u, %s";

// The name a class was declared with, without namespaces or enclosing scopes.
std::u16string ClassName(const std::type_info& type) {
  int status = 0;
  const std::unique_ptr<char, void (*)(void*)> demangled(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                         std::free);
  const std::string name = status == 0 && demangled ? demangled.get() : type.name();
  // The last "::" outside template arguments ends the scopes.
  size_t start = 0;
  int depth = 0;
  for (size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] == '<') ++depth;
    if (name[i] == '>') --depth;
    if (depth == 0 && name[i] == ':' && name[i + 1] == ':') start = i + 2;
  }
  return qv::Utf8ToString(name.substr(start));
}

}  // namespace

// ===========================================================================
// Threads and message boxes

namespace qv {

void JoinOrReap(std::thread& thread) {
  if (!thread.joinable()) return;
  const std::thread::id id = thread.get_id();
  if (id == std::this_thread::get_id() || pf::IsRunningCallOf(id))
    pf::JoinLater(std::move(thread));
  else
    pf::JoinWhilePumping(thread);
}

namespace {
std::mutex gBoxMutex;
TMessageBoxHook gBoxHook;
}  // namespace

TMessageBoxHook SetMessageBoxHook(TMessageBoxHook hook) {
  std::lock_guard lock(gBoxMutex);
  std::swap(gBoxHook, hook);
  return hook;
}

void ShowMessageBox(std::u16string_view Text, std::u16string_view Caption, TMsgBoxIcon Icon) {
  TMessageBoxHook hook;
  {
    std::lock_guard lock(gBoxMutex);
    hook = gBoxHook;
  }
  if (hook) {
    hook(Text, Caption, Icon);
    return;
  }
  const std::string caption = StringToUtf8(Caption.empty() ? u"Error" : Caption);
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), StringToUtf8(Text).c_str());
}

}  // namespace qv

// ===========================================================================
// TqvCustomLogFile

void TqvCustomLogFile::DoFatalError(uint32_t ErrorCode, uint32_t Detail, const std::u16string& ErrorMsg) {
  bool raise = true;
  if (OnFatalError) OnFatalError(this, ErrorCode, Detail, ErrorMsg, raise);
  if (raise) throw EqvError(qv::StringToUtf8(ErrorMsg));
}

// ===========================================================================
// TqvCallGate

// A way into an object that callers on any thread pass. Shut() closes it and
// returns when no other thread is inside. A caller on this thread, or one
// whose hand-over the main thread is running right now, is suspended below us
// on the stack and is not waited for: that wait would never end. The main
// thread keeps serving handed-over calls while it waits, since a caller
// inside may be waiting for one of them.
class TqvCallGate {
 public:
  // False when the gate is shut.
  bool Enter() {
    std::lock_guard lock(mutex_);
    if (!open_) return false;
    callers_.push_back(std::this_thread::get_id());
    return true;
  }

  void Leave() {
    bool shut;
    {
      std::lock_guard lock(mutex_);
      callers_.erase(std::find(callers_.begin(), callers_.end(), std::this_thread::get_id()));
      shut = !open_;
    }
    idle_.notify_all();
    if (shut) pf::WakeMainThread();  // a main thread in Shut polls with PumpFor
  }

  void Shut() {
    std::unique_lock lock(mutex_);
    open_ = false;
    if (!pf::IsMainThread()) {
      idle_.wait(lock, [&] { return !OthersInside(); });
      return;
    }
    while (OthersInside()) {
      lock.unlock();
      pf::PumpFor(10);
      lock.lock();
    }
  }

 private:
  bool OthersInside() const {
    const auto self = std::this_thread::get_id();
    return std::any_of(callers_.begin(), callers_.end(),
                       [&](auto id) { return id != self && !pf::IsRunningCallOf(id); });
  }

  std::mutex mutex_;
  std::condition_variable idle_;
  bool open_ = true;
  std::vector<std::thread::id> callers_;  // threads inside now
};

namespace {

// A pass through a gate, left when it goes; empty when the gate was shut.
class TGatePass {
 public:
  explicit TGatePass(std::shared_ptr<TqvCallGate> gate) : gate_(gate && gate->Enter() ? std::move(gate) : nullptr) {}
  ~TGatePass() {
    if (gate_) gate_->Leave();
  }
  TGatePass(const TGatePass&) = delete;
  TGatePass& operator=(const TGatePass&) = delete;
  explicit operator bool() const { return gate_ != nullptr; }

 private:
  std::shared_ptr<TqvCallGate> gate_;
};

}  // namespace

// ===========================================================================
// TqvNotifyList

// An entry's gate closes when it is removed, so that its object is neither
// called any more nor left while a call of it is still running elsewhere.
struct TqvNotifyList::Record : TqvCallGate {
  explicit Record(const TqvNotifyEvent& e) : event(e) {}
  const TqvNotifyEvent event;
};

TqvNotifyList::TqvNotifyList() = default;

TqvNotifyList::~TqvNotifyList() { Clear(); }

int TqvNotifyList::Add(const TqvNotifyEvent& Item) {
  std::lock_guard lock(mutex_);
  items_.push_back(std::make_shared<Record>(Item));
  return int(items_.size()) - 1;
}

int TqvNotifyList::AddUnique(const TqvNotifyEvent& Item) {
  std::lock_guard lock(mutex_);
  for (const auto& r : items_)
    if (r->event == Item) return -1;
  items_.push_back(std::make_shared<Record>(Item));
  return int(items_.size()) - 1;
}

void TqvNotifyList::Delete(int Index) {
  std::shared_ptr<Record> r;
  {
    std::lock_guard lock(mutex_);
    if (Index < 0 || Index >= int(items_.size())) return;
    r = items_[Index];
    items_.erase(items_.begin() + Index);
  }
  r->Shut();
}

bool TqvNotifyList::Remove(const TqvNotifyEvent& Item) {
  std::shared_ptr<Record> r;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(items_.begin(), items_.end(), [&](const auto& p) { return p->event == Item; });
    if (it == items_.end()) return false;
    r = *it;
    items_.erase(it);
  }
  r->Shut();
  return true;
}

void TqvNotifyList::Clear() {
  std::vector<std::shared_ptr<Record>> old;
  {
    std::lock_guard lock(mutex_);
    old.swap(items_);
  }
  for (const auto& r : old) r->Shut();
}

TqvNotifyEvent TqvNotifyList::Get(int Index) const {
  std::lock_guard lock(mutex_);
  if (Index < 0 || Index >= int(items_.size())) return {};
  return items_[Index]->event;
}

void TqvNotifyList::Put(int Index, const TqvNotifyEvent& Item) {
  std::shared_ptr<Record> old;
  {
    std::lock_guard lock(mutex_);
    if (Index < 0 || Index >= int(items_.size())) return;
    old = std::exchange(items_[Index], std::make_shared<Record>(Item));
  }
  old->Shut();
}

int TqvNotifyList::IndexOf(const TqvNotifyEvent& Item) const {
  std::lock_guard lock(mutex_);
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i]->event == Item) return int(i);
  return -1;
}

int TqvNotifyList::Count() const {
  std::lock_guard lock(mutex_);
  return int(items_.size());
}

void TqvNotifyList::Call(TObject* Sender, int32_t Code) const {
  std::vector<std::shared_ptr<Record>> snapshot;
  {
    std::lock_guard lock(mutex_);
    snapshot = items_;
  }
  // A subscriber that throws keeps no later one from hearing the code.
  std::exception_ptr firstError;
  for (const auto& r : snapshot) {
    const TGatePass pass(r);
    if (!pass) continue;  // deleted since the snapshot: its object may be gone
    try {
      if (r->event) r->event(Sender, Code);
    } catch (...) {
      if (!firstError) firstError = std::current_exception();
    }
  }
  if (firstError) std::rethrow_exception(firstError);
}

// ===========================================================================
// TqvCustomTerminal

void TqvCustomTerminal::KeyTyped(char16_t Ch) {
  std::shared_ptr<TKeyHook> hook;
  {
    std::lock_guard lock(hookMutex_);
    hook = hook_;
  }
  if (hook && (*hook)(Ch)) return;
  TypeChar(Ch);
}

void TqvCustomTerminal::SetKeyHook(TKeyHook Hook) {
  auto h = Hook ? std::make_shared<TKeyHook>(std::move(Hook)) : nullptr;
  std::lock_guard lock(hookMutex_);
  hook_ = std::move(h);
}

// ===========================================================================
// TqvBaseIO

struct TqvBaseIO::TProcessorPass {
  TProcessorPass(TqvCustomDataProcessor* p, std::shared_ptr<TqvCallGate> gate)
      : pass(std::move(gate)), processor(pass ? p : nullptr) {}
  const TGatePass pass;
  TqvCustomDataProcessor* const processor;
};

TqvBaseIO::TProcessorPass TqvBaseIO::PassToProcessor() {
  std::lock_guard lock(processorMutex_);
  TqvCustomDataProcessor* p = fDataProcessor.load();
  return {p, p ? processorGate_ : nullptr};
}

TqvCustomDataProcessor* TqvBaseIO::SwapProcessor(TqvCustomDataProcessor* Value) {
  TqvCustomDataProcessor* old;
  std::shared_ptr<TqvCallGate> oldGate;
  {
    std::lock_guard lock(processorMutex_);
    old = fDataProcessor.exchange(Value);
    oldGate = std::exchange(processorGate_, std::make_shared<TqvCallGate>());
  }
  oldGate->Shut();
  return old;
}

TqvBaseIO::TqvBaseIO(TqvComponent* AOwner)
    : TqvComponent(AOwner), processorGate_(std::make_shared<TqvCallGate>()) {}

TqvBaseIO::~TqvBaseIO() {
  FreeKeepConnectionTimer();
  EndThreadIO();
  if (TqvCustomDataProcessor* p = SwapProcessor(nullptr)) p->AttachDevice(nullptr);
  if (fTerminal) {
    fTerminal->SetKeyHook(nullptr);
    fTerminal = hTerminal = nullptr;
  }
  DeviceListClear();
}

bool TqvBaseIO::IsOpen() { return fHandle.load() != INVALID_HANDLE_VALUE; }

THandle TqvBaseIO::OpenHandle() { return INVALID_HANDLE_VALUE; }

void TqvBaseIO::CloseDeviceHandle(THandle h) { pf::CloseHandle(h); }

bool TqvBaseIO::HasDataConsumer() {
  return fTerminal != nullptr || static_cast<bool>(OnAfterReceive) || fDataProcessor.load() != nullptr;
}

void TqvBaseIO::Open() {
  fHandle = OpenHandle();
  if (!IsOpen()) return;
  if (isThreaded) StartThreads();
  if (OnOpen) {
    try {
      OnOpen(this);
    } catch (...) {
      // A handler's failure does not undo the open.
    }
  }
}

void TqvBaseIO::Close() {
  const THandle h = fHandle.exchange(INVALID_HANDLE_VALUE);
  if (h == INVALID_HANDLE_VALUE) return;
  CloseDeviceHandle(h);
  if (isThreaded) StopThreads();
  if (OnClose) {
    try {
      OnClose(this);
    } catch (...) {
      // A handler's failure does not undo the close.
    }
  }
}

void TqvBaseIO::StartThreads() {
  IsThreadIOTerminated = false;
  fThreadIO = std::make_shared<TqvThreadIO>(this, fPriority);
  fThreadIO->Start();
}

void TqvBaseIO::StopThreads() {
  if (IsThreadIOTerminated.exchange(true)) return;
  EndThreadIO();
}

void TqvBaseIO::EndThreadIO() {
  if (!fThreadIO) return;
  fThreadIO->Terminate();
  fThreadIO->WaitFor();
  fThreadIO.reset();
}

void TqvBaseIO::ThreadExecute(TqvThreadIO& /*Thread*/) {}

void TqvBaseIO::DoFatalError(uint32_t Code, uint32_t Detail, const std::u16string& Msg, bool flShow) {
  bool raise = true;
  if (OnFatalError) OnFatalError(this, Code, Detail, Msg, raise);
  if (fLog) fLog->AddLogFmt(TDetailLevel::dlSimple, kFatalErrorFormat, {uint64_t(Code), uint64_t(Detail), Msg});
  if (!raise || IsLoading()) return;
  if (flShow)
    qv::ShowMessageBox(Msg, u"", qv::TMsgBoxIcon::mbError);
  else
    throw EqvError(qv::StringToUtf8(Msg));
}

void TqvBaseIO::DoNotify(int32_t Code) { qvNotifyList.Call(this, Code); }

bool TqvBaseIO::DataReceived(const char* Data, uint32_t Len) {
  if (fThreadIO && fUseMainThread && fThreadIO->IsCurrentThread()) {
    fThreadIO->Synchronize([&] { DataReceived(Data, Len); });
    return false;
  }
  const auto secrets = fSecretMask.ForReceived(std::string_view(Data, Len));
  if (IsLogLevel(TDetailLevel::dlDebug)) {
    // Each byte as two hex digits followed by a blank.
    const std::u16string hex = qv::HexDump(std::string_view(Data, Len), secrets);
    WriteLog(TDetailLevel::dlDebug,
             u"Input data length: " + qv::IntToStr(Len) + u" [" + hex + (Len ? u" ]" : u"]"));
  }
  TIgnoreTypes R;
  if (const TProcessorPass pass = PassToProcessor(); pass.processor) pass.processor->DoProcessing(Data, Len, R);
  if (fTerminal && !R.Contains(TIgnoreType::itTerminal)) TerminalOutput(Data, Len);
  if (OnAfterReceive) OnAfterReceive(this, Data, Len);
  return false;
}

bool TqvBaseIO::AfterSendComplete() {
  bool claimed = false;
  if (const TProcessorPass pass = PassToProcessor(); pass.processor) pass.processor->DoAfterSendComplete(claimed);
  return claimed;
}

void TqvBaseIO::SetDeviceIndex(int32_t /*Value*/) { DoNotify(qvNotifyDeviceChanged); }

int TqvBaseIO::DeviceAdd(std::unique_ptr<TqvDevice> aDevice) {
  if (!aDevice) return -1;
  const int index = int(slDevices.size());
  aDevice->fIndex = index;
  aDevice->fParent = this;
  std::u16string name = aDevice->NameFriendly;
  slDevices.emplace_back(std::move(name), std::move(aDevice));
  return index;
}

int TqvBaseIO::DeviceInsert(std::unique_ptr<TqvDevice>& aDevice) {
  if (!aDevice) return -1;
  const int n = int(slDevices.size());
  if (n == 0 || slDevices.back().second->Data < aDevice->Data) return DeviceAdd(std::move(aDevice));
  for (int i = 0; i < n; ++i) {
    const int32_t data = slDevices[i].second->Data;
    if (data == aDevice->Data) return -1;
    if (data > aDevice->Data) {
      aDevice->fIndex = i;
      aDevice->fParent = this;
      std::u16string name = aDevice->NameFriendly;
      slDevices.emplace(slDevices.begin() + i, std::move(name), std::move(aDevice));
      for (int j = i + 1; j <= n; ++j) slDevices[j].second->fIndex = j;
      return i;
    }
  }
  return -1;  // not reached: the last entry's Data is not below aDevice's
}

void TqvBaseIO::DeviceListClear() { slDevices.clear(); }

void TqvBaseIO::KeepConnectionTick(TObject* /*Sender*/) {
  if (OnKeepConnection) OnKeepConnection(this);
  if (!fKeepConnection) KeepConnectionStop();
}

void TqvBaseIO::KeepConnectionStart() {
  std::lock_guard lock(timerMutex_);
  if (timerFreed_) return;  // the component is going away
  if (timerKeepConnection) {
    timerKeepConnection->SetEnabled(false);
  } else {
    timerKeepConnection = std::make_unique<TqvTimer>(false);
    timerKeepConnection->SetInterval(uint32_t(std::max(fKeepConnectionInterval, int32_t(0))));
    timerKeepConnection->SetOnTimer(TNotifyEvent::Bind(this, &TqvBaseIO::KeepConnectionTick));
  }
  timerKeepConnection->SetEnabled(true);
}

void TqvBaseIO::KeepConnectionStop() {
  std::lock_guard lock(timerMutex_);
  if (timerKeepConnection) timerKeepConnection->SetEnabled(false);
}

void TqvBaseIO::FreeKeepConnectionTimer() {
  std::unique_ptr<TqvTimer> timer;
  {
    std::lock_guard lock(timerMutex_);
    timerFreed_ = true;
    timer = std::move(timerKeepConnection);
  }
  // Destroyed outside the lock: a running tick may still call KeepConnectionStop.
  timer.reset();
}

void TqvBaseIO::TerminalOutput(const char* Data, uint32_t Len) {
  TqvCustomTerminal* out = hTerminal;
  if (!out || Len == 0) return;
  fTerminalLocked = true;
  struct Unlock {
    std::atomic<bool>& flag;
    ~Unlock() { flag = false; }
  } unlock{fTerminalLocked};
  const std::u16string text = qv::BytesToString(std::string_view(Data, Len));
  if (Len == 1) {
    out->TypeChar(text[0]);
    return;
  }
  // Each run between NUL bytes is inserted; the NULs themselves are not shown.
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find(u'\0', start);
    if (end == std::u16string::npos) end = text.size();
    if (end > start) out->ReplaceSel(std::u16string_view(text).substr(start, end - start));
    start = end + 1;
  }
}

void TqvBaseIO::Update() { DoNotify(qvNotifyDeviceChanged); }

void TqvBaseIO::NotifyAdd(const TqvNotifyEvent& NotifyEvent) { qvNotifyList.AddUnique(NotifyEvent); }

void TqvBaseIO::NotifyDelete(const TqvNotifyEvent& NotifyEvent) { qvNotifyList.Remove(NotifyEvent); }

void TqvBaseIO::GetDeviceList(TqvDeviceRefs* L) {
  if (slDevices.empty()) DeviceListLoad();
  if (!L) return;
  L->clear();
  for (const auto& [name, device] : slDevices) L->emplace_back(name, device.get());
}

bool TqvBaseIO::WMDeviceChange(const TqvDeviceChangeMsg& Msg) {
  if (Msg.Msg != qv::WM_DEVICECHANGE) return false;
  const bool nodes = Msg.Event == qv::DBT_DEVNODES_CHANGED;
  const bool port = (Msg.Event == qv::DBT_DEVICEARRIVAL || Msg.Event == qv::DBT_DEVICEREMOVECOMPLETE) &&
                    Msg.DeviceType == qv::DBT_DEVTYP_PORT;
  if (!nodes && !port) return false;
  Update();
  return true;
}

std::error_code TqvBaseIO::FlushOutput(uint32_t /*TimeoutMs*/) { return {}; }

TqvDevice* TqvBaseIO::GetDevice(int Index) const {
  if (Index < 0 || Index >= int(slDevices.size())) return nullptr;
  return slDevices[Index].second.get();
}

const std::u16string& TqvBaseIO::DeviceName(int Index) const {
  static const std::u16string kNone;
  if (Index < 0 || Index >= int(slDevices.size())) return kNone;
  return slDevices[Index].first;
}

int TqvBaseIO::IndexOfDevice(const TqvDevice* aDevice) const {
  for (size_t i = 0; i < slDevices.size(); ++i)
    if (slDevices[i].second.get() == aDevice) return int(i);
  return -1;
}

int TqvBaseIO::IndexOfDeviceData(int32_t Key) const {
  for (size_t i = 0; i < slDevices.size(); ++i)
    if (slDevices[i].second->Data == Key) return int(i);
  return -1;
}

bool TqvBaseIO::IsLogLevel(TDetailLevel Level) const { return fLog && fLog->DetailLevel() >= Level; }

void TqvBaseIO::WriteLog(TDetailLevel Level, const std::u16string& Text) const {
  if (!fLog) return;
  if (Text.empty())
    fLog->AddSysInfo();
  else
    fLog->AddLog(Level, LogPrefix() + Text);
}

void TqvBaseIO::WriteLogFmt(TDetailLevel Level, const std::u16string& Format,
                            const std::vector<qv::TqvFmtArg>& Args) const {
  if (fLog) fLog->AddLogFmt(Level, LogPrefix() + Format, Args);
}

const std::u16string& TqvBaseIO::LogPrefix() const {
  std::call_once(logPrefixOnce_, [this] {
    if (sLogPrefix.empty()) sLogPrefix = ClassName(typeid(*this));
  });
  return sLogPrefix;
}

bool TqvBaseIO::Active() {
  if (IsLoading() || IsDesigning()) return fActive;
  return IsOpen();
}

void TqvBaseIO::SetActive(bool Value) {
  if (IsLoading()) {
    fActive = Value;
    return;
  }
  if (Value == Active() && !IsDesigning()) return;
  if (Value)
    Open();
  else
    Close();
  if (IsDesigning()) {
    // A test open: remember whether it worked, and close again.
    fActive = IsOpen();
    if (fActive) Close();
  }
}

void TqvBaseIO::SetDataProcessor(TqvCustomDataProcessor* Value) {
  TqvCustomDataProcessor* old = SwapProcessor(Value);
  // The processor replaced (or cleared) stops hearing this device and sending through it.
  if (old && old != Value) old->AttachDevice(nullptr);
  if (Value) {
    Value->AttachDevice(this);
    FreeNotification(Value);
  }
}

void TqvBaseIO::SetLog(TqvCustomLogFile* Value) {
  fLog = Value;
  if (Value) FreeNotification(Value);
}

void TqvBaseIO::SetTerminal(TqvCustomTerminal* Value) {
  if (fTerminal) {
    fTerminal->SetKeyHook(nullptr);
    fTerminal->DeviceBound(nullptr);
  }
  if (Value) {
    Value->DeviceBound(this);
    Value->SetKeyHook([this](char16_t ch) { return TerminalKey(ch); });
  }
  hTerminal = nullptr;
  fTerminal = Value;
  if (IsDesigning() && Value && fTerminalUsage == TTerminalUsage::tuNone)
    fTerminalUsage = TTerminalUsage::tuBoth;
  SetTerminalUsage(fTerminalUsage);
  if (Value) FreeNotification(Value);
}

void TqvBaseIO::SetTerminalUsage(TTerminalUsage Value) {
  fTerminalUsage = Value;
  if (!fTerminal) return;
  const bool shows = Value == TTerminalUsage::tuReceive || Value == TTerminalUsage::tuBoth;
  hTerminal = shows ? fTerminal : nullptr;
}

bool TqvBaseIO::TerminalKey(char16_t Ch) {
  if (fTerminalLocked) return false;
  if (fTerminalUsage != TTerminalUsage::tuSend && fTerminalUsage != TTerminalUsage::tuBoth) return false;
  SendChar(Ch);
  return !fTerminalEcho;  // without echo the key is not shown locally
}

void TqvBaseIO::Loaded() {
  TqvComponent::Loaded();
  try {
    SetTerminal(fTerminal);
    SetTerminalUsage(fTerminalUsage);
    SetActive(fActive);
  } catch (const std::exception& e) {
    qv::ShowMessageBox(u"error: " + ExceptionText(e), u"Error", qv::TMsgBoxIcon::mbError);
  } catch (...) {
    qv::ShowMessageBox(u"error", u"Error", qv::TMsgBoxIcon::mbError);
  }
}

void TqvBaseIO::Notification(TqvComponent* AComponent, TOperation Operation) {
  TqvComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  // The processor detached itself in its destructor; it must not be called now.
  if (AComponent == fDataProcessor.load()) SwapProcessor(nullptr);
  if (AComponent == fTerminal) fTerminal = hTerminal = nullptr;
  if (AComponent == fLog) fLog = nullptr;
}

// ===========================================================================
// TqvThreadIO

TqvThreadIO::TqvThreadIO(TqvBaseIO* aqvComm, TThreadPriority /*pr*/) : fqvComm(aqvComm) {}

TqvThreadIO::~TqvThreadIO() {
  Terminate();
  WaitFor();
}

void TqvThreadIO::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([self = shared_from_this()]() mutable {
    self->started_.Wait();
    if (!self->Terminated()) {
      try {
        self->fqvComm->ThreadExecute(*self);
      } catch (...) {
        // Nothing crosses the thread boundary; the device reports its own errors.
      }
    }
    // When the device let go of this object meanwhile, the destructor runs
    // here and hands this thread to the reaper.
    self.reset();
  });
  id_ = thread_.get_id();
  started_.Set();
}

bool TqvThreadIO::Synchronize(const std::function<void()>& Method) { return pf::RunOnMainThread(Method); }

void TqvThreadIO::WaitFor() { qv::JoinOrReap(thread_); }

bool TqvThreadIO::IsCurrentThread() const { return std::this_thread::get_id() == id_; }

// ===========================================================================
// TqvCustomDataProcessor

TqvCustomDataProcessor::TqvCustomDataProcessor(TqvComponent* AOwner)
    : TqvComponent(AOwner), fTimerAsync(std::make_unique<TqvTimer>(false)) {
  fTimerAsync->SetOnTimer(TNotifyEvent::Bind(this, &TqvCustomDataProcessor::AsyncTimerTick));
}

TqvCustomDataProcessor::~TqvCustomDataProcessor() { ShutDown(); }

void TqvCustomDataProcessor::DeviceNotify(TObject* /*Sender*/, int32_t Code) {
  if (Code == qvNotifyClosed)
    MediumClosed();
  else if (Code == qvNotifyOpened)
    MediumOpened();
}

void TqvCustomDataProcessor::MediumClosed() { WriteLog(TDetailLevel::dlDebug, u"Medium Closed"); }

void TqvCustomDataProcessor::MediumOpened() { WriteLog(TDetailLevel::dlDebug, u"Medium Opened"); }

void TqvCustomDataProcessor::SetDataProcessor(TqvCustomDataProcessor* Value) {
  if (Value == this) return;
  fDataProcessor = Value;
  if (!Value) return;
  FreeNotification(Value);
  Value->AttachDevice(fDevice);
}

void TqvCustomDataProcessor::AttachDevice(TqvBaseIO* Device) {
  if (fDevice && fDevice != Device) fDevice->NotifyDelete(NotifyHandler());
  fDevice = Device;
  if (Device) {
    FreeNotification(Device);
    Device->NotifyAdd(NotifyHandler());
  }
  // The rest of the chain follows, so that all of it hears the same device.
  // The check stops at a processor already there (and at a cycle).
  if (fDataProcessor && fDataProcessor->fDevice != Device) fDataProcessor->AttachDevice(Device);
}

bool TqvCustomDataProcessor::DoDataSend(const char* Data, uint32_t Len) {
  if (Len == 0 || !Data) return true;
  bool ok = false;
  try {
    bool handled = false;
    if (OnDataSend) OnDataSend(this, Data, Len, false, handled);
    if (handled) {
      // As if a send had completed: the timer restarts with its interval.
      std::lock_guard lock(timerMutex_);
      if (fTimerAsync) fTimerAsync->Restart();
      ok = true;
    } else if (!fDevice) {
      WriteLogFmt(TDetailLevel::dlDetail, u"DoDataSend: no device, %u bytes not sent", {uint64_t(Len)});
    } else if (!fDevice->SendData(Data, Len)) {
      WriteLogFmt(TDetailLevel::dlDetail, u"DoDataSend: sending %u bytes failed", {uint64_t(Len)});
    } else {
      const uint32_t deadline = fDevice->WriteTimeout() != 0 ? fDevice->WriteTimeout() : SendTimeout();
      const std::error_code ec = fDevice->FlushOutput(deadline);
      ok = !ec;
      if (ec == std::errc::timed_out)
        WriteLogFmt(TDetailLevel::dlDetail, u"DoDataSend: output not flushed within %u ms", {uint64_t(deadline)});
      else if (ec)
        WriteLogFmt(TDetailLevel::dlDetail, u"DoDataSend: output not flushed: %s", {qv::Utf8ToString(ec.message())});
    }
    WriteLogFmt(TDetailLevel::dlDebug, u"DoDataSend: %u bytes", {uint64_t(Len)});
  } catch (const std::exception& e) {
    ok = false;
    WriteLogFmt(TDetailLevel::dlDetail, u"DoDataSend: %s", {ExceptionText(e)});
  } catch (...) {
    ok = false;
    WriteLog(TDetailLevel::dlDetail, u"DoDataSend: failed");
  }
  return ok;
}

bool TqvCustomDataProcessor::DoTextSend(std::string_view S) {
  if (S.empty()) return true;
  try {
    bool handled = false;
    if (OnDataSend) OnDataSend(this, S.data(), uint32_t(S.size()), true, handled);
    if (handled) return true;
    if (!fDevice) {
      WriteLogFmt(TDetailLevel::dlDetail, u"DoTextSend: no device, %u bytes not sent", {uint64_t(S.size())});
      return false;
    }
    if (fDevice->SendString(S)) return true;
    WriteLogFmt(TDetailLevel::dlDetail, u"DoTextSend: sending %u bytes failed", {uint64_t(S.size())});
  } catch (const std::exception& e) {
    WriteLogFmt(TDetailLevel::dlDetail, u"DoTextSend: %s", {ExceptionText(e)});
  } catch (...) {
    WriteLog(TDetailLevel::dlDetail, u"DoTextSend: failed");
  }
  return false;
}

void TqvCustomDataProcessor::AsyncTimerTick(TObject* /*Sender*/) {
  {
    std::lock_guard lock(timerMutex_);
    if (fTimerAsync) fTimerAsync->SetEnabled(false);
  }
  bool flag = false;
  DoAfterSendComplete(flag);
}

void TqvCustomDataProcessor::StartAsyncTimer(uint32_t Interval) {
  std::lock_guard lock(timerMutex_);
  if (!fTimerAsync) return;
  fTimerAsync->SetEnabled(false);
  if (Interval == 0) return;
  fTimerAsync->SetInterval(Interval);
  fTimerAsync->SetEnabled(true);
}

bool TqvCustomDataProcessor::AsyncTimerEnabled() const {
  std::lock_guard lock(timerMutex_);
  return fTimerAsync && fTimerAsync->Enabled();
}

void TqvCustomDataProcessor::ShutDown() {
  // The device first: freeing the timer pumps the dispatcher on the main
  // thread, which may run a hand-over of the device.
  if (fDevice && fDevice->DataProcessor() == this) fDevice->SetDataProcessor(nullptr);
  AttachDevice(nullptr);
  std::unique_ptr<TqvTimer> timer;
  {
    std::lock_guard lock(timerMutex_);
    timer = std::move(fTimerAsync);
  }
  timer.reset();  // outside the lock: a running tick may still take it
}

void TqvCustomDataProcessor::DoFatalErrors(uint32_t Code, uint32_t Detail, const std::u16string& Msg) {
  bool raise = true;
  if (OnFatalError) OnFatalError(this, Code, Detail, Msg, raise);
  if (fLog) fLog->AddLogFmt(TDetailLevel::dlSimple, kFatalErrorFormat, {uint64_t(Code), uint64_t(Detail), Msg});
  if (raise) throw EqvError(qv::StringToUtf8(Msg));
}

void TqvCustomDataProcessor::DoProcessing(const char* Data, uint32_t Len, TIgnoreTypes& R) {
  if (fDataProcessor) fDataProcessor->DoProcessing(Data, Len, R);
}

void TqvCustomDataProcessor::DataReceive(const char* ptrBuffer, uint32_t Len) {
  TIgnoreTypes R;
  DoProcessing(ptrBuffer, Len, R);
}

void TqvCustomDataProcessor::DoAfterSendComplete(bool& /*flIgnore*/) {}

bool TqvCustomDataProcessor::IsDeviceOpen() const { return fDevice && fDevice->IsOpen(); }

void TqvCustomDataProcessor::SetLog(TqvCustomLogFile* Value) {
  fLog = Value;
  if (Value) FreeNotification(Value);
}

void TqvCustomDataProcessor::WriteLog(TDetailLevel Level, const std::u16string& Text) const {
  if (fLog) fLog->AddLog(Level, sLogPrefix + Text);
}

void TqvCustomDataProcessor::WriteLogFmt(TDetailLevel Level, const std::u16string& Format,
                                         const std::vector<qv::TqvFmtArg>& Args) const {
  if (fLog) fLog->AddLogFmt(Level, sLogPrefix + Format, Args);
}

void TqvCustomDataProcessor::Notification(TqvComponent* AComponent, TOperation Operation) {
  TqvComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove) return;
  if (AComponent == fDataProcessor) fDataProcessor = nullptr;
  // A device being destroyed has already lost its notify list: only forget it.
  if (AComponent == fDevice) fDevice = nullptr;
  if (AComponent == fLog) fLog = nullptr;
}
