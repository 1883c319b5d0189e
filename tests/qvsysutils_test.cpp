// Version texts, port-list ordering, buffer walkers, resources and the
// per-user value store behind the registry helpers.
#include "qvsysutils.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "platform/qvuserstore.h"
#include "qvtext.h"
#include "qvwin32.h"

namespace fs = std::filesystem;
using qv::u;

TEST(SysUtils, OsVersionKeepsItsShape) {
  struct Case { qv::platform::TqvOsInfo info; const char* expected; };
  const Case table[] = {
      {{"Linux", "Debian GNU/Linux 12 (bookworm)", "6.1.0-18-amd64", "x86_64"},
       "Linux Debian GNU/Linux 12 (bookworm) [6.1.0] x86_64"},
      {{"Linux", "Alpine Linux v3.19", "6.6.7", "aarch64"}, "Linux Alpine Linux v3.19 [6.6.7] aarch64"},
      {{"Linux", "", "5.4", ""}, "Linux  [5.4.0] "},   // nothing known: the brackets and spaces stay
      {{"", "", "", ""}, "Linux  [0.0.0] "},
  };
  for (const auto& c : table) EXPECT_EQ(FormatOsVersion(c.info), u(c.expected));
  const std::u16string live = GetVersionString();
  EXPECT_EQ(live.rfind(u"Linux ", 0), 0u);
  EXPECT_NE(live.find(u" ["), std::u16string::npos);
  EXPECT_NE(live.find(u"] "), std::u16string::npos);
}

TEST(SysUtils, OsReleaseValues) {
  const std::string text =
      "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nID=debian\r\nPRETTY_NAME='My \"OS\"'\nEMPTY=\nX=\"a\\\"b\"\n";
  EXPECT_EQ(qv::platform::OsReleaseValue(text, "NAME"), "Debian GNU/Linux");
  EXPECT_EQ(qv::platform::OsReleaseValue(text, "ID"), "debian");
  EXPECT_EQ(qv::platform::OsReleaseValue(text, "PRETTY_NAME"), "My \"OS\"");
  EXPECT_EQ(qv::platform::OsReleaseValue(text, "X"), "a\"b");
  EXPECT_EQ(qv::platform::OsReleaseValue(text, "EMPTY"), "");
  EXPECT_EQ(qv::platform::OsReleaseValue(text, "VERSION"), "");  // a prefix of VERSION_ID is no match
}

TEST(SysUtils, FileVersionIsTheProgramsOwn) {
  const std::u16string self = u(qv::platform::ProgramPath().string());
  EXPECT_EQ(GetVersionString(self), LibraryVersion() + u".0");
  EXPECT_EQ(GetVersionString(self, u"%u-%u"), LibraryVersion().substr(0, LibraryVersion().rfind(u'.')).replace(1, 1, u"-"));
  EXPECT_EQ(GetVersionString(u"/etc/hostname"), u"");
  EXPECT_EQ(GetVersionString(u"/no/such/file"), u"");
}

TEST(SysUtils, AddPortSortedKeepsNumberOrderAndFirstOfANumber) {
  TqvStringItems list;
  AddPortSorted(u"COM3=/dev/ttyS2", 3, list);
  AddPortSorted(u"COM1=/dev/ttyS0", 1, list);
  AddPortSorted(u"COM3=/dev/ttyUSB9", 3, list);  // number taken
  AddPortSorted(u"COM1=/dev/ttyS0", 1, list);    // same text
  AddPortSorted(u"COM2=/dev/ttyS1", 2, list);
  AddPortSorted(u"COM2=other", 2, list);
  AddPortSorted(u"COM40", 40, list);
  const TqvStringItems expected = {{u"COM1=/dev/ttyS0", 1}, {u"COM2=/dev/ttyS1", 2}, {u"COM3=/dev/ttyS2", 3},
                                   {u"COM40", 40}};
  EXPECT_EQ(list, expected);
}

TEST(SysUtils, MultiSzWalkIsSafeForAnyLength) {
  struct Case { std::u16string buf; const char16_t* expected; };
  const Case table[] = {
      {std::u16string(u"a\0b\0\0", 5), u"a;b"},
      {std::u16string(u"\0", 1), u""},
      {std::u16string(), u""},
      {std::u16string(u"ab", 2), u"a"},                   // unterminated: the last character is never read
      {std::u16string(u"a\0\0b\0\0", 6), u"a;;b"},
      {std::u16string(u"abc\0\0", 5), u"abc"},
      {std::u16string(u"\0\0", 2), u""},
  };
  for (const auto& c : table) EXPECT_EQ(MultiSzToString(std::u16string_view(c.buf), u";"), c.expected);
  const std::byte odd[] = {std::byte{'a'}, std::byte{0}, std::byte{0}, std::byte{0}, std::byte{'b'},
                           std::byte{0}, std::byte{0}, std::byte{0}, std::byte{7}};
  EXPECT_EQ(MultiSzToString(std::span<const std::byte>(odd), u", "), u"a, b");
  EXPECT_EQ(MultiSzToString(std::span<const std::byte>(odd, 1), u";"), u"");
  EXPECT_EQ(MultiSzToString(std::span<const std::byte>(), u";"), u"");
}

TEST(SysUtils, WideProcNameAndResources) {
  EXPECT_EQ(WideProcName("SetupDiGetClassDevsA"), "SetupDiGetClassDevsW");
  EXPECT_EQ(WideProcName(""), "");
  const std::string generic = LoadResourceText(u"qvgsm_gsm_common");
  EXPECT_FALSE(generic.empty());
  EXPECT_EQ(generic, LoadResourceText(u"QVGSM_GSM_COMMON"));
  EXPECT_EQ(LoadResourceText(u"NO_SUCH_RESOURCE"), "");
}

