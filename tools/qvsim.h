// A scriptable GSM modem on a pseudo-terminal, for tests (in-process) and for people
// (the qvmodemsim program). Start one with a persona, open DevicePath() or LinkPath() like any
// serial port, and drive it: inject messages, rings, USSD answers and faults, read the
// transcript of every byte both ways.
//
//   qvsim::Simulator sim("siemens_mc35i");
//   int fd = open(sim.DevicePath().c_str(), O_RDWR | O_NOCTTY);
//   sim.InjectRing("+491701234567");
//   sim.SetBaudRate(9600);
//   std::cout << sim.GetTranscript().Text();
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "qvsim_codec.h"
#include "qvsim_modem.h"
#include "qvsim_pacer.h"
#include "qvsim_persona.h"
#include "qvsim_pty.h"

namespace qvsim {

using Milliseconds = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Every byte that crossed the line, in the order and the pieces it crossed in: one entry per
// read() of the host's bytes and per write() of the modem's. An entry is added just after its
// write(), so a host may read bytes a moment before they appear here; Simulator::
// WaitOutputIdle() first gives the whole picture. Listeners must not call the Simulator.
class Transcript {
 public:
  enum class Direction { ToModem, FromModem };
  struct Entry {
    Direction direction;
    std::string bytes;
    Clock::time_point at;
  };

  void Add(Direction direction, std::string_view bytes);
  void Clear();
  std::vector<Entry> Entries() const;
  std::string ToModem() const;    // everything the host sent, concatenated
  std::string FromModem() const;  // everything the modem sent, concatenated
  // Readable lines: "host> AT\r" and "modem> \r\nOK\r\n", with times since the first entry.
  std::string Text() const;
  // Waits until the bytes of `direction` contain `needle`; false on time-out.
  bool WaitFor(Direction direction, std::string_view needle, Milliseconds timeout) const;
  // Called with every new entry (outside the simulator's lock); for the program's live trace.
  void SetListener(std::function<void(const Entry&)> listener);
  // Keeps only the newest `count` entries (0: all, the default); for long runs.
  void SetMaxEntries(size_t count);

 private:
  mutable std::mutex fMutex;
  mutable std::condition_variable fChanged;
  std::deque<Entry> fEntries;
  size_t fMaxEntries = 0;
  std::function<void(const Entry&)> fListener;
};

struct SimulatorOptions {
  std::string link;                  // stable symbolic link to the device; empty for none
  std::string pin;                   // empty: SIM ready without a PIN
  PinState pinState = PinState::Ready;
  int pinAttempts = 3;
  std::string puk = "12345678";
};

class Simulator {
 public:
  static constexpr int kLineSpeed = -1;  // SetBaudRate: pace at the speed the host configured

