// The serial port component over real pseudo-terminals: the far side is the
// pty master, the port opens the slave by path, by a link or by number.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <filesystem>
#include <thread>

#include "platform/qvportnames.h"
#include "qvcomm.h"
#include "qvcommtest.h"
#include "qvpty.h"

using namespace std::chrono_literals;
using qv::test::PumpUntil;
using qv::test::TqvPtyPair;
using qv::test::TqvRecordingProcessor;
using qv::test::TqvTempDir;

namespace {

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 131 + seed + i / 977) & 0xFF);
  return s;
}

// Collects fatal errors instead of throwing them.
struct FatalErrors {
  explicit FatalErrors(TqvComm& comm) {
    comm.OnFatalError = [this](TObject*, uint32_t code, uint32_t, const std::u16string& msg, bool& raise) {
      codes.push_back(code);
      messages.push_back(qv::StringToUtf8(msg));
      raise = false;
    };
  }
  std::vector<uint32_t> codes;
  std::vector<std::string> messages;
};

}  // namespace

TEST(CommPty, OpenByPathTalkBothWaysAndClose) {
  TqvPtyPair pty;
  TqvRecordingProcessor proc;
  TqvComm comm;
  comm.SetDataProcessor(&proc);
  comm.SetBaudRate(115200);
  comm.SetStreamProtocol(TStreamProtocol::spNone);
  comm.SetDevicePath(qv::Utf8ToString(pty.SlavePath()));
  comm.SetActive(true);
  ASSERT_TRUE(comm.Active());
  EXPECT_EQ(comm.ComName(), qv::Utf8ToString(pty.SlavePath()));
  EXPECT_GE(comm.Handle(), 0);

  pty.Write("\r\nRING\r\n");
  ASSERT_TRUE(PumpUntil([&] { return proc.Received() == "\r\nRING\r\n"; }));
  EXPECT_TRUE(proc.AllOnMainThread());

  EXPECT_TRUE(comm.SendString("ATA\r"));
  EXPECT_TRUE(comm.SendData("AT+CSQ\r", 7));
  EXPECT_TRUE(comm.SendChar(u'Z'));
  EXPECT_EQ(comm.FlushOutput(1000), std::error_code{});
  EXPECT_EQ(pty.Read(12), "ATA\rAT+CSQ\rZ");
  EXPECT_EQ(comm.TotalSent(), 12u);
  EXPECT_EQ(comm.TotalReceived(), 8u);
  EXPECT_TRUE(comm.ModemSignals().Empty()) << "a pseudo-terminal has no modem lines";

  comm.SetActive(false);
  EXPECT_FALSE(comm.Active());
  EXPECT_EQ(proc.Events(), (std::vector<std::string>{"opened", "closed"}));
}

TEST(CommPty, LargeTransferBothWaysKeepsEveryByteInOrder) {
  TqvPtyPair pty;
  TqvRecordingProcessor proc;
  TqvComm comm;
  comm.SetDataProcessor(&proc);
  comm.SetStreamProtocol(TStreamProtocol::spNone);
  comm.SetDevicePath(qv::Utf8ToString(pty.SlavePath()));
  comm.SetActive(true);
  ASSERT_TRUE(comm.Active());

  const std::string in = Pattern(1 << 20, 1), out = Pattern(1 << 20, 2);
  std::thread farWriter([&] { pty.Write(in); });
  std::string farGot;
  std::thread farReader([&] { farGot = pty.Read(out.size(), 30s); });
  for (size_t off = 0; off < out.size(); off += 4096) {
    ASSERT_TRUE(comm.SendData(out.data() + off, 4096));
    qv::platform::ProcessMessages();
  }
  ASSERT_TRUE(PumpUntil([&] { return proc.Received().size() >= in.size(); }, 30s));
  farWriter.join();
  farReader.join();
  EXPECT_TRUE(proc.Received() == in) << "received " << proc.Received().size() << " bytes";
  EXPECT_TRUE(farGot == out) << "far side got " << farGot.size() << " bytes";
  EXPECT_EQ(comm.TotalReceived(), in.size());
  EXPECT_EQ(comm.TotalSent(), out.size());
}

