// The modem simulator seen from the host side of its pseudo-terminal.
#include "qvsim.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>

#include "qvsim_host.h"

using namespace std::chrono_literals;
using qvsim::Simulator;
using qvsimtest::Host;

namespace {

// A literal SMS-DELIVER from +31641600986, "How are you?", with a service centre address.
constexpr const char* kDeliver = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";
constexpr int kDeliverLength = 30;
// A literal SMS-SUBMIT to +12345678901, "hello", no service centre address.
constexpr const char* kSubmit = "0011000B912143658709F10000AA05E8329BFD06";
// A literal SMS-STATUS-REPORT, reference 7, for +491701234567.
constexpr const char* kReport = "0006070D91941710325476F7322180520084003221805200840000";

// ---------------------------------------------------------------------------------------------
// Identification: every persona is the one the built-in drivers' detection picks.

struct DetectionLine {
  const char* command;
  std::vector<std::string> replies;  // any of these completes the line
};
struct Driver {
  const char* caption;
  std::vector<DetectionLine> lines;
};

std::vector<Driver> BuiltInDetection() {
  auto p = [](const char* line) { return std::string("\r\n") + line + "\r\n\r\nOK\r\n"; };
  return {
      {"Nokia 6230i", {{"ATI", {p("Nokia")}}, {"ATI3", {p("Nokia 6230"), p("Nokia 6230i"), p("Nokia 6100")}}}},
      {"Nokia 7110", {{"ATI", {p("Nokia Mobile Phones")}}, {"ATI3", {p("NSE-5")}}}},
      {"Nokia 6120", {{"ATI", {p("Nokia")}}, {"ATI3", {p("Nokia 6120"), p("Nokia E71")}}}},
      {"Nokia 5310", {{"ATI", {p("Nokia")}}, {"ATI3", {p("Nokia 5310 XpressMusic")}}}},
      {"Nokia CS-10", {{"AT+CGMM", {p("Nokia Internet Stick CS-10"), p("Nokia Internet Stick CS-12"),
                                    p("Nokia Internet Stick CS-15"), p("Nokia Internet Stick CS-18")}}}},
      {"Samsung SGH-C120", {{"AT+CGMI", {p("Samsung")}}}},
      {"Sony Ericsson T630", {{"ATI", {p("T630-T628"), p("Sony Ericsson W810"), p("Sony Ericsson K750"),
                                       p("Sony Ericsson K618"), p("Sony Ericsson K660")}}}},
      {"Siemens A65", {{"AT+CGMI", {p("SIEMENS")}}, {"AT+CGMM", {p("A65")}}}},
      {"Siemens M35i[t]", {{"AT+CGMI", {p("SIEMENS")}}, {"AT+CGMM", {p("MC35i"), p("TC35i"), p("MC75")}}}},
      {"Wavecom Modem", {{"ATI0", {"WAVECOM MODEM\r\n"}}}},
      {"Wavecom Wireless CPU", {{"AT+CGMI", {"WAVECOM WIRELESS CPU\r\n"}}}},
      {"BenQ M2x", {{"AT+CGMI", {p("BenQ")}}, {"AT+CGMM", {p("M22"), p("M23"), p("M23G")}}}},
      {"Huawei E220", {{"AT+CGMI", {p("huawei"), p("+GMI: HUAWEI TECHNOLOGIES CO., LTD")}}}},
      {"Simcom SIM340", {{"AT+CGMI", {p("SIMCOM_Ltd"), p("SIMCOM Ltd")}},
                         {"AT+CGMM", {p("SIMCOM_SIM340"), p("SIMCOM SIM340"), p("SIMCOM_SIM300"), p("SIMCOM SIM300")}}}},
      {"Simcom SIM7600", {{"AT+CGMI", {p("SIMCOM INCORPORATED")}}, {"AT+CGMM", {p("SIMCOM_SIM7600E-H")}}}},
      {"iTegno (iWOW)", {{"AT+CGMI", {p("iWOW")}}, {"AT+CGMM", {p("TR-800")}}}},
      {"Novatel Ovation MC950D", {{"AT+CGMI", {p("Novatel Wireless Incorporated")}},
                                  {"AT+CGMM", {p("Ovation MC950D Card")}}}},
      {"Sierra Wireless", {{"AT+CGMI", {"Sierra Wireless\r\n"}}}},
      {"ZTE", {{"AT+CGMI", {p("ZTE INCORPORATED"), p("ZTE CORPORATION")}}}},
      {"Quectel EC2x/EG2x", {{"AT+CGMI", {p("Quectel")}},
                             {"AT+CGMM", {p("EC25"), p("EC21"), p("EC20F"), p("EG25"), p("EG21")}}}},
      {"Quectel BG9x", {{"AT+CGMI", {p("Quectel")}},
                        {"AT+CGMM", {p("BG96"), p("BG95-M1"), p("BG95-M2"), p("BG95-M3"), p("BG95-M4"), p("BG95-M5"),
                                     p("BG95-M6"), p("BG77")}}}},
      {"Simcom SIM800/SIM900", {{"AT+CGMI", {p("SIMCOM_Ltd")}},
                                {"AT+CGMM", {p("SIMCOM_SIM800"), p("SIMCOM_SIM800C"), p("SIMCOM_SIM800L"),
                                             p("SIMCOM_SIM800H"), p("SIMCOM_SIM808"), p("SIMCOM_SIM900")}}}},
      {"u-blox SARA/LARA", {{"AT+CGMI", {p("u-blox")}}}},
      {"Telit LE910", {{"AT+CGMI", {p("Telit")}}}},
      {"Huawei ME909/E3372", {{"AT+CGMI", {p("Huawei Technologies Co., Ltd.")}}}},
      {"Generic 3GPP modem", {{"AT", {"\r\nOK\r\n"}}}},
  };
}

// Runs the drivers' detection in order, asking each command once (as a reply cache would),
// and returns the caption of the first driver whose every line got one of its replies.
std::string Detect(Host& host) {
  std::map<std::string, std::string> replies;
  for (const Driver& driver : BuiltInDetection()) {
    bool all = true;
    for (const DetectionLine& line : driver.lines) {
      auto it = replies.find(line.command);
      if (it == replies.end()) it = replies.emplace(line.command, host.Command(line.command)).first;
      bool any = false;
      for (const std::string& reply : line.replies) any = any || it->second.find(reply) != std::string::npos;
      all = all && any;
    }
    if (all) return driver.caption;
  }
  return "none";
}

TEST(QvSimPersona, EachModelIsFoundByItsDriversDetection) {
  const auto& personas = qvsim::Personas();
  ASSERT_EQ(personas.size(), BuiltInDetection().size());
  for (const qvsim::Persona& persona : personas) {
    SCOPED_TRACE(persona.id);
    Simulator sim(persona);
    Host host(sim.DevicePath());
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(Detect(host), persona.caption);
    // identity answers are there whatever the model
    EXPECT_EQ(host.Command("AT+CGMI"), "AT+CGMI\r\r\n" + persona.manufacturer + "\r\n\r\nOK\r\n");
    EXPECT_EQ(host.Command("AT+CGMM"), "AT+CGMM\r\r\n" + persona.model + "\r\n\r\nOK\r\n");
  }
}

TEST(QvSimPersona, FoundByIdOrCaptionWhateverTheCase) {
  ASSERT_NE(qvsim::FindPersona("SIEMENS_MC35I"), nullptr);
  EXPECT_EQ(qvsim::FindPersona("Siemens M35i[t]")->id, "siemens_mc35i");
  EXPECT_EQ(qvsim::FindPersona("itegno (iwow)")->id, "itegno_iwow");
  EXPECT_EQ(qvsim::FindPersona("no such phone"), nullptr);
  EXPECT_EQ(qvsim::FindPersona(""), nullptr);
  EXPECT_THROW(Simulator("no such phone"), std::invalid_argument);
}

// What each model's driver sends while it initialises the modem and uses it, and which the
// model must accept: reset and echo, notifications, message memories, battery, phone book
// (memory, size, one record in UCS2 and the set it restores) and USSD.
struct DriverUse {
  const char* id;
  std::vector<std::string> lines;
};

std::vector<DriverUse> BuiltInDriverUse() {
  const std::vector<std::string> reset = {"AT", "ATZ", "ATE0"};
  auto cpms3 = [](const char* r, const char* w, const char* s) {
    return std::string("AT+CPMS=\"") + r + "\",\"" + w + "\",\"" + s + "\"";
  };
  auto cpms2 = [](const char* r, const char* w) { return std::string("AT+CPMS=\"") + r + "\",\"" + w + "\""; };
  auto book = [](const char* mem, const char* size, const char* restore) {
    return std::vector<std::string>{std::string("AT+CPBS=\"") + mem + "\"", size, "AT+CPBR=?",
                                    "AT+CSCS=\"UCS2\"", "AT+CPBR=1", std::string("AT+CSCS=\"") + restore + "\""};
  };
  auto join = [](std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  const std::vector<std::string> common = {"AT+CGMI", "AT+CGMM", "AT+CGMR", "AT+CGSN", "AT+CIMI", "AT+CPIN?",
                                           "AT+CSQ",  "AT+CMGF=0", "AT+CLIP=1", "AT+CGATT?"};
  const std::string ussd = "AT+CUSD=1,\"*100#\",0";
  // today's modules: numeric errors, three memories, USSD with scheme 15
  const std::vector<std::string> moduleStart = {"AT", "ATE0", "AT+CMEE=1"};
  const std::vector<std::string> moduleSms = {"AT+CNMI=2,1,0,1,0", "AT+CNMI=2,2,0,1,0", cpms3("SM", "SM", "SM"),
                                              cpms3("ME", "ME", "ME"), "AT+CPMS?"};
  const std::string ussd15 = "AT+CUSD=1,\"*100#\",15";
  return {
      {"nokia6230i", join({reset, common, {"AT+CNMI=2,1,,2", "AT+CNMI=2,2,,1", cpms3("ME", "ME", "MT"), "AT+CPMS?", "AT+CBC", ussd},
                           book("ME", "AT+CPBS?", "PCCP437")})},
      {"nokia7110", join({reset, common, {"AT+CNMI=2,1", "AT+CNMI=2,2", cpms3("ME", "ME", "SM"), "AT+CPMS?", "AT+CBC", ussd},
                          {"AT+CPBS=\"ME\"", "AT+CPBS?", "AT+CSCS=\"PCCP437\"", "AT+CPBR=1"}})},
      {"nokia6120", join({reset, common, {"AT+CBC", ussd}})},
      {"nokia5310", join({reset, common, {"AT+CBC", ussd}, book("ME", "AT+CPBS?", "PCCP437")})},
      {"nokiacs10", join({reset, common, {"AT+CNMI=2,1", "AT+CNMI=2,2", cpms3("ME", "ME", "MT"), "AT+CPMS?", "AT+CBC", ussd},
                          book("ME", "AT+CPBS?", "PCCP437")})},
      {"samsung_sgh_c120", join({reset, common, {"AT+CNMI=2,1", "AT+CNMI=2,2", cpms3("ME", "ME", "MT"), "AT+CPMS?", "AT+CBC", ussd},
                                 book("ME", "AT+CPBR=?", "GSM")})},
      {"set630", join({reset, common, {"AT+CNMI=2,1", "AT+CNMI=2,3", cpms3("ME", "ME", "ME"), "AT+CPMS?", "AT+CBC", ussd},
                       book("ME", "AT+CPBR=?", "005500540046002D0038")})},
      {"siemens_a65", join({reset, common, {"AT+CSMS=1", "AT+CNMI=1,1", "AT+CNMI=1,2", cpms3("ME", "ME", "ME"), "AT+CPMS?", "AT+CBC", ussd},
                            book("ME", "AT+CPBR=?", "GSM")})},
      {"siemens_mc35i", join({reset, common, {"AT+CSMS=1", "AT+CNMI=1,1,2,1", "AT+CNMI=1,2,2,1", cpms3("ME", "ME", "SM"), "AT+CPMS?", ussd},
                              book("ME", "AT+CPBR=?", "GSM")})},
      {"wavecom_multiband_900e", join({reset, common, {"AT+CSMS=1", "AT+CNMI=2,1,2,2", "AT+CNMI=2,2,2,1", cpms2("SM", "SM"), "AT+CPMS?", ussd,
                                                       "AT+CPBS=\"ME\"", "AT+CPBR=?", "AT+CSCS=\"GSM\"", "AT+CPBR=1",
                                                       "AT+CPBW=1,\"+4930\",145,\"8000410042\""}})},
      {"wavecom_wireless_cpu", join({{"AT", "ATZ", "AT+CFUN=1", "ATE0"}, common,
                                     {"AT+CSMS=1", "AT+CNMI=2,1,2,2", "AT+CNMI=2,2,2,1", cpms2("SM", "SM"), "AT+CPMS?", ussd}})},
      {"benq_m22", join({reset, common, {"AT+CNMI=2,1,2,1", "AT+CNMI=2,2,2,1", cpms3("ME", "ME", "SM"), "AT+CPMS?", "AT+CBC"},
                         book("EN", "AT+CPBS?", "PCCP437")})},
      {"huawei_e220", join({{"ATZ", "ATE0", "AT^CURC=0"}, common,
                            {"AT+CNMI=1,1,2,1,0", "AT+CNMI=1,2,2,1,0", cpms3("SM", "SM", "SM"), "AT+CPMS?",
                             "AT+CUSD=1,\"AA180C3602\",15"},
                            book("SM", "AT+CPBR=?", "GSM")})},
      {"simcom_sim340", join({reset, common, {"AT+CSMS=1", "AT+CNMI=1,1,2,1", "AT+CNMI=1,2,2,1", cpms3("SM", "SM", "SM"), "AT+CPMS?", ussd},
                              book("SM", "AT+CPBR=?", "GSM")})},
      {"simcom_sim7600", join({reset, common, {"AT+CSMS=1", "AT+CNMI=1,1,2,1", "AT+CNMI=1,2,2,1", cpms3("SM", "SM", "SM"), "AT+CPMS?", ussd},
                               book("SM", "AT+CPBR=?", "GSM")})},
      {"itegno_iwow", join({reset, common, {"AT+CNMI=2,1,2,1", "AT+CNMI=2,2,2,1", cpms3("ME", "ME", "SM"), "AT+CPMS?", "AT+CBC", ussd},
                            book("EN", "AT+CPBS?", "PCCP437")})},
      {"novatel_ovation_mc950", join({reset, common, {"AT+CNMI=2,1,2,1", "AT+CNMI=2,2,2,1", cpms3("SM", "SM", "SM"), "AT+CPMS?", "AT+CBC", ussd},
                                      book("SM", "AT+CPBS?", "GSM")})},
      {"sierra_wireless", join({reset, common, {"AT+CNMI=2,1,1,2", "AT+CNMI=2,2,2,1", cpms2("SM", "SM"), "AT+CPMS?", ussd,
                                                "AT+CPBS=\"ME\"", "AT+CPBR=?", "AT+CSCS=\"GSM\"", "AT+CPBR=1"}})},
      {"zte", join({{"ATZ", "ATE0", "AT+ZCDRUN=8", "AT+ZOPRT=5"}, common,
                    {"AT+CNMI=1,1,2,1,0", "AT+CNMI=1,2,2,1,0", cpms3("SM", "SM", "SM"), "AT+CPMS?", ussd},
                    book("SM", "AT+CPBR=?", "GSM")})},
      {"quectel_ec25", join({moduleStart, common, moduleSms, {ussd15, "AT+CHUP"}, book("ME", "AT+CPBR=?", "GSM")})},
      {"quectel_bg96", join({moduleStart, common, moduleSms, {ussd15}, book("ME", "AT+CPBR=?", "GSM")})},
      {"simcom_sim800", join({moduleStart, common, moduleSms, {"AT+CBC", ussd15}, book("ME", "AT+CPBR=?", "GSM")})},
      {"ublox_sara", join({moduleStart, common, moduleSms, {ussd15}, book("ME", "AT+CPBR=?", "GSM")})},
      {"telit_le910", join({moduleStart, common, moduleSms, {ussd15}, book("ME", "AT+CPBR=?", "GSM")})},
      {"huawei_me909", join({moduleStart, {"AT^CURC=0"}, common, moduleSms, {"AT+CUSD=1,\"AA180C3602\",15"},
                             book("ME", "AT+CPBR=?", "GSM")})},
      {"generic", join({moduleStart, common, moduleSms, {ussd15}, book("ME", "AT+CPBR=?", "GSM")})},
  };
}

TEST(QvSimPersona, EachModelAcceptsWhatItsDriverSends) {
  for (const DriverUse& use : BuiltInDriverUse()) {
    SCOPED_TRACE(use.id);
    Simulator sim(use.id);
    Host host(sim.DevicePath());
    for (const std::string& line : use.lines) {
      const std::string reply = host.Command(line);
      EXPECT_TRUE(reply.ends_with("\r\nOK\r\n")) << line << " -> " << qvsim::Escape(reply);
    }
  }
}

// The diagnostic every driver runs: each line gets a complete answer from every model, and
// the vendor commands answer OK on their own models only.
TEST(QvSimPersona, DiagnosticLinesAllGetAFinalResult) {
  const char* lines[] = {"ATI", "ATI0", "ATI1", "ATI2", "ATI3", "ATI4", "ATI5", "ATI6", "ATI7", "AT+CGMI",
                         "AT+CGMM", "AT+CGSN", "AT+CGMR", "AT+CPMS=?", "AT+CPMS?", "AT+CPBS=?", "AT+CPBS?",
                         "AT+CPBR=?", "AT+CPBW=?", "AT+CSCS=?", "AT+CMGF=?", "AT+CBC=?", "AT+CSQ=?", "AT+CNMI=?",
                         "AT+CLIP=?", "AT+CMGL=?", "AT+CSMS=?", "AT+CSMS?", "AT+CIMI=?", "AT+CIND?", "AT+CIND=?",
                         "AT^SIND?", "AT^SIND=?", "AT^CURC?", "AT^CURC=?", "AT+CFUN=?", "AT+CFUN?", "AT+CNMA=?",
                         "AT+WHCNF?", "AT+WBHV?", "AT^CMDL", "AT+CLAC"};
  for (const qvsim::Persona& persona : qvsim::Personas()) {
    SCOPED_TRACE(persona.id);
    Simulator sim(persona);
    Host host(sim.DevicePath());
    host.Command("ATE0");
    for (const char* line : lines) {
      const std::string reply = host.Command(line);
      ASSERT_TRUE(Host::EndsWithFinal(reply)) << line << " -> " << qvsim::Escape(reply);
      const std::string name = std::string(line).substr(2, std::string(line).find_first_of("?=", 2) - 2);
      if (name.front() == '^' || name.front() == '+') {
        const auto& vendor = persona.vendorCommands;
        const bool own = name.front() == '+' && !name.starts_with("+WHCNF") && !name.starts_with("+WBHV");
        if (own || std::find(vendor.begin(), vendor.end(), name) != vendor.end()) {
          EXPECT_TRUE(reply.ends_with("\r\nOK\r\n") || name == "+CBC") << line << " -> " << qvsim::Escape(reply);
        } else {
          EXPECT_EQ(reply, "\r\nERROR\r\n") << line;
        }
      }
    }
  }
}

// While a module starts, the SIM's commands answer +CME ERROR: 14 and the message commands
// +CMS ERROR: 314 ("SIM busy"); the rest of the module answers as usual.
TEST(QvSimModem, StartingModuleAnswersSimBusy) {
  qvsim::Modem modem(*qvsim::FindPersona("quectel_ec25"));
  auto reply = [&](const char* line) {
    std::vector<qvsim::Output> out;
    modem.Receive(std::string(line) + "\r", out);
    std::string bytes;
    for (const auto& o : out) bytes += o.bytes;
    return bytes;
  };
  reply("ATE0");
  reply("AT+CMEE=1");
  struct Case {
    bool simBusy, smsBusy;
    const char* line;
    const char* answer;
  };
  const Case cases[] = {
      {true, true, "AT+CPIN?", "\r\n+CME ERROR: 14\r\n"},
      {true, true, "AT+CIMI", "\r\n+CME ERROR: 14\r\n"},
      {true, true, "AT+CGMI", "\r\nQuectel\r\n\r\nOK\r\n"},
      {false, true, "AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
      {false, true, "AT+CPMS?", "\r\n+CMS ERROR: 314\r\n"},
      {false, true, "AT+CNMI=2,1,0,1,0", "\r\n+CMS ERROR: 314\r\n"},
      {false, true, "AT+CMGF=0", "\r\n+CMS ERROR: 314\r\n"},
      {false, false, "AT+CPMS?", "\r\n+CPMS: \"SM\",0,50,\"SM\",0,50,\"SM\",0,50\r\n\r\nOK\r\n"},
  };
  for (const Case& c : cases) {
    modem.SetStarting(c.simBusy, c.smsBusy);
    EXPECT_EQ(reply(c.line), c.answer) << c.line << " sim busy " << c.simBusy << " sms busy " << c.smsBusy;
  }
}

// A restart plays the persona's start-up lines in order; the message service answers again
// once its ready line has gone.
TEST(QvSimPersona, RestartPlaysTheStartUpLines) {
  Simulator sim("quectel_ec25");
  Host host(sim.DevicePath());
  sim.Restart();
  ASSERT_TRUE(sim.GetTranscript().WaitFor(qvsim::Transcript::Direction::FromModem, "+QIND: PB DONE\r\n", 5s));
  EXPECT_EQ(host.Command("AT+CPMS?"), "\r\nRDY\r\n\r\n+CFUN: 1\r\n\r\n+CPIN: READY\r\n\r\n+QUSIM: 1\r\n"
                                      "\r\n+QIND: SMS DONE\r\n\r\n+QIND: PB DONE\r\nAT+CPMS?\r\r\n+CPMS: \"SM\",0,50,\"SM\",0,50,\"SM\",0,50\r\n\r\nOK\r\n");
}

// ---------------------------------------------------------------------------------------------
// V.250 and 27.007 behaviour, as exact bytes

struct Exchange {
  const char* line;
  const char* reply;  // the exact bytes, echo included
};

void RunExchanges(Host& host, const std::vector<Exchange>& table) {
  for (const Exchange& e : table) {
    EXPECT_EQ(host.Command(e.line), e.reply) << "line " << e.line;
  }
}

TEST(QvSimCommands, BasicCommandsEchoAndErrorModes) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  RunExchanges(host, {
      {"AT", "AT\r\r\nOK\r\n"},
      {"at", "at\r\r\nOK\r\n"},
      {"AT+CGMR", "AT+CGMR\r\r\n1.0.0\r\n\r\nOK\r\n"},
      {"AT+CGSN", "AT+CGSN\r\r\n356938035643809\r\n\r\nOK\r\n"},
      {"AT+CIMI", "AT+CIMI\r\r\n262019876543210\r\n\r\nOK\r\n"},
      {"ATI9", "ATI9\r\r\nERROR\r\n"},
      {"AT+NOSUCH", "AT+NOSUCH\r\r\nERROR\r\n"},
      {"ATE0", "ATE0\r\r\nOK\r\n"},  // the line itself is still echoed
      {"AT", "\r\nOK\r\n"},
      {"AT+CGMI;+CGMM", "\r\nQV Simulated Modems\r\n\r\nGSM Modem 1\r\n\r\nOK\r\n"},
      {"AT+CPBR=0", "\r\nERROR\r\n"},
      {"AT+CMEE=1", "\r\nOK\r\n"},
      {"AT+CPBR=0", "\r\n+CME ERROR: 21\r\n"},
      {"AT+CMEE=2", "\r\nOK\r\n"},
      {"AT+CPBR=0", "\r\n+CME ERROR: invalid index\r\n"},
      {"AT+CMEE?", "\r\n+CMEE: 2\r\n\r\nOK\r\n"},
      {"AT+CMGR=99", "\r\n+CMS ERROR: invalid memory index\r\n"},
      {"ATV0", "0\r"},
      {"AT+NOSUCH", "4\r"},
      {"ATV1", "\r\nOK\r\n"},
      {"ATZ", "\r\nOK\r\n"},  // settings back to their defaults: echo on, +CMEE 0
      {"AT+CMEE?", "AT+CMEE?\r\r\n+CMEE: 0\r\n\r\nOK\r\n"},
      {"AT+CSCS=?", "AT+CSCS=?\r\r\n+CSCS: (\"GSM\",\"IRA\",\"UCS2\",\"8859-1\",\"PCCP437\")\r\n\r\nOK\r\n"},
      {"AT+CSCS=\"UCS2\"", "AT+CSCS=\"UCS2\"\r\r\nOK\r\n"},
      {"AT+CSCS?", "AT+CSCS?\r\r\n+CSCS: \"UCS2\"\r\n\r\nOK\r\n"},
      {"AT+CSCS=\"KOI8\"", "AT+CSCS=\"KOI8\"\r\r\nERROR\r\n"},
      {"AT+CSQ", "AT+CSQ\r\r\n+CSQ: 21,99\r\n\r\nOK\r\n"},
      {"AT+CBC", "AT+CBC\r\r\n+CBC: 0,85\r\n\r\nOK\r\n"},
      {"AT+CSCA?", "AT+CSCA?\r\r\n+CSCA: \"002B003400390031003700320030003000300030003000300030\",145\r\n\r\nOK\r\n"},
  });
  host.Send("xyz\r");  // not a command line: no answer beyond the echo
  EXPECT_EQ(host.ReadFor(200ms), "xyz\r");
  host.Send("A/");     // repeats the last command line
  EXPECT_EQ(host.ReadReply(), "A/\r\n+CSCA: \"002B003400390031003700320030003000300030003000300030\",145\r\n\r\nOK\r\n");
}

TEST(QvSimCommands, BatteryAndSignalFollowTheModelAndTheSettings) {
  Simulator wavecom("wavecom_multiband_900e");
  Host w(wavecom.DevicePath());
  EXPECT_EQ(w.Command("AT+CBC"), "AT+CBC\r\r\nERROR\r\n");  // no battery command on this module
  Simulator phone("nokia6230i");
  phone.WithModem([](qvsim::Modem& m) {
    m.SetBattery(1, 100);
    m.SetSignal(99, 99);
  });
  Host p(phone.DevicePath());
  EXPECT_EQ(p.Command("AT+CBC"), "AT+CBC\r\r\n+CBC: 1,100\r\n\r\nOK\r\n");
  EXPECT_EQ(p.Command("AT+CSQ"), "AT+CSQ\r\r\n+CSQ: 99,99\r\n\r\nOK\r\n");
}

// ---------------------------------------------------------------------------------------------
// PIN states

TEST(QvSimPin, PinAttemptsThenPukThenReady) {
  qvsim::SimulatorOptions options;
  options.pin = "4711";
  options.pinState = qvsim::PinState::SimPin;
  Simulator sim("generic", options);
  Host host(sim.DevicePath());
  RunExchanges(host, {
      {"ATE0", "ATE0\r\r\nOK\r\n"},
      {"AT+CMEE=1", "\r\nOK\r\n"},
      {"AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"},
      {"AT+CIMI", "\r\n+CME ERROR: 11\r\n"},
      {"AT+CMGL=4", "\r\n+CMS ERROR: 311\r\n"},
      {"AT+CGMI", "\r\nQV Simulated Modems\r\n\r\nOK\r\n"},  // identity needs no SIM
      {"AT+CPIN=1111", "\r\n+CME ERROR: 16\r\n"},
      {"AT+CPIN=\"2222\"", "\r\n+CME ERROR: 16\r\n"},
      {"AT+CPIN?", "\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"},
      {"AT+CPIN=3333", "\r\n+CME ERROR: 16\r\n"},  // the third wrong PIN blocks it
      {"AT+CPIN?", "\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n"},
      {"AT+CPIN=4711", "\r\n+CME ERROR: 12\r\n"},  // the PIN no longer helps
      {"AT+CIMI", "\r\n+CME ERROR: 12\r\n"},
      {"AT+CMGR=1", "\r\n+CMS ERROR: 316\r\n"},
      {"AT+CPIN=\"00000000\",\"1234\"", "\r\n+CME ERROR: 16\r\n"},
      {"AT+CPIN=\"12345678\",\"1234\"", "\r\nOK\r\n"},
      {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
      {"AT+CPIN=1234", "\r\n+CME ERROR: 3\r\n"},  // nothing to enter
      {"AT+CIMI", "\r\n262019876543210\r\n\r\nOK\r\n"},
  });
  EXPECT_EQ(sim.WithModem([](qvsim::Modem& m) { return m.GetPinState(); }), qvsim::PinState::Ready);
}

TEST(QvSimPin, CorrectPinUnlocksAndIsAskedAgainAfterDeviceLoss) {
  qvsim::SimulatorOptions options;
  options.pin = "4711";
  options.pinState = qvsim::PinState::SimPin;
  Simulator sim("siemens_mc35i", options);
  {
    Host host(sim.DevicePath());
    EXPECT_EQ(host.Command("AT+CPIN=4711"), "AT+CPIN=4711\r\r\nOK\r\n");
    EXPECT_EQ(host.Command("AT+CPIN?"), "AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n");
  }
  sim.DropDevice();
  ASSERT_FALSE(sim.BringUp());
  Host host(sim.DevicePath());
  EXPECT_EQ(host.Command("AT+CPIN?"), "AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
}

// ---------------------------------------------------------------------------------------------
// Message stores

TEST(QvSimSms, StoreListReadDeleteRoundTrip) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  EXPECT_EQ(sim.InjectSms(kDeliver, qvsim::SmsRoute::Store), 1);
  EXPECT_EQ(host.ReadUntil([](const std::string& s) { return s.size() > 2 && s.ends_with("\r\n"); }),
            "\r\n+CMTI: \"SM\",1\r\n");
  EXPECT_EQ(sim.InjectSms(kDeliver), 2);  // +CNMI 0,0: stored without a word
  const std::string item1 = "+CMGL: 1,0,,30\r\n" + std::string(kDeliver);
  const std::string item2 = "+CMGL: 2,0,,30\r\n" + std::string(kDeliver);
  RunExchanges(host, {
      {"AT+CPMS?", "\r\n+CPMS: \"SM\",2,30,\"SM\",2,30,\"SM\",2,30\r\n\r\nOK\r\n"},
      {"AT+CPMS=\"SM\",\"ME\",\"SM\"", "\r\n+CPMS: 2,30,0,100,2,30\r\n\r\nOK\r\n"},
      {"AT+CPMS=\"XX\"", "\r\n+CMS ERROR: 302\r\n"},
      {"AT+CPMS=\"SM\",\"SR\"", "\r\n+CMS ERROR: 302\r\n"},  // reports are only read
      {"AT+CMGF=1", "\r\n+CMS ERROR: 303\r\n"},
      {"AT+CMGF=0", "\r\nOK\r\n"},
      {"AT+CMGL=1", "\r\nOK\r\n"},
      {"AT+CMGR=2", ("\r\n+CMGR: 0,,30\r\n" + std::string(kDeliver) + "\r\n\r\nOK\r\n").c_str()},
      {"AT+CMGL=0", ("\r\n" + item1 + "\r\n\r\nOK\r\n").c_str()},  // listing marks it read
      {"AT+CMGL=0", "\r\nOK\r\n"},
      {"AT+CMGL=4", ("\r\n+CMGL: 1,1,,30\r\n" + std::string(kDeliver) + "\r\n+CMGL: 2,1,,30\r\n" +
                     kDeliver + "\r\n\r\nOK\r\n").c_str()},
      {"AT+CMGL=5", "\r\n+CMS ERROR: 304\r\n"},
      {"AT+CMGD=1", "\r\nOK\r\n"},
      {"AT+CMGR=1", "\r\nOK\r\n"},  // an empty slot
      {"AT+CMGR=31", "\r\n+CMS ERROR: 321\r\n"},
      {"AT+CMGD=0", "\r\n+CMS ERROR: 321\r\n"},
      {"AT+CMGD=1,4", "\r\nOK\r\n"},
      {"AT+CMGL=4", "\r\nOK\r\n"},
  });
  (void)item2;
  EXPECT_TRUE(sim.WithModem([](qvsim::Modem& m) { return m.SmsIn("SM").empty(); }));
}

TEST(QvSimSms, SubmitWithPromptCtrlZAndEsc) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  sim.WithModem([](qvsim::Modem& m) { m.SetNextReference(41); });
  EXPECT_EQ(host.Command("AT+CMGS=19"), "\r\n> ");
  host.Send(std::string(kSubmit) + "\x1A");
  EXPECT_EQ(host.ReadReply(), "\r\n+CMGS: 41\r\n\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CMGS=18"), "\r\n> ");  // the length does not match the PDU
  host.Send(std::string(kSubmit) + "\x1A");
  EXPECT_EQ(host.ReadReply(), "\r\n+CMS ERROR: 304\r\n");
  EXPECT_EQ(host.Command("AT+CMGS=19"), "\r\n> ");
  host.Send("0011\x1B");  // Esc cancels: nothing is sent
  EXPECT_EQ(host.ReadReply(), "\r\nOK\r\n");
  sim.WithModem([](qvsim::Modem& m) { m.FailSubmissions(331, 1); });
  EXPECT_EQ(host.Command("AT+CMGS=19"), "\r\n> ");
  host.Send(std::string(kSubmit) + "\x1A");
  EXPECT_EQ(host.ReadReply(), "\r\n+CMS ERROR: 331\r\n");
  EXPECT_EQ(host.Command("AT+CMGW=19"), "\r\n> ");
  host.Send(std::string(kSubmit) + "\x1A");
  EXPECT_EQ(host.ReadReply(), "\r\n+CMGW: 1\r\n\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CMSS=1"), "\r\n+CMSS: 42\r\n\r\nOK\r\n");
  const auto submitted = sim.WithModem([](qvsim::Modem& m) { return m.Submitted(); });
  EXPECT_EQ(submitted, (std::vector<std::string>{kSubmit, kSubmit}));
  const auto stored = sim.WithModem([](qvsim::Modem& m) { return m.SmsIn("SM"); });
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored.at(1).status, 3);  // sent from storage
}

