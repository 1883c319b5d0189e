// The log file: exact lines, levels, masking, size limit with trimming,
// failures that never throw, visual output, and sharing one file between
// threads and processes.
#include "qvlogfile.h"

#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/qvfile.h"
#include "platform/qvosinfo.h"
#include "qvsysutils.h"
#include "qvtext.h"

namespace fs = std::filesystem;
using qv::u;
using Clock = std::chrono::system_clock;
using enum TLogOption;

namespace {

// 2026-03-04 05:06:07.089 local time: "03/04/26" and "05:06:07" in the C locale.
Clock::time_point FixedTime(int ms = 89) {
  std::tm t{};
  t.tm_year = 126;
  t.tm_mon = 2;
  t.tm_mday = 4;
  t.tm_hour = 5;
  t.tm_min = 6;
  t.tm_sec = 7;
  t.tm_isdst = -1;
  return Clock::from_time_t(std::mktime(&t)) + std::chrono::milliseconds(ms);
}

class TestLog : public TqvLogFile {
 public:
  using TqvLogFile::TqvLogFile;
  Clock::time_point at = FixedTime();

 protected:
  Clock::time_point Now() const override { return at; }
};

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class LogDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "qvlog.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    path = dir / "test.log";
  }
  void TearDown() override { fs::remove_all(dir); }

  // A log on `path` with the given options and no size limit unless set.
  void Setup(TestLog& log, TLogOptions options, uint32_t limit = 0) {
    log.SetOptions(options);
    log.SetFileName(u(path.string()));
    log.SetSizeLimit(limit);
  }
  fs::path dir, path;
};

const std::string kSys = qv::StringToAnsi(TqvLogFile::SysInfoLine());

}  // namespace

TEST(LogLine, StampsAndEscapes) {
  struct Case { TLogOptions options; const char16_t* text; const char16_t* line; };
  const Case table[] = {
      {{loDate, loTime}, u"qvComm: open", u"[03/04/26 05:06:07] qvComm: open"},
      {{loDate, loTime, loMSec}, u"x", u"[03/04/26 05:06:07 +089] x"},
      {{loTime, loMSec}, u"x", u"[05:06:07 +089] x"},  // the leading space is trimmed away
      {{loMSec}, u"x", u"[+089] x"},
      {{loDate}, u"x", u"[03/04/26] x"},
      {{}, u"x", u"x"},
      {{}, u"AT\r\n", u"AT\\0Dh\\0Ah"},
      {{}, u"\x1A\x1F\x01 \x7F\u00E9\u20AC", u"\\1Ah\\1Fh\\01h \x7F\u00E9\u20AC"},
      {{}, u"", u""},
  };
  for (const auto& c : table) EXPECT_EQ(TqvLogFile::FormatLine(c.options, FixedTime(), c.text), c.line);
  EXPECT_EQ(TqvLogFile::FormatLine({}, FixedTime(), std::u16string(u"a\0b", 3)), u"a\\00hb");
  EXPECT_EQ(TqvLogFile::FormatLine({loMSec}, FixedTime(7), u""), u"[+007] ");
  EXPECT_EQ(TqvLogFile::FormatLine({loMSec}, FixedTime(0), u""), u"[+000] ");
}

TEST(LogLine, SysInfoNamesLibraryAndSystem) {
  EXPECT_EQ(TqvLogFile::SysInfoLine(), u"qvcommlib " + LibraryVersion() + u" " + GetVersionString());
}

TEST_F(LogDir, FirstEntryBringsTheSysInfoLineAndLevelsFilter) {
  {
    TestLog log;
    Setup(log, {loSafeMode, loDate, loTime});
    log.AddLog(TDetailLevel::dlDebug, u"not at this level");  // nothing, and no sys info either
    EXPECT_FALSE(fs::exists(path));
    log.AddLog(TDetailLevel::dlSimple, u"qvComm: Open\r");
    log.AddLogFmt(TDetailLevel::dlDetail, u"hidden %d", {int64_t{1}});
    log.SetDetailLevel(TDetailLevel::dlDetail);
    log.AddLogFmt(TDetailLevel::dlDetail, u"qvAT: %s=%d %.3d %x", {std::u16string(u"n"), int64_t{-5}, int64_t{7}, uint64_t{255}});
    log.AddFmt(u"%d", {std::u16string(u"text for a number")});
    log.AddFmt(u"%s %s", {std::u16string(u"one value")});
    log.AddFmt(u"%s", {int64_t{3}});
    log.AddFmt(u"100%% done", {});
  }
  const std::string s = "[03/04/26 05:06:07] ";
  EXPECT_EQ(ReadFile(path), s + kSys + "\r\n" + s + "qvComm: Open\\0Dh\r\n" + s + "qvAT: n=-5 007 ff\r\n" +
                                s + "Log format ERROR!!!\r\n" + s + "Log format ERROR!!!\r\n" + s +
                                "Log format ERROR!!!\r\n" + s + "100% done\r\n");
}

