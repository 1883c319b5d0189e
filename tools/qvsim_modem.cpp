#include "qvsim_modem.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "qvsim_codec.h"

namespace qvsim {

namespace {

constexpr char kCtrlZ = 0x1A;
constexpr char kEsc = 0x1B;
constexpr size_t kMaxLine = 2048;

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::optional<int> Number(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  int v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return v;
}

bool IsCallList(std::string_view mem) {
  return mem == "DC" || mem == "LD" || mem == "RC" || mem == "MC" || mem == "EN";
}

bool IsReceiveOnly(std::string_view mem) { return mem == "SR" || mem == "BM"; }

const char* CmeText(int code) {
  switch (code) {
    case 3: return "operation not allowed";
    case 4: return "operation not supported";
    case 10: return "SIM not inserted";
    case 11: return "SIM PIN required";
    case 12: return "SIM PUK required";
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
    case 316: return "SIM PUK required";
    case 321: return "invalid memory index";
    case 322: return "memory full";
    case 330: return "SMSC address unknown";
    case 331: return "no network service";
    case 340: return "no +CNMA acknowledgement expected";
    default: return "unknown error";
  }
}

std::string Quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

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
  } else if (send && fFailCount > 0) {
    --fFailCount;
    reply.final = CmsError(fFailCode);
  } else if (send) {
    const int reference = fNextReference;
    fNextReference = (fNextReference + 1) & 0xFF;
    fSubmitted.push_back(pdu);
    reply.infos.push_back("+CMGS: " + std::to_string(reference));
    reply.after = StatusReportFor(pdu, reference);
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

// Splits a command line after "AT" into basic and extended commands and runs them in turn;
// the first failing command ends the line with its error.
void Modem::ExecuteLine(const std::string& line, std::vector<Output>& out) {
  const std::string upper = Upper(line);
  const size_t at = upper.find("AT");
  if (at == std::string::npos) return;  // not a command line: a modem ignores it
  fLastLine = line;
  const std::string body = line.substr(at + 2);
  Reply reply;
  std::string lastName;
  size_t p = 0;
  while (reply.final == "OK" && p < body.size()) {
    const char c = body[p];
    if (c == ' ' || c == ';') {
      ++p;
      continue;
    }
    Cmd cmd;
    const char uc = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (std::string_view("+^*$#%!").find(c) != std::string_view::npos) {
      size_t e = p + 1;
      while (e < body.size() && (std::isalnum(static_cast<unsigned char>(body[e])) || body[e] == '_')) ++e;
      cmd.name = Upper(body.substr(p, e - p));
      // parameters end at a ';' outside quotes
      size_t q = e;
      bool inQuote = false;
      while (q < body.size() && (inQuote || body[q] != ';')) {
        if (body[q] == '"') inQuote = !inQuote;
        ++q;
      }
      cmd.raw = body.substr(e, q - e);
      p = q;
    } else if (uc == 'D') {
      cmd.name = "D";
      cmd.raw = body.substr(p + 1);
      p = body.size();
    } else if (uc == '&' || uc == 'S') {
      size_t e = p + 1;
      if (uc == '&' && e < body.size()) ++e;
      cmd.name = Upper(body.substr(p, e - p));
      size_t q = e;
      while (q < body.size() && (std::isdigit(static_cast<unsigned char>(body[q])) ||
                                 (uc == 'S' && (body[q] == '=' || body[q] == '?')))) {
        ++q;
      }
      cmd.raw = body.substr(e, q - e);
      p = q;
    } else if (std::isalpha(static_cast<unsigned char>(c))) {
      size_t e = p + 1;
      while (e < body.size() && (std::isdigit(static_cast<unsigned char>(body[e])) || body[e] == '?')) ++e;
      cmd.name = std::string(1, uc);
      cmd.raw = body.substr(p + 1, e - p - 1);
      p = e;
    } else {
      reply.final = "ERROR";
      break;
    }
    // operation and arguments of the text after the name
    std::string_view r = cmd.raw;
    if (r == "?") {
      cmd.op = Op::Read;
    } else if (r == "=?") {
      cmd.op = Op::Test;
    } else if (!r.empty() && r.front() == '=') {
      cmd.op = Op::Set;
      r.remove_prefix(1);
      std::string current;
      bool inQuote = false, quoted = false;
      for (size_t i = 0; i <= r.size(); ++i) {
        if (i == r.size() || (r[i] == ',' && !inQuote)) {
          Arg a;
          a.quoted = quoted;
          a.text = current;
          while (!a.text.empty() && a.text.back() == ' ') a.text.pop_back();
          while (!a.text.empty() && a.text.front() == ' ') a.text.erase(0, 1);
          a.present = quoted || !a.text.empty();
          cmd.args.push_back(a);
          current.clear();
          quoted = false;
        } else if (r[i] == '"') {
          inQuote = !inQuote;
          quoted = true;
        } else {
          current += r[i];
        }
      }
    }
    lastName = cmd.name;
    if (!ExecuteOne(cmd, reply) && reply.final == "OK") reply.final = "ERROR";
    // a prompt (empty final) or an error ends the line
  }
  out.push_back({Output::Kind::Reply, Format(reply), lastName, {}});
  for (Output& o : reply.after) out.push_back(std::move(o));
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

bool Modem::NeedsSim(const Cmd&, Reply& reply, bool sms) const {
  if (fPinState == PinState::Ready) return false;
  const bool puk = fPinState == PinState::SimPuk;
  reply.final = sms ? CmsError(puk ? 316 : 311) : CmeError(puk ? 12 : 11);
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
    return true;
  }
  if (n == "H") {
    fCall = CallState::Idle;
    return true;
  }
  if (n == "D") {
    if (NeedsSim(cmd, reply, false)) return true;
    Dial(a, reply);
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
}

// ---------------------------------------------------------------------------------------------
// Extended commands

bool Modem::Extended(const Cmd& cmd, Reply& reply) {
  using Handler = bool (Modem::*)(const Cmd&, Reply&);
  static const Handler kHandlers[] = {&Modem::Identity, &Modem::Pin, &Modem::Messaging,
                                      &Modem::MessageStore, &Modem::PhoneBookCommand, &Modem::Status,
                                      &Modem::Calls, &Modem::Ussd};
  for (Handler h : kHandlers) {
    Reply attempt;
    attempt.final = "OK";
    if ((this->*h)(cmd, attempt)) {
      for (auto& i : attempt.infos) reply.infos.push_back(std::move(i));
      for (auto& o : attempt.after) reply.after.push_back(std::move(o));
      reply.final = attempt.final;
      return reply.final == "OK";
    }
  }
  const auto& vendor = fPersona.vendorCommands;
  if (std::find(vendor.begin(), vendor.end(), cmd.name) != vendor.end()) return true;
  reply.final = "ERROR";  // a command this modem does not know
  return false;
}

// Each handler returns false when the command is not one of its own; otherwise it leaves the
// final result (OK or an error) in reply.final.

bool Modem::Identity(const Cmd& cmd, Reply& reply) {
  const std::string& n = cmd.name;
  auto plain = [&](const std::string& text) {
    if (cmd.op == Op::Exec) {
      reply.infos.push_back(text);
    } else if (cmd.op != Op::Test) {
      reply.final = "ERROR";
    }
    return true;
  };
  if (n == "+CGMI" || n == "+GMI") return plain(fPersona.manufacturer);
  if (n == "+CGMM" || n == "+GMM") return plain(fPersona.model);
  if (n == "+CGMR" || n == "+GMR") return plain(fPersona.revision);
  if (n == "+CGSN" || n == "+GSN") return plain("356938035643809");
  if (n == "+GCAP") return plain("+GCAP: +CGSM,+DS,+ES");
  if (n == "+CIMI") {
    if (NeedsSim(cmd, reply, false)) return true;
    return plain("262019876543210");
  }
  if (n == "+CNUM") {
    if (NeedsSim(cmd, reply, false)) return true;
    return plain("+CNUM: \"Own number\",\"+491711234567\",145");
  }
  if (n == "+CMEE") {
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CMEE: " + std::to_string(fCmee));
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back("+CMEE: (0-2)");
    } else {
      const auto v = cmd.args.empty() || !cmd.args[0].present ? std::optional<int>(0) : Number(cmd.args[0].text);
      if (!v || *v < 0 || *v > 2) {
        reply.final = "ERROR";
      } else {
        fCmee = *v;
      }
    }
    return true;
  }
  if (n == "+CSCS") {
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CSCS: " + Quote(fCharset));
    } else if (cmd.op == Op::Test) {
      std::string list;
      for (const auto& c : fPersona.charsets) list += (list.empty() ? "" : ",") + Quote(c);
      reply.infos.push_back("+CSCS: (" + list + ")");
    } else if (cmd.op == Op::Set && !cmd.args.empty()) {
      const std::string set = Upper(DecodeName(cmd.args[0].text));
      const auto& sets = fPersona.charsets;
      if (std::find(sets.begin(), sets.end(), set) == sets.end()) {
        reply.final = CmeError(4);
      } else {
        fCharset = set;
      }
    } else {
      reply.final = "ERROR";
    }
    return true;
  }
  if (n == "+CLAC") {
    reply.infos.push_back("AT+CGMI\r\nAT+CGMM\r\nAT+CGMR\r\nAT+CGSN\r\nAT+CIMI\r\nAT+CPIN\r\nAT+CMEE\r\n"
                          "AT+CSCS\r\nAT+CPMS\r\nAT+CMGF\r\nAT+CMGS\r\nAT+CMGR\r\nAT+CMGL\r\nAT+CMGD\r\n"
                          "AT+CMGW\r\nAT+CMSS\r\nAT+CNMI\r\nAT+CNMA\r\nAT+CSMS\r\nAT+CSCA\r\nAT+CPBS\r\n"
                          "AT+CPBR\r\nAT+CPBW\r\nAT+CSQ\r\nAT+CBC\r\nAT+CUSD\r\nAT+CLIP\r\nAT+CHUP");
    return true;
  }
  return false;
}

bool Modem::Pin(const Cmd& cmd, Reply& reply) {
  if (cmd.name != "+CPIN") return false;
  if (cmd.op == Op::Read) {
    static const char* kNames[] = {"READY", "SIM PIN", "SIM PUK"};
    reply.infos.push_back(std::string("+CPIN: ") + kNames[static_cast<int>(fPinState)]);
    return true;
  }
  if (cmd.op == Op::Test) return true;
  if (cmd.op != Op::Set || cmd.args.empty() || !cmd.args[0].present) {
    reply.final = CmeError(50);
    return true;
  }
  const std::string code = cmd.args[0].text;
  switch (fPinState) {
    case PinState::Ready:
      reply.final = CmeError(3);  // nothing to enter
      break;
    case PinState::SimPin:
      if (code == fPinCode) {
        fPinState = PinState::Ready;
        fPinAttempts = 3;
      } else {
        reply.final = CmeError(16);
        if (--fPinAttempts <= 0) fPinState = PinState::SimPuk;
      }
      break;
    case PinState::SimPuk:
      if (cmd.args.size() < 2 || !cmd.args[1].present) {
        reply.final = CmeError(12);
      } else if (fPukAttempts <= 0) {
        reply.final = CmeError(10);  // the SIM is blocked for good
      } else if (code == fPukCode) {
        fPinCode = cmd.args[1].text;
        fPinState = PinState::Ready;
        fPinAttempts = 3;
        fPukAttempts = 10;
      } else {
        --fPukAttempts;
        reply.final = CmeError(16);
      }
      break;
  }
  return true;
}

void Modem::SetPin(std::string pin, PinState state, int pinAttempts, std::string puk) {
  fPinCode = std::move(pin);
  fPukCode = std::move(puk);
  fPinState = state;
  fPinRequired = state != PinState::Ready;
  fPinAttempts = pinAttempts;
  fPukAttempts = 10;
}

// +CMGF, +CSMS, +CSCA, +CNMI, +CNMA, +CMGS, +CMGW, +CMSS and text mode settings
bool Modem::Messaging(const Cmd& cmd, Reply& reply) {
  const std::string& n = cmd.name;
  auto arg = [&](size_t i) -> std::optional<int> {
    if (i >= cmd.args.size() || !cmd.args[i].present) return std::nullopt;
    return Number(cmd.args[i].text);
  };
  if (n == "+CMGF") {
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CMGF: " + std::to_string(fCmgf));
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back("+CMGF: (0)");  // PDU mode only
    } else if (cmd.op == Op::Set && arg(0) == 0) {
      fCmgf = 0;
    } else {
      reply.final = CmsError(303);
    }
    return true;
  }
  if (n == "+CSMS") {
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CSMS: " + std::to_string(fCsms) + ",1,1,1");
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back("+CSMS: (0,1)");
    } else if (cmd.op == Op::Set && (arg(0) == 0 || arg(0) == 1)) {
      fCsms = *arg(0);
      reply.infos.push_back("+CSMS: 1,1,1");
    } else {
      reply.final = CmsError(303);
    }
    return true;
  }
  if (n == "+CSCA") {
    if (NeedsSim(cmd, reply, true)) return true;
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CSCA: " + Quote(EncodeText(fSca)) + "," + (fSca.starts_with('+') ? "145" : "129"));
    } else if (cmd.op == Op::Set && !cmd.args.empty() && cmd.args[0].present) {
      fSca = DecodeText(cmd.args[0].text).value_or(cmd.args[0].text);
    } else if (cmd.op != Op::Test) {
      reply.final = CmsError(304);
    }
    return true;
  }
  if (n == "+CNMI") {
    if (cmd.op == Op::Read) {
      std::string s = "+CNMI: ";
      for (size_t i = 0; i < fCnmi.size(); ++i) s += (i ? "," : "") + std::to_string(fCnmi[i]);
      reply.infos.push_back(s);
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back("+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)");
    } else if (cmd.op == Op::Set) {
      static const int kMax[] = {3, 3, 3, 2, 1};
      std::vector<int> next = fCnmi;
      for (size_t i = 0; i < cmd.args.size(); ++i) {
        if (!cmd.args[i].present) continue;
        const auto v = arg(i);
        if (i >= 5 || !v || *v < 0 || *v > kMax[i]) {
          reply.final = CmsError(303);
          return true;
        }
        next[i] = *v;
      }
      fCnmi = next;
    } else {
      reply.final = "ERROR";
    }
    return true;
  }
  if (n == "+CNMA") {
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CNMA: (0-2)");
    } else if (!fAckPending) {
      reply.final = CmsError(340);
    } else {
      fAckPending = false;
    }
    return true;
  }
  if (n == "+CSDH" || n == "+CSMP" || n == "+CSAS" || n == "+CRES" || n == "+CMMS") {
    if (cmd.op == Op::Read && n == "+CSDH") reply.infos.push_back("+CSDH: 0");
    if (cmd.op == Op::Read && n == "+CSMP") reply.infos.push_back("+CSMP: 17,167,0,0");
    return true;
  }
  if (n == "+CMGS" || n == "+CMGW") {
    const bool sms = true;
    if (NeedsSim(cmd, reply, sms)) return true;
    if (cmd.op == Op::Test) return true;
    const auto len = arg(0);
    if (cmd.op != Op::Set || !len || *len < 1 || *len > 176) {
      reply.final = CmsError(304);
      return true;
    }
    fPduLength = *len;
    fPduStatus = 2;
    if (n == "+CMGW") {
      const auto stat = arg(1);
      if (stat && (*stat == 2 || *stat == 3)) fPduStatus = *stat;
    }
    fPdu.clear();
    fMode = n == "+CMGS" ? InputMode::PduSend : InputMode::PduWrite;
    reply.final.clear();  // the prompt follows
    return true;
  }
  if (n == "+CMSS") {
    if (NeedsSim(cmd, reply, true)) return true;
    if (cmd.op == Op::Test) return true;
    const auto index = arg(0);
    const SmsMemory* mem = FindSms(fMem[1]);
    if (!index || mem == nullptr || !mem->slots.count(*index)) {
      reply.final = CmsError(321);
    } else if (fFailCount > 0) {
      --fFailCount;
      reply.final = CmsError(fFailCode);
    } else {
      const int reference = fNextReference;
      fNextReference = (fNextReference + 1) & 0xFF;
      fSubmitted.push_back(mem->slots.at(*index).pdu);
      FindSms(fMem[1])->slots[*index].status = 3;
      reply.infos.push_back("+CMSS: " + std::to_string(reference));
    }
    return true;
  }
  return false;
}