// ----------------------------------------------------------------- value store

namespace {

class TempConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "qvstore.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    saved = old ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  }
  void TearDown() override {
    if (saved) ::setenv("XDG_CONFIG_HOME", saved->c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(dir);
  }
  size_t FileCount() {
    size_t n = 0;
    for (auto& e : fs::recursive_directory_iterator(dir)) n += e.is_regular_file();
    return n;
  }
  fs::path dir;
  std::optional<std::string> saved;
};

}  // namespace

TEST_F(TempConfig, RegistryValuesRoundTripInTheUserStore) {
  using namespace qv;
  const std::string bytes("\x00\x01\xFF\r\n", 5);
  EXPECT_TRUE(RegWriteBinary(HKEY_CURRENT_USER, u"Software\\qv\\Port", u"Cfg", bytes));
  EXPECT_EQ(RegReadBinary(HKEY_CURRENT_USER, u"Software\\qv\\Port", u"Cfg"), bytes);
  EXPECT_TRUE(fs::exists(dir / "qvcommlib/HKEY_CURRENT_USER/Software/qv/Port/Cfg.bin"));
  EXPECT_EQ(RegReadBinary(HKEY_LOCAL_MACHINE, u"Software\\qv\\Port", u"Cfg"), std::nullopt);  // roots apart

  EXPECT_TRUE(RegWriteString(HKEY_CURRENT_USER, u"Software/qv/Port", u"Name", u"caf\u00E9 \u20AC"));
  EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, u"Software\\qv\\Port", u"Name"), u"caf\u00E9 \u20AC");
  // A value has one type: rewriting it as a string replaces the binary entry.
  EXPECT_TRUE(RegWriteString(HKEY_CURRENT_USER, u"Software\\qv\\Port", u"Cfg", u"text"));
  EXPECT_EQ(RegReadBinary(HKEY_CURRENT_USER, u"Software\\qv\\Port", u"Cfg"), std::nullopt);
  EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, u"Software\\qv\\Port", u"Cfg"), u"text");
  EXPECT_EQ(FileCount(), 2u);  // no temporary files left behind

  const auto key = RegOpenKey(HKEY_CURRENT_USER, u"Software\\qv\\Port", false);
  ASSERT_TRUE(key.Valid());
  TqvRegRoot root{};
  EXPECT_EQ(GetRegKeyPath(key, &root), u"Software\\qv\\Port");
  EXPECT_EQ(root, HKEY_CURRENT_USER);
  EXPECT_EQ(GetRegKeyPath(key), u"HKEY_CURRENT_USER\\Software\\qv\\Port");
  EXPECT_EQ(GetRegKeyPath(TqvRegKey{}), u"");
}

TEST_F(TempConfig, ReadingNeverCreatesAndBadNamesStayInside) {
  using namespace qv;
  EXPECT_EQ(RegReadString(HKEY_CURRENT_USER, u"Software\\Missing", u"X"), u"");
  EXPECT_EQ(RegReadBinary(HKEY_CURRENT_USER, u"Software\\Missing", u"X"), std::nullopt);
  EXPECT_FALSE(RegOpenKey(HKEY_CURRENT_USER, u"Software\\Missing", false).Valid());
  EXPECT_FALSE(RegKeyExists(HKEY_CURRENT_USER, u"Software\\Missing"));
  EXPECT_FALSE(fs::exists(dir / "qvcommlib"));

  EXPECT_FALSE(RegWriteBinary(HKEY_CURRENT_USER, u"..\\..\\escape", u"X", "1"));
  EXPECT_FALSE(RegWriteBinary(HKEY_CURRENT_USER, u"", u"X", "1"));
  EXPECT_FALSE(RegWriteBinary(TqvRegRoot::rrNone, u"Software", u"X", "1"));
  // Value names are file names with every unsafe character escaped.
  for (const char16_t* name : {u"../../x", u"a/b", u"", u".hidden", u"%41"}) {
    ASSERT_TRUE(RegWriteBinary(HKEY_CURRENT_USER, u"K", name, "v")) << qv::StringToUtf8(name);
    EXPECT_EQ(RegReadBinary(HKEY_CURRENT_USER, u"K", name), "v");
  }
  EXPECT_EQ(RegReadBinary(HKEY_CURRENT_USER, u"K", u"A"), std::nullopt);  // "%41" is no alias of "A"
  const std::string inside = (dir / "qvcommlib/HKEY_CURRENT_USER/K").string();
  for (auto& e : fs::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    EXPECT_EQ(e.path().string().rfind(inside, 0), 0u) << e.path();
  }
}

TEST_F(TempConfig, AReplacedValueIsNeverSeenHalfWritten) {
  const qv::platform::TqvUserStore store(dir / "s");
  const std::string a(100000, 'a'), b(100000, 'b');
  ASSERT_FALSE(store.Write("k", "v", {qv::platform::TqvStoreValueType::svBinary, a}));
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!stop) {
      auto v = store.Read("k", "v");
      if (!v || (v->Data != a && v->Data != b)) ++torn;
    }
  });
  for (int i = 0; i < 50; ++i)
    ASSERT_FALSE(store.Write("k", "v", {qv::platform::TqvStoreValueType::svBinary, i % 2 ? a : b}));
  stop = true;
  reader.join();
  EXPECT_EQ(torn, 0);
}
