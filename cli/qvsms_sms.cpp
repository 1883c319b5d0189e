// qvsms: the "sms" commands. Messages are shown whole by default: a listing
// joins the parts it holds (a snapshot: what is missing is marked at once),
// and the watcher reports each message once, when all of it arrived or its
// time ran out.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>

#include "qvsms_cli.h"
#include "qvsms_message.h"
#include "qvsms_modem.h"
#include "qvsms_output.h"
#include "qvtext.h"

namespace qvsms {

namespace {

using qv::StringToUtf8;
using qv::Utf8ToString;

struct TSendArgs {
  std::string number;
  std::string text = "-";
  TOutgoingOptions out;
  bool waitReport = false;
  double reportTimeout = 300;
  std::string serviceCentre;  // empty: the modem's
};

struct TStoreArgs {
  std::string memory;  // empty: the modem's read memory
  std::string status = "all";
  bool parts = false;
  std::vector<int> indexes;
  bool all = false;   // sms delete --all
  bool read = false;  // sms delete --read
};

struct TWatchArgs {
  std::string mode = "stored";
  bool deleteWhole = false;
  bool parts = false;
  double partTimeout = TqvSmsAssembler::kDefaultTimeout.count() / 1000.0;
};

// One message as a listing gave it.
struct TListed {
  std::u16string memory;
  int32_t index;
  TqvPduSms sms;
};

const std::map<std::string, TSmsStatus> kStatuses = {{"all", TSmsStatus::ssAll},       {"unread", TSmsStatus::ssUnRead},
                                                     {"read", TSmsStatus::ssRead},     {"unsent", TSmsStatus::ssUnSent},
                                                     {"sent", TSmsStatus::ssSent}};

std::string ReadAll(std::istream& in) {
  std::string text(std::istreambuf_iterator<char>(in), {});
  // The line end an echo or a here-document adds is no part of the message.
  if (text.ends_with("\r\n"))
    text.resize(text.size() - 2);
  else if (text.ends_with("\n"))
    text.pop_back();
  return text;
}

// Numbers compare by their digits; a national and an international form of
// one number match when the longer one ends with the shorter one.
bool SameNumber(std::u16string_view a, std::u16string_view b) {
  auto digits = [](std::u16string_view s) {
    std::u16string d;
    for (char16_t c : s)
      if (c >= u'0' && c <= u'9') d += c;
    return d;
  };
  const std::u16string x = digits(a), y = digits(b);
  const std::u16string& shorter = x.size() < y.size() ? x : y;
  const std::u16string& longer = x.size() < y.size() ? y : x;
  return !shorter.empty() && (x == y || (shorter.size() >= 6 && longer.ends_with(shorter)));
}

void UseMemory(TModem& m, const std::string& memory) {
  if (memory.empty()) return;
  std::string upper = memory;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  m.Gsm().SetMemoryRead(Utf8ToString(upper));
}

std::u16string ReadMemory(TModem& m) {
  const std::u16string mem = m.Gsm().MemoryRead();
  return mem.empty() ? u"SM" : mem;
}

// ---------------------------------------------------------------------------
// Listing

// The messages of the read memory with `status`, by index; a progress bar
// counts them on a terminal.
std::vector<TListed> ListStore(TContext& x, TModem& m, TSmsStatus status) {
  TCliGsm& g = m.Gsm();
  g.UpdateMemoryState();
  const int total = status == TSmsStatus::ssAll ? std::max(0, g.MemReadUsed()) : 0;
  const auto bar = x.Out().Progress("reading " + StringToUtf8(ReadMemory(m)), total);
  std::vector<TListed> items;
  bool ended = false;
  g.OnSmsListItem = [&](TObject*, const std::u16string& mem, int32_t index, TqvPduSms* sms) {
    if (!sms) {
      ended = true;  // the end mark
      return;
    }
    items.push_back({mem, index, *sms});
    bar->Step();
  };
  g.SmsList(false, status);
  const bool started = g.LastError().empty();
  const bool done = started && m.PumpUntil([&] { return ended; }, m.Timeout() * (total + 5));
  g.OnSmsListItem = nullptr;
  if (!done || !g.LastError().empty()) m.Fail("the listing failed");
  std::stable_sort(items.begin(), items.end(), [](const TListed& a, const TListed& b) { return a.index < b.index; });
  return items;
}

// The listed messages joined into whole ones, by their first index.
std::vector<TqvSmsMessage> Reassembled(const std::vector<TListed>& items) {
  TqvSmsAssembler assembler;
  assembler.SetSnapshot(true);
  std::vector<TqvSmsMessage> messages;
  assembler.OnMessage = [&](TObject*, const TqvSmsMessage& m) { messages.push_back(m); };
  for (const TListed& it : items) assembler.Add(it.sms, it.memory, it.index);
  assembler.Flush();
  std::stable_sort(messages.begin(), messages.end(), [](const TqvSmsMessage& a, const TqvSmsMessage& b) {
    return a.Parts.front().Index < b.Parts.front().Index;
  });
  return messages;
}

int SmsList(TContext& x, const TStoreArgs& a) {
  TModem& m = x.Modem();
  UseMemory(m, a.memory);
  const std::vector<TListed> items = ListStore(x, m, kStatuses.at(a.status));
  const std::u16string mem = ReadMemory(m);
  TJson list = TJson::array();
  std::vector<std::vector<std::string>> rows{MessageHeader()};
  if (a.parts) {
    for (const TListed& it : items) {
      list.push_back(PartJson(it.sms, TqvSmsPartPlace{it.sms.PartNumber(), it.memory, it.index}));
      rows.push_back(PartRow(it.sms, it.index));
    }
  } else {
    for (const TqvSmsMessage& msg : Reassembled(items)) {
      list.push_back(MessageJson(msg));
      rows.push_back(MessageRow(msg));
    }
  }
  if (x.Out().Json())
    x.Out().Object({{"memory", StringToUtf8(mem)}, {"messages", list}});
  else if (rows.size() == 1)
    x.Out().Line("no messages in " + StringToUtf8(mem));
  else
    x.Out().Table(rows);
  return exDone;
}

// ---------------------------------------------------------------------------
// One message

void PrintMessage(TContext& x, const TqvSmsMessage& msg) {
  if (x.Out().Json()) return x.Out().Object(MessageJson(msg));
  x.Out().Table({MessageHeader(), MessageRow(msg)});
}

int SmsGet(TContext& x, const TStoreArgs& a) {
  TModem& m = x.Modem();
  UseMemory(m, a.memory);
  const std::u16string mem = ReadMemory(m);
  const int32_t index = a.indexes.front();
  const TqvPduSms sms = m.Read(mem, index);
  if (sms.IsEmpty()) {
    if (!m.Gsm().LastError().empty()) m.Fail("reading failed");
    throw TCliError(exRefused, "no message at index " + std::to_string(index) + " in " + StringToUtf8(mem));
  }
  if (a.parts) {
    if (x.Out().Json()) x.Out().Object(PartJson(sms, TqvSmsPartPlace{sms.PartNumber(), mem, index}));
    else x.Out().Table({MessageHeader(), PartRow(sms, index)});
    return exDone;
  }
  if (sms.PartCount() <= 1 || sms.Error()) {
    TqvSmsMessage whole;
    TqvSmsAssembler single;
    single.OnMessage = [&](TObject*, const TqvSmsMessage& msg) { whole = msg; };
    single.Add(sms, mem, index);
    PrintMessage(x, whole);
    return exDone;
  }
  // A part: its message is whatever the store holds of it.
  for (const TqvSmsMessage& msg : Reassembled(ListStore(x, m, TSmsStatus::ssAll)))
    for (const auto& p : msg.Parts)
      if (p.Index == index) {
        PrintMessage(x, msg);
        return exDone;
      }
  throw TCliError(exRefused, "message " + std::to_string(index) + " was gone when the store was listed");
}

// Every message, or the read ones: in one line where the modem takes it,
// else message by message (the library falls back by itself).
int SmsDeleteScope(TContext& x, const TStoreArgs& a) {
  TModem& m = x.Modem();
  UseMemory(m, a.memory);
  const std::u16string mem = ReadMemory(m);
  TCliGsm& g = m.Gsm();
  g.UpdateMemoryState();  // the size of the memory, for deleting one by one
  if (!g.SmsDeleteAll(a.all ? TSmsDeleteScope::sdAll : TSmsDeleteScope::sdRead))
    m.Fail("the messages of " + StringToUtf8(mem) + " could not be deleted");
  g.UpdateMemoryState();
  const int32_t left = g.LastError().empty() ? g.MemReadUsed() : -1;
  const char* scope = a.all ? "all" : "read";
  if (x.Out().Json())
    x.Out().Object({{"memory", StringToUtf8(mem)}, {"scope", scope}, {"left", left < 0 ? TJson(nullptr) : TJson(left)}});
  else
    x.Out().Line(std::string("deleted ") + (a.all ? "every" : "the read") + " message from " + StringToUtf8(mem) +
                 (left < 0 ? "" : "; " + std::to_string(left) + " left"));
  return exDone;
}

int SmsDelete(TContext& x, const TStoreArgs& a) {
  if (a.all || a.read) {
    if (!a.indexes.empty()) throw TCliError(exUsage, "give indexes or --all / --read, not both");
    return SmsDeleteScope(x, a);
  }
  if (a.indexes.empty()) throw TCliError(exUsage, "give the indexes to delete, or --all or --read");
  TModem& m = x.Modem();
  UseMemory(m, a.memory);
  const std::u16string mem = ReadMemory(m);
  std::vector<int> deleted;
  auto report = [&] {
    if (x.Out().Json()) {
      x.Out().Object({{"memory", StringToUtf8(mem)}, {"deleted", deleted}});
    } else if (!deleted.empty()) {
      std::string line = "deleted from " + StringToUtf8(mem) + ":";
      for (int i : deleted) line += " " + std::to_string(i);
      x.Out().Line(line);
    }
  };
  for (int index : a.indexes) {
    if (m.Delete(mem, index)) {
      deleted.push_back(index);
      continue;
    }
    report();
    try {
      m.Fail("the modem refused");
    } catch (const TCliError& e) {
      throw TCliError(e.Code(), "deleting message " + std::to_string(index) + ": " + e.what());
    }
  }
  report();
  return exDone;
}

// ---------------------------------------------------------------------------
// Sending

// The delivery reports of the parts sent, as they come: true once every
// part has a final one (delivered or failed).
class TReportWait {
 public:
  TReportWait(std::u16string number, std::vector<int> refs) : fNumber(std::move(number)), fRefs(std::move(refs)) {}
  void Take(const TqvPduSms& r) {
    if (!r.Report() || !SameNumber(r.Phone(), fNumber)) return;
    if (std::find(fRefs.begin(), fRefs.end(), r.RefId()) == fRefs.end()) return;
    if (ReportOutcome(r.ReportStatus()) == "pending") return;  // a final one follows
    fFinal.insert_or_assign(r.RefId(), r);
  }
  // No reference, no report to wait for: never taken for delivered.
  bool Done() const { return !fRefs.empty() && fFinal.size() >= std::set<int>(fRefs.begin(), fRefs.end()).size(); }
  bool Delivered() const {
    return Done() && std::all_of(fFinal.begin(), fFinal.end(),
                                 [](const auto& f) { return ReportOutcome(f.second.ReportStatus()) == "delivered"; });
  }
  TJson Json() const {
    TJson list = TJson::array();
    for (const auto& [ref, r] : fFinal)
      list.push_back({{"reference", ref},
                      {"outcome", ReportOutcome(r.ReportStatus())},
                      {"status", r.ReportStatus()},
                      {"discharged", IsoDate(r.ReportDateTime(), r.ReportGmtMinutes())}});
    return list;
  }

