// TqvGsm: the GSM phone or modem component. It derives from the AT command
// processor and adds the command vocabulary, placeholder expansion, the modem
// initialisation, unsolicited notifications, SMS operations, the phone book,
// calls, USSD, and the battery and signal readings.
//
// One exchange at a time. Every operation that talks to the modem first takes
// the component's turn: a synchronous operation holds it until it returns, a
// queue (initialisation, sending, listing, diagnostics) from its start to its
// end, whatever way it ends. A thread that finds the turn taken waits for it
// (the main thread keeps pumping the dispatcher meanwhile); the wait ends
// with failure when the device closes, when the component goes away, or when
// the holder has had no line answered for TimeOut (a listing whose items keep
// coming makes progress). A request refused this way, or failing, leaves its
// reason in LastError.
//
// One ordered event lane. Every event that arises while received bytes are
// processed, on the time-out path, or inside an operation is appended to the
// component's lane with copies of its arguments (its own TqvPduSms, its own
// texts), so that a later message never shows through an earlier event's
// record. The lane runs on the main thread, in order, with no lock and no
// turn held: from the main loop (its calls come through the dispatcher), and
// at the end of every synchronous operation, right after it released the
// turn; never inside a wait of this component. So SmsList(true) returns with
// its items delivered, and a handler may call any synchronous operation and
// gets its reply. An operation called from a handler leaves the events that
// follow to run after that handler: one handler ends before the next starts.
//   - OnDiagnostic for each answered line and OnPhoneListProgress steer the
//     queue through flBreak, so they run inside the delivery of the reply: a
//     synchronous request made from them fails at once as busy.
//   - OnSmsReceived is raised on the worker thread that handled the message
//     (TSmsThread); the workers take their messages one after another, in the
//     order the notifications came, so these events keep that order too. They
//     have no order relative to the lane.
//   - With the port's UseMainThread off, the lane runs on the port's thread
//     right after each delivery, once the delivery's locks are released; a
//     synchronous request made there fails at once ("called from the receive
//     thread"), since no reply could be read while it waited. Events of the
//     time-out path still run on the main thread.
//   - IsBusy tells whether an exchange runs, not whether its events have been
//     delivered; CurrentState may have moved on by the time a handler runs.
//
// Notifications. A notification head pushes its collecting state on top of
// the state stack and pops it again when its text is complete, so the
// activity below (an initialisation, a send, a listing) goes on untouched.
// The acknowledgement of a directly delivered message goes out right after
// the current line's final result, ahead of queued lines. Stored and directly
// delivered messages are handled on worker threads that the component owns
// and joins.
//
// Locks, in the order they are taken:
//   the turn       not a lock but a token (fTurnMutex guards who holds it);
//                  never waited for while any lock below is held;
//   fLock          the processor's re-entrant lock: reply state, queue,
//                  drivers, and here the queue bookkeeping and the
//                  notification collection; hooks and byte processing run
//                  under it; waits release it;
//   leaf mutexes   each held alone, for a copy or an update, never while
//                  another one is taken, and never while calling out:
//     fInfoMutex     device texts, memory names and lists, PIN and its
//                    rejection, the SIM codes of PINUnblock and PINChange,
//                    phone book memory names, LastError, the network;
//     fStateMutex    the state stack;
//     fSmsMutex      the sends awaiting confirmation and their outcomes;
//     fTurnMutex     the turn;
//     fLaneMutex     the event lane;
//     fWorkersMutex  the worker threads and their tickets;
//     fSmsOrderMutex whose ticket's turn it is;
//   last, the log proxy's guard, the log's own and the dispatcher's.
// The placeholder values of an exchange are written and expanded under the
// turn. Atomics: the memory counts, PIN status, battery and signal values,
// the multi-part reference, NewSmsMode, cancellation. Plain fields without a
// guard (Text, PhoneNumber, Autodetect, IgnoreInitErrors, InitCommands,
// GsmAT, PhoneListType, the phone book) are properties the application sets
// from one thread while no operation of its own runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/qvdispatcher.h"
#include "platform/qvthread.h"
#include "qvatcmd.h"
#include "qvgsmpdu.h"
#include "qvphonebook.h"
#include "qvtimer.h"
#include "qvapi.h"

QV_API_BEGIN

enum class TgsmATType { gtNokia, gtSE };
enum class TgsmNewSmsMode { nsmNotifyOnly, nsmSkipSave, nsmRead };
enum class TGsmPinStatus { pinUnknown, pinError, pinReady, pinPIN, pinPUK, pinPIN2, pinPUK2, pinPhSimPIN, pinPhNetPIN };
enum class TSmsStatus { ssUnRead, ssRead, ssUnSent, ssSent, ssAll };

using TqvSmsNotifyEvent =
    TqvEvent<TObject* /*Sender*/, const std::u16string& /*aMem*/, int32_t /*idSms*/, TqvPduSms* /*aSms*/>;
using TqvGsmNotifyEvent = TqvEvent<TObject* /*Sender*/, const std::u16string& /*sData*/>;
using TqvGsmProgressEvent = TqvEvent<TObject* /*Sender*/, bool& /*flBreak*/>;