TEST(QvSimSms, SubmissionAskingForAReportGetsOneRoutedByCnmi) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  host.Command("AT+CNMI=2,1,0,1,0");
  // the same SUBMIT with the status report request bit set in its first octet
  const std::string submit = "0031000B912143658709F10000AA05E8329BFD06";
  host.Command("AT+CMGS=19");
  host.Send(submit + "\x1A");
  const std::string reply = host.ReadUntil([](const std::string& s) {
    const size_t cds = s.find("+CDS:");
    return cds != std::string::npos && s.find("\r\n", s.find("\r\n", cds) + 2) != std::string::npos;
  });
  EXPECT_NE(reply.find("\r\n+CMGS: 1\r\n\r\nOK\r\n\r\n+CDS: 25\r\n000601"), std::string::npos) << reply;
  EXPECT_NE(reply.find("0B912143658709F1"), std::string::npos) << "recipient of the report";
}

TEST(QvSimSms, RefusesBadPdusAndFullMemories) {
  Simulator sim("huawei_e220");  // SIM memory of 30
  EXPECT_EQ(sim.InjectSms("not hex"), -1);
  EXPECT_EQ(sim.InjectSms("07"), -1);
  for (int i = 1; i <= 30; ++i) ASSERT_EQ(sim.InjectSms(kDeliver), i);
  EXPECT_EQ(sim.InjectSms(kDeliver), -1);
}

