#include "qvsecret.h"
#include "qvtext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using qv::TqvByteRange;
using qv::TqvSecretMask;

namespace {

// The received blocks dumped one after the other, as the port logs them.
std::string DumpBlocks(TqvSecretMask& mask, const std::vector<std::string>& blocks) {
  std::string out;
  for (const std::string& block : blocks) {
    const auto ranges = mask.ForReceived(block);
    out += qv::StringToUtf8(qv::HexDump(block, ranges)) + "|";
  }
  return out;
}

}  // namespace

TEST(SecretMask, TheMarkedWriteHidesItsSecretOnly) {
  TqvSecretMask mask;
  mask.MarkNextWrite("AT+CPIN=2026\r", "2026");
  const std::string line = "AT+CPIN=2026\r";
  const auto ranges = mask.ForWrite(line);
  EXPECT_EQ(qv::StringToUtf8(qv::HexDump(line, ranges)), "41 54 2B 43 50 49 4E 3D ** ** ** ** 0D");
  EXPECT_EQ(qv::StringToUtf8(qv::MaskedBytes(line, ranges)), "AT+CPIN=****\r");
  // A different write ends the mark: nothing of it is hidden.
  mask.MarkNextWrite("AT+CPIN=2026\r", "2026");
  EXPECT_TRUE(mask.ForWrite("AT+CMGL=4\r").empty());
  EXPECT_TRUE(mask.ForWrite("AT+CPIN=2026\r").empty());
}

// A PUK and a new PIN in one line: both hidden, in the write and its echo.
TEST(SecretMask, SeveralSecretsInOneLine) {
  TqvSecretMask mask;
  const std::string line = "AT+CPIN=12345678,2026\r";
  mask.MarkNextWrite(line, std::vector<std::string>{"12345678", "2026", ""});
  EXPECT_EQ(qv::StringToUtf8(qv::MaskedBytes(line, mask.ForWrite(line))), "AT+CPIN=********,****\r");
  EXPECT_EQ(DumpBlocks(mask, {"AT+CPIN=1234", "5678,20", "26\r"}),
            "41 54 2B 43 50 49 4E 3D ** ** ** **|** ** ** ** 2C ** **|** ** 0D|");
}

TEST(SecretMask, TheEchoIsHiddenHoweverItIsSplit) {
  struct Case {
    const char* name;
    std::vector<std::string> blocks;
    std::string dump;
  };
  const Case cases[] = {
      {"one read", {"AT+CPIN=2026\r\r\nOK\r\n"},
       "41 54 2B 43 50 49 4E 3D ** ** ** ** 0D 0D 0A 4F 4B 0D 0A|"},
      {"split inside the secret", {"AT+CPIN=20", "26\r"}, "41 54 2B 43 50 49 4E 3D ** **|** ** 0D|"},
      {"byte by byte", {"2", "0", "AT+CPIN=2", "0", "2", "6"}, "32|30|41 54 2B 43 50 49 4E 3D **|**|**|**|"},
      {"noise before the echo", {"\r\nRING\r\nAT+CPIN=2026\r"},
       "0D 0A 52 49 4E 47 0D 0A 41 54 2B 43 50 49 4E 3D ** ** ** ** 0D|"},
      {"the same digits elsewhere stay", {"AT+CPIN=2026\r", "+CCLK: \"2026/12/10\"\r\n"},
       "41 54 2B 43 50 49 4E 3D ** ** ** ** 0D|2B 43 43 4C 4B 3A 20 22 32 30 32 36 2F 31 32 2F 31 30 22 0D 0A|"},
  };
  for (const Case& c : cases) {
    TqvSecretMask mask;
    mask.MarkNextWrite("AT+CPIN=2026\r", "2026");
    mask.ForWrite("AT+CPIN=2026\r");
    EXPECT_EQ(DumpBlocks(mask, c.blocks), c.dump) << c.name;
  }
}

TEST(SecretMask, NoEchoIsWatchedAfterTheNextWrite) {
  TqvSecretMask mask;
  mask.MarkNextWrite("AT+CPIN=2026\r", "2026");
  mask.ForWrite("AT+CPIN=2026\r");
  mask.ForWrite("AT+CPIN?\r");
  EXPECT_TRUE(mask.ForReceived("AT+CPIN=2026\r").empty());
}