// What a USSD answer says of the session (<m> of "+CUSD:", 3GPP TS 27.007);
// usUnknown when the answer holds no number there.
enum class TUssdStatus : int32_t {
  usUnknown = -1,
  usDone,            // 0: no further user action required
  usActionRequired,  // 1: the network asks for more: answer with SendUSSD
  usTerminated,      // 2: the network ended the session
  usOtherClient,     // 3: another local client has answered
  usNotSupported,    // 4: operation not supported
  usTimedOut,        // 5: the network timed out
};
using TqvUssdResultEvent =
    TqvEvent<TObject* /*Sender*/, TUssdStatus /*aStatus*/, const std::u16string& /*sData*/>;

// Registration state: <stat> of "+CREG:" and "+CEREG:" (3GPP TS 27.007);
// nrNotRead until a reading or a notification gave one.
enum class TNetworkRegistration : int32_t {
  nrNotRead = -1,
  nrNotRegistered,  // 0: not registered, not searching
  nrHome,           // 1: registered, home network
  nrSearching,      // 2: not registered, searching
  nrDenied,         // 3: registration denied
  nrUnknown,        // 4: unknown
  nrRoaming,        // 5: registered, roaming
};

// The network the modem is on, as the last reading and notifications left it.
struct TNetworkInfo {
  TNetworkRegistration Registration = TNetworkRegistration::nrNotRead;
  int32_t Technology = -1;         // <AcT>: 0 GSM, 2 UTRAN, 3 GSM/EGPRS, 7 E-UTRAN...; -1 not given
  std::u16string OperatorName;     // long alphanumeric name; empty while not registered
  std::u16string OperatorNumeric;  // country and network code, "26201"
  bool Registered() const {
    return Registration == TNetworkRegistration::nrHome || Registration == TNetworkRegistration::nrRoaming;
  }
};
using TqvNetworkEvent = TqvEvent<TObject* /*Sender*/, const TNetworkInfo& /*aInfo*/>;
// Short names for people and JSON: "home", "roaming", "searching"...; the
// access technology as "GSM", "UMTS", "LTE"... ("" for -1, the number for
// one not known here).
std::u16string RegistrationName(TNetworkRegistration r);
std::u16string TechnologyName(int32_t technology);
// One line for people: "home, LTE, QV Mobile (00101)", "searching".
std::u16string DescribeNetwork(const TNetworkInfo& info);

// One call of "+CLCC:" (3GPP TS 27.007).
enum class TCallState : int32_t { csActive, csHeld, csDialing, csAlerting, csIncoming, csWaiting };
struct TCallInfo {
  int32_t Index = 0;
  bool Incoming = false;
  TCallState State = TCallState::csActive;
  int32_t Mode = 0;  // 0 voice, 1 data, 2 fax
  bool Multiparty = false;
  std::u16string Number;
};

// Which messages SmsDeleteAll removes (<delflag> of "AT+CMGD").
enum class TSmsDeleteScope : int32_t { sdRead = 1, sdReadSent = 2, sdAll = 4 };

