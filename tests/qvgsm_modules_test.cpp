// Today's modules end to end: TqvGsm on a real TqvComm over the simulator's
// personas of the module drivers, and the initialisation's wait for a module
// that has just started (start-up and ready notifications, "SIM busy").
#include <gtest/gtest.h>

#include "qvgsmrig.h"
#include "qvmodeldrivers.h"

using namespace qvgsmtest;
using qv::StringToUtf8;
using qv::Utf8ToString;

namespace {

// A literal SMS-DELIVER from +31641600986, "How are you?", with a service centre address.
constexpr const char* kDeliver = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";

int DriverIndexOf(std::u16string_view caption) {
  for (size_t i = 0; i < qv::kModelDrivers.size(); ++i)
    if (qv::kModelDrivers[i].Caption == caption) return static_cast<int>(i);
  return -1;
}

// The host's lines in the order they were sent (a PDU ends at its Ctrl-Z).
std::vector<std::string> LinesSent(qvsim::Simulator& sim) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : sim.GetTranscript().ToModem()) {
    line += c;
    if (c == '\r' || c == '\x1A') lines.push_back(std::exchange(line, {}));
  }
  return lines;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

}  // namespace

// Each module is found by its own driver (the generic persona, a modem no
// maker's driver claims, by the generic driver, the last one) and then
// identifies, sends, lists and reads messages, and reads its phone book.
TEST(GsmModules, EachModuleIsDetectedAndWorksEndToEnd) {
  struct Case {
    const char* persona;
    const char16_t* driver;
    const char* manufacturer;
  };
  const Case cases[] = {
      {"quectel_ec25", u"Quectel EC2x/EG2x", "Quectel"},
      {"quectel_bg96", u"Quectel BG9x", "Quectel"},
      {"simcom_sim800", u"Simcom SIM800/SIM900", "SIMCOM_Ltd"},
      {"ublox_sara", u"u-blox SARA/LARA", "u-blox"},
      {"telit_le910", u"Telit LE910", "Telit"},
      {"huawei_me909", u"Huawei ME909/E3372", "Huawei Technologies Co., Ltd."},
      {"generic", u"Generic 3GPP modem", "QV Simulated Modems"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.persona);
    TGsmRig rig(TRigOptions().Persona(c.persona).Timeout(400));
    ASSERT_EQ(rig.AfterInitCount(), 1) << rig.log.All();
    EXPECT_EQ(rig.gsm->DriverIndex(), DriverIndexOf(c.driver));
    EXPECT_EQ(rig.gsm->Driver()->Caption(), c.driver);
    EXPECT_EQ(StringToUtf8(rig.gsm->DeviceManufacturer()), c.manufacturer);
    EXPECT_EQ(StringToUtf8(rig.gsm->DeviceIMSI()), "262019876543210");
    EXPECT_EQ(StringToUtf8(rig.gsm->MemorySpecial()), "SM");

    const std::u16string ref = rig.gsm->SmsSendWaitRefID(u"+12345678901", u"module test", false);
    EXPECT_FALSE(ref.empty()) << rig.log.All();
    EXPECT_EQ(Count(LinesSent(*rig.sim), "AT+CPMS=\"SM\",\"SM\",\"SM\"\r"), 0u);  // nothing selected yet

    const int index = rig.sim->WithModem([](qvsim::Modem& m) { return m.StoreSms("SM", kDeliver, 1); });
    std::vector<std::string> listed;
    rig.gsm->OnSmsListItem = [&](TObject*, const std::u16string&, int32_t, TqvPduSms* sms) {
      if (sms) listed.push_back(StringToUtf8(sms->Text()));
    };
    rig.gsm->SmsList(true);
    EXPECT_EQ(listed, std::vector<std::string>{"How are you?"});
    // Memories are selected with all three of +CPMS.
    EXPECT_EQ(Count(LinesSent(*rig.sim), "AT+CPMS=\"SM\",\"SM\",\"SM\"\r"), 1u);
    EXPECT_EQ(StringToUtf8(rig.gsm->SmsGetText(index)), "How are you?");
    EXPECT_FALSE(rig.gsm->IsBusy());
  }
}