// ---------------------------------------------------------------------------------------------
// Injections reach the host as the exact bytes a modem sends

struct InjectionCase {
  const char* name;
  std::vector<const char*> setup;  // command lines run first (echo is off)
  std::function<void(Simulator&)> inject;
  std::string expected;
};

TEST(QvSimInjection, EachInjectionArrivesAsSpecifiedBytes) {
  const std::string deliver(kDeliver);
  const std::string report(kReport);
  qvsim::UssdAnswer pushed;
  pushed.text = "Hello";
  pushed.status = 1;
  qvsim::UssdAnswer raw;
  raw.raw = true;
  raw.text = "C8329BFD06";
  raw.dcs = 15;
  const std::vector<InjectionCase> cases = {
      {"stored, +CNMI mt 1", {"AT+CNMI=2,1"}, [&](Simulator& s) { s.InjectSms(deliver); }, "\r\n+CMTI: \"SM\",1\r\n"},
      {"stored in ME", {"AT+CNMI=2,1", "AT+CPMS=\"SM\",\"SM\",\"ME\""}, [&](Simulator& s) { s.InjectSms(deliver); },
       "\r\n+CMTI: \"ME\",1\r\n"},
      {"delivered, +CNMI mt 2", {"AT+CNMI=2,2"}, [&](Simulator& s) { s.InjectSms(deliver); },
       "\r\n+CMT: ,30\r\n" + deliver + "\r\n"},
      {"forced delivery", {}, [&](Simulator& s) { s.InjectSms(deliver, qvsim::SmsRoute::Deliver); },
       "\r\n+CMT: ,30\r\n" + deliver + "\r\n"},
      {"report, +CNMI ds 1", {"AT+CNMI=2,1,0,1"}, [&](Simulator& s) { s.InjectStatusReport(report); },
       "\r\n+CDS: 26\r\n" + report + "\r\n"},
      {"report, +CNMI ds 2", {"AT+CNMI=2,1,0,2"}, [&](Simulator& s) { s.InjectStatusReport(report); },
       "\r\n+CDSI: \"SR\",1\r\n"},
      {"ring", {}, [](Simulator& s) { s.InjectRing("+491701234567"); }, "\r\nRING\r\n"},
      {"ring with +CLIP", {"AT+CLIP=1"}, [](Simulator& s) { s.InjectRing("+491701234567"); },
       "\r\nRING\r\n\r\n+CLIP: \"+491701234567\",145\r\n"},
      {"ring with +CRC and +CLIP", {"AT+CRC=1", "AT+CLIP=1"}, [](Simulator& s) { s.InjectRing("0301234"); },
       "\r\n+CRING: VOICE\r\n\r\n+CLIP: \"0301234\",129\r\n"},
      {"hang-up of a ringing call", {}, [](Simulator& s) { s.InjectRing(""); s.InjectHangup(); },
       "\r\nRING\r\n\r\nNO CARRIER\r\n"},
      {"ussd", {}, [&](Simulator& s) { s.InjectUssd(pushed); }, "\r\n+CUSD: 1,\"Hello\",15\r\n"},
      {"ussd in UCS2", {"AT+CSCS=\"UCS2\""}, [&](Simulator& s) { s.InjectUssd(pushed); },
       "\r\n+CUSD: 1,\"00480065006C006C006F\",72\r\n"},
      {"ussd raw", {}, [&](Simulator& s) { s.InjectUssd(raw); }, "\r\n+CUSD: 0,\"C8329BFD06\",15\r\n"},
      {"network error", {}, [](Simulator& s) { s.InjectNetworkError(331); }, "\r\n+CMS ERROR: 331\r\n"},
      {"raw bytes", {}, [](Simulator& s) { s.InjectRaw("\r\n+XYZ: 1\r\n"); }, "\r\n+XYZ: 1\r\n"},
  };
  for (const InjectionCase& c : cases) {
    SCOPED_TRACE(c.name);
    Simulator sim("generic");
    Host host(sim.DevicePath());
    host.Command("ATE0");
    for (const char* line : c.setup) ASSERT_TRUE(host.Command(line).ends_with("\r\nOK\r\n")) << line;
    c.inject(sim);
    EXPECT_EQ(host.ReadFor(150ms), c.expected);
  }
}