// Command ids of the vocabulary (the driver scripts name them).
namespace qv::gsm {
inline constexpr int32_t gsmInit = 200, gsmDetect = 201, gsmGetModel = 202, gsmGetIMEI = 203,
                         gsmGetVersion = 204, gsmGetManufacturer = 205, gsmSetTextMode = 206,
                         gsmSetPDUMode = 207, gsmGetBatteryStatus = 208, gsmGetSignalStatus = 209,
                         gsmSMSNotifyEnable = 210, gsmRingNotifyEnable = 211, gsmSetSMSMem = 212,
                         gsmGetSMSMem = 213, gsmDiagnostics = 214, gsmSMSNotifyDirect = 215,
                         gsmGetPINStatus = 216, gsmSetPIN = 217, gsmGetIMSI = 218, gsmSMSDirectConfirm = 219,
                         gsmGetNetworkReg = 220, gsmGetNetworkRegEps = 221, gsmGetOperator = 222,
                         gsmGetOperatorName = 223, gsmUnblockPIN = 224, gsmChangePIN = 225,
                         gsmGetServiceCentre = 226, gsmSetServiceCentre = 227, gsmGetNetworkRegBasic = 228,
                         gsmGetIndicators = 229, gsmIndicatorsEnable = 230,
                         gsmSMSDeleteAll = 304,
                         gsmSMSDelete = 300, gsmSendSMSPdu = 301, gsmSMSReadPDU = 302, gsmSMSList = 303,
                         gsmPhoneBookDel = 403, gsmPhoneBookWrite = 404, gsmPhoneBookRead = 405,
                         gsmSetPhoneBookMem = 406, gsmGetPhoneBookMem = 407, gsmGetPhoneBookMemRange = 408,
                         gsmSMSMemWrite = 501, gsmSMSMemRead = 502, gsmSMSMemSpec = 503, gsmPhoneBookMem = 504,
                         gsmLinePause = 505, gsmSMSReadyWait = 506,
                         gsmCallVoice = 601, gsmCallData = 602, gsmCallFax = 603, gsmCallAnswer = 604,
                         gsmCallHungup = 605, gsmCallList = 606, gsmCallTone = 607, gsmRequestUSSD = 700;

// The id of a command or setting name (letter case ignored); 0 when unknown.
int32_t CommandIdOfName(std::u16string_view name);

// Activity states of the state stack.
inline constexpr int stIdle = 0, stInit = 1, stSending = 2, stCollectSent = 3, stReading = 4,
                     stCollectStored = 6, stCollectDirect = 7, stCollectRing = 8, stCollectOther = 9,
                     stCollectError = 10, stPhoneBook = 11, stDiagnostics = 12, stListing = 13,
                     stCollectListItem = 14, stDetect = 15, stCollectUssd = 16, stCollectNetwork = 17,
                     stCollectIndicator = 18;

// Kinds of value that go into command lines, and their check (empty: fine).
//   vkPhone, vkAlphaPhone  a message's recipient: digits, '+', '*', '#' (and
//                          letters and blanks for an alphanumeric one)
//   vkPin                  digits
//   vkDial                 a dial string: digits, '+' first, '*', '#', 'A'-'D',
//                          'p', 'w', ','
//   vkUssd                 printable characters of the GSM default alphabet
//                          but '"', ';' and '\'
//   vkBookNumber           a phone book number: no CR, LF, Ctrl-Z, ESC or '"'
//   vkCaption              a phone book name sent as hex: no CR, LF, Ctrl-Z, ESC
//   vkName                 a name sent as plain text: as vkCaption, and no '"'
enum class TValueKind { vkPhone, vkAlphaPhone, vkPin, vkUssd, vkName, vkDial, vkBookNumber, vkCaption };
std::u16string CheckValue(TValueKind kind, std::u16string_view value);

// The fields of a "+CUSD:" notification's text (" 0,\"Balance 1.00\",15"): the
// status, and the string, which is what lies between the first and the last
// quote, so that it may hold commas, quotes and line breaks; dcs 15 when the
// answer gives none.
struct TUssdFields {
  TUssdStatus Status = TUssdStatus::usUnknown;
  bool HasText = false;
  std::u16string Text;
  int32_t Dcs = 15;
};
TUssdFields ParseUssdFields(std::u16string_view text);

// The fields of a "+CREG:"/"+CEREG:" text: an answer to the read command
// (" 2,1,\"00C3\",\"1A2B\",7") starts with the notification setting, a
// notification (" 1,\"00C3\",\"1A2B\",7" or " 5") with the state.
struct TRegistrationFields {
  bool Notification = false;
  TNetworkRegistration Registration = TNetworkRegistration::nrNotRead;
  int32_t Technology = -1;
};
TRegistrationFields ParseRegistration(std::u16string_view text);

// The place (from 1) of the indicator `name` in an "AT+CIND=?" answer
// ("+CIND: (\"battchg\",(0-5)),(\"smsfull\",(0,1))"), letter case ignored; 0
// when it has none.
int32_t IndicatorIndex(std::string_view reply, std::string_view name);

// The "+CLCC:" lines of a reply, in their order.
std::vector<TCallInfo> ParseCallList(std::string_view reply);

// "+CPMS: 3,30" -> " 3,30": trimmed, then what follows the first ':' when the
// text starts with '+' and has one.
std::string StripReplyPrefix(std::string_view text);
}  // namespace qv::gsm

class TqvGsm;

// The log the component writes through: it forwards to the application's log
// and masks the line the component has marked secret (the PIN line and its
// echo) wherever that line appears, until the next line is sent. A line is
// formatted and masked under the proxy's guard; a bad format gives the log's
// "Log format ERROR!!!" line instead of an exception.
class TqvSecretLog : public TqvCustomLogFile {
 public:
  void SetTarget(TqvCustomLogFile* t) { fTarget = t; }
  TqvCustomLogFile* Target() const { return fTarget.load(); }
  // `clear` is shown as `masked` from now on; an empty `clear` ends it.
  void MarkSecret(std::u16string clear, std::u16string masked);
  // `s` as it may be shown.
  std::u16string Masked(const std::u16string& s) const;

  void Save() override;
  void Clear() override;
  void Add(const std::u16string& s) override;
  void AddSysInfo() override;
  void AddLog(TDetailLevel l, const std::u16string& s) override;
  void AddFmt(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) override;
  void AddLogFmt(TDetailLevel l, const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) override;

 private:
  std::u16string MaskedLocked(const std::u16string& s) const;
  std::u16string FormatMasked(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) const;
  std::atomic<TqvCustomLogFile*> fTarget{nullptr};
  mutable std::mutex fMutex;
  std::u16string fClear, fMasked;
};

// The worker that handles one new-message notification.
class TSmsThread {
 public:
  // `ticket`: the worker's place in the order of the notifications.
  TSmsThread(TqvGsm* aGsm, std::string aSms, bool aDirect, uint64_t ticket);
  ~TSmsThread();
  TSmsThread(const TSmsThread&) = delete;
  TSmsThread& operator=(const TSmsThread&) = delete;
  bool Finished() const { return fFinished.load(); }
  // With `pump` the main thread serves handed-over calls while it joins.
  void Join(bool pump);

