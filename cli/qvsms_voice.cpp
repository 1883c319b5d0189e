// qvsms: USSD requests and voice calls: ussd, call, answer, hangup.
#include <CLI/CLI.hpp>

#include <cctype>
#include <chrono>
#include <memory>
#include <optional>

#include "qvsms_cli.h"
#include "qvsms_modem.h"
#include "qvsms_output.h"
#include "qvtext.h"

namespace qvsms {

namespace {

using qv::StringToUtf8;
using qv::Utf8ToString;

// ---------------------------------------------------------------------------
// USSD

const char* StatusName(TUssdStatus s) {
  switch (s) {
    case TUssdStatus::usDone: return "done";
    case TUssdStatus::usActionRequired: return "action-required";
    case TUssdStatus::usTerminated: return "terminated";
    case TUssdStatus::usOtherClient: return "other-client";
    case TUssdStatus::usNotSupported: return "not-supported";
    case TUssdStatus::usTimedOut: return "timed-out";
    case TUssdStatus::usUnknown: break;
  }
  return "unknown";
}

struct TUssdArgs {
  std::string code;
  std::vector<std::string> replies;
  double wait = 30;
};

struct TUssdAnswer {
  TUssdStatus status;
  std::string text;
};

// Sends `request` and waits for the network's answer.
TUssdAnswer AskNetwork(TModem& m, const std::string& request, double wait) {
  TCliGsm& g = m.Gsm();
  std::optional<TUssdAnswer> answer;
  g.OnUssdResult = [&](TObject*, TUssdStatus status, const std::u16string& text) {
    answer = TUssdAnswer{status, StringToUtf8(text)};
  };
  const bool taken = g.SendUSSD(Utf8ToString(request));
  const bool answered = taken && m.PumpUntil([&] { return answer.has_value(); }, wait);
  g.OnUssdResult = nullptr;
  if (!taken) m.Fail("the modem refused the request " + request);
  if (!answered)
    throw TCliError(exTimeout, "no answer to " + request + " within " + std::to_string(static_cast<int>(wait)) + " s");
  return *answer;
}

int Ussd(TContext& x, const TUssdArgs& a) {
  TModem& m = x.Modem();
  std::vector<std::string> requests{a.code};
  requests.insert(requests.end(), a.replies.begin(), a.replies.end());
  TJson exchanges = TJson::array();
  TUssdAnswer last{TUssdStatus::usUnknown, {}};
  for (const std::string& request : requests) {
    last = AskNetwork(m, request, a.wait);
    exchanges.push_back({{"request", request}, {"status", StatusName(last.status)}, {"text", last.text}});
    if (x.Out().Json()) continue;
    x.Out().Line(last.text);
    if (last.status != TUssdStatus::usActionRequired && last.status != TUssdStatus::usDone)
      x.Out().Line(std::string("(") + StatusName(last.status) + ")");
    if (last.status != TUssdStatus::usActionRequired) break;
  }
  const bool open = last.status == TUssdStatus::usActionRequired;
  if (open) {
    m.Gsm().CancelUSSD();  // the network would otherwise wait for an answer that never comes
    if (!x.Out().Json())
      x.Out().Line("(the network asked for more: give the answers after the code, qvsms ussd CODE ANSWER...)");
  }
  if (x.Out().Json()) x.Out().Object({{"code", a.code}, {"status", StatusName(last.status)}, {"text", last.text},
                                      {"exchanges", exchanges}, {"cancelled", open}});
  if (last.status == TUssdStatus::usNotSupported) throw TCliError(exRefused, "the network does not support " + a.code);
  if (last.status == TUssdStatus::usTimedOut) throw TCliError(exTimeout, "the network's USSD session timed out");
  return exDone;
}

// ---------------------------------------------------------------------------
// Calls

struct TCallArgs {
  std::string number;
  double duration = 0;  // 0: until the peer or a signal ends the call
  double ringWait = 0;  // answer: how long to wait for a ring first
  std::string tones;    // DTMF tones to send once the call is up
};

const char* CallStateName(TCallState s) {
  switch (s) {
    case TCallState::csActive: return "active";
    case TCallState::csHeld: return "held";
    case TCallState::csDialing: return "dialing";
    case TCallState::csAlerting: return "alerting";
    case TCallState::csIncoming: return "incoming";
    case TCallState::csWaiting: return "waiting";
  }
  return "unknown";
}

const char* CallModeName(int32_t mode) {
  switch (mode) {
    case 0: return "voice";
    case 1: return "data";
    case 2: return "fax";
    default: return "other";
  }
}

// The calls the modem has now ("+CLCC"), null when it cannot tell; told on a
// line each for people.
TJson CallState(TContext& x, TCliGsm& g) {
  const auto calls = g.CallList();
  if (!calls) return nullptr;
  TJson list = TJson::array();
  for (const TCallInfo& c : *calls) {
    const std::string number = StringToUtf8(c.Number);
    list.push_back({{"index", c.Index},
                    {"direction", c.Incoming ? "incoming" : "outgoing"},
                    {"state", CallStateName(c.State)},
                    {"mode", CallModeName(c.Mode)},
                    {"multiparty", c.Multiparty},
                    {"number", number.empty() ? TJson(nullptr) : TJson(number)}});
    if (!x.Out().Json())
      x.Out().Line("call " + std::to_string(c.Index) + ": " + CallStateName(c.State) + ", " +
                   (c.Incoming ? "incoming" : "outgoing") + " " + CallModeName(c.Mode) +
                   (number.empty() ? "" : " " + number));
  }
  return list;
}

// The tones of --tones, checked before the modem is touched.
void CheckTones(const std::string& tones) {
  for (char c : tones)
    if (!std::isdigit(static_cast<unsigned char>(c)) && c != '*' && c != '#' && (c < 'A' || c > 'D'))
      throw TCliError(exUsage, "--tones takes 0-9, *, # and A-D, not \"" + tones + "\"");
}

bool IsCallEnd(const std::string& line) {
  for (const char* r : {"NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE"})
    if (line.starts_with(r)) return true;
  return false;
}

// The peer's end of the call (its result comes unsolicited), watched from
// before the call is up: it may come while the call's state is read.
class TCallEnd {
 public:
  explicit TCallEnd(TCliGsm& g) : fGsm(g) {
    fGsm.OnUnsolicited = [this](TObject*, const std::u16string& s) {
      const std::string line(qv::TrimView(StringToUtf8(s)));
      if (IsCallEnd(line)) fEnded = line;
    };
  }
  ~TCallEnd() { fGsm.OnUnsolicited = nullptr; }
  TCallEnd(const TCallEnd&) = delete;
  TCallEnd& operator=(const TCallEnd&) = delete;
  // The result that ended the call; empty while it goes on.
  const std::string& Ended() const { return fEnded; }

