// Each module driver against replies taken from the examples of its maker's AT
// manual (the one its script's header names), byte for byte as the manual
// prints them: the initialisation gets through them, reads what they carry,
// and the manual's new-message notification reaches the application.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "platform/qvdispatcher.h"
#include "qvgsm.h"
#include "qvmemorylog.h"
#include "qvmodeldrivers.h"
#include "qvscripteddevice.h"
#include "qvtext.h"

using qv::StringToUtf8;
using qv::test::TqvMemoryLog;
using qvtest::TqvScriptedDevice;
namespace pf = qv::platform;

namespace {

bool PumpUntil(const std::function<bool()>& done, uint32_t ms = 5000) {
  const uint32_t start = pf::GetTickCount();
  while (!done()) {
    if (pf::TicksSince(start) > ms) return done();
    pf::PumpFor(5);
  }
  return true;
}

int DriverIndexOf(std::u16string_view caption) {
  for (size_t i = 0; i < qv::kModelDrivers.size(); ++i)
    if (qv::kModelDrivers[i].Caption == caption) return static_cast<int>(i);
  return -1;
}

struct TManualCase {
  const char16_t* driver;
  std::vector<std::pair<std::string, std::string>> replies;  // line prefix, the manual's reply
  std::string manufacturer, model, imsi;
  int32_t memReadUsed, memReadTotal;
  std::string newMessage;  // the manual's +CMTI line
  std::string mem;
  int32_t index;
};

const std::vector<TManualCase>& Cases() {
  static const std::vector<TManualCase> cases = {
      {u"Quectel EC2x/EG2x",
       {{"AT+CGMI", "\r\nQuectel\r\n\r\nOK\r\n"},
        {"AT+CGMM", "\r\nEC25\r\n\r\nOK\r\n"},
        {"AT+CGMR", "\r\nEC25EFAR02A08M4G\r\n\r\nOK\r\n"},
        {"AT+CGSN", "\r\n861107030000000\r\n\r\nOK\r\n"},
        {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"AT+CIMI", "\r\n460023210226023\r\n\r\nOK\r\n"},
        {"AT+CPMS?", "\r\n+CPMS: \"SM\",0,50,\"SM\",0,50,\"SM\",0,50\r\n\r\nOK\r\n"},
        {"AT+CSQ", "\r\n+CSQ: 28,99\r\n\r\nOK\r\n"}},
       "Quectel", "EC25", "460023210226023", 0, 50, "\r\n+CMTI: \"SM\",2\r\n", "SM", 2},
      {u"Quectel BG9x",
       {{"AT+CGMI", "\r\nQuectel\r\n\r\nOK\r\n"},
        {"AT+CGMM", "\r\nBG96\r\n\r\nOK\r\n"},
        {"AT+CGMR", "\r\nBG96MAR02A07M1G\r\n\r\nOK\r\n"},
        {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"AT+CIMI", "\r\n460023210226023\r\n\r\nOK\r\n"},
        {"AT+CPMS?", "\r\n+CPMS: \"ME\",0,255,\"ME\",0,255,\"ME\",0,255\r\n\r\nOK\r\n"},
        {"AT+CSQ", "\r\n+CSQ: 26,99\r\n\r\nOK\r\n"}},
       "Quectel", "BG96", "460023210226023", 0, 255, "\r\n+CMTI: \"ME\",0\r\n", "ME", 0},
      {u"Simcom SIM800/SIM900",
       {{"AT+CGMI", "\r\nSIMCOM_Ltd\r\n\r\nOK\r\n"},
        {"AT+CGMM", "\r\nSIMCOM_SIM800\r\n\r\nOK\r\n"},
        {"AT+CGMR", "\r\nRevision:1308B05SIM800M32\r\n\r\nOK\r\n"},
        {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"AT+CIMI", "\r\n460010123456789\r\n\r\nOK\r\n"},
        {"AT+CPMS?", "\r\n+CPMS: \"SM\",1,50,\"SM\",1,50,\"SM\",1,50\r\n\r\nOK\r\n"},
        {"AT+CBC", "\r\n+CBC: 0,75,3951\r\n\r\nOK\r\n"},
        {"AT+CSQ", "\r\n+CSQ: 21,0\r\n\r\nOK\r\n"}},
       "SIMCOM_Ltd", "SIMCOM_SIM800", "460010123456789", 1, 50, "\r\n+CMTI: \"SM\",1\r\n", "SM", 1},
      {u"u-blox SARA/LARA",
       {{"AT+CGMI", "\r\nu-blox\r\n\r\nOK\r\n"},
        {"AT+CGMM", "\r\nSARA-U201\r\n\r\nOK\r\n"},
        {"AT+CGMR", "\r\n23.60\r\n\r\nOK\r\n"},
        {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"AT+CIMI", "\r\n222107701772423\r\n\r\nOK\r\n"},
        {"AT+CPMS?", "\r\n+CPMS: \"MT\",0,23,\"MT\",0,23,\"MT\",0,23\r\n\r\nOK\r\n"},
        {"AT+CSQ", "\r\n+CSQ: 2,5\r\n\r\nOK\r\n"}},
       "u-blox", "SARA-U201", "222107701772423", 0, 23, "\r\n+CMTI: \"SM\",5\r\n", "SM", 5},
      {u"Telit LE910",
       {{"AT+CGMI", "\r\nTelit\r\n\r\nOK\r\n"},
        {"AT+CGMM", "\r\nLE910C1-EUX\r\n\r\nOK\r\n"},
        {"AT+CGMR", "\r\n25.21.660\r\n\r\nOK\r\n"},
        {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"AT+CIMI", "\r\n222013700000000\r\n\r\nOK\r\n"},
        {"AT+CPMS?", "\r\n+CPMS: \"SM\",1,50,\"SM\",1,50,\"SM\",1,50\r\n\r\nOK\r\n"},
        {"AT+CSQ", "\r\n+CSQ: 16,0\r\n\r\nOK\r\n"}},
       "Telit", "LE910C1-EUX", "222013700000000", 1, 50, "\r\n+CMTI: \"SM\",1\r\n", "SM", 1},
      {u"Huawei ME909/E3372",
       {{"AT+CGMI", "\r\nHuawei Technologies Co., Ltd.\r\n\r\nOK\r\n"},
        {"AT+CGMM", "\r\nME909s-120\r\n\r\nOK\r\n"},
        {"AT+CGMR", "\r\n11.617.01.00.00\r\n\r\nOK\r\n"},
        {"AT+CPIN?", "\r\n+CPIN: READY\r\n\r\nOK\r\n"},
        {"AT+CIMI", "\r\n460019876543210\r\n\r\nOK\r\n"},
        {"AT+CPMS?", "\r\n+CPMS: \"SM\",3,50,\"SM\",3,50,\"SM\",3,50\r\n\r\nOK\r\n"},
        {"AT+CSQ", "\r\n+CSQ: 23,99\r\n\r\nOK\r\n"}},
       "Huawei Technologies Co., Ltd.", "ME909s-120", "460019876543210", 3, 50, "\r\n+CMTI: \"SM\",4\r\n", "SM", 4},
  };
  return cases;
}

TEST(GsmManuals, EachModuleDriverGetsThroughItsManualsExamples) {
  for (const TManualCase& c : Cases()) {
    SCOPED_TRACE(StringToUtf8(c.driver));
    TqvMemoryLog log;
    TqvGsm gsm;
    TqvScriptedDevice device(TqvScriptedDevice::TDelivery::dlMainThread);
    gsm.SetLog(&log);
    gsm.SetTimeOut(400);
    gsm.SetAutodetect(true);
    std::atomic<int> afterInit{0};
    gsm.OnAfterInit = [&](TObject*) { ++afterInit; };
    std::mutex m;
    std::string receivedMem;
    int32_t receivedIndex = -1;
    gsm.OnSmsReceived = [&](TObject*, const std::u16string& mem, int32_t id, TqvPduSms*) {
      std::lock_guard lk(m);
      receivedMem = StringToUtf8(mem);
      receivedIndex = id;
    };
    const auto replies = c.replies;
    device.SetResponder([replies](const std::string& sent) -> std::vector<TqvScriptedDevice::TChunk> {
      for (const auto& [key, reply] : replies)
        if (sent.rfind(key, 0) == 0) return {{reply, 0}};
      return {{"\r\nOK\r\n", 0}};  // settings the manuals answer with a bare OK
    });
    device.SetDataProcessor(&gsm);
    gsm.SetActive(true);
    device.OpenDevice();
    ASSERT_TRUE(PumpUntil([&] { return afterInit == 1; })) << log.All();
    EXPECT_EQ(gsm.DriverIndex(), DriverIndexOf(c.driver));
    EXPECT_EQ(StringToUtf8(gsm.DeviceManufacturer()), c.manufacturer);
    EXPECT_EQ(StringToUtf8(gsm.DeviceName()), c.model);
    EXPECT_EQ(StringToUtf8(gsm.DeviceIMSI()), c.imsi);
    EXPECT_EQ(gsm.MemReadUsed(), c.memReadUsed);
    EXPECT_EQ(gsm.MemReadTotal(), c.memReadTotal);
    EXPECT_GT(gsm.SignalQuality(), 0);

    device.Inject({{c.newMessage, 0}});
    ASSERT_TRUE(PumpUntil([&] {
      std::lock_guard lk(m);
      return receivedIndex >= 0;
    })) << log.All();
    std::lock_guard lk(m);
    EXPECT_EQ(receivedMem, c.mem);
    EXPECT_EQ(receivedIndex, c.index);
    device.Stop();
  }
}

}  // namespace