 private:
  void Execute();
  TqvGsm* fGsm;
  std::string fSms;
  bool flDirect;
  uint64_t fTicket;
  std::atomic<bool> fFinished{false};
  std::thread fThread;
};

class TqvGsm : public TqvCustomATProcessor {
 public:
  explicit TqvGsm(TqvComponent* AOwner = nullptr);
  ~TqvGsm() override;

  // --- properties
  // The application's log; the component writes through a masking proxy.
  TqvCustomLogFile* Log() const { return fSecretLog.Target(); }
  void SetLog(TqvCustomLogFile* Value);
  bool Autodetect() const { return fAutodetect; }
  void SetAutodetect(bool v) { fAutodetect = v; }
  const std::u16string& Text() const { return fText; }
  void SetText(std::u16string v) { fText = std::move(v); }
  const std::u16string& PhoneNumber() const { return fPhoneNumber; }
  void SetPhoneNumber(std::u16string v) { fPhoneNumber = std::move(v); }
  bool IgnoreInitErrors() const { return fIgnoreInitErrors; }
  void SetIgnoreInitErrors(bool v) { fIgnoreInitErrors = v; }
  TgsmNewSmsMode NewSmsMode() const { return fNewSmsMode.load(); }
  // A new value is applied to an open modem at once.
  void SetNewSmsMode(TgsmNewSmsMode v);
  std::u16string PIN() const;
  // A PIN the modem rejected is not sent again until a different one is set.
  void SetPIN(std::u16string v);
  const std::u16string& InitCommands() const { return fInitCommands; }
  void SetInitCommands(std::u16string v) { fInitCommands = std::move(v); }
  TGsmPinStatus PINStatus() const { return fPINStatus.load(); }
  TgsmATType GsmAT() const { return fGsmAT; }
  void SetGsmAT(TgsmATType v) { fGsmAT = v; }
  // Why the last operation failed or was refused, as OnGsmError gave it where
  // it raised one ("Initialization failed: AT+CPMS?: ERROR"); empty while
  // nothing failed since the last operation started.
  std::u16string LastError() const;

  std::u16string DeviceManufacturer() const;
  std::u16string DeviceName() const;
  std::u16string DeviceVersion() const;
  std::u16string DeviceIMEI() const;
  std::u16string DeviceIMSI() const;

  std::u16string MemoryRead() const;
  void SetMemoryRead(std::u16string v);
  std::u16string MemoryWrite() const;
  void SetMemoryWrite(std::u16string v);
  std::u16string MemorySpecial() const;
  void SetMemorySpecial(std::u16string v);
  std::vector<std::u16string> MemTypesRead() const;
  std::vector<std::u16string> MemTypesWrite() const;
  std::vector<std::u16string> MemTypesSpecial() const;
  int32_t MemReadUsed() const { return fMemReadUsed.load(); }
  int32_t MemReadTotal() const { return fMemReadTotal.load(); }
  int32_t MemWriteUsed() const { return fMemWriteUsed.load(); }
  int32_t MemWriteTotal() const { return fMemWriteTotal.load(); }
  int32_t MemSpecUsed() const { return fMemSpecUsed.load(); }
  int32_t MemSpecTotal() const { return fMemSpecTotal.load(); }

  TqvPhoneBook* PhoneList() { return &fPhoneList; }
  TqvPhoneBookType PhoneListType() const { return fPhoneListType; }
  void SetPhoneListType(TqvPhoneBookType v) { fPhoneListType = v; }
  std::u16string PhoneBookMemName() const;

  bool BatteryIsCharging() const { return fBatteryIsCharging.load(); }
  int32_t BatteryLevel() const { return fBatteryLevel.load(); }
  int32_t SignalQuality() const { return fSignalQuality.load(); }
  int32_t SignalQualityMax() const { return fSignalQualityMax.load(); }

  // --- operations of the core
  void Update();
  void RunDiagnostic();
  std::u16string PINGetStatus();
  bool PINApply();
  // Unblocks the SIM with its PUK and sets a new PIN; changes the PIN. The
  // codes are checked first (digits), shown masked in every log, and a code
  // the SIM rejected is not sent again. On success PIN becomes the new PIN.
  bool PINUnblock(const std::u16string& aPUK, const std::u16string& aNewPIN);
  bool PINChange(const std::u16string& aOldPIN, const std::u16string& aNewPIN);
  // Whether an exchange runs now; its events may still be on their way.
  bool IsBusy() const { return CurrentState() != qv::gsm::stIdle; }
  void Abort() {}
  static std::u16string PinStatusName(TGsmPinStatus s);
  static TGsmPinStatus DetectPinStatus(const TATReply& reply);

  // --- state stack
  void PushState(int s);
  int PopState();
  void SetState(int s);
  int CurrentState() const;
  std::vector<int> StateStack() const;

