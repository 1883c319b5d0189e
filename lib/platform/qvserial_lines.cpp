// The one file of the project that includes the kernel's termios2 header
// (it gives BOTHER, rates without a constant of their own). Everything else
// works on the plain TermiosImage.
#include "platform/qvserial_lines.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

#include <algorithm>
#include <cstdlib>

#include "platform/qvsyscall.h"

namespace qv::platform {
namespace {

struct BaudRow {
  uint32_t code;  // the termios constant
  uint32_t rate;  // bits per second
};

// Side by side, so reading back is the exact reverse of writing.
constexpr BaudRow kBaudTable[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

constexpr uint32_t kStandardRates[] = {
    50,     75,     110,    134,    150,     200,     300,     600,     1200,    1800,
    2400,   4800,   9600,   19200,  38400,   57600,   115200,  230400,  460800,  500000,
    576000, 921600, 1000000, 1152000, 1500000, 2000000, 2500000, 3000000, 3500000, 4000000,
};

struct SizeRow {
  uint8_t byteSize;
  uint32_t csize;
};
constexpr SizeRow kSizeTable[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

struct ParityRow {
  uint8_t parity;
  uint32_t bits;  // of PARENB | PARODD | CMSPAR
};
constexpr uint32_t kParityBits = PARENB | PARODD | CMSPAR;
constexpr ParityRow kParityTable[] = {
    {NOPARITY, 0},
    {ODDPARITY, PARENB | PARODD},
    {EVENPARITY, PARENB},
    {MARKPARITY, PARENB | PARODD | CMSPAR},
    {SPACEPARITY, PARENB | CMSPAR},
};

std::error_code NotSupported() { return make_error_code(TSerialErrc::NotSupported); }
std::error_code Errno() { return {errno, std::generic_category()}; }

uint32_t DtrControl(const TDCB& d) { return (d.Flags & DCB_fDtrControlMask) >> DCB_fDtrControlShift; }
uint32_t RtsControl(const TDCB& d) { return (d.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift; }
void SetRtsControl(TDCB& d, uint32_t v) {
  d.Flags = (d.Flags & ~DCB_fRtsControlMask) | (v << DCB_fRtsControlShift);
}

}  // namespace

void MakeRaw(TermiosImage& t) {
  t.iflag &= ~uint32_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IUCLC |
                       IMAXBEL | IGNPAR);
  t.oflag &= ~uint32_t(OPOST);
  t.lflag &= ~uint32_t(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.cflag |= CREAD | CLOCAL;
  t.cflag &= ~uint32_t(HUPCL);
  t.cc[VMIN] = 1;
  t.cc[VTIME] = 0;
}

std::span<const uint32_t> StandardBaudRates() { return kStandardRates; }

bool IsStandardBaudRate(uint32_t rate) {
  return std::any_of(std::begin(kBaudTable), std::end(kBaudTable),
                     [rate](const BaudRow& r) { return r.rate == rate; });
}

std::error_code BaudToTermios(uint32_t rate, TermiosImage& t) {
  if (rate == 0) return NotSupported();
  uint32_t code = BOTHER;
  for (const BaudRow& r : kBaudTable)
    if (r.rate == rate) code = r.code;
  t.cflag &= ~uint32_t(CBAUD | (CBAUD << IBSHIFT));
  t.cflag |= code;  // input rate 0 in CIBAUD: the same as the output rate
  t.ispeed = rate;
  t.ospeed = rate;
  return {};
}

uint32_t BaudFromTermios(const TermiosImage& t) {
  const uint32_t code = t.cflag & CBAUD;
  if (code == BOTHER) return t.ospeed;
  for (const BaudRow& r : kBaudTable)
    if (r.code == code) return r.rate;
  return 0;
}

std::error_code LineControlToTermios(const TDCB& dcb, TermiosImage& t) {
  const SizeRow* size = nullptr;
  for (const SizeRow& r : kSizeTable)
    if (r.byteSize == dcb.ByteSize) size = &r;
  const ParityRow* parity = nullptr;
  for (const ParityRow& r : kParityTable)
    if (r.parity == dcb.Parity) parity = &r;
  if (!size || !parity) return NotSupported();
  // 1.5 stop bits exist only with 5 data bits, and 2 only with more.
  bool twoStop;
  switch (dcb.StopBits) {
    case ONESTOPBIT: twoStop = false; break;
    case ONE5STOPBITS: if (dcb.ByteSize != 5) return NotSupported(); twoStop = true; break;
    case TWOSTOPBITS: if (dcb.ByteSize == 5) return NotSupported(); twoStop = true; break;
    default: return NotSupported();
  }
  t.cflag = (t.cflag & ~uint32_t(CSIZE | kParityBits | CSTOPB)) | size->csize | parity->bits |
            (twoStop ? CSTOPB : 0);
  if (dcb.Flags & DCB_fParity)
    t.iflag |= INPCK;
  else
    t.iflag &= ~uint32_t(INPCK);
  return {};
}

void LineControlFromTermios(const TermiosImage& t, TDCB& dcb) {
  for (const SizeRow& r : kSizeTable)
    if (r.csize == (t.cflag & CSIZE)) dcb.ByteSize = r.byteSize;
  // Without PARENB the other two bits mean nothing.
  const uint32_t bits = (t.cflag & PARENB) ? (t.cflag & kParityBits) : 0;
  for (const ParityRow& r : kParityTable)
    if (r.bits == bits) dcb.Parity = r.parity;
  if (!(t.cflag & CSTOPB))
    dcb.StopBits = ONESTOPBIT;
  else
    dcb.StopBits = (t.cflag & CSIZE) == CS5 ? ONE5STOPBITS : TWOSTOPBITS;
  dcb.Flags = (t.iflag & INPCK) ? (dcb.Flags | DCB_fParity) : (dcb.Flags & ~DCB_fParity);
}

std::error_code HandFlowToTermios(const TDCB& dcb, TermiosImage& t) {
  if (dcb.Flags & (DCB_fOutxDsrFlow | DCB_fDsrSensitivity)) return NotSupported();
  if (DtrControl(dcb) == DTR_CONTROL_HANDSHAKE) return NotSupported();
  // The kernel has one switch for both directions of CTS/RTS handshaking.
  const bool ctsOut = dcb.Flags & DCB_fOutxCtsFlow;
  const bool rtsIn = RtsControl(dcb) == RTS_CONTROL_HANDSHAKE;
  if (ctsOut != rtsIn) return NotSupported();
  t.cflag = ctsOut ? (t.cflag | CRTSCTS) : (t.cflag & ~uint32_t(CRTSCTS));
  t.iflag &= ~uint32_t(IXON | IXOFF | IXANY);
  if (dcb.Flags & DCB_fOutX) t.iflag |= IXON;
  if (dcb.Flags & DCB_fInX) t.iflag |= IXOFF;
  return {};
}

void HandFlowFromTermios(const TermiosImage& t, TDCB& dcb) {
  dcb.Flags &= ~(DCB_fOutX | DCB_fInX | DCB_fOutxCtsFlow);
  if (t.iflag & IXON) dcb.Flags |= DCB_fOutX;
  if (t.iflag & IXOFF) dcb.Flags |= DCB_fInX;
  if (t.cflag & CRTSCTS) {
    dcb.Flags |= DCB_fOutxCtsFlow;
    SetRtsControl(dcb, RTS_CONTROL_HANDSHAKE);
  } else if (RtsControl(dcb) == RTS_CONTROL_HANDSHAKE) {
    SetRtsControl(dcb, RTS_CONTROL_ENABLE);  // the level itself is not in termios
  }
}

void SpecialCharsToTermios(const TDCB& dcb, TermiosImage& t) {
  t.cc[VSTART] = dcb.XonChar;
  t.cc[VSTOP] = dcb.XoffChar;
}

void SpecialCharsFromTermios(const TermiosImage& t, TDCB& dcb) {
  dcb.XonChar = t.cc[VSTART];
  dcb.XoffChar = t.cc[VSTOP];
}

std::error_code DcbToTermios(const TDCB& dcb, TermiosImage& t) {
  TermiosImage copy = t;
  if (auto ec = BaudToTermios(dcb.BaudRate, copy)) return ec;
  if (auto ec = LineControlToTermios(dcb, copy)) return ec;
  if (auto ec = HandFlowToTermios(dcb, copy)) return ec;
  SpecialCharsToTermios(dcb, copy);
  t = copy;
  return {};
}

void DcbFromTermios(const TermiosImage& t, TDCB& dcb) {
  dcb.DCBlength = 28;
  dcb.BaudRate = BaudFromTermios(t);
  dcb.Flags |= DCB_fBinary;  // a tty in raw mode never stops at an end-of-file character
  LineControlFromTermios(t, dcb);
  HandFlowFromTermios(t, dcb);
  SpecialCharsFromTermios(t, dcb);
}

LineLevels LineLevelsFromDcb(const TDCB& dcb) {
  LineLevels l;
  switch (DtrControl(dcb)) {
    case DTR_CONTROL_DISABLE: l.Dtr = false; break;
    case DTR_CONTROL_ENABLE: l.Dtr = true; break;
    default: break;
  }
  switch (RtsControl(dcb)) {
    case RTS_CONTROL_DISABLE: l.Rts = false; break;
    case RTS_CONTROL_ENABLE: l.Rts = true; break;
    case RTS_CONTROL_TOGGLE: l.Rts = false; break;  // raised by the sender around each write
    default: break;                                 // handshake: the driver owns RTS
  }
  return l;
}

bool TermiosTookEffect(const TermiosImage& asked, const TermiosImage& got) {
  constexpr uint32_t cmask = CBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CREAD;
  constexpr uint32_t imask = IXON | IXOFF | INPCK;
  if ((asked.cflag & cmask) != (got.cflag & cmask)) return false;
  if ((asked.iflag & imask) != (got.iflag & imask)) return false;
  if ((asked.cflag & CBAUD) == BOTHER) {
    // Drivers round a free rate to what their divisor gives; accept 3 %.
    const int64_t diff = std::llabs(int64_t(asked.ospeed) - int64_t(got.ospeed));
    if (diff * 100 > int64_t(asked.ospeed) * 3) return false;
  }
  return true;
}

std::error_code ReadTermios(int fd, TermiosImage& t) {
  termios2 k{};
  if (Sys().ioctl(fd, TCGETS2, &k) < 0) return Errno();
  t.iflag = k.c_iflag;
  t.oflag = k.c_oflag;
  t.cflag = k.c_cflag;
  t.lflag = k.c_lflag;
  static_assert(sizeof(k.c_cc) == sizeof(t.cc));
  std::copy(std::begin(k.c_cc), std::end(k.c_cc), t.cc.begin());
  t.ispeed = k.c_ispeed;
  t.ospeed = k.c_ospeed;
  return {};
}

std::error_code WriteTermios(int fd, const TermiosImage& t) {
  termios2 k{};
  if (Sys().ioctl(fd, TCGETS2, &k) < 0) return Errno();  // keeps c_line
  k.c_iflag = t.iflag;
  k.c_oflag = t.oflag;
  k.c_cflag = t.cflag;
  k.c_lflag = t.lflag;
  std::copy(t.cc.begin(), t.cc.end(), std::begin(k.c_cc));
  k.c_ispeed = t.ispeed;
  k.c_ospeed = t.ospeed;
  if (Sys().ioctl(fd, TCSETS2, &k) < 0) return Errno();
  return {};
}

std::error_code FlushQueues(int fd, bool input, bool output) {
  if (!input && !output) return {};
  const long which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
  if (Sys().ioctl(fd, TCFLSH, reinterpret_cast<void*>(which)) < 0) return Errno();
  return {};
}

std::error_code SuspendOutput(int fd, bool suspend) {
  const long action = suspend ? TCOOFF : TCOON;
  if (Sys().ioctl(fd, TCXONC, reinterpret_cast<void*>(action)) < 0) return Errno();
  return {};
}

}  // namespace qv::platform
