// The simulator checked against a client and a codec nobody here wrote: Debian's gammu
// talks to it through its link, and python3-gammu decodes the PDUs its own encoder makes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "qvsim.h"
#include "qvsmsassembler.h"
#include "qvtext.h"

namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status = -1;
  std::string output;
};

// Runs a shell command line, bounded by `timeout` seconds, and collects its output.
RunResult RunCommand(const std::string& command, int timeout = 60) {
  RunResult r;
  const std::string line = "timeout " + std::to_string(timeout) + " " + command + " 2>&1";
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return r;
  std::array<char, 4096> buf{};
  size_t n = 0;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) r.output.append(buf.data(), n);
  r.status = ::pclose(pipe);
  return r;
}

bool Installed(const char* path) { return ::access(path, X_OK) == 0; }

class QvSimGammu : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Installed("/usr/bin/gammu")) << "gammu is missing: run scripts/setup-debian.sh";
    fDir = fs::temp_directory_path() / ("qvsim_gammu_" + std::to_string(::getpid()));
    fs::create_directories(fDir);
    fLink = (fDir / "modem").string();
    fRc = (fDir / "gammurc").string();
    std::ofstream(fRc) << "[gammu]\ndevice = " << fLink << "\nconnection = at\n";
  }
  void TearDown() override { fs::remove_all(fDir); }

  RunResult Gammu(const std::string& args) { return RunCommand("/usr/bin/gammu -c " + fRc + " " + args); }

  qvsim::SimulatorOptions Options() const {
    qvsim::SimulatorOptions o;
    o.link = fLink;
    return o;
  }

  fs::path fDir;
  std::string fLink;
  std::string fRc;
};

// The personas of today's modules, written from the same manuals as their drivers: gammu, a
// client written from neither, checks them independently.
constexpr const char* kModules[] = {"quectel_ec25", "quectel_bg96", "simcom_sim800", "ublox_sara",
                                    "telit_le910",  "huawei_me909", "generic"};

