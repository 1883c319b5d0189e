#include "qvsim_persona.h"

#include <algorithm>
#include <cctype>

namespace qvsim {

namespace {

using Memories = std::vector<MemoryInfo>;
using Texts = std::vector<std::string>;

const Memories kNokiaSms{{"ME", 150}, {"SM", 20}, {"MT", 170}, {"SR", 20}};
const Memories kSimOnlySms{{"SM", 30}, {"SR", 10}};
const Memories kWavecomSms{{"SM", 25}, {"BM", 5}, {"SR", 10}};
const Memories kPhoneSms{{"ME", 100}, {"SM", 20}, {"SR", 10}};
const Memories kSamsungSms{{"ME", 100}, {"SM", 20}, {"MT", 120}, {"SR", 10}};
const Memories kSiemensSms{{"SM", 25}, {"ME", 25}, {"MT", 50}, {"SR", 10}};

const Memories kNokiaBooks{{"ME", 500}, {"SM", 250}, {"DC", 20}, {"RC", 20}, {"MC", 20}, {"FD", 10}};
const Memories kSiemensBooks{{"SM", 250}, {"ME", 100}, {"LD", 10}, {"RC", 10}, {"MC", 10}, {"ON", 5}};
const Memories kWavecomBooks{{"SM", 250}, {"ME", 100}, {"LD", 10}, {"RC", 10}, {"MC", 10}, {"ON", 5}};
const Memories kBenqBooks{{"SM", 250}, {"EN", 5}, {"DC", 10}, {"RC", 10}, {"MC", 10}, {"FD", 10},
                          {"LD", 10}, {"ON", 5}};
const Memories kDongleBooks{{"SM", 250}, {"DC", 10}, {"LD", 10}, {"FD", 10}, {"MC", 10}, {"ON", 5}};
const Memories kSimcomBooks{{"SM", 250}, {"DC", 10}, {"LD", 10}, {"FD", 10}, {"MC", 10}, {"ON", 5}};
const Memories kGenericBooks{{"SM", 250}, {"ME", 100}, {"ON", 5}, {"FD", 10}, {"DC", 10}};

const Memories kModuleSms{{"SM", 50}, {"ME", 255}, {"SR", 10}};
const Memories kModuleBooks{{"SM", 250}, {"ME", 500}, {"DC", 20}, {"RC", 20}, {"MC", 20}, {"FD", 10}, {"ON", 5}};

const Texts kPhoneCharsets{"GSM", "IRA", "PCCP437", "UCS2", "8859-1"};
const Texts kModuleCharsets{"GSM", "IRA", "UCS2", "8859-1", "PCCP437"};
const Texts kEricssonCharsets{"GSM", "IRA", "UCS2", "UTF-8", "8859-1"};
const Texts kWavecomCharsets{"GSM", "PCCP437", "CUSTOM", "HEX", "UCS2"};

Persona Make(std::string id, std::string caption, std::string maker, std::string model,
             std::string revision, std::vector<std::pair<int, std::string>> ati,
             Memories sms, Memories books, Texts charsets) {
  Persona p;
  p.id = std::move(id);
  p.caption = std::move(caption);
  p.manufacturer = std::move(maker);
  p.model = std::move(model);
  p.revision = std::move(revision);
  p.identification = std::move(ati);
  p.smsMemories = std::move(sms);
  p.phoneBooks = std::move(books);
  p.charsets = std::move(charsets);
  return p;
}

// A multi-line ATI in the style of 3GPP data cards and modules.
std::string ModuleInfo(const std::string& maker, const std::string& model, const std::string& rev) {
  return "Manufacturer: " + maker + "\r\nModel: " + model + "\r\nRevision: " + rev +
         "\r\nIMEI: 356938035643809\r\n+GCAP: +CGSM,+DS,+ES";
}

std::vector<Persona> BuildPersonas() {
  std::vector<Persona> all;
  // Nokia phones answer ATI with the maker and ATI3 with the model.
  all.push_back(Make("nokia6230i", "Nokia 6230i", "Nokia", "Nokia 6230i", "V 03.88",
                     {{0, "Nokia"}, {1, "356938035643809"}, {2, "V 03.88"}, {3, "Nokia 6230i"}},
                     kNokiaSms, kNokiaBooks, kPhoneCharsets));
  all.back().phoneIndexAfterSim = true;
  all.push_back(Make("nokia7110", "Nokia 7110", "Nokia Mobile Phones", "NSE-5", "V 05.01",
                     {{0, "Nokia Mobile Phones"}, {1, "356938035643809"}, {2, "V 05.01"}, {3, "NSE-5"}},
                     kNokiaSms, kNokiaBooks, kPhoneCharsets));
  all.back().phoneIndexAfterSim = true;
  all.push_back(Make("nokia6120", "Nokia 6120", "Nokia", "Nokia 6120", "V 04.21",
                     {{0, "Nokia"}, {1, "356938035643809"}, {2, "V 04.21"}, {3, "Nokia 6120"}},
                     kNokiaSms, kNokiaBooks, kPhoneCharsets));
  all.back().phoneIndexAfterSim = true;
  all.push_back(Make("nokia5310", "Nokia 5310", "Nokia", "Nokia 5310 XpressMusic", "V 09.42",
                     {{0, "Nokia"}, {1, "356938035643809"}, {2, "V 09.42"}, {3, "Nokia 5310 XpressMusic"}},
                     kNokiaSms, kNokiaBooks, kPhoneCharsets));
  all.back().phoneIndexAfterSim = true;
  all.push_back(Make("nokiacs10", "Nokia CS-10", "Nokia", "Nokia Internet Stick CS-10", "V 1.0.13",
                     {{0, ModuleInfo("Nokia", "CS-10", "V 1.0.13")}},
                     kNokiaSms, kNokiaBooks, kModuleCharsets));
  all.back().phoneIndexAfterSim = true;
  all.push_back(Make("samsung_sgh_c120", "Samsung SGH-C120", "Samsung", "SGH-C120", "C120XEGI1",
                     {{0, "SGH-C120"}, {3, "SGH-C120"}},
                     kSamsungSms, kNokiaBooks, kPhoneCharsets));
  all.back().datedBooks = {"DC", "RC", "MC"};
  all.push_back(Make("set630", "Sony Ericsson T630", "Sony Ericsson", "T630", "R7A011",
                     {{0, "T630-T628"}, {3, "T630-T628"}},
                     kSamsungSms, kNokiaBooks, kEricssonCharsets));
  all.back().ucs2Numbers = true;
  all.back().datedBooks = {"DC", "RC", "MC"};
  all.push_back(Make("siemens_a65", "Siemens A65", "SIEMENS", "A65", "50",
                     {{0, "SIEMENS\r\nA65\r\nREVISION 50.00"}},
                     kSiemensSms, kSiemensBooks, kPhoneCharsets));
  all.back().vendorCommands = {"^SIND", "^SMSO", "^SCID"};
  all.back().datedBooks = {"LD", "RC", "MC"};
  all.push_back(Make("siemens_mc35i", "Siemens M35i[t]", "SIEMENS", "MC35i", "REVISION 02.00",
                     {{0, "SIEMENS\r\nMC35i\r\nREVISION 02.00"}},
                     kSiemensSms, kSiemensBooks, kModuleCharsets));
  all.back().vendorCommands = {"^SIND", "^SMSO", "^SCID"};
  all.back().datedBooks = {"LD", "RC", "MC"};
  // Wavecom modules repeat the maker in ATI0, the model line following.
  all.push_back(Make("wavecom_multiband_900e", "Wavecom Modem", "WAVECOM MODEM", "MULTIBAND  900E  1800",
                     "641b09gg.Q2403A 1320676 061804 17:38",
                     {{0, "WAVECOM MODEM\r\n\r\nMULTIBAND  900E  1800"}, {3, "641b09gg.Q2403A 1320676 061804 17:38"}},
                     kWavecomSms, kWavecomBooks, kWavecomCharsets));
  all.back().vendorCommands = {"+WHCNF", "+WBHV", "+WIND", "+WOPEN"};
  all.back().battery = false;
  all.back().alpha80Names = true;
  all.push_back(Make("wavecom_wireless_cpu", "Wavecom Wireless CPU", "WAVECOM WIRELESS CPU",
                     "MULTIBAND  G850  1900", "R7.46.0.201108091301.FXT009",
                     {{0, "WAVECOM WIRELESS CPU\r\n\r\nMULTIBAND  G850  1900"},
                      {3, "R7.46.0.201108091301.FXT009"}},
                     kWavecomSms, kWavecomBooks, kWavecomCharsets));
  all.back().vendorCommands = {"+WHCNF", "+WBHV", "+WIND", "+WOPEN"};
  all.back().battery = false;
  all.back().alpha80Names = true;
  all.push_back(Make("benq_m22", "BenQ M2x", "BenQ", "M22", "1.40",
                     {{0, "BenQ M22"}, {3, "M22"}},
                     kPhoneSms, kBenqBooks, kPhoneCharsets));
  all.back().phoneIndexAfterSim = true;
  all.push_back(Make("huawei_e220", "Huawei E220", "huawei", "E220", "11.117.09.04.00",
                     {{0, ModuleInfo("huawei", "E220", "11.117.09.04.00")}},
                     kSimOnlySms, kDongleBooks, kModuleCharsets));
  all.back().vendorCommands = {"^CURC", "^CMDL", "^SYSINFO"};
  all.back().datedBooks = {"LD", "FD", "MC"};
  all.back().battery = false;
  all.back().ussdPacked = true;
  all.push_back(Make("simcom_sim340", "Simcom SIM340", "SIMCOM_Ltd", "SIMCOM_SIM340", "Revision:1008B04SIM340Z",
                     {{0, "SIM340 R07"}},
                     kSimOnlySms, kSimcomBooks, kModuleCharsets));
  all.back().datedBooks = {"LD", "FD", "MC"};
  all.back().battery = false;
  all.push_back(Make("simcom_sim7600", "Simcom SIM7600", "SIMCOM INCORPORATED", "SIMCOM_SIM7600E-H",
                     "+CGMR: LE20B04SIM7600M22",
                     {{0, ModuleInfo("SIMCOM INCORPORATED", "SIMCOM_SIM7600E-H", "SIM7600M22_V1.1")}},
                     kSimOnlySms, kSimcomBooks, kModuleCharsets));
  all.back().battery = false;
  all.back().datedBooks = {"LD", "FD", "MC"};
  all.push_back(Make("itegno_iwow", "iTegno (iWOW)", "iWOW", "TR-800", "TR800_V2.1",
                     {{0, "iWOW TR-800"}},
                     kPhoneSms, kBenqBooks, kPhoneCharsets));
  all.back().phoneIndexAfterSim = true;
  all.push_back(Make("novatel_ovation_mc950", "Novatel Ovation MC950D", "Novatel Wireless Incorporated",
                     "Ovation MC950D Card", "11.50.08.00",
                     {{0, ModuleInfo("Novatel Wireless Incorporated", "Ovation MC950D Card", "11.50.08.00")}},
                     kSimOnlySms, kDongleBooks, kModuleCharsets));
  all.back().phoneIndexAfterSim = true;
  all.push_back(Make("sierra_wireless", "Sierra Wireless", "Sierra Wireless", "MC8775", "H1_0_0_7BMAP",
                     {{0, ModuleInfo("Sierra Wireless", "MC8775", "H1_0_0_7BMAP")}},
                     kWavecomSms, kWavecomBooks, kModuleCharsets));
  all.back().battery = false;
  all.back().alpha80Names = true;
  all.push_back(Make("zte", "ZTE", "ZTE INCORPORATED", "MF626", "BD_P673A2V1.0.0B09",
                     {{0, ModuleInfo("ZTE INCORPORATED", "MF626", "BD_P673A2V1.0.0B09")}},
                     kSimOnlySms, kDongleBooks, kModuleCharsets));
  all.back().vendorCommands = {"^CURC", "+ZSNT", "+ZCDRUN", "+ZOPRT"};
  all.back().datedBooks = {"LD", "FD", "MC"};
  all.back().battery = false;
  all.back().ussdPacked = true;
  // Today's modules, after their makers' AT manuals (the drivers' headers name them).
  all.push_back(Make("quectel_ec25", "Quectel EC2x/EG2x", "Quectel", "EC25", "EC25EFAR06A06M4G",
                     {{0, "Quectel\r\nEC25\r\nRevision: EC25EFAR06A06M4G"}},
                     kModuleSms, kModuleBooks, kModuleCharsets));
  all.back().startup = {{"RDY", 0}, {"+CFUN: 1", 100}, {"+CPIN: READY", 200, true}, {"+QUSIM: 1", 50},
                        {"+QIND: SMS DONE", 1200, false, true}, {"+QIND: PB DONE", 300}};
  all.push_back(Make("quectel_bg96", "Quectel BG9x", "Quectel", "BG96", "BG96MAR02A07M1G",
                     {{0, "Quectel\r\nBG96\r\nRevision: BG96MAR02A07M1G"}},
                     kModuleSms, kModuleBooks, kModuleCharsets));
  all.back().startup = {{"RDY", 0}, {"+CFUN: 1", 100}, {"+CPIN: READY", 200, true}, {"+QUSIM: 1", 50},
                        {"+QIND: SMS DONE", 1200, false, true}};
  all.push_back(Make("simcom_sim800", "Simcom SIM800/SIM900", "SIMCOM_Ltd", "SIMCOM_SIM800",
                     "Revision:1418B04SIM800M32", {{0, "SIM800 R14.18"}},
                     kModuleSms, kModuleBooks, kModuleCharsets));
  all.back().startup = {{"RDY", 0}, {"+CFUN: 1", 100}, {"+CPIN: READY", 300, true}, {"Call Ready", 800},
                        {"SMS Ready", 400, false, true}};
  all.push_back(Make("ublox_sara", "u-blox SARA/LARA", "u-blox", "SARA-U201", "23.60",
                     {{0, ModuleInfo("u-blox", "SARA-U201", "23.60")}},
                     kModuleSms, kModuleBooks, kModuleCharsets));
  all.back().startup = {{"", 1500, true, true}};
  all.push_back(Make("telit_le910", "Telit LE910", "Telit", "LE910C1-EUX", "25.21.660",
                     {{0, "Telit\r\nLE910C1-EUX\r\n25.21.660"}},
                     kModuleSms, kModuleBooks, kModuleCharsets));
  all.back().startup = {{"", 1500, true, true}};
  all.push_back(Make("huawei_me909", "Huawei ME909/E3372", "Huawei Technologies Co., Ltd.", "ME909s-120",
                     "11.617.01.00.00", {{0, ModuleInfo("Huawei Technologies Co., Ltd.", "ME909s-120", "11.617.01.00.00")}},
                     kModuleSms, kModuleBooks, kModuleCharsets));
  all.back().vendorCommands = {"^CURC", "^SYSCFGEX", "^SYSINFOEX"};
  all.back().ussdPacked = true;
  all.back().startup = {{"^SYSSTART", 0}, {"", 1500, true, true}};
  // A plain 3GPP modem: only the generic driver claims it.
  all.push_back(Make("generic", "Generic 3GPP modem", "QV Simulated Modems", "GSM Modem 1", "1.0.0",
                     {{0, ModuleInfo("QV Simulated Modems", "GSM Modem 1", "1.0.0")}},
                     {{"SM", 30}, {"ME", 100}, {"SR", 10}}, kGenericBooks, kModuleCharsets));
  return all;
}

std::string Key(std::string_view s) {
  std::string k;
  for (char c : s) {
    if (std::isalnum(static_cast<unsigned char>(c))) k += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return k;
}

}  // namespace

const std::string* Persona::Identification(int n) const {
  for (const auto& [number, text] : identification) {
    if (number == n) return &text;
  }
  return nullptr;
}

const std::vector<Persona>& Personas() {
  static const std::vector<Persona> all = BuildPersonas();
  return all;
}

const Persona* FindPersona(std::string_view name) {
  const std::string key = Key(name);
  if (key.empty()) return nullptr;
  for (const Persona& p : Personas()) {
    if (Key(p.id) == key || Key(p.caption) == key) return &p;
  }
  return nullptr;
}

}  // namespace qvsim
