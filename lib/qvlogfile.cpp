#include "qvlogfile.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "platform/qvosinfo.h"
#include "qvsysutils.h"
#include "qvtext.h"

namespace fs = std::filesystem;

namespace {

constexpr char16_t kFormatError[] = u"Log format ERROR!!!";
constexpr char16_t kSaveError[] = u"Error when save log file:";

std::u16string StrFTime(const char* format, const std::tm& t) {
  char buf[128];
  const size_t n = std::strftime(buf, sizeof buf, format, &t);
  return qv::Utf8ToString(std::string_view(buf, n));
}

// A conversion that does not fit its value (%d given a text, %s given a
// number) is an error, as is a value missing; qv::Format reports the latter.
bool FormatArgsMatch(std::u16string_view f, const std::vector<qv::TqvFmtArg>& args) {
  size_t next = 0;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != u'%') continue;
    size_t j = i + 1;
    if (j < f.size() && f[j] == u'%') { i = j; continue; }
    while (j < f.size() && (f[j] == u'-' || f[j] == u'0' || f[j] == u'.' || (f[j] >= u'0' && f[j] <= u'9'))) ++j;
    if (j >= f.size()) return true;
    const char16_t conv = f[j] | 0x20;  // lower case
    if (next >= args.size()) return false;
    const bool text = std::holds_alternative<std::u16string>(args[next++]);
    if (conv == u's' ? !text : (conv == u'd' || conv == u'u' || conv == u'x') && text) return false;
    i = j;
  }
  return true;
}

const fs::path& CachedProgramPath() {
  static const fs::path p = qv::platform::ProgramPath();
  return p;
}

bool FolderWritable(const fs::path& dir) { return !dir.empty() && ::access(dir.c_str(), W_OK) == 0; }

// A log that would land in a folder we may not write goes to the user's state
// folder under the same file name.
fs::path WritableOrStateFolder(const fs::path& file) {
  if (FolderWritable(file.parent_path())) return file;
  const fs::path state = qv::platform::UserStateDir();
  if (state.empty()) return file;
  std::error_code ec;
  fs::create_directories(state, ec);
  return state / file.filename();
}

void WriteStderr(std::u16string_view line) {
  std::string out = qv::StringToUtf8(line);
  out += '\n';
  [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, out.data(), out.size());  // one write: lines never mix
}

}  // namespace

// ---------------------------------------------------------------- sink

void TqvLogSink::DetachFromLogs() {
  for (;;) {
    TqvLogFile* log = nullptr;
    {
      std::lock_guard g(mutex_);
      if (logs_.empty()) return;
      log = logs_.back();
    }
    log->ForgetSink(this);  // takes the log's lock, then ours: the same order as SetVisualOut
  }
}

// ---------------------------------------------------------------- log file

TqvLogFile::TqvLogFile(TqvComponent* AOwner) : TqvCustomLogFile(AOwner) {}

TqvLogFile::~TqvLogFile() {
  std::lock_guard g(cs_);
  if (!options_.Contains(TLogOption::loSafeMode)) Save();
  SetVisualOut(nullptr);
}

uint32_t TqvLogFile::SizeLimit() const { std::lock_guard g(cs_); return sizeLimit_; }
void TqvLogFile::SetSizeLimit(uint32_t value) { std::lock_guard g(cs_); sizeLimit_ = value; }
std::u16string TqvLogFile::FileName() const { std::lock_guard g(cs_); return fileName_; }
void TqvLogFile::SetFileName(std::u16string_view value) { std::lock_guard g(cs_); fileName_ = qv::TrimView(value); }
TLogOptions TqvLogFile::Options() const { std::lock_guard g(cs_); return options_; }
void TqvLogFile::SetOptions(TLogOptions value) { std::lock_guard g(cs_); options_ = value; }
bool TqvLogFile::AnsiOnly() const { std::lock_guard g(cs_); return ansiOnly_; }
void TqvLogFile::SetAnsiOnly(bool value) { std::lock_guard g(cs_); ansiOnly_ = value; }
TqvLogSink* TqvLogFile::VisualOut() const { std::lock_guard g(cs_); return sink_; }
std::u16string TqvLogFile::PendingText() const { std::lock_guard g(cs_); return log_; }