  // Starts the device and the modem's thread. Throws std::invalid_argument for an unknown
  // persona and std::system_error when no pseudo-terminal can be opened.
  explicit Simulator(std::string_view persona = "generic", SimulatorOptions options = {});
  explicit Simulator(const Persona& persona, SimulatorOptions options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  const Persona& GetPersona() const { return fPersona; }
  std::string DevicePath() const;  // the pseudo-terminal's slave path; empty while dropped
  std::string LinkPath() const { return fOptions.link; }
  std::string Path() const;        // the link when there is one, else the device
  bool IsUp() const;

  // Runs `f` on the modem (stores, PIN, answers, settings) under the simulator's lock and
  // returns its result. Unsolicited output goes through the Inject functions below.
  template <typename F>
  auto WithModem(F&& f) {
    std::lock_guard lock(fMutex);
    return f(fModem);
  }

  // Injections. Message PDUs are hex beginning with the service centre length octet ("00"
  // for none). The SMS injections return the storage index, 0 when delivered directly, -1
  // when refused.
  int InjectSms(std::string_view pduHex, SmsRoute route = SmsRoute::Auto);
  int InjectStatusReport(std::string_view pduHex, SmsRoute route = SmsRoute::Auto);
  // Rings `count` times, `interval` apart, until the call is answered or ended.
  void InjectRing(std::string_view number, int count = 1, Milliseconds interval = Milliseconds(3000));
  void InjectHangup();
  void InjectUssd(const UssdAnswer& answer);
  void InjectNetworkError(int cmsError);
  // The network registration changes (see Modem::SetRegistration).
  void InjectRegistration(int stat, int act = 0);
  void InjectRaw(std::string_view bytes);  // written as they are: garbage, odd replies
  void InjectGarbage(size_t count, unsigned seed = 1);

  // Faults.
  void SetBaudRate(int bitsPerSecond);  // 0: unpaced; else 10 bit times per byte, both ways
  void SetReplyDelay(Milliseconds delay);  // before every reply
  void DelayReplyTo(std::string command, Milliseconds delay);  // "+CMGS", "D", "I", "Z"...
  void DelayNextReply(Milliseconds delay);  // once, on top of the others; calls queue up
  void SetSilent(bool silent);          // a dead modem: input is read and dropped
  void IgnoreCommands(int count);       // the next `count` lines get no echo and no answer
  void SetSplitWrites(size_t chunk, Milliseconds gap = Milliseconds(2));  // 0: off
  void SetMergeWindow(Milliseconds window);  // output within the window goes in one write
  void DropOnCommand(std::string command);   // the device vanishes when this command arrives
  // The device vanishes when the modem, having written `bytes` more bytes, is about to write
  // the next one, wherever that falls: in the middle of a line, between a reply's lines.
  // nullopt: off. As with a real hang-up, what the host had not read by then may be lost.
  void DropAfterOutput(std::optional<size_t> bytes);
  // The device disappears: the host sees a hang-up, the link is removed. Returns when done.
  void DropDevice();
  // A new device comes up (a new slave path) behind the same link. Returns when done.
  std::error_code BringUp();

  // The module restarts where it is, the device staying: settings back to their defaults, then
  // the persona's start-up lines, as due; until their ready marks the SIM and the message
  // service answer "SIM busy".
  void Restart();

  // Waits until everything scheduled so far has been written; false on time-out.
  bool WaitOutputIdle(Milliseconds timeout = Milliseconds(2000));

  Transcript& GetTranscript() { return fTranscript; }

 private:
  struct Pending {
    std::string bytes;
    Clock::time_point due;
    size_t written = 0;
    bool ring = false;   // not sent once the call no longer rings
    bool timer = false;  // a timed event (a ring, a start-up line): other output passes it
  };
  enum class Request { None, Drop, BringUp };

  void Run();
  void ReadInput(int fd);
  void Feed(std::string_view bytes, Clock::time_point base);
  void Schedule(std::vector<Output>& outputs, Clock::time_point base);
  void Push(std::string bytes, Clock::time_point due, bool ring = false, bool timer = false);
  bool WriteDue(int fd, Clock::time_point now);
  bool DropForOutputFault();
  size_t ChunkDue(const Pending& p, Clock::time_point now) const;
  Clock::time_point NextWrite() const;
  void DropLocked();
  std::error_code BringUpLocked();
  Clock::duration ByteTime() const;
  void Wake();
  void Perform(Request request);
  void Inject(const std::function<void(std::vector<Output>&)>& make);

  const Persona& fPersona;
  SimulatorOptions fOptions;
  Transcript fTranscript;

  mutable std::mutex fMutex;
  std::condition_variable fDone;
  Modem fModem;
  Pty fPty;
  std::deque<Pending> fQueue;
  Clock::time_point fInputFree{};  // when the last host byte has crossed the paced line
  LinePacer fPacer;                // the modem's bytes on a paced line
  Clock::time_point fSplitFree{};  // when the next piece of a split write may go
  Clock::time_point fSimReadyAt{}, fSmsReadyAt{};  // the end of a restart's busy time
  int fBaud = 0;
  Milliseconds fReplyDelay{0};
  std::map<std::string, Milliseconds> fCommandDelays;
  std::deque<Milliseconds> fNextDelays;
  bool fSilent = false;
  int fIgnore = 0;
  size_t fSplit = 0;
  Milliseconds fSplitGap{2};
  Milliseconds fMergeWindow{0};
  std::string fDropOn;
  std::optional<size_t> fDropAfter;  // bytes the modem writes before the device vanishes
  Request fRequest = Request::None;
  std::error_code fRequestResult;
  bool fStop = false;
  int fWake[2] = {-1, -1};
  std::thread fThread;
};

}  // namespace qvsim
