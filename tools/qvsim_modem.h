// The modem's command interpreter: V.250 command lines, 3GPP TS 27.005 messaging and
// 27.007 phone commands, SIM stores. No threads and no I/O: bytes from the host go in, the
// bytes the modem answers come out as pieces the simulator schedules and writes.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qvsim_persona.h"

namespace qvsim {

// The identity every persona reports (+CGSN, +CIMI) and its own number (+CNUM).
inline constexpr const char* kImei = "356938035643809";
inline constexpr const char* kImsi = "262019876543210";
inline constexpr const char* kOwnNumber = "+491711234567";
// The network every persona registers with (+COPS), long name and numeric code.
inline constexpr const char* kOperatorName = "QV Mobile";
inline constexpr const char* kOperatorNumeric = "00101";
// The place of "smsfull" in the indicators of +CIND.
inline constexpr int kSmsFullIndicator = 7;

// How an injected message reaches the host: as +CNMI says, or forced.
enum class SmsRoute { Auto, Store, Deliver };

// When the network's USSD answer arrives relative to the final result of AT+CUSD.
enum class UssdTiming { AfterOk, BeforeOk, Never };

enum class PinState { Ready, SimPin, SimPuk };

// How the text of a USSD answer is written: as the persona and +CSCS require, or forced.
enum class UssdForm { Persona, Plain, Packed, Ucs2 };

struct UssdAnswer {
  std::string text = "Your balance is 12.34";  // UTF-8, encoded as `form` says
  // <m>: 0 done, 1 further action required, 2 terminated by the network, 3 answered by
  // another client, 4 not supported, 5 timed out
  int status = 0;
  bool withText = true;            // false: "+CUSD: <m>" alone
  UssdForm form = UssdForm::Persona;  // Plain: the current set, dcs 15; Packed: dcs 15; Ucs2: dcs 72
  UssdTiming timing = UssdTiming::AfterOk;
  std::chrono::milliseconds delay{50};  // after the OK, for UssdTiming::AfterOk
  bool raw = false;                // `text` goes into the string field unchanged, with `dcs`
  int dcs = 15;
  int cmeError = 0;                // not 0: AT+CUSD fails with this +CME ERROR instead
};

struct StoredSms {
  int status = 0;   // 0 received unread, 1 received read, 2 stored unsent, 3 stored sent
  std::string pdu;  // hex, beginning with the service centre length octet
};

struct PhoneBookEntry {
  std::string number;
  int type = 129;
  std::string name;  // UTF-8
  std::string date;  // call lists: "yy/MM/dd hh:mm:ss"
  int kind = 0;      // call lists: 0 dialled, 1 received, 2 missed
};

// One piece of modem output.
struct Output {
  enum class Kind { Echo, Reply, Unsolicited };
  Kind kind = Kind::Reply;
  std::string bytes;
  std::string command;  // the command a reply answers, such as "+CMGS" or "D"
  std::chrono::milliseconds delay{0};  // wait this long after the piece before it
  bool ring = false;  // a ring: not sent once the call is no longer ringing
};

class Modem {
 public:
  explicit Modem(const Persona& persona);

  const Persona& GetPersona() const { return fPersona; }

  // The device restarts: settings and line state reset, a SIM with a PIN asks for it again;
  // stores keep their contents.
  void PowerCycle();

  // Feeds bytes from the host; what the modem answers is appended to `out`.
  void Receive(std::string_view bytes, std::vector<Output>& out);

  // Injections; unsolicited output is appended to `out`. InjectSms and InjectStatusReport
  // return the storage index, 0 when delivered directly, -1 when the message was refused
  // (invalid PDU, memory full).
  int InjectSms(std::string_view pduHex, SmsRoute route, std::vector<Output>& out);
  int InjectStatusReport(std::string_view pduHex, SmsRoute route, std::vector<Output>& out);
  // `count` rings, `interval` apart, as long as the call is not answered or ended.
  void InjectRing(std::string_view number, std::vector<Output>& out, int count = 1,
                  std::chrono::milliseconds interval = std::chrono::milliseconds(3000));
  bool Ringing() const { return fCall == CallState::Incoming; }
  void InjectHangup(std::vector<Output>& out);
  void InjectUssd(const UssdAnswer& answer, std::vector<Output>& out);
  void InjectNetworkError(int cmsError, std::vector<Output>& out);

