// qvmodemsim: a GSM modem on a pseudo-terminal, for people. Prints the device path (and keeps
// a stable link to it on request), answers like the chosen model, and takes control commands
// on standard input: incoming messages, rings, USSD answers, faults, device loss.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "qvsim.h"

namespace {

int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char b = 1;
  [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &b, 1);
}

const char kUsage[] =
    "usage: qvmodemsim [options]\n"
    "  --model NAME        persona to answer as (default generic; --list-models shows them)\n"
    "  --link PATH         keep a symbolic link PATH pointing at the device\n"
    "  --pin PIN           the SIM asks for this PIN (three attempts, then the PUK)\n"
    "  --puk PUK           the SIM's PUK (default 12345678)\n"
    "  --baud N|line       pace every byte at N bits per second, or at the host's line speed\n"
    "  --delay MS          delay every reply by MS milliseconds\n"
    "  --transcript FILE   append every byte both ways to FILE\n"
    "  --trace             print every byte both ways on standard error\n"
    "  --exit-after SEC    end by itself after SEC seconds\n"
    "  --list-models       list the personas and end\n"
    "Control commands on standard input (\"help\" lists them); SIGINT or SIGTERM ends it.\n";

const char kHelp[] =
    "sms PDUHEX [store|deliver]      incoming message (hex with SMSC octet), routed by +CNMI\n"
    "text SENDER TEXT...             incoming plain text message (7-bit or UCS2 DELIVER; a long one\n"
    "                                in concatenated parts)\n"
    "report PDUHEX [store|deliver]   incoming status report\n"
    "ring NUMBER [COUNT]             incoming call: RING (+CRING) and +CLIP, every 3 s\n"
    "hangup                          the caller hangs up: NO CARRIER\n"
    "dial RESULT                     final result of later voice dials (OK, BUSY, NO ANSWER...)\n"
    "callend MS [RESULT]             a call dialled with OK ends MS later with RESULT (none: off)\n"
    "ussd TEXT...                    network-initiated USSD text\n"
    "ussdanswer TEXT...              answer to every later AT+CUSD request\n"
    "ussdreply M FORM WHEN [TEXT...] that answer in full: status M, FORM persona|plain|packed|ucs2,\n"
    "                                WHEN after|before|never; no TEXT: \"+CUSD: M\" alone\n"
    "ussdraw M STRING DCS            +CUSD line with these fields as they are\n"
    "failline LINE [RESULT]          the command line LINE (without AT) ends with RESULT\n"
    "                                (default ERROR; \"-\": runs again)\n"
    "neterror CODE                   unsolicited +CMS ERROR: CODE\n"
    "reg STAT [ACT]                  registration: 0 none, 1 home, 2 searching, 3 denied, 5 roaming\n"
    "sca NUMBER|-                    the SIM's service centre (-: none)\n"
    "capacity MEM N                  memory MEM holds N messages, to fill it quickly\n"
    "failsend CODE [COUNT]           the next submissions fail with +CMS ERROR: CODE\n"
    "baud N|line|0                   pace bytes (0: off)\n"
    "delay MS                        delay every reply\n"
    "delayto COMMAND MS              delay replies to one command (+CMGS, D, I...)\n"
    "delaynext MS                    delay the next reply once\n"
    "silent on|off                   a dead modem\n"
    "ignore N                        the next N command lines get no answer\n"
    "garbage N                       N noise bytes\n"
    "raw TEXT                        bytes as given; \\r \\n \\xHH escapes\n"
    "split N [GAPMS]                 every write in pieces of N bytes (0: off)\n"
    "merge MS                        output within MS milliseconds goes in one write (0: off)\n"
    "drop | up                       the device disappears | comes back behind the link\n"
    "restart                         the module restarts: its start-up lines, SIM busy meanwhile\n"
    "dropon COMMAND                  the device disappears when COMMAND arrives\n"
    "status | transcript | help | quit\n";

