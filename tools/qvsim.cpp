#include "qvsim.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace qvsim {

// ---------------------------------------------------------------------------------------------
// Transcript

void Transcript::Add(Direction direction, std::string_view bytes) {
  Entry entry{direction, std::string(bytes), Clock::now()};
  std::function<void(const Entry&)> listener;
  {
    std::lock_guard lock(fMutex);
    fEntries.push_back(entry);
    if (fMaxEntries > 0 && fEntries.size() > fMaxEntries) fEntries.pop_front();
    listener = fListener;
  }
  fChanged.notify_all();
  if (listener) listener(entry);
}

void Transcript::Clear() {
  std::lock_guard lock(fMutex);
  fEntries.clear();
}

std::vector<Transcript::Entry> Transcript::Entries() const {
  std::lock_guard lock(fMutex);
  return {fEntries.begin(), fEntries.end()};
}

void Transcript::SetMaxEntries(size_t count) {
  std::lock_guard lock(fMutex);
  fMaxEntries = count;
  while (fMaxEntries > 0 && fEntries.size() > fMaxEntries) fEntries.pop_front();
}

namespace {

std::string Joined(const std::deque<Transcript::Entry>& entries, Transcript::Direction d) {
  std::string out;
  for (const auto& e : entries) {
    if (e.direction == d) out += e.bytes;
  }
  return out;
}

}  // namespace

std::string Transcript::ToModem() const {
  std::lock_guard lock(fMutex);
  return Joined(fEntries, Direction::ToModem);
}

std::string Transcript::FromModem() const {
  std::lock_guard lock(fMutex);
  return Joined(fEntries, Direction::FromModem);
}

std::string Transcript::Text() const {
  std::lock_guard lock(fMutex);
  std::string out;
  for (const auto& e : fEntries) {
    const auto ms = std::chrono::duration_cast<Milliseconds>(e.at - fEntries.front().at).count();
    out += std::to_string(ms) + " ms " + (e.direction == Direction::ToModem ? "host> " : "modem> ") +
           Escape(e.bytes) + "\n";
  }
  return out;
}

bool Transcript::WaitFor(Direction direction, std::string_view needle, Milliseconds timeout) const {
  std::unique_lock lock(fMutex);
  return fChanged.wait_for(lock, timeout, [&] {
    return Joined(fEntries, direction).find(needle) != std::string::npos;
  });
}

void Transcript::SetListener(std::function<void(const Entry&)> listener) {
  std::lock_guard lock(fMutex);
  fListener = std::move(listener);
}

// ---------------------------------------------------------------------------------------------
// Simulator: set-up and shutdown

namespace {

const Persona& Lookup(std::string_view name) {
  const Persona* p = FindPersona(name);
  if (p == nullptr) throw std::invalid_argument("unknown modem model: " + std::string(name));
  return *p;
}

}  // namespace

Simulator::Simulator(std::string_view persona, SimulatorOptions options)
    : Simulator(Lookup(persona), std::move(options)) {}

