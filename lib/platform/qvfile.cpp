#include "platform/qvfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>

namespace qv::platform {

namespace {

std::mutex writeHookMutex;
std::shared_ptr<const TqvWriteHook> writeHook;  // under writeHookMutex
std::atomic<bool> writeHookSet{false};

ssize_t WriteSome(int fd, std::string_view data) {
  if (writeHookSet.load(std::memory_order_acquire)) {
    std::shared_ptr<const TqvWriteHook> hook;
    {
      std::lock_guard lock(writeHookMutex);
      hook = writeHook;
    }
    if (hook) return (*hook)(fd, data);
  }
  return ::write(fd, data.data(), data.size());
}

}  // namespace

TqvWriteHook SetWriteHook(TqvWriteHook hook) {
  std::lock_guard lock(writeHookMutex);
  TqvWriteHook previous = writeHook ? *writeHook : TqvWriteHook();
  writeHook = hook ? std::make_shared<const TqvWriteHook>(std::move(hook)) : nullptr;
  writeHookSet.store(writeHook != nullptr, std::memory_order_release);
  return previous;
}

std::error_code LastError() { return {errno, std::generic_category()}; }

std::error_code TqvUniqueFd::Close() {
  const int fd = fd_;
  fd_ = -1;
  return fd >= 0 && ::close(fd) != 0 ? LastError() : std::error_code();
}

void TqvUniqueFd::Reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::error_code WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = WriteSome(fd, data);
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

std::error_code ReplaceFile(const std::filesystem::path& target, std::initializer_list<std::string_view> parts,
                            TqvReplaceOptions options) {
  std::string tmpl = target.string() + ".XXXXXX";
  TqvUniqueFd fd(::mkostemp(tmpl.data(), O_CLOEXEC));
  if (!fd.Valid()) return LastError();
  std::error_code ec;
  for (std::string_view part : parts)
    if (!ec) ec = WriteAll(fd.Get(), part);
  if (!ec && options.Mode && ::fchmod(fd.Get(), *options.Mode & 07777) != 0) ec = LastError();
  if (!ec && options.Sync && ::fsync(fd.Get()) != 0) ec = LastError();
  if (auto closeError = fd.Close(); !ec) ec = closeError;
  if (!ec && std::rename(tmpl.c_str(), target.c_str()) != 0) ec = LastError();
  if (ec) ::unlink(tmpl.c_str());
  return ec;
}

}  // namespace qv::platform
