#include "qvpty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace qv::test {
namespace {

[[noreturn]] void Fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

}  // namespace

TqvPtyPair::TqvPtyPair() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) Fail("posix_openpt");
  if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0) Fail("unlockpt");
  char name[128];
  if (::ptsname_r(master_, name, sizeof name) != 0) Fail("ptsname_r");
  slavePath_ = name;
  // The slave's settings live as long as the master: make it raw once here.
  const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave < 0) Fail("open pty slave");
  termios t{};
  ::tcgetattr(slave, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave, TCSANOW, &t);
  ::close(slave);
}

TqvPtyPair::~TqvPtyPair() { CloseMaster(); }

void TqvPtyPair::CloseMaster() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void TqvPtyPair::Write(std::string_view bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!bytes.empty()) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) Fail("write to pty master");
    if (MsLeft(deadline) == 0) throw std::runtime_error("pty master: write stalled");
    pollfd p{master_, POLLOUT, 0};
    ::poll(&p, 1, 100);
  }
}

std::string TqvPtyPair::Read(size_t count, std::chrono::milliseconds timeout) {
  std::string out;
  const auto deadline = Clock::now() + timeout;
  char buf[4096];
  while (out.size() < count) {
    const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n > 0) {
      out.append(buf, size_t(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // EIO: nobody holds the slave right now; wait as for no data.
    if (n < 0 && errno != EAGAIN && errno != EIO) Fail("read from pty master");
    const int ms = MsLeft(deadline);
    if (ms == 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, std::min(ms, 20)) < 0 && errno != EINTR) Fail("poll pty master");
    if (p.revents & POLLHUP) ::usleep(5000);  // no slave open: poll does not wait
  }
  return out;
}

std::string TqvPtyPair::ReadAvailable(std::chrono::milliseconds quiet) {
  std::string out;
  for (;;) {
    std::string more = Read(1 << 20, quiet);
    if (more.empty()) return out;
    out += more;
  }
}

TqvTempDir::TqvTempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "qvtest.XXXXXX").string();
  if (!::mkdtemp(templ.data())) Fail("mkdtemp");
  path_ = templ;
}

TqvTempDir::~TqvTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void PointLink(const std::string& link, const std::string& target) {
  const std::string tmp = link + ".new";
  std::error_code ec;
  std::filesystem::remove(tmp, ec);
  std::filesystem::create_symlink(target, tmp);
  std::filesystem::rename(tmp, link);  // replaces an existing link atomically
}

}  // namespace qv::test
