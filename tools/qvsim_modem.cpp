#include "qvsim_modem.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>

#include "qvsim_codec.h"
#include "qvsim_util.h"

namespace qvsim {

using detail::IsCallList;
using detail::IsReceiveOnly;
using detail::Number;
using detail::Quote;
using detail::Upper;

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
constexpr size_t kMaxLine = 2048;

const char* CmeText(int code) {
  switch (code) {
    case 3: return "operation not allowed";
    case 4: return "operation not supported";
    case 10: return "SIM not inserted";
    case 11: return "SIM PIN required";
    case 12: return "SIM PUK required";
    case 14: return "SIM busy";
    case 16: return "incorrect password";
    case 20: return "memory full";
    case 21: return "invalid index";
    case 22: return "not found";
    case 24: return "text string too long";
    case 25: return "invalid characters in text string";
    case 26: return "dial string too long";
    case 30: return "no network service";
    case 50: return "incorrect parameters";
    case 100: return "unknown";
    default: return "unknown";
  }
}

const char* CmsText(int code) {
  switch (code) {
    case 302: return "operation not allowed";
    case 303: return "operation not supported";
    case 304: return "invalid PDU mode parameter";
    case 310: return "SIM not inserted";
    case 311: return "SIM PIN required";
    case 314: return "SIM busy";
    case 316: return "SIM PUK required";
    case 321: return "invalid memory index";
    case 322: return "memory full";
    case 330: return "SMSC address unknown";
    case 331: return "no network service";
    case 340: return "no +CNMA acknowledgement expected";
    default: return "unknown error";
  }
}

// The destination address of an SMS-SUBMIT PDU (hex with the SMSC part), for status reports.
std::string SubmitDestination(std::string_view pdu) {
  const auto bytes = FromHex(pdu);
  if (!bytes || bytes->empty()) return {};
  size_t p = 1 + static_cast<unsigned char>((*bytes)[0]) + 2;  // SMSC, first octet, reference
  if (p + 2 > bytes->size()) return {};
  const int digits = static_cast<unsigned char>((*bytes)[p]);
  const bool international = (static_cast<unsigned char>((*bytes)[p + 1]) & 0x70) == 0x10;
  std::string number = international ? "+" : "";
  const std::string hex = ToHex(bytes->substr(p + 2));
  for (int i = 0; i < digits && static_cast<size_t>(i ^ 1) < hex.size(); ++i) number += hex[i ^ 1];
  return number;
}

}  // namespace

Modem::Modem(const Persona& persona) : fPersona(persona) {
  for (const MemoryInfo& m : persona.smsMemories) {
    if (m.name != "MT") fSms[m.name].capacity = m.capacity;
  }
  for (const MemoryInfo& m : persona.phoneBooks) {
    Book& b = fBooks[m.name];
    b.capacity = m.capacity;
    b.readOnly = IsCallList(m.name);
  }
  Reset();
}

void Modem::Reset() {
  fEcho = true;
  fVerbose = true;
  fQuiet = false;
  fCmee = 0;
  fCmgf = 0;
  fCharset = fPersona.charsets.empty() ? "GSM" : fPersona.charsets.front();
  fCnmi = {0, 0, 0, 0, 0};
  fCsms = 0;
  fClip = false;
  fCrc = false;
  fUssdEnabled = false;
  fIndicators = false;
  fRegMode.clear();
  fCopsFormat = 0;
  std::string first;
  for (const MemoryInfo& m : fPersona.smsMemories) {
    if (first.empty() && !IsReceiveOnly(m.name)) first = m.name;
  }
  for (auto& mem : fMem) mem = first;
  fBook = fPersona.phoneBooks.empty() ? std::string() : fPersona.phoneBooks.front().name;
  fMode = InputMode::Command;
}

void Modem::PowerCycle() {
  Reset();
  fLine.clear();
  fPdu.clear();
  fAckPending = false;
  fCall = CallState::Idle;
  if (fPinRequired && fPinState == PinState::Ready) fPinState = PinState::SimPin;
}

// ---------------------------------------------------------------------------------------------
// Line assembly

void Modem::Receive(std::string_view bytes, std::vector<Output>& out) {
  for (char c : bytes) {
    if (fMode == InputMode::Command) {
      ReceiveCommandByte(c, out);
    } else {
      ReceivePduByte(c, out);
    }
  }
}

