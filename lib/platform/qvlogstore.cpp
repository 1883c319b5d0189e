#include "platform/qvlogstore.h"

#include "platform/qvfile.h"

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

  TqvUniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.Valid()) return LastError();
  struct stat st{};
  if (::fstat(fd.Get(), &st) != 0) return LastError();
  const size_t size = static_cast<size_t>(st.st_size);
  const size_t limit = how.SizeLimit;
  const std::string made = makeText();
  std::string_view text = made;
  if (limit == 0 || size + text.size() <= limit) {
    // A write the disk took only part of (a full disk) is taken back, so that
    // the caller, who keeps the text, appends it whole later: no half line,
    // and no line twice.
    std::error_code ec = WriteAll(fd.Get(), text);
    if (ec) (void)::ftruncate(fd.Get(), static_cast<off_t>(size));
    if (auto cec = fd.Close(); !ec && cec) {
      ec = cec;
      (void)::truncate(path.c_str(), static_cast<off_t>(size));
    }
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
  // The kept tail of the file plus the new text, written beside the log and renamed over it.
  return ReplaceFile(path, {std::string_view(old).substr(cut), text}, {.Mode = st.st_mode, .Sync = false});
}

std::error_code TqvLogAppender::Remove(const fs::path& path, int lockTimeoutMs) {
  if (auto ec = Lock(path, lockTimeoutMs)) return ec;
  std::error_code ec;
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) ec = LastError();
  Unlock();
  return ec;
}

}  // namespace qv::platform
