// The serial port's device list over a fake device tree, device change, the
// plug-and-play probe over the in-memory backend, and saved configurations.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "platform/qvdispatcher.h"
#include "platform/qvserial_memory.h"
#include "qvcomm.h"
#include "qvfakedevicetree.h"
#include "qvsim.h"
#include "qvlogfile.h"
#include "qvtext.h"
#include "qvwin32.h"
#include "qvwin32di.h"

namespace fs = std::filesystem;
namespace pf = qv::platform;
using qv::u;

using List = std::vector<std::pair<std::u16string, int32_t>>;

namespace {

// A machine with a two-interface USB modem, an ACM phone, on-board UARTs (one
// answering, one empty slot, one without node) and two adapters whose names
// lie outside the port-number table.
class DeviceTree : public ::testing::Test {
 protected:
  void SetUp() override {
    pf::SetMainThread();
    TqvFakeDeviceTree::UsbDevice modem{"1-1", "12d1", "1001", "HUAWEI", "E220 Modem", "A1"};
    tree.AddUsbSerial(modem, 0, "ttyUSB0", "option", "188:0");
    tree.AddUsbSerial(modem, 1, "ttyUSB1", "option", "188:1");
    tree.AddLegacyUart("ttyS0", "4", "4:64");
    tree.AddLegacyUart("ttyS1", "0", "4:65");
    tree.AddLegacyUart("ttyS10", "4", "4:74", /*node=*/false);
    TqvFakeDeviceTree::UsbDevice exar{"1-3", "04e2", "1410", "Exar", "XR21V1410", ""};
    tree.AddUsbSerial(exar, 0, "ttyXRUSB0", "xr_serial", "266:0");
    tree.AddUsbSerial(exar, 1, "ttyXRUSB1", "xr_serial", "266:1");
    qv::SetDeviceRoots(tree.Roots());
  }
  void TearDown() override { qv::SetDeviceRoots({}); }

  std::vector<std::pair<std::u16string, int32_t>> Listed(TqvComm& comm) {
    TqvDeviceRefs refs;
    comm.GetDeviceList(&refs);
    std::vector<std::pair<std::u16string, int32_t>> out;
    for (const auto& [name, d] : refs) out.emplace_back(name, d->Data);
    return out;
  }
  void AddPhone() {
    TqvFakeDeviceTree::UsbDevice phone{"1-2", "0421", "0070", "Nokia", "Nokia 6230i", ""};
    tree.AddAcm(phone, 1, "ttyACM0", "166:0");
  }

  TqvFakeDeviceTree tree;
};

}  // namespace

TEST_F(DeviceTree, ThreeDepthsOfTheDeviceList) {
  const std::u16string xr0 = u((tree.Roots().Dev / "ttyXRUSB0").string());
  const std::u16string xr1 = u((tree.Roots().Dev / "ttyXRUSB1").string());
  struct Case { TqvEnumPorts mode; List expected; };
  const Case table[] = {
      {TqvEnumPorts::epQuickAll, {{u"COM1", 1}, {u"COM11", 11}, {u"COM101", 101}, {u"COM102", 102}}},
      // A USB device with several ports names each port's interface.
      {TqvEnumPorts::epFullInfo,
       {{u"COM1 (Serial port)", 1}, {u"COM11 (Serial port)", 11}, {u"COM101 (HUAWEI E220 Modem, interface 0)", 101},
        {u"COM102 (HUAWEI E220 Modem, interface 1)", 102}, {xr0 + u" (Exar XR21V1410, interface 0)", 4097},
        {xr1 + u" (Exar XR21V1410, interface 1)", 4098}}},
      {TqvEnumPorts::epFullPresent,  // COM11 has no device node
       {{u"COM1 (Serial port)", 1}, {u"COM101 (HUAWEI E220 Modem, interface 0)", 101},
        {u"COM102 (HUAWEI E220 Modem, interface 1)", 102}, {xr0 + u" (Exar XR21V1410, interface 0)", 4097},
        {xr1 + u" (Exar XR21V1410, interface 1)", 4098}}},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(int(c.mode));
    TqvComm comm;
    comm.SetEnumPorts(c.mode);
    EXPECT_EQ(Listed(comm), c.expected);
  }
  TqvComm comm;
  comm.SetEnumPorts(TqvEnumPorts::epFullInfo);
  comm.GetDeviceList(nullptr);
  const TqvDevice* usb0 = comm.GetDevice(comm.IndexOfDeviceData(101));
  ASSERT_NE(usb0, nullptr);
  EXPECT_EQ(usb0->PortName, u"COM101");
  EXPECT_EQ(usb0->NameDeviceDos, u"COM101");
  EXPECT_EQ(usb0->NamePDO, u((tree.Roots().Dev / "ttyUSB0").string()));
  EXPECT_EQ(usb0->Description, u"HUAWEI E220 Modem");
  EXPECT_EQ(usb0->Service, u"option");
  EXPECT_FALSE(usb0->InstanceId.empty());
  EXPECT_FALSE(usb0->RegKey.empty());
  // A port outside the table is opened by its node; picking it replaces an explicit path.
  comm.SetDevicePath(u"/tmp/modem");
  comm.SetDeviceIndex(comm.IndexOfDeviceData(4097));
  EXPECT_EQ(comm.ComPortNo(), 4097);
  EXPECT_EQ(comm.ComName(), xr0);
  EXPECT_EQ(comm.DevicePath(), u"");
  TqvComm quick;
  quick.GetDeviceList(nullptr);
  EXPECT_EQ(quick.GetDevice(0)->Description, u"");  // the quick list asks discovery for nothing more
  EXPECT_EQ(quick.GetDevice(0)->NamePDO, u((tree.Roots().Dev / "ttyS0").string()));
}