void Modem::ReceiveCommandByte(char c, std::vector<Output>& out) {
  if (fEcho) out.push_back({Output::Kind::Echo, std::string(1, c), {}, {}});
  if (c == '\r') {
    std::string line;
    line.swap(fLine);
    ExecuteLine(line, out);
  } else if (c == '\b' || c == 0x7F) {
    if (!fLine.empty()) fLine.pop_back();
  } else if (c == '\n' && fLine.empty()) {
    // a line feed after the terminating CR
  } else if (c == '/' && (fLine == "A" || fLine == "a")) {
    fLine.clear();
    ExecuteLine(fLastLine, out);  // A/ repeats the last command line
  } else if (fLine.size() < kMaxLine) {
    fLine += c;
  }
}

void Modem::ReceivePduByte(char c, std::vector<Output>& out) {
  if (c == kCtrlZ) {
    FinishPdu(out);
  } else if (c == kEsc) {  // cancels the message: nothing is sent or stored
    const char* name = fMode == InputMode::PduSend ? "+CMGS" : "+CMGW";
    fMode = InputMode::Command;
    fPdu.clear();
    out.push_back({Output::Kind::Reply, FinalText("OK"), name, {}});
  } else {
    if (fEcho) out.push_back({Output::Kind::Echo, std::string(1, c), {}, {}});
    if (c != '\r' && c != '\n' && fPdu.size() < kMaxLine) fPdu += c;
  }
}

void Modem::FinishPdu(std::vector<Output>& out) {
  const bool send = fMode == InputMode::PduSend;
  const std::string pdu = Upper(fPdu);
  fPdu.clear();
  fMode = InputMode::Command;
  Reply reply;
  const char* name = send ? "+CMGS" : "+CMGW";
  if (TpduLength(pdu) != fPduLength) {
    reply.final = CmsError(304);
  } else if (send && pdu.starts_with("00") && fSca.empty()) {
    reply.final = CmsError(330);  // no service centre in the message, none on the SIM
  } else if (send) {
    if (const auto reference = Submit(pdu)) {
      reply.infos.push_back("+CMGS: " + std::to_string(*reference));
      reply.after = StatusReportFor(pdu, *reference);
    } else {
      reply.final = CmsError(fFailCode);
    }
  } else {
    const int index = StoreSms(fMem[1], pdu, fPduStatus);
    if (index < 0) {
      reply.final = CmsError(322);
    } else {
      reply.infos.push_back("+CMGW: " + std::to_string(index));
    }
  }
  out.push_back({Output::Kind::Reply, Format(reply), name, {}});
  for (Output& o : reply.after) out.push_back(std::move(o));
}

// Hands a message to the network: its reference, or nullopt while submissions are set to fail.
std::optional<int> Modem::Submit(const std::string& pdu) {
  if (fFailCount > 0) {
    --fFailCount;
    return std::nullopt;
  }
  const int reference = fNextReference;
  fNextReference = (fNextReference + 1) & 0xFF;
  fSubmitted.push_back(pdu);
  return reference;
}

// Runs the commands of a line after "AT" in turn; the first that fails ends the line with
// its error, and a command that prompts for a PDU ends it too.
void Modem::ExecuteLine(const std::string& line, std::vector<Output>& out) {
  const size_t at = Upper(line).find("AT");
  if (at == std::string::npos) return;  // not a command line: a modem ignores it
  fLastLine = line;
  const std::string_view body = std::string_view(line).substr(at + 2);
  Reply reply;
  if (const auto failed = fFailLines.find(Upper(body)); failed != fFailLines.end()) {
    reply.final = failed->second;
    out.push_back({Output::Kind::Reply, Format(reply), {}, {}});
    return;
  }
  std::string lastName;
  size_t p = 0;
  while (reply.final == "OK" && p < body.size()) {
    if (body[p] == ' ' || body[p] == ';') {
      ++p;
      continue;
    }
    Cmd cmd;
    if (!ParseCommand(body, p, cmd)) {
      reply.final = "ERROR";
      break;
    }
    lastName = cmd.name;
    if (!ExecuteOne(cmd, reply) && reply.final == "OK") reply.final = "ERROR";
  }
  out.push_back({Output::Kind::Reply, Format(reply), lastName, {}});
  for (Output& o : reply.after) out.push_back(std::move(o));
}

