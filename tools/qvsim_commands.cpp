// The modem's extended commands (+C..., +G... and vendor commands): one handler per command,
// found by name. A handler leaves its information lines in reply.infos and its final result
// ("OK" unless it fails) in reply.final.
#include <algorithm>
#include <map>

#include "qvsim_codec.h"
#include "qvsim_modem.h"
#include "qvsim_util.h"

namespace qvsim {

using detail::IsReceiveOnly;
using detail::Number;
using detail::Quote;
using detail::Upper;

struct Modem::Commands {
  using Cmd = Modem::Cmd;
  using Reply = Modem::Reply;
  using Op = Modem::Op;
  using Handler = void (*)(Modem&, const Cmd&, Reply&);

  static std::optional<int> Arg(const Cmd& cmd, size_t i) {
    if (i >= cmd.args.size() || !cmd.args[i].present) return std::nullopt;
    return Number(cmd.args[i].text);
  }

  static std::string List(const std::vector<std::string>& items) {
    std::string list;
    for (const auto& item : items) list += (list.empty() ? "" : ",") + Quote(item);
    return "(" + list + ")";
  }

  // Identification: the text on execution, OK on test, ERROR otherwise.
  static void Plain(const Cmd& cmd, Reply& reply, const std::string& text) {
    if (cmd.op == Op::Exec) {
      reply.infos.push_back(text);
    } else if (cmd.op != Op::Test) {
      reply.final = "ERROR";
    }
  }

  static void Cgmi(Modem& m, const Cmd& cmd, Reply& reply) { Plain(cmd, reply, m.fPersona.manufacturer); }
  static void Cgmm(Modem& m, const Cmd& cmd, Reply& reply) { Plain(cmd, reply, m.fPersona.model); }
  static void Cgmr(Modem& m, const Cmd& cmd, Reply& reply) { Plain(cmd, reply, m.fPersona.revision); }
  static void Cgsn(Modem&, const Cmd& cmd, Reply& reply) { Plain(cmd, reply, kImei); }
  static void Gcap(Modem&, const Cmd& cmd, Reply& reply) { Plain(cmd, reply, "+GCAP: +CGSM,+DS,+ES"); }

  static void Cimi(Modem& m, const Cmd& cmd, Reply& reply) {
    if (!m.NeedsSim(reply, false)) Plain(cmd, reply, kImsi);
  }

  static void Cnum(Modem& m, const Cmd& cmd, Reply& reply) {
    if (!m.NeedsSim(reply, false)) Plain(cmd, reply, std::string("+CNUM: \"Own number\",\"") + kOwnNumber + "\",145");
  }

  static void Cmee(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CMEE: " + std::to_string(m.fCmee));
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back("+CMEE: (0-2)");
    } else {
      const auto v = cmd.args.empty() || !cmd.args[0].present ? std::optional<int>(0) : Arg(cmd, 0);
      if (!v || *v < 0 || *v > 2) {
        reply.final = "ERROR";
      } else {
        m.fCmee = *v;
      }
    }
  }