  // --- SMS operations
  // aServiceCentre: see SmsSend(TqvPduSms&, ...).
  void SmsSend(const std::u16string& aPhone, const std::u16string& aText, bool aConfirm,
               const std::u16string& aServiceCentre = {});
  // The parts follow the record's settings as they are now (AutoCutText, port
  // kind, coding); a text that would be cut or does not fit is refused
  // through OnGsmError, with nothing sent.
  void SmsSend(TqvPduSms& aPDU);
  // With a service centre of its own (checked as vkPhone); empty: the modem's.
  void SmsSend(TqvPduSms& aPDU, const std::u16string& aServiceCentre);
  void Send();
  // The outcome of this thread's last send: true once it was confirmed.
  bool SmsSendWait();
  std::u16string SmsSendWaitRefID(const std::u16string& aPhone, const std::u16string& aText, bool aConfirm);
  // aServiceCentre: see SmsSend(TqvPduSms&, ...).
  std::u16string SmsSendWaitRefID(TqvPduSms& aPDU, const std::u16string& aServiceCentre = {});
  // The shared record: valid until the next read.
  TqvPduSms& SmsGet(int Index);
  std::u16string SmsGetText(int Index);
  bool SmsDelete(int aIndex);
  // Empties the read memory of the messages `scope` names, in one line
  // ("AT+CMGD=1,n") where the modem takes it, else message by message.
  bool SmsDeleteAll(TSmsDeleteScope scope);
  void SmsList(bool flWait, TSmsStatus status = TSmsStatus::ssAll);
  void UpdateMemoryState();
  // Outcome of the send that finished last: idResponse 0 sent, 3 failed; sDataUseful the reference text.
  std::pair<int32_t, std::string> LastSentResult() const;
  size_t AwaitingCount() const;

  // --- status readings
  void UpdateBatteryInfo();
  void UpdateSignalInfo();

  // --- network and service centre
  // Reads the registration (circuit and, where the modem has it, packet
  // domain) and the operator, name and numeric code; turns on the
  // registration notifications (OnNetworkChange). False when the registration
  // could not be read.
  bool UpdateNetworkInfo();
  TNetworkInfo NetworkInfo() const;
  // The message service centre the modem uses ("" when the SIM has none);
  // nothing when it could not be read.
  std::optional<std::u16string> GetServiceCentre();
  // The number is checked first (vkPhone).
  bool SetServiceCentre(const std::u16string& aNumber);
  // Turns the modem's indicator events on ("AT+CMER"), so that the message
  // store raises OnSmsMemoryFull as it fills: the "+CIEV:" of its "smsfull"
  // indicator, whose place "AT+CIND=?" tells. False where the modem has no
  // such indicator or refuses the events.
  bool EnableStoreIndicator();

  // --- phone book (PhoneListType selects the memory)
  // Selects the memory and reads its counts and limits into PhoneList.
  void UpdatePhoneListState();
  // Reads the memory record by record into PhoneList: OnPhoneListProgress for
  // each record (inside the delivery: its flBreak ends the reading), then
  // OnPhoneListFinish; a reading that fails raises OnGsmError before it. An
  // empty slot answered with ERROR or "+CME ERROR: 22" is passed over. However
  // the reading ends, the driver's line that restores the character set runs.
  void PhoneBookRead();
  // The number and the name are checked first (see TValueKind); PhoneList is
  // not changed. aType is not used.
  bool PhoneBookWrite(const std::u16string& aPhone, const std::u16string& aName, int32_t aIndex,
                      TqvPhoneRecordType aType = TqvPhoneRecordType::prtUnknown);
  bool PhoneBookDel(int32_t aIndex);

  // --- calls and USSD
  // A voice call. The dial string is checked first. BUSY, NO ANSWER, NO
  // CARRIER and NO DIALTONE end the dial line at once: false, and OnGsmError
  // names the result. Such a result that arrives later, for a call the modem
  // accepted with OK, goes to OnUnsolicited.
  bool MakeCall(const std::u16string& aPhoneNumber);
  void AnswerCall();
  void Hungup();
  // True when the modem took the request; the answer comes through OnUssd and
  // OnUssdResult. The request is checked first (vkUssd).
  bool SendUSSD(const std::u16string& request);
  // Ends a running USSD session ("AT+CUSD=2").
  bool CancelUSSD();
  // The calls the modem has now ("AT+CLCC"); nothing when it could not be read.
  std::optional<std::vector<TCallInfo>> CallList();
  // DTMF tones during a call, one "AT+VTS" per tone: 0-9, '*', '#', A-D.
  bool SendTones(const std::u16string& aTones);