TEST_F(LogDir, EntryRewriteAndSuppression) {
  TestLog log;
  Setup(log, {loSafeMode});
  log.OnLogEntry = [](TObject*, std::u16string& e) {
    if (e.rfind(u"qvcommlib ", 0) == 0 || e == u"drop") e.clear();
    else if (e == u"boom") { e = u"boom!"; throw std::runtime_error("handler failure"); }
    else e = u"<" + e + u">";
  };
  log.Add(u"a");
  log.Add(u"drop");
  log.Add(u"boom");  // the handler's failure costs nothing: the text as it then stood is written
  log.AddSysInfo();  // suppressed by the same handler
  EXPECT_EQ(ReadFile(path), "<a>\r\nboom!\r\n");
}

TEST_F(LogDir, ExplicitSysInfoFirstGivesItTwice) {
  TestLog log;
  Setup(log, {loSafeMode});
  log.AddSysInfo();
  EXPECT_EQ(ReadFile(path), kSys + "\r\n" + kSys + "\r\n");
}

TEST_F(LogDir, SecretsAreMaskedAtTheSourceOnly) {
  TestLog log;
  Setup(log, {loSafeMode, loDate, loTime});
  log.SetDetailLevel(TDetailLevel::dlDebug);
  log.Add(u"year 2026");  // the PIN's digits elsewhere stay
  qv::AddLogMasked(&log, TDetailLevel::dlDetail, {u"qvGsm: send: AT+CPIN=\"", qv::LogSecret(u"2026"), u"\"\r"});
  const std::string sent = "AT+CPIN=\"2026\"\r";
  const qv::TqvByteRange pin[] = {{9, 4}};
  qv::AddLogHex(&log, TDetailLevel::dlDebug, u"qvComm: write: ", sent, pin);
  log.SetDetailLevel(TDetailLevel::dlSimple);
  qv::AddLogHex(&log, TDetailLevel::dlDebug, u"never: ", sent);
  qv::AddLogMasked(nullptr, TDetailLevel::dlSimple, {u"no log"});
  const std::string s = "[03/04/26 05:06:07] ";
  EXPECT_EQ(ReadFile(path), s + kSys + "\r\n" + s + "year 2026\r\n" + s + "qvGsm: send: AT+CPIN=\"****\"\\0Dh\r\n" +
                                s + "qvComm: write: 41 54 2B 43 50 49 4E 3D 22 ** ** ** ** 22 0D\r\n");
}

TEST(LogMask, RangesAndHex) {
  const std::string data("\x00\x7F\x80\xFF" "ab", 6);
  EXPECT_EQ(qv::HexDump(data), u"00 7F 80 FF 61 62");
  EXPECT_EQ(qv::HexDump(""), u"");
  const qv::TqvByteRange ranges[] = {{1, 1}, {4, 100}, {50, 2}};
  EXPECT_EQ(qv::HexDump(data, ranges), u"00 ** 80 FF ** **");
  EXPECT_EQ(qv::MaskedBytes("PIN1234\r", std::vector<qv::TqvByteRange>{{3, 4}}), u"PIN****\r");
  EXPECT_EQ(qv::MaskedText({u"a", qv::LogSecret(u"xyz"), u"", qv::LogSecret(u"")}), u"a***");
}

// ------------------------------------------------------------------ size limit