// +CPMS, +CMGR, +CMGL, +CMGD
bool Modem::MessageStore(const Cmd& cmd, Reply& reply) {
  const std::string& n = cmd.name;
  if (n != "+CPMS" && n != "+CMGR" && n != "+CMGL" && n != "+CMGD") return false;
  if (NeedsSim(cmd, reply, true)) return true;
  auto arg = [&](size_t i) -> std::optional<int> {
    if (i >= cmd.args.size() || !cmd.args[i].present) return std::nullopt;
    return Number(cmd.args[i].text);
  };
  if (n == "+CPMS") {
    if (cmd.op == Op::Read) {
      std::string s = "+CPMS: ";
      for (int i = 0; i < 3; ++i) {
        const SmsMemory* m = FindSms(fMem[i]);
        s += (i ? "," : "") + Quote(fMem[i]) + "," + std::to_string(m ? m->slots.size() : 0) + "," +
             std::to_string(m ? m->capacity : 0);
      }
      reply.infos.push_back(s);
    } else if (cmd.op == Op::Test) {
      std::string all, writable;
      for (const MemoryInfo& m : fPersona.smsMemories) {
        all += (all.empty() ? "" : ",") + Quote(m.name);
        if (!IsReceiveOnly(m.name)) writable += (writable.empty() ? "" : ",") + Quote(m.name);
      }
      reply.infos.push_back("+CPMS: (" + all + "),(" + writable + "),(" + writable + ")");
    } else if (cmd.op == Op::Set) {
      std::string next[3] = {fMem[0], fMem[1], fMem[2]};
      for (size_t i = 0; i < cmd.args.size() && i < 3; ++i) {
        if (!cmd.args[i].present) continue;
        const std::string name = Upper(DecodeName(cmd.args[i].text));
        bool known = false;
        for (const MemoryInfo& m : fPersona.smsMemories) known = known || m.name == name;
        if (!known || (i > 0 && IsReceiveOnly(name))) {
          reply.final = CmsError(302);
          return true;
        }
        next[i] = name;
      }
      for (int i = 0; i < 3; ++i) fMem[i] = next[i];
      reply.infos.push_back(CpmsCounts());
    } else {
      reply.final = "ERROR";
    }
    return true;
  }
  SmsMemory* mem = FindSms(fMem[0]);
  if (n == "+CMGL") {
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CMGL: (0-4)");
      return true;
    }
    const int stat = cmd.op == Op::Exec ? 0 : arg(0).value_or(-1);
    if (stat < 0 || stat > 4 || mem == nullptr) {
      reply.final = CmsError(304);
      return true;
    }
    std::string block;
    for (auto& [index, sms] : mem->slots) {
      if (stat != 4 && sms.status != stat) continue;
      if (!block.empty()) block += "\r\n";
      block += "+CMGL: " + std::to_string(index) + "," + std::to_string(sms.status) + ",," +
               std::to_string(TpduLength(sms.pdu)) + "\r\n" + sms.pdu;
      if (sms.status == 0) sms.status = 1;
    }
    if (!block.empty()) reply.infos.push_back(block);
    return true;
  }
  if (n == "+CMGR") {
    if (cmd.op == Op::Test) return true;
    const auto index = arg(0);
    if (!index || mem == nullptr || *index < 1 || *index > mem->capacity) {
      reply.final = CmsError(321);
      return true;
    }
    auto it = mem->slots.find(*index);
    if (it != mem->slots.end()) {
      reply.infos.push_back("+CMGR: " + std::to_string(it->second.status) + ",," +
                            std::to_string(TpduLength(it->second.pdu)) + "\r\n" + it->second.pdu);
      if (it->second.status == 0) it->second.status = 1;
    }
    return true;
  }
  // +CMGD
  if (cmd.op == Op::Test) {
    std::string used;
    for (const auto& [index, sms] : mem ? mem->slots : std::map<int, StoredSms>{}) {
      used += (used.empty() ? "" : ",") + std::to_string(index);
    }
    reply.infos.push_back("+CMGD: (" + used + "),(0-4)");
    return true;
  }
  const auto index = arg(0);
  const int flag = arg(1).value_or(0);
  if (mem == nullptr || flag < 0 || flag > 4 || (flag == 0 && (!index || *index < 1 || *index > mem->capacity))) {
    reply.final = CmsError(321);
    return true;
  }
  if (flag == 0) {
    mem->slots.erase(*index);
    return true;
  }
  // 1: read, 2: read and sent, 3: read, sent and unsent, 4: all
  for (auto it = mem->slots.begin(); it != mem->slots.end();) {
    const int s = it->second.status;
    const bool drop = flag == 4 || s == 1 || (flag >= 2 && s == 3) || (flag >= 3 && s == 2);
    it = drop ? mem->slots.erase(it) : std::next(it);
  }
  return true;
}