// The probe asks the USB ports nobody holds whether they answer AT, and marks
// those that do; a held port and an on-board UART get no byte. The start-up
// port is the first that answered, else the first USB port.
TEST_F(DeviceTree, UsbPortsThatAnswerAtAreMarked) {
  qvsim::Simulator answering("generic"), held("generic"), uart("generic");
  auto plug = [&](const char* tty, const std::string& target) {
    fs::remove(tree.Roots().Dev / tty);
    fs::create_symlink(target, tree.Roots().Dev / tty);
  };
  plug("ttyUSB0", held.DevicePath());
  plug("ttyUSB1", answering.DevicePath());
  plug("ttyS0", uart.DevicePath());
  TqvComm holder;  // this program holds ttyUSB0's device
  holder.SetDevicePath(u(held.DevicePath()));
  holder.SetActive(true);
  held.GetTranscript().Clear();

  TqvComm comm;
  comm.SetEnumPorts(TqvEnumPorts::epFullPresent);
  EXPECT_EQ(FirstModemDevice(comm), comm.GetDevice(comm.IndexOfDeviceData(101)));  // no probe: the first USB port
  comm.SetProbeAT(true);
  comm.Update();
  const List expected = {{u"COM1 (Serial port)", 1}, {u"COM101 (HUAWEI E220 Modem, interface 0)", 101},
                         {u"COM102 (HUAWEI E220 Modem, interface 1, answers AT)", 102},
                         {u((tree.Roots().Dev / "ttyXRUSB0").string()) + u" (Exar XR21V1410, interface 0)", 4097},
                         {u((tree.Roots().Dev / "ttyXRUSB1").string()) + u" (Exar XR21V1410, interface 1)", 4098}};
  EXPECT_EQ(Listed(comm), expected);
  struct Case {
    int32_t data;
    TqvAtAnswer answer;
  };
  for (const Case c : {Case{1, TqvAtAnswer::aaNotProbed}, Case{101, TqvAtAnswer::aaHeld},
                       Case{102, TqvAtAnswer::aaAnswers}, Case{4097, TqvAtAnswer::aaNotProbed}}) {
    EXPECT_EQ(comm.GetDevice(comm.IndexOfDeviceData(c.data))->AtAnswer, c.answer) << c.data;
  }
  EXPECT_EQ(FirstModemDevice(comm), comm.GetDevice(comm.IndexOfDeviceData(102)));
  EXPECT_EQ(answering.GetTranscript().ToModem(), "AT\r");
  EXPECT_EQ(held.GetTranscript().ToModem(), "");
  EXPECT_EQ(uart.GetTranscript().ToModem(), "");
  // The probe left the port free: it opens as usual.
  TqvComm user;
  user.SetDevicePath(u(answering.DevicePath()));
  EXPECT_NO_THROW(user.SetActive(true));
}