TEST_F(LogDir, SizeLimitTrimsWholeOldestLinesAndKeepsTheNewest) {
  struct Case {
    const char* name;
    std::vector<std::string> before;  // existing file lines, each with its CR LF
    std::u16string entry;             // text of one entry (a CR LF follows)
    uint32_t limit;
    std::string after;
    bool reached;
  };
  const std::string l10 = "line-0001\n";  // 10 bytes
  auto rep = [](const std::string& s, int n) { std::string r; while (n--) r += s; return r; };
  const Case table[] = {
      {"a 90-byte file and a 30-byte entry", std::vector<std::string>(9, l10), std::u16string(28, u'E'), 100,
       rep(l10, 7) + std::string(28, 'E') + "\r\n", true},
      {"lines longer than the excess go whole", std::vector<std::string>(3, std::string(29, 'x') + "\n"),
       std::u16string(28, u'E'), 100, rep(std::string(29, 'x') + "\n", 2) + std::string(28, 'E') + "\r\n", true},
      {"exactly at the limit", std::vector<std::string>(7, l10), std::u16string(28, u'E'), 100,
       rep(l10, 7) + std::string(28, 'E') + "\r\n", false},
      {"an entry longer than the limit", std::vector<std::string>(2, l10), std::u16string(30, u'E'), 20,
       std::string(20, 'E'), true},
      {"no limit", std::vector<std::string>(20, l10), u"E", 0, rep(l10, 20) + "E\r\n", false},
      {"a file without any line end", {std::string(90, 'x')}, u"E", 50, "E\r\n", true},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      for (const auto& l : c.before) out << l;
    }
    TestLog log;
    Setup(log, {loSafeMode}, c.limit);
    log.OnLogEntry = [](TObject*, std::u16string& e) { if (e.rfind(u"qvcommlib", 0) == 0) e.clear(); };
    int reached = 0;
    log.OnReachLimit = [&](TObject*) { ++reached; };
    log.Add(c.entry);
    EXPECT_EQ(ReadFile(path), c.after);
    EXPECT_EQ(reached, c.reached ? 1 : 0);
    EXPECT_EQ(log.PendingText(), u"");  // trimming counts as written
  }
}

TEST_F(LogDir, WideTextCountsTwoBytesAndTrimsOnCharacterLines) {
  TestLog log;
  Setup(log, {loSafeMode}, 40);
  log.SetAnsiOnly(false);
  log.OnLogEntry = [](TObject*, std::u16string& e) { if (e.rfind(u"qvcommlib", 0) == 0) e.clear(); };
  log.Add(u"\u20ACa");  // 4 characters with CR LF: 8 bytes
  log.Add(u"\u0A0Ab");  // a character whose low byte is a line feed is no line end
  log.Add(u"cccccccc");  // 20 bytes: 36 in all
  EXPECT_EQ(fs::file_size(path), 36u);
  log.Add(u"d");  // 8 more: the first line goes
  const std::string s = ReadFile(path);
  auto w = [](std::u16string_view t) {
    std::string b;
    for (char16_t c : t) { b += char(c & 0xFF); b += char(c >> 8); }
    return b;
  };
  EXPECT_EQ(s, w(u"\u0A0Ab\r\ncccccccc\r\nd\r\n"));
}

TEST_F(LogDir, BufferedTextLongerThanTheLimitKeepsItsNewestLines) {
  {
    TestLog log;
    Setup(log, {}, 25);
    log.OnLogEntry = [](TObject*, std::u16string& e) { if (e.rfind(u"qvcommlib", 0) == 0) e.clear(); };
    for (int i = 0; i < 10; ++i) log.Add(u"entry" + qv::IntToStr(i));  // 8 bytes each
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(log.PendingText().size(), 80u);
  }  // destruction saves a log without loSafeMode
  EXPECT_EQ(ReadFile(path), "entry7\r\nentry8\r\nentry9\r\n");
}

// ------------------------------------------------------------------ failures

