#include "qvatdriver.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "qvmodeldrivers.h"
#include "qvresource.h"
#include "qvtext.h"

using qv::u;

namespace {

std::string Utf8(const std::u16string& s) { return qv::StringToUtf8(s); }

std::vector<std::string> Patterns(const TqvCustomATDriver& d) {
  std::vector<std::string> out;
  for (const auto& e : d.slResponses) out.push_back(e.Object->Str());
  return out;
}

// ---- field splitter -------------------------------------------------------

TEST(ExtractField, SplitsGroupsAndTrims) {
  struct Case {
    std::string line;
    int n;
    std::string field;
  } cases[] = {
      {"+CPMS: \"SM\",3,20", 1, "+CPMS: SM"},
      {"+CPMS: \"SM\",3,20", 2, "3"},
      {"+CPMS: \"SM\",3,20", 4, ""},
      {"  a , b ,c  ", 2, "b"},
      {"\"x,y\",z", 1, "x,y"},
      {"(1-5,7),\"SM\"", 1, "1-5,7"},
      {"(1-5,7),\"SM\"", 2, "SM"},
      {"pre\"quoted\"post,2", 1, "prequotedpost"},
      {"a,b\rc,d", 2, "b"},
      {"a,b\rc,d", 3, ""},
      {"\"open,never closed", 1, "open,never closed"},
      {"", 1, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qv::ExtractField(std::string_view(c.line), c.n), c.field) << c.line << " #" << c.n;
    EXPECT_EQ(Utf8(qv::ExtractField(std::u16string_view(u(c.line)), c.n)), c.field);
  }
}

// ---- loader ---------------------------------------------------------------

TEST(DriverLoader, ReadsTheThreeKindsOfLine) {
  TqvCustomATDriver d;
  ASSERT_TRUE(d.LoadFromString(
      "HKR, Responses, \"<cr><lf>+CMT:\", 1, 107, 01\r\n"
      "HKR, gsmSendSMSPdu, \"AT+CMGS=<SMSLen><cr>\", 2,101\r\n"
      "HKR, gsmGetSignalStatus, \"AT+CSQ<cr>\", 1,0,1,31\n"
      "HKR, Settings, gsmPhoneBookMem, 2,\"LD\",1,103,105,106\r"
      "HKR, gsmInit, \"ATZ<cr>\", 2 ; reset first\r\n"));
  ASSERT_EQ(d.slResponses.size(), 1u);
  auto* r = d.GetResponse(0);
  EXPECT_EQ(r->Str(), "\r\n+CMT:");
  EXPECT_EQ(r->iOrder, 1);
  EXPECT_EQ(r->Tag, 107);
  EXPECT_EQ(r->Data, 1u);
  EXPECT_EQ(Utf8(d.slResponses[0].Text), "\"<cr><lf>+CMT:\", 1, 107, 01");

  ASSERT_EQ(d.slCommands.size(), 3u);
  auto* cmgs = d.GetCommands(0);
  EXPECT_EQ(Utf8(cmgs->fName), "gsmSendSMSPdu");
  EXPECT_EQ(Utf8(cmgs->fCommand), "AT+CMGS=<SMSLen><cr>");
  EXPECT_EQ(cmgs->idOrder, 2);
  EXPECT_EQ(cmgs->idExpectedReply, 101);
  EXPECT_EQ(cmgs->idCmd, 0);
  auto* csq = d.GetCommands(1);
  EXPECT_EQ(csq->idExpectedReply, 0);
  EXPECT_EQ(csq->Data[0], 1);
  EXPECT_EQ(csq->Data[1], 31);
  EXPECT_EQ(csq->Data[2], 0);
  auto* atz = d.GetCommands(2);
  EXPECT_EQ(Utf8(atz->fCommand), "ATZ<cr>");
  EXPECT_EQ(atz->idOrder, 2);
  EXPECT_EQ(Utf8(d.slCommands[2].Text), "gsmInit, \"ATZ<cr>\", 2");

  ASSERT_EQ(d.slSettings.size(), 1u);
  auto* pb = d.GetSettings(0);
  EXPECT_EQ(Utf8(pb->fName), "gsmPhoneBookMem");
  EXPECT_EQ(pb->idOrder, 2);
  EXPECT_EQ(Utf8(pb->fCommand), "LD");
  EXPECT_EQ((std::vector<int>{pb->Data[0], pb->Data[1], pb->Data[2], pb->Data[3], pb->Data[4]}),
            (std::vector<int>{1, 103, 105, 106, 0}));
}

TEST(DriverLoader, DefaultsCommentsAndIgnoredLines) {
  TqvCustomATDriver d;
  ASSERT_TRUE(d.LoadFromString(
      "; a whole-line comment\n"
      "// another\n"
      "\t   \n"
      "hkr, responses, \"<CR><LF>OK<Cr><lF>\"\n"       // lower-case words, only a pattern
      "HKR, gsmA, \"AT\"\n"                             // only name and text
      "HKR, gsmB, \"AT+X=1;+Y\", 1\n"                   // a literal ';' cuts the line
      "HKR, gsmC, \"AT<sem>\", 1, 0, 300, -1, x\n"      // Data keeps the low 8 bits
      "HKR, gsmD, \"http://x\", 3\n"                    // '//' cuts too
      "XYZ, gsmE, \"AT\", 1\n"                          // no HKR: ignored
      "HKR, Settings, gsmS, abc, \"ME\"\n"));
  ASSERT_EQ(d.slResponses.size(), 1u);
  EXPECT_EQ(d.GetResponse(0)->Str(), "\r\nOK\r\n");
  EXPECT_EQ(d.GetResponse(0)->iOrder, 1);
  EXPECT_EQ(d.GetResponse(0)->Tag, 0);
  EXPECT_EQ(d.GetResponse(0)->Data, 0u);

  ASSERT_EQ(d.slCommands.size(), 4u);
  EXPECT_EQ(d.GetCommands(0)->idOrder, 0);
  EXPECT_EQ(d.GetCommands(0)->idExpectedReply, 0);
  EXPECT_EQ(Utf8(d.GetCommands(1)->fCommand), "AT+X=1");  // cut at the semicolon, quote unclosed
  EXPECT_EQ(d.GetCommands(2)->Data[0], 44);
  EXPECT_EQ(d.GetCommands(2)->Data[1], 255);
  EXPECT_EQ(d.GetCommands(2)->Data[2], 0);
  EXPECT_EQ(Utf8(d.GetCommands(3)->fCommand), "http:");
  ASSERT_EQ(d.slSettings.size(), 1u);
  EXPECT_EQ(d.GetSettings(0)->idOrder, 0);
  EXPECT_EQ(Utf8(d.GetSettings(0)->fCommand), "ME");
}

TEST(DriverLoader, IncludesParseInPlaceWithLetterCaseIgnored) {
  for (const char* stmt : {"Include = qvgsm_GSM_Common", "include=QVGSM_GSM_COMMON",
                           "HKR, gsmX, in clude = QvGsm_gsm_common"}) {
    TqvCustomATDriver d;
    ASSERT_TRUE(d.LoadFromString(std::string("HKR, gsmFirst, \"A\", 1\n") + stmt +
                                 "\nHKR, gsmLast, \"B\", 1\n"));
    ASSERT_EQ(d.slCommands.size(), 28u) << stmt;
    EXPECT_EQ(Utf8(d.GetCommands(0)->fName), "gsmFirst");
    EXPECT_EQ(Utf8(d.GetCommands(1)->fName), "gsmGetManufacturer");
    EXPECT_EQ(Utf8(d.GetCommands(27)->fName), "gsmLast");
  }
  // The name runs to the end of the space-free line, a quote included, so this
  // line is an include of nothing rather than a command.
  TqvCustomATDriver unknown;
  EXPECT_TRUE(unknown.LoadFromString("Include = no_such_script\nHKR, gsmX, \"include=qvgsm_GSM_Common\"\n"
                                     "HKR, gsmA, \"A\"\n"));
  EXPECT_EQ(unknown.slCommands.size(), 1u);
}

TEST(DriverLoader, IncludeCycleIsStopped) {
  const std::map<std::string, std::string> scripts = {
      {"A", "HKR, gsmA, \"a\", 1\nInclude = b\n"},
      {"B", "HKR, gsmB, \"b\", 1\nInclude = A\nInclude = b\n"},
  };
  TqvCustomATDriver d;
  d.IncludeSource = [&](std::string_view name) -> std::optional<std::string_view> {
    std::string key(name);
    for (auto& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto it = scripts.find(key);
    if (it == scripts.end()) return std::nullopt;
    return std::string_view(it->second);
  };
  ASSERT_TRUE(d.LoadFromString("Include = a\n"));
  std::vector<std::string> names;
  for (const auto& e : d.slCommands) names.push_back(Utf8(e.Object->fName));
  EXPECT_EQ(names, (std::vector<std::string>{"gsmA", "gsmB"}));
}

TEST(DriverLoader, LoadFromFileDetectsEncoding) {
  const auto dir = std::filesystem::temp_directory_path() / "qvatdriver_test";
  std::filesystem::create_directories(dir);
  auto write = [&](const char* name, const std::string& bytes) {
    auto p = dir / name;
    std::ofstream(p, std::ios::binary) << bytes;
    return p.string();
  };
  const std::string line = "HKR, gsmA, \"AT\xE9\", 1\r\n";  // é in Windows-1252
  std::string utf16le = "\xFF\xFE";
  for (char16_t c : u"HKR, gsmA, \"AT\u00E9\", 1\r\n") {
    if (!c) break;
    utf16le += static_cast<char>(c & 0xFF);
    utf16le += static_cast<char>(c >> 8);
  }
  for (const auto& path : {write("ansi.inf", line), write("utf8.inf", "\xEF\xBB\xBFHKR, gsmA, \"AT\xC3\xA9\", 1\r\n"),
                           write("utf16.inf", utf16le)}) {
    TqvCustomATDriver d;
    ASSERT_TRUE(d.LoadFromFile(path)) << path;
    ASSERT_EQ(d.slCommands.size(), 1u) << path;
    EXPECT_EQ(d.GetCommands(0)->fCommand, u"AT\u00E9") << path;
  }
  TqvCustomATDriver missing;
  EXPECT_FALSE(missing.LoadFromFile((dir / "absent.inf").string()));
  std::filesystem::remove_all(dir);
}

// ---- matching and response order -------------------------------------------

TEST(DriverMatching, FirstCompletingMatcherWinsAndAllReset) {
  TqvCustomATDriver none;
  for (char c : std::string("\r\nOK\r\n")) EXPECT_EQ(none.IsResponse(static_cast<uint8_t>(c)), -1);

  TqvCustomATDriver d;
  ASSERT_TRUE(d.LoadFromString(
      "HKR, Responses, \"<cr><lf>OK<cr><lf>\", 1, 0\n"
      "HKR, Responses, \"<cr><lf>+CPIN: READY<cr><lf><cr><lf>OK<cr><lf>\", 1, 0\n"
      "HKR, Responses, \"K<cr><lf>\", 1, 5\n"));
  std::string reply = "\r\n+CPIN: READY\r\n\r\nOK\r\n";
  int32_t hit = -1;
  size_t at = 0;
  for (size_t i = 0; i < reply.size() && hit < 0; ++i) {
    hit = d.IsResponse(static_cast<uint8_t>(reply[i]));
    at = i;
  }
  EXPECT_EQ(hit, 0);  // list order decides between patterns ending on the same byte
  EXPECT_EQ(at, reply.size() - 1);
  for (const auto& e : d.slResponses) EXPECT_FALSE(e.Object->IsPossible());

  d.MoveResponses(5, 0);  // now: K<cr><lf>, OK, CPIN: the short "K" pattern wins
  std::vector<int32_t> hits;
  for (char c : reply) {
    auto i = d.IsResponse(static_cast<uint8_t>(c));
    if (i >= 0) hits.push_back(d.GetResponse(i)->Tag);
  }
  EXPECT_EQ(hits, (std::vector<int32_t>{5}));
}

TEST(DriverMatching, LookupsByIdAndOrder) {
  TqvCustomATDriver d;
  ASSERT_TRUE(d.LoadFromString(
      "HKR, Responses, \"A\", 1, 7\nHKR, Responses, \"B\", 2, 109\nHKR, Responses, \"C\", 1, 109\n"
      "HKR, gsmX, \"x1\", 1\nHKR, gsmX, \"x2\", 2\nHKR, Settings, gsmS, 2, \"v\"\n"));
  EXPECT_EQ(d.GetResponseById(109)->Str(), "B");
  EXPECT_EQ(d.GetResponseById(42), nullptr);
  d.GetCommands(1)->idCmd = 9;
  d.GetSettings(0)->idCmd = 9;
  EXPECT_EQ(d.IndexOfCommand(9, 2), 1);
  EXPECT_EQ(d.IndexOfCommand(9, 1), -1);
  EXPECT_EQ(d.IndexOfSetting(9, 2), 0);
  EXPECT_EQ(d.IndexOfSetting(0, 2), -1);
}

struct MoveCase {
  const char* name;
  std::vector<std::pair<std::string, int>> before;  // pattern, tag
  int id, position;
  std::vector<std::string> after;
};

class MoveResponsesTable : public ::testing::TestWithParam<MoveCase> {};

TEST_P(MoveResponsesTable, Reorders) {
  const auto& c = GetParam();
  TqvCustomATDriver d;
  std::string script;
  for (const auto& [p, tag] : c.before) script += "HKR, Responses, \"" + p + "\", 1, " + std::to_string(tag) + "\n";
  ASSERT_TRUE(d.LoadFromString(script));
  d.MoveResponses(c.id, c.position);
  EXPECT_EQ(Patterns(d), c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MoveResponsesTable,
    ::testing::Values(
        MoveCase{"ErrorsUpToOne",
                 {{"OK", 0}, {"RINGING", 1}, {"CONNECT", 2}, {"ERROR", 3}, {"NOTSUPPORT", 3}}, 3, 1,
                 {"OK", "NOTSUPPORT", "ERROR", "RINGING", "CONNECT"}},
        // B slides into index 0 after A has moved and is not tested again.
        MoveCase{"SlidingEntryNotRetested", {{"A", 0}, {"B", 0}, {"C", 1}, {"D", 1}, {"E", 1}}, 0, 3,
                 {"B", "C", "D", "A", "E"}},
        MoveCase{"AlreadyInPlace", {{"A", 1}, {"B", 0}, {"C", 0}}, 0, 1, {"A", "B", "C"}},
        MoveCase{"PositionOutOfRange", {{"A", 1}, {"B", 0}}, 0, 2, {"A", "B"}},
        MoveCase{"RingingToFront", {{"OK", 0}, {"X", 3}, {"RINGING", 1}}, 1, 0, {"RINGING", "OK", "X"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- built-in scripts ------------------------------------------------------

size_t CountStatements(std::string_view script, const char* word) {
  size_t n = 0, pos = 0;
  while ((pos = script.find(word, pos)) != std::string_view::npos) {
    if (pos == 0 || script[pos - 1] == '\n') ++n;
    pos += 1;
  }
  return n;
}

// The names a script includes, upper-cased as the resources are named.
std::vector<std::string> IncludesOf(std::string_view script) {
  std::vector<std::string> names;
  for (size_t pos = 0; (pos = script.find("Include = ", pos)) != std::string_view::npos; ++pos) {
    if (pos != 0 && script[pos - 1] != '\n') continue;
    const size_t start = pos + 10, end = script.find('\r', start);
    std::string name(script.substr(start, end - start));
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    names.push_back(name);
  }
  return names;
}

TEST(BuiltInScripts, EveryLineOfEveryScriptIsParsed) {
  const auto& all = qv::EmbeddedResources();
  ASSERT_EQ(all.size(), qv::kModelDrivers.size() + 7);  // the model scripts and seven shared ones
  std::map<std::string, size_t> entries;  // entries a script yields with its includes
  auto load = [](std::string_view data) {
    TqvCustomATDriver d;
    EXPECT_TRUE(d.LoadFromString(data));
    return d.slCommands.size() + d.slResponses.size() + d.slSettings.size();
  };
  for (const char* shared : {"QVGSM_AT_RESPONSES", "QVGSM_GSM_COMMON", "QVGSM_GSM_PIN", "QVGSM_GSM_DIAGNOSTIC",
                             "QVGSM_GSM_MODULE", "QVGSM_QUECTEL", "QVGSM_GSM_NETWORK"}) {
    auto data = qv::FindEmbeddedResource(shared);
    ASSERT_TRUE(data) << shared;
    EXPECT_EQ(CountStatements(*data, "Include"), 0u) << shared;
    entries[shared] = load(*data);
    EXPECT_EQ(entries[shared], CountStatements(*data, "HKR,")) << shared;
  }
  for (const auto& m : qv::kModelDrivers) {
    auto data = qv::FindEmbeddedResource(m.Script);
    ASSERT_TRUE(data) << m.Script;
    size_t included = 0;
    for (const std::string& name : IncludesOf(*data)) {
      ASSERT_TRUE(entries.count(name)) << m.Script << " includes " << name;
      included += entries[name];
    }
    EXPECT_EQ(load(*data), included + CountStatements(*data, "HKR,")) << m.Script;
  }
}

TEST(BuiltInScripts, ResourceLookupIgnoresLetterCase) {
  auto a = qv::FindEmbeddedResource("qvgsm_at_responses");
  auto b = qv::FindEmbeddedResource("QVGSM_AT_RESPONSES");
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->data(), b->data());
  EXPECT_FALSE(qv::FindEmbeddedResource("QVGSM_AT_RESPONSE"));
  EXPECT_FALSE(qv::FindEmbeddedResource(""));
  // Stored byte for byte, line ends included.
  EXPECT_NE(a->find("\r\n"), std::string_view::npos);
}

struct ModelCase {
  const char* script;
  const char16_t* caption;
  bool pin;
  size_t commands, responses, settings;
  std::vector<std::pair<int, std::string>> detection;  // order, pattern (id 109)
  std::vector<std::string> detectLines;
  bool module = false;  // includes qvgsm_GSM_Module in place of qvgsm_GSM_Common
};

std::string Ok(const std::string& s) { return "\r\n" + s + "\r\n\r\nOK\r\n"; }

const std::vector<ModelCase>& Models() {
  static const std::vector<ModelCase> models = {
      {"QVGSM_NOKIA6230I", u"Nokia 6230i", true, 115, 37, 11,
       {{1, Ok("Nokia")}, {2, Ok("Nokia 6230")}, {2, Ok("Nokia 6230i")}, {2, Ok("Nokia 6100")}}, {"ATI\r", "ATI3\r"}},
      {"QVGSM_NOKIA7110", u"Nokia 7110", true, 114, 31, 11,
       {{1, Ok("Nokia Mobile Phones")}, {2, Ok("NSE-5")}}, {"ATI\r", "ATI3\r"}},
      {"QVGSM_NOKIA6120", u"Nokia 6120", false, 93, 29, 0,
       {{1, Ok("Nokia")}, {2, Ok("Nokia 6120")}, {2, Ok("Nokia E71")}}, {"ATI\r", "ATI3\r"}},
      {"QVGSM_NOKIA5310", u"Nokia 5310", false, 105, 28, 9,
       {{1, Ok("Nokia")}, {2, Ok("Nokia 5310 XpressMusic")}}, {"ATI\r", "ATI3\r"}},
      {"QVGSM_NOKIACS10", u"Nokia CS-10", true, 114, 37, 11,
       {{1, Ok("Nokia Internet Stick CS-10")}, {1, Ok("Nokia Internet Stick CS-12")},
        {1, Ok("Nokia Internet Stick CS-15")}, {1, Ok("Nokia Internet Stick CS-18")}}, {"AT+CGMM\r"}},
      {"QVGSM_SAMSUNG_SGH_C120", u"Samsung SGH-C120", true, 114, 30, 11, {{1, Ok("Samsung")}}, {"AT+CGMI\r"}},
      {"QVGSM_SET630", u"Sony Ericsson T630", true, 114, 34, 11,
       {{1, Ok("T630-T628")}, {1, Ok("Sony Ericsson W810")}, {1, Ok("Sony Ericsson K750")},
        {1, Ok("Sony Ericsson K618")}, {1, Ok("Sony Ericsson K660")}}, {"ATI\r"}},
      {"QVGSM_SIEMENS_A65", u"Siemens A65", true, 117, 31, 15, {{1, Ok("SIEMENS")}, {2, Ok("A65")}},
       {"AT+CGMI\r", "AT+CGMM\r"}},
      {"QVGSM_SIEMENS_MC35I", u"Siemens M35i[t]", true, 117, 36, 14,
       {{1, Ok("SIEMENS")}, {2, Ok("MC35i")}, {2, Ok("TC35i")}, {2, Ok("MC75")}}, {"AT+CGMI\r", "AT+CGMM\r"}},
      {"QVGSM_WAVECOM_MULTIBAND_900E", u"Wavecom Modem", true, 114, 39, 11, {{1, "WAVECOM MODEM\r\n"}}, {"ATI0\r"}},
      {"QVGSM_WAVECOM_WIRELESS_CPU", u"Wavecom Wireless CPU", true, 115, 39, 11,
       {{1, "WAVECOM WIRELESS CPU\r\n"}}, {"AT+CGMI\r"}},
      {"QVGSM_BENQ_M22", u"BenQ M2x", true, 115, 37, 13,
       {{1, Ok("BenQ")}, {2, Ok("M22")}, {2, Ok("M23")}, {2, Ok("M23G")}}, {"AT+CGMI\r", "AT+CGMM\r"}},
      {"QVGSM_HUAWEI_E220", u"Huawei E220", true, 113, 33, 9,
       {{1, Ok("huawei")}, {1, Ok("+GMI: HUAWEI TECHNOLOGIES CO., LTD")}}, {"AT+CGMI\r"}},
      {"QVGSM_SIMCOM_SIM340", u"Simcom SIM340", true, 117, 35, 9,
       {{1, Ok("SIMCOM_Ltd")}, {1, Ok("SIMCOM Ltd")}, {2, Ok("SIMCOM_SIM340")}, {2, Ok("SIMCOM SIM340")},
        {2, Ok("SIMCOM_SIM300")}, {2, Ok("SIMCOM SIM300")}}, {"AT+CGMI\r", "AT+CGMM\r"}},
      {"QVGSM_SIMCOM_SIM7600", u"Simcom SIM7600", true, 117, 31, 9,
       {{1, Ok("SIMCOM INCORPORATED")}, {2, Ok("SIMCOM_SIM7600E-H")}}, {"AT+CGMI\r", "AT+CGMM\r"}},
      {"QVGSM_ITEGNO_IWOW", u"iTegno (iWOW)", true, 115, 35, 13, {{1, Ok("iWOW")}, {2, Ok("TR-800")}},
       {"AT+CGMI\r", "AT+CGMM\r"}},
      {"QVGSM_NOVATEL_OVATION_MC950", u"Novatel Ovation MC950D", true, 115, 35, 11,
       {{1, Ok("Novatel Wireless Incorporated")}, {2, Ok("Ovation MC950D Card")}}, {"AT+CGMI\r", "AT+CGMM\r"}},
      {"QVGSM_SIERRA_WIRELESS", u"Sierra Wireless", true, 111, 39, 11, {{1, "Sierra Wireless\r\n"}}, {"AT+CGMI\r"}},
      {"QVGSM_ZTE", u"ZTE", true, 112, 33, 9, {{1, Ok("ZTE INCORPORATED")}, {1, Ok("ZTE CORPORATION")}},
       {"AT+CGMI\r"}},
      {"QVGSM_QUECTEL_EC2X", u"Quectel EC2x/EG2x", true, 111, 40, 15,
       {{1, Ok("Quectel")}, {2, Ok("EC25")}, {2, Ok("EC21")}, {2, Ok("EC20F")}, {2, Ok("EG25")}, {2, Ok("EG21")}},
       {"AT+CGMI\r", "AT+CGMM\r"}, true},
      {"QVGSM_QUECTEL_BG9X", u"Quectel BG9x", true, 111, 43, 15,
       {{1, Ok("Quectel")}, {2, Ok("BG96")}, {2, Ok("BG95-M1")}, {2, Ok("BG95-M2")}, {2, Ok("BG95-M3")},
        {2, Ok("BG95-M4")}, {2, Ok("BG95-M5")}, {2, Ok("BG95-M6")}, {2, Ok("BG77")}},
       {"AT+CGMI\r", "AT+CGMM\r"}, true},
      {"QVGSM_SIMCOM_SIM800", u"Simcom SIM800/SIM900", true, 112, 40, 13,
       {{1, Ok("SIMCOM_Ltd")}, {2, Ok("SIMCOM_SIM800")}, {2, Ok("SIMCOM_SIM800C")}, {2, Ok("SIMCOM_SIM800L")},
        {2, Ok("SIMCOM_SIM800H")}, {2, Ok("SIMCOM_SIM808")}, {2, Ok("SIMCOM_SIM900")}},
       {"AT+CGMI\r", "AT+CGMM\r"}, true},
      {"QVGSM_UBLOX", u"u-blox SARA/LARA", true, 110, 32, 13, {{1, Ok("u-blox")}}, {"AT+CGMI\r"}, true},
      {"QVGSM_TELIT_LE910", u"Telit LE910", true, 110, 32, 13, {{1, Ok("Telit")}}, {"AT+CGMI\r"}, true},
      {"QVGSM_HUAWEI_ME909", u"Huawei ME909/E3372", true, 111, 33, 13,
       {{1, Ok("Huawei Technologies Co., Ltd.")}}, {"AT+CGMI\r"}, true},
      // A plain OK to AT is the generic driver's detection reply.
      {"QVGSM_GENERIC", u"Generic 3GPP modem", true, 110, 32, 13, {{1, "\r\nOK\r\n"}}, {"AT\r"}, true},
  };
  return models;
}

TEST(BuiltInScripts, ModelDriverTable) {
  const auto& models = Models();
  ASSERT_EQ(models.size(), qv::kModelDrivers.size());
  for (size_t i = 0; i < models.size(); ++i) {
    const auto& m = models[i];
    SCOPED_TRACE(m.script);
    EXPECT_EQ(qv::kModelDrivers[i].Script, m.script);
    EXPECT_EQ(qv::kModelDrivers[i].Caption, m.caption);

    TqvCustomATDriver d;
    ASSERT_TRUE(d.LoadFromString(*qv::FindEmbeddedResource(m.script)));
    EXPECT_EQ(d.slCommands.size(), m.commands);
    EXPECT_EQ(d.slResponses.size(), m.responses);
    EXPECT_EQ(d.slSettings.size(), m.settings);

    // Include order: result codes, diagnostics, network (16 commands, 3
    // notification heads), the shared commands (common or module: 26
    // commands, or 39 with 11 notification heads), then PIN.
    const int32_t network = 16, networkResponses = 3;
    const int32_t sharedCommands = m.module ? 39 : 26, sharedResponses = m.module ? 11 : 0;
    EXPECT_EQ(d.GetResponse(0)->Str(), "\r\nOK\r\n");
    EXPECT_EQ(d.GetResponse(9)->Str(), "\r\nRING\r\n");
    EXPECT_EQ(d.GetResponse(10)->Str(), "\r\n+CREG:");
    EXPECT_EQ(Utf8(d.GetCommands(0)->fName), "gsmDiagnostics");
    EXPECT_EQ(Utf8(d.GetCommands(41)->fCommand), "AT+CLAC<cr>");
    EXPECT_EQ(Utf8(d.GetCommands(42)->fName), "gsmGetNetworkReg");
    EXPECT_EQ(Utf8(d.GetCommands(42 + network)->fName), "gsmGetManufacturer");
    EXPECT_EQ(Utf8(d.GetCommands(41 + network + sharedCommands)->fCommand),
              m.module ? "AT+CSCS=<q>GSM<q><cr>" : "AT+CHUP<cr>");
    EXPECT_EQ(Utf8(d.GetCommands(42 + network + sharedCommands)->fName), m.pin ? "gsmGetPINStatus" : "gsmDetect");
    EXPECT_EQ(d.GetResponse(10 + networkResponses)->Str(), m.pin && !m.module ? Ok("+CPIN: READY") : "\r\n>");
    if (m.pin) {
      EXPECT_EQ(d.GetResponse(10 + networkResponses + sharedResponses)->Str(), Ok("+CPIN: READY"));
    }

    std::vector<std::pair<int, std::string>> detection;
    for (const auto& e : d.slResponses)
      if (e.Object->Tag == 109) detection.emplace_back(e.Object->iOrder, e.Object->Str());
    EXPECT_EQ(detection, m.detection);

    std::vector<std::string> detect;
    for (const auto& e : d.slCommands)
      if (e.Object->fName == u"gsmDetect") {
        EXPECT_EQ(e.Object->idExpectedReply, 109);
        EXPECT_EQ(e.Object->idOrder, static_cast<int>(detect.size()) + 1);
        detect.push_back(qv::StringToAnsi(TqvCustomATDriver::ReplaceStr(e.Object->fCommand)));
      }
    EXPECT_EQ(detect, m.detectLines);
  }
}

}  // namespace

namespace {

// The matcher steps every response in list order, as written down for the
// processor; the driver's IsResponse skips idle matchers that cannot start.
// Both must complete the same pattern on the same byte and leave the same state.
int32_t LiteralIsResponse(TqvCustomATDriver& d, uint8_t ch) {
  for (size_t i = 0; i < d.slResponses.size(); ++i) {
    if (d.slResponses[i].Object->IsEvent(ch, 0)) {
      for (auto& e : d.slResponses) e.Object->Reset();
      return static_cast<int32_t>(i);
    }
  }
  return -1;
}

void ExpectSameMatching(const std::string& script, const std::string& stream, std::string_view what) {
  TqvCustomATDriver fast, literal;
  ASSERT_TRUE(fast.LoadFromString(script));
  ASSERT_TRUE(literal.LoadFromString(script));
  size_t completions = 0;
  for (size_t i = 0; i < stream.size(); ++i) {
    if (i == stream.size() / 2) {  // reordering mid-stream keeps partial matches with their matchers
      fast.MoveResponses(109, 1);
      literal.MoveResponses(109, 1);
    }
    const auto b = static_cast<uint8_t>(stream[i]);
    const int32_t expected = LiteralIsResponse(literal, b);
    const int32_t got = fast.IsResponse(b);
    if (got != expected) FAIL() << what << " at byte " << i << ": " << got << " instead of " << expected;
    completions += expected >= 0;
    for (size_t k = 0; k < fast.slResponses.size(); ++k)
      if (fast.slResponses[k].Object->Reserved != literal.slResponses[k].Object->Reserved)
        FAIL() << what << " matcher " << k << " at byte " << i;
  }
  EXPECT_GT(completions, 0u) << what;
}

TEST(DriverMatching, SameResultsAsSteppingEveryMatcher) {
  std::string real;
  const std::string pdu = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";
  for (int i = 0; i < 5; ++i) {
    real += "\r\n+CMGL: " + std::to_string(i) + ",1,,39\r\n" + pdu + "\r\n\r\nRING\r\n";
    real += "WAVECOM MODEM\r\n\r\nOK\r\n\r\n+CPIN: READY\r\n\r\nOK\r\n\r\n+CME ERROR: 3\r\n\r\n\r\nERROR\r\n";
    real += "\r\n>\r\n+CMGS: 4\r\n\r\nNO CARRIER\r\n\r\n+CUSD: 0,\"AA\",15\r\n";
  }
  // Bytes drawn from the patterns' own characters, so that partial matches
  // overlap, break off and restart all the time.
  std::string random;
  uint32_t seed = 12345;
  const std::string alphabet = "\r\n\r\n\r\nOKERIG+CMPSN: WAVEOMDTXY>0";
  for (int i = 0; i < 30000; ++i) {
    seed = seed * 1664525u + 1013904223u;
    random += alphabet[(seed >> 16) % alphabet.size()];
  }
  for (const auto& m : qv::kModelDrivers) {
    const std::string script(*qv::FindEmbeddedResource(m.Script));
    ExpectSameMatching(script, real, m.Script);
    ExpectSameMatching(script, random, m.Script);
  }
  // More responses than the index holds: every matcher is stepped.
  std::string big;
  for (int i = 0; i < 70; ++i) big += "HKR, Responses, \"<cr><lf>R" + std::to_string(i % 7) + "<cr><lf>\", 1, " + std::to_string(i) + "\n";
  ExpectSameMatching(big, "\r\nR3\r\n\r\nR\r\nR6\r\n" + random.substr(0, 5000), "70 responses");
}

}  // namespace