// Takes the command at body[p] (V.250 syntax): extended commands run to a ';' outside quotes,
// D takes the rest of the line, &X and Sn take their digits, other letters an optional number.
bool Modem::ParseCommand(std::string_view body, size_t& p, Cmd& cmd) {
  const auto is = [&](size_t i, auto pred) { return i < body.size() && pred(static_cast<unsigned char>(body[i])); };
  const char c = body[p];
  const char uc = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  size_t e = p + 1;
  if (std::string_view("+^*$#%!").find(c) != std::string_view::npos) {
    while (is(e, [](unsigned char x) { return std::isalnum(x) || x == '_'; })) ++e;
    cmd.name = Upper(body.substr(p, e - p));
    size_t q = e;
    for (bool inQuote = false; q < body.size() && (inQuote || body[q] != ';'); ++q) {
      if (body[q] == '"') inQuote = !inQuote;
    }
    cmd.raw = body.substr(e, q - e);
    p = q;
  } else if (uc == 'D') {
    cmd.name = "D";
    cmd.raw = body.substr(p + 1);
    p = body.size();
  } else if (uc == '&' || uc == 'S') {
    if (uc == '&' && e < body.size()) ++e;
    cmd.name = Upper(body.substr(p, e - p));
    size_t q = e;
    while (is(q, [&](unsigned char x) { return std::isdigit(x) || (uc == 'S' && (x == '=' || x == '?')); })) ++q;
    cmd.raw = body.substr(e, q - e);
    p = q;
  } else if (std::isalpha(static_cast<unsigned char>(c))) {
    while (is(e, [](unsigned char x) { return std::isdigit(x) || x == '?'; })) ++e;
    cmd.name = std::string(1, uc);
    cmd.raw = body.substr(p + 1, e - p - 1);
    p = e;
  } else {
    return false;
  }
  ParseArguments(cmd);
  return true;
}

// The operation ("?", "=?", "=...") and the comma-separated arguments after the name; quotes
// are removed and mark an argument as present even when it is empty.
void Modem::ParseArguments(Cmd& cmd) {
  std::string_view r = cmd.raw;
  if (r == "?") {
    cmd.op = Op::Read;
    return;
  }
  if (r == "=?") {
    cmd.op = Op::Test;
    return;
  }
  if (r.empty() || r.front() != '=') return;
  cmd.op = Op::Set;
  r.remove_prefix(1);
  Arg arg;
  bool inQuote = false;
  for (size_t i = 0; i <= r.size(); ++i) {
    if (i == r.size() || (r[i] == ',' && !inQuote)) {
      if (!arg.quoted) {  // blanks around an unquoted value do not count
        const size_t b = arg.text.find_first_not_of(' ');
        arg.text = b == std::string::npos ? std::string() : arg.text.substr(b, arg.text.find_last_not_of(' ') - b + 1);
      }
      arg.present = arg.quoted || !arg.text.empty();
      cmd.args.push_back(std::move(arg));
      arg = Arg{};
    } else if (r[i] == '"') {
      if (!arg.quoted) arg.text.clear();  // blanks before the opening quote
      arg.quoted = true;
      inQuote = !inQuote;
    } else if (inQuote || !arg.quoted) {  // nothing after the closing quote counts
      arg.text += r[i];
    }
  }
}

bool Modem::ExecuteOne(const Cmd& cmd, Reply& reply) {
  if (cmd.name.size() == 1 || cmd.name[0] == '&' || cmd.name == "D") return Basic(cmd, reply);
  return Extended(cmd, reply);
}

// ---------------------------------------------------------------------------------------------
// Result formatting

std::string Modem::Info(std::string_view text) const {
  return fVerbose ? "\r\n" + std::string(text) + "\r\n" : std::string(text) + "\r\n";
}