  // --- overrides (the synchronous ones take the turn)
  std::u16string ExpandCommand(const std::u16string& text) override;
  bool SendAndWait(const std::string& text) override;
  std::u16string CmdSendAndWaitResult(const std::string& sAT) override;
  bool RunCommand(int32_t id) override;
  bool ProcessByte(uint8_t b) override;
  bool IsErrorReply(const TATReply& reply) override;
  void ReplyComplete(TATReply& reply) override;
  void DoError() override;
  bool CommandSucceeded() override;
  void QueueFinished() override;
  int32_t CommandIdOf(const TATCommand& entry) override;
  void DriversClearAll() override;
  void MediumClosed() override;
  void MediumOpened() override;
  void DoProcessing(const char* Data, uint32_t Len, TIgnoreTypes& R) override;
  bool DoDataSend(const char* Data, uint32_t Len) override;
  void Notification(TqvComponent* AComponent, TOperation Operation) override;

  // --- added virtual operations
  virtual void EnqueueInitCommands();
  virtual void Initialize();
  virtual void SmsStoredNotify(const std::u16string& text);
  virtual void SmsDirectNotify(const std::u16string& text);
  virtual void RingNotify(const std::u16string& text);
  virtual void OtherNotify(const std::u16string& text);
  virtual void UssdNotify(const std::u16string& text);
  virtual void SmsSentNotify(const std::u16string& text);
  virtual void GsmErrorNotify(const std::u16string& text);
  virtual void SmsListItemNotify(const std::u16string& text);
  // A "+CREG:" (eps false) or "+CEREG:" text: an answer or a notification.
  virtual void NetworkNotify(const std::u16string& text, bool eps);
  // A "+CIEV:" text: " 7,1".
  virtual void IndicatorNotify(const std::u16string& text);

  // --- parsers (public for the status readings and tests)
  void ParseMemoryState(std::string_view text, bool countsOnly);
  void ParseBattery(std::string_view text, const TATCommand* line);
  void ParseSignal(std::string_view text, const TATCommand* line);
  void LoadMemoryTypes();
  // Phone book replies, read with the Data of the driver line that produced them.
  void ParsePhoneBookCounts(std::string_view text, const TATCommand* line);
  void ParsePhoneBookLimits(std::string_view text, const TATCommand* line);
  // One record reply into PhoneList; true when it held a number or a name.
  bool ParsePhoneRecord(std::string_view text, const TATCommand* line);
  // The text of a USSD answer, decoded as its coding scheme and the driver say.
  std::u16string DecodeUssdText(const qv::gsm::TUssdFields& answer) const;

  // --- events (see the lane above)
  TqvSmsNotifyEvent OnSmsReceived, OnSmsSent, OnSmsListItem;
  TqvGsmNotifyEvent OnRing, OnGsmError, OnUnsolicited, OnUssd;
  // Every USSD answer, with what it says of the session; raised after OnUssd.
  TqvUssdResultEvent OnUssdResult;
  TNotifyEvent OnAfterInit, OnPhoneListFinish, OnGsmChangeState;
  TqvGsmProgressEvent OnPhoneListProgress;
  // A registration notification changed NetworkInfo.
  TqvNetworkEvent OnNetworkChange;
  // The message store is full: "+CMS ERROR: 322" came, as the result of a
  // line or unsolicited, or the modem's "smsfull" indicator turned on
  // (EnableStoreIndicator).
  TNotifyEvent OnSmsMemoryFull;

  // Placeholder values of the phone book, call and USSD operations.
  int32_t fTmpRecNo = 0;
  std::u16string fTmpRecPhone, fTmpRecName;
  std::u16string fCallPhoneNumber, fRequestUSSD, fRequestUSSD7Bit;
  std::u16string fTmpServiceCentre, fTmpCallTone;
  int32_t fTmpDelFlag = 0;

 protected:
  friend class TSmsThread;

  // Lines bypassing the turn: only the component sends them.
  using TqvCustomATProcessor::ClearQueue;
  using TqvCustomATProcessor::EnqueueCommand;
  using TqvCustomATProcessor::EnqueueText;
  using TqvCustomATProcessor::SendCommand;
  using TqvCustomATProcessor::SendCommandNoWait;
  using TqvCustomATProcessor::StartQueue;

  void QueueStopped(qv::TLineOutcome why) override;
  void AsyncTimerTick(TObject* Sender) override;
  std::optional<TClockPoint> OwnDeadline() const override;
  void OwnDeadlineDue() override;
  bool HoldQueue(const TqvQueueEntry& next) override;

  // --- the turn
  enum class TTurn { ttNone, ttThread, ttQueue };
  class TSyncCall;
  // Why this thread may not even wait for the turn; empty when it may.
  std::u16string NestedRefusal() const;
  // Waits for the turn and takes it; empty when taken, otherwise why not.
  std::u16string AcquireTurn();
  void ReleaseTurn();
  // Hands the turn this thread holds to a queue that is about to start.
  void TurnToQueue();
  bool HoldsTurn() const;

  // --- the event lane
  void Raise(std::function<void()> event);
  void RaiseNotify(TNotifyEvent TqvGsm::*event);
  void RaiseText(TqvGsmNotifyEvent TqvGsm::*event, std::u16string text);
  void RaiseError(const std::u16string& text);
  // Runs the lane where this thread may: see the class comment.
  void DrainLane();