  // SIM and modem state.
  void SetPin(std::string pin, PinState state, int pinAttempts = 3, std::string puk = "12345678");
  PinState GetPinState() const { return fPinState; }
  int PinAttempts() const { return fPinAttempts; }
  // While the module starts, SIM commands answer +CME ERROR: 14 and message commands
  // +CMS ERROR: 314 ("SIM busy").
  void SetStarting(bool simBusy, bool smsBusy) {
    fSimBusy = simBusy;
    fSmsBusy = smsBusy;
  }
  void SetSignal(int rssi, int ber) { fRssi = rssi; fBer = ber; }
  // Registration <stat> (0 not registered, 1 home, 2 searching, 3 denied, 4 unknown, 5 roaming)
  // and access technology <AcT> (0 GSM, 2 UTRAN, 7 E-UTRAN); each registration command whose
  // notifications the host turned on (+CREG=1 or 2) reports the change.
  void SetRegistration(int stat, int act, std::vector<Output>& out);
  int Registration() const { return fRegStat; }
  void SetBattery(int bcs, int bcl) { fBcs = bcs; fBcl = bcl; }
  void SetUssdAnswer(std::string request, UssdAnswer answer) { fUssdAnswers[std::move(request)] = std::move(answer); }
  void SetDefaultUssdAnswer(UssdAnswer answer) { fDefaultUssd = std::move(answer); }
  // The final result of a voice dial: OK, BUSY, NO ANSWER, NO CARRIER, NO DIALTONE.
  void SetDialResult(std::string result) { fDialResult = std::move(result); }
  // A voice call dialled with OK ends by itself `after` later with `result` (BUSY, NO ANSWER,
  // NO CARRIER), as most modems report a call that fails; empty: the call stays up.
  void SetCallEnd(std::string result, std::chrono::milliseconds after = std::chrono::milliseconds(100)) {
    fCallEnd = std::move(result);
    fCallEndDelay = after;
  }
  // A command line (as sent, without "AT"; letter case ignored) ends with `result` instead of
  // running, every time it comes; an empty result runs it again.
  void FailLine(std::string line, std::string result);
  // The next `count` submissions (+CMGS, +CMSS) fail with +CMS ERROR: code.
  void FailSubmissions(int cmsError, int count) { fFailCode = cmsError; fFailCount = count; }
  void SetNextReference(int reference) { fNextReference = reference & 0xFF; }

  // Stores. Memory names as the persona has them ("MT" is the phone and SIM view of "ME").
  // Returns the index the message got, -1 when the memory is unknown or full.
  int StoreSms(std::string_view memory, std::string_view pduHex, int status);
  std::map<int, StoredSms> SmsIn(std::string_view memory) const;
  // PDUs the host submitted with +CMGS or +CMSS, oldest first.
  const std::vector<std::string>& Submitted() const { return fSubmitted; }
  // Those PDUs, handed over and forgotten: what a long run uses, so that they do not pile up.
  std::vector<std::string> TakeSubmitted() { return std::exchange(fSubmitted, {}); }
  // The DTMF tones the host sent (+VTS), oldest first.
  const std::string& Tones() const { return fTones; }
  std::string ServiceCentre() const { return fSca; }
  void SetServiceCentre(std::string sca) { fSca = std::move(sca); }
  // A memory of `capacity` slots, to fill it quickly; false when the memory is unknown.
  bool SetSmsCapacity(std::string_view memory, int capacity);
  bool WritePhoneBook(std::string_view memory, int index, PhoneBookEntry entry);
  std::map<int, PhoneBookEntry> PhoneBook(std::string_view memory) const;

  // Current settings, for tests and the control console.
  bool Echo() const { return fEcho; }
  int Cmee() const { return fCmee; }
  std::string Charset() const { return fCharset; }
  std::vector<int> Cnmi() const { return fCnmi; }
  std::string StatusText() const;

 private:
  struct Arg {
    std::string text;
    bool quoted = false;
    bool present = false;
  };
  enum class Op { Exec, Read, Test, Set };
  struct Cmd {
    std::string name;  // "+CMGS", "^SIND", "I", "D"...
    Op op = Op::Exec;
    std::vector<Arg> args;
    std::string raw;   // text after the name
  };
  struct Reply {
    std::vector<std::string> infos;
    std::string final = "OK";  // empty: no final result (a prompt follows)
    std::vector<Output> after;  // unsolicited pieces that follow the reply
  };
  struct SmsMemory {
    int capacity = 0;
    std::map<int, StoredSms> slots;
  };
  struct Book {
    int capacity = 0;
    bool readOnly = false;
    std::map<int, PhoneBookEntry> entries;
  };
  enum class InputMode { Command, PduSend, PduWrite };
  enum class CallState { Idle, Incoming, Active };