  static void Cscs(Modem& m, const Cmd& cmd, Reply& reply) {
    const auto& sets = m.fPersona.charsets;
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CSCS: " + Quote(m.fCharset));
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back("+CSCS: " + List(sets));
    } else if (cmd.op == Op::Set && !cmd.args.empty()) {
      // in UCS2 mode the name of the new set may come in UCS2 hex too
      const std::string set = Upper(m.DecodeName(cmd.args[0].text));
      if (std::find(sets.begin(), sets.end(), set) == sets.end()) {
        reply.final = m.CmeError(4);
      } else {
        m.fCharset = set;
      }
    } else {
      reply.final = "ERROR";
    }
  }

  static void Clac(Modem& m, const Cmd&, Reply& reply) {
    std::string text;
    for (const auto& [name, handler] : Table()) text += (text.empty() ? "AT" : "\r\nAT") + std::string(name);
    for (const auto& name : m.fPersona.vendorCommands) text += "\r\nAT" + name;
    reply.infos.push_back(text);
  }

  // ---- SIM

  static void Cpin(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.fSimBusy && cmd.op != Op::Test) {
      reply.final = m.CmeError(14);
    } else if (cmd.op == Op::Read) {
      static const char* kNames[] = {"READY", "SIM PIN", "SIM PUK"};
      reply.infos.push_back(std::string("+CPIN: ") + kNames[static_cast<int>(m.fPinState)]);
    } else if (cmd.op != Op::Test) {
      if (cmd.op != Op::Set || cmd.args.empty() || !cmd.args[0].present) {
        reply.final = m.CmeError(50);
      } else if (m.fPinState == PinState::Ready) {
        reply.final = m.CmeError(3);  // nothing to enter
      } else if (m.fPinState == PinState::SimPin) {
        EnterPin(m, cmd.args[0].text, reply);
      } else {
        EnterPuk(m, cmd, reply);
      }
    }
  }

  static void EnterPin(Modem& m, const std::string& code, Reply& reply) {
    if (code == m.fPinCode) {
      m.fPinState = PinState::Ready;
      m.fPinAttempts = 3;
      return;
    }
    reply.final = m.CmeError(16);
    if (--m.fPinAttempts <= 0) m.fPinState = PinState::SimPuk;
  }

  static void EnterPuk(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.args.size() < 2 || !cmd.args[1].present) {
      reply.final = m.CmeError(12);
    } else if (m.fPukAttempts <= 0) {
      reply.final = m.CmeError(10);  // the SIM is blocked for good
    } else if (cmd.args[0].text == m.fPukCode) {
      m.fPinCode = cmd.args[1].text;
      m.fPinState = PinState::Ready;
      m.fPinAttempts = 3;
      m.fPukAttempts = 10;
    } else {
      --m.fPukAttempts;
      reply.final = m.CmeError(16);
    }
  }

  // AT+CPWD="SC",old,new changes the PIN; a wrong old PIN costs an attempt as a wrong PIN does.
  static void Cpwd(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CPWD: (\"SC\",8)");
    } else if (cmd.op != Op::Set || cmd.args.size() < 3 || cmd.args[0].text != "SC" || cmd.args[2].text.empty()) {
      reply.final = m.CmeError(50);
    } else if (!m.NeedsSim(reply, false)) {
      if (cmd.args[1].text == m.fPinCode) {
        m.fPinCode = cmd.args[2].text;
        m.fPinAttempts = 3;
      } else {
        reply.final = m.CmeError(16);
        if (--m.fPinAttempts <= 0) m.fPinState = PinState::SimPuk;
      }
    }
  }

  // ---- Message service settings

  static void Cmgf(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CMGF: " + std::to_string(m.fCmgf));
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back("+CMGF: (0)");  // PDU mode only
    } else if (cmd.op == Op::Set && Arg(cmd, 0) == 0) {
      if (m.SmsStarting(reply)) return;
      m.fCmgf = 0;
    } else {
      reply.final = m.CmsError(303);
    }
  }

  static void Csms(Modem& m, const Cmd& cmd, Reply& reply) {
    const auto service = Arg(cmd, 0);
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CSMS: " + std::to_string(m.fCsms) + ",1,1,1");
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back("+CSMS: (0,1)");
    } else if (cmd.op == Op::Set && (service == 0 || service == 1)) {
      m.fCsms = *service;
      reply.infos.push_back("+CSMS: 1,1,1");
    } else {
      reply.final = m.CmsError(303);
    }
  }

  static void Csca(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, true)) return;
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CSCA: " + Quote(m.EncodeText(m.fSca)) + "," + (m.fSca.starts_with('+') ? "145" : "129"));
    } else if (cmd.op == Op::Set && !cmd.args.empty() && cmd.args[0].present) {
      m.fSca = m.DecodeText(cmd.args[0].text).value_or(cmd.args[0].text);
    } else if (cmd.op != Op::Test) {
      reply.final = m.CmsError(304);
    }
  }

  static void Cnmi(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Read) {
      std::string s = "+CNMI: ";
      for (size_t i = 0; i < m.fCnmi.size(); ++i) s += (i ? "," : "") + std::to_string(m.fCnmi[i]);
      reply.infos.push_back(s);
      return;
    }
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CNMI: (0-2),(0-3),(0,2),(0-2),(0,1)");
      return;
    }
    if (cmd.op != Op::Set) {
      reply.final = "ERROR";
      return;
    }
    if (m.SmsStarting(reply)) return;
    static const int kMax[] = {3, 3, 3, 2, 1};  // <mode>,<mt>,<bm>,<ds>,<bfr>
    std::vector<int> next = m.fCnmi;
    for (size_t i = 0; i < cmd.args.size(); ++i) {
      if (!cmd.args[i].present) continue;  // an empty parameter keeps its value
      const auto v = Arg(cmd, i);
      if (i >= 5 || !v || *v < 0 || *v > kMax[i]) {
        reply.final = m.CmsError(303);
        return;
      }
      next[i] = *v;
    }
    m.fCnmi = next;
  }

  static void Cnma(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CNMA: (0-2)");
    } else if (!m.fAckPending) {
      reply.final = m.CmsError(340);
    } else {
      m.fAckPending = false;
    }
  }

  // Text mode parameters: accepted, not used in PDU mode.
  static void TextModeSetting(Modem&, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Read && cmd.name == "+CSDH") reply.infos.push_back("+CSDH: 0");
    if (cmd.op == Op::Read && cmd.name == "+CSMP") reply.infos.push_back("+CSMP: 17,167,0,0");
  }

  // ---- Sending and writing messages

  // +CMGS=<length> and +CMGW=<length>[,<stat>]: the prompt, then the PDU up to Ctrl-Z.
  static void SubmitOrWrite(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, true) || cmd.op == Op::Test) return;
    const auto length = Arg(cmd, 0);
    if (cmd.op != Op::Set || !length || *length < 1 || *length > 176) {
      reply.final = m.CmsError(304);
      return;
    }
    m.fPduLength = *length;
    m.fPduStatus = 2;
    const auto stat = Arg(cmd, 1);
    if (cmd.name == "+CMGW" && stat && (*stat == 2 || *stat == 3)) m.fPduStatus = *stat;
    m.fPdu.clear();
    m.fMode = cmd.name == "+CMGS" ? InputMode::PduSend : InputMode::PduWrite;
    reply.final.clear();  // the prompt follows
  }

  static void Cmss(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, true) || cmd.op == Op::Test) return;
    const auto index = Arg(cmd, 0);
    SmsMemory* mem = m.FindSms(m.fMem[1]);
    if (!index || mem == nullptr || !mem->slots.count(*index)) {
      reply.final = m.CmsError(321);
      return;
    }
    const auto reference = m.Submit(mem->slots.at(*index).pdu);
    if (!reference) {
      reply.final = m.CmsError(m.fFailCode);
      return;
    }
    mem->slots[*index].status = 3;
    reply.infos.push_back("+CMSS: " + std::to_string(*reference));
  }

  // ---- Message stores

  static void Cpms(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, true)) return;
    if (cmd.op == Op::Read) {
      std::string s = "+CPMS: ";
      for (int i = 0; i < 3; ++i) {
        const SmsMemory* mem = m.FindSms(m.fMem[i]);
        s += (i ? "," : "") + Quote(m.fMem[i]) + "," + std::to_string(mem ? mem->slots.size() : 0) + "," +
             std::to_string(mem ? mem->capacity : 0);
      }
      reply.infos.push_back(s);
    } else if (cmd.op == Op::Test) {
      std::vector<std::string> all, writable;
      for (const MemoryInfo& mem : m.fPersona.smsMemories) {
        all.push_back(mem.name);
        if (!IsReceiveOnly(mem.name)) writable.push_back(mem.name);
      }
      reply.infos.push_back("+CPMS: " + List(all) + "," + List(writable) + "," + List(writable));
    } else if (cmd.op == Op::Set) {
      SelectMemories(m, cmd, reply);
    } else {
      reply.final = "ERROR";
    }
  }

  static void SelectMemories(Modem& m, const Cmd& cmd, Reply& reply) {
    std::string next[3] = {m.fMem[0], m.fMem[1], m.fMem[2]};
    for (size_t i = 0; i < cmd.args.size() && i < 3; ++i) {
      if (!cmd.args[i].present) continue;
      const std::string name = Upper(m.DecodeName(cmd.args[i].text));
      const auto& mems = m.fPersona.smsMemories;
      const bool known = std::any_of(mems.begin(), mems.end(), [&](const MemoryInfo& x) { return x.name == name; });
      if (!known || (i > 0 && IsReceiveOnly(name))) {
        reply.final = m.CmsError(302);
        return;
      }
      next[i] = name;
    }
    std::copy(std::begin(next), std::end(next), m.fMem);
    reply.infos.push_back(m.CpmsCounts());
  }

  static void Cmgl(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, true)) return;
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CMGL: (0-4)");
      return;
    }
    const int stat = cmd.op == Op::Exec ? 0 : Arg(cmd, 0).value_or(-1);  // 4: all
    SmsMemory* mem = m.FindSms(m.fMem[0]);
    if (stat < 0 || stat > 4 || mem == nullptr) {
      reply.final = m.CmsError(304);
      return;
    }
    std::string block;
    for (auto& [index, sms] : mem->slots) {
      if (stat != 4 && sms.status != stat) continue;
      if (!block.empty()) block += "\r\n";
      block += "+CMGL: " + std::to_string(index) + "," + std::to_string(sms.status) + ",," +
               std::to_string(TpduLength(sms.pdu)) + "\r\n" + sms.pdu;
      if (sms.status == 0) sms.status = 1;  // listed means read
    }
    if (!block.empty()) reply.infos.push_back(block);
  }

  static void Cmgr(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, true) || cmd.op == Op::Test) return;
    const auto index = Arg(cmd, 0);
    SmsMemory* mem = m.FindSms(m.fMem[0]);
    if (!index || mem == nullptr || *index < 1 || *index > mem->capacity) {
      reply.final = m.CmsError(321);
      return;
    }
    const auto it = mem->slots.find(*index);
    if (it == mem->slots.end()) return;  // an empty slot: just OK
    StoredSms& sms = it->second;
    reply.infos.push_back("+CMGR: " + std::to_string(sms.status) + ",," + std::to_string(TpduLength(sms.pdu)) +
                          "\r\n" + sms.pdu);
    if (sms.status == 0) sms.status = 1;
  }

  static void Cmgd(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, true)) return;
    SmsMemory* mem = m.FindSms(m.fMem[0]);
    if (cmd.op == Op::Test) {
      std::string used;
      if (mem != nullptr) {
        for (const auto& [index, sms] : mem->slots) used += (used.empty() ? "" : ",") + std::to_string(index);
      }
      reply.infos.push_back("+CMGD: (" + used + "),(0-4)");
      return;
    }
    const auto index = Arg(cmd, 0);
    const int flag = Arg(cmd, 1).value_or(0);
    if (mem == nullptr || flag < 0 || flag > 4 ||
        (flag == 0 && (!index || *index < 1 || *index > mem->capacity))) {
      reply.final = m.CmsError(321);
      return;
    }
    if (flag == 0) {
      mem->slots.erase(*index);
      return;
    }
    // 1: read, 2: read and sent, 3: read, sent and unsent, 4: all
    std::erase_if(mem->slots, [flag](const auto& slot) {
      const int s = slot.second.status;
      return flag == 4 || s == 1 || (flag >= 2 && s == 3) || (flag >= 3 && s == 2);
    });
  }

  // ---- Phone books

  static void Cpbs(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, false)) return;
    const Book* book = m.FindBook(m.fBook);
    if (cmd.op == Op::Read) {
      reply.infos.push_back("+CPBS: " + Quote(m.fBook) + "," + std::to_string(book ? book->entries.size() : 0) + "," +
                            std::to_string(book ? book->capacity : 0));
    } else if (cmd.op == Op::Test) {
      std::vector<std::string> names;
      for (const MemoryInfo& mem : m.fPersona.phoneBooks) names.push_back(mem.name);
      reply.infos.push_back("+CPBS: " + List(names));
    } else if (cmd.op == Op::Set && !cmd.args.empty()) {
      const std::string name = Upper(m.DecodeName(cmd.args[0].text));
      if (m.FindBook(name) == nullptr) {
        reply.final = m.CmeError(4);
      } else {
        m.fBook = name;
      }
    } else {
      reply.final = m.CmeError(50);
    }
  }

  static std::string Range(const Book& book) { return "(1-" + std::to_string(book.capacity) + ")"; }

  static void Cpbr(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, false)) return;
    const Book* book = m.FindBook(m.fBook);
    if (book == nullptr) {
      reply.final = m.CmeError(3);
      return;
    }
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CPBR: " + Range(*book) + "," + std::to_string(m.fPersona.maxNumberLength) + "," +
                            std::to_string(m.fPersona.maxNameLength));
      return;
    }
    const auto first = Arg(cmd, 0);
    const int last = Arg(cmd, 1).value_or(first.value_or(0));
    if (cmd.op != Op::Set || !first || *first < 1 || last < *first || last > book->capacity) {
      reply.final = m.CmeError(21);
      return;
    }
    std::string block;
    for (auto it = book->entries.lower_bound(*first); it != book->entries.end() && it->first <= last; ++it) {
      if (!block.empty()) block += "\r\n";
      block += m.PhoneBookLine(it->first, it->second);
    }
    if (!block.empty()) reply.infos.push_back(block);  // empty locations give no lines
  }

  static void Cpbw(Modem& m, const Cmd& cmd, Reply& reply) {
    if (m.NeedsSim(reply, false)) return;
    Book* book = m.FindBook(m.fBook);
    if (book == nullptr) {
      reply.final = m.CmeError(3);
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back("+CPBW: " + Range(*book) + "," + std::to_string(m.fPersona.maxNumberLength) +
                            ",(129,145,161)," + std::to_string(m.fPersona.maxNameLength));
    } else if (cmd.op != Op::Set || cmd.args.empty()) {
      reply.final = m.CmeError(50);
    } else if (book->readOnly) {
      reply.final = m.CmeError(3);
    } else {
      WriteEntry(m, *book, cmd, reply);
    }
  }

  static void WriteEntry(Modem& m, Book& book, const Cmd& cmd, Reply& reply) {
    std::optional<int> index = Arg(cmd, 0);
    if (cmd.args[0].present && (!index || *index < 1 || *index > book.capacity)) {
      reply.final = m.CmeError(21);
      return;
    }
    if (cmd.args.size() < 2 || !cmd.args[1].present) {  // the index alone deletes the entry
      if (!index) {
        reply.final = m.CmeError(21);
      } else {
        book.entries.erase(*index);
      }
      return;
    }
    const auto entry = ParseEntry(m, cmd, reply);
    if (!entry) return;
    for (int i = 1; i <= book.capacity && !index; ++i) {
      if (!book.entries.count(i)) index = i;  // no index: the first free location
    }
    if (!index) {
      reply.final = m.CmeError(20);
      return;
    }
    book.entries[*index] = *entry;
  }

  static std::optional<PhoneBookEntry> ParseEntry(Modem& m, const Cmd& cmd, Reply& reply) {
    PhoneBookEntry entry;
    entry.number = cmd.args[1].text;
    if (m.fCharset == "UCS2" && m.fPersona.ucs2Numbers) {
      entry.number = Ucs2HexToUtf8(entry.number).value_or(entry.number);
    }
    entry.type = Arg(cmd, 2).value_or(entry.number.starts_with('+') ? 145 : 129);
    const auto name = cmd.args.size() > 3 ? m.DecodeText(cmd.args[3].text) : std::optional<std::string>("");
    if (!name) {
      reply.final = m.CmeError(25);
      return std::nullopt;
    }
    entry.name = *name;
    const auto characters = std::count_if(entry.name.begin(), entry.name.end(),
                                          [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; });
    if (entry.number.size() > static_cast<size_t>(m.fPersona.maxNumberLength)) {
      reply.final = m.CmeError(26);
      return std::nullopt;
    }
    if (characters > m.fPersona.maxNameLength) {
      reply.final = m.CmeError(24);
      return std::nullopt;
    }
    return entry;
  }

  // ---- Status

  static void Csq(Modem& m, const Cmd& cmd, Reply& reply) {
    reply.infos.push_back(cmd.op == Op::Test ? "+CSQ: (0-31,99),(0-7,99)"
                                             : "+CSQ: " + std::to_string(m.fRssi) + "," + std::to_string(m.fBer));
  }

  static void Cbc(Modem& m, const Cmd& cmd, Reply& reply) {
    if (!m.fPersona.battery) {
      reply.final = "ERROR";  // not a command of this model
      return;
    }
    reply.infos.push_back(cmd.op == Op::Test ? "+CBC: (0-3),(0-100)"
                                             : "+CBC: " + std::to_string(m.fBcs) + "," + std::to_string(m.fBcl));
  }

  static void Cind(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CIND: (\"battchg\",(0-5)),(\"signal\",(0-5)),(\"service\",(0,1)),"
                            "(\"message\",(0,1)),(\"call\",(0,1)),(\"roam\",(0,1)),(\"smsfull\",(0,1))");
    } else if (cmd.op == Op::Read) {
      reply.infos.push_back("+CIND: " + std::to_string(m.fBcl / 20) + "," +
                            std::to_string(m.fRssi == 99 ? 0 : m.fRssi / 7) + ",1,0," +
                            (m.fCall == CallState::Active ? "1" : "0") + ",0," + (m.SmsFull(m.fMem[2]) ? "1" : "0"));
    } else {
      reply.final = "ERROR";
    }
  }

  // Indicator events: mode 3 with <ind> 1 sends "+CIEV:" lines; the keypad
  // and display events are not kept.
  static void Cmer(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CMER: (0,3),(0),(0),(0,1)");
    } else if (cmd.op == Op::Read) {
      reply.infos.push_back(m.fIndicators ? "+CMER: 3,0,0,1" : "+CMER: 0,0,0,0");
    } else if (cmd.op == Op::Set) {
      const int mode = Arg(cmd, 0).value_or(0), ind = Arg(cmd, 3).value_or(0);
      if ((mode != 0 && mode != 3) || Arg(cmd, 1).value_or(0) != 0 || Arg(cmd, 2).value_or(0) != 0 || ind < 0 || ind > 1) {
        reply.final = m.CmeError(3);
        return;
      }
      m.fIndicators = mode == 3 && ind == 1;
    } else {
      reply.final = "ERROR";
    }
  }

  static void Cfun(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CFUN: (0,1,4),(0,1)");
    } else if (cmd.op == Op::Read) {
      reply.infos.push_back("+CFUN: " + std::to_string(m.fFun));
    } else if (cmd.op == Op::Set && Arg(cmd, 0)) {
      m.fFun = *Arg(cmd, 0);
    } else {
      reply.final = m.CmeError(50);
    }
  }

  // +CREG, +CGREG, +CEREG: <n> 1 and 2 turn on the notifications of a change.
  static void Registration(Modem& m, const Cmd& cmd, Reply& reply) {
    int& mode = m.fRegMode[cmd.name];
    const auto n = Arg(cmd, 0);
    if (cmd.op == Op::Read) {
      reply.infos.push_back(cmd.name + ": " + std::to_string(mode) + "," + m.RegistrationFields(mode));
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back(cmd.name + ": (0-2)");
    } else if (cmd.op == Op::Set && n && *n >= 0 && *n <= 2) {
      mode = *n;
    } else {
      reply.final = m.CmeError(50);
    }
  }

  // Attached to the packet domain; attaching and detaching are accepted.
  static void Cgatt(Modem&, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Read) reply.infos.push_back("+CGATT: 1");
    if (cmd.op == Op::Test) reply.infos.push_back("+CGATT: (0,1)");
  }

  // Automatic selection only; the format of the read answer can be chosen (+COPS=3,<format>).
  static void Cops(Modem& m, const Cmd& cmd, Reply& reply) {
    const auto mode = Arg(cmd, 0), format = Arg(cmd, 1);
    if (cmd.op == Op::Read) {
      const bool registered = m.fRegStat == 1 || m.fRegStat == 5;
      reply.infos.push_back(registered ? "+COPS: 0," + std::to_string(m.fCopsFormat) + "," +
                                             Quote(m.fCopsFormat == 2 ? kOperatorNumeric : kOperatorName) + "," +
                                             std::to_string(m.fAct)
                                       : "+COPS: 0");
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back(std::string("+COPS: (2,") + Quote(kOperatorName) + ",\"QVM\"," + Quote(kOperatorNumeric) +
                            "),,(0-4),(0-2)");
    } else if (cmd.op == Op::Set && mode && (*mode == 0 || (*mode == 3 && format && (*format == 0 || *format == 2)))) {
      if (*mode == 3) m.fCopsFormat = *format;
    } else {
      reply.final = m.CmeError(50);
    }
  }

  static void Cpas(Modem& m, const Cmd&, Reply& reply) {
    const char* state = m.fCall == CallState::Incoming ? "3" : m.fCall == CallState::Active ? "4" : "0";
    reply.infos.push_back(std::string("+CPAS: ") + state);
  }

  // ---- Calls

  static void Flag(Modem&, const Cmd& cmd, Reply& reply, bool& flag, const char* readSuffix) {
    if (cmd.op == Op::Read) {
      reply.infos.push_back(cmd.name + ": " + (flag ? "1" : "0") + readSuffix);
    } else if (cmd.op == Op::Test) {
      reply.infos.push_back(cmd.name + ": (0,1)");
    } else if (cmd.op == Op::Set && (Arg(cmd, 0) == 0 || Arg(cmd, 0) == 1)) {
      flag = Arg(cmd, 0) == 1;
    } else {
      reply.final = "ERROR";
    }
  }

  static void Clip(Modem& m, const Cmd& cmd, Reply& reply) { Flag(m, cmd, reply, m.fClip, ",1"); }
  static void Crc(Modem& m, const Cmd& cmd, Reply& reply) { Flag(m, cmd, reply, m.fCrc, ""); }

  static void Chup(Modem& m, const Cmd&, Reply&) {
    if (m.fCall == CallState::Incoming) m.LogCall(2);
    m.fCall = CallState::Idle;
  }

  static void Clcc(Modem& m, const Cmd&, Reply& reply) {
    if (m.fCall == CallState::Idle) return;
    const bool incoming = m.fCall == CallState::Incoming;
    reply.infos.push_back(std::string("+CLCC: 1,") + (incoming ? "1,4" : "0,0") + ",0,0," + Quote(m.fCallNumber) +
                          "," + (m.fCallNumber.starts_with('+') ? "145" : "129"));
  }

  // A DTMF tone needs a call that is up.
  static void Vts(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+VTS: (0-9,*,#,A-D)");
    } else if (cmd.op != Op::Set || cmd.args.empty() || cmd.args[0].text.size() != 1 ||
               std::string_view("0123456789*#ABCD").find(cmd.args[0].text[0]) == std::string_view::npos) {
      reply.final = m.CmeError(50);
    } else if (m.fCall != CallState::Active) {
      reply.final = m.CmeError(3);
    } else {
      m.fTones += cmd.args[0].text;
    }
  }

  // ---- USSD: the network answers with the configured text, before or after the OK

  static void Cusd(Modem& m, const Cmd& cmd, Reply& reply) {
    if (cmd.op == Op::Read) {
      reply.infos.push_back(std::string("+CUSD: ") + (m.fUssdEnabled ? "1" : "0"));
      return;
    }
    if (cmd.op == Op::Test) {
      reply.infos.push_back("+CUSD: (0-2)");
      return;
    }
    const auto mode = cmd.args.empty() ? std::optional<int>(0) : Arg(cmd, 0);
    if (!mode || *mode < 0 || *mode > 2) {
      reply.final = m.CmeError(50);
      return;
    }
    m.fUssdEnabled = *mode == 1;
    if (cmd.args.size() < 2 || !cmd.args[1].present || *mode == 2 || m.NeedsSim(reply, false)) return;
    const UssdAnswer answer = m.UssdAnswerFor(cmd.args[1].text, cmd.args.size() > 2 ? Arg(cmd, 2).value_or(15) : 15);
    if (answer.cmeError != 0) {
      reply.final = m.CmeError(answer.cmeError);
    } else if (answer.timing == UssdTiming::BeforeOk) {
      reply.infos.push_back(m.UssdLine(answer));
    } else if (answer.timing == UssdTiming::AfterOk) {
      reply.after.push_back({Output::Kind::Unsolicited, m.Info(m.UssdLine(answer)), "+CUSD", answer.delay});
    }
  }

  static const std::map<std::string_view, Handler>& Table() {
    static const std::map<std::string_view, Handler> table = {
        {"+CBC", Cbc},   {"+CEREG", Registration}, {"+CFUN", Cfun},  {"+CGATT", Cgatt}, {"+CGMI", Cgmi},
        {"+CGMM", Cgmm}, {"+CGMR", Cgmr},
        {"+CGREG", Registration}, {"+CGSN", Cgsn}, {"+CHUP", Chup}, {"+CIMI", Cimi}, {"+CIND", Cind},
        {"+CLAC", Clac}, {"+CLCC", Clcc},  {"+CLIP", Clip}, {"+CMEE", Cmee}, {"+CMER", Cmer}, {"+CMGD", Cmgd},
        {"+CMGF", Cmgf}, {"+CMGL", Cmgl},  {"+CMGR", Cmgr}, {"+CMGS", SubmitOrWrite}, {"+CMGW", SubmitOrWrite},
        {"+CMMS", TextModeSetting}, {"+CMSS", Cmss}, {"+CNMA", Cnma}, {"+CNMI", Cnmi}, {"+CNUM", Cnum},
        {"+COPS", Cops}, {"+CPAS", Cpas},  {"+CPBR", Cpbr}, {"+CPBS", Cpbs}, {"+CPBW", Cpbw},
        {"+CPIN", Cpin}, {"+CPWD", Cpwd}, {"+CPMS", Cpms},  {"+CRC", Crc},   {"+CREG", Registration},
        {"+CRES", TextModeSetting},
        {"+CSAS", TextModeSetting}, {"+CSCA", Csca}, {"+CSCS", Cscs}, {"+CSDH", TextModeSetting},
        {"+CSMP", TextModeSetting}, {"+CSMS", Csms}, {"+CSQ", Csq}, {"+CUSD", Cusd}, {"+GCAP", Gcap},
        {"+GMI", Cgmi},  {"+GMM", Cgmm},   {"+GMR", Cgmr},  {"+GSN", Cgsn}, {"+VTS", Vts},
    };
    return table;
  }
};