 private:
  std::u16string fNumber;
  std::vector<int> fRefs;
  std::map<int, TqvPduSms> fFinal;
};

// What the modem announced, as records: read now where the announcement
// brought none.
std::vector<TListed> Arrived(TModem& m) {
  std::vector<TListed> r;
  for (TIncoming& in : m.TakeIncoming()) {
    if (in.sms && !in.sms->IsEmpty()) {
      r.push_back({in.memory, in.index, std::move(*in.sms)});
    } else if (!in.memory.empty()) {
      TqvPduSms sms = m.Read(in.memory, in.index);
      if (!sms.IsEmpty()) r.push_back({in.memory, in.index, std::move(sms)});  // else gone meanwhile
    }
  }
  return r;
}

int SmsSend(TContext& x, const TSendArgs& a) {
  const std::string text = a.text == "-" ? ReadAll(std::cin) : a.text;
  TqvPduSms sms = BuildOutgoing(a.out, a.number, text);  // usage errors before the modem is touched
  if (a.waitReport) sms.SetConfirm(true);
  const std::u16string centre = Utf8ToString(a.serviceCentre);
  if (!centre.empty())
    if (const std::u16string why = qv::gsm::CheckValue(qv::gsm::TValueKind::vkPhone, centre); !why.empty())
      throw TCliError(exUsage, "--smsc \"" + a.serviceCentre + "\": " + StringToUtf8(why));
  const int parts = sms.PartCount();
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  std::vector<int> refs;
  g.OnSmsSent = [&](TObject*, const std::u16string&, int32_t ref, TqvPduSms*) { refs.push_back(ref); };
  const bool sent = !g.SmsSendWaitRefID(sms, centre).empty();
  g.OnSmsSent = nullptr;
  if (!sent) m.Fail("the message was not sent");

  TJson result = {{"to", a.number}, {"coding", CodingName(sms.Coding())}, {"parts", parts}, {"references", refs}};
  if (!centre.empty()) result["service_centre"] = a.serviceCentre;
  int code = exDone;
  std::string failure;
  if (a.waitReport) {
    TReportWait wait(sms.Phone(), refs);
    m.PumpUntil(
        [&] {
          for (const TListed& it : Arrived(m)) wait.Take(it.sms);
          return wait.Done();
        },
        a.reportTimeout);
    result["delivered"] = wait.Delivered();
    result["reports"] = wait.Json();
    if (!wait.Done()) {
      code = exTimeout;
      failure = "no delivery report within " + std::to_string(static_cast<int>(a.reportTimeout)) + " s";
    } else if (!wait.Delivered()) {
      code = exRefused;
      failure = "the message was not delivered";
    }
  }
  if (x.Out().Json()) {
    x.Out().Object(result);
  } else {
    std::string line = "sent to " + a.number + " in " + std::to_string(parts) + (parts == 1 ? " part" : " parts") +
                       ", reference";
    for (int r : refs) line += " " + std::to_string(r);
    if (a.waitReport && code == exDone) line += "; delivered";
    x.Out().Line(line);
  }
  if (code != exDone) throw TCliError(code, failure);
  return exDone;
}

// ---------------------------------------------------------------------------
// Watching

class TWatcher {
 public:
  TWatcher(TContext& x, const TWatchArgs& a)
      : x_(x), a_(a), m_(x.Modem(a.mode == "direct" ? TContext::TDelivery::dlDirect : TContext::TDelivery::dlStored)) {
    assembler_.SetTimeout(std::chrono::milliseconds(static_cast<int64_t>(a.partTimeout * 1000)));
    assembler_.OnMessage = [this](TObject*, const TqvSmsMessage& msg) { ready_.push_back(msg); };
    assembler_.OnDuplicate = [this](TObject*, const TqvSmsPartPlace& p) { copies_.push_back(p); };
    m_.Gsm().OnRing = [this](TObject*, const std::u16string& number) { Ring(number); };
    m_.Gsm().OnSmsMemoryFull = [this](TObject*) { StoreFull(); };
  }