TEST(QvSimInjection, PhonesCountTheirOwnSlotsAfterTheSims) {
  Simulator sim("nokia6230i");  // SIM of 20, phone memory first in its lists
  Host host(sim.DevicePath());
  host.Command("ATE0");
  EXPECT_EQ(sim.InjectSms(kDeliver, qvsim::SmsRoute::Store), 1);
  EXPECT_EQ(host.ReadFor(150ms), "\r\n+CMTI: \"ME\",21\r\n");
  host.Command("AT+CPMS=\"SM\",\"SM\",\"SM\"");
  EXPECT_EQ(sim.InjectSms(kDeliver, qvsim::SmsRoute::Store), 1);
  EXPECT_EQ(host.ReadFor(150ms), "\r\n+CMTI: \"SM\",1\r\n");
}

TEST(QvSimInjection, DirectDeliveryAwaitsAcknowledgementWithCsms1) {
  Simulator sim("wavecom_wireless_cpu");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  EXPECT_EQ(host.Command("AT+CSMS=1"), "\r\n+CSMS: 1,1,1\r\n\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CNMI=2,2,2,1"), "\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CNMA=0"), "\r\n+CMS ERROR: 340\r\n");
  EXPECT_EQ(sim.InjectSms(kDeliver), 0);
  host.ReadUntilEnd(std::string(kDeliver) + "\r\n");
  EXPECT_EQ(host.Command("AT+CNMA=0"), "\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CNMA=0"), "\r\n+CMS ERROR: 340\r\n");
}

