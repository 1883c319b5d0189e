// Appending to a log file that several processes may share, with a bounded
// size. Every change runs under an exclusive flock on "<log>.lock", a file
// that is never replaced, so writers in other processes (and other log
// objects in this one) never interleave or lose each other's lines. Trimming
// writes the kept tail and the new text to a temporary file and renames it
// over the log, so a crash of a writer leaves the old file or the new one,
// never a mix. (No sync to disk: at the limit every entry trims, and a sync
// per entry would cost far more than the entry.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include "qvapi.h"

QV_API_BEGIN

namespace qv::platform {

struct TqvLogAppend {
  uint32_t SizeLimit = 0;       // bytes; 0: no limit
  int LockTimeoutMs = -1;       // how long to wait for another writer; -1: as long as it takes
  size_t CharSize = 1;          // 1 for 8-bit text, 2 for UTF-16LE (line ends are found per unit)
  std::function<void()> OnReachLimit;  // called with the lock held, before trimming
};

class TqvLogAppender {
 public:
  TqvLogAppender() = default;
  TqvLogAppender(const TqvLogAppender&) = delete;
  TqvLogAppender& operator=(const TqvLogAppender&) = delete;
  ~TqvLogAppender();

  // Appends `text` (whole lines). With a size limit, whole lines are dropped
  // from the oldest end of the file (and, when the text alone is larger than
  // the limit, from the oldest end of the text) so the file stays within the
  // limit; a single line longer than the limit is cut to its first SizeLimit bytes.
  // An append that fails leaves the file as it was.
  std::error_code Append(const std::filesystem::path& path, std::string_view text, const TqvLogAppend& how);
  // The same with the text made only once the file is locked and open, so a
  // failing write costs no conversion of a large pending text.
  std::error_code Append(const std::filesystem::path& path, const std::function<std::string()>& makeText,
                         const TqvLogAppend& how);

  // Deletes the log under the lock; a missing file is no error.
  std::error_code Remove(const std::filesystem::path& path, int lockTimeoutMs);

 private:
  std::error_code Lock(const std::filesystem::path& path, int timeoutMs);
  void Unlock();

  int lockFd_ = -1;
  std::string lockPath_;
};

// The offset of the first line start at or after `from` in `data` (one past a
// line feed unit), data.size() when there is none. `charSize` is 1 or 2.
size_t NextLineStart(std::string_view data, size_t from, size_t charSize);

}  // namespace qv::platform

QV_API_END
