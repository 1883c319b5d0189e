// The host side of a simulated modem, in plain POSIX: what a test needs to talk to the
// simulator's device without any of the library's serial code.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace qvsimtest {

class Host {
 public:
  explicit Host(const std::string& path) {
    fFd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fFd >= 0) {
      termios tio{};
      tcgetattr(fFd, &tio);
      cfmakeraw(&tio);
      tcsetattr(fFd, TCSANOW, &tio);
    }
  }
  ~Host() {
    if (fFd >= 0) ::close(fFd);
  }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  bool IsOpen() const { return fFd >= 0; }
  int Fd() const { return fFd; }

  void Send(std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fFd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else {
        pollfd p{fFd, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }

  // Reads what arrives within `wait`; also stops early at a hang-up.
  std::string ReadFor(std::chrono::milliseconds wait) {
    const auto end = std::chrono::steady_clock::now() + wait;
    std::string out;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || fHungUp) break;
      ReadSome(out, static_cast<int>(left.count()));
    }
    return out;
  }

  // Reads until `done` holds for the text read so far, or `timeout`.
  std::string ReadUntil(const std::function<bool(const std::string&)>& done,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    std::string out;
    while (!done(out)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0 || fHungUp) break;
      ReadSome(out, static_cast<int>(left.count()));
    }
    return out;
  }

  // Reads until the text read ends with `suffix`.
  std::string ReadUntilEnd(std::string_view suffix) {
    return ReadUntil([suffix](const std::string& s) { return s.ends_with(suffix); });
  }

  // Reads up to a final result code (verbose or numeric) or the PDU prompt.
  std::string ReadReply() { return ReadUntil(EndsWithFinal); }

  // Sends a command line and reads its reply up to the final result or the PDU prompt.
  std::string Command(std::string_view line) {
    Send(std::string(line) + "\r");
    return ReadReply();
  }

  static bool EndsWithFinal(const std::string& s) {
    if (s.ends_with("\r\n> ")) return true;
    if (s.size() >= 2 && s.back() == '\r' && s[s.size() - 2] >= '0' && s[s.size() - 2] <= '9' &&
        (s.size() == 2 || s[s.size() - 3] == '\n')) {
      return true;  // a numeric result code after ATV0
    }
    if (!s.ends_with("\r\n")) return false;
    const size_t start = s.rfind("\r\n", s.size() - 3);
    if (start == std::string::npos) return false;
    const std::string_view last = std::string_view(s).substr(start + 2, s.size() - start - 4);
    for (std::string_view final : {"OK", "ERROR", "NO CARRIER", "BUSY", "NO ANSWER"}) {
      if (last == final) return true;
    }
    return last.starts_with("+CME ERROR: ") || last.starts_with("+CMS ERROR: ");
  }

  bool HungUp() const { return fHungUp; }

 private:
  void ReadSome(std::string& out, int timeoutMs) {
    pollfd p{fFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return;
    char buf[4096];
    const ssize_t n = ::read(fFd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR) || (p.revents & POLLHUP) != 0) {
      fHungUp = true;
    }
  }

  int fFd = -1;
  bool fHungUp = false;
};

}  // namespace qvsimtest