std::string Modem::CpmsCounts() const {
  std::string s = "+CPMS: ";
  for (int i = 0; i < 3; ++i) {
    const SmsMemory* m = FindSms(fMem[i]);
    s += (i ? "," : "") + std::to_string(m ? m->slots.size() : 0) + "," + std::to_string(m ? m->capacity : 0);
  }
  return s;
}

// +CPBS, +CPBR, +CPBW
bool Modem::PhoneBookCommand(const Cmd& cmd, Reply& reply) {
  const std::string& n = cmd.name;
  if (n != "+CPBS" && n != "+CPBR" && n != "+CPBW") return false;
  if (NeedsSim(cmd, reply, false)) return true;
  auto arg = [&](size_t i) -> std::optional<int> {
    if (i >= cmd.args.size() || !cmd.args[i].present) return std::nullopt;
    return Number(cmd.args[i].text);
  };
  Book* book = FindBook(fBook);
  if (n == "+CPBS") {
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CPBS: " + Quote(fBook) + "," + std::to_string(book ? book->entries.size() : 0) +
                            "," + std::to_string(book ? book->capacity : 0));
    } else if (cmd.op == Op::Test) {
      std::string list;
      for (const MemoryInfo& m : fPersona.phoneBooks) list += (list.empty() ? "" : ",") + Quote(m.name);
      reply.infos.push_back("+CPBS: (" + list + ")");
    } else if (cmd.op == Op::Set && !cmd.args.empty()) {
      const std::string name = Upper(DecodeName(cmd.args[0].text));
      if (FindBook(name) == nullptr) {
        reply.final = CmeError(4);
      } else {
        fBook = name;
      }
    } else {
      reply.final = CmeError(50);
    }
    return true;
  }
  if (book == nullptr) {
    reply.final = CmeError(3);
    return true;
  }
  const std::string range = "(1-" + std::to_string(book->capacity) + ")";
  if (n == "+CPBR") {
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CPBR: " + range + "," + std::to_string(fPersona.maxNumberLength) + "," +
                            std::to_string(fPersona.maxNameLength));
      return true;
    }
    const auto first = arg(0);
    const int last = arg(1).value_or(first.value_or(0));
    if (cmd.op != Op::Set || !first || *first < 1 || last < *first || last > book->capacity) {
      reply.final = CmeError(21);
      return true;
    }
    std::string block;
    for (auto it = book->entries.lower_bound(*first); it != book->entries.end() && it->first <= last; ++it) {
      const PhoneBookEntry& e = it->second;
      const bool ucs2 = fCharset == "UCS2";
      const std::string number = ucs2 && fPersona.ucs2Numbers ? Utf8ToUcs2Hex(e.number) : e.number;
      if (!block.empty()) block += "\r\n";
      block += "+CPBR: " + std::to_string(it->first) + "," + Quote(number) + "," + std::to_string(e.type) +
               "," + Quote(EncodeText(e.name));
    }
    if (!block.empty()) reply.infos.push_back(block);
    return true;
  }
  // +CPBW
  if (cmd.op == Op::Test) {
    reply.infos.push_back("+CPBW: " + range + "," + std::to_string(fPersona.maxNumberLength) + ",(129,145,161)," +
                          std::to_string(fPersona.maxNameLength));
    return true;
  }
  if (cmd.op != Op::Set || cmd.args.empty()) {
    reply.final = CmeError(50);
    return true;
  }
  if (book->readOnly) {
    reply.final = CmeError(3);
    return true;
  }
  std::optional<int> index = arg(0);
  if (cmd.args[0].present && (!index || *index < 1 || *index > book->capacity)) {
    reply.final = CmeError(21);
    return true;
  }
  const bool hasNumber = cmd.args.size() > 1 && cmd.args[1].present;
  if (!hasNumber) {  // the index alone deletes the entry
    if (!index) {
      reply.final = CmeError(21);
    } else {
      book->entries.erase(*index);
    }
    return true;
  }
  PhoneBookEntry entry;
  entry.number = cmd.args[1].text;
  if (fCharset == "UCS2" && fPersona.ucs2Numbers) entry.number = Ucs2HexToUtf8(entry.number).value_or(entry.number);
  entry.type = arg(2).value_or(entry.number.starts_with('+') ? 145 : 129);
  const auto name = cmd.args.size() > 3 ? DecodeText(cmd.args[3].text) : std::optional<std::string>("");
  if (!name) {
    reply.final = CmeError(25);
    return true;
  }
  entry.name = *name;
  size_t nameLength = 0;
  for (char c : entry.name) nameLength += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  if (entry.number.size() > static_cast<size_t>(fPersona.maxNumberLength)) {
    reply.final = CmeError(26);
    return true;
  }
  if (nameLength > static_cast<size_t>(fPersona.maxNameLength)) {
    reply.final = CmeError(24);
    return true;
  }
  if (!index) {
    for (int i = 1; i <= book->capacity && !index; ++i) {
      if (!book->entries.count(i)) index = i;
    }
    if (!index) {
      reply.final = CmeError(20);
      return true;
    }
  }
  book->entries[*index] = std::move(entry);
  return true;
}

