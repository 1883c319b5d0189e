// Serial device discovery on fake sysfs trees, and kernel uevents from
// recorded messages.
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/qvsysfs.h"
#include "platform/qvuevent.h"
#include "qvfakedevicetree.h"

using namespace qv::platform;

namespace {

const TqvTtyDevice* Find(const std::vector<TqvTtyDevice>& list, const std::string& name) {
  for (const auto& d : list)
    if (d.Name == name) return &d;
  return nullptr;
}

// A machine with a two-interface USB modem, an ACM phone, two on-board UARTs
// (one answering, one not), one whose node is gone, and a virtual console.
class DiscoveryTree : public ::testing::Test {
 protected:
  void SetUp() override {
    TqvFakeDeviceTree::UsbDevice modem{"1-1", "12d1", "1001", "HUAWEI", "HUAWEI Mobile", "A1B2"};
    tree.AddUsbSerial(modem, 0, "ttyUSB0", "option", "188:0");
    tree.AddUsbSerial(modem, 2, "ttyUSB1", "option", "188:1");
    TqvFakeDeviceTree::UsbDevice phone{"1-2", "0421", "0070", "Nokia", "Nokia 6230i", ""};
    tree.AddAcm(phone, 1, "ttyACM0", "166:0");
    tree.AddLegacyUart("ttyS0", "4", "4:64");
    tree.AddLegacyUart("ttyS1", "0", "4:65");
    tree.AddLegacyUart("ttyS10", "4", "4:74", /*node=*/false);
    tree.AddVirtualTty("tty0");
    tree.AddByIdLink("usb-HUAWEI_HUAWEI_Mobile_A1B2-if00-port0", "ttyUSB0");
  }
  TqvFakeDeviceTree tree;
};

}  // namespace

TEST_F(DiscoveryTree, ListsHardwareTtysWithTheirFacts) {
  const auto list = EnumerateTtyDevices(tree.Roots());
  std::vector<std::string> names;
  for (const auto& d : list) names.push_back(d.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyS1", "ttyS10", "ttyUSB0", "ttyUSB1"}));

  struct Expect {
    const char* name; const char* driver; const char* iface; const char* description;
    bool legacy, present;
  };
  const Expect table[] = {
      {"ttyUSB0", "option", "00", "HUAWEI Mobile", false, true},  // product already names the maker
      {"ttyUSB1", "option", "02", "HUAWEI Mobile", false, true},
      {"ttyACM0", "cdc_acm", "01", "Nokia 6230i", false, true},
      {"ttyS0", "serial8250", "", "", true, true},
      {"ttyS1", "serial8250", "", "", true, false},   // type 0: no UART behind it
      {"ttyS10", "serial8250", "", "", true, false},  // no device node
  };
  for (const auto& e : table) {
    SCOPED_TRACE(e.name);
    const auto* d = Find(list, e.name);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Driver, e.driver);
    EXPECT_EQ(d->Interface, e.iface);
    EXPECT_EQ(d->Description(), e.description);
    EXPECT_EQ(d->LegacyUart, e.legacy);
    EXPECT_EQ(d->Present, e.present);
    EXPECT_EQ(d->DevNode, (tree.Roots().Dev / e.name).string());
  }
  const auto* usb0 = Find(list, "ttyUSB0");
  const auto* usb1 = Find(list, "ttyUSB1");
  EXPECT_EQ(usb0->VendorId, "12d1");
  EXPECT_EQ(usb0->SerialNumber, "A1B2");
  EXPECT_EQ(usb0->UsbDevicePath, usb1->UsbDevicePath);  // two interfaces of one device
  EXPECT_NE(usb0->DevicePath, usb1->DevicePath);
  EXPECT_EQ(usb0->ById, (tree.Roots().Dev / "serial/by-id/usb-HUAWEI_HUAWEI_Mobile_A1B2-if00-port0").string());
  EXPECT_EQ(usb1->ById, "");
}

TEST_F(DiscoveryTree, UdevNamesFillWhatSysfsLacks) {
  tree.AddUdevProperties("4:64", {{"ID_VENDOR_FROM_DATABASE", "Intel Corporation"},
                                  {"ID_MODEL_FROM_DATABASE", "Serial controller"}});
  tree.AddUdevProperties("188:0", {{"ID_VENDOR_FROM_DATABASE", "Other name"}});
  const auto list = EnumerateTtyDevices(tree.Roots());
  EXPECT_EQ(Find(list, "ttyS0")->Description(), "Intel Corporation Serial controller");
  EXPECT_EQ(Find(list, "ttyUSB0")->Manufacturer, "HUAWEI");  // the device's own string wins
}

TEST(Discovery, MissingOrEmptyTreeGivesNothing) {
  EXPECT_TRUE(EnumerateTtyDevices({"/nonexistent/sys", "/nonexistent/dev", "/nonexistent/udev"}).empty());
  TqvFakeDeviceTree tree;
  tree.AddVirtualTty("tty1");
  EXPECT_TRUE(EnumerateTtyDevices(tree.Roots()).empty());
}