void TqvLogFile::SetVisualOut(TqvLogSink* sink) {
  std::lock_guard g(cs_);
  if (sink == sink_) return;
  if (sink_) {
    std::lock_guard sg(sink_->mutex_);
    std::erase(sink_->logs_, this);
  }
  sink_ = sink;
  sinkFailureReported_ = false;
  if (sink_) {
    std::lock_guard sg(sink_->mutex_);
    sink_->logs_.push_back(this);
  }
}

void TqvLogFile::ForgetSink(TqvLogSink* sink) {
  std::lock_guard g(cs_);
  if (sink_ == sink) {
    SetVisualOut(nullptr);
  } else {
    std::lock_guard sg(sink->mutex_);
    std::erase(sink->logs_, this);
  }
}

std::u16string TqvLogFile::SysInfoLine() {
  return u"qvcommlib " + LibraryVersion() + u" " + GetVersionString();
}

std::u16string TqvLogFile::FormatLine(TLogOptions options, std::chrono::system_clock::time_point when,
                                      std::u16string_view text) {
  std::u16string stamp;
  if (options.Contains(TLogOption::loDate) || options.Contains(TLogOption::loTime) ||
      options.Contains(TLogOption::loMSec)) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    if (options.Contains(TLogOption::loDate)) stamp = StrFTime("%x", local);
    if (options.Contains(TLogOption::loTime)) stamp += u" " + StrFTime("%X", local);
    if (options.Contains(TLogOption::loMSec)) {
      const auto ms = std::chrono::floor<std::chrono::milliseconds>(when) - std::chrono::floor<std::chrono::seconds>(when);
      stamp = qv::Format(u"%s +%.3d", {stamp, static_cast<int64_t>(ms.count())});
    }
    stamp = std::u16string(qv::TrimView(stamp));
  }
  std::u16string line;
  line.reserve(stamp.size() + 3 + text.size());
  if (!stamp.empty()) line += u"[" + stamp + u"] ";
  static constexpr char16_t hex[] = u"0123456789ABCDEF";
  for (char16_t c : text) {
    if (c >= 32) {
      line += c;
    } else {
      line += u'\\';
      line += hex[c >> 4];
      line += hex[c & 15];
      line += u'h';
    }
  }
  return line;
}

void TqvLogFile::Add(const std::u16string& s) {
  std::lock_guard g(cs_);
  AddLocked(s);
}

void TqvLogFile::AddLocked(std::u16string s) {
  if (flVersion_) {
    flVersion_ = false;
    AddSysInfo();
  }
  if (OnLogEntry) {
    try {
      OnLogEntry(this, s);
      if (s.empty()) return;
    } catch (...) {
      // A failing rewrite must not cost the entry: it is written as it stands.
    }
  }
  const std::u16string line = FormatLine(options_, Now(), s);
  if (options_.Contains(TLogOption::loDebugOut)) WriteStderr(line);
  log_ += line;
  log_ += u"\r\n";
  CapPending();
  if (sink_ && !inSinkFailure_) {
    try {
      sink_->AppendLine(line);
    } catch (...) {
      inSinkFailure_ = true;  // the handler may log: do not come back here meanwhile
      ReportOnce(sinkFailureReported_, u"");
      inSinkFailure_ = false;
    }
  }
  if (options_.Contains(TLogOption::loSafeMode)) Save();
}

void TqvLogFile::AddSysInfo() { Add(SysInfoLine()); }

void TqvLogFile::AddLog(TDetailLevel l, const std::u16string& s) {
  if (static_cast<int>(DetailLevel()) >= static_cast<int>(l)) Add(s);
}

void TqvLogFile::AddFmt(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) {
  std::u16string text;
  try {
    text = FormatArgsMatch(Format, Args) ? qv::Format(Format, Args) : std::u16string(kFormatError);
  } catch (...) {
    text = kFormatError;
  }
  Add(text);
}

void TqvLogFile::AddLogFmt(TDetailLevel l, const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) {
  if (static_cast<int>(DetailLevel()) >= static_cast<int>(l)) AddFmt(Format, Args);
}

// The effective path:
// - loAutoFileName: the program's path with its extension replaced by ".log";
// - a FileName without a folder: that name in the program's folder;
// - otherwise FileName as given (relative names from the current folder;
//   empty means no file).
// The first two fall back to the user's state folder ($XDG_STATE_HOME, else
// ~/.local/state) when the program's folder cannot be written.
std::u16string TqvLogFile::LogFilePath() const {
  std::lock_guard g(cs_);
  return ResolveLogPath(options_, fileName_, CachedProgramPath());
}

