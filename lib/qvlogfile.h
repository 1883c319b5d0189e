// The log file: every component's trace, one stamped and escaped line per
// entry, kept in memory and appended to a size-bounded text file that several
// processes may share, optionally mirrored to a visual sink and to standard
// error.
//
// Logging never throws into the caller and never throws on a thread: a file
// that cannot be written is reported once through OnFatalError (or standard
// error when no handler is set), the pending text is kept (bounded) and
// written with the next successful save.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/qvlogstore.h"
#include "qvclasses.h"
#include "qvsecret.h"
#include "qvapi.h"

QV_API_BEGIN

enum class TLogOption : uint8_t {
  loSafeMode = 1,       // write every entry to the file at once
  loAutoFileName = 2,   // the program's path with ".log"; FileName unused
  loSharedLogFile = 4,  // other processes write the same file: wait for their turn
  loDate = 8,
  loTime = 16,
  loMSec = 32,
  loDebugOut = 64,      // mirror every entry to standard error
};

class TLogOptions {
 public:
  constexpr TLogOptions() = default;
  constexpr TLogOptions(std::initializer_list<TLogOption> options) {
    for (auto o : options) bits_ |= static_cast<uint8_t>(o);
  }
  static constexpr TLogOptions FromBits(uint8_t bits) { TLogOptions o; o.bits_ = bits; return o; }
  constexpr uint8_t Bits() const { return bits_; }
  constexpr bool Contains(TLogOption o) const { return bits_ & static_cast<uint8_t>(o); }
  constexpr TLogOptions& Include(TLogOption o) { bits_ |= static_cast<uint8_t>(o); return *this; }
  constexpr TLogOptions& Exclude(TLogOption o) { bits_ &= static_cast<uint8_t>(~static_cast<uint8_t>(o)); return *this; }
  constexpr bool operator==(const TLogOptions&) const = default;

 private:
  uint8_t bits_ = 0;
};

using TOnLogEntry = TqvEvent<TObject* /*Sender*/, std::u16string& /*logEntry*/>;

class TqvLogFile;

// Visual output: receives each line (without line end) on the logging thread,
// with the log's lock held. AppendLine must hand the line to its widget's own
// thread and return at once, never waiting for that thread. A sink detaches
// itself from every log when destroyed; a derived sink whose AppendLine uses
// its own members calls DetachFromLogs() first thing in its destructor.
class TqvLogSink {
 public:
  TqvLogSink() = default;
  TqvLogSink(const TqvLogSink&) = delete;
  TqvLogSink& operator=(const TqvLogSink&) = delete;
  virtual ~TqvLogSink() { DetachFromLogs(); }

  virtual void AppendLine(std::u16string_view line) = 0;
  void DetachFromLogs();

 private:
  friend class TqvLogFile;
  std::mutex mutex_;
  std::vector<TqvLogFile*> logs_;
};

class TqvLogFile : public TqvCustomLogFile {
 public:
  explicit TqvLogFile(TqvComponent* AOwner = nullptr);
  ~TqvLogFile() override;

  void Save() override;
  void Clear() override;
  void Add(const std::u16string& s) override;
  void AddSysInfo() override;
  void AddLog(TDetailLevel l, const std::u16string& s) override;
  void AddFmt(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) override;
  void AddLogFmt(TDetailLevel l, const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) override;

  uint32_t SizeLimit() const;
  void SetSizeLimit(uint32_t value);
  std::u16string FileName() const;
  void SetFileName(std::u16string_view value);  // blanks trimmed
  TLogOptions Options() const;
  void SetOptions(TLogOptions value);
  bool AnsiOnly() const;
  void SetAnsiOnly(bool value);
  TqvLogSink* VisualOut() const;
  void SetVisualOut(TqvLogSink* sink);

  TNotifyEvent OnReachLimit;  // raised when a write would pass SizeLimit
  TOnLogEntry OnLogEntry;     // may rewrite an entry; an empty result drops it

  // The lines added but not yet saved, each ending in CR LF.
  std::u16string PendingText() const;
  // Where the file is written: see LogFilePath in the .cpp for the rules.
  std::u16string LogFilePath() const;
  // The same rules for a given program path (LogFilePath passes the running one).
  static std::u16string ResolveLogPath(TLogOptions options, std::u16string_view fileName,
                                       const std::filesystem::path& program);

  // The system information line: library name and version, one space, the
  // operating-system text.
  static std::u16string SysInfoLine();

  // One entry's line without its line end: the stamp for `options` at `when`
  // ("[" stamp "] ", or nothing), then `text` with every character below 32
  // written as "\XXh" (two upper-case hex digits).
  static std::u16string FormatLine(TLogOptions options, std::chrono::system_clock::time_point when,
                                   std::u16string_view text);

  // Memory kept for unsaved text while the file cannot be written (or when
  // there is no file at all): the oldest lines go first.
  static constexpr size_t kMaxPendingChars = 1 << 20;

 protected:
  // The moment an entry is stamped with (tests pin it).
  virtual std::chrono::system_clock::time_point Now() const { return std::chrono::system_clock::now(); }

 private:
  friend class TqvLogSink;
  void ForgetSink(TqvLogSink* sink);
  void AddLocked(std::u16string s);
  bool WriteToFile(const std::u16string& path, std::u16string_view text);
  void ReportFailure(const std::u16string& message);
  void ReportOnce(bool& reported, const std::u16string& message);
  void CapPending();

  mutable std::recursive_mutex cs_;
  std::u16string log_;
  uint32_t sizeLimit_ = 204800;
  std::u16string fileName_ = u"qvcommlib.log";
  TLogOptions options_{TLogOption::loSafeMode, TLogOption::loAutoFileName, TLogOption::loDate,
                       TLogOption::loTime, TLogOption::loDebugOut};
  bool flVersion_ = true;
  bool ansiOnly_ = true;
  bool failureReported_ = false;
  bool inSinkFailure_ = false;
  bool sinkFailureReported_ = false;
  TqvLogSink* sink_ = nullptr;
  qv::platform::TqvLogAppender appender_;
};

// Masking at the source: a component that sends or echoes a secret (a PIN)
// marks that part itself, so it never reaches the log; no line is ever
// searched for the secret's digits.
namespace qv {

struct TqvLogPart {
  TqvLogPart(std::u16string_view text, bool secret = false) : Text(text), Secret(secret) {}
  TqvLogPart(const char16_t* text) : Text(text) {}
  TqvLogPart(const std::u16string& text) : Text(text) {}
  std::u16string_view Text;
  bool Secret = false;
};
inline TqvLogPart LogSecret(std::u16string_view text) { return {text, true}; }

// The parts joined, each character of a secret part replaced by '*'.
std::u16string MaskedText(std::initializer_list<TqvLogPart> parts);

// Logging shorthands that do nothing without a log or below its level, and
// build no text then.
void AddLogMasked(TqvCustomLogFile* log, TDetailLevel level, std::initializer_list<TqvLogPart> parts);
void AddLogHex(TqvCustomLogFile* log, TDetailLevel level, std::u16string_view prefix, std::string_view bytes,
               std::span<const TqvByteRange> secrets = {});

}  // namespace qv

QV_API_END