TEST(QvSimInjection, RingsRepeatUntilAnswered) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  sim.InjectRing("+4930", 10, 100ms);
  EXPECT_EQ(host.ReadFor(250ms), "\r\nRING\r\n\r\nRING\r\n\r\nRING\r\n");
  EXPECT_EQ(host.Command("ATA"), "\r\nOK\r\n");
  EXPECT_EQ(host.ReadFor(300ms), "");  // no more rings once answered
  EXPECT_TRUE(sim.WaitOutputIdle(50ms));
}

TEST(QvSimInjection, CallsAnswerAndHangUp) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  EXPECT_EQ(host.Command("ATA"), "\r\nNO CARRIER\r\n");  // nothing is ringing
  sim.InjectRing("+491701234567");
  host.ReadUntilEnd("RING\r\n");
  EXPECT_EQ(host.Command("AT+CLCC"), "\r\n+CLCC: 1,1,4,0,0,\"+491701234567\",145\r\n\r\nOK\r\n");
  EXPECT_EQ(host.Command("ATA"), "\r\nOK\r\n");
  EXPECT_EQ(host.Command("ATH"), "\r\nOK\r\n");
  EXPECT_EQ(host.Command("ATDT+491701234567;"), "\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CHUP"), "\r\nOK\r\n");
  EXPECT_EQ(host.Command("ATD0301234"), "\r\nNO CARRIER\r\n");  // data calls
  sim.WithModem([](qvsim::Modem& m) { m.SetDialResult("BUSY"); });
  EXPECT_EQ(host.Command("ATD0301234;"), "\r\nBUSY\r\n");
  // most modems accept the dial and report the call's end later
  sim.WithModem([](qvsim::Modem& m) {
    m.SetDialResult("OK");
    m.SetCallEnd("NO ANSWER", 50ms);
  });
  EXPECT_EQ(host.Command("ATD0301234;"), "\r\nOK\r\n");
  EXPECT_EQ(host.ReadFor(150ms), "\r\nNO ANSWER\r\n");
  EXPECT_EQ(host.Command("AT+CLCC"), "\r\nOK\r\n");  // no call left
}