// ------------------------------------------------------------------ uevents

namespace {

std::string Msg(std::initializer_list<std::string> fields) {
  std::string out;
  for (const auto& f : fields) {
    out += f;
    out += '\0';
  }
  return out;
}

const std::string kUsbAdd = Msg({"add@/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0",
                                  "ACTION=add",
                                  "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0",
                                  "SUBSYSTEM=tty", "MAJOR=188", "MINOR=0", "DEVNAME=ttyUSB0", "SEQNUM=4711"});
const std::string kAcmRemove = Msg({"remove@/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1/tty/ttyACM0",
                                    "ACTION=remove",
                                    "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1/tty/ttyACM0",
                                    "SUBSYSTEM=tty", "MAJOR=166", "MINOR=0", "DEVNAME=ttyACM0", "SEQNUM=4712"});
const std::string kInterfaceBind = Msg({"bind@/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0",
                                        "ACTION=bind", "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0",
                                        "SUBSYSTEM=usb", "DEVTYPE=usb_interface", "DRIVER=option", "SEQNUM=4713"});
const std::string kPtyAdd = Msg({"add@/devices/virtual/tty/ptmx", "ACTION=add", "DEVPATH=/devices/virtual/tty/ptmx",
                                 "SUBSYSTEM=tty", "DEVNAME=ptmx"});

}  // namespace

TEST(Uevent, ParsesRecordedKernelMessages) {
  struct Case { std::string msg; bool parses; bool serialChange; const char* action; const char* devname; };
  const Case table[] = {
      {kUsbAdd, true, true, "add", "ttyUSB0"},
      {kAcmRemove, true, true, "remove", "ttyACM0"},
      {kInterfaceBind, true, false, "bind", "1-1:1.0"},  // not a tty: ignored for the list
      {kPtyAdd, true, false, "add", "ptmx"},             // virtual ttys are no ports
      {Msg({"change@/devices/x/tty/ttyS0", "ACTION=change", "DEVPATH=/devices/x/tty/ttyS0", "SUBSYSTEM=tty"}),
       true, false, "change", "ttyS0"},
      // udev's re-broadcast starts with its own header and is binary after it
      {std::string("libudev\0\xfe\xed\xca\xfe", 12) + "ACTION=add", false, false, "", ""},
      {Msg({"add@/devices/a", "ACTION=remove", "DEVPATH=/devices/a", "SUBSYSTEM=tty"}), false, false, "", ""},
      {Msg({"add@/devices/a", "ACTION=add", "SUBSYSTEM=tty"}), false, false, "", ""},  // no DEVPATH
      {"", false, false, "", ""},
      {"add@", false, false, "", ""},
      {Msg({"add@/devices/a", "ACTION=add", "DEVPATH=/devices/a", "SUBSYSTEM=tty"}).substr(0, 58 - 1), true, false,
       "add", "a"},  // the last field without its NUL
  };
  for (size_t i = 0; i < std::size(table); ++i) {
    SCOPED_TRACE(i);
    const auto& c = table[i];
    const auto ev = ParseUevent(c.msg);
    ASSERT_EQ(ev.has_value(), c.parses);
    if (!ev) continue;
    EXPECT_EQ(ev->Action, c.action);
    EXPECT_EQ(ev->DevName, c.devname);
    EXPECT_EQ(IsSerialDeviceChange(*ev), c.serialChange);
  }
  EXPECT_EQ(ParseUevent(kUsbAdd)->Env.at("SEQNUM"), "4711");
}

TEST(Uevent, WatcherReportsEachMessageOnItsThreadAndStops) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> seen;
  std::thread::id handlerThread;
  {
    TqvUeventWatcher watcher;
    ASSERT_FALSE(watcher.StartOnDescriptor(sv[0], [&](const TqvUevent& ev) {
      std::lock_guard g(m);
      seen.push_back(ev.Action + " " + ev.DevName);
      handlerThread = std::this_thread::get_id();
      cv.notify_all();
      if (ev.Action == "remove") throw std::runtime_error("handler failure stays on the thread");
    }));
    for (const auto* msg : {&kUsbAdd, &kAcmRemove, &kInterfaceBind})
      ASSERT_EQ(::send(sv[1], msg->data(), msg->size(), 0), static_cast<ssize_t>(msg->size()));
    const std::string junk = "garbage";
    ::send(sv[1], junk.data(), junk.size(), 0);
    std::unique_lock lk(m);
    ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(5), [&] { return seen.size() == 3; }));
    EXPECT_NE(handlerThread, std::this_thread::get_id());
  }  // the destructor wakes and joins the thread
  EXPECT_EQ(seen, (std::vector<std::string>{"add ttyUSB0", "remove ttyACM0", "bind 1-1:1.0"}));
  ::close(sv[1]);
}