  void Reset();
  void ReceiveCommandByte(char c, std::vector<Output>& out);
  void ReceivePduByte(char c, std::vector<Output>& out);
  void ExecuteLine(const std::string& line, std::vector<Output>& out);
  static bool ParseCommand(std::string_view body, size_t& p, Cmd& cmd);
  static void ParseArguments(Cmd& cmd);
  bool ExecuteOne(const Cmd& cmd, Reply& reply);
  std::string Format(const Reply& reply) const;
  std::string Info(std::string_view text) const;
  std::string FinalText(std::string_view final) const;
  std::string CmeError(int code) const;
  std::string CmsError(int code) const;
  // True (with the SIM's error in reply.final) while the SIM waits for its PIN or PUK.
  bool NeedsSim(Reply& reply, bool sms) const;
  // True (with "SIM busy" in reply.final) while the message service starts.
  bool SmsStarting(Reply& reply) const;

  struct Commands;  // the extended command handlers (qvsim_commands.cpp)
  bool Basic(const Cmd& cmd, Reply& reply);
  bool Extended(const Cmd& cmd, Reply& reply);

  void Dial(const std::string& dial, Reply& reply);
  void LogCall(int kind);  // adds the current call to the persona's call lists
  void FinishPdu(std::vector<Output>& out);
  std::optional<int> Submit(const std::string& pdu);  // the reference, or nullopt on a failure
  std::vector<Output> StatusReportFor(std::string_view submitPdu, int reference);
  UssdAnswer UssdAnswerFor(const std::string& request, int dcs) const;
  std::string UssdLine(const UssdAnswer& answer) const;
  std::string PhoneBookLine(int index, const PhoneBookEntry& entry) const;
  std::string EncodeText(std::string_view utf8) const;        // by the current +CSCS
  std::optional<std::string> DecodeText(std::string_view text) const;
  std::string DecodeName(std::string_view text) const;  // lenient: names of memories, sets
  SmsMemory* FindSms(std::string_view name);
  bool SmsFull(std::string_view name) const;
  const SmsMemory* FindSms(std::string_view name) const;
  Book* FindBook(std::string_view name);
  const Book* FindBook(std::string_view name) const;
  std::string CpmsCounts() const;
  // "<stat>[,<lac>,<ci>,<AcT>]" as registration notifications of `mode` give it.
  std::string RegistrationFields(int mode) const;

  const Persona& fPersona;
  std::map<std::string, SmsMemory> fSms;
  std::map<std::string, Book> fBooks;

  // Line assembly.
  InputMode fMode = InputMode::Command;
  std::string fLine;
  std::string fLastLine;
  std::string fPdu;
  int fPduLength = 0;
  int fPduStatus = 2;

  // Settings (reset by ATZ).
  bool fEcho = true;
  bool fVerbose = true;
  bool fQuiet = false;
  int fCmee = 0;
  int fCmgf = 0;
  std::string fCharset;
  std::vector<int> fCnmi;
  int fCsms = 0;
  bool fClip = false;
  bool fCrc = false;
  bool fUssdEnabled = false;
  bool fIndicators = false;  // +CMER=3,,,1: "+CIEV:" lines on
  std::string fMem[3];
  std::string fBook;
  std::map<std::string, int> fRegMode;  // +CREG, +CGREG, +CEREG: <n>
  int fCopsFormat = 0;                  // 0 long name, 2 numeric

  // SIM and network.
  PinState fPinState = PinState::Ready;
  std::string fPinCode = "1234";
  std::string fPukCode = "12345678";
  int fPinAttempts = 3;
  int fPukAttempts = 10;
  bool fPinRequired = false;
  bool fSimBusy = false, fSmsBusy = false;
  std::string fSca = "+491720000000";
  int fRssi = 21, fBer = 99, fBcs = 0, fBcl = 85;
  int fFun = 1;
  int fRegStat = 1, fAct = 0;
  std::map<std::string, UssdAnswer> fUssdAnswers;
  std::optional<UssdAnswer> fDefaultUssd;
  std::string fDialResult = "OK";
  std::string fCallEnd;
  std::chrono::milliseconds fCallEndDelay{100};
  std::map<std::string, std::string> fFailLines;  // upper-case line -> final result
  int fFailCode = 0, fFailCount = 0;
  int fNextReference = 1;
  bool fAckPending = false;
  std::vector<std::string> fSubmitted;
  CallState fCall = CallState::Idle;
  std::string fCallNumber;
  std::string fTones;  // the DTMF tones sent during calls
};

}  // namespace qvsim
