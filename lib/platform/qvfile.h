// Small POSIX file helpers shared by the platform layer: errno as an error
// code, a descriptor that closes itself, whole reads and writes that retry
// EINTR, and replacing a file's content atomically.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace qv::platform {

// The calling thread's errno as an error code.
std::error_code LastError();

// A descriptor that closes itself; close is not retried on EINTR.
class TqvUniqueFd {
 public:
  explicit TqvUniqueFd(int fd = -1) : fd_(fd) {}
  TqvUniqueFd(const TqvUniqueFd&) = delete;
  TqvUniqueFd& operator=(const TqvUniqueFd&) = delete;
  ~TqvUniqueFd() { Reset(); }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Closes now and says whether the close failed (a late write error shows here).
  std::error_code Close();
  void Reset();

 private:
  int fd_;
};

std::error_code WriteAll(int fd, std::string_view data);

// Tests stand in for the write(2) calls of WriteAll (and so of ReplaceFile
// and the log store) to make them fail as a full disk does: the hook gets the
// descriptor and the bytes and returns what write would (the count written,
// or -1 with errno set). An empty hook restores the real write. Process-wide;
// returns the hook it replaced.
using TqvWriteHook = std::function<ssize_t(int fd, std::string_view data)>;
TqvWriteHook SetWriteHook(TqvWriteHook hook);

// Appends everything up to the end of the file to `out`.
std::error_code ReadAll(int fd, std::string& out);

struct TqvReplaceOptions {
  std::optional<unsigned> Mode;  // permission bits of the new file (else the default 0600)
  bool Sync = false;             // flush the data to the disk before the rename
};

// Writes `parts` one after the other to a temporary file beside `target` and
// renames it over `target`, so a reader sees the old or the new content, never
// a part of one, and a crash leaves no half-written file.
std::error_code ReplaceFile(const std::filesystem::path& target, std::initializer_list<std::string_view> parts,
                            TqvReplaceOptions options = {});

}  // namespace qv::platform