 private:
  TCliGsm& fGsm;
  std::string fEnded;
};

// The state of the call just set up ("calls"), and the tones sent into it
// while it has not ended ("tones", null for none).
TJson CallStarted(TContext& x, TModem& m, const TCallArgs& a, const TCallEnd& end) {
  TCliGsm& g = m.Gsm();
  TJson started = {{"calls", CallState(x, g)}, {"tones", nullptr}};
  if (!a.tones.empty() && end.Ended().empty()) {
    if (!g.SendTones(Utf8ToString(a.tones))) m.Fail("the modem refused the tones " + a.tones);
    if (!x.Out().Json()) x.Out().Line("sent the tones " + a.tones);
    started["tones"] = a.tones;
  }
  return started;
}

// Stays in the call until the peer ends it or `duration` seconds pass (then
// hangs up); a signal closes the port, which ends the call on most modems.
// Prints how it ended.
int StayInCall(TContext& x, TModem& m, const std::string& number, const TCallArgs& a, const TCallEnd& end,
               const TJson& started) {
  TCliGsm& g = m.Gsm();
  const auto start = std::chrono::steady_clock::now();
  const double forever = 1e9;
  m.PumpUntil([&] { return !end.Ended().empty() || !m.Comm().Active(); }, a.duration > 0 ? a.duration : forever);
  const std::string ended = end.Ended();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!m.Comm().Active()) throw TCliError(exOpen, "the modem on " + m.DeviceName() + " went away");
  const bool hungUp = ended.empty();
  if (hungUp) g.Hungup();
  const std::string how = hungUp ? "hung up" : "ended by the other side";
  if (x.Out().Json())
    x.Out().Object({{"number", number.empty() ? TJson(nullptr) : TJson(number)}, {"ended", hungUp ? "hangup" : "peer"}, {"result", hungUp ? TJson(nullptr) : TJson(ended)},
                    {"seconds", static_cast<int>(seconds)}, {"calls", started["calls"]},
                    {"tones", started["tones"]}});
  else
    x.Out().Line("call " + how + (hungUp ? "" : " (" + ended + ")") + " after " + std::to_string(static_cast<int>(seconds)) + " s");
  return exDone;
}

int Call(TContext& x, const TCallArgs& a) {
  CheckTones(a.tones);
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  const TCallEnd end(g);
  if (!g.MakeCall(Utf8ToString(a.number))) m.Fail("the call to " + a.number + " failed");
  if (!x.Out().Json()) x.Out().Line("calling " + a.number + " (Ctrl-C hangs up)");
  const TJson started = CallStarted(x, m, a, end);
  return StayInCall(x, m, a.number, a, end, started);
}

int Answer(TContext& x, const TCallArgs& a) {
  CheckTones(a.tones);
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  std::string caller;  // what the ring said of the caller, when it was waited for
  if (a.ringWait > 0) {
    bool rang = false;
    g.OnRing = [&](TObject*, const std::u16string& s) {
      rang = true;
      caller = std::string(qv::TrimView(StringToUtf8(s)));
    };
    m.PumpUntil([&] { return rang; }, a.ringWait);
    g.OnRing = nullptr;
    if (!rang) throw TCliError(exTimeout, "no call came within " + std::to_string(static_cast<int>(a.ringWait)) + " s");
  }
  const TCallEnd end(g);
  g.AnswerCall();
  if (!g.LastError().empty()) m.Fail("the call could not be answered");
  if (!x.Out().Json()) x.Out().Line("answered (Ctrl-C hangs up)");
  const TJson started = CallStarted(x, m, a, end);
  return StayInCall(x, m, caller, a, end, started);
}

int Hangup(TContext& x) {
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  g.Hungup();
  if (!g.LastError().empty()) m.Fail("the modem did not hang up");
  if (x.Out().Json())
    x.Out().Object({{"hungup", true}});
  else
    x.Out().Line("hung up");
  return exDone;
}

void AddDuration(CLI::App& c, TCallArgs& a) {
  c.add_option("--duration", a.duration, "Hang up after this many seconds (default: stay until the other side hangs up)")
      ->check(CLI::PositiveNumber);
  c.add_option("--tones", a.tones, "DTMF tones to send once the call is up: 0-9, *, #, A-D")->type_name("TONES");
}

}  // namespace