std::string Modem::FinalText(std::string_view final) const {
  if (fQuiet) return {};
  if (fVerbose) return "\r\n" + std::string(final) + "\r\n";
  static const std::pair<std::string_view, std::string_view> kCodes[] = {
      {"OK", "0"}, {"CONNECT", "1"}, {"RING", "2"}, {"NO CARRIER", "3"}, {"ERROR", "4"},
      {"NO DIALTONE", "6"}, {"BUSY", "7"}, {"NO ANSWER", "8"}};
  for (const auto& [text, code] : kCodes) {
    if (final == text) return std::string(code) + "\r";
  }
  return std::string(final) + "\r\n";  // +CME ERROR and +CMS ERROR keep their text
}

std::string Modem::Format(const Reply& reply) const {
  std::string out;
  for (const std::string& info : reply.infos) out += Info(info);
  if (reply.final.empty()) {
    out += "\r\n> ";
  } else {
    out += FinalText(reply.final);
  }
  return out;
}

std::string Modem::CmeError(int code) const {
  if (fCmee == 1) return "+CME ERROR: " + std::to_string(code);
  if (fCmee == 2) return std::string("+CME ERROR: ") + CmeText(code);
  return "ERROR";
}

std::string Modem::CmsError(int code) const {
  if (fCmee == 2) return std::string("+CMS ERROR: ") + CmsText(code);
  return "+CMS ERROR: " + std::to_string(code);
}

bool Modem::NeedsSim(Reply& reply, bool sms) const {
  if (fSimBusy || (sms && fSmsBusy)) {
    reply.final = sms ? CmsError(314) : CmeError(14);
    return true;
  }
  if (fPinState == PinState::Ready) return false;
  const bool puk = fPinState == PinState::SimPuk;
  reply.final = sms ? CmsError(puk ? 316 : 311) : CmeError(puk ? 12 : 11);
  return true;
}