TEST_F(LogDir, AnUnwritableFileIsReportedOnceAndNothingIsLost) {
  TestLog log;
  const fs::path sub = dir / "later";
  log.SetOptions({loSafeMode});
  log.SetFileName(u((sub / "x.log").string()));
  std::vector<std::u16string> reports;
  log.OnFatalError = [&](TObject*, uint32_t code, uint32_t detail, const std::u16string& msg, bool& raise) {
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(detail, 0u);
    EXPECT_TRUE(raise);
    reports.push_back(msg);
  };
  EXPECT_NO_THROW(log.Add(u"one"));
  EXPECT_NO_THROW(log.Add(u"two"));
  EXPECT_EQ(reports, std::vector<std::u16string>{u"Error when save log file:" + u((sub / "x.log").string())});
  EXPECT_EQ(log.PendingText(), u(kSys) + u"\r\none\r\ntwo\r\n");
  fs::create_directory(sub);
  log.Add(u"three");
  EXPECT_EQ(ReadFile(sub / "x.log"), kSys + "\r\none\r\ntwo\r\nthree\r\n");
  EXPECT_EQ(log.PendingText(), u"");
  fs::remove_all(sub);
  log.Add(u"four");  // a new run of failures is reported again
  EXPECT_EQ(reports.size(), 2u);
}

TEST_F(LogDir, WithoutAHandlerTheFailureGoesToStandardErrorOnce) {
  TestLog log;
  log.SetOptions({loSafeMode});
  log.SetFileName(u((dir / "missing" / "x.log").string()));
  testing::internal::CaptureStderr();
  EXPECT_NO_THROW(log.Add(u"one"));
  EXPECT_NO_THROW(log.Save());
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "qvLogFile: Error when save log file:" + (dir / "missing" / "x.log").string() + "\n");
}

TEST_F(LogDir, PendingTextIsCappedWhileTheFileStaysUnwritable) {
  TestLog log;
  log.SetOptions({loSafeMode});
  log.SetFileName(u((dir / "missing" / "x.log").string()));
  log.OnFatalError = [](TObject*, uint32_t, uint32_t, const std::u16string&, bool&) {};
  const std::u16string line(1000, u'x');
  for (int i = 0; i < 2000; ++i) log.Add(line + qv::IntToStr(i));
  const std::u16string pending = log.PendingText();
  EXPECT_LE(pending.size(), TqvLogFile::kMaxPendingChars);
  EXPECT_EQ(pending.substr(pending.size() - 6), u"1999\r\n");  // the newest stays
  EXPECT_EQ(pending.find(u'x'), 0u);  // whole lines only
}

// A full disk, injected under the platform's writes: the disk takes
// `accepted` more bytes, then every write fails with ENOSPC until Free().
class FullDisk {
 public:
  explicit FullDisk(size_t accepted) : left_(accepted) {
    qv::platform::SetWriteHook([this](int fd, std::string_view data) -> ssize_t {
      std::lock_guard lock(mutex_);
      if (left_ == 0) {
        ++refused_;
        errno = ENOSPC;
        return -1;
      }
      const size_t n = std::min(left_, data.size());
      left_ -= n;
      return ::write(fd, data.data(), n);
    });
  }
  ~FullDisk() { Free(); }
  void Free() { qv::platform::SetWriteHook({}); }
  int Refused() const {
    std::lock_guard lock(mutex_);
    return refused_;
  }

 private:
  mutable std::mutex mutex_;
  size_t left_;
  int refused_ = 0;
};

