#include "qvsms_modem.h"

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "platform/qvdispatcher.h"
#include "qvsms_ports.h"
#include "qvsms_signals.h"
#include "qvtext.h"

namespace qvsms {

namespace pf = qv::platform;
using qv::StringToUtf8;
using qv::Utf8ToString;

namespace {

// How long the initialisation may take at most, in line time-outs: it sends
// about fifteen lines, and each may take its time-out.
constexpr double kInitLines = 30;

std::u16string Trimmed(const std::string& s) { return std::u16string(qv::TrimView(Utf8ToString(s))); }

bool Answered(const std::string& bytes) {
  return bytes.find("OK") != std::string::npos || bytes.find("ERROR") != std::string::npos;
}

}  // namespace

bool TCliGsm::LastLineTimedOut() const {
  auto guard = Guard();
  return LastOutcome() == qv::TLineOutcome::loTimedOut;
}

std::string TCliGsm::LastErrorLine() const {
  auto guard = Guard();
  return std::string(qv::TrimView(LastErrorResult()));
}

int32_t DriverByCaption(const TqvGsm& gsm, const std::string& caption) {
  std::string names;
  for (int32_t i = 0; i < gsm.DriverCount(); ++i) {
    const std::u16string& c = gsm.GetDriver(i)->Caption();
    if (qv::SameTextNoCase(c, Utf8ToString(caption))) return i;
    names += (i ? ", " : "") + StringToUtf8(c);
  }
  throw TCliError(exUsage, "no built-in driver is called \"" + caption + "\"; the drivers are: " + names);
}

TModem::TModem(const TGlobalOptions& options, TInterrupt& interrupt)
    : fOptions(options),
      fInterrupt(interrupt),
      fComm(std::make_unique<TqvComm>()),
      fGsm(std::make_unique<TCliGsm>()) {}

// The port is closed and released before anything else goes: its threads
// hand their last calls to the main thread while it closes.
TModem::~TModem() {
  fInterrupt.SetHandler(nullptr);
  UnbindEvents();
  if (fComm->Active()) fComm->SetActive(false);
  fComm->SetDataProcessor(nullptr);
  fGsm.reset();
  fComm.reset();
}

// What the commands bound captures their own state, which is gone by now.
void TModem::UnbindEvents() {
  fComm->OnAfterReceive = nullptr;
  fGsm->OnSmsSent = fGsm->OnSmsListItem = nullptr;
  fGsm->OnRing = fGsm->OnGsmError = fGsm->OnUnsolicited = fGsm->OnUssd = nullptr;
  fGsm->OnUssdResult = nullptr;
  fGsm->OnPhoneListFinish = fGsm->OnGsmChangeState = nullptr;
  fGsm->OnPhoneListProgress = nullptr;
  fGsm->OnDiagnostic = nullptr;
  fGsm->OnNetworkChange = nullptr;
  fGsm->OnSmsMemoryFull = nullptr;
}

std::string TModem::DeviceName() { return StringToUtf8(fComm->ComName()); }

void TModem::CheckInterrupt() const {
  if (const int s = fInterrupt.Signal()) throw TInterrupted{s};
}

bool TModem::PumpUntil(const std::function<bool()>& done, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    CheckInterrupt();
    if (std::chrono::steady_clock::now() >= end) return done();
    pf::PumpFor(20);
  }
  return true;
}

void TModem::Fail(const std::string& what) {
  CheckInterrupt();
  if (!fComm->Active()) throw TCliError(exOpen, "the modem on " + DeviceName() + " went away");
  std::string why = StringToUtf8(fGsm->LastError());
  if (why.empty()) why = what;
  throw TCliError(fGsm->LastLineTimedOut() ? exTimeout : exRefused, why);
}

// ---------------------------------------------------------------------------
// Opening

void TModem::Open(TContext::TDelivery delivery, bool acceptPuk) {
  SetUpLog();
  SelectDriver();  // a driver that does not exist is a usage error: found before the port is touched
  SelectPort();
  OpenPort();
  // From now on a signal closes the port, which ends every wait at once.
  fInterrupt.SetHandler([this] {
    if (fComm->Active()) fComm->SetActive(false);
  });
  CheckInterrupt();
  Probe();
  fGsm->SetPIN(Pin());
  fGsm->SetNewSmsMode(delivery == TContext::TDelivery::dlDirect ? TgsmNewSmsMode::nsmSkipSave
                                                                : TgsmNewSmsMode::nsmRead);
  Initialise(acceptPuk);
}