  // --- queues
  // Pushes `state` and hands the call's turn to the queue. False: nothing started.
  bool BeginQueue(TSyncCall& call, int state);
  // StartQueue; a queue that cannot send ends at once.
  void RunQueue();
  // Every queue end comes here once: pops the queue's state, reports a
  // failure, releases the turn, raises the queue's end events.
  void EndQueue(bool ok);
  void RemoveState(int s);

  // --- failures
  // "AT+CPMS?: ERROR": the last line sent, masked where it holds the PIN,
  // and how it ended.
  std::u16string LineFailure() const;
  std::u16string LineFailure(qv::TLineOutcome why) const;
  void SetLastError(std::u16string text);

  // --- notifications
  void StartCollect(int state, const TCommEventNew& head);
  void FinishCollect();
  void ConfirmDirectDelivery();
  void StartWorker(std::string text, bool direct);
  void ReapWorkers(bool all);
  bool ListingActive() const;

  // --- sends and their outcomes
  struct TSendRecord {
    int Parts = 1;
    int32_t Result = -1;  // -1 pending, 0 sent, 3 failed
    std::string Ref;      // the text after "+CMGS:"
    qv::platform::TEvent Done{true, false};
  };
  using TSendPtr = std::shared_ptr<TSendRecord>;
  TSendPtr NewSend(int parts);
  void FinishSend(const TSendPtr& send, int32_t result, std::string ref);
  void FailSend(const TSendPtr& send);
  bool Sent(const TSendPtr& send) const;  // its outcome is known and a success
  void FailPendingSends();
  void RefuseSend(const TSendPtr& send, const std::u16string& why);
  bool WaitSend(const TSendPtr& send);
  TSendPtr LastSendOfThisThread() const;

  // --- helpers of the SMS operations
  bool ReadMessage(int index, const std::optional<std::u16string>& mem, TqvPduSms& into);
  bool UpdateMemoryStateFor(const std::u16string& mem);
  bool WaitListingEnd();

  // --- helpers of the phone book, calls and USSD
  bool BookLineAnswered(const TATCommand& line);
  bool RecordStep(const TATCommand& line);
  bool IsEmptySlotReply() const;
  // After an error or a time-out ended a reading's line: the lines that
  // restore the character set are sent, when the reading got past selecting it.
  void ResumeBookRestore();
  void RestoreCharsetAfterFailure(int32_t id);
  bool DriverLinesHold(int32_t id, std::u16string_view placeholder) const;
  bool IsCallResult(const TATReply& reply) const;
  void FlushOpenUssd();

  // --- helpers of the initialisation
  // Modules whose SIM or message service needs some seconds after a start
  // (driver setting gsmSMSReadyWait, milliseconds): the initialisation repeats
  // a line answered "SIM busy", and waits for the ready notification before
  // its message lines when it saw the module start; both within that time.
  uint32_t SmsReadyWaitMs() const;
  bool ReadyWaitLeft();
  bool RepeatWhenSimBusy(int32_t lineIndex);
  void NoteModuleStatus(int32_t tag);
  void OnReadyTimer();
  void EndReadyWait();
  void InitLineSucceeded(const TATCommand& line, const std::string& useful);
  void InitPinStatus(const std::string& useful);
  void DetectDriver();
  bool IsPinLine(int32_t lineIndex) const;
  const TATCommand* LineOf(int32_t index) const;
  int32_t CurrentQueueLineIndex() const;

  void MarkSecretLine(std::string_view bytes);
  // The SIM codes a line may carry now: the PIN, and those of a running PINUnblock or PINChange.
  std::vector<std::u16string> SecretCodes() const;
  bool IsSecretLine(const std::u16string& text);
  bool SimCodeCall(const char16_t* what, int32_t id, const std::u16string& code, const std::u16string& newPin);
  // PINStatus from a reply that holds a "+CPIN:" answer; other replies leave it.
  void NotePinReply(const TATReply& reply);
  void UpdateNetworkSummary();
  bool ReadRegistration(TSyncCall& call);
  bool DeleteOneByOne(TSyncCall& call, TSmsDeleteScope scope);

  // fields (see the lock table at the top)
  TqvSecretLog fSecretLog;
  std::u16string fText, fPhoneNumber;

  mutable std::mutex fInfoMutex;
  std::u16string fDeviceManufacturer, fDeviceName, fDeviceIMEI, fDeviceIMSI, fDeviceVersion;
  std::u16string fMemorySpecial, fMemoryWrite, fMemoryRead;
  std::vector<std::u16string> fMemTypesWrite, fMemTypesRead, fMemTypesSpecial;
  std::u16string fPIN;
  bool fPinRejected = false;
  // A running PINUnblock's PUK or PINChange's old PIN, and the new PIN; the
  // codes the SIM rejected, by command id.
  std::u16string fTmpSimCode, fTmpNewPin;
  std::vector<std::pair<int32_t, std::u16string>> fRejectedCodes;
  qv::gsm::TRegistrationFields fCsReg, fEpsReg;
  TNetworkInfo fNetwork;
  std::atomic<int32_t> fSmsFullIndicator{0};  // its place in +CIND; 0: not watched
  std::vector<std::pair<std::u16string, int>> slPhoneBookType;
  std::optional<std::u16string> fTmpMemRead;  // a worker's read memory, MemoryRead untouched
  std::u16string fLastError;

