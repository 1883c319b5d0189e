// Line settings <-> terminal attributes, row by row in both directions, and
// the pure pieces of the comm-event wait.
#include <termios.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <set>

#include "platform/qvportnames.h"
#include "platform/qvserial_events.h"
#include "platform/qvserial_lines.h"

using namespace qv::platform;

namespace {

TDCB Dcb(uint32_t flags, uint8_t byteSize = 8, uint8_t parity = NOPARITY, uint8_t stop = ONESTOPBIT) {
  TDCB d;
  d.BaudRate = 19200;
  d.Flags = flags;
  d.ByteSize = byteSize;
  d.Parity = parity;
  d.StopBits = stop;
  d.XonChar = 17;
  d.XoffChar = 19;
  return d;
}

TermiosImage Filled(uint8_t byte) {
  TermiosImage t;
  std::memset(static_cast<void*>(&t), byte, sizeof t);
  return t;
}

}  // namespace

TEST(SerialLines, BaudRatesBothWays) {
  struct Row {
    uint32_t rate;
    uint32_t code;
  } rows[] = {
      {50, B50},           {9600, B9600},       {19200, B19200},    {115200, B115200},
      {921600, B921600},   {4000000, B4000000}, {250000, CBAUDEX},  {31250, CBAUDEX},
      {1234567, CBAUDEX},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.rate);
    for (uint8_t fill : {0x00, 0xFF}) {
      TermiosImage t = Filled(fill);
      ASSERT_FALSE(BaudToTermios(r.rate, t));
      EXPECT_EQ(t.cflag & CBAUD, r.code);
      EXPECT_EQ(t.cflag & (CBAUD << 16), 0u) << "input rate follows the output rate";
      EXPECT_EQ(t.ospeed, r.rate);
      EXPECT_EQ(BaudFromTermios(t), r.rate);
      // Only the rate fields change.
      TermiosImage other = Filled(fill);
      EXPECT_EQ(t.iflag, other.iflag);
      EXPECT_EQ(t.cflag & ~uint32_t(CBAUD | (CBAUD << 16)), other.cflag & ~uint32_t(CBAUD | (CBAUD << 16)));
    }
    EXPECT_EQ(IsStandardBaudRate(r.rate), r.code != CBAUDEX);
  }
  TermiosImage t;
  EXPECT_EQ(BaudToTermios(0, t), TSerialErrc::NotSupported);
  EXPECT_EQ(StandardBaudRates().size(), 30u);
}

TEST(SerialLines, LineControlBothWays) {
  struct Row {
    uint8_t size, parity, stop;
    bool parityCheck;
    uint32_t cflag, iflag;
  } rows[] = {
      {8, NOPARITY, ONESTOPBIT, false, CS8, 0},
      {7, EVENPARITY, ONESTOPBIT, true, CS7 | PARENB, INPCK},
      {7, ODDPARITY, TWOSTOPBITS, true, CS7 | PARENB | PARODD | CSTOPB, INPCK},
      {8, MARKPARITY, ONESTOPBIT, false, CS8 | PARENB | PARODD | CMSPAR, 0},
      {8, SPACEPARITY, TWOSTOPBITS, false, CS8 | PARENB | CMSPAR | CSTOPB, 0},
      {6, NOPARITY, TWOSTOPBITS, false, CS6 | CSTOPB, 0},
      {5, NOPARITY, ONE5STOPBITS, false, CS5 | CSTOPB, 0},
      {5, EVENPARITY, ONESTOPBIT, true, CS5 | PARENB, INPCK},
  };
  const uint32_t cmask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << int(r.size) << " " << int(r.parity) << " " << int(r.stop));
    for (uint8_t fill : {0x00, 0xFF}) {
      TDCB d = Dcb(r.parityCheck ? DCB_fParity : 0, r.size, r.parity, r.stop);
      TermiosImage t = Filled(fill), before = t;
      ASSERT_FALSE(LineControlToTermios(d, t));
      EXPECT_EQ(t.cflag & cmask, r.cflag);
      EXPECT_EQ(t.iflag & INPCK, r.iflag);
      EXPECT_EQ(t.cflag & ~cmask, before.cflag & ~cmask);
      EXPECT_EQ(t.iflag & ~uint32_t(INPCK), before.iflag & ~uint32_t(INPCK));
      EXPECT_EQ(t.lflag, before.lflag);
      // Reading back gives the same four fields and touches nothing else.
      TDCB back;
      std::memset(static_cast<void*>(&back), fill, sizeof back);
      const TDCB untouched = back;
      LineControlFromTermios(t, back);
      EXPECT_EQ(back.ByteSize, r.size);
      EXPECT_EQ(back.Parity, r.parity);
      EXPECT_EQ(back.StopBits, r.stop);
      EXPECT_EQ(bool(back.Flags & DCB_fParity), r.parityCheck);
      EXPECT_EQ(back.Flags & ~DCB_fParity, untouched.Flags & ~DCB_fParity);
      EXPECT_EQ(back.BaudRate, untouched.BaudRate);
      EXPECT_EQ(back.XonChar, untouched.XonChar);
    }
  }
}