TEST_F(DeviceTree, AKernelEventReloadsTheListAndRaisesCodeThree) {
  TqvComm comm;
  comm.SetEnumPorts(TqvEnumPorts::epFullPresent);
  ASSERT_EQ(comm.IndexOfDeviceData(201), -1);
  comm.GetDeviceList(nullptr);
  std::vector<int32_t> codes;
  comm.NotifyAdd([&](TObject*, int32_t code) { codes.push_back(code); });

  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
  qv::TqvDeviceChangeWatcher watcher([&](const TqvDeviceChangeMsg& m) { comm.WMDeviceChange(m); });
  ASSERT_FALSE(watcher.StartOnDescriptor(sv[0]));
  AddPhone();  // the phone is plugged in; the kernel says so
  std::string msg;
  for (const char* f : {"add@/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1/tty/ttyACM0", "ACTION=add",
                        "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1/tty/ttyACM0", "SUBSYSTEM=tty",
                        "MAJOR=166", "MINOR=0", "DEVNAME=ttyACM0", "SEQNUM=99"})
    msg.append(f).push_back('\0');
  ASSERT_EQ(::send(sv[1], msg.data(), msg.size(), 0), static_cast<ssize_t>(msg.size()));
  for (int i = 0; i < 100 && codes.empty(); ++i) pf::PumpFor(50);
  EXPECT_EQ(codes, std::vector<int32_t>{qvNotifyDeviceChanged});
  const int index = comm.IndexOfDeviceData(201);
  ASSERT_GE(index, 0);
  EXPECT_EQ(comm.DeviceName(index), u"COM201 (Nokia 6230i)");
  watcher.Stop();
  ::close(sv[1]);
  // Messages that are no device change leave the list alone.
  EXPECT_FALSE(comm.WMDeviceChange({qv::WM_DEVICECHANGE, qv::DBT_DEVICEARRIVAL, qv::DBT_DEVTYP_VOLUME}));
  EXPECT_EQ(codes.size(), 1u);
}

// ------------------------------------------------------------------ probe

