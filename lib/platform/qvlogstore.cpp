#include "platform/qvlogstore.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>

namespace qv::platform {
namespace fs = std::filesystem;
namespace {

std::error_code LastError() { return {errno, std::generic_category()}; }

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  std::error_code Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 && ::close(fd) != 0 ? LastError() : std::error_code();
  }
  void Reset() { if (fd_ >= 0) ::close(fd_); fd_ = -1; }

 private:
  int fd_;
};

std::error_code WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

std::error_code ReadAll(int fd, std::string& out) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    if (n == 0) return {};
    out.append(buf, static_cast<size_t>(n));
  }
}

// The newest whole lines of `text` that fit in `limit` bytes; when not even
// the last line fits, its first `limit` bytes.
std::string_view FitText(std::string_view text, size_t limit, size_t charSize) {
  if (text.size() <= limit) return text;
  size_t start = NextLineStart(text, text.size() - limit, charSize);
  if (start < text.size()) return text.substr(start);
  // The last line alone is too long: find where it starts and cut it.
  size_t last = 0;
  for (size_t p = 0; (p = NextLineStart(text, p + 1, charSize)) < text.size();) last = p;
  return text.substr(last, limit);
}

// Kept tail of the file plus the new text, written beside the log and renamed
// over it.
std::error_code ReplaceLog(const fs::path& path, std::string_view kept, std::string_view text, mode_t mode) {
  std::string tmpl = path.string() + ".XXXXXX";
  UniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
  if (!fd.Valid()) return LastError();
  std::error_code ec = WriteAll(fd.Get(), kept);
  if (!ec) ec = WriteAll(fd.Get(), text);
  if (!ec && ::fchmod(fd.Get(), mode & 07777) != 0) ec = LastError();
  if (auto cec = fd.Close(); !ec) ec = cec;
  if (!ec && std::rename(tmpl.c_str(), path.c_str()) != 0) ec = LastError();
  if (ec) ::unlink(tmpl.c_str());
  return ec;
}

}  // namespace

size_t NextLineStart(std::string_view data, size_t from, size_t charSize) {
  if (from == 0) return 0;
  if (charSize == 2) {  // a line feed unit "\n\0" at an even offset q starts a line at q + 2
    size_t q = from >= 2 ? from - 2 : 0;
    q += q & 1;
    for (; q + 1 < data.size(); q += 2)
      if (data[q] == '\n' && data[q + 1] == '\0') return q + 2;
    return data.size();
  }
  const size_t p = data.find('\n', from - 1);
  return p == std::string_view::npos ? data.size() : p + 1;
}

TqvLogAppender::~TqvLogAppender() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

std::error_code TqvLogAppender::Lock(const fs::path& path, int timeoutMs) {
  const std::string lockPath = path.string() + ".lock";
  if (lockFd_ < 0 || lockPath != lockPath_) {
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0) return LastError();
    lockPath_ = lockPath;
  }
  if (timeoutMs < 0) {
    while (::flock(lockFd_, LOCK_EX) != 0)
      if (errno != EINTR) return LastError();
    return {};
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return LastError();
    if (std::chrono::steady_clock::now() >= deadline) return std::make_error_code(std::errc::resource_unavailable_try_again);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return {};
}

void TqvLogAppender::Unlock() {
  if (lockFd_ >= 0) ::flock(lockFd_, LOCK_UN);
}

std::error_code TqvLogAppender::Append(const fs::path& path, std::string_view text, const TqvLogAppend& how) {
  return Append(path, [text] { return std::string(text); }, how);
}

std::error_code TqvLogAppender::Append(const fs::path& path, const std::function<std::string()>& makeText,
                                       const TqvLogAppend& how) {
  if (auto ec = Lock(path, how.LockTimeoutMs)) return ec;
  struct Unlocker { TqvLogAppender* a; ~Unlocker() { a->Unlock(); } } unlocker{this};

  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.Valid()) return LastError();
  struct stat st{};
  if (::fstat(fd.Get(), &st) != 0) return LastError();
  const size_t size = static_cast<size_t>(st.st_size);
  const size_t limit = how.SizeLimit;
  const std::string made = makeText();
  std::string_view text = made;
  if (limit == 0 || size + text.size() <= limit) {
    std::error_code ec = WriteAll(fd.Get(), text);
    if (auto cec = fd.Close(); !ec) ec = cec;
    return ec;
  }
  if (how.OnReachLimit) how.OnReachLimit();
  text = FitText(text, limit, how.CharSize);
  const size_t excess = size + text.size() > limit ? size + text.size() - limit : 0;
  std::string old;
  if (excess < size) {
    if (::lseek(fd.Get(), 0, SEEK_SET) < 0) return LastError();
    if (auto ec = ReadAll(fd.Get(), old)) return ec;
  }
  const size_t cut = excess >= old.size() ? old.size() : NextLineStart(old, excess, how.CharSize);
  return ReplaceLog(path, std::string_view(old).substr(cut), text, st.st_mode);
}

std::error_code TqvLogAppender::Remove(const fs::path& path, int lockTimeoutMs) {
  if (auto ec = Lock(path, lockTimeoutMs)) return ec;
  std::error_code ec;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) ec = LastError();
  Unlock();
  return ec;
}

}  // namespace qv::platform
