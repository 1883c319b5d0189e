// The POSIX serial backend over pseudo-terminals, and through the system-call
// seam where a pseudo-terminal cannot produce the case (line counters,
// failing calls).
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/qvserial.h"
#include "platform/qvsyscall.h"
#include "qvpty.h"

using namespace qv::platform;
using namespace std::chrono_literals;
using qv::test::TqvPtyPair;

namespace {

TqvSerialDevicePtr OpenOrFail(const std::string& path) {
  TqvSerialOpenResult r = OpenPosixSerial(path);
  EXPECT_TRUE(r.Device) << r.Message;
  return r.Device;
}

std::span<const uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Waits for one event on another thread, so a test can bound the wait.
std::future<std::pair<std::error_code, uint32_t>> WaitAsync(TqvSerialDevice& dev) {
  return std::async(std::launch::async, [&dev] {
    uint32_t mask = 0;
    std::error_code ec = dev.WaitCommEvent(mask);
    return std::make_pair(ec, mask);
  });
}

// Replaces some system calls for one test; the rest stay real.
class SeamOverride {
 public:
  SeamOverride() : calls_(RealSysCalls()) {}
  ~SeamOverride() { SetSysCalls(nullptr); }
  SysCalls& Calls() { return calls_; }
  void Install() { SetSysCalls(&calls_); }

 private:
  SysCalls calls_;
};

}  // namespace

TEST(SerialPty, OpenConfigureAndTalkBothWays) {
  TqvPtyPair pty;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->Path(), pty.SlavePath());

  struct Row {
    uint32_t baud;
    uint8_t size, parity, stop;
    uint32_t flags;
  } rows[] = {
      {115200, 8, NOPARITY, ONESTOPBIT, 0x2015},
      {250000, 8, NOPARITY, ONESTOPBIT, 0x1311},  // a rate without a constant
      {9600, 8, NOPARITY, TWOSTOPBITS, 0x1011},
      {31250, 8, NOPARITY, ONESTOPBIT, 0x0001},
  };
  for (const Row& r : rows) {
    TDCB dcb;
    dcb.BaudRate = r.baud;
    dcb.ByteSize = r.size;
    dcb.Parity = r.parity;
    dcb.StopBits = r.stop;
    dcb.Flags = r.flags;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    ASSERT_FALSE(dev->SetCommState(dcb)) << r.baud;
    TDCB back;
    ASSERT_FALSE(dev->GetCommState(back));
    EXPECT_EQ(back, dcb) << r.baud;
  }
  TDCB bad;
  bad.BaudRate = 9600;
  bad.ByteSize = 4;
  EXPECT_EQ(dev->SetCommState(bad), TSerialErrc::NotSupported);
  // A pseudo-terminal always carries 8 bits without parity: reading back
  // catches the settings it silently dropped, and nothing is changed.
  bad.ByteSize = 7;
  bad.Parity = EVENPARITY;
  EXPECT_EQ(dev->SetCommState(bad), TSerialErrc::NotSupported);
  TDCB kept;
  ASSERT_FALSE(dev->GetCommState(kept));
  EXPECT_EQ(kept.BaudRate, 31250u);

  // Far side to device, and the queue counts on the way.
  pty.Write("AT\r");
  uint32_t errors = 1;
  TComStat stat;
  for (int i = 0; i < 200 && stat.cbInQue < 3; ++i) {
    ASSERT_FALSE(dev->ClearCommError(errors, stat));
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(stat.cbInQue, 3u);
  uint8_t buf[16];
  size_t got = 0;
  ASSERT_FALSE(dev->Read(std::span(buf, 3), got));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), got), "AT\r");

  // Device to far side: blocking, queued and ahead-of-queue writes keep order.
  size_t written = 0;
  ASSERT_FALSE(dev->Write(Bytes("OK"), written));
  EXPECT_EQ(written, 2u);
  ASSERT_FALSE(dev->WriteAsync(Bytes("\r\n")));
  EXPECT_EQ(pty.Read(4), "OK\r\n");
  ASSERT_FALSE(dev->TransmitCommChar('!'));
  EXPECT_EQ(pty.Read(1), "!");
}

