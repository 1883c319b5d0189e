// The command-line tool end to end: the qvsms program runs against the modem
// simulator's pseudo-terminal, and the tests read the JSON it prints and its
// exit codes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "../tools/qvsim.h"
#include "platform/qvdispatcher.h"
#include "qvcomm.h"
#include "qvmodeldrivers.h"
#include "qvfakedevicetree.h"
#include "qvpty.h"
#include "qvsms_output.h"
#include "qvsms_ports.h"
#include "qvsmsassembler.h"
#include "qvtext.h"
#include "qvwin32di.h"

extern char** environ;

using namespace std::chrono_literals;
using TJson = nlohmann::json;

namespace {

// The program, run with arguments and standard input; its output is
// collected by a reader thread while it runs.
class TRun {
 public:
  explicit TRun(const std::vector<std::string>& args, const std::string& input = {}) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> all{QVSMS_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid_, QVSMS_PROGRAM, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) throw std::runtime_error("posix_spawn");
    (void)!::write(in[1], input.data(), input.size());
    ::close(in[1]);
    reader_ = std::thread([this, o = out[0], e = err[0]] { Read(o, e); });
  }
  ~TRun() {
    if (!exited_) {
      ::kill(pid_, SIGKILL);
      Wait(10s);
    }
    reader_.join();
  }

  // The exit code (128 + the signal for a program a signal ended); -1 when it
  // did not end in time.
  int Wait(std::chrono::milliseconds timeout = 60s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!exited_) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= end) return -1;
      std::this_thread::sleep_for(10ms);
    }
    std::unique_lock lk(m_);
    cv_.wait_for(lk, 10s, [&] { return eof_ == 2; });  // all of its output
    return code_;
  }
  void Signal(int sig) { ::kill(pid_, sig); }

  std::string Out() const { std::lock_guard lk(m_); return out_; }
  std::string Err() const { std::lock_guard lk(m_); return err_; }
  // Standard output as one JSON object (the output of a command).
  TJson Json() const { return TJson::parse(Out()); }
  // Every line of standard output as JSON.
  std::vector<TJson> JsonLines() const {
    std::vector<TJson> r;
    for (const auto& l : Lines(Out())) r.push_back(TJson::parse(l));
    return r;
  }
  // Waits until a line of standard output, read as JSON, holds `pred`.
  std::optional<TJson> WaitForLine(const std::function<bool(const TJson&)>& pred, std::chrono::milliseconds timeout) {
    std::unique_lock lk(m_);
    std::optional<TJson> found;
    cv_.wait_for(lk, timeout, [&] {
      for (const auto& l : Lines(out_)) {
        const TJson j = TJson::parse(l, nullptr, false);
        if (!j.is_discarded() && pred(j)) found = j;
      }
      return found.has_value() || eof_ == 2;
    });
    return found;
  }

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> r;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
      if (nl > start) r.push_back(text.substr(start, nl - start));
    return r;
  }

 private:
  void Read(int out, int err) {
    pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    char buf[4096];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
      if (::poll(fds, 2, -1) < 0) break;
      for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !fds[i].revents) continue;
        const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        std::lock_guard lk(m_);
        if (n > 0) {
          (i == 0 ? out_ : err_).append(buf, static_cast<size_t>(n));
        } else {
          ::close(fds[i].fd);
          fds[i].fd = -1;
          ++eof_;
        }
        cv_.notify_all();
      }
    }
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::string out_, err_;
  int eof_ = 0;
  std::thread reader_;
};

// A simulated modem and the arguments that point the tool at it.
struct TSim {
  explicit TSim(std::string_view persona = "siemens_mc35i") : sim(persona) {}
  std::vector<std::string> Args(std::vector<std::string> rest, std::string timeout = "2") const {
    std::vector<std::string> a{"--json", "--device", sim.DevicePath(), "--timeout", timeout};
    a.insert(a.end(), rest.begin(), rest.end());
    return a;
  }
  std::map<int, qvsim::StoredSms> Store(const std::string& mem) {
    return sim.WithModem([&](qvsim::Modem& m) { return m.SmsIn(mem); });
  }
  qvsim::Simulator sim;
};

// The DELIVER parts of `text` from `from`, as a network hands them over.
std::vector<std::string> DeliverParts(const std::u16string& from, const std::u16string& text, int ref) {
  TqvPduSms sms(true);
  sms.SetPhone(from);
  sms.SetAutoCutText(true);
  sms.SetDateTime(qv::PduDateTime({2024, 5, 17, 9, 30, 0, 0}));
  sms.SetText(text);
  sms.SetPartId(ref);
  std::vector<std::string> parts;
  for (int n = 1; n <= sms.PartCount(); ++n) {
    sms.SetPartNumber(n);
    parts.push_back(qv::StringToUtf8(sms.AsPDU()));
  }
  return parts;
}