// +CSQ, +CBC, +CIND, +CFUN, +CREG, +CGREG, +COPS, +CPAS
bool Modem::Status(const Cmd& cmd, Reply& reply) {
  const std::string& n = cmd.name;
  const bool test = cmd.op == Op::Test;
  if (n == "+CSQ") {
    reply.infos.push_back(test ? "+CSQ: (0-31,99),(0-7,99)"
                               : "+CSQ: " + std::to_string(fRssi) + "," + std::to_string(fBer));
    return true;
  }
  if (n == "+CBC") {
    if (!fPersona.battery) return false;
    reply.infos.push_back(test ? "+CBC: (0-3),(0-100)" : "+CBC: " + std::to_string(fBcs) + "," + std::to_string(fBcl));
    return true;
  }
  if (n == "+CIND") {
    if (test) {
      reply.infos.push_back("+CIND: (\"battchg\",(0-5)),(\"signal\",(0-5)),(\"service\",(0,1)),"
                            "(\"message\",(0,1)),(\"call\",(0,1)),(\"roam\",(0,1)),(\"smsfull\",(0,1))");
    } else if (cmd.op == Op::Read) {
      reply.infos.push_back("+CIND: " + std::to_string(fBcl / 20) + "," + std::to_string(fRssi == 99 ? 0 : fRssi / 7) +
                            ",1,0," + (fCall == CallState::Active ? "1" : "0") + ",0,0");
    } else {
      reply.final = "ERROR";
    }
    return true;
  }
  if (n == "+CFUN") {
    if (test) {
      reply.infos.push_back("+CFUN: (0,1,4),(0,1)");
    } else if (cmd.op == Op::Read) {
      reply.infos.push_back("+CFUN: " + std::to_string(fFun));
    } else if (cmd.op == Op::Set && !cmd.args.empty() && Number(cmd.args[0].text).has_value()) {
      fFun = *Number(cmd.args[0].text);
    } else {
      reply.final = CmeError(50);
    }
    return true;
  }
  if (n == "+CREG" || n == "+CGREG") {
    if (cmd.op == Op::Read) reply.infos.push_back(n + ": 0,1");
    if (test) reply.infos.push_back(n + ": (0-2)");
    return true;
  }
  if (n == "+COPS") {
    if (cmd.op == Op::Read) reply.infos.push_back("+COPS: 0,0,\"QV Mobile\"");
    if (test) reply.infos.push_back("+COPS: (2,\"QV Mobile\",\"QVM\",\"00101\"),,(0-4),(0-2)");
    return true;
  }
  if (n == "+CPAS") {
    reply.infos.push_back(fCall == CallState::Incoming ? "+CPAS: 3" : fCall == CallState::Active ? "+CPAS: 4" : "+CPAS: 0");
    return true;
  }
  return false;
}