bool Modem::Extended(const Cmd& cmd, Reply& reply) {
  const auto& table = Commands::Table();
  const auto it = table.find(cmd.name);
  if (it != table.end()) {
    it->second(*this, cmd, reply);
    return reply.final == "OK";
  }
  const auto& vendor = fPersona.vendorCommands;
  if (std::find(vendor.begin(), vendor.end(), cmd.name) != vendor.end()) return true;
  reply.final = "ERROR";  // a command this modem does not know
  return false;
}

// The persona's answer to a USSD request; packed models send requests as packed septets.
UssdAnswer Modem::UssdAnswerFor(const std::string& request, int dcs) const {
  std::string text = request;
  if (fPersona.ussdPacked && dcs == 15 && IsHex(request)) {
    text = UssdUnpack(request).value_or(request);
  } else {
    text = DecodeText(request).value_or(request);
  }
  const auto it = fUssdAnswers.find(text);
  return it != fUssdAnswers.end() ? it->second : fDefaultUssd.value_or(UssdAnswer{});
}

std::string Modem::UssdLine(const UssdAnswer& answer) const {
  const std::string status = "+CUSD: " + std::to_string(answer.status);
  if (!answer.withText) return status;
  UssdForm form = answer.form;
  if (form == UssdForm::Persona) {
    form = fPersona.ussdPacked ? UssdForm::Packed : fCharset == "UCS2" ? UssdForm::Ucs2 : UssdForm::Plain;
  }
  std::string text;
  int dcs = answer.dcs;
  if (answer.raw) {
    text = answer.text;
  } else if (form == UssdForm::Packed) {
    text = UssdPack(answer.text);
    dcs = 15;
  } else if (form == UssdForm::Ucs2) {
    text = Utf8ToUcs2Hex(answer.text);
    dcs = 72;
  } else {
    text = EncodeText(answer.text);
    dcs = 15;
  }
  return status + "," + Quote(text) + "," + std::to_string(dcs);
}

// One record line; the models with dated call lists give those their own layout.
std::string Modem::PhoneBookLine(int index, const PhoneBookEntry& e) const {
  const auto& dated = fPersona.datedBooks;
  const bool withDate = std::find(dated.begin(), dated.end(), fBook) != dated.end();
  const bool ucs2 = fCharset == "UCS2";
  const std::string number = ucs2 && (fPersona.ucs2Numbers || withDate) ? Utf8ToUcs2Hex(e.number) : e.number;
  std::string line = "+CPBR: " + std::to_string(index) + ",";
  if (withDate) line += std::to_string(e.kind) + ",";
  line += Quote(number) + "," + std::to_string(e.type) + "," + Quote(EncodeText(e.name));
  if (withDate) line += "," + Quote(EncodeText(e.date));
  return line;
}

}  // namespace qvsim