size_t Count(std::string_view text, std::string_view what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string_view::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

std::u16string Repeat(std::u16string_view s, int n) {
  std::u16string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// A long text in three parts, with an escape pair (€) and characters of
// the extension table near the part boundaries.
const std::u16string kLongText = Repeat(u"0123456789", 15) + u"€[~]" + Repeat(u"abcdefghij", 15) + u"|end";

}  // namespace

// ---------------------------------------------------------------------------

TEST(QvsmsCli, IdentifyTellsWhatTheModemIs) {
  struct Case { const char* persona; const char* driver; const char* manufacturer; const char* model; };
  const Case cases[] = {
      {"nokia6230i", "Nokia 6230i", "Nokia", "Nokia 6230i"},
      {"siemens_mc35i", "Siemens M35i[t]", "SIEMENS", "MC35i"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.persona);
    TSim s(c.persona);
    TRun run(s.Args({"identify"}));
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    const TJson j = run.Json();
    EXPECT_EQ(j["device"], s.sim.DevicePath());
    EXPECT_EQ(j["driver"], c.driver);
    EXPECT_EQ(j["manufacturer"], c.manufacturer);
    EXPECT_EQ(j["model"], c.model);
    EXPECT_EQ(j["imei"], qvsim::kImei);
    EXPECT_EQ(j["imsi"], qvsim::kImsi);
    EXPECT_EQ(j["pin"], "Ready");
    EXPECT_EQ(j["signal"]["quality"], 21);
    EXPECT_EQ(j["signal"]["max"], 31);
    EXPECT_FALSE(j["memories"]["read"]["name"].is_null());
    EXPECT_TRUE(run.Err().empty()) << run.Err();
  }
}

// What the tool submitted, read back by the library, is the text it was given.
TEST(QvsmsCli, SendsShortAndLongMessages) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    std::u16string text;
    const char* coding;
    int parts;
  };
  const std::u16string cyrillic = Repeat(u"Привет, мир! ", 12);  // 156 UCS2 characters: three parts
  const Case cases[] = {
      {"single", {"sms", "send", "+491701234567", "hello"}, "", u"hello", "gsm7", 1},
      {"long UCS2 from standard input", {"sms", "send", "+491701234567", "-"}, qv::StringToUtf8(cyrillic) + "\n",
       cyrillic, "ucs2", 3},
      {"forced UCS2", {"sms", "send", "--unicode", "+491701234567", "hi"}, "", u"hi", "ucs2", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSim s;
    TRun run(s.Args(c.args), c.input);
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    const TJson j = run.Json();
    EXPECT_EQ(j["to"], "+491701234567");
    EXPECT_EQ(j["coding"], c.coding);
    EXPECT_EQ(j["parts"], c.parts);
    ASSERT_EQ(j["references"].size(), size_t(c.parts));

    const auto submitted = s.sim.WithModem([](qvsim::Modem& m) { return m.Submitted(); });
    ASSERT_EQ(submitted.size(), size_t(c.parts));
    TqvSmsAssembler joined;
    std::u16string text;
    joined.OnMessage = [&](TObject*, const TqvSmsMessage& m) { text = m.Text; };
    for (const auto& pdu : submitted) {
      TqvPduSms part(false);
      part.SetAsPDU(qv::Utf8ToString(pdu));
      EXPECT_EQ(part.Phone(), u"+491701234567");
      joined.Add(part);
    }
    EXPECT_EQ(text, c.text);
  }
}

TEST(QvsmsCli, WaitsForTheDeliveryReportsOfEveryPart) {
  TSim s;
  TRun run(s.Args({"sms", "send", "--wait-report", "--report-timeout", "20", "+491701234567",
                   qv::StringToUtf8(kLongText)}));
  ASSERT_EQ(run.Wait(), 0) << run.Err();
  const TJson j = run.Json();
  EXPECT_EQ(j["parts"], 3);
  EXPECT_EQ(j["delivered"], true);
  ASSERT_EQ(j["reports"].size(), 3u);
  for (const auto& r : j["reports"]) EXPECT_EQ(r["outcome"], "delivered");
}

// Long messages are listed whole: the parts stored out of order, with a copy,
// and a message whose middle part never came.
TEST(QvsmsCli, ListGetAndDeleteShowMessagesWhole) {
  TSim s;
  const auto whole = DeliverParts(u"+4917099887", kLongText, 0x42);
  const auto broken = DeliverParts(u"+4917011111", kLongText, 0x43);
  ASSERT_EQ(whole.size(), 3u);
  s.sim.WithModem([&](qvsim::Modem& m) {
    m.StoreSms("SM", DeliverParts(u"+4917055555", u"Short one", 1)[0], 1);  // 1
    m.StoreSms("SM", whole[2], 0);                                          // 2
    m.StoreSms("SM", whole[0], 0);                                          // 3
    m.StoreSms("SM", broken[0], 1);                                         // 4
    m.StoreSms("SM", whole[1], 0);                                          // 5
    m.StoreSms("SM", whole[2], 0);                                          // 6: a copy
    m.StoreSms("SM", broken[2], 1);                                         // 7
    return 0;
  });

  TRun list(s.Args({"sms", "list", "--memory", "SM"}));
  ASSERT_EQ(list.Wait(), 0) << list.Err();
  EXPECT_TRUE(list.Err().empty()) << "no progress bar on a pipe: " << list.Err();
  const TJson l = list.Json();
  EXPECT_EQ(l["memory"], "SM");
  ASSERT_EQ(l["messages"].size(), 3u) << l.dump(1);
  const TJson& shortOne = l["messages"][0];
  EXPECT_EQ(shortOne["indexes"], TJson::array({1}));
  EXPECT_EQ(shortOne["text"], "Short one");
  EXPECT_EQ(shortOne["status"], "read");
  const TJson& w = l["messages"][1];
  EXPECT_EQ(w["indexes"], TJson::array({3, 5, 2}));
  EXPECT_EQ(w["number"], "+4917099887");
  EXPECT_EQ(w["text"], qv::StringToUtf8(kLongText));
  EXPECT_EQ(w["complete"], true);
  EXPECT_EQ(w["part_count"], 3);
  EXPECT_EQ(w["reference"], 0x42);
  EXPECT_EQ(w["date"], "2024-05-17T09:30:00+00:00");
  EXPECT_EQ(w["duplicates"], TJson::parse(R"([{"part": 3, "memory": "SM", "index": 6}])"));
  const TJson& b = l["messages"][2];
  EXPECT_EQ(b["indexes"], TJson::array({4, 7}));
  EXPECT_EQ(b["complete"], false);
  EXPECT_EQ(b["missing"], TJson::array({2}));
  EXPECT_NE(b["text"].get<std::string>().find("[part 2 of 3 missing]"), std::string::npos);

  TRun parts(s.Args({"sms", "list", "--memory", "SM", "--parts"}));
  ASSERT_EQ(parts.Wait(), 0) << parts.Err();
  ASSERT_EQ(parts.Json()["messages"].size(), 7u);
  EXPECT_EQ(parts.Json()["messages"][1]["part"]["number"], 3);

  TRun get(s.Args({"sms", "get", "--memory", "SM", "5"}));  // the middle part
  ASSERT_EQ(get.Wait(), 0) << get.Err();
  EXPECT_EQ(get.Json()["indexes"], TJson::array({3, 5, 2}));
  EXPECT_EQ(get.Json()["text"], qv::StringToUtf8(kLongText));

  TRun del(s.Args({"sms", "delete", "--memory", "SM", "3", "5", "2", "6"}));
  ASSERT_EQ(del.Wait(), 0) << del.Err();
  EXPECT_EQ(del.Json()["deleted"], TJson::array({3, 5, 2, 6}));
  std::vector<int> left;
  for (const auto& [index, sms] : s.Store("SM")) left.push_back(index);
  EXPECT_EQ(left, (std::vector<int>{1, 4, 7}));

  TRun gone(s.Args({"sms", "get", "--memory", "SM", "3"}));
  EXPECT_EQ(gone.Wait(), 1);
  EXPECT_EQ(TJson::parse(gone.Err())["error"]["code"], 1) << gone.Err();
}