TEST(SerialLines, ImpossibleLineSettingsChangeNothing) {
  struct Row {
    uint8_t size, parity, stop;
  } rows[] = {
      {4, NOPARITY, ONESTOPBIT},    {9, NOPARITY, ONESTOPBIT},  {8, 5, ONESTOPBIT},
      {8, NOPARITY, ONE5STOPBITS},  {5, NOPARITY, TWOSTOPBITS}, {8, NOPARITY, 3},
  };
  for (const Row& r : rows) {
    TermiosImage t = Filled(0x5A), before = t;
    EXPECT_EQ(LineControlToTermios(Dcb(0, r.size, r.parity, r.stop), t), TSerialErrc::NotSupported);
    EXPECT_EQ(t, before);
  }
}

TEST(SerialLines, FlowControlBothWays) {
  struct Row {
    const char* name;
    uint32_t flags;
    uint32_t cflag, iflag;
    std::optional<bool> dtr, rts;
  } rows[] = {
      {"none", 0x1011, 0, 0, true, true},
      {"xon/xoff", 0x1311, 0, IXON | IXOFF, true, true},
      {"hardware", 0x2015, CRTSCTS, 0, true, std::nullopt},
      {"rs485 toggle", 0x3011, 0, 0, true, false},
      {"lines off", 0x0001, 0, 0, false, false},
      {"xon out only", 0x1111, 0, IXON, true, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    for (uint8_t fill : {0x00, 0xFF}) {
      TermiosImage t = Filled(fill), before = t;
      ASSERT_FALSE(HandFlowToTermios(Dcb(r.flags), t));
      EXPECT_EQ(t.cflag & CRTSCTS, r.cflag);
      EXPECT_EQ(t.iflag & (IXON | IXOFF | IXANY), r.iflag);
      EXPECT_EQ(t.cflag & ~uint32_t(CRTSCTS), before.cflag & ~uint32_t(CRTSCTS));
      EXPECT_EQ(t.cc, before.cc);
      TDCB back = Dcb(r.flags);
      back.Flags &= ~(DCB_fOutX | DCB_fInX | DCB_fOutxCtsFlow);  // forget what termios holds
      HandFlowFromTermios(t, back);
      EXPECT_EQ(back.Flags, r.flags);
    }
    const LineLevels l = LineLevelsFromDcb(Dcb(r.flags));
    EXPECT_EQ(l.Dtr, r.dtr);
    EXPECT_EQ(l.Rts, r.rts);
  }
}

TEST(SerialLines, FlowControlATtyCannotDo) {
  const uint32_t rows[] = {
      0x1011 | DCB_fOutxDsrFlow,  // DSR output flow
      0x1011 | DCB_fDsrSensitivity,
      0x1021,                     // DTR handshake
      0x1015,                     // CTS out without RTS handshake
      0x2011,                     // RTS handshake without CTS out
  };
  for (uint32_t flags : rows) {
    TermiosImage t = Filled(0xA5), before = t;
    EXPECT_EQ(HandFlowToTermios(Dcb(flags), t), TSerialErrc::NotSupported) << std::hex << flags;
    EXPECT_EQ(t, before);
  }
}

TEST(SerialLines, WholeRecordRoundTrip) {
  TDCB d = Dcb(0x2015 | DCB_fParity, 7, EVENPARITY, ONESTOPBIT);
  d.BaudRate = 250000;
  d.XonChar = 0x11;
  d.XoffChar = 0x13;
  d.EvtChar = 'Z';  // kept by the record, not by the tty
  d.XonLim = 80;
  TermiosImage t;
  MakeRaw(t);
  ASSERT_FALSE(DcbToTermios(d, t));
  EXPECT_EQ(t.cc[VSTART], 0x11);
  EXPECT_EQ(t.cc[VSTOP], 0x13);
  EXPECT_TRUE(t.cflag & CREAD);
  EXPECT_TRUE(t.cflag & CLOCAL);
  EXPECT_FALSE(t.lflag & (ICANON | ECHO | ISIG));
  TDCB back = d;
  back.BaudRate = 0;
  back.ByteSize = 0;
  back.XonChar = back.XoffChar = 0;
  DcbFromTermios(t, back);
  EXPECT_EQ(back, d);

  // A record with one impossible field changes nothing at all.
  TermiosImage before = t;
  d.ByteSize = 4;
  d.BaudRate = 9600;
  EXPECT_EQ(DcbToTermios(d, t), TSerialErrc::NotSupported);
  EXPECT_EQ(t, before);
}

TEST(SerialLines, ReadBackComparison) {
  TermiosImage asked;
  ASSERT_FALSE(BaudToTermios(250000, asked));
  asked.cflag |= CS8 | CRTSCTS;
  TermiosImage got = asked;
  EXPECT_TRUE(TermiosTookEffect(asked, got));
  got.ospeed = 251000;  // a divisor's rounding
  EXPECT_TRUE(TermiosTookEffect(asked, got));
  got.ospeed = 300000;
  EXPECT_FALSE(TermiosTookEffect(asked, got));
  got = asked;
  got.cflag &= ~uint32_t(CRTSCTS);  // the driver dropped handshaking
  EXPECT_FALSE(TermiosTookEffect(asked, got));
}

TEST(SerialEvents, DiffOfSnapshots) {
  LineSnapshot base;
  base.HasCounters = base.HasModem = true;
  base.Modem = MS_CTS_ON;
  struct Row {
    const char* name;
    void (*change)(LineSnapshot&);
    uint32_t mask, events, errors;
  } rows[] = {
      {"nothing", [](LineSnapshot&) {}, ~0u, 0, 0},
      {"cts pulse seen by counter only", [](LineSnapshot& s) { s.Cts += 2; }, ~0u, EV_CTS, 0},
      {"dsr rises", [](LineSnapshot& s) { s.Modem |= MS_DSR_ON; s.Dsr++; }, ~0u, EV_DSR, 0},
      {"carrier drops", [](LineSnapshot& s) { s.Modem |= 0; s.Dcd++; }, ~0u, EV_RLSD, 0},
      {"ring", [](LineSnapshot& s) { s.Ring++; }, ~0u, EV_RING, 0},
      {"frame error", [](LineSnapshot& s) { s.Frame++; }, ~0u, EV_ERR, CE_FRAME},
      {"overrun and parity", [](LineSnapshot& s) { s.Overrun++; s.Parity++; }, ~0u, EV_ERR,
       CE_OVERRUN | CE_RXPARITY},
      {"buffer overrun", [](LineSnapshot& s) { s.BufOverrun++; }, ~0u, EV_ERR, CE_RXOVER},
      {"break", [](LineSnapshot& s) { s.Brk++; }, ~0u, EV_BREAK, CE_BREAK},
      {"masked out", [](LineSnapshot& s) { s.Cts++; s.Frame++; }, EV_DSR, 0, CE_FRAME},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    LineSnapshot now = base;
    r.change(now);
    EXPECT_EQ(DiffEvents(base, now, r.mask), r.events);
    EXPECT_EQ(ErrorsBetween(base, now), r.errors);
  }
  // Without counters the modem bits tell; a ring counts when it starts.
  LineSnapshot a, b;
  a.HasModem = b.HasModem = true;
  b.Modem = MS_RING_ON | MS_RLSD_ON;
  EXPECT_EQ(DiffEvents(a, b, ~0u), EV_RING | EV_RLSD);
  EXPECT_EQ(DiffEvents(b, a, ~0u), EV_RLSD);
  // A device without lines (a pseudo-terminal) never reports them.
  EXPECT_EQ(DiffEvents(LineSnapshot{}, LineSnapshot{}, ~0u), 0u);
}

TEST(SerialEvents, ReceiveReportIsAnEdge) {
  RxReportState rx;
  EXPECT_TRUE(rx.OnReadable());
  EXPECT_FALSE(rx.OnReadable()) << "reported once until the handler is done";
  EXPECT_FALSE(rx.WantsReadable());
  rx.OnAck(0, 0);  // read everything
  EXPECT_TRUE(rx.WantsReadable());
  EXPECT_TRUE(rx.OnReadable());
  rx.OnAck(0, 5);  // drained, but 5 came after the last look: report those
  EXPECT_TRUE(rx.WantsReadable());
  EXPECT_TRUE(rx.OnReadable());
  rx.OnAck(5, 5);  // the handler left 5 bytes: only growth is news
  EXPECT_TRUE(rx.WantsSampling());
  EXPECT_FALSE(rx.OnSample(5));
  EXPECT_FALSE(rx.OnSample(3));  // someone read two
  EXPECT_TRUE(rx.OnSample(4));   // one more arrived
  rx.OnAck(4, 4);
  EXPECT_FALSE(rx.OnRead(3));
  EXPECT_TRUE(rx.OnRead(1)) << "the application read what was left: new input is news again";
  EXPECT_TRUE(rx.OnReadable());
  rx.OnAck(4, 4);
  EXPECT_FALSE(rx.OnSample(0));  // read by the application: back to waiting
  EXPECT_TRUE(rx.WantsReadable());
  EXPECT_TRUE(rx.OnReadable());
  rx.OnAck(2, 2);
  rx.OnPurged();
  EXPECT_TRUE(rx.WantsReadable());
}

// The same report for a wait told of each arrival: the acknowledgement asks
// for a report only for input that came while the handler ran and that it
// neither read nor left.
TEST(SerialEvents, ArrivalReportAsksOnlyForWhatTheHandlerDidNotSee) {
  RxArrivalReport rx;
  EXPECT_FALSE(rx.OnAck(0, 0)) << "nothing reported, nothing to acknowledge";
  EXPECT_TRUE(rx.OnArrival());
  EXPECT_FALSE(rx.OnArrival()) << "reported once until the handler is done";
  EXPECT_TRUE(rx.MoreSinceReport());
  EXPECT_FALSE(rx.OnAck(0, 0)) << "it read what came meanwhile too";
  EXPECT_TRUE(rx.OnArrival());
  EXPECT_FALSE(rx.MoreSinceReport());
  EXPECT_FALSE(rx.OnAck(3, 3)) << "it left three bytes; nothing came since";
  EXPECT_TRUE(rx.OnArrival()) << "the next arrival is news";
  EXPECT_FALSE(rx.OnArrival());
  EXPECT_FALSE(rx.OnAck(3, 3)) << "what came meanwhile is what it left";
  EXPECT_TRUE(rx.OnArrival());
  EXPECT_FALSE(rx.OnArrival());
  EXPECT_TRUE(rx.OnAck(0, 2)) << "two bytes came after it looked: report them now";
  EXPECT_FALSE(rx.OnArrival()) << "that report is pending its handler";
  rx.OnPurged();
  EXPECT_FALSE(rx.OnAck(0, 5)) << "purged: what came meanwhile is gone";
  EXPECT_TRUE(rx.OnArrival());
}

TEST(PortNames, TableBothWays) {
  struct Row {
    uint16_t no;
    const char* name;
  } rows[] = {
      {1, "ttyS0"},     {4, "ttyS3"},      {100, "ttyS99"},  {101, "ttyUSB0"}, {117, "ttyUSB16"},
      {200, "ttyUSB99"}, {201, "ttyACM0"}, {203, "ttyACM2"}, {301, "ttyAMA0"}, {401, "rfcomm0"},
      {500, "rfcomm99"},
  };
  SetPortDeviceRoot("");
  for (const Row& r : rows) {
    EXPECT_EQ(PortDeviceName(r.no), r.name);
    EXPECT_EQ(PortDevicePath(r.no), std::string("/dev/") + r.name);
    EXPECT_EQ(PortNumberOf(r.name), r.no);
    EXPECT_EQ(PortNumberOf(std::string("/dev/") + r.name), r.no);
  }
  for (uint16_t no : {0, 501, 65535}) EXPECT_EQ(PortDeviceName(no), "") << no;
  for (const char* name : {"ttyS100", "ttyS01", "ttyS", "tty0", "ttyUSBx", "pts/3", "ttyS-1"})
    EXPECT_EQ(PortNumberOf(name), std::nullopt) << name;
  // One-to-one over the whole table.
  std::set<std::string> names;
  for (unsigned no = 1; no <= 500; ++no) {
    const std::string n = PortDeviceName(uint16_t(no));
    ASSERT_FALSE(n.empty()) << no;
    EXPECT_TRUE(names.insert(n).second) << n;
    EXPECT_EQ(PortNumberOf(n), no);
  }
  SetPortDeviceRoot("/tmp/fake-dev/");
  EXPECT_EQ(PortDevicePath(3), "/tmp/fake-dev/ttyS2");
  SetPortDeviceRoot("");
  EXPECT_EQ(PortDeviceRoot(), "/dev");
}