std::string Unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 'r') {
      out += '\r';
    } else if (c == 'n') {
      out += '\n';
    } else if (c == 'x' && i + 2 < s.size()) {
      const auto byte = qvsim::FromHex(s.substr(i + 1, 2));
      if (byte) {
        out += *byte;
        i += 2;
      }
    } else {
      out += c;
    }
  }
  return out;
}

std::string Rest(std::istringstream& in) {
  std::string rest;
  std::getline(in, rest);
  const size_t start = rest.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : rest.substr(start);
}

qvsim::SmsRoute Route(const std::string& word) {
  if (word == "store") return qvsim::SmsRoute::Store;
  if (word == "deliver") return qvsim::SmsRoute::Deliver;
  return qvsim::SmsRoute::Auto;
}

// Runs one control command; false for "quit".
bool Control(qvsim::Simulator& sim, const std::string& line) {
  std::istringstream in(line);
  std::string cmd;
  in >> cmd;
  using qvsim::Milliseconds;
  if (cmd.empty() || cmd[0] == '#') return true;
  if (cmd == "quit" || cmd == "exit") return false;
  if (cmd == "help") {
    std::cout << kHelp;
  } else if (cmd == "sms" || cmd == "report") {
    std::string pdu, route;
    in >> pdu >> route;
    const int r = cmd == "sms" ? sim.InjectSms(pdu, Route(route)) : sim.InjectStatusReport(pdu, Route(route));
    std::cout << (r < 0 ? "refused (bad PDU or memory full)" : r == 0 ? "delivered" : "stored at " + std::to_string(r))
              << "\n";
  } else if (cmd == "text") {
    std::string sender;
    in >> sender;
    static int reference = 0;  // each long message its own
    for (const std::string& pdu : qvsim::MakeDeliverPdus(sender, Rest(in), std::time(nullptr), ++reference)) {
      const int r = sim.InjectSms(pdu);
      std::cout << pdu << (r < 0 ? " refused" : r == 0 ? " delivered" : " stored at " + std::to_string(r)) << "\n";
    }
  } else if (cmd == "ring") {
    std::string number;
    int count = 1;
    in >> number >> count;
    sim.InjectRing(number, std::max(1, count));
  } else if (cmd == "hangup") {
    sim.InjectHangup();
  } else if (cmd == "ussd" || cmd == "ussdanswer") {
    qvsim::UssdAnswer answer;
    answer.text = Rest(in);
    if (cmd == "ussd") {
      sim.InjectUssd(answer);
    } else {
      sim.WithModem([&](qvsim::Modem& m) { m.SetDefaultUssdAnswer(answer); });
    }
  } else if (cmd == "dial") {
    const std::string result = Rest(in);
    sim.WithModem([&](qvsim::Modem& m) { m.SetDialResult(result.empty() ? "OK" : result); });
  } else if (cmd == "callend") {
    int ms = 100;
    in >> ms;
    const std::string result = Rest(in);
    sim.WithModem([&](qvsim::Modem& m) { m.SetCallEnd(result, Milliseconds(ms)); });
  } else if (cmd == "ussdreply") {
    qvsim::UssdAnswer answer;
    std::string form, when;
    in >> answer.status >> form >> when;
    answer.form = form == "plain"    ? qvsim::UssdForm::Plain
                  : form == "packed" ? qvsim::UssdForm::Packed
                  : form == "ucs2"   ? qvsim::UssdForm::Ucs2
                                     : qvsim::UssdForm::Persona;
    answer.timing = when == "before" ? qvsim::UssdTiming::BeforeOk
                    : when == "never" ? qvsim::UssdTiming::Never
                                      : qvsim::UssdTiming::AfterOk;
    answer.text = Rest(in);
    answer.withText = !answer.text.empty();
    sim.WithModem([&](qvsim::Modem& m) { m.SetDefaultUssdAnswer(answer); });
  } else if (cmd == "failline") {
    std::string target;
    in >> target;
    std::string result = Rest(in);
    if (result.empty()) result = "ERROR";
    if (result == "-") result.clear();
    sim.WithModem([&](qvsim::Modem& m) { m.FailLine(target, result); });
  } else if (cmd == "ussdraw") {
    qvsim::UssdAnswer answer;
    answer.raw = true;
    in >> answer.status >> answer.text >> answer.dcs;
    sim.InjectUssd(answer);
  } else if (cmd == "neterror") {
    int code = 0;
    in >> code;
    sim.InjectNetworkError(code);
  } else if (cmd == "reg") {
    int stat = 1, act = 0;
    in >> stat >> act;
    sim.InjectRegistration(stat, act);
  } else if (cmd == "sca") {
    std::string number;
    in >> number;
    sim.WithModem([&](qvsim::Modem& m) { m.SetServiceCentre(number == "-" ? "" : number); });
  } else if (cmd == "capacity") {
    std::string memory;
    int capacity = 0;
    in >> memory >> capacity;
    if (!sim.WithModem([&](qvsim::Modem& m) { return m.SetSmsCapacity(memory, capacity); }))
      std::cout << "unknown memory\n";
  } else if (cmd == "failsend") {
    int code = 500, count = 1;
    in >> code >> count;
    sim.WithModem([&](qvsim::Modem& m) { m.FailSubmissions(code, count); });
  } else if (cmd == "baud") {
    std::string v;
    in >> v;
    sim.SetBaudRate(v == "line" ? qvsim::Simulator::kLineSpeed : std::atoi(v.c_str()));
  } else if (cmd == "delay") {
    int ms = 0;
    in >> ms;
    sim.SetReplyDelay(Milliseconds(ms));
  } else if (cmd == "delayto") {
    std::string command;
    int ms = 0;
    in >> command >> ms;
    sim.DelayReplyTo(command, Milliseconds(ms));
  } else if (cmd == "delaynext") {
    int ms = 0;
    in >> ms;
    sim.DelayNextReply(Milliseconds(ms));
  } else if (cmd == "silent") {
    std::string v;
    in >> v;
    sim.SetSilent(v == "on");
  } else if (cmd == "ignore") {
    int n = 1;
    in >> n;
    sim.IgnoreCommands(n);
  } else if (cmd == "garbage") {
    size_t n = 16;
    in >> n;
    sim.InjectGarbage(n, static_cast<unsigned>(std::time(nullptr)));
  } else if (cmd == "raw") {
    sim.InjectRaw(Unescape(Rest(in)));
  } else if (cmd == "split") {
    size_t n = 0;
    int gap = 2;
    in >> n >> gap;
    sim.SetSplitWrites(n, Milliseconds(gap));
  } else if (cmd == "merge") {
    int ms = 0;
    in >> ms;
    sim.SetMergeWindow(Milliseconds(ms));
  } else if (cmd == "drop") {
    sim.DropDevice();
    std::cout << "device dropped\n";
  } else if (cmd == "up") {
    const auto ec = sim.BringUp();
    std::cout << (ec ? "cannot bring the device up: " + ec.message() : "device: " + sim.DevicePath()) << "\n";
  } else if (cmd == "restart") {
    sim.Restart();
    std::cout << "restarting\n";
  } else if (cmd == "dropon") {
    std::string command;
    in >> command;
    sim.DropOnCommand(command);
  } else if (cmd == "status") {
    std::cout << "device: " << sim.DevicePath() << "\n" << sim.WithModem([](qvsim::Modem& m) { return m.StatusText(); });
  } else if (cmd == "transcript") {
    std::cout << sim.GetTranscript().Text();
  } else {
    std::cout << "unknown command: " << cmd << " (try help)\n";
  }
  std::cout.flush();
  return true;
}