TEST(CommPty, FarSideClosingIsALossOnTheMainThread) {
  TqvPtyPair pty;
  TqvRecordingProcessor proc;
  TqvComm comm;
  comm.SetDataProcessor(&proc);
  bool offMain = false;
  comm.OnClose = [&](TObject*) { offMain |= !qv::platform::IsMainThread(); };
  comm.SetDevicePath(qv::Utf8ToString(pty.SlavePath()));
  comm.SetActive(true);
  ASSERT_TRUE(comm.Active());
  pty.CloseMaster();
  ASSERT_TRUE(PumpUntil([&] { return !comm.Active(); }));
  EXPECT_FALSE(offMain);
  EXPECT_TRUE(proc.AllOnMainThread());
  EXPECT_EQ(proc.Events(), (std::vector<std::string>{"opened", "closed"}));
}

TEST(CommPty, KeepConnectionReopensThroughARepointedLink) {
  TqvTempDir dir;
  auto first = std::make_unique<TqvPtyPair>();
  TqvPtyPair second;
  const std::string link = dir.Path() + "/modem";
  qv::test::PointLink(link, first->SlavePath());

  TqvRecordingProcessor proc;
  TqvComm comm;
  FatalErrors fatal(comm);
  comm.SetDataProcessor(&proc);
  comm.SetKeepConnection(true);
  comm.SetKeepConnectionInterval(20);
  comm.SetDevicePath(qv::Utf8ToString(link));
  comm.SetActive(true);
  ASSERT_TRUE(comm.Active());

  first.reset();  // unplugged; the link now dangles
  ASSERT_TRUE(PumpUntil([&] { return !comm.Active(); }));
  ASSERT_TRUE(PumpUntil([&] { return !fatal.codes.empty(); })) << "failed tries are reported";
  qv::test::PointLink(link, second.SlavePath());  // plugged in again, under another device
  ASSERT_TRUE(PumpUntil([&] { return comm.Active(); }));
  EXPECT_EQ(proc.Events(), (std::vector<std::string>{"opened", "closed", "opened"}));
  second.Write("OK\r\n");
  ASSERT_TRUE(PumpUntil([&] { return proc.Received() == "OK\r\n"; }));
  EXPECT_TRUE(proc.AllOnMainThread());
}

TEST(CommPty, PortNumbersOpenUnderTheDeviceRoot) {
  TqvTempDir dir;
  TqvPtyPair pty;
  qv::platform::SetPortDeviceRoot(dir.Path());
  qv::test::PointLink(dir.Path() + "/ttyUSB0", pty.SlavePath());
  {
    TqvComm comm;
    FatalErrors fatal(comm);
    comm.SetComPortNo(101);
    EXPECT_EQ(comm.ComName(), qv::Utf8ToString(dir.Path() + "/ttyUSB0"));
    comm.SetActive(true);
    EXPECT_TRUE(comm.Active());
    EXPECT_TRUE(fatal.codes.empty());
    // Another number with no device behind it: the old port closes, the new
    // one fails with a message that names it.
    comm.SetComPortNo(7);
    EXPECT_FALSE(comm.Active());
    ASSERT_EQ(fatal.codes, std::vector<uint32_t>{1});
    EXPECT_EQ(fatal.messages[0],
              "Device \"" + dir.Path() + "/ttyS6\" Open Error !!!\rNo such file or directory");
  }
  qv::platform::SetPortDeviceRoot("");
}

TEST(CommPty, ASecondPortOnTheSameDeviceIsRefused) {
  TqvPtyPair pty;
  TqvComm first, second;
  FatalErrors fatal(second);
  first.SetDevicePath(qv::Utf8ToString(pty.SlavePath()));
  second.SetDevicePath(qv::Utf8ToString(pty.SlavePath()));
  first.SetActive(true);
  ASSERT_TRUE(first.Active());
  second.SetActive(true);
  EXPECT_FALSE(second.Active());
  ASSERT_EQ(fatal.messages.size(), 1u);
  EXPECT_NE(fatal.messages[0].find("The port is held by another program"), std::string::npos)
      << fatal.messages[0];
  first.SetActive(false);
  second.SetActive(true);
  EXPECT_TRUE(second.Active());
}

TEST(CommPty, AdoptsAnOpenDescriptorForOneOpen) {
  TqvPtyPair pty;
  TqvRecordingProcessor proc;
  TqvComm comm;
  comm.SetDataProcessor(&proc);
  const int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  comm.SetExtHandle(fd);
  ASSERT_TRUE(comm.Active());
  pty.Write("hi");
  ASSERT_TRUE(PumpUntil([&] { return proc.Received() == "hi"; }));
  comm.SetActive(false);
}