bool Modem::SmsStarting(Reply& reply) const {
  if (!fSimBusy && !fSmsBusy) return false;
  reply.final = CmsError(314);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Basic commands: E, V, Q, Z, I, A, H, D, S registers, &-commands

bool Modem::Basic(const Cmd& cmd, Reply& reply) {
  const std::string& n = cmd.name;
  const std::string& a = cmd.raw;
  const int value = a.empty() ? 0 : Number(a).value_or(-1);
  if (n == "E") {
    if (value < 0 || value > 1) return false;
    fEcho = value == 1;
    return true;
  }
  if (n == "V") {
    if (value < 0 || value > 1) return false;
    fVerbose = value == 1;
    return true;
  }
  if (n == "Q") {
    if (value < 0 || value > 1) return false;
    fQuiet = value == 1;
    return true;
  }
  if (n == "Z" || n == "&F") {
    Reset();
    return true;
  }
  if (n == "I") {
    if (value < 0) return false;
    const std::string* text = fPersona.Identification(value);
    if (text == nullptr) return false;
    reply.infos.push_back(*text);
    return true;
  }
  if (n == "A") {
    if (fCall != CallState::Incoming) {
      reply.final = "NO CARRIER";
      return true;
    }
    fCall = CallState::Active;
    LogCall(1);
    return true;
  }
  if (n == "H") {
    if (fCall == CallState::Incoming) LogCall(2);
    fCall = CallState::Idle;
    return true;
  }
  if (n == "D") {
    if (!NeedsSim(reply, false)) Dial(a, reply);
    return true;
  }
  if (n == "S") return true;  // registers are accepted and not modelled
  if (n == "X" || n == "L" || n == "M" || n == "T" || n == "P" || n[0] == '&') return true;
  return false;
}

void Modem::Dial(const std::string& dial, Reply& reply) {
  std::string number = dial;
  const bool voice = !number.empty() && number.back() == ';';
  if (voice) number.pop_back();
  if (!number.empty() && (number[0] == 'T' || number[0] == 't' || number[0] == 'P' || number[0] == 'p')) {
    number.erase(0, 1);
  }
  if (number.empty()) {
    reply.final = "ERROR";
    return;
  }
  if (!voice) {  // no data or fax service on this network
    reply.final = "NO CARRIER";
    return;
  }
  fCallNumber = number;
  reply.final = fDialResult;
  if (fDialResult == "OK") fCall = CallState::Active;
  LogCall(0);
  if (fDialResult == "OK" && !fCallEnd.empty()) {  // the call's end, reported later
    reply.after.push_back({Output::Kind::Unsolicited, FinalText(fCallEnd), "D", fCallEndDelay});
    fCall = CallState::Idle;
  }
}

void Modem::FailLine(std::string line, std::string result) {
  if (result.empty()) {
    fFailLines.erase(Upper(line));
  } else {
    fFailLines[Upper(line)] = std::move(result);
  }
}

// Dialled numbers go to DC (or LD), answered calls to RC, missed ones to MC; a full list
// drops its oldest entry.
void Modem::LogCall(int kind) {
  const char* names[3][2] = {{"DC", "LD"}, {"RC", "RC"}, {"MC", "MC"}};
  Book* book = FindBook(names[kind][0]);
  if (book == nullptr) book = FindBook(names[kind][1]);
  if (book == nullptr || book->capacity < 1) return;
  if (static_cast<int>(book->entries.size()) >= book->capacity) {
    std::map<int, PhoneBookEntry> shifted;
    for (auto it = std::next(book->entries.begin()); it != book->entries.end(); ++it) {
      shifted[static_cast<int>(shifted.size()) + 1] = it->second;
    }
    book->entries.swap(shifted);
  }
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%y/%m/%d %H:%M:%S", &tm);
  const int index = book->entries.empty() ? 1 : book->entries.rbegin()->first + 1;
  book->entries[index] = {fCallNumber, fCallNumber.starts_with('+') ? 145 : 129, "", date, kind};
}

// ---------------------------------------------------------------------------------------------
// Text in the current character set

std::string Modem::EncodeText(std::string_view utf8) const {
  if (fCharset == "UCS2") return Utf8ToUcs2Hex(utf8);
  if (fCharset == "UTF-8") return std::string(utf8);
  if (fCharset == "HEX") return ToHex(Utf8ToLatin1(utf8));
  if (fPersona.alpha80Names && fCharset == "GSM" && !Utf8ToGsmSeptets(utf8)) return "80" + Utf8ToUcs2Hex(utf8);
  return Utf8ToLatin1(utf8);
}

std::optional<std::string> Modem::DecodeText(std::string_view text) const {
  if (fCharset == "UCS2") return Ucs2HexToUtf8(text);
  if (fCharset == "UTF-8") return std::string(text);
  if (fCharset == "HEX") {
    const auto bytes = FromHex(text);
    if (!bytes) return std::nullopt;
    return Latin1ToUtf8(*bytes);
  }
  if (fPersona.alpha80Names && text.size() > 2 && text.starts_with("80") && (text.size() - 2) % 4 == 0 &&
      IsHex(text)) {
    return Ucs2HexToUtf8(text.substr(2));
  }
  return Latin1ToUtf8(text);
}

// Names of memories and character sets, which a modem in UCS2 mode may get in UCS2 hex.
std::string Modem::DecodeName(std::string_view text) const {
  if (fCharset == "UCS2" && text.size() >= 4 && text.size() % 4 == 0 && IsHex(text)) {
    if (auto plain = Ucs2HexToUtf8(text)) return *plain;
  }
  return std::string(text);
}

// ---------------------------------------------------------------------------------------------
// Stores

Modem::SmsMemory* Modem::FindSms(std::string_view name) {
  return const_cast<SmsMemory*>(static_cast<const Modem*>(this)->FindSms(name));
}

const Modem::SmsMemory* Modem::FindSms(std::string_view name) const {
  std::string key(name);
  if (key == "MT") key = fSms.count("ME") ? "ME" : "SM";  // the phone's view of ME and SM
  const auto it = fSms.find(key);
  return it == fSms.end() ? nullptr : &it->second;
}

Modem::Book* Modem::FindBook(std::string_view name) {
  const auto it = fBooks.find(std::string(name));
  return it == fBooks.end() ? nullptr : &it->second;
}

const Modem::Book* Modem::FindBook(std::string_view name) const {
  const auto it = fBooks.find(std::string(name));
  return it == fBooks.end() ? nullptr : &it->second;
}

std::string Modem::CpmsCounts() const {
  std::string s = "+CPMS: ";
  for (int i = 0; i < 3; ++i) {
    const SmsMemory* m = FindSms(fMem[i]);
    s += (i ? "," : "") + std::to_string(m ? m->slots.size() : 0) + "," + std::to_string(m ? m->capacity : 0);
  }
  return s;
}

void Modem::SetPin(std::string pin, PinState state, int pinAttempts, std::string puk) {
  fPinCode = std::move(pin);
  fPukCode = std::move(puk);
  fPinState = state;
  fPinRequired = state != PinState::Ready;
  fPinAttempts = pinAttempts;
  fPukAttempts = 10;
}

int Modem::StoreSms(std::string_view memory, std::string_view pduHex, int status) {
  SmsMemory* mem = FindSms(memory);
  if (mem == nullptr || TpduLength(pduHex) < 1) return -1;
  for (int i = 1; i <= mem->capacity; ++i) {
    if (!mem->slots.count(i)) {
      mem->slots[i] = {status, Upper(pduHex)};
      return i;
    }
  }
  return -1;
}

std::map<int, StoredSms> Modem::SmsIn(std::string_view memory) const {
  const SmsMemory* mem = FindSms(memory);
  return mem ? mem->slots : std::map<int, StoredSms>{};
}

bool Modem::WritePhoneBook(std::string_view memory, int index, PhoneBookEntry entry) {
  Book* book = FindBook(memory);
  if (book == nullptr || index < 1 || index > book->capacity) return false;
  book->entries[index] = std::move(entry);
  return true;
}

std::map<int, PhoneBookEntry> Modem::PhoneBook(std::string_view memory) const {
  const Book* book = FindBook(memory);
  return book ? book->entries : std::map<int, PhoneBookEntry>{};
}

// ---------------------------------------------------------------------------------------------
// Injections

int Modem::InjectSms(std::string_view pduHex, SmsRoute route, std::vector<Output>& out) {
  const int length = TpduLength(pduHex);
  if (length < 1) return -1;
  const int mt = fCnmi[1];
  const bool indicate = fCnmi[0] != 0;
  const bool deliver = route == SmsRoute::Deliver || (route == SmsRoute::Auto && indicate && mt >= 2);
  if (deliver) {
    out.push_back({Output::Kind::Unsolicited, Info("+CMT: ," + std::to_string(length) + "\r\n" + Upper(pduHex)), {}, {}});
    fAckPending = fCsms == 1;
    return 0;
  }
  const int index = StoreSms(fMem[2], pduHex, 0);
  if (index < 0) return -1;
  // The message that fills the store turns the "smsfull" indicator (the
  // seventh of +CIND) on.
  if (fIndicators && SmsFull(fMem[2]))
    out.push_back({Output::Kind::Unsolicited, Info("+CIEV: " + std::to_string(kSmsFullIndicator) + ",1"), {}, {}});
  if (route == SmsRoute::Store || (indicate && mt == 1)) {
    int announced = index;
    if (fPersona.phoneIndexAfterSim && (fMem[2] == "ME" || fMem[2] == "MT")) {
      const SmsMemory* sim = FindSms("SM");
      announced += sim ? sim->capacity : 0;
    }
    out.push_back({Output::Kind::Unsolicited, Info("+CMTI: " + Quote(fMem[2]) + "," + std::to_string(announced)), {}, {}});
  }
  return index;
}

bool Modem::SmsFull(std::string_view name) const {
  const SmsMemory* mem = FindSms(name);
  return mem != nullptr && mem->capacity > 0 && static_cast<int>(mem->slots.size()) >= mem->capacity;
}

int Modem::InjectStatusReport(std::string_view pduHex, SmsRoute route, std::vector<Output>& out) {
  const int length = TpduLength(pduHex);
  if (length < 1) return -1;
  const int ds = fCnmi[3];
  const bool indicate = fCnmi[0] != 0;
  if (route == SmsRoute::Deliver || (route == SmsRoute::Auto && indicate && ds == 1)) {
    out.push_back({Output::Kind::Unsolicited, Info("+CDS: " + std::to_string(length) + "\r\n" + Upper(pduHex)), {}, {}});
    fAckPending = fCsms == 1;
    return 0;
  }
  const std::string mem = FindSms("SR") ? "SR" : fMem[2];
  const int index = StoreSms(mem, pduHex, 0);
  if (index < 0) return -1;
  if (route == SmsRoute::Store || (indicate && ds == 2)) {
    out.push_back({Output::Kind::Unsolicited, Info("+CDSI: " + Quote(mem) + "," + std::to_string(index)), {}, {}});
  }
  return index;
}

// A submission that asked for a status report gets one a little later, routed by +CNMI.
std::vector<Output> Modem::StatusReportFor(std::string_view submitPdu, int reference) {
  std::vector<Output> out;
  const auto bytes = FromHex(submitPdu);
  if (!bytes || bytes->empty()) return out;
  const size_t first = 1 + static_cast<unsigned char>((*bytes)[0]);
  if (first >= bytes->size() || (static_cast<unsigned char>((*bytes)[first]) & 0x20) == 0) return out;
  const std::string report = MakeStatusReportPdu(reference, SubmitDestination(submitPdu), 1700000000);
  InjectStatusReport(report, SmsRoute::Auto, out);
  for (Output& o : out) o.delay = std::chrono::milliseconds(200);
  return out;
}

void Modem::InjectRing(std::string_view number, std::vector<Output>& out, int count,
                       std::chrono::milliseconds interval) {
  fCall = CallState::Incoming;
  fCallNumber = std::string(number);
  std::string text = fCrc ? Info("+CRING: VOICE") : FinalText("RING");
  if (fClip && !number.empty()) {
    text += Info("+CLIP: " + Quote(number) + "," + (number.starts_with('+') ? "145" : "129"));
  }
  for (int i = 0; i < count; ++i) {
    // the first ring is on the line already; the repeats stop when the call stops ringing
    out.push_back({Output::Kind::Unsolicited, text, {}, i == 0 ? std::chrono::milliseconds(0) : interval, i > 0});
  }
}

void Modem::InjectHangup(std::vector<Output>& out) {
  if (fCall == CallState::Idle) return;
  if (fCall == CallState::Incoming) LogCall(2);
  fCall = CallState::Idle;
  out.push_back({Output::Kind::Unsolicited, FinalText("NO CARRIER"), {}, {}});
}

void Modem::InjectUssd(const UssdAnswer& answer, std::vector<Output>& out) {
  out.push_back({Output::Kind::Unsolicited, Info(UssdLine(answer)), {}, {}});
}

bool Modem::SetSmsCapacity(std::string_view memory, int capacity) {
  SmsMemory* mem = FindSms(memory);
  if (mem == nullptr) return false;
  mem->capacity = capacity;
  return true;
}

void Modem::SetRegistration(int stat, int act, std::vector<Output>& out) {
  fRegStat = stat;
  fAct = act;
  for (const auto& [name, mode] : fRegMode)
    if (mode > 0) out.push_back({Output::Kind::Unsolicited, Info(name + ": " + RegistrationFields(mode)), {}, {}});
}

std::string Modem::RegistrationFields(int mode) const {
  std::string s = std::to_string(fRegStat);
  if (mode == 2 && (fRegStat == 1 || fRegStat == 5)) s += ",\"00C3\",\"1A2B\"," + std::to_string(fAct);
  return s;
}

void Modem::InjectNetworkError(int cmsError, std::vector<Output>& out) {
  out.push_back({Output::Kind::Unsolicited, Info(CmsError(cmsError)), {}, {}});
}

std::string Modem::StatusText() const {
  static const char* kPin[] = {"READY", "SIM PIN", "SIM PUK"};
  std::string s = "persona: " + fPersona.caption + "\npin: " + kPin[static_cast<int>(fPinState)] +
                  " (" + std::to_string(fPinAttempts) + " attempts)\necho: " + (fEcho ? "on" : "off") +
                  "\ncmee: " + std::to_string(fCmee) + "\ncharset: " + fCharset + "\ncnmi: ";
  for (size_t i = 0; i < fCnmi.size(); ++i) s += (i ? "," : "") + std::to_string(fCnmi[i]);
  s += "\nregistration: " + std::to_string(fRegStat) + " (AcT " + std::to_string(fAct) + ")";
  s += "\nmemories: " + fMem[0] + "," + fMem[1] + "," + fMem[2] + "\n";
  for (const auto& [name, mem] : fSms) {
    s += "  " + name + ": " + std::to_string(mem.slots.size()) + "/" + std::to_string(mem.capacity) + "\n";
  }
  s += "submitted: " + std::to_string(fSubmitted.size()) + "\n";
  return s;
}

}  // namespace qvsim
