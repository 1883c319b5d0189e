#include "qvsim_pty.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

namespace qvsim {

namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

}  // namespace

Pty& Pty::operator=(Pty&& other) noexcept {
  if (this != &other) {
    Close();
    fMaster = std::exchange(other.fMaster, -1);
    fSlave = std::exchange(other.fSlave, -1);
    fSlavePath = std::move(other.fSlavePath);
  }
  return *this;
}

std::error_code Pty::Open() {
  Close();
  fMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fMaster < 0) return LastError();
  char name[PATH_MAX] = {};
  if (grantpt(fMaster) != 0 || unlockpt(fMaster) != 0 || ptsname_r(fMaster, name, sizeof name) != 0) {
    const auto ec = LastError();
    Close();
    return ec;
  }
  fSlavePath = name;
  fSlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fSlave < 0) {
    const auto ec = LastError();
    Close();
    return ec;
  }
  termios tio{};
  if (tcgetattr(fSlave, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetspeed(&tio, B115200);
    tcsetattr(fSlave, TCSANOW, &tio);
  }
  const int flags = fcntl(fMaster, F_GETFL);
  fcntl(fMaster, F_SETFL, flags | O_NONBLOCK);
  return {};
}

void Pty::Close() {
  if (fSlave >= 0) ::close(std::exchange(fSlave, -1));
  if (fMaster >= 0) ::close(std::exchange(fMaster, -1));
}

int Pty::LineSpeed() const {
  termios tio{};
  if (fSlave < 0 || tcgetattr(fSlave, &tio) != 0) return 0;
  static const std::pair<speed_t, int> kSpeeds[] = {
      {B300, 300},       {B600, 600},       {B1200, 1200},     {B2400, 2400},   {B4800, 4800},
      {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600}, {B115200, 115200},
      {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  const speed_t s = cfgetospeed(&tio);
  for (const auto& [code, bps] : kSpeeds) {
    if (code == s) return bps;
  }
  return 0;
}

std::error_code ReplaceSymlink(const std::string& link, const std::string& target) {
  const std::string temp = link + ".new" + std::to_string(::getpid());
  ::unlink(temp.c_str());
  if (::symlink(target.c_str(), temp.c_str()) != 0) return LastError();
  if (::rename(temp.c_str(), link.c_str()) != 0) {
    const auto ec = LastError();
    ::unlink(temp.c_str());
    return ec;
  }
  return {};
}

void RemoveSymlink(const std::string& link, const std::string& target) {
  char buf[PATH_MAX] = {};
  const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
  if (n > 0 && target == std::string(buf, static_cast<size_t>(n))) ::unlink(link.c_str());
}

}  // namespace qvsim