  int Run() {
    // What a stopped watcher left in the store is taken in first, so that a
    // message it saw only in part is completed now.
    if (a_.deleteWhole)
      for (TListed& it : ListStore(x_, m_, TSmsStatus::ssAll)) Take(it);
    // A modem without the indicator still tells a full store when a line fails with it.
    m_.Gsm().EnableStoreIndicator();
    Started();
    try {
      for (;;) {
        Flush();
        m_.PumpUntil([&] { return m_.HasIncoming(); }, 0.25);
        for (TListed& it : Arrived(m_)) Take(it);
        assembler_.Expire();
        if (!m_.Comm().Active()) m_.Fail("the modem went away");
        if (!x_.Out().Good()) throw TCliError(exRefused, "standard output is closed");
      }
    } catch (const TInterrupted&) {
      // Parts delivered directly exist nowhere else: what arrived is shown.
      // Stored parts stay in the store for the next watcher.
      if (a_.mode == "direct") {
        assembler_.Flush();
        Flush();
      }
      throw;
    }
  }

 private:
  void Started() {
    const std::string device = m_.DeviceName();
    if (x_.Out().Json())
      x_.Out().Object({{"event", "watching"}, {"device", device}, {"mode", a_.mode}});
    else
      std::fprintf(stderr, "watching %s (Ctrl-C ends)\n", device.c_str());
  }