void TModem::SetUpLog() {
  if (fOptions.log.empty()) return;
  const std::string& l = fOptions.logLevel;
  AttachLog(fOptions.log, l == "simple" ? TDetailLevel::dlSimple
                          : l == "debug" ? TDetailLevel::dlDebug
                                         : TDetailLevel::dlDetail);
}

void TModem::LogTo(const std::string& file) {
  if (fOptions.log.empty()) AttachLog(file, TDetailLevel::dlDebug);
}

// Every line goes to the file at once: a program that is killed keeps its trace.
void TModem::AttachLog(const std::string& file, TDetailLevel level) {
  auto log = std::make_unique<TqvLogFile>();
  log->SetFileName(Utf8ToString(file));
  log->SetOptions({TLogOption::loSafeMode, TLogOption::loDate, TLogOption::loTime, TLogOption::loMSec});
  log->SetDetailLevel(level);
  fComm->SetLog(log.get());
  fGsm->SetLog(log.get());
  fLog = std::move(log);
}

void TModem::SelectPort() {
  if (!fOptions.device.empty()) {
    fComm->SetDevicePath(Utf8ToString(fOptions.device));
  } else if (fOptions.port != 0) {
    fComm->SetComPortNo(static_cast<uint16_t>(fOptions.port));
  } else if (const auto port = DefaultPort(DiscoverPorts(true))) {
    fComm->SetDevicePath(Utf8ToString(*port));
  } else {
    throw TCliError(exOpen, "no modem found: no USB serial or ACM port is present (name one with --device or --port)");
  }
}

void TModem::OpenPort() {
  fComm->SetUseMainThread(true);
  fComm->SetBaudRate(fOptions.baud);
  fComm->SetTimeoutWrite(1000);
  try {
    fComm->SetActive(true);
  } catch (const EqvError& e) {
    // "Device "..." Open Error !!!\r<reason>": the reason is what people need.
    std::string why = e.what();
    if (const size_t cr = why.find('\r'); cr != std::string::npos) why = why.substr(cr + 1);
    throw TCliError(exOpen, "cannot open " + DeviceName() + ": " + why);
  }
}

// A modem that does not answer at all would make the driver detection wait
// for every driver's time-out: told at once instead.
void TModem::Probe() {
  std::string received;
  fComm->OnAfterReceive = [&received](TObject*, const char* data, uint32_t len) { received.append(data, len); };
  bool answered = false;
  for (int attempt = 0; attempt < 2 && !answered; ++attempt) {  // a modem may miss the first line after opening
    fComm->SendString("AT\r");
    answered = PumpUntil([&] { return Answered(received) || !fComm->Active(); }, Timeout() / 2);
  }
  fComm->OnAfterReceive = nullptr;
  CheckInterrupt();
  if (!fComm->Active()) throw TCliError(exOpen, "the modem on " + DeviceName() + " went away");
  if (!Answered(received))
    throw TCliError(exTimeout, "the modem on " + DeviceName() + " does not answer (no reply to AT within " +
                                   qv::StringToUtf8(qv::IntToStr(static_cast<int64_t>(Timeout() * 1000))) + " ms)");
}

void TModem::SelectDriver() {
  fGsm->SetTimeOut(static_cast<uint32_t>(Timeout() * 1000));
  if (!fOptions.driverFile.empty()) {
    TqvCustomATDriver* d = nullptr;
    try {
      d = fGsm->AddDriverFromFile(u"", fOptions.driverFile);
    } catch (const EqvError& e) {
      throw TCliError(exUsage, e.what());
    }
    if (!d) throw TCliError(exUsage, "the driver script " + fOptions.driverFile + " does not parse");
    fGsm->SetDriverIndex(fGsm->DriverCount() - 1);
    fGsm->SetAutodetect(false);
  } else if (!fOptions.driver.empty()) {
    fGsm->SetDriverIndex(DriverByCaption(*fGsm, fOptions.driver));
    fGsm->SetAutodetect(false);
  }
}