// While the disk is full the program goes on, the failure is reported once,
// the file keeps what it had (a write cut short is taken back: no half line),
// and memory keeps the newest lines; once there is room again they are all
// written, each once, and a later failure is reported again.
TEST_F(LogDir, AFullDiskKeepsTheNewestLinesAndResumesWhenItFrees) {
  // With `trim` every write passes the size limit, so the file is rewritten.
  // The long outage saves once at its end only: in safe mode every entry
  // would try to write all that memory holds.
  struct Case { const char* name; size_t accepted; bool trim; size_t lineLength; int lines; bool safe; };
  const Case table[] = {
      {"nothing fits", 0, false, 1000, 5, true},
      {"part of a line fits", 7, false, 1000, 5, true},
      {"the trimmed copy fails", 7, true, 40, 5, true},
      {"a long outage", 0, false, 1000, 1200, false},  // more than memory keeps
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    fs::remove(path);
    TestLog log;
    const auto limit = static_cast<uint32_t>(c.trim ? kSys.size() + 30 : 0);
    Setup(log, c.safe ? TLogOptions{loSafeMode} : TLogOptions{}, limit);
    std::vector<std::u16string> reports;
    log.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::u16string& msg, bool&) { reports.push_back(msg); };
    log.Add(u"before");
    log.Save();
    const std::string kept = ReadFile(path);
    ASSERT_EQ(kept, kSys + "\r\nbefore\r\n");

    FullDisk disk(c.accepted);
    const std::u16string filler(c.lineLength, u'x');
    for (int i = 0; i < c.lines; ++i) EXPECT_NO_THROW(log.Add(filler + qv::IntToStr(i)));
    EXPECT_NO_THROW(log.Save());
    EXPECT_GT(disk.Refused(), 0);
    EXPECT_EQ(reports, std::vector<std::u16string>{u"Error when save log file:" + u(path.string())});
    EXPECT_EQ(ReadFile(path), kept);
    const std::u16string pending = log.PendingText();
    EXPECT_LE(pending.size(), TqvLogFile::kMaxPendingChars);
    EXPECT_TRUE(pending.ends_with(qv::IntToStr(c.lines - 1) + u"\r\n"));  // the newest stays
    EXPECT_EQ(pending.find(u'x'), 0u);                                      // whole lines only

    disk.Free();
    log.Add(u"after");
    log.Save();
    EXPECT_EQ(log.PendingText(), u"");
    const std::string written = qv::StringToAnsi(pending) + "after\r\n";
    const std::string file = ReadFile(path);
    if (!c.trim) {
      EXPECT_EQ(file, kept + written);
    } else {
      EXPECT_LE(file.size(), limit);
      EXPECT_TRUE(file.ends_with("after\r\n"));
    }
    FullDisk again(0);
    log.Add(u"full again");
    log.Save();
    EXPECT_EQ(reports.size(), 2u);
  }
}

// A folder the log may not write to, which then becomes writable. As root
// permissions stop no write, so there a regular file stands in the folder's
// place until it is replaced by a folder.
TEST_F(LogDir, AnUnwritableFolderKeepsTheLinesUntilItCanBeWritten) {
  const fs::path folder = dir / "logs";
  const bool root = ::geteuid() == 0;
  if (root) {
    std::ofstream(folder) << "not a folder";
  } else {
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  }
  TestLog log;
  log.SetOptions({loSafeMode});
  log.SetFileName(u((folder / "x.log").string()));
  int reports = 0;
  log.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::u16string&, bool&) { ++reports; };
  for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(log.Add(u"line" + qv::IntToStr(i)));
  EXPECT_EQ(reports, 1);
  EXPECT_EQ(log.PendingText(), u(kSys) + u"\r\nline0\r\nline1\r\nline2\r\n");

  if (root) {
    fs::remove(folder);
    fs::create_directory(folder);
  } else {
    fs::permissions(folder, fs::perms::owner_all);
  }
  log.Add(u"line3");
  EXPECT_EQ(ReadFile(folder / "x.log"), kSys + "\r\nline0\r\nline1\r\nline2\r\nline3\r\n");
  EXPECT_EQ(log.PendingText(), u"");
}

TEST_F(LogDir, AFileHeldByAnotherWriterIsAnErrorUnlessShared) {
  TestLog log;
  Setup(log, {loSafeMode});
  bool reported = false;
  log.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::u16string&, bool&) { reported = true; };
  const int other = ::open((path.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  log.Add(u"waits");
  EXPECT_TRUE(reported);
  EXPECT_NE(log.PendingText().find(u"waits"), std::u16string::npos);

  log.SetOptions({loSafeMode, loSharedLogFile});  // shared: wait for the other writer's turn
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::flock(other, LOCK_UN);
  });
  log.Add(u"after");
  release.join();
  ::close(other);
  EXPECT_EQ(ReadFile(path), kSys + "\r\nwaits\r\nafter\r\n");
}

TEST_F(LogDir, ClearDropsBufferAndFile) {
  TestLog log;
  Setup(log, {loSafeMode});
  log.Add(u"x");
  ASSERT_TRUE(fs::exists(path));
  log.SetOptions({});
  log.Add(u"y");
  log.Clear();
  EXPECT_EQ(log.PendingText(), u"");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_NO_THROW(log.Clear());  // a missing file is no error
}