TEST(Uevent, KernelSocketOpensAndStopsPromptly) {
  TqvUeventWatcher watcher;
  if (auto ec = watcher.Start([](const TqvUevent&) {})) GTEST_SKIP() << "no netlink here: " << ec.message();
  EXPECT_TRUE(watcher.Running());
  watcher.Stop();
  EXPECT_FALSE(watcher.Running());
}

// ------------------------------------------------------------------ records for the device list

#include "platform/qvdispatcher.h"
#include "qvsysutils.h"
#include "qvwin32di.h"

TEST_F(DiscoveryTree, PortNameListUsesThePortNumberTable) {
  TqvStringItems list;
  GetComPortList(list, true, tree.Roots());
  const std::string dev = tree.Roots().Dev.string();
  auto entry = [&](int n, const char* node) { return TqvStringItem{qv::u("COM" + std::to_string(n) + "=" + dev + "/" + node), n}; };
  // Every hardware tty, its node there or not, but no UART slot without a UART (ttyS1).
  EXPECT_EQ(list, (TqvStringItems{entry(1, "ttyS0"), entry(11, "ttyS10"), entry(101, "ttyUSB0"),
                                  entry(102, "ttyUSB1"), entry(201, "ttyACM0")}));
  GetComPortList(list, false, tree.Roots());
  EXPECT_EQ(list.front(), (TqvStringItem{u"COM1", 1}));
}

TEST_F(DiscoveryTree, PlugAndPlayRecordsCarryTheDeviceTexts) {
  qv::SetDeviceRoots(tree.Roots());
  ASSERT_TRUE(qv::SetupApiLoad());
  const auto all = qv::EnumPnpDevices(false);
  const auto present = qv::EnumPnpDevices(true);
  qv::SetDeviceRoots({});
  std::vector<std::u16string> names, presentNames;
  for (const auto& d : all) names.push_back(d->PortName);
  for (const auto& d : present) presentNames.push_back(d->PortName);
  EXPECT_EQ(names, (std::vector<std::u16string>{u"COM201", u"COM1", u"COM11", u"COM101", u"COM102"}));
  EXPECT_EQ(presentNames, (std::vector<std::u16string>{u"COM201", u"COM1", u"COM101", u"COM102"}));
  const auto& usb0 = *all[3];
  EXPECT_EQ(usb0.Data, 101);
  EXPECT_EQ(usb0.Description, u"HUAWEI Mobile");
  EXPECT_EQ(usb0.Manufacturer, u"HUAWEI");
  EXPECT_EQ(usb0.Service, u"option");
  EXPECT_EQ(usb0.NamePDO, qv::u((tree.Roots().Dev / "ttyUSB0").string()));
  EXPECT_EQ(usb0.NameSymbolic, qv::u((tree.Roots().Dev / "serial/by-id/usb-HUAWEI_HUAWEI_Mobile_A1B2-if00-port0").string()));
  EXPECT_FALSE(usb0.InstanceId.empty());
  EXPECT_NE(usb0.InstanceId, all[4]->InstanceId);
  EXPECT_EQ(usb0.InstanceIdParent, all[4]->InstanceIdParent);
  EXPECT_EQ(all[1]->Description, u"Serial port");
  EXPECT_EQ(all[0]->Description, u"Nokia 6230i");
}

TEST(DeviceChange, KernelEventsBecomeMessagesOnTheMainThread) {
  qv::platform::SetMainThread();
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
  std::vector<std::pair<uint32_t, uint32_t>> got;
  bool onMain = true;
  qv::TqvDeviceChangeWatcher watcher([&](const TqvDeviceChangeMsg& m) {
    onMain = onMain && qv::platform::IsMainThread();
    got.emplace_back(m.Event, m.DeviceType);
  });
  ASSERT_FALSE(watcher.StartOnDescriptor(sv[0]));
  for (const auto* msg : {&kUsbAdd, &kInterfaceBind, &kPtyAdd, &kAcmRemove})
    ASSERT_EQ(::send(sv[1], msg->data(), msg->size(), 0), static_cast<ssize_t>(msg->size()));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (got.size() < 2 && std::chrono::steady_clock::now() < deadline) qv::platform::PumpFor(50);
  EXPECT_TRUE(onMain);
  EXPECT_EQ(got, (std::vector<std::pair<uint32_t, uint32_t>>{{qv::DBT_DEVICEARRIVAL, qv::DBT_DEVTYP_PORT},
                                                             {qv::DBT_DEVICEREMOVECOMPLETE, qv::DBT_DEVTYP_PORT}}));
  // A change posted but not yet run when the watcher stops never runs.
  ASSERT_EQ(::send(sv[1], kUsbAdd.data(), kUsbAdd.size(), 0), static_cast<ssize_t>(kUsbAdd.size()));
  while (qv::platform::PendingCalls() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  watcher.Stop();
  qv::platform::PumpFor(50);
  EXPECT_EQ(got.size(), 2u);
  ::close(sv[1]);
}