// +CLIP, +CRC, +CHUP, +CLCC
bool Modem::Calls(const Cmd& cmd, Reply& reply) {
  const std::string& n = cmd.name;
  if (n == "+CLIP" || n == "+CRC") {
    bool& flag = n == "+CLIP" ? fClip : fCrc;
    if (cmd.op == Op::Read) {
      reply.infos.push_back(n + ": " + (flag ? "1" : "0") + (n == "+CLIP" ? ",1" : ""));
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back(n + ": (0,1)");
    } else if (cmd.op == Op::Set && !cmd.args.empty() && (cmd.args[0].text == "0" || cmd.args[0].text == "1")) {
      flag = cmd.args[0].text == "1";
    } else {
      reply.final = CmeError(50);
    }
    return true;
  }
  if (n == "+CHUP") {
    fCall = CallState::Idle;
    return true;
  }
  if (n == "+CLCC") {
    if (fCall != CallState::Idle) {
      const bool incoming = fCall == CallState::Incoming;
      reply.infos.push_back(std::string("+CLCC: 1,") + (incoming ? "1,4" : "0,0") + ",0,0," + Quote(fCallNumber) +
                            "," + (fCallNumber.starts_with('+') ? "145" : "129"));
    }
    return true;
  }
  return false;
}

// +CUSD: the network answers with the configured text, before or after the OK.
bool Modem::Ussd(const Cmd& cmd, Reply& reply) {
  if (cmd.name != "+CUSD") return false;
  if (cmd.op == Op::Read) {
    reply.infos.push_back(std::string("+CUSD: ") + (fUssdEnabled ? "1" : "0"));
    return true;
  }
  if (cmd.op == Op::Test) {
    reply.infos.push_back("+CUSD: (0-2)");
    return true;
  }
  const auto mode = cmd.args.empty() ? std::optional<int>(0) : Number(cmd.args[0].text);
  if (!mode || *mode < 0 || *mode > 2) {
    reply.final = CmeError(50);
    return true;
  }
  fUssdEnabled = *mode == 1;
  if (cmd.args.size() < 2 || !cmd.args[1].present || *mode == 2) return true;
  if (NeedsSim(cmd, reply, false)) return true;
  std::string request = cmd.args[1].text;
  const int dcs = cmd.args.size() > 2 ? Number(cmd.args[2].text).value_or(15) : 15;
  if (fPersona.ussdPacked && dcs == 15 && IsHex(request)) {
    request = UssdUnpack(request).value_or(request);
  } else {
    request = DecodeText(request).value_or(request);
  }
  const auto it = fUssdAnswers.find(request);
  const UssdAnswer answer = it != fUssdAnswers.end() ? it->second : fDefaultUssd.value_or(UssdAnswer{});
  if (answer.cmeError != 0) {
    reply.final = CmeError(answer.cmeError);
    return true;
  }
  if (answer.timing == UssdTiming::BeforeOk) {
    reply.infos.push_back(UssdLine(answer));
  } else if (answer.timing == UssdTiming::AfterOk) {
    reply.after.push_back({Output::Kind::Unsolicited, Info(UssdLine(answer)), "+CUSD", answer.delay});
  }
  return true;
}