  void Take(TListed& it) {
    if (!a_.parts) return assembler_.Add(it.sms, it.memory, it.index);
    Print(PartJson(it.sms, TqvSmsPartPlace{it.sms.PartNumber(), it.memory, it.index}), it.sms.Report(),
          PartRow(it.sms, it.index));
    if (a_.deleteWhole) Delete({it.sms.PartNumber(), it.memory, it.index});
  }

  void Flush() {
    for (const TqvSmsMessage& msg : ready_) {
      Print(MessageJson(msg), msg.First.Report(), MessageRow(msg));
      if (!a_.deleteWhole) continue;
      for (const auto& p : msg.Parts) Delete(p);
      for (const auto& p : msg.Duplicates) Delete(p);
    }
    ready_.clear();
    if (a_.deleteWhole)
      for (const auto& p : copies_) Delete(p);
    copies_.clear();
  }

  void Print(const TJson& fields, bool report, const std::vector<std::string>& row) {
    if (!x_.Out().Json()) return x_.Out().Table({row});
    TJson j = {{"event", report ? "report" : "message"}};
    for (const auto& [k, v] : fields.items()) j[k] = v;
    x_.Out().Object(j);
  }

  // New messages are lost or refused until the store has room again.
  void StoreFull() {
    if (x_.Out().Json())
      x_.Out().Object({{"event", "store-full"}});
    else
      std::fprintf(stderr, "the message store is full: new messages wait or are lost (qvsms sms delete --read)\n");
  }