// A scripted failure answers the one line it names, whatever the line would do.
TEST(QvSimFault, FailedLinesAnswerWithTheirResult) {
  Simulator sim("siemens_mc35i");
  sim.WithModem([](qvsim::Modem& m) {
    m.WritePhoneBook("SM", 2, {"+4930", 145, "Ann", "", 0});
    m.FailLine("+cpbr=2", "+CME ERROR: 22");
  });
  Host host(sim.DevicePath());
  host.Command("ATE0");
  EXPECT_EQ(host.Command("AT+CPBR=2"), "\r\n+CME ERROR: 22\r\n");
  EXPECT_EQ(host.Command("AT+CPBR=1"), "\r\nOK\r\n");
  sim.WithModem([](qvsim::Modem& m) { m.FailLine("+CPBR=2", ""); });
  EXPECT_EQ(host.Command("AT+CPBR=2"), "\r\n+CPBR: 2,\"+4930\",145,\"Ann\"\r\n\r\nOK\r\n");
}

// ---------------------------------------------------------------------------------------------
// USSD answers before and after the OK

TEST(QvSimUssd, AnswersComeBeforeOrAfterTheOkOrNotAtAll) {
  Simulator sim("siemens_mc35i");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  qvsim::UssdAnswer before;
  before.text = "Top-up done";
  before.timing = qvsim::UssdTiming::BeforeOk;
  qvsim::UssdAnswer never;
  never.timing = qvsim::UssdTiming::Never;
  qvsim::UssdAnswer refused;
  refused.cmeError = 100;
  sim.WithModem([&](qvsim::Modem& m) {
    m.SetUssdAnswer("*101#", before);
    m.SetUssdAnswer("*102#", never);
    m.SetUssdAnswer("*103#", refused);
  });
  EXPECT_EQ(host.Command("AT+CUSD=1,\"*100#\",15"), "\r\nOK\r\n");
  EXPECT_EQ(host.ReadUntil([](const std::string& s) { return s.find("+CUSD:") != std::string::npos && s.ends_with("\r\n"); }),
            "\r\n+CUSD: 0,\"Your balance is 12.34\",15\r\n");
  EXPECT_EQ(host.Command("AT+CUSD=1,\"*101#\",15"), "\r\n+CUSD: 0,\"Top-up done\",15\r\n\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CUSD=1,\"*102#\",15"), "\r\nOK\r\n");
  EXPECT_EQ(host.ReadFor(200ms), "");
  EXPECT_EQ(host.Command("AT+CMEE=1"), "\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CUSD=1,\"*103#\",15"), "\r\n+CME ERROR: 100\r\n");
}