// A module restarted under an open port announces itself with RDY, answers
// "SIM busy" while its SIM starts, and reports its message service ready with
// "+QIND: SMS DONE": the initialisation repeats the busy lines and sends its
// memory and notification lines only after the ready notification.
TEST(GsmModules, InitialisationWaitsForTheMessageServiceOfAStartingModule) {
  // Its own driver chosen: the start-up lines are the driver's to recognise.
  TGsmRig rig(TRigOptions().Persona("quectel_ec25").Timeout(400).Driver(DriverIndexOf(u"Quectel EC2x/EG2x")));
  ASSERT_EQ(rig.AfterInitCount(), 1);
  rig.sim->GetTranscript().Clear();
  rig.sim->Restart();
  rig.gsm->Update();
  ASSERT_TRUE(PumpUntil([&] { return rig.AfterInitCount() == 2; }, 10000)) << rig.log.All();
  EXPECT_EQ(rig.log.Grep("qvGsm: Module started").size(), 1u) << rig.log.All();
  EXPECT_EQ(rig.log.Grep("qvGsm: Message service ready").size(), 1u);
  EXPECT_EQ(rig.gsm->DriverIndex(), DriverIndexOf(u"Quectel EC2x/EG2x"));
  EXPECT_EQ(rig.gsm->MemReadTotal(), 50);

  // By byte order on the line: the memory line went after the ready notification.
  std::string order;
  for (const auto& e : rig.sim->GetTranscript().Entries()) {
    if (e.direction == qvsim::Transcript::Direction::FromModem && e.bytes.find("+QIND: SMS DONE") != std::string::npos)
      order += "R";
    if (e.direction == qvsim::Transcript::Direction::ToModem && e.bytes == "AT+CPMS?\r") order += "M";
  }
  EXPECT_EQ(order, "RM");
  EXPECT_FALSE(rig.gsm->IsBusy());
}

// A module that sends no notification answers "SIM busy" until its SIM is
// ready: the busy lines go again until they are answered, and the
// initialisation ends as usual.
TEST(GsmModules, SimBusyLinesGoAgainUntilAnswered) {
  TGsmRig rig(TRigOptions().Persona("ublox_sara").Timeout(400));
  ASSERT_EQ(rig.AfterInitCount(), 1);
  rig.sim->GetTranscript().Clear();
  rig.sim->Restart();
  rig.gsm->Update();
  ASSERT_TRUE(PumpUntil([&] { return rig.AfterInitCount() == 2; }, 10000)) << rig.log.All();
  EXPECT_FALSE(rig.log.Grep("qvGsm: SIM busy, the line goes again: AT+CPIN?").empty()) << rig.log.All();
  const auto lines = LinesSent(*rig.sim);
  EXPECT_GE(Count(lines, "AT+CPIN?\r"), 2u);
  EXPECT_EQ(Count(lines, "AT+CPMS?\r"), 1u);  // the SIM's start ended before it
  EXPECT_EQ(StringToUtf8(rig.gsm->DeviceIMSI()), "262019876543210");
  EXPECT_TRUE(rig.gsm->LastError().empty());
}

// Past the driver's wait a busy answer is the error it is: the
// initialisation stops and says why.
TEST(GsmModules, SimBusyPastTheWaitFailsTheInitialisation) {
  TGsmRig rig(TRigOptions().Persona("ublox_sara").Timeout(400).Deferred());
  rig.gsm->AddDriverFromString(u"short wait", u"HKR, Settings, gsmSMSReadyWait, 1, \"300\"\r\nInclude = QVGSM_UBLOX\r\n");
  rig.gsm->SetAutodetect(false);
  rig.gsm->SetDriverIndex(rig.gsm->DriverCount() - 1);
  std::vector<std::string> errors;
  rig.gsm->OnGsmError = [&](TObject*, const std::u16string& text) { errors.push_back(StringToUtf8(text)); };
  rig.sim->Restart();
  rig.Open(false);
  ASSERT_TRUE(PumpUntil([&] { return !errors.empty() && !rig.gsm->IsBusy(); }, 5000)) << rig.log.All();
  EXPECT_EQ(errors.back(), "Initialization failed: AT+CPIN?: +CME ERROR: 14");
  EXPECT_EQ(rig.AfterInitCount(), 0);
  const auto lines = LinesSent(*rig.sim);
  EXPECT_GE(Count(lines, "AT+CPIN?\r"), 1u);
  EXPECT_EQ(Count(lines, "AT+CPMS?\r"), 0u);
}

// A modem that answers nothing is no generic modem: detection falls back to
// driver 0 after trying every driver.
TEST(GsmModules, SilentModemFallsBackToDriverZero) {
  TGsmRig rig(TRigOptions().Timeout(100).Deferred());
  rig.sim->SetSilent(true);
  rig.Open(false);
  ASSERT_TRUE(PumpUntil([&] { return !rig.log.Grep("=== Autodetect failed").empty(); }, 20000)) << rig.log.All();
  EXPECT_EQ(rig.log.Grep("qvGsm: Check driver: ").size(), qv::kModelDrivers.size());
  EXPECT_EQ(rig.log.Grep("qvGsm: === Autodetect failed. Use default driver: Nokia 6230i").size(), 1u);
  EXPECT_EQ(rig.gsm->DriverIndex(), 0);
}