  void Ring(const std::u16string& number) {
    if (x_.Out().Json())
      x_.Out().Object({{"event", "ring"}, {"number", number.empty() ? TJson(nullptr) : TJson(StringToUtf8(number))}});
    else
      x_.Out().Line("ring" + (number.empty() ? std::string() : " from " + StringToUtf8(number)));
  }

  // Only what the store holds is deleted; a failure is told and the watch goes on.
  void Delete(const TqvSmsPartPlace& p) {
    if (p.Memory.empty() || m_.Delete(p.Memory, p.Index)) return;
    x_.Out().Error(exRefused, "could not delete message " + std::to_string(p.Index) + " in " +
                                  StringToUtf8(p.Memory) + ": " + StringToUtf8(m_.Gsm().LastError()));
  }

  TContext& x_;
  const TWatchArgs& a_;
  TModem& m_;
  TqvSmsAssembler assembler_;
  std::vector<TqvSmsMessage> ready_;
  std::vector<TqvSmsPartPlace> copies_;
};

}  // namespace

void AddSmsCommands(TCommandTable& table) {
  auto send = std::make_shared<TSendArgs>();
  table.push_back({"sms send", "Send a message; a long text goes in as many parts as it needs",
                   [send](CLI::App& c) {
                     c.add_option("number", send->number, "The recipient")->required();
                     c.add_option("text", send->text, "The text; - or nothing reads it from standard input");
                     AddOutgoingOptions(c, send->out);
                     c.add_flag("--wait-report", send->waitReport,
                                "Wait for the delivery report (matched by reference and recipient); implies --report");
                     c.add_option("--report-timeout", send->reportTimeout, "Seconds to wait for the report")
                         ->capture_default_str()
                         ->check(CLI::PositiveNumber);
                     c.add_option("--smsc", send->serviceCentre,
                                  "The service centre for this message (default: the modem's; qvsms smsc sets that)")
                         ->type_name("NUMBER");
                   },
                   [send](TContext& x) { return SmsSend(x, *send); }});

  auto list = std::make_shared<TStoreArgs>();
  table.push_back({"sms list", "List the stored messages, long ones joined from their parts",
                   [list](CLI::App& c) {
                     c.add_option("--memory", list->memory, "The memory to list (SM, ME, SR...; default: the modem's)");
                     c.add_option("--status", list->status, "Which messages")
                         ->capture_default_str()
                         ->check(CLI::IsMember({"all", "unread", "read", "unsent", "sent"}));
                     c.add_flag("--parts", list->parts, "Show each stored part as it is");
                   },
                   [list](TContext& x) { return SmsList(x, *list); }});

  auto get = std::make_shared<TStoreArgs>();
  table.push_back({"sms get", "Read one stored message (a part shows its whole message)",
                   [get](CLI::App& c) {
                     c.add_option("index", get->indexes, "The message's index")->required()->expected(1);
                     c.add_option("--memory", get->memory, "The memory (default: the modem's)");
                     c.add_flag("--parts", get->parts, "Show the stored part as it is");
                   },
                   [get](TContext& x) { return SmsGet(x, *get); }});

  auto del = std::make_shared<TStoreArgs>();
  table.push_back({"sms delete", "Delete stored messages by index, or all of them, or the read ones",
                   [del](CLI::App& c) {
                     c.add_option("index", del->indexes, "The indexes");
                     c.add_option("--memory", del->memory, "The memory (default: the modem's)");
                     auto* all = c.add_flag("--all", del->all, "Delete every message of the memory");
                     c.add_flag("--read", del->read, "Delete the messages that were read")->excludes(all);
                   },
                   [del](TContext& x) { return SmsDelete(x, *del); }});

  auto watch = std::make_shared<TWatchArgs>();
  table.push_back({"sms watch", "Report incoming messages, delivery reports and rings until interrupted",
                   [watch](CLI::App& c) {
                     c.add_option("--mode", watch->mode,
                                  "stored: the modem stores each message and the tool reads it (nothing is lost "
                                  "while no watcher runs); direct: messages come straight to the tool")
                         ->capture_default_str()
                         ->check(CLI::IsMember({"stored", "direct"}));
                     c.add_flag("--delete", watch->deleteWhole,
                                "Delete the stored parts of a message once all of it was printed; the store is "
                                "read first, so that messages begun before are completed");
                     c.add_flag("--parts", watch->parts, "Report each part as it comes, not joined");
                     c.add_option("--part-timeout", watch->partTimeout,
                                  "Seconds a message waits for its missing parts before it is shown without them")
                         ->capture_default_str()
                         ->check(CLI::PositiveNumber);
                   },
                   [watch](TContext& x) { return TWatcher(x, *watch).Run(); }});
}

}  // namespace qvsms