// Every form an answer may take, whatever the persona would choose.
TEST(QvSimUssd, AnswersInEachForm) {
  struct Case {
    const char* name;
    qvsim::UssdForm form;
    int status;
    bool withText;
    std::string line;
  };
  const std::string text = "Say \"hi\", 1.00";
  const Case cases[] = {
      {"plain", qvsim::UssdForm::Plain, 0, true, "+CUSD: 0,\"Say \"hi\", 1.00\",15"},
      {"packed", qvsim::UssdForm::Packed, 1, true, "+CUSD: 1,\"" + qvsim::UssdPack(text) + "\",15"},
      {"ucs2", qvsim::UssdForm::Ucs2, 0, true, "+CUSD: 0,\"" + qvsim::Utf8ToUcs2Hex(text) + "\",72"},
      {"status alone", qvsim::UssdForm::Persona, 4, false, "+CUSD: 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Simulator sim("huawei_e220");
    Host host(sim.DevicePath());
    host.Command("ATE0");
    qvsim::UssdAnswer answer;
    answer.text = text;
    answer.form = c.form;
    answer.status = c.status;
    answer.withText = c.withText;
    answer.timing = qvsim::UssdTiming::BeforeOk;
    sim.WithModem([&](qvsim::Modem& m) { m.SetDefaultUssdAnswer(answer); });
    EXPECT_EQ(host.Command("AT+CUSD=1,\"AA180C3602\",15"), "\r\n" + c.line + "\r\n\r\nOK\r\n");
  }
}

TEST(QvSimUssd, PackedModelsTakeAndGivePackedSeptets) {
  EXPECT_EQ(qvsim::UssdPack("*100#"), "AA180C3602");
  EXPECT_EQ(qvsim::UssdUnpack("AA180C3602"), "*100#");
  Simulator sim("huawei_e220");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  qvsim::UssdAnswer answer;
  answer.text = "Balance 5";
  answer.timing = qvsim::UssdTiming::BeforeOk;
  sim.WithModem([&](qvsim::Modem& m) { m.SetUssdAnswer("*100#", answer); });
  EXPECT_EQ(host.Command("AT+CUSD=1,\"AA180C3602\",15"),
            "\r\n+CUSD: 0,\"" + qvsim::UssdPack("Balance 5") + "\",15\r\n\r\nOK\r\n");
}

// ---------------------------------------------------------------------------------------------
// Phone books

TEST(QvSimPhoneBook, NamesTravelInTheSelectedCharacterSet) {
  Simulator sim("siemens_mc35i");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  RunExchanges(host, {
      {"AT+CMEE=1", "\r\nOK\r\n"},
      {"AT+CPBS=?", "\r\n+CPBS: (\"SM\",\"ME\",\"LD\",\"RC\",\"MC\",\"ON\")\r\n\r\nOK\r\n"},
      {"AT+CPBS=\"SM\"", "\r\nOK\r\n"},
      {"AT+CPBR=?", "\r\n+CPBR: (1-250),40,14\r\n\r\nOK\r\n"},
      {"AT+CSCS=\"UCS2\"", "\r\nOK\r\n"},
      {"AT+CPBW=7,\"+12345678901\",145,\"0042006F0062\"", "\r\nOK\r\n"},
      {"AT+CPBW=8,\"030123\",129,\"004A00FC0072006720AC\"", "\r\nOK\r\n"},
      {"AT+CPBW=9,\"1\",129,\"XYZ\"", "\r\n+CME ERROR: 25\r\n"},
      {"AT+CPBR=7", "\r\n+CPBR: 7,\"+12345678901\",145,\"0042006F0062\"\r\n\r\nOK\r\n"},
      {"AT+CSCS=\"GSM\"", "\r\nOK\r\n"},
      {"AT+CPBR=1,10", "\r\n+CPBR: 7,\"+12345678901\",145,\"Bob\"\r\n+CPBR: 8,\"030123\",129,\"J\xFCrg?\"\r\n\r\nOK\r\n"},
      {"AT+CPBS?", "\r\n+CPBS: \"SM\",2,250\r\n\r\nOK\r\n"},
      {"AT+CPBW=7", "\r\nOK\r\n"},  // the index alone deletes
      {"AT+CPBW=,\"555\",129,\"Next free\"", "\r\nOK\r\n"},
      {"AT+CPBR=1", "\r\n+CPBR: 1,\"555\",129,\"Next free\"\r\n\r\nOK\r\n"},
      {"AT+CPBR=251", "\r\n+CME ERROR: 21\r\n"},
      {"AT+CPBW=2,\"1\",129,\"A name too long\"", "\r\n+CME ERROR: 24\r\n"},
      {"AT+CPBS=\"LD\"", "\r\nOK\r\n"},
      {"AT+CPBW=1,\"1\",129,\"x\"", "\r\n+CME ERROR: 3\r\n"},  // call lists are read-only
      {"AT+CPBS=\"XX\"", "\r\n+CME ERROR: 4\r\n"},
      // commas inside quotes, blanks around values and quotes
      {"AT+CPBS=\"ME\";+CPBW= 5 , \"+49\" , 145 ,\"Smith, J\";+CPBR=5",
       "\r\n+CPBR: 5,\"+49\",145,\"Smith, J\"\r\n\r\nOK\r\n"},
  });
  const auto sm = sim.WithModem([](qvsim::Modem& m) { return m.PhoneBook("SM"); });
  ASSERT_EQ(sm.count(8), 1u);
  EXPECT_EQ(sm.at(8).name, "J\u00FCrg\u20AC");
}

TEST(QvSimPhoneBook, ModelSpecificEncodings) {
  {  // numbers in UCS2 too, and the set name itself in UCS2 hex while UCS2 is selected
    Simulator sim("set630");
    sim.WithModem([](qvsim::Modem& m) { m.WritePhoneBook("ME", 1, {"+123", 145, "Al", "", 0}); });
    Host host(sim.DevicePath());
    host.Command("ATE0");
    host.Command("AT+CSCS=\"UCS2\"");
    EXPECT_EQ(host.Command("AT+CPBR=1"), "\r\n+CPBR: 1,\"002B003100320033\",145,\"0041006C\"\r\n\r\nOK\r\n");
    EXPECT_EQ(host.Command("AT+CSCS=\"005500540046002D0038\""), "\r\nOK\r\n");
    EXPECT_EQ(host.Command("AT+CSCS?"), "\r\n+CSCS: \"UTF-8\"\r\n\r\nOK\r\n");
  }
  {  // SIM alpha UCS2 ("80" and UCS2 hex) in the GSM set
    Simulator sim("wavecom_multiband_900e");
    Host host(sim.DevicePath());
    host.Command("ATE0");
    EXPECT_EQ(host.Command("AT+CPBW=3,\"+4930\",145,\"80041F04400438043204350442\""), "\r\nOK\r\n");
    EXPECT_EQ(sim.WithModem([](qvsim::Modem& m) { return m.PhoneBook("SM").at(3).name; }),
              "\u041F\u0440\u0438\u0432\u0435\u0442");
    EXPECT_EQ(host.Command("AT+CPBR=3"), "\r\n+CPBR: 3,\"+4930\",145,\"80041F04400438043204350442\"\r\n\r\nOK\r\n");
  }
}

TEST(QvSimPhoneBook, CallsFillTheCallListsInTheModelsLayout) {
  Simulator sim("siemens_mc35i");  // LD, RC and MC list kind, number, type, name and date
  Host host(sim.DevicePath());
  host.Command("ATE0");
  host.Command("ATD+4930123;");
  host.Command("ATH");
  sim.InjectRing("+4940555");
  host.ReadUntilEnd("RING\r\n");
  host.Command("ATA");
  host.Command("ATH");
  sim.InjectRing("0301234");
  host.ReadUntilEnd("RING\r\n");
  sim.InjectHangup();
  host.ReadUntilEnd("NO CARRIER\r\n");
  const auto lists = sim.WithModem([](qvsim::Modem& m) {
    return std::vector<std::map<int, qvsim::PhoneBookEntry>>{m.PhoneBook("LD"), m.PhoneBook("RC"), m.PhoneBook("MC")};
  });
  ASSERT_EQ(lists[0].size(), 1u);
  EXPECT_EQ(lists[0].at(1).number, "+4930123");
  ASSERT_EQ(lists[1].size(), 1u);
  EXPECT_EQ(lists[1].at(1).number, "+4940555");
  ASSERT_EQ(lists[2].size(), 1u);
  EXPECT_EQ(lists[2].at(1).number, "0301234");
  const std::string date = lists[1].at(1).date;
  ASSERT_EQ(date.size(), 17u) << date;
  host.Command("AT+CPBS=\"RC\"");
  host.Command("AT+CSCS=\"UCS2\"");
  EXPECT_EQ(host.Command("AT+CPBR=1"), "\r\n+CPBR: 1,1,\"" + qvsim::Utf8ToUcs2Hex("+4940555") + "\",145,\"\",\"" +
                                           qvsim::Utf8ToUcs2Hex(date) + "\"\r\n\r\nOK\r\n");
  Simulator plain("nokia6230i");  // the plain layout elsewhere
  plain.WithModem([](qvsim::Modem& m) { m.WritePhoneBook("RC", 1, {"+4940555", 145, "Ann", "24/01/02 03:04:05", 1}); });
  Host other(plain.DevicePath());
  other.Command("ATE0");
  other.Command("AT+CPBS=\"RC\"");
  EXPECT_EQ(other.Command("AT+CPBR=1"), "\r\n+CPBR: 1,\"+4940555\",145,\"Ann\"\r\n\r\nOK\r\n");
}

// ---------------------------------------------------------------------------------------------
// Faults

TEST(QvSimFault, PacingMakesEveryByteTakeItsTimeOnTheLine) {
  Simulator sim("generic");
  sim.SetBaudRate(1200);  // 10 bit times per byte: 8.3 ms
  Host host(sim.DevicePath());
  const auto start = qvsim::Clock::now();
  EXPECT_EQ(host.Command("AT"), "AT\r\r\nOK\r\n");
  const auto elapsed = qvsim::Clock::now() - start;
  ASSERT_TRUE(sim.WaitOutputIdle());
  // 3 bytes in and 9 out cannot cross a 1200 baud line in less than 100 ms
  EXPECT_GE(elapsed, 95ms);
  EXPECT_EQ(sim.GetTranscript().FromModem(), "AT\r\r\nOK\r\n");
}

// The pacer on a clock the test sets: bytes due after a time, a late wake-up, an idle line.
TEST(QvSimPacer, KeepsTheLinesOwnClock) {
  using qvsim::LinePacer;
  using std::chrono::microseconds;
  const auto t0 = LinePacer::Clock::time_point{} + 1h;
  struct Case {
    int baud;
    LinePacer::Clock::duration after;
    size_t due;
  };
  const Case cases[] = {
      {9600, 1ms, 0},       {9600, 1042us, 1},     {9600, 10ms, 9},        {9600, 100ms, 96},
      {9600, 1000ms, 960},  {115200, 86us, 0},     {115200, 87us, 1},      {115200, 1ms, 11},
      {115200, 10ms, 115},  {115200, 1000ms, 11520}, {0, 0ms, 50000},
  };
  for (const Case& c : cases) {
    LinePacer pacer;
    pacer.SetByteTime(LinePacer::ByteTimeAt(c.baud));
    EXPECT_EQ(pacer.Due(t0, t0 + c.after, 50000), c.due) << c.baud << " baud after " << c.after.count() << " ns";
  }

  LinePacer pacer;
  pacer.SetByteTime(LinePacer::ByteTimeAt(115200));  // 86.8 us a byte
  const auto bt = pacer.ByteTime();
  EXPECT_EQ(pacer.NextDue(t0), t0 + bt);
  EXPECT_EQ(pacer.Due(t0, t0 + bt, 1000), 1u);
  pacer.Sent(t0, 1);
  // the writer wakes 5 ms late: the backlog goes out at once, counted from the last byte's slot
  EXPECT_EQ(pacer.Due(t0, t0 + bt + 5ms, 1000), 57u);
  EXPECT_EQ(pacer.Due(t0, t0 + bt + 5ms, 20), 20u);  // never more than is waiting
  pacer.Sent(t0, 57);
  EXPECT_EQ(pacer.NextDue(t0), t0 + 59 * bt);
  EXPECT_EQ(pacer.Due(t0, t0 + 58 * bt + bt / 2, 1000), 0u);
  // a piece that becomes ready after the line went idle starts when it is ready, not earlier
  const auto later = t0 + 1s;
  EXPECT_EQ(pacer.Due(later, later + bt / 2, 1000), 0u);
  EXPECT_EQ(pacer.Due(later, later + 3 * bt, 1000), 3u);
  // a piece that is ready while bytes are still crossing waits for them
  pacer.Sent(later, 3);
  EXPECT_EQ(pacer.Due(later + bt, later + 3 * bt, 1000), 0u);
  EXPECT_EQ(pacer.Due(later + bt, later + 4 * bt, 1000), 1u);
}

TEST(QvSimFault, LineSpeedPacingFollowsTheHostsSetting) {
  Simulator sim("generic");
  sim.SetBaudRate(Simulator::kLineSpeed);
  Host host(sim.DevicePath());
  termios tio{};
  tcgetattr(host.Fd(), &tio);
  cfsetspeed(&tio, B2400);
  tcsetattr(host.Fd(), TCSANOW, &tio);
  const auto start = qvsim::Clock::now();
  EXPECT_EQ(host.Command("ATI"), "ATI\r\r\n" + *sim.GetPersona().Identification(0) + "\r\n\r\nOK\r\n");
  // about 130 bytes at 2400 baud: over half a second
  EXPECT_GE(qvsim::Clock::now() - start, 500ms);
}

TEST(QvSimFault, RepliesWaitForTheirDelay) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  sim.SetReplyDelay(150ms);
  sim.DelayReplyTo("+CGMI", 200ms);
  auto start = qvsim::Clock::now();
  EXPECT_EQ(host.Command("AT"), "\r\nOK\r\n");
  EXPECT_GE(qvsim::Clock::now() - start, 150ms);
  start = qvsim::Clock::now();
  EXPECT_EQ(host.Command("AT+CGMI"), "\r\nQV Simulated Modems\r\n\r\nOK\r\n");
  EXPECT_GE(qvsim::Clock::now() - start, 350ms);
  sim.SetReplyDelay(0ms);
  sim.DelayNextReply(300ms);
  start = qvsim::Clock::now();
  EXPECT_EQ(host.Command("AT"), "\r\nOK\r\n");
  EXPECT_GE(qvsim::Clock::now() - start, 300ms);
}