std::u16string TqvLogFile::ResolveLogPath(TLogOptions options, std::u16string_view fileName,
                                          const std::filesystem::path& program) {
  if (options.Contains(TLogOption::loAutoFileName)) {
    if (program.empty()) return {};
    fs::path p = program;
    p.replace_extension(".log");
    return qv::Utf8ToString(WritableOrStateFolder(p).string());
  }
  if (fileName.empty()) return {};
  const fs::path name(qv::StringToUtf8(fileName));
  if (!name.has_parent_path() && !program.empty())
    return qv::Utf8ToString(WritableOrStateFolder(program.parent_path() / name).string());
  return std::u16string(fileName);
}

void TqvLogFile::Save() {
  std::lock_guard g(cs_);
  const std::u16string path = LogFilePath();
  if (path.empty()) {
    CapPending();
    return;
  }
  if (log_.empty()) return;
  if (WriteToFile(path, log_)) {
    log_.clear();
    failureReported_ = false;
  } else {
    ReportFailure(kSaveError + path);
    CapPending();
  }
}

void TqvLogFile::Clear() {
  std::lock_guard g(cs_);
  log_.clear();
  const std::u16string path = LogFilePath();
  if (!path.empty())
    appender_.Remove(fs::path(qv::StringToUtf8(path)),
                     options_.Contains(TLogOption::loSharedLogFile) ? -1 : 200);
}

bool TqvLogFile::WriteToFile(const std::u16string& path, std::u16string_view text) {
  if (qv::TrimView(path).empty()) return false;
  auto bytes = [this, text] {
    if (ansiOnly_) return qv::StringToAnsi(text);
    std::string b(text.size() * 2, '\0');
    for (size_t i = 0; i < text.size(); ++i) {
      b[2 * i] = static_cast<char>(text[i] & 0xFF);
      b[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return b;
  };
  qv::platform::TqvLogAppend how;
  how.SizeLimit = sizeLimit_;
  // Without loSharedLogFile the file is ours: another writer holding it for
  // long is an error, reported like any other failed write; while that lasts,
  // later entries do not wait again.
  how.LockTimeoutMs = options_.Contains(TLogOption::loSharedLogFile) ? -1 : failureReported_ ? 0 : 200;
  how.CharSize = ansiOnly_ ? 1 : 2;
  how.OnReachLimit = [this] {
    if (!OnReachLimit) return;
    try {
      OnReachLimit(this);
    } catch (...) {
    }
  };
  return !appender_.Append(fs::path(qv::StringToUtf8(path)), bytes, how);
}

// Once per run of failures: the application's OnFatalError (its RaiseException
// answer is not needed, as nothing is thrown), else standard error.
void TqvLogFile::ReportFailure(const std::u16string& message) { ReportOnce(failureReported_, message); }

void TqvLogFile::ReportOnce(bool& reported, const std::u16string& message) {
  if (reported) return;
  reported = true;
  if (OnFatalError) {
    bool raise = true;
    try {
      OnFatalError(this, 0, 0, message, raise);
    } catch (...) {
    }
  } else {
    WriteStderr(u"qvLogFile: " + (message.empty() ? std::u16string(u"visual output failed") : message));
  }
}

void TqvLogFile::CapPending() {
  if (log_.size() <= kMaxPendingChars) return;
  // Keep the newest three quarters' worth of whole lines.
  const size_t from = log_.size() - kMaxPendingChars * 3 / 4;
  const size_t nl = log_.find(u'\n', from);
  log_.erase(0, nl == std::u16string::npos ? log_.size() : nl + 1);
}

// ---------------------------------------------------------------- masking

namespace qv {

std::u16string MaskedText(std::initializer_list<TqvLogPart> parts) {
  std::u16string out;
  for (const auto& p : parts) {
    if (p.Secret) out.append(p.Text.size(), u'*');
    else out += p.Text;
  }
  return out;
}

void AddLogMasked(TqvCustomLogFile* log, TDetailLevel level, std::initializer_list<TqvLogPart> parts) {
  if (!log || static_cast<int>(log->DetailLevel()) < static_cast<int>(level)) return;
  log->Add(MaskedText(parts));
}

void AddLogHex(TqvCustomLogFile* log, TDetailLevel level, std::u16string_view prefix, std::string_view bytes,
               std::span<const TqvByteRange> secrets) {
  if (!log || static_cast<int>(log->DetailLevel()) < static_cast<int>(level)) return;
  log->Add(std::u16string(prefix) + HexDump(bytes, secrets));
}

}  // namespace qv