void AddVoiceCommands(TCommandTable& table) {
  auto ussd = std::make_shared<TUssdArgs>();
  table.push_back({"ussd", "Send a USSD code (such as *100#) and print the network's answer",
                   [ussd](CLI::App& c) {
                     c.add_option("code", ussd->code, "The code, such as *100#")->required();
                     c.add_option("answers", ussd->replies,
                                  "Answers to send, one after another, while the network asks for more");
                     c.add_option("--wait", ussd->wait, "Seconds to wait for each answer of the network")
                         ->capture_default_str()
                         ->check(CLI::PositiveNumber);
                   },
                   [ussd](TContext& x) { return Ussd(x, *ussd); }});
  auto call = std::make_shared<TCallArgs>();
  table.push_back({"call", "Place a voice call and stay in it until it ends, Ctrl-C or --duration",
                   [call](CLI::App& c) {
                     c.add_option("number", call->number, "The number to dial")->required();
                     AddDuration(c, *call);
                   },
                   [call](TContext& x) { return Call(x, *call); }});
  auto answer = std::make_shared<TCallArgs>();
  table.push_back({"answer", "Answer a ringing call and stay in it until it ends, Ctrl-C or --duration",
                   [answer](CLI::App& c) {
                     c.add_option("--ring-wait", answer->ringWait, "Wait this many seconds for a call to ring first")
                         ->check(CLI::PositiveNumber);
                     AddDuration(c, *answer);
                   },
                   [answer](TContext& x) { return Answer(x, *answer); }});
  table.push_back({"hangup", "End the current call", nullptr, [](TContext& x) { return Hangup(x); }});
}

}  // namespace qvsms