TEST(QvSimFault, SilenceAndIgnoredCommandsGetNoAnswer) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  sim.SetSilent(true);
  host.Send("AT\r");
  EXPECT_EQ(host.ReadFor(250ms), "");
  sim.SetSilent(false);
  sim.IgnoreCommands(2);
  host.Send("ATE0\rAT+CGMI\rAT\r");  // the first two vanish unexecuted: echo stays on
  EXPECT_EQ(host.ReadReply(), "AT\r\r\nOK\r\n");
  EXPECT_EQ(sim.GetTranscript().ToModem(), "AT\rATE0\rAT+CGMI\rAT\r");
}

TEST(QvSimFault, GarbageArrivesAsIs) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  sim.InjectGarbage(64, 7);
  const std::string got = host.ReadFor(200ms);
  ASSERT_TRUE(sim.WaitOutputIdle());
  EXPECT_EQ(got.size(), 64u);
  EXPECT_EQ(got, sim.GetTranscript().FromModem());
  EXPECT_EQ(host.Command("AT"), "AT\r\r\nOK\r\n");  // and the modem still works
}

TEST(QvSimFault, OutputWaitsForAHostThatDoesNotReadAndLosesNothing) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  sim.InjectGarbage(200000, 3);  // far more than a pseudo-terminal buffers
  std::this_thread::sleep_for(100ms);
  const std::string got = host.ReadUntil([](const std::string& s) { return s.size() >= 200000; }, 10s);
  ASSERT_TRUE(sim.WaitOutputIdle());
  EXPECT_EQ(got.size(), 200000u);
  EXPECT_TRUE(got == sim.GetTranscript().FromModem());
}

TEST(QvSimFault, SplitWritesCutEveryReplyIntoSmallPieces) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  sim.SetSplitWrites(3, 5ms);
  const std::string reply = host.Command("ATI");
  EXPECT_EQ(reply, "ATI\r\r\n" + *sim.GetPersona().Identification(0) + "\r\n\r\nOK\r\n");
  ASSERT_TRUE(sim.WaitOutputIdle());
  size_t writes = 0;
  for (const auto& e : sim.GetTranscript().Entries()) {
    if (e.direction != qvsim::Transcript::Direction::FromModem) continue;
    EXPECT_LE(e.bytes.size(), 3u);
    ++writes;
  }
  EXPECT_EQ(writes, (reply.size() + 2) / 3);
}

TEST(QvSimFault, MergeWindowPutsUnsolicitedAndReplyInOneWrite) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  host.Command("ATE0");
  ASSERT_TRUE(sim.WaitOutputIdle());  // the last write is in the transcript
  sim.GetTranscript().Clear();
  sim.SetMergeWindow(300ms);
  sim.InjectRing("");
  host.Send("AT\r");
  EXPECT_EQ(host.ReadUntilEnd("OK\r\n"), "\r\nRING\r\n\r\nOK\r\n");
  ASSERT_TRUE(sim.WaitOutputIdle());
  std::vector<std::string> writes;
  for (const auto& e : sim.GetTranscript().Entries()) {
    if (e.direction == qvsim::Transcript::Direction::FromModem) writes.push_back(e.bytes);
  }
  EXPECT_EQ(writes, std::vector<std::string>{"\r\nRING\r\n\r\nOK\r\n"});
}

TEST(QvSimFault, DeviceLossAndANewDeviceBehindTheSameLink) {
  const auto dir = std::filesystem::temp_directory_path() / ("qvsim_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string link = (dir / "modem").string();
  qvsim::SimulatorOptions options;
  options.link = link;
  {
    Simulator sim("generic", options);
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.DevicePath());
    EXPECT_EQ(sim.Path(), link);
    Host host(link);
    ASSERT_TRUE(host.IsOpen());
    EXPECT_EQ(host.Command("AT"), "AT\r\r\nOK\r\n");
    sim.DropDevice();
    EXPECT_FALSE(sim.IsUp());
    EXPECT_EQ(sim.DevicePath(), "");
    host.ReadFor(300ms);
    EXPECT_TRUE(host.HungUp());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    sim.InjectRing("1");  // nothing to write to: dropped quietly
    ASSERT_FALSE(sim.BringUp());
    Host again(link);
    ASSERT_TRUE(again.IsOpen());
    EXPECT_EQ(again.Command("AT"), "AT\r\r\nOK\r\n");
    // and the device can vanish in the middle of an exchange
    sim.DropOnCommand("+CMGS");
    again.Send("AT+CMGS=19\r");
    EXPECT_EQ(again.ReadFor(300ms), "");
    EXPECT_TRUE(again.HungUp());
    EXPECT_FALSE(sim.IsUp());
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
  std::filesystem::remove_all(dir);
}

// The device vanishes after a given count of the modem's bytes, when the next one is due: in
// the middle of a reply's line, before the first byte, or with the next reply.
TEST(QvSimFault, DeviceLossAfterSoManyBytesOfOutput) {
  std::string reply;
  {
    Simulator whole("generic");
    reply = Host(whole.DevicePath()).Command("AT+CGMI");
  }
  ASSERT_GT(reply.size(), 12u);
  for (const size_t budget : {size_t{0}, size_t{6}, reply.size()}) {
    SCOPED_TRACE(budget);
    Simulator sim("generic");
    Host host(sim.DevicePath());
    sim.DropAfterOutput(budget);
    host.Send("AT+CGMI\r");
    if (budget == reply.size()) {
      EXPECT_EQ(host.ReadReply(), reply);
      EXPECT_TRUE(sim.IsUp()) << "nothing more was due";
      host.Send("AT\r");
    }
    host.ReadFor(300ms);  // what the host had not read yet when the hang-up came is gone
    EXPECT_TRUE(host.HungUp());
    EXPECT_FALSE(sim.IsUp());
    EXPECT_EQ(sim.GetTranscript().FromModem(), reply.substr(0, budget));
    // the fault is spent: the new device talks on without vanishing
    ASSERT_FALSE(sim.BringUp());
    Host again(sim.DevicePath());
    EXPECT_EQ(again.Command("AT"), "AT\r\r\nOK\r\n");
    EXPECT_TRUE(sim.IsUp());
  }
}

// The interpreter on its own, fed noise made of command-line material: it never breaks, and
// a reset afterwards always answers OK.
TEST(QvSimModem, SurvivesRandomCommandLines) {
  static constexpr std::string_view kAlphabet = "ATat+CMGSRLDWPBIZEQV0123456789=?,;\"\r\n\x1A\x1B &^SNU";
  unsigned x = 12345;
  auto next = [&x] {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    return x;
  };
  for (const qvsim::Persona& persona : qvsim::Personas()) {
    qvsim::Modem modem(persona);
    for (int round = 0; round < 50; ++round) {
      std::string noise;
      for (int i = 0; i < 400; ++i) noise += kAlphabet[next() % kAlphabet.size()];
      std::vector<qvsim::Output> out;
      modem.Receive(noise, out);
      out.clear();
      modem.Receive("\x1B\rATZ\r", out);
      std::string bytes;
      for (const auto& o : out) bytes += o.bytes;
      ASSERT_TRUE(bytes.ends_with("\r\nOK\r\n")) << persona.id << ": " << qvsim::Escape(noise);
    }
  }
}

TEST(QvSimTranscript, RecordsEveryByteBothWaysReadably) {
  Simulator sim("generic");
  Host host(sim.DevicePath());
  host.Command("AT");
  EXPECT_TRUE(sim.GetTranscript().WaitFor(qvsim::Transcript::Direction::FromModem, "OK\r\n", 1s));
  EXPECT_EQ(sim.GetTranscript().ToModem(), "AT\r");
  EXPECT_EQ(sim.GetTranscript().FromModem(), "AT\r\r\nOK\r\n");
  const std::string text = sim.GetTranscript().Text();
  EXPECT_NE(text.find("host> AT\\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("modem> AT\\r\\r\\nOK\\r\\n\n"), std::string::npos) << text;
  EXPECT_FALSE(sim.GetTranscript().WaitFor(qvsim::Transcript::Direction::ToModem, "never", 50ms));
}

}  // namespace