Simulator::Simulator(const Persona& persona, SimulatorOptions options)
    : fPersona(persona), fOptions(std::move(options)), fModem(persona) {
  if (!fOptions.pin.empty()) {
    fModem.SetPin(fOptions.pin, fOptions.pinState, fOptions.pinAttempts, fOptions.puk);
  } else if (fOptions.pinState != PinState::Ready) {
    fModem.SetPin("1234", fOptions.pinState, fOptions.pinAttempts, fOptions.puk);
  }
  if (::pipe2(fWake, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw std::system_error(errno, std::generic_category(), "qvsim: pipe");
  }
  if (const auto ec = BringUpLocked()) {
    ::close(fWake[0]);
    ::close(fWake[1]);
    throw std::system_error(ec, "qvsim: cannot open a pseudo-terminal");
  }
  fThread = std::thread([this] { Run(); });
}

Simulator::~Simulator() {
  {
    std::lock_guard lock(fMutex);
    fStop = true;
  }
  Wake();
  fThread.join();
  DropLocked();  // the thread is gone: no lock needed any more
  ::close(fWake[0]);
  ::close(fWake[1]);
}

std::string Simulator::DevicePath() const {
  std::lock_guard lock(fMutex);
  return fPty.IsOpen() ? fPty.SlavePath() : std::string();
}

std::string Simulator::Path() const {
  return fOptions.link.empty() ? DevicePath() : fOptions.link;
}

bool Simulator::IsUp() const {
  std::lock_guard lock(fMutex);
  return fPty.IsOpen();
}

void Simulator::Wake() {
  const char b = 1;
  [[maybe_unused]] const ssize_t n = ::write(fWake[1], &b, 1);  // a full pipe is awake already
}

// Drop and bring-up close and open descriptors the thread polls, so the thread does them.
void Simulator::Perform(Request request) {
  std::unique_lock lock(fMutex);
  fDone.wait(lock, [&] { return fRequest == Request::None; });
  fRequest = request;
  Wake();
  fDone.wait(lock, [&] { return fRequest == Request::None || fStop; });
}

void Simulator::DropDevice() { Perform(Request::Drop); }

std::error_code Simulator::BringUp() {
  Perform(Request::BringUp);
  std::lock_guard lock(fMutex);
  return fRequestResult;
}

void Simulator::DropLocked() {
  if (!fPty.IsOpen()) return;
  if (!fOptions.link.empty()) RemoveSymlink(fOptions.link, fPty.SlavePath());
  fPty.Close();
  fQueue.clear();
  fPacer.Reset();
  fModem.PowerCycle();  // a device that comes back has restarted
}

std::error_code Simulator::BringUpLocked() {
  if (fPty.IsOpen()) return {};
  if (const auto ec = fPty.Open()) return ec;
  if (!fOptions.link.empty()) {
    if (const auto ec = ReplaceSymlink(fOptions.link, fPty.SlavePath())) {
      fPty.Close();
      return ec;
    }
  }
  return {};
}

// ---------------------------------------------------------------------------------------------
// The modem's thread: reads the host's bytes, runs the modem, writes what is due

void Simulator::Run() {
  std::unique_lock lock(fMutex);
  while (!fStop) {
    if (fRequest != Request::None) {
      if (fRequest == Request::Drop) {
        DropLocked();
      } else {
        fRequestResult = BringUpLocked();
      }
      fRequest = Request::None;
      fDone.notify_all();
    }
    bool wantWrite = false;
    if (fPty.IsOpen()) wantWrite = WriteDue(fPty.Master(), Clock::now());
    const int fd = fPty.Master();  // after the writes: one of them may have dropped the device
    timespec wait{};
    timespec* timeout = nullptr;  // none: sleep until woken or the host writes
    if (fd >= 0 && !fQueue.empty() && !wantWrite) {
      const auto left = std::max(Clock::duration::zero(), NextWrite() - Clock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      wait = {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
      timeout = &wait;
    }
    if (fQueue.empty()) fDone.notify_all();  // WaitOutputIdle
    pollfd fds[2] = {{fWake[0], POLLIN, 0}, {fd, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
    lock.unlock();
    ::ppoll(fds, fd >= 0 ? 2 : 1, timeout, nullptr);
    lock.lock();
    if (fds[0].revents != 0) {
      char buf[64];
      while (::read(fWake[0], buf, sizeof buf) > 0) {
      }
    }
    if (fd >= 0 && fd == fPty.Master() && (fds[1].revents & POLLIN) != 0) ReadInput(fd);
  }
  fDone.notify_all();
}

void Simulator::ReadInput(int fd) {
  char buf[4096];
  const ssize_t n = ::read(fd, buf, sizeof buf);
  if (n <= 0) return;
  const std::string_view bytes(buf, static_cast<size_t>(n));
  fTranscript.Add(Transcript::Direction::ToModem, bytes);
  auto base = Clock::now();
  if (fBaud != 0) {  // the host's bytes take their time on a paced line too
    fInputFree = std::max(fInputFree, base) + ByteTime() * n;
    base = fInputFree;
  }
  Feed(bytes, base);
}

void Simulator::Feed(std::string_view bytes, Clock::time_point base) {
  const auto now = Clock::now();
  fModem.SetStarting(now < fSimReadyAt, now < fSmsReadyAt);
  size_t start = 0;
  while (start < bytes.size()) {
    if (fSilent) return;
    if (fIgnore > 0) {  // swallow up to and including the next CR
      const size_t cr = bytes.find('\r', start);
      if (cr == std::string_view::npos) return;
      --fIgnore;
      start = cr + 1;
      continue;
    }
    // one line at a time, so that a fault set for the next line starts at the right byte
    const size_t cr = bytes.find('\r', start);
    const size_t end = cr == std::string_view::npos ? bytes.size() : cr + 1;
    std::vector<Output> outputs;
    fModem.Receive(bytes.substr(start, end - start), outputs);
    start = end;
    if (!fDropOn.empty()) {
      for (const Output& o : outputs) {
        if (o.kind == Output::Kind::Reply && o.command == fDropOn) {
          fDropOn.clear();
          DropLocked();
          return;
        }
      }
    }
    Schedule(outputs, base);
  }
}

void Simulator::Schedule(std::vector<Output>& outputs, Clock::time_point base) {
  auto due = base;
  for (Output& o : outputs) {
    if (o.bytes.empty()) continue;
    due += o.delay;
    if (o.kind == Output::Kind::Reply) {
      due += fReplyDelay;
      const auto it = fCommandDelays.find(o.command);
      if (it != fCommandDelays.end()) due += it->second;
      if (!fNextDelays.empty()) {
        due += fNextDelays.front();
        fNextDelays.pop_front();
      }
    }
    Push(std::move(o.bytes), due, o.ring);
  }
}

// Output goes in order; a piece due no later than the unwritten piece before it joins it, so
// that it leaves in the same write. Timed events (repeated rings, a restart's start-up lines)
// are not part of that order: other output passes the ones still to come.
void Simulator::Push(std::string bytes, Clock::time_point due, bool ring, bool timer) {
  if (!fPty.IsOpen()) return;
  timer = timer || ring;
  auto at = fQueue.end();
  while (!timer && at != fQueue.begin() && std::prev(at)->timer && std::prev(at)->written == 0 &&
         std::prev(at)->due > due) {
    --at;
  }
  if (at != fQueue.begin()) {
    Pending& last = *std::prev(at);
    if (last.written == 0 && due <= last.due && !timer && !last.timer) {
      last.bytes += bytes;
      return;
    }
    due = std::max(due, last.due);
  }
  if (fMergeWindow.count() > 0) due = std::max(due, Clock::now() + fMergeWindow);
  fQueue.insert(at, {std::move(bytes), due, 0, ring, timer});
  Wake();
}

// Writes what is due; true when the device would block and POLLOUT is needed.
bool Simulator::WriteDue(int fd, Clock::time_point now) {
  fPacer.SetByteTime(ByteTime());
  while (!fQueue.empty() && fQueue.front().due <= now && fSplitFree <= now) {
    if (!fModem.Ringing()) {  // answered or ended: the rings still to come are off
      std::erase_if(fQueue, [](const Pending& x) { return x.ring && x.written == 0; });
      if (fQueue.empty() || fQueue.front().due > now) break;
    }
    Pending& p = fQueue.front();
    size_t chunk = ChunkDue(p, now);
    if (chunk == 0) break;  // the next byte is still crossing the line
    if (fDropAfter) {
      if (*fDropAfter == 0) return DropForOutputFault();
      chunk = std::min(chunk, *fDropAfter);
    }
    const ssize_t n = ::write(fd, p.bytes.data() + p.written, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;  // the host is not reading: wait for room
    if (n < 0) {  // the line is unusable: what was to be written is lost
      fQueue.clear();
      return false;
    }
    fTranscript.Add(Transcript::Direction::FromModem, std::string_view(p.bytes).substr(p.written, static_cast<size_t>(n)));
    p.written += static_cast<size_t>(n);
    if (fDropAfter) *fDropAfter -= static_cast<size_t>(n);
    if (fBaud != 0) {
      fPacer.Sent(p.due, static_cast<size_t>(n));
    } else if (fSplit > 0) {
      fSplitFree = now + fSplitGap;
    }
    if (p.written == p.bytes.size()) fQueue.pop_front();
  }
  return false;
}

// The output fault's budget is spent: the device goes, and with it the queue.
bool Simulator::DropForOutputFault() {
  fDropAfter.reset();
  DropLocked();
  return false;
}

// How much of the front piece may go in one write now.
size_t Simulator::ChunkDue(const Pending& p, Clock::time_point now) const {
  const size_t left = p.bytes.size() - p.written;
  if (fBaud != 0) return fPacer.Due(p.due, now, left);
  if (fSplit > 0) return std::min(left, fSplit);
  return left;
}

// When the front piece may write next.
Clock::time_point Simulator::NextWrite() const {
  const Pending& p = fQueue.front();
  if (fBaud != 0) return fPacer.NextDue(p.due);
  return std::max(p.due, fSplitFree);
}

Clock::duration Simulator::ByteTime() const {
  return LinePacer::ByteTimeAt(fBaud == kLineSpeed ? fPty.LineSpeed() : fBaud);
}

void Simulator::Restart() {
  std::lock_guard lock(fMutex);
  fModem.PowerCycle();
  auto due = Clock::now();
  fSimReadyAt = fSmsReadyAt = Clock::time_point{};
  for (const StartupLine& line : fPersona.startup) {
    due += Milliseconds(line.delayMs);
    if (!line.text.empty()) Push("\r\n" + line.text + "\r\n", due, false, true);
    if (line.simReady) fSimReadyAt = due;
    if (line.smsReady) fSmsReadyAt = due;
  }
  // unmarked: ready with the last line
  if (fSimReadyAt == Clock::time_point{}) fSimReadyAt = due;
  if (fSmsReadyAt == Clock::time_point{}) fSmsReadyAt = due;
}

bool Simulator::WaitOutputIdle(Milliseconds timeout) {
  std::unique_lock lock(fMutex);
  Wake();
  return fDone.wait_for(lock, timeout, [&] { return fQueue.empty(); });
}

// ---------------------------------------------------------------------------------------------
// Injections and faults

void Simulator::Inject(const std::function<void(std::vector<Output>&)>& make) {
  std::lock_guard lock(fMutex);
  std::vector<Output> outputs;
  make(outputs);
  if (!fSilent) Schedule(outputs, Clock::now());
}

int Simulator::InjectSms(std::string_view pduHex, SmsRoute route) {
  int index = -1;
  Inject([&](auto& out) { index = fModem.InjectSms(pduHex, route, out); });
  return index;
}

int Simulator::InjectStatusReport(std::string_view pduHex, SmsRoute route) {
  int index = -1;
  Inject([&](auto& out) { index = fModem.InjectStatusReport(pduHex, route, out); });
  return index;
}

void Simulator::InjectRing(std::string_view number, int count, Milliseconds interval) {
  Inject([&](auto& out) { fModem.InjectRing(number, out, count, interval); });
}

void Simulator::InjectHangup() {
  Inject([&](auto& out) { fModem.InjectHangup(out); });
}

void Simulator::InjectUssd(const UssdAnswer& answer) {
  Inject([&](auto& out) { fModem.InjectUssd(answer, out); });
}

void Simulator::InjectRegistration(int stat, int act) {
  Inject([&](auto& out) { fModem.SetRegistration(stat, act, out); });
}

void Simulator::InjectNetworkError(int cmsError) {
  Inject([&](auto& out) { fModem.InjectNetworkError(cmsError, out); });
}

void Simulator::InjectRaw(std::string_view bytes) {
  Inject([&](auto& out) { out.push_back({Output::Kind::Unsolicited, std::string(bytes), {}, {}}); });
}

void Simulator::InjectGarbage(size_t count, unsigned seed) {
  std::string bytes;
  unsigned x = seed ? seed : 1;
  for (size_t i = 0; i < count; ++i) {  // xorshift: reproducible noise, all byte values
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    bytes += static_cast<char>(x & 0xFF);
  }
  InjectRaw(bytes);
}

void Simulator::SetBaudRate(int bitsPerSecond) {
  std::lock_guard lock(fMutex);
  fBaud = bitsPerSecond;
}

void Simulator::SetReplyDelay(Milliseconds delay) {
  std::lock_guard lock(fMutex);
  fReplyDelay = delay;
}

void Simulator::DelayReplyTo(std::string command, Milliseconds delay) {
  std::lock_guard lock(fMutex);
  fCommandDelays[std::move(command)] = delay;
}

void Simulator::DelayNextReply(Milliseconds delay) {
  std::lock_guard lock(fMutex);
  fNextDelays.push_back(delay);
}

void Simulator::SetSilent(bool silent) {
  std::lock_guard lock(fMutex);
  fSilent = silent;
}

void Simulator::IgnoreCommands(int count) {
  std::lock_guard lock(fMutex);
  fIgnore = count;
}

void Simulator::SetSplitWrites(size_t chunk, Milliseconds gap) {
  std::lock_guard lock(fMutex);
  fSplit = chunk;
  fSplitGap = gap;
}

void Simulator::SetMergeWindow(Milliseconds window) {
  std::lock_guard lock(fMutex);
  fMergeWindow = window;
}

void Simulator::DropOnCommand(std::string command) {
  std::lock_guard lock(fMutex);
  fDropOn = std::move(command);
}

void Simulator::DropAfterOutput(std::optional<size_t> bytes) {
  {
    std::lock_guard lock(fMutex);
    fDropAfter = bytes;
  }
  Wake();  // a budget of 0 with output waiting drops at once
}

}  // namespace qvsim