struct Args {
  std::string model = "generic";
  qvsim::SimulatorOptions options;
  int baud = 0;
  int delay = 0;
  std::string transcript;
  bool trace = false;
  int exitAfter = 0;
};

bool ParseArgs(int argc, char** argv, Args& a) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& o = args[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= args.size()) throw std::invalid_argument("missing value for " + o);
      return args[++i];
    };
    if (o == "--model") {
      a.model = value();
    } else if (o == "--link") {
      a.options.link = value();
    } else if (o == "--pin") {
      a.options.pin = value();
      a.options.pinState = qvsim::PinState::SimPin;
    } else if (o == "--puk") {
      a.options.puk = value();
    } else if (o == "--baud") {
      const std::string v = value();
      a.baud = v == "line" ? qvsim::Simulator::kLineSpeed : std::stoi(v);
    } else if (o == "--delay") {
      a.delay = std::stoi(value());
    } else if (o == "--transcript") {
      a.transcript = value();
    } else if (o == "--trace") {
      a.trace = true;
    } else if (o == "--exit-after") {
      a.exitAfter = std::stoi(value());
    } else if (o == "--list-models") {
      for (const qvsim::Persona& p : qvsim::Personas()) std::cout << p.id << "\t" << p.caption << "\n";
      std::exit(0);
    } else if (o == "--help" || o == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else {
      throw std::invalid_argument("unknown option " + o);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  try {
    ParseArgs(argc, argv, args);
  } catch (const std::exception& e) {
    std::cerr << "qvmodemsim: " << e.what() << "\n" << kUsage;
    return 2;
  }
  if (::pipe(gSignalPipe) != 0) return 1;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  try {
    qvsim::Simulator sim(args.model, args.options);
    std::ofstream file;
    if (!args.transcript.empty()) file.open(args.transcript, std::ios::app);
    std::mutex outMutex;
    if (args.trace || file.is_open()) {
      sim.GetTranscript().SetListener([&](const qvsim::Transcript::Entry& e) {
        const std::string line = std::string(e.direction == qvsim::Transcript::Direction::ToModem ? "host> " : "modem> ") +
                                 qvsim::Escape(e.bytes) + "\n";
        std::lock_guard lock(outMutex);
        if (args.trace) std::cerr << line;
        if (file.is_open()) file << line << std::flush;
      });
    }
    sim.GetTranscript().SetMaxEntries(100000);  // "transcript" shows the recent traffic
    sim.SetBaudRate(args.baud);
    sim.SetReplyDelay(qvsim::Milliseconds(args.delay));
    std::cout << "model: " << sim.GetPersona().caption << "\n";
    std::cout << "device: " << sim.DevicePath() << "\n";
    if (!args.options.link.empty()) std::cout << "link: " << args.options.link << "\n";
    std::cout.flush();

    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(args.exitAfter);
    bool stdinOpen = true;
    std::string pending;
    for (;;) {
      pollfd fds[2] = {{gSignalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
      int timeout = -1;
      if (args.exitAfter > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        timeout = static_cast<int>(left.count());
      }
      const int r = ::poll(fds, stdinOpen ? 2 : 1, timeout);
      if (r < 0 && errno != EINTR) break;
      if (fds[0].revents != 0) break;  // a signal
      if (stdinOpen && fds[1].revents != 0) {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
          stdinOpen = false;  // keep serving the device until a signal ends the program
          continue;
        }
        pending.append(buf, static_cast<size_t>(n));
        bool quit = false;
        for (size_t nl; !quit && (nl = pending.find('\n')) != std::string::npos;) {
          std::string line = pending.substr(0, nl);
          pending.erase(0, nl + 1);
          if (!line.empty() && line.back() == '\r') line.pop_back();
          quit = !Control(sim, line);
        }
        if (quit) break;
      }
    }
    sim.GetTranscript().SetListener(nullptr);
  } catch (const std::exception& e) {
    std::cerr << "qvmodemsim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
