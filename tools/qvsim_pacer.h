// The clock of a paced serial line: how many of the bytes waiting to go out have crossed the
// line by a given moment. Every byte takes its byte time (ten bit times); a byte starts when the
// byte before it has crossed, or when it became ready if the line was idle then, never "when the
// writer woke up". So a writer that wakes late sends the whole backlog at once and the line keeps
// its rate, however coarse the wake-ups are. The moments come from the caller, which lets tests
// drive the clock.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

namespace qvsim {

class LinePacer {
 public:
  using Clock = std::chrono::steady_clock;

  // Ten bit times at `bitsPerSecond`; 0 or less: an unpaced line, everything is due at once.
  static Clock::duration ByteTimeAt(int bitsPerSecond) {
    if (bitsPerSecond <= 0) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(10'000'000'000LL / bitsPerSecond));
  }

  void SetByteTime(Clock::duration byteTime) { fByteTime = byteTime; }
  Clock::duration ByteTime() const { return fByteTime; }

  // Of `waiting` bytes that became ready at `ready`, how many have crossed the line by `now`.
  size_t Due(Clock::time_point ready, Clock::time_point now, size_t waiting) const {
    if (fByteTime <= Clock::duration::zero()) return waiting;
    const auto start = Start(ready);
    if (now < start) return 0;
    const auto crossed = static_cast<size_t>((now - start) / fByteTime);
    return std::min(crossed, waiting);
  }

  // `count` bytes that became ready at `ready` went out: the line is busy until they crossed.
  void Sent(Clock::time_point ready, size_t count) {
    fLineFree = Start(ready) + fByteTime * static_cast<Clock::rep>(count);
  }

  // When the next byte of a piece that became ready at `ready` will have crossed the line.
  Clock::time_point NextDue(Clock::time_point ready) const { return Start(ready) + fByteTime; }

  void Reset() { fLineFree = {}; }

 private:
  Clock::time_point Start(Clock::time_point ready) const { return std::max(fLineFree, ready); }

  Clock::duration fByteTime{};
  Clock::time_point fLineFree{};  // when the last byte sent has crossed the line
};

}  // namespace qvsim