// The watcher reports a long message once, when whole, whatever order its
// parts come in and however often; with --delete the store is empty after.
// One whose part never comes is shown after the part time-out, marked. A
// signal ends the watch with the port released.
TEST(QvsmsCli, WatchReportsAMessageOnceWhenWhole) {
  struct Case {
    const char* name;
    const char* mode;
    bool del;
    std::vector<int> arrivals;  // part indexes, in the order the network sends them
    std::vector<int> missing;
    int signal;
  };
  const Case cases[] = {
      {"stored, deleted after", "stored", true, {2, 0, 2, 1}, {}, SIGTERM},
      {"direct", "direct", false, {2, 0, 2, 1}, {}, SIGINT},
      {"direct, a part lost", "direct", false, {2, 0}, {2}, SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TSim s;
    std::vector<std::string> args{"sms", "watch", "--mode", c.mode, "--part-timeout", c.missing.empty() ? "60" : "1"};
    if (c.del) args.push_back("--delete");
    TRun run(s.Args(args));
    ASSERT_TRUE(run.WaitForLine([](const TJson& j) { return j["event"] == "watching"; }, 30s)) << run.Err();

    const auto parts = DeliverParts(u"+4917099887", kLongText, 0x51);
    const auto route = c.del ? qvsim::SmsRoute::Store : qvsim::SmsRoute::Deliver;
    for (int n : c.arrivals) {
      const int index = s.sim.InjectSms(parts[static_cast<size_t>(n)], route);
      EXPECT_EQ(index > 0, c.del) << "stored when it is to be deleted, delivered otherwise";
    }
    s.sim.InjectRing("+4930123456");
    ASSERT_TRUE(run.WaitForLine([](const TJson& j) { return j["event"] == "ring"; }, 30s)) << run.Out() << run.Err();
    ASSERT_TRUE(run.WaitForLine([](const TJson& j) { return j["event"] == "message"; }, 30s)) << run.Err();
    if (c.del) {
      auto stored = [&] { return s.Store("SM").size() + s.Store("ME").size() + s.Store("MT").size(); };
      const auto end = std::chrono::steady_clock::now() + 20s;
      while (stored() > 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(20ms);
      EXPECT_EQ(stored(), 0u);  // the copy too
    }
    run.Signal(c.signal);
    EXPECT_EQ(run.Wait(), 128 + c.signal) << run.Err();

    int messages = 0;
    for (const TJson& j : run.JsonLines()) {
      if (j["event"] != "message") continue;
      ++messages;
      EXPECT_EQ(j["number"], "+4917099887");
      EXPECT_EQ(j["complete"], c.missing.empty());
      EXPECT_EQ(j["missing"], TJson(c.missing));
      const std::string text = j["text"];
      if (c.missing.empty()) {
        EXPECT_EQ(text, qv::StringToUtf8(kLongText));
      } else {
        EXPECT_NE(text.find("[part 2 of 3 missing]"), std::string::npos) << text;
      }
    }
    EXPECT_EQ(messages, 1) << run.Out();
    // Released: the port opens again at once.
    TqvComm comm;
    comm.SetDevicePath(qv::Utf8ToString(s.sim.DevicePath()));
    EXPECT_NO_THROW(comm.SetActive(true));
    comm.SetActive(false);
  }
}

// The smaller commands, each on the simulator or with no modem at all.
TEST(QvsmsCli, ReadingsRawCommandsDiagnosticAndPdus) {
  TSim s("nokia6230i");
  qv::test::TqvTempDir dir;
  const std::string diagFile = dir.Path() + "/diag.log";
  struct Case {
    std::vector<std::string> args;
    std::function<void(const TJson&)> check;
  };
  const Case cases[] = {
      {s.Args({"signal"}), [](const TJson& j) { EXPECT_EQ(j, TJson::parse(R"({"quality":21,"max":31,"percent":67})")); }},
      {s.Args({"battery"}), [](const TJson& j) { EXPECT_EQ(j, TJson::parse(R"({"level":85,"charging":false})")); }},
      {s.Args({"at", "AT+CGMI"}),
       [](const TJson& j) {
         EXPECT_EQ(j["lines"], TJson::parse(R"(["Nokia","OK"])"));
         EXPECT_EQ(j["result"], "OK");
       }},
      {s.Args({"diag", diagFile}),
       [&](const TJson& j) {
         EXPECT_EQ(j["file"], diagFile);
         EXPECT_FALSE(j["exchanges"].empty());
         std::ifstream in(diagFile);
         const std::string log((std::istreambuf_iterator<char>(in)), {});
         EXPECT_NE(log.find("Diagnostic:"), std::string::npos) << "every exchange in the file";
       }},
      {{"--json", "drivers"}, [](const TJson& j) { EXPECT_EQ(j["drivers"].size(), qv::kModelDrivers.size()); }},
      // This machine's own ports: listed, never asked.
      {{"--json", "ports", "--no-probe"}, [](const TJson& j) { EXPECT_TRUE(j["ports"].is_array()); }},
      {{"--json", "pdu", "decode", "07911326040000F0040B912143658709F1000080305241035021" "05E8329BFD06"},
       [](const TJson& j) {
         EXPECT_EQ(j["type"], "deliver");
         EXPECT_EQ(j["number"], "+12345678901");
         EXPECT_EQ(j["smsc"], "+31624000000");
         EXPECT_EQ(j["date"], "2008-03-25T14:30:05+03:00");
         EXPECT_EQ(j["text"], "hello");
       }},
      {{"--json", "pdu", "encode", "--to", "+12345678901", "--validity", "4d", "hello"},
       [](const TJson& j) {
         EXPECT_EQ(j["parts"], TJson::parse(R"([{"number":1,"pdu":"0011000B912143658709F10000AA05E8329BFD06","length":19}])"));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    TRun run(c.args);
    ASSERT_EQ(run.Wait(), 0) << run.Err();
    c.check(run.Json());
  }
}

// Usage errors are told before the modem is touched: exit 2, one line.
// A USSD code and its answer; answers given after the code while the network
// asks for more; a session left open is cancelled; refusals exit with 1 and 4.
TEST(QvsmsCli, UssdCodesAndTheirAnswers) {
  TSim s;
  s.sim.WithModem([](qvsim::Modem& m) {
    m.SetUssdAnswer("*100#", {.text = "Balance 1.00. 1: top up, 2: bonus", .status = 1});
    m.SetUssdAnswer("2", {.text = "Bonus \"summer\", 5 MB", .status = 0});
    m.SetUssdAnswer("*101#", {.text = "Menu: 1 more", .status = 1});
    m.SetUssdAnswer("*999#", {.status = 4, .withText = false});
    return 0;
  });
  TRun plain(s.Args({"ussd", "*100#", "2"}));
  ASSERT_EQ(plain.Wait(), 0) << plain.Err();
  const TJson j = plain.Json();
  EXPECT_EQ(j["status"], "done");
  EXPECT_EQ(j["text"], "Bonus \"summer\", 5 MB");
  ASSERT_EQ(j["exchanges"].size(), 2u);
  EXPECT_EQ(j["exchanges"][0]["status"], "action-required");
  EXPECT_FALSE(j["cancelled"]);

  TRun open(s.Args({"ussd", "*101#"}));
  ASSERT_EQ(open.Wait(), 0) << open.Err();
  EXPECT_TRUE(open.Json()["cancelled"]);
  EXPECT_NE(s.sim.GetTranscript().ToModem().find("AT+CUSD=2\r"), std::string::npos);

  TRun refused(s.Args({"ussd", "*999#"}));
  EXPECT_EQ(refused.Wait(), 1);
  EXPECT_EQ(refused.Json()["status"], "not-supported");

  s.sim.WithModem([](qvsim::Modem& m) {
    m.SetUssdAnswer("*102#", {.timing = qvsim::UssdTiming::Never});
    return 0;
  });
  TRun silent(s.Args({"ussd", "*102#", "--wait", "0.5"}));
  EXPECT_EQ(silent.Wait(), 4);
  TRun quoted(s.Args({"ussd", "*100#\""}));
  EXPECT_EQ(quoted.Wait(), 1) << "a request that would break the command line is refused";
}

// A phone book exported from one phone and imported into another holds the
// same records, names outside the 8-bit code page included.
TEST(QvsmsCli, PhoneBookExportAndImportRoundTrip) {
  const std::map<int, std::pair<std::string, std::string>> records = {
      {1, {"+4930111", "Anna"}}, {4, {"0301234", "J\u00FCrgen \u20AC"}}, {9, {"+4930999", "\u0411\u043E\u0440\u0438\u0441"}}};
  auto book = [](TSim& sim) {
    std::map<int, std::pair<std::string, std::string>> r;
    for (const auto& [i, e] : sim.sim.WithModem([](qvsim::Modem& m) { return m.PhoneBook("SM"); }))
      r[i] = {e.number, e.name};
    return r;
  };
  TSim from("nokia6230i"), to("nokia6230i");
  from.sim.WithModem([&](qvsim::Modem& m) {
    for (const auto& [i, e] : records) m.WritePhoneBook("SM", i, {e.first, e.first.starts_with('+') ? 145 : 129, e.second, "", 0});
    return 0;
  });
  qv::test::TqvTempDir dir;
  const std::string file = dir.Path() + "/book.txt";

  TRun list(from.Args({"phonebook", "list"}));
  ASSERT_EQ(list.Wait(), 0) << list.Err();
  ASSERT_EQ(list.Json()["records"].size(), 3u);
  EXPECT_EQ(list.Json()["records"][2]["name"], "\u0411\u043E\u0440\u0438\u0441");
  TRun out(from.Args({"phonebook", "export", file}));
  ASSERT_EQ(out.Wait(), 0) << out.Err();
  EXPECT_EQ(out.Json()["records"], 3);
  TRun in(to.Args({"phonebook", "import", file}));
  ASSERT_EQ(in.Wait(), 0) << in.Err();
  EXPECT_EQ(book(to), records);

  TRun unknown(from.Args({"phonebook", "list", "--memory", "XX"}));
  EXPECT_EQ(unknown.Wait(), 2);
  EXPECT_NE(unknown.Err().find("SM"), std::string::npos) << "the driver's phone books are named";
  TRun unwritable(from.Args({"phonebook", "export", dir.Path() + "/no/such/folder/book.txt"}));
  EXPECT_EQ(unwritable.Wait(), 2);
}

// A call stays up until the other side ends it or its time is up; a busy
// line exits with 1 and names the result.
TEST(QvsmsCli, CallsEndByThePeerOrByTheTool) {
  TSim s("nokia6230i");
  s.sim.WithModem([](qvsim::Modem& m) {
    m.SetCallEnd("NO CARRIER", 300ms);
    return 0;
  });
  TRun peer(s.Args({"call", "+4930123"}));
  ASSERT_EQ(peer.Wait(), 0) << peer.Err();
  EXPECT_EQ(peer.Json()["ended"], "peer");
  EXPECT_EQ(peer.Json()["result"], "NO CARRIER");

  s.sim.WithModem([](qvsim::Modem& m) {
    m.SetCallEnd("");
    return 0;
  });
  TRun timed(s.Args({"call", "+4930123", "--duration", "0.3"}));
  ASSERT_EQ(timed.Wait(), 0) << timed.Err();
  EXPECT_EQ(timed.Json()["ended"], "hangup");
  EXPECT_NE(s.sim.GetTranscript().ToModem().find("ATH\r"), std::string::npos);

  s.sim.WithModem([](qvsim::Modem& m) {
    m.SetDialResult("BUSY");
    return 0;
  });
  TRun busy(s.Args({"call", "+4930123"}));
  EXPECT_EQ(busy.Wait(), 1);
  EXPECT_NE(busy.Err().find("BUSY"), std::string::npos) << busy.Err();
  TRun bad(s.Args({"call", "+49;30"}));
  EXPECT_EQ(bad.Wait(), 1) << "a dial string that would break the line is refused";

  TRun hangup(s.Args({"hangup"}));
  EXPECT_EQ(hangup.Wait(), 0) << hangup.Err();

  // A ring that repeats until answered: the tool waits for it, answers, and hangs up in time.
  TRun answer(s.Args({"answer", "--ring-wait", "10", "--duration", "0.3"}));
  s.sim.InjectRing("+4930777", 4, 1000ms);
  ASSERT_EQ(answer.Wait(), 0) << answer.Err();
  EXPECT_EQ(answer.Json()["number"], "+4930777");
  EXPECT_EQ(answer.Json()["ended"], "hangup");
  EXPECT_NE(s.sim.GetTranscript().ToModem().find("ATA\r"), std::string::npos);
  TRun noRing(s.Args({"answer", "--ring-wait", "0.5"}));
  EXPECT_EQ(noRing.Wait(), 4);
}

// The watcher tells when the store fills: new messages would be lost.
TEST(QvsmsCli, WatchTellsAFullStore) {
  TSim s;
  s.sim.WithModem([](qvsim::Modem& m) { return m.SetSmsCapacity("SM", 1); });
  TRun run(s.Args({"sms", "watch"}));
  ASSERT_TRUE(run.WaitForLine([](const TJson& j) { return j["event"] == "watching"; }, 30s)) << run.Err();
  EXPECT_GT(s.sim.InjectSms(DeliverParts(u"+4917099887", u"fills it", 1)[0], qvsim::SmsRoute::Store), 0);
  EXPECT_TRUE(run.WaitForLine([](const TJson& j) { return j["event"] == "store-full"; }, 30s)) << run.Out() << run.Err();
  EXPECT_TRUE(run.WaitForLine([](const TJson& j) { return j.value("text", "") == "fills it"; }, 30s)) << run.Out();
  run.Signal(SIGTERM);
  EXPECT_EQ(run.Wait(), 128 + SIGTERM) << run.Err();
}

// The registration, its technology and the operator as the simulator has
// them; the service centre read, set, and given with one message.
TEST(QvsmsCli, NetworkAndServiceCentre) {
  TSim s("quectel_ec25");
  s.sim.InjectRegistration(1, 7);
  TRun home(s.Args({"network"}));
  ASSERT_EQ(home.Wait(), 0) << home.Err();
  EXPECT_EQ(home.Json(), TJson::parse(R"({"registration":"home","registered":true,"technology":"LTE","act":7,
                                          "operator":{"name":"QV Mobile","numeric":"00101"}})"));
  s.sim.InjectRegistration(3, 0);
  TRun denied(s.Args({"network"}));
  ASSERT_EQ(denied.Wait(), 0) << denied.Err();
  EXPECT_EQ(denied.Json()["registration"], "denied");
  EXPECT_EQ(denied.Json()["registered"], false);
  EXPECT_TRUE(denied.Json()["operator"]["name"].is_null()) << "no operator while not registered";
  TRun plain({"--device", s.sim.DevicePath(), "network"});
  ASSERT_EQ(plain.Wait(), 0) << plain.Err();
  EXPECT_EQ(plain.Out(), "network: denied\n");

  TRun read(s.Args({"smsc"}));
  ASSERT_EQ(read.Wait(), 0) << read.Err();
  EXPECT_EQ(read.Json()["service_centre"], s.sim.WithModem([](qvsim::Modem& m) { return m.ServiceCentre(); }));
  TRun set(s.Args({"smsc", "+491720000002"}));
  ASSERT_EQ(set.Wait(), 0) << set.Err();
  EXPECT_EQ(set.Json()["service_centre"], "+491720000002");
  EXPECT_EQ(s.sim.WithModem([](qvsim::Modem& m) { return m.ServiceCentre(); }), "+491720000002");

  // A SIM without a service centre: the message brings its own.
  s.sim.WithModem([](qvsim::Modem& m) {
    m.SetServiceCentre("");
    return 0;
  });
  TRun none(s.Args({"sms", "send", "+4930123", "hello"}));
  EXPECT_EQ(none.Wait(), 1);
  TRun own(s.Args({"sms", "send", "--smsc", "+491720000001", "+4930123", "hello"}));
  ASSERT_EQ(own.Wait(), 0) << own.Err();
  EXPECT_EQ(own.Json()["service_centre"], "+491720000001");
  const auto submitted = s.sim.WithModem([](qvsim::Modem& m) { return m.Submitted(); });
  ASSERT_EQ(submitted.size(), 1u);
  EXPECT_TRUE(submitted[0].starts_with("0791947102000010")) << submitted[0];
}

// The codes come from a file or the environment and never show: not in the
// output, not in the log; a wrong one is the SIM's refusal, a missing one a
// usage error found before the modem is touched.
TEST(QvsmsCli, SimUnblockAndChangePin) {
  TSim s("siemens_mc35i");
  s.sim.WithModem([](qvsim::Modem& m) {
    m.SetPin("1234", qvsim::PinState::SimPuk);
    return 0;
  });
  qv::test::TqvTempDir dir;
  const std::string log = dir.Path() + "/trace.log";
  auto codes = [&](const std::string& name, const std::string& text) {
    const std::string path = dir.Path() + "/" + name;
    std::ofstream(path) << text;
    return path;
  };
  std::string everything;  // all the tool printed
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"--log", log, "--log-level", "debug"});
    auto r = std::make_unique<TRun>(s.Args(args));
    r->Wait();
    everything += r->Out() + r->Err();
    return r;
  };

  const auto locked = run({"identify"});
  EXPECT_EQ(locked->Wait(), 1);
  EXPECT_NE(locked->Err().find("sim unblock"), std::string::npos) << locked->Err();
  EXPECT_EQ(run({"sim", "unblock"})->Wait(), 2) << "no codes";
  EXPECT_EQ(run({"sim", "unblock", "--codes-file", codes("bad", "PUK=1234x678\nNEW_PIN=2468\n")})->Wait(), 2);
  EXPECT_EQ(run({"sim", "unblock", "--codes-file", codes("odd", "SECRET=1\n")})->Wait(), 2);
  EXPECT_EQ(Count(s.sim.GetTranscript().ToModem(), "AT+CPIN="), 0u);

  const auto wrong = run({"sim", "unblock", "--codes-file", codes("wrong", "PUK=11223344\nNEW_PIN=2468\n")});
  EXPECT_EQ(wrong->Wait(), 1) << wrong->Err();
  const auto right = run({"sim", "unblock", "--codes-file", codes("right", "# from the SIM's card\n\nPUK=12345678\nNEW_PIN=2468\n")});
  ASSERT_EQ(right->Wait(), 0) << right->Err();
  EXPECT_EQ(right->Json(), TJson::parse(R"({"done":"unblocked","pin":"Ready"})"));
  EXPECT_EQ(s.sim.WithModem([](qvsim::Modem& m) { return m.GetPinState(); }), qvsim::PinState::Ready);

  // The current PIN from the environment, the new one from the file.
  EXPECT_EQ(run({"--pin", "2468", "sim", "change-pin", "--codes-file", codes("new", "NEW_PIN=9753\n")})->Wait(), 2)
      << "no codes on the command line";
  ::setenv("QVSMS_PIN", "2468", 1);
  const auto changed = run({"sim", "change-pin", "--codes-file", codes("new", "NEW_PIN=9753\n")});
  ::unsetenv("QVSMS_PIN");
  ASSERT_EQ(changed->Wait(), 0) << changed->Err();
  EXPECT_EQ(changed->Json()["done"], "changed");
  // Both from the environment; the old PIN is 9753 now.
  ::setenv("QVSMS_PIN", "2468", 1);
  ::setenv("QVSMS_NEW_PIN", "1357", 1);
  const auto stale = run({"sim", "change-pin"});
  ::setenv("QVSMS_PIN", "9753", 1);
  const auto again = run({"sim", "change-pin"});
  ::unsetenv("QVSMS_PIN");
  ::unsetenv("QVSMS_NEW_PIN");
  EXPECT_EQ(stale->Wait(), 1) << stale->Err();
  EXPECT_EQ(again->Wait(), 0) << again->Err();

  // The SIM opens with the last PIN after a restart.
  s.sim.WithModem([](qvsim::Modem& m) {
    m.PowerCycle();
    return 0;
  });
  const auto opened = run({"--pin-file", codes("pin", "1357\n"), "identify"});
  ASSERT_EQ(opened->Wait(), 0) << opened->Err();
  EXPECT_EQ(opened->Json()["pin"], "Ready");

  std::ifstream in(log);
  const std::string trace((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(trace.find("AT+CPWD"), std::string::npos) << "the log is written";
  for (const char* code : {"12345678", "11223344", "2468", "9753", "1357"}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(trace.find(code), std::string::npos) << trace;
    EXPECT_EQ(everything.find(code), std::string::npos) << everything;
  }
}

// All, or the read ones: in one line, or one by one where the modem refuses it.
TEST(QvsmsCli, DeletesAllOrTheReadMessages) {
  constexpr const char* kPdu = "0004038121F300000101010000000004D4F29C0E";
  for (bool oneByOne : {false, true}) {
    SCOPED_TRACE(oneByOne ? "one by one" : "one line");
    TSim s;
    s.sim.WithModem([&](qvsim::Modem& m) {
      for (int status : {0, 1, 0, 1}) m.StoreSms("SM", kPdu, status);
      if (oneByOne)
        for (int flag : {1, 4}) m.FailLine("+CMGD=1," + std::to_string(flag), "ERROR");
      return 0;
    });
    TRun read(s.Args({"sms", "delete", "--memory", "SM", "--read"}));
    ASSERT_EQ(read.Wait(), 0) << read.Err();
    EXPECT_EQ(read.Json(), TJson::parse(R"({"memory":"SM","scope":"read","left":2})"));
    std::vector<int> left;
    for (const auto& [index, sms] : s.Store("SM")) left.push_back(index);
    EXPECT_EQ(left, (std::vector<int>{1, 3}));

    TRun all(s.Args({"sms", "delete", "--memory", "SM", "--all"}));
    ASSERT_EQ(all.Wait(), 0) << all.Err();
    EXPECT_EQ(all.Json()["left"], 0);
    EXPECT_TRUE(s.Store("SM").empty());
  }
  TSim s;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"sms", "delete"}, {"sms", "delete", "--all", "3"}, {"sms", "delete", "--all", "--read"}}) {
    TRun bad(s.Args(args));
    EXPECT_EQ(bad.Wait(), 2);
  }
}