TEST(SerialPty, PseudoTerminalHasNoModemLinesAndSaysSo) {
  TqvPtyPair pty;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  uint32_t status = 0;
  EXPECT_TRUE(dev->GetCommModemStatus(status));
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(dev->SupportedEvents() & (EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_ERR | EV_BREAK), 0u);
  EXPECT_TRUE(dev->EscapeCommFunction(TEscape::SETDTR));
  TCommProp prop;
  ASSERT_FALSE(dev->GetCommProperties(prop));
  EXPECT_EQ(prop.dwProvCapabilities & 0x7, 0u) << "no DTR/DSR, RTS/CTS or RLSD";

  // Asking for line events the device cannot report neither fails nor wakes
  // the wait: only the data does.
  ASSERT_FALSE(dev->SetCommMask(EV_RXCHAR | EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_ERR));
  uint32_t mask = 0;
  ASSERT_FALSE(dev->WaitCommEvent(mask));  // the mask change itself
  EXPECT_EQ(mask, 0u);
  auto wait = WaitAsync(*dev);
  EXPECT_EQ(wait.wait_for(100ms), std::future_status::timeout);
  pty.Write("x");
  ASSERT_EQ(wait.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(wait.get().second, EV_RXCHAR);
}

TEST(SerialPty, ReceivedCharactersAreReportedOncePerArrival) {
  TqvPtyPair pty;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  ASSERT_FALSE(dev->SetCommMask(EV_RXCHAR | EV_TXEMPTY));
  uint32_t mask = 0;
  ASSERT_FALSE(dev->WaitCommEvent(mask));

  pty.Write("abc");
  ASSERT_FALSE(dev->WaitCommEvent(mask));
  EXPECT_EQ(mask, EV_RXCHAR);
  // Unread input keeps poll() ready; the wait must still block until the
  // handler is done, not spin on it.
  auto again = WaitAsync(*dev);
  EXPECT_EQ(again.wait_for(100ms), std::future_status::timeout);
  // The handler left the three bytes: only more input is news.
  dev->AckReceive(3);
  EXPECT_EQ(again.wait_for(100ms), std::future_status::timeout);
  pty.Write("d");
  ASSERT_EQ(again.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(again.get().second, EV_RXCHAR);

  // This time the handler reads everything; the next arrival is reported.
  uint8_t buf[8];
  size_t got = 0;
  ASSERT_FALSE(dev->ReadAvailable(buf, got));
  EXPECT_EQ(got, 4u);
  dev->AckReceive(0);
  auto next = WaitAsync(*dev);
  EXPECT_EQ(next.wait_for(50ms), std::future_status::timeout);
  pty.Write("e");
  ASSERT_EQ(next.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(next.get().second, EV_RXCHAR);

  // Transmit-empty comes from the output queue running empty after a write.
  ASSERT_FALSE(dev->ReadAvailable(buf, got));
  dev->AckReceive(0);
  ASSERT_FALSE(dev->WriteAsync(Bytes("hello")));
  ASSERT_FALSE(dev->WaitCommEvent(mask));
  EXPECT_EQ(mask, EV_TXEMPTY);
  EXPECT_EQ(pty.Read(5), "hello");
  // ...once: a tty that stays writable does not report it again.
  auto quiet = WaitAsync(*dev);
  EXPECT_EQ(quiet.wait_for(100ms), std::future_status::timeout);
  dev->WakeWait();
  ASSERT_EQ(quiet.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(quiet.get(), std::make_pair(std::error_code{}, 0u));
}

// Input that comes while the handler runs wakes the wait again only when the
// handler did not take it: a read that took it ends the round.
TEST(SerialPty, InputThatCameWhileTheHandlerRanIsReportedUnlessItWasRead) {
  TqvPtyPair pty;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  ASSERT_FALSE(dev->SetCommMask(EV_RXCHAR));
  uint32_t mask = 0;
  ASSERT_FALSE(dev->WaitCommEvent(mask));
  uint8_t buf[8];
  size_t got = 0;
  for (const bool handlerReads : {true, false}) {
    SCOPED_TRACE(handlerReads ? "read" : "not read");
    pty.Write("f");
    ASSERT_FALSE(dev->WaitCommEvent(mask));
    ASSERT_EQ(mask, EV_RXCHAR);
    auto next = WaitAsync(*dev);
    pty.Write("g");  // while the handler runs
    EXPECT_EQ(next.wait_for(50ms), std::future_status::timeout);
    if (handlerReads) {
      ASSERT_FALSE(dev->ReadAvailable(buf, got));
      EXPECT_EQ(got, 2u);
    }
    dev->AckReceive(0);  // it looked before "g" came
    if (handlerReads) {
      EXPECT_EQ(next.wait_for(100ms), std::future_status::timeout);
      dev->WakeWait();
      ASSERT_EQ(next.wait_for(5s), std::future_status::ready);
      EXPECT_EQ(next.get().second, 0u);
    } else {
      ASSERT_EQ(next.wait_for(5s), std::future_status::ready);
      EXPECT_EQ(next.get().second, EV_RXCHAR);
      ASSERT_FALSE(dev->ReadAvailable(buf, got));
      dev->AckReceive(0);
    }
  }
}

TEST(SerialPty, FarSideClosingIsALostDevice) {
  TqvPtyPair pty;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  ASSERT_FALSE(dev->SetCommMask(EV_RXCHAR));
  uint32_t mask = 0;
  ASSERT_FALSE(dev->WaitCommEvent(mask));
  auto wait = WaitAsync(*dev);
  pty.CloseMaster();
  ASSERT_EQ(wait.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(wait.get().first, TSerialErrc::DeviceLost);
  uint8_t b;
  size_t got;
  EXPECT_EQ(dev->ReadAvailable(std::span(&b, 1), got), TSerialErrc::DeviceLost);
}

TEST(SerialPty, CloseEndsEveryPendingOperation) {
  TqvPtyPair pty;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  ASSERT_FALSE(dev->SetCommMask(EV_RXCHAR));
  uint32_t mask;
  ASSERT_FALSE(dev->WaitCommEvent(mask));
  auto wait = WaitAsync(*dev);
  auto read = std::async(std::launch::async, [&] {
    uint8_t buf[4];
    size_t got = 0;
    return dev->Read(buf, got);  // no time-outs: waits for all four
  });
  std::this_thread::sleep_for(20ms);
  dev->Close();
  ASSERT_EQ(wait.wait_for(5s), std::future_status::ready);
  ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(wait.get().first, TSerialErrc::Closed);
  EXPECT_EQ(read.get(), TSerialErrc::Closed);
  size_t w;
  EXPECT_EQ(dev->Write(Bytes("x"), w), TSerialErrc::Closed);
}

TEST(SerialPty, PurgeAbortsABlockedRead) {
  TqvPtyPair pty;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  auto read = std::async(std::launch::async, [&] {
    uint8_t buf[4];
    size_t got = 0;
    return dev->Read(buf, got);
  });
  std::this_thread::sleep_for(20ms);
  ASSERT_FALSE(dev->PurgeComm(PURGE_RXABORT | PURGE_RXCLEAR));
  ASSERT_EQ(read.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(read.get(), TSerialErrc::Cancelled);

  // Read time-outs: a total limit returns what came.
  TCommTimeouts t;
  t.ReadTotalTimeoutConstant = 30;
  ASSERT_FALSE(dev->SetCommTimeouts(t));
  pty.Write("ab");
  std::this_thread::sleep_for(10ms);
  uint8_t buf[8];
  size_t got = 0;
  EXPECT_FALSE(dev->Read(buf, got));
  EXPECT_EQ(got, 2u);
}

TEST(SerialPty, SecondOpenIsRefusedAndNamesTheHolder) {
  TqvPtyPair pty;
  auto first = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(first);
  TqvSerialOpenResult second = OpenPosixSerial(pty.SlavePath());
  EXPECT_FALSE(second.Device);
  EXPECT_EQ(second.Error, TSerialErrc::PortBusy);
  EXPECT_NE(second.Message.find("held by another program"), std::string::npos) << second.Message;
  EXPECT_NE(second.Message.find("this program"), std::string::npos) << second.Message;
  first->Close();
  TqvSerialOpenResult third = OpenPosixSerial(pty.SlavePath());
  EXPECT_TRUE(third.Device) << third.Message;
}

TEST(SerialPty, OpenFailuresSayWhy) {
  TqvSerialOpenResult missing = OpenPosixSerial("/nonexistent/ttyQV0");
  EXPECT_EQ(missing.Error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(missing.Message.empty());
  TqvSerialOpenResult notTty = OpenPosixSerial("/dev/null");
  EXPECT_EQ(notTty.Error, TSerialErrc::NotATty);
}

// The exclusive flag on a pseudo-terminal outlives the close: left set, it
// would lock every unprivileged user out of the device.
TEST(SerialPty, AnotherUserCanOpenThePortAfterItWasClosed) {
  TqvPtyPair pty;
  ASSERT_EQ(::chmod(pty.SlavePath().c_str(), 0666), 0);
  {
    auto dev = OpenOrFail(pty.SlavePath());
    ASSERT_TRUE(dev);
    dev->Close();
  }
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() == 0) {
    ASSERT_NE(nobody, nullptr);
  }
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && ::setuid(nobody->pw_uid) != 0) ::_exit(3);
    TqvSerialOpenResult r = OpenPosixSerial(pty.SlavePath());
    ::_exit(r.Device ? 0 : (r.Error == TSerialErrc::PortBusy ? 1 : 2));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: refused as busy, 2: other error, 3: setuid failed";
}

// Line counters and modem bits, as a real UART driver reports them.
namespace {
std::atomic<int> gFrames{0}, gCts{0};
std::atomic<int> gModem{0};
int FakeLineIoctl(int fd, unsigned long request, void* arg) {
  if (request == TIOCGICOUNT) {
    auto* ic = static_cast<serial_icounter_struct*>(arg);
    *ic = {};
    ic->frame = gFrames;
    ic->cts = gCts;
    return 0;
  }
  if (request == TIOCMGET) {
    *static_cast<int*>(arg) = gModem;
    return 0;
  }
  if (request == TIOCMBIS || request == TIOCMBIC) return 0;
  return RealSysCalls().ioctl(fd, request, arg);
}
}  // namespace

TEST(SerialPty, LineEventsFromSampledCounters) {
  TqvPtyPair pty;
  SeamOverride seam;
  seam.Calls().ioctl = FakeLineIoctl;
  seam.Install();
  gFrames = 0;
  gCts = 0;
  gModem = TIOCM_CTS;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->SupportedEvents() & (EV_CTS | EV_ERR | EV_BREAK), EV_CTS | EV_ERR | EV_BREAK);
  uint32_t status = 0;
  ASSERT_FALSE(dev->GetCommModemStatus(status));
  EXPECT_EQ(status, MS_CTS_ON);

  ASSERT_FALSE(dev->SetCommMask(EV_RXCHAR | EV_CTS | EV_ERR));
  uint32_t mask = 0;
  ASSERT_FALSE(dev->WaitCommEvent(mask));
  auto wait = WaitAsync(*dev);
  EXPECT_EQ(wait.wait_for(50ms), std::future_status::timeout);
  gFrames = 1;
  gCts = 2;  // a short pulse: the bits are back as they were
  ASSERT_EQ(wait.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(wait.get().second, EV_CTS | EV_ERR);
  uint32_t errors = 0;
  TComStat stat;
  ASSERT_FALSE(dev->ClearCommError(errors, stat));
  EXPECT_EQ(errors, CE_FRAME);
  ASSERT_FALSE(dev->ClearCommError(errors, stat));
  EXPECT_EQ(errors, 0u) << "cleared by the first query";
  dev->Close();
}

namespace {
std::atomic<int> gReadCalls{0};
long ReadEintrThenEio(int, void*, size_t) {
  errno = gReadCalls++ == 0 ? EINTR : EIO;
  return -1;
}
}  // namespace

TEST(SerialPty, ReadErrorsFromTheSystem) {
  TqvPtyPair pty;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  SeamOverride seam;
  seam.Calls().read = ReadEintrThenEio;
  seam.Install();
  gReadCalls = 0;
  uint8_t buf[4];
  size_t got = 0;
  EXPECT_EQ(dev->Read(buf, got), TSerialErrc::DeviceLost) << "EINTR retried, EIO is a removed device";
  EXPECT_EQ(gReadCalls, 2);
  SetSysCalls(nullptr);
  dev->Close();
}

TEST(SerialPty, DrainWaitsForAFarSideThatReadsAndGivesUpAtItsDeadline) {
  TqvPtyPair pty;
  auto dev = OpenOrFail(pty.SlavePath());
  ASSERT_TRUE(dev);
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i % 251);
  ASSERT_FALSE(dev->WriteAsync(Bytes(big)));  // taken at once, far more than the pty holds
  uint32_t errors;
  TComStat stat;
  ASSERT_FALSE(dev->ClearCommError(errors, stat));
  EXPECT_GT(stat.cbOutQue, 0u);
  EXPECT_EQ(dev->Drain(50ms), TSerialErrc::TimedOut) << "nobody reads on the far side";
  std::string got;
  std::thread reader([&] { got = pty.Read(big.size(), 30s); });
  EXPECT_FALSE(dev->Drain(30s));
  reader.join();
  EXPECT_TRUE(got == big) << got.size();
}

namespace {
std::atomic<int> gWrites{0};
long WriteAgainThenFail(int, const void*, size_t) {
  errno = gWrites++ == 0 ? EAGAIN : EIO;
  return -1;
}
}  // namespace

TEST(SerialPty, AQueuedWriteThatFailsLaterIsReported) {
  // The failure is met by the waiting thread, or by the drain itself.
  for (bool waiterFirst : {true, false}) {
    SCOPED_TRACE(waiterFirst ? "waiter" : "drain");
    TqvPtyPair pty;
    auto dev = OpenOrFail(pty.SlavePath());
    ASSERT_TRUE(dev);
    ASSERT_FALSE(dev->SetCommMask(EV_RXCHAR | EV_TXEMPTY));
    uint32_t mask = 0;
    ASSERT_FALSE(dev->WaitCommEvent(mask));
    SeamOverride seam;
    seam.Calls().write = WriteAgainThenFail;
    seam.Install();
    gWrites = 0;
    ASSERT_FALSE(dev->WriteAsync(Bytes("AT\r"))) << "queued: the device was busy";
    if (waiterFirst) {
      ASSERT_FALSE(dev->WaitCommEvent(mask));
      EXPECT_EQ(mask, EV_WRITEERROR) << "no transmit-empty for data that never left";
    }
    EXPECT_EQ(dev->Drain(1s), TSerialErrc::DeviceLost) << "what the failed write dropped never left";
    EXPECT_EQ(dev->TakeWriteError(), TSerialErrc::DeviceLost);
    EXPECT_FALSE(dev->TakeWriteError());
    SetSysCalls(nullptr);
    ASSERT_FALSE(dev->WriteAsync(Bytes("ATZ\r")));
    EXPECT_FALSE(dev->Drain(1s)) << "a later write that leaves drains clean";
    EXPECT_EQ(pty.Read(4), "ATZ\r");
    dev->Close();
  }
}