TEST_F(QvSimGammu, IdentifiesTheModem) {
  std::vector<const char*> models = {"siemens_mc35i", "huawei_e220"};
  models.insert(models.end(), std::begin(kModules), std::end(kModules));
  for (const char* model : models) {
    SCOPED_TRACE(model);
    qvsim::Simulator sim(model, Options());
    const RunResult r = Gammu("identify");
    EXPECT_EQ(r.status, 0) << r.output << sim.GetTranscript().Text();
    // gammu writes the maker in its own spelling ("Siemens" for "SIEMENS")
    std::string lower = r.output;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::string maker = sim.GetPersona().manufacturer.substr(0, sim.GetPersona().manufacturer.find(' '));
    for (char& ch : maker) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    EXPECT_NE(lower.find("manufacturer         : " + maker), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("(" + sim.GetPersona().model + ")"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Firmware             : " + sim.GetPersona().revision), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("IMEI                 : 356938035643809"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("SIM IMSI             : 262019876543210"), std::string::npos) << r.output;
  }
}

// gammu's monitor asks for the packet domain's attachment, and on ZTE modems
// sends the vendor's start-up commands first: every persona answers them.
TEST_F(QvSimGammu, MonitorCompletes) {
  for (const char* model : {"generic", "zte"}) {
    SCOPED_TRACE(model);
    qvsim::Simulator sim(model, Options());
    const RunResult r = Gammu("monitor 1");
    EXPECT_EQ(r.status, 0) << r.output << sim.GetTranscript().Text();
    EXPECT_NE(r.output.find("GPRS                 : attached"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Leaving monitor mode"), std::string::npos) << r.output;
  }
}

TEST_F(QvSimGammu, SendsAMessage) {
  qvsim::Simulator sim("generic", Options());
  const RunResult r = Gammu("sendsms TEXT +491701234567 -text \"Hello from gammu\"");
  EXPECT_EQ(r.status, 0) << r.output << sim.GetTranscript().Text();
  EXPECT_NE(r.output.find("message reference=1"), std::string::npos) << r.output;
  const auto submitted = sim.WithModem([](qvsim::Modem& m) { return m.Submitted(); });
  ASSERT_EQ(submitted.size(), 1u) << sim.GetTranscript().Text();
  // the recipient in semi-octets, international
  EXPECT_NE(submitted[0].find("0C91947110325476"), std::string::npos) << submitted[0];
}

TEST_F(QvSimGammu, ListsAndReadsStoredMessages) {
  for (const char* model : kModules) {
    SCOPED_TRACE(model);
    qvsim::Simulator sim(model, Options());
    ASSERT_EQ(sim.InjectSms("07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07"), 1);
    ASSERT_EQ(sim.InjectSms(qvsim::MakeDeliverPdu("+491701234567", "Plain text from the simulator", 1700000000)), 2);
    ASSERT_EQ(sim.InjectSms(qvsim::MakeDeliverPdu("+491701234567", "Gr\u00FC\u00DFe \u20AC \u041F\u0440\u0438\u0432\u0435\u0442",
                                                  1700000000)),
              3);
    const RunResult r = Gammu("getallsms");
    EXPECT_EQ(r.status, 0) << r.output << sim.GetTranscript().Text();
    EXPECT_NE(r.output.find("How are you?"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Plain text from the simulator"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("Gr\u00FC\u00DFe \u20AC \u041F\u0440\u0438\u0432\u0435\u0442"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("+31641600986"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("3 SMS parts in 3 SMS sequences"), std::string::npos) << r.output;
  }
}

// The program's own DELIVER encoder, decoded by an independent codec.
TEST(QvSimCodec, DeliverPdusDecodeWithPythonGammu) {
  ASSERT_TRUE(Installed("/usr/bin/python3")) << "python3 is missing: run scripts/setup-debian.sh";
  struct Case {
    const char* sender;
    const char* text;
  };
  const Case cases[] = {
      {"+491701234567", "Hello [world] {} ~ \u20AC @"},  // 7-bit with the extension table
      {"0301234", "Stra\u00DFe"},                          // national number
      {"+44", "\u041F\u0440\u0438\u0432\u0435\u0442 \U0001F600"},  // UCS2 with a surrogate pair
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string pdu = qvsim::MakeDeliverPdu(c.sender, c.text, 1700000000);
    const std::string script =
        "import gammu, sys\n"
        "d = gammu.DecodePDU(bytes.fromhex(sys.argv[1]), SMSC=True)\n"
        // this decoder sizes the text by the septet count, so escaped characters leave
        // NULs (and whatever follows them) at its end
        "t = d['Text'].split(chr(0))[0]\n"
        "sys.stdout.buffer.write((d['Number'] + '|' + t).encode('utf-8'))\n";
    const RunResult r = RunCommand("/usr/bin/python3 -c \"" + script + "\" " + pdu, 30);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, std::string(c.sender) + "|" + c.text) << pdu;
  }
}

// A long text goes in concatenated parts that the library joins into the
// same text; a part never ends inside an escape pair or a surrogate pair.
TEST(QvSimCodec, LongTextsGoInPartsThatJoinWhole) {
  const auto repeat = [](std::string_view s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
  };
  struct Case {
    const char* name;
    std::string text;
    size_t parts;
  };
  const Case cases[] = {
      {"fits one", repeat("a", 160), 1},
      {"7-bit, an escape pair at the cut", repeat("a", 152) + "\u20AC" + repeat("b", 200), 3},
      {"UCS2, a surrogate pair at the cut", repeat("\u0416", 66) + "\U0001F600" + repeat("\u0416", 80), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> pdus = qvsim::MakeDeliverPdus("+491701234567", c.text, 1700000000, 7);
    ASSERT_EQ(pdus.size(), c.parts);
    TqvSmsAssembler assembler;
    std::vector<std::u16string> whole;
    assembler.OnMessage = [&](TObject*, const TqvSmsMessage& m) { whole.push_back(m.Text); };
    for (const std::string& pdu : pdus) {
      TqvPduSms sms(true);
      sms.SetAsPDU(qv::Utf8ToString(pdu));
      assembler.Add(sms);
    }
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(qv::StringToUtf8(whole[0]), c.text);
  }
}

}  // namespace