std::string Modem::UssdLine(const UssdAnswer& answer) const {
  std::string text;
  int dcs = answer.dcs;
  if (answer.raw) {
    text = answer.text;
  } else if (fPersona.ussdPacked) {
    text = UssdPack(answer.text);
    dcs = 15;
  } else if (fCharset == "UCS2") {
    text = Utf8ToUcs2Hex(answer.text);
    dcs = 72;
  } else {
    text = EncodeText(answer.text);
    dcs = 15;
  }
  return "+CUSD: " + std::to_string(answer.status) + "," + Quote(text) + "," + std::to_string(dcs);
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
  if (route == SmsRoute::Store || (indicate && mt == 1)) {
    out.push_back({Output::Kind::Unsolicited, Info("+CMTI: " + Quote(fMem[2]) + "," + std::to_string(index)), {}, {}});
  }
  return index;
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

void Modem::InjectRing(std::string_view number, std::vector<Output>& out) {
  fCall = CallState::Incoming;
  fCallNumber = std::string(number);
  std::string text = fCrc ? Info("+CRING: VOICE") : FinalText("RING");
  if (fClip && !number.empty()) {
    text += Info("+CLIP: " + Quote(number) + "," + (number.starts_with('+') ? "145" : "129"));
  }
  out.push_back({Output::Kind::Unsolicited, text, {}, {}});
}

void Modem::InjectHangup(std::vector<Output>& out) {
  if (fCall == CallState::Idle) return;
  fCall = CallState::Idle;
  out.push_back({Output::Kind::Unsolicited, FinalText("NO CARRIER"), {}, {}});
}

void Modem::InjectUssd(const UssdAnswer& answer, std::vector<Output>& out) {
  out.push_back({Output::Kind::Unsolicited, Info(UssdLine(answer)), {}, {}});
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
  s += "\nmemories: " + fMem[0] + "," + fMem[1] + "," + fMem[2] + "\n";
  for (const auto& [name, mem] : fSms) {
    s += "  " + name + ": " + std::to_string(mem.slots.size()) + "/" + std::to_string(mem.capacity) + "\n";
  }
  s += "submitted: " + std::to_string(fSubmitted.size()) + "\n";
  return s;
}

}  // namespace qvsim