namespace {

class Probe : public ::testing::Test {
 protected:
  void SetUp() override {
    pf::SetMainThread();
    mem = pf::TqvMemorySerial::Create("mem:probe");
    comm.SetDeviceOpener(mem->Opener());
    comm.SetDevicePath(u"/mem/probe");
    comm.SetBaudRate(9600);
    comm.SetByteSize(8);
    mem->SetModemLines(pf::MS_DSR_ON);
  }
  // Answers `reply` once the probe has switched to 1200 baud and raised RTS
  // `raises` times at that speed.
  void Answer(std::string reply, int raises = 1) {
    responder = std::thread([this, reply = std::move(reply), raises] {
      int seen = 0;
      bool was = false;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (std::chrono::steady_clock::now() < deadline) {
        const bool up = mem->IsOpen() && mem->Dcb().BaudRate == 1200 && mem->Rts();
        if (up && !was && ++seen == raises) {
          mem->FeedInput(reply);
          return;
        }
        was = up;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  void TearDown() override {
    if (responder.joinable()) responder.join();
  }
  std::shared_ptr<pf::TqvMemorySerial> mem;
  TqvComm comm;
  std::thread responder;
};

}  // namespace

TEST_F(Probe, ReadsTheIdentifierAndRestoresThePort) {
  struct Case { const char* name; std::string reply; int raises; std::string expected; };
  const Case table[] = {
      {"parentheses", "(\x01$ABC0001\\123\\MODEM\\\\AT modem)junk", 1, "(\x01$ABC0001\\123\\MODEM\\\\AT modem)"},
      {"0x08 start, 0x09 end", "\x08" "ABC\x09" "more", 1, "\x08" "ABC\x09"},
      {"answer after the second toggle", "(X)", 2, "(X)"},
      {"no end byte: ends 200 ms after the last", "(ABC", 1, "(ABC"},
      {"another first byte", "ABC)", 1, ""},
      {"a device that never stops", "(" + std::string(1000, 'x'), 1, "(" + std::string(255, 'x')},
      {"silence", "", 3, ""},
  };
  // The table runs on an open port; the first case also on a closed one.
  std::vector<std::pair<const Case*, bool>> runs = {{&table[0], false}};
  for (const auto& c : table) runs.emplace_back(&c, true);
  for (const auto& [c, wasOpen] : runs) {
    SCOPED_TRACE(std::string(c->name) + (wasOpen ? " (open)" : " (closed)"));
    comm.SetActive(wasOpen);
    ASSERT_EQ(comm.Active(), wasOpen);
    Answer(c->reply, c->raises);
    EXPECT_EQ(comm.GetPNPDeviceString(), qv::BytesToString(c->expected));
    responder.join();
    EXPECT_EQ(comm.Active(), wasOpen);
    EXPECT_EQ(comm.BaudRate(), 9600u);
    EXPECT_EQ(comm.ByteSize(), 8);
    if (wasOpen) {
      EXPECT_EQ(mem->Dcb().BaudRate, 9600u);
      EXPECT_EQ(mem->Dcb().ByteSize, 8);
    }
  }
  comm.SetActive(false);
}

TEST_F(Probe, NoDsrIsAFatalErrorAndThePortStillEndsAsItWas) {
  mem->SetModemLines(0);
  for (bool wasOpen : {false, true}) {
    comm.SetActive(wasOpen);
    try {
      comm.GetPNPDeviceString();
      ADD_FAILURE() << "no error";
    } catch (const EqvError& e) {
      EXPECT_STREQ(e.what(), "Device Connect Initialization Error");
    }
    EXPECT_EQ(comm.Active(), wasOpen);
  }
  comm.OnFatalError = [](TObject*, uint32_t code, uint32_t, const std::u16string&, bool& raise) {
    EXPECT_EQ(code, 1u);
    raise = false;
  };
  EXPECT_EQ(comm.GetPNPDeviceString(), u"");
  EXPECT_TRUE(comm.Active());
  comm.SetActive(false);
  // A port that does not open at all gives an empty text.
  mem->Lose();
  comm.OnFatalError = [](TObject*, uint32_t, uint32_t, const std::u16string&, bool& raise) { raise = false; };
  EXPECT_EQ(comm.GetPNPDeviceString(), u"");
  EXPECT_FALSE(comm.Active());
}

// ------------------------------------------------------------------ saved configuration

namespace {

class SavedConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "qvcfg.XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir = tmpl;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    if (old) saved = old;
    ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    log.SetOptions({});
    log.SetFileName(u"");
    log.SetDetailLevel(TDetailLevel::dlDetail);
    log.OnLogEntry = [](TObject*, std::u16string& e) { if (e.rfind(u"qvcommlib", 0) == 0) e.clear(); };
  }
  void TearDown() override {
    if (saved) ::setenv("XDG_CONFIG_HOME", saved->c_str(), 1); else ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(dir);
  }
  fs::path dir;
  std::optional<std::string> saved;
  TqvLogFile log;
};

}  // namespace

TEST_F(SavedConfig, RoundTripWithTheWholePortNumber) {
  for (uint16_t port : {uint16_t{3}, uint16_t{203}, uint16_t{300}, uint16_t{4097}}) {
    SCOPED_TRACE(port);
    TqvComm a;
    a.SetLog(&log);
    a.SetComPortNo(port);
    a.SetBaudRate(57600);
    a.SetByteSize(7);
    a.SetParity(TParity::pEven);
    a.SetStopBits(TStopBits::sbTwo);
    ASSERT_TRUE(a.SaveConfig(u"HKEY_CURRENT_USER", u"Software\\smsdesk\\Port", u"Config"));
    const auto value = qv::RegReadBinary(qv::HKEY_CURRENT_USER, u"Software\\smsdesk\\Port", u"Config");
    ASSERT_TRUE(value);
    ASSERT_EQ(value->size(), 49u);
    EXPECT_EQ(uint8_t((*value)[0]), port & 0xFF);
    EXPECT_EQ(uint8_t((*value)[1]), port >> 8);  // 0 below 256: the bytes of before
    pf::TDCB dcb;
    std::memcpy(&dcb, value->data() + 2, 28);  // the record's own layout, little-endian
    EXPECT_EQ(dcb, a.CommConfig().dcb);
    EXPECT_EQ(value->substr(30), std::string(19, '\0'));

    TqvComm b;
    b.SetLog(&log);
    ASSERT_TRUE(b.LoadConfig(u"hkcu", u"Software\\smsdesk\\Port", u"Config"));
    EXPECT_EQ(b.ComPortNo(), port);
    EXPECT_EQ(b.BaudRate(), 57600u);
    EXPECT_EQ(b.ByteSize(), 7);
    EXPECT_EQ(b.Parity(), TParity::pEven);
    EXPECT_EQ(b.StopBits(), TStopBits::sbTwo);
    EXPECT_EQ(b.CommConfig().dcb, a.CommConfig().dcb);
  }
  EXPECT_NE(log.PendingText().find(u"qvComm: Configuration was saved\r\n"), std::u16string::npos);
  EXPECT_NE(log.PendingText().find(u"qvComm: Configuration was loaded\r\n"), std::u16string::npos);
}

TEST_F(SavedConfig, BadValuesLoadNothingAndCreateNothing) {
  TqvComm good;
  good.SetComPortNo(5);
  ASSERT_TRUE(good.SaveConfig(u"HKEY_CURRENT_USER", u"K", u"Good"));
  const std::string valid = *qv::RegReadBinary(qv::HKEY_CURRENT_USER, u"K", u"Good");
  auto with = [&](size_t at, char byte) { std::string v = valid; v[at] = byte; return v; };
  struct Case { const char* name; std::optional<std::string> value; };
  const Case table[] = {
      {"no value", std::nullopt},
      {"48 bytes", valid.substr(0, 48)},
      {"50 bytes", valid + '\0'},
      {"empty", std::string()},
      {"byte size 9", with(20, 9)},
      {"parity 5", with(21, 5)},
      {"stop bits 3", with(22, 3)},
      {"baud rate 0", [&] { std::string v = valid; v.replace(6, 4, std::string(4, '\0')); return v; }()},
  };
  for (const auto& c : table) {
    SCOPED_TRACE(c.name);
    qv::RegStore(qv::HKEY_CURRENT_USER).Delete("K", "Cfg");
    if (c.value) {
      ASSERT_TRUE(qv::RegWriteBinary(qv::HKEY_CURRENT_USER, u"K", u"Cfg", *c.value));
    }
    TqvComm comm;
    comm.SetLog(&log);
    comm.SetComPortNo(7);
    comm.SetBaudRate(19200);
    const auto before = comm.CommConfig().dcb;
    EXPECT_FALSE(comm.LoadConfig(u"HKEY_CURRENT_USER", u"K", u"Cfg"));
    EXPECT_EQ(comm.ComPortNo(), 7);
    EXPECT_EQ(comm.CommConfig().dcb, before);
    comm.SetLog(nullptr);
  }
  TqvComm comm;
  comm.SetLog(&log);
  EXPECT_FALSE(comm.LoadConfig(u"HKEY_CURRENT_USER", u"Software\\Never", u"Cfg"));
  EXPECT_FALSE(fs::exists(dir / "qvcommlib/HKEY_CURRENT_USER/Software"));  // loading creates no key
  EXPECT_NE(log.PendingText().find(u"qvComm: Configuration was not loaded\r\n"), std::u16string::npos);
  EXPECT_EQ(log.PendingText().find(u"Configuration was loaded"), std::u16string::npos);
}

TEST_F(SavedConfig, AStoreThatCannotBeWrittenIsTheFatalError) {
  TqvComm comm;
  EXPECT_THROW(comm.SaveConfig(u"HKEY_NOWHERE", u"K", u"Cfg"), EqvError);
  fs::create_directories(dir / "qvcommlib/HKEY_CURRENT_USER");
  std::ofstream(dir / "qvcommlib/HKEY_CURRENT_USER/File") << "a file where a key should be";
  std::u16string message;
  comm.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::u16string& m, bool& raise) {
    message = m;
    raise = false;
  };
  EXPECT_FALSE(comm.SaveConfig(u"HKEY_CURRENT_USER", u"File\\Sub", u"Cfg"));
  EXPECT_EQ(message, u"Error on save config information from registry");
  EXPECT_FALSE(comm.LoadConfig(u"HKEY_NOWHERE", u"K", u"Cfg"));
  EXPECT_EQ(message, u"Error on load config information from registry");
}