// --pin, else --pin-file (its first line), else QVSMS_PIN.
std::u16string TModem::Pin() const {
  if (!fOptions.pin.empty()) return Trimmed(fOptions.pin);
  if (!fOptions.pinFile.empty()) {
    std::ifstream in(fOptions.pinFile);
    std::string line;
    if (!in || !std::getline(in, line)) throw TCliError(exUsage, "cannot read the PIN file " + fOptions.pinFile);
    return Trimmed(line);
  }
  if (const char* env = std::getenv("QVSMS_PIN")) return Trimmed(env);
  return {};
}

void TModem::Initialise(bool acceptPuk) {
  fGsm->OnAfterInit = [this](TObject*) { fInitialised = true; };
  // On a worker thread: kept here, handed to the command on the main thread.
  fGsm->OnSmsReceived = [this](TObject*, const std::u16string& mem, int32_t index, TqvPduSms* sms) {
    TIncoming in{mem, index, sms ? std::optional<TqvPduSms>(*sms) : std::nullopt};
    {
      std::lock_guard lk(fInboxMutex);
      fInbox.push_back(std::move(in));
    }
    pf::WakeMainThread();
  };
  fGsm->SetActive(true);
  fComm->SetDataProcessor(fGsm.get());
  fGsm->Update();  // the driver detection runs here, the initialisation queue after it
  // A failed initialisation leaves its reason in LastError; a finished one
  // raises OnAfterInit, which may come a moment after the component is idle.
  const bool ended = PumpUntil(
      [&] { return fInitialised || !fComm->Active() || (!fGsm->IsBusy() && !fGsm->LastError().empty()); },
      Timeout() * kInitLines);
  if (fInitialised) return;
  if (!ended) throw TCliError(exTimeout, "the modem's initialisation did not end");
  if (fGsm->PINStatus() == TGsmPinStatus::pinPUK) {
    if (acceptPuk) return;
    throw TCliError(exRefused, "the SIM is blocked and asks for its PUK: unblock it with qvsms sim unblock");
  }
  if (fGsm->PINStatus() == TGsmPinStatus::pinPIN && fGsm->PIN().empty())
    throw TCliError(exRefused, "the SIM asks for its PIN: give it with --pin-file FILE or QVSMS_PIN");
  Fail("the modem's initialisation failed");
}

// ---------------------------------------------------------------------------
// Messages

std::vector<TIncoming> TModem::TakeIncoming() {
  std::lock_guard lk(fInboxMutex);
  std::vector<TIncoming> r(std::make_move_iterator(fInbox.begin()), std::make_move_iterator(fInbox.end()));
  fInbox.clear();
  return r;
}

bool TModem::HasIncoming() {
  std::lock_guard lk(fInboxMutex);
  return !fInbox.empty();
}

TqvPduSms TModem::Read(const std::u16string& memory, int32_t index) {
  const std::u16string before = fGsm->MemoryRead();
  fGsm->SetMemoryRead(memory);
  TqvPduSms sms = fGsm->SmsGet(index);
  fGsm->SetMemoryRead(before);
  return sms;
}

bool TModem::Delete(const std::u16string& memory, int32_t index) {
  const std::u16string before = fGsm->MemoryRead();
  if (!memory.empty()) fGsm->SetMemoryRead(memory);
  const bool ok = fGsm->SmsDelete(index);
  fGsm->SetMemoryRead(before);
  return ok;
}

// ---------------------------------------------------------------------------

TContext::TContext(const TGlobalOptions& options, TOutput& out, TInterrupt& interrupt)
    : fOptions(options), fOut(out), fInterrupt(interrupt) {}

TContext::~TContext() = default;

TModem& TContext::Modem(TDelivery delivery) { return OpenModem(delivery, false); }

TModem& TContext::LockedModem() { return OpenModem(TDelivery::dlStored, true); }

TModem& TContext::OpenModem(TDelivery delivery, bool acceptPuk) {
  if (!fModem) {
    fModem = std::make_unique<TModem>(fOptions, fInterrupt);
    fModem->Open(delivery, acceptPuk);
  }
  return *fModem;
}

void TContext::CheckInterrupt() const {
  if (const int s = fInterrupt.Signal()) throw TInterrupted{s};
}

}  // namespace qvsms