// The call's state once it is up, and tones sent into it.
TEST(QvsmsCli, CallShowsItsStateAndSendsTones) {
  TSim s("quectel_ec25");
  TRun call(s.Args({"call", "+4930123", "--duration", "0.3", "--tones", "12*#A"}));
  ASSERT_EQ(call.Wait(), 0) << call.Err();
  const TJson j = call.Json();
  EXPECT_EQ(j["calls"], TJson::parse(R"([{"index":1,"direction":"outgoing","state":"active","mode":"voice",
                                          "multiparty":false,"number":"+4930123"}])"));
  EXPECT_EQ(j["tones"], "12*#A");
  EXPECT_EQ(s.sim.WithModem([](qvsim::Modem& m) { return m.Tones(); }), "12*#A");
  TRun bad(s.Args({"call", "+4930123", "--tones", "1;ATH"}));
  EXPECT_EQ(bad.Wait(), 2);
  EXPECT_EQ(Count(s.sim.GetTranscript().ToModem(), "ATD"), 1u) << "a bad tone is refused before dialling";
}

TEST(QvsmsCli, UsageErrorsExitWithTwo) {
  TSim s;
  const std::string dev = s.sim.DevicePath();
  const std::vector<std::vector<std::string>> cases = {
      {"frob"},
      {"sms"},
      {"sms", "send"},
      {"--port", "0", "identify"},
      {"--device", dev, "--port", "101", "identify"},
      {"--device", dev, "sms", "send", "12ab", "x"},
      {"--device", dev, "sms", "send", "--validity", "3x", "+4917012345", "x"},
      {"--device", dev, "sms", "list", "--status", "bogus"},
      {"--device", dev, "--driver", "no such modem", "identify"},
      {"--device", dev, "at", "ATZ\rATI"},
      {"pdu", "decode", "0004ZZ"},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    SCOPED_TRACE(line);
    for (bool json : {false, true}) {
      std::vector<std::string> a = args;
      if (json) a.insert(a.begin(), "--json");
      TRun run(a);
      EXPECT_EQ(run.Wait(), 2);
      EXPECT_TRUE(run.Out().empty()) << run.Out();
      const std::string err = run.Err();
      EXPECT_EQ(TRun::Lines(err).size(), 1u) << err;
      if (json) {
        EXPECT_EQ(TJson::parse(err)["error"]["code"], 2) << err;
      } else {
        EXPECT_EQ(err.rfind("qvsms: ", 0), 0u) << err;
      }
    }
  }
  EXPECT_TRUE(s.sim.GetTranscript().ToModem().empty()) << "a usage error reached the modem";
}