  std::atomic<int32_t> fMemReadTotal{-1}, fMemSpecTotal{-1}, fMemSpecUsed{-1}, fMemWriteUsed{-1},
      fMemWriteTotal{-1}, fMemReadUsed{-1};
  std::atomic<TGsmPinStatus> fPINStatus{TGsmPinStatus::pinUnknown};
  std::atomic<bool> fBatteryIsCharging{false};
  std::atomic<int32_t> fBatteryLevel{0}, fSignalQuality{0}, fSignalQualityMax{0};
  std::atomic<uint32_t> fIdMultiPartPDU;
  std::atomic<TgsmNewSmsMode> fNewSmsMode{TgsmNewSmsMode::nsmNotifyOnly};

  TqvPduSms fPduSms{true};  // SmsGet's record; written under the turn
  TqvPhoneBook fPhoneList;
  TqvPhoneBookType fPhoneListType = TqvPhoneBookType::pltMem;
  TgsmATType fGsmAT = TgsmATType::gtNokia;
  bool fAutodetect = true;
  bool fIgnoreInitErrors = false;
  std::u16string fInitCommands;

  mutable std::mutex fStateMutex;
  std::vector<int> lStateStack;

  // Placeholder values of the running exchange: written and expanded under the turn.
  std::u16string fTmpSMSPdu;
  int32_t fTmpSMSLength = 0;
  int32_t fTmpSMSId = 0;
  TSmsStatus fGetSmsListStatus = TSmsStatus::ssAll;
  // Under fLock: notification collection.
  int fCollectState = 0;
  std::string fCollectText;
  int fReplyLinesCnt = 0;
  bool flSmsNotifyNokiaMode = false;
  bool fCollectBroadcast = false;
  bool fCollectEps = false;  // the network text came with "+CEREG:"
  size_t fUssdFirstCr = std::string::npos;  // where an open USSD text passed its first CR
  // Under fLock: queue bookkeeping.
  int fQueueState = 0;
  bool fQueueActive = false;
  bool fListWaiting = false;
  bool fDetecting = false;
  // The phone book reading's queue entries: the record line, the first line
  // that selects the character set and the first that restores it (-1: none).
  int32_t fBookRecordEntry = -1, fBookCharsetEntry = -1, fBookRestoreEntry = -1;
  int32_t fBookResume = -1;         // the entry the reading goes on with after a failure
  bool fBookResumeAllowed = false;  // inside an error or time-out path that resumes
  // Under fLock: the modules' start-up and ready wait (see SmsReadyWaitMs).
  bool fModuleStarted = false;   // a start-up notification came since the port opened
  bool fSmsReady = false;        // the ready notification came after it
  bool fRepeatLine = false;      // the line answered "SIM busy" goes again
  bool fQueueHeld = false;
  bool fHeldForRepeat = false;   // held to repeat a busy line, not for the ready notification
  bool fReadyClock = false;      // the wait has begun, at fReadyStart
  uint32_t fReadyStart = 0;     // on the processor's clock
  TClockPoint fReadyPollDue;     // the next ready poll, while the queue is held
  std::unique_ptr<TqvTimer> fReadyTimer;
  std::u16string fQueueFailure;  // how the running queue's line failed
  TSendPtr fRunningSend;          // the send whose queue runs
  qv::platform::TEvent fQueueEndEvent{true, true};

  // Sends awaiting their confirmation, oldest part first.
  struct TAwaiting {
    std::u16string Pdu;
    TSendPtr Send;
  };
  mutable std::mutex fSmsMutex;
  std::vector<TAwaiting> slSmsFifo;
  std::vector<std::pair<std::thread::id, TSendPtr>> fLastSendOf;  // each sending thread's last send
  int32_t fLastSentId = 0;
  std::string fLastSentRef;

  mutable std::mutex fTurnMutex;
  std::condition_variable fTurnCv;
  TTurn fTurn = TTurn::ttNone;
  std::thread::id fTurnThread;
  std::atomic<bool> fCancelled{false};

  std::mutex fLaneMutex;
  std::deque<std::function<void()>> fLane;
  bool fDrainPosted = false;   // a drain call waits in the dispatcher
  std::thread::id fDrainer;    // the thread running the lane now
  qv::platform::TDispatchGroup fLaneGroup;  // held while the main thread waits inside the component

  std::mutex fWorkersMutex;
  std::list<std::unique_ptr<TSmsThread>> fWorkers;
  uint64_t fSmsTickets = 0;  // under fWorkersMutex: the next worker's ticket
  // The workers run their messages in ticket order: each waits until the one
  // before it has ended (or the component goes away).
  bool WaitSmsTurn(uint64_t ticket);
  void EndSmsTurn(uint64_t ticket);
  std::mutex fSmsOrderMutex;
  std::condition_variable fSmsOrderCv;
  uint64_t fSmsTurn = 0;  // under fSmsOrderMutex
};

QV_API_END