TEST(LogPath, EffectivePathRules) {
  TqvLogFile log;
  const fs::path program = qv::platform::ProgramPath();
  fs::path autoName = program;
  autoName.replace_extension(".log");
  EXPECT_EQ(log.LogFilePath(), u(autoName.string()));  // the default: loAutoFileName
  log.SetOptions({});
  EXPECT_EQ(log.FileName(), u"qvcommlib.log");
  EXPECT_EQ(log.LogFilePath(), u((program.parent_path() / "qvcommlib.log").string()));  // not the current folder
  log.SetFileName(u"  logs/a.log ");
  EXPECT_EQ(log.FileName(), u"logs/a.log");
  EXPECT_EQ(log.LogFilePath(), u"logs/a.log");
  log.SetFileName(u"/var/tmp/b.log");
  EXPECT_EQ(log.LogFilePath(), u"/var/tmp/b.log");
  log.SetFileName(u"");
  EXPECT_EQ(log.LogFilePath(), u"");
  log.Add(u"memory only");  // no file at all: the text stays in memory
  log.Save();
  EXPECT_NE(log.PendingText().find(u"memory only"), std::u16string::npos);
}

TEST_F(LogDir, AProgramFolderThatCannotBeWrittenFallsBackToTheStateFolder) {
  const char* old = std::getenv("XDG_STATE_HOME");
  const std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
  ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
  const fs::path gone = "/nonexistent/bin/prog";  // a folder nobody can write
  const fs::path here = dir / "bin" / "prog.exe";
  fs::create_directories(here.parent_path());
  struct Case { TLogOptions options; const char16_t* fileName; fs::path program; std::string expected; };
  const Case table[] = {
      {{loAutoFileName}, u"", gone, (dir / "state/prog.log").string()},
      {{loAutoFileName}, u"", here, (dir / "bin/prog.log").string()},
      {{}, u"x.log", gone, (dir / "state/x.log").string()},
      {{}, u"x.log", here, (dir / "bin/x.log").string()},
      {{}, u"/nonexistent/y.log", gone, "/nonexistent/y.log"},  // a path of its own is kept (and reported)
  };
  for (const auto& c : table)
    EXPECT_EQ(TqvLogFile::ResolveLogPath(c.options, c.fileName, c.program), u(c.expected)) << c.expected;
  EXPECT_TRUE(fs::is_directory(dir / "state"));
  if (saved) ::setenv("XDG_STATE_HOME", saved->c_str(), 1); else ::unsetenv("XDG_STATE_HOME");
}

// ------------------------------------------------------------------ visual output

namespace {

// Like a widget sink: AppendLine queues the line for the widget's thread and
// returns; the widget thread may itself log while handling a line.
class QueuedSink : public TqvLogSink {
 public:
  explicit QueuedSink(TqvLogFile& log) : log_(log), widget_([this] { Run(); }) {}
  ~QueuedSink() override {
    DetachFromLogs();
    {
      std::lock_guard g(m_);
      stop_ = true;
    }
    cv_.notify_all();
    widget_.join();
  }
  void AppendLine(std::u16string_view line) override {
    std::lock_guard g(m_);
    queue_.emplace_back(line);
    cv_.notify_all();
  }
  std::vector<std::u16string> WaitFor(size_t n) {
    std::unique_lock lk(m_);
    cv_.wait_for(lk, std::chrono::seconds(10), [&] { return shown_.size() >= n; });
    return shown_;
  }

 private:
  void Run() {
    std::unique_lock lk(m_);
    for (;;) {
      cv_.wait(lk, [&] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      std::u16string line = std::move(queue_.front());
      queue_.pop_front();
      lk.unlock();
      if (line.ends_with(u"] ping")) log_.Add(u"pong from the widget");  // would deadlock a sink that waited
      lk.lock();
      shown_.push_back(std::move(line));
      cv_.notify_all();
    }
  }
  TqvLogFile& log_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::u16string> queue_;
  std::vector<std::u16string> shown_;
  bool stop_ = false;
  std::thread widget_;
};

struct ThrowingSink : TqvLogSink {
  void AppendLine(std::u16string_view) override { throw std::runtime_error("widget gone wrong"); }
};

}  // namespace

TEST_F(LogDir, VisualOutputGetsEachLineOnItsOwnThread) {
  TestLog log;
  Setup(log, {loSafeMode, loTime});
  {
    QueuedSink sink(log);
    log.SetVisualOut(&sink);
    log.Add(u"ping");
    log.Add(u"x\r");
    auto shown = sink.WaitFor(4);
    // The widget's own line races the main thread's second one.
    std::sort(shown.begin() + 2, shown.end());
    EXPECT_EQ(shown, (std::vector<std::u16string>{u"[05:06:07] " + u(kSys), u"[05:06:07] ping",
                                                  u"[05:06:07] pong from the widget", u"[05:06:07] x\\0Dh"}));
  }
  EXPECT_EQ(log.VisualOut(), nullptr);  // the destroyed sink detached itself
  log.Add(u"after");
}

TEST_F(LogDir, AFailingSinkIsReportedAndTheEntryStillSaved) {
  TestLog log;
  Setup(log, {loSafeMode});
  ThrowingSink sink;
  log.SetVisualOut(&sink);
  int reports = 0;
  log.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::u16string& msg, bool&) {
    EXPECT_EQ(msg, u"");
    ++reports;
  };
  EXPECT_NO_THROW(log.Add(u"a"));
  EXPECT_EQ(ReadFile(path), kSys + "\r\na\r\n");
  EXPECT_EQ(reports, 1);
}

