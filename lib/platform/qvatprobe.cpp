#include "platform/qvatprobe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

#include "platform/qvserial.h"

namespace qv::platform {
namespace {

// Closes the descriptor, with the settings it had and its lock released.
class ProbeFd {
 public:
  explicit ProbeFd(int fd) : fd_(fd) {}
  ~ProbeFd() {
    if (saved_) ::tcsetattr(fd_, TCSANOW, &settings_);
    if (locked_) ::flock(fd_, LOCK_UN);
    ::close(fd_);
  }
  ProbeFd(const ProbeFd&) = delete;
  ProbeFd& operator=(const ProbeFd&) = delete;
  int Get() const { return fd_; }
  bool Lock() { return locked_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }
  bool Save() { return saved_ = ::tcgetattr(fd_, &settings_) == 0; }

 private:
  int fd_;
  bool locked_ = false;
  bool saved_ = false;
  termios settings_{};
};

bool IsOnBoardUart(const std::string& node) {
  const std::string name = std::filesystem::path(node).filename().string();
  std::error_code ec;
  const std::string target = std::filesystem::canonical(node, ec).filename().string();
  return name.starts_with("ttyS") || (!ec && target.starts_with("ttyS"));
}

bool Answered(const std::string& text) { return text.find("\r\nOK\r\n") != std::string::npos; }

}  // namespace

TAtProbe ProbeAt(const std::string& node, uint32_t timeoutMs) {
  struct stat st {};
  if (IsOnBoardUart(node) || ::stat(node.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return TAtProbe::apSkipped;
  if (HeldByAnotherProcess(node)) return TAtProbe::apHeld;
  const int raw = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (raw < 0) return errno == EBUSY ? TAtProbe::apHeld : TAtProbe::apSilent;
  ProbeFd fd(raw);
  if (!fd.Lock()) return TAtProbe::apHeld;  // taken between the look and the open
  if (!fd.Save()) return TAtProbe::apSilent;
  termios t{};
  ::tcgetattr(fd.Get(), &t);
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  ::tcsetattr(fd.Get(), TCSANOW, &t);
  ::tcflush(fd.Get(), TCIOFLUSH);
  if (::write(fd.Get(), "AT\r", 3) != 3) return TAtProbe::apSilent;

  std::string text;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!Answered(text) && text.size() < 256) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd.Get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[128];
    const ssize_t n = ::read(fd.Get(), buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return Answered(text) ? TAtProbe::apAnswers : TAtProbe::apSilent;
}

}  // namespace qv::platform