TEST(QvsmsCli, HelpOnEveryCommand) {
  for (const char* path : {"", "identify", "sms", "sms send", "sms list", "sms watch", "pdu encode", "at", "ports", "ussd",
                           "phonebook export", "call", "answer", "network", "smsc", "sim", "sim unblock", "sim change-pin", "sms delete"}) {
    SCOPED_TRACE(path);
    std::vector<std::string> args;
    std::string p = path;
    for (size_t s; !p.empty(); p = s == std::string::npos ? "" : p.substr(s + 1)) args.push_back(p.substr(0, s = p.find(' ')));
    args.push_back("--help");
    TRun run(args);
    EXPECT_EQ(run.Wait(), 0);
    EXPECT_NE(run.Out().find("Usage: qvsms"), std::string::npos) << run.Out();
  }
}

TEST(QvsmsCli, APortThatCannotBeOpenedExitsWithThree) {
  TSim s;
  TqvComm holder;  // this process holds the port
  holder.SetDevicePath(qv::Utf8ToString(s.sim.DevicePath()));
  holder.SetActive(true);
  TRun held(s.Args({"identify"}));
  EXPECT_EQ(held.Wait(), 3);
  const std::string why = TJson::parse(held.Err())["error"]["message"];
  EXPECT_NE(why.find("held by another program"), std::string::npos) << why;
  EXPECT_NE(why.find(std::to_string(::getpid())), std::string::npos) << "the holder is named: " << why;
  holder.SetActive(false);

  TRun missing({"--device", "/nonexistent/tty", "identify"});
  EXPECT_EQ(missing.Wait(), 3);
  EXPECT_NE(missing.Err().find("/nonexistent/tty"), std::string::npos) << missing.Err();
}