TEST_F(LogDir, DebugOutputIsOneLinePerEntry) {
  TestLog log;
  Setup(log, {loDebugOut});
  log.OnLogEntry = [](TObject*, std::u16string& e) { if (e.rfind(u"qvcommlib", 0) == 0) e.clear(); };
  testing::internal::CaptureStderr();
  log.Add(u"caf\u00E9\r\n");
  log.Add(u"two");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "caf\xC3\xA9\\0Dh\\0Ah\ntwo\n");
}

// ------------------------------------------------------------------ sharing

TEST_F(LogDir, ThreadsLoggingAtOnceLoseNothing) {
  TestLog log;
  Setup(log, {loSafeMode});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) log.Add(u"T" + qv::IntToStr(t) + u" " + qv::IntToStr(i));
    });
  for (auto& th : threads) th.join();
  std::istringstream in(ReadFile(path));
  std::map<int, int> next;
  std::string line;
  std::getline(in, line);  // sys info
  int count = 0;
  while (std::getline(in, line)) {
    ASSERT_EQ(line.back(), '\r');
    const int t = line[1] - '0';
    EXPECT_EQ(std::stoi(line.substr(3)), next[t]++) << line;  // each thread's lines in order
    ++count;
  }
  EXPECT_EQ(count, 800);
}

TEST_F(LogDir, TwoProcessesShareOneLogAndBothTrim) {
  constexpr uint32_t kLimit = 3000;
  constexpr int kLines = 400;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int reached = 0;
      {
        TestLog log;
        Setup(log, {loSafeMode, loSharedLogFile}, kLimit);
        log.OnLogEntry = [](TObject*, std::u16string& e) { if (e.rfind(u"qvcommlib", 0) == 0) e.clear(); };
        log.OnReachLimit = [&](TObject*) { ++reached; };
        bool failed = false;
        log.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::u16string&, bool&) { failed = true; };
        for (int i = 0; i < kLines; ++i) log.Add(u"P" + qv::IntToStr(p) + u" " + qv::IntToStr(10000 + i));
        if (failed) ::_exit(2);
      }
      ::_exit(reached > 0 ? 0 : 3);  // each process trimmed at least once
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  const std::string text = ReadFile(path);
  EXPECT_LE(text.size(), kLimit);
  EXPECT_GT(text.size(), kLimit - 11);  // full: no more than one line's room left
  // What survives of each process is an unbroken run up to some line: a line
  // lost to a race would leave a hole.
  std::istringstream in(text);
  std::string line;
  std::map<int, std::vector<int>> seen;
  while (std::getline(in, line)) {
    ASSERT_EQ(line.size(), 9u) << line;  // "Pn 1xxxx\r": whole lines only
    seen[line[1] - '0'].push_back(std::stoi(line.substr(3, 5)) - 10000);
  }
  bool someoneEnded = false;
  for (const auto& [p, seqs] : seen) {
    for (size_t i = 1; i < seqs.size(); ++i) EXPECT_EQ(seqs[i], seqs[i - 1] + 1) << "process " << p;
    someoneEnded |= !seqs.empty() && seqs.back() == kLines - 1;
  }
  EXPECT_TRUE(someoneEnded);
}