// A modem that never answers is told after the time-out, not after every
// driver's; so is a line that gets no answer later on.
TEST(QvsmsCli, SilenceExitsWithFour) {
  {
    TSim s;
    s.sim.SetSilent(true);
    const auto start = std::chrono::steady_clock::now();
    TRun run(s.Args({"identify"}, "0.5"));
    EXPECT_EQ(run.Wait(), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    EXPECT_NE(run.Err().find("does not answer"), std::string::npos) << run.Err();
  }
  {
    TSim s;
    s.sim.DelayReplyTo("+CSQ", 5s);
    TRun run(s.Args({"at", "AT+CSQ"}, "1"));
    EXPECT_EQ(run.Wait(), 4) << run.Err();
  }
}

TEST(QvsmsCli, TheModemsRefusalExitsWithOneAndItsError) {
  TSim s;
  s.sim.WithModem([](qvsim::Modem& m) {
    m.FailSubmissions(500, 1);
    return 0;
  });
  TRun send(s.Args({"sms", "send", "+491701234567", "hello"}));
  EXPECT_EQ(send.Wait(), 1);
  EXPECT_NE(send.Err().find("500"), std::string::npos) << send.Err();

  TRun at(s.Args({"at", "AT+NOSUCHTHING"}));
  EXPECT_EQ(at.Wait(), 1);
  EXPECT_EQ(at.Json()["result"], "ERROR");
}

// The port used when none is named: the first USB port that answers AT, else
// the first USB port; an on-board UART never, even when it answers.
TEST(QvsmsCli, DefaultPortIsTheFirstThatAnswersAt) {
  qv::platform::SetMainThread();
  qvsim::Simulator phone("generic"), uart("generic");
  struct Case {
    const char* name;
    bool probe;
    std::function<void(TqvFakeDeviceTree&)> build;
    std::optional<std::string> chosen;
  };
  const auto plug = [](TqvFakeDeviceTree& t, const char* tty, const std::string& target) {
    std::filesystem::remove(t.Roots().Dev / tty);
    std::filesystem::create_symlink(target, t.Roots().Dev / tty);
  };
  const auto modemPhoneAndUart = [&](TqvFakeDeviceTree& t) {
    t.AddLegacyUart("ttyS0", "4", "4:64");
    plug(t, "ttyS0", uart.DevicePath());
    t.AddUsbSerial({"1-1", "12d1", "1001", "HUAWEI", "HUAWEI Mobile", "A1"}, 0, "ttyUSB0", "option", "188:0");
    t.AddAcm({"1-2", "0421", "0070", "Nokia", "Nokia 6230i", ""}, 1, "ttyACM0", "166:0");
    plug(t, "ttyACM0", phone.DevicePath());
  };
  const Case cases[] = {
      {"not asked: the first USB port", false, modemPhoneAndUart, "ttyUSB0"},
      {"asked: the port that answers", true, modemPhoneAndUart, "ttyACM0"},
      {"only UARTs", true, [&](TqvFakeDeviceTree& t) { t.AddLegacyUart("ttyS0", "4", "4:64"); }, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TqvFakeDeviceTree tree;
    c.build(tree);
    const auto before = qv::DeviceRoots();
    qv::SetDeviceRoots(tree.Roots());
    const auto ports = qvsms::DiscoverPorts(c.probe);
    qv::SetDeviceRoots(before);
    const auto chosen = qvsms::DefaultPort(ports);
    if (c.chosen) {
      EXPECT_EQ(chosen, (tree.Roots().Dev / *c.chosen).string());
    } else {
      EXPECT_FALSE(chosen);
    }
    for (const auto& p : ports) {
      if (p.device.ends_with("ttyS0")) {
        EXPECT_EQ(p.at, "") << "an on-board UART is never asked";
      }
    }
  }
  EXPECT_EQ(uart.GetTranscript().ToModem(), "");
}

// The bar of a long read draws on a terminal only, and never beside JSON.
TEST(QvsmsCli, ProgressBarOnlyOnATerminal) {
  struct Case { const char* name; bool terminal; bool json; bool drawn; };
  const Case cases[] = {
      {"terminal", true, false, true},
      {"terminal, JSON", true, true, false},
      {"pipe", false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qv::test::TqvPtyPair pty;
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::FILE* err = c.terminal ? std::fopen(pty.SlavePath().c_str(), "w") : ::fdopen(pipeFds[1], "w");
    ASSERT_NE(err, nullptr);
    {
      qvsms::TOutput out(c.json, stdout, err);
      const auto bar = out.Progress("reading SM", 4);
      bar->Step();
      bar->Step();
    }
    std::fclose(err);
    std::string drawn;
    if (c.terminal) {
      drawn = pty.ReadAvailable();
    } else {
      char buf[256];
      const ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
      if (n > 0) drawn.assign(buf, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    if (c.terminal) ::close(pipeFds[1]);  // fclose closed it otherwise
    EXPECT_EQ(drawn.find("2/4") != std::string::npos, c.drawn) << drawn;
    if (c.drawn) {
      EXPECT_NE(drawn.find("\033[K"), std::string::npos) << "wiped when done";
    }
  }
}
