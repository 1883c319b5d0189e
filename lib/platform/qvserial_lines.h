// Line settings <-> terminal attributes, as pure functions over a plain image
// of the kernel's termios2 record, so that every row can be tested on a bare
// value. Each piece of the line settings has its own pair of functions that
// edit (or read) only their own fields; the inverse of each piece reverses it
// exactly for every value the device supports.
//
// What a tty cannot do, and so gives TSerialErrc::NotSupported:
//   - ByteSize below 5 or above 8;
//   - 1.5 stop bits other than with 5 data bits;
//   - DTR handshake, RTS toggle (RS-485 toggling is done by the component),
//     DSR output flow control and DSR sensitivity.
// Kept in the record but without effect on a tty: XonLim, XoffLim,
// ErrorChar/fErrorChar, EofChar, EvtChar, fNull, fAbortOnError,
// fTXContinueOnXoff (the kernel never stops receiving while XOFF was sent).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <system_error>

#include "platform/qvserial.h"

namespace qv::platform {

// The fields of the kernel's termios2 record that the mapping uses.
struct TermiosImage {
  uint32_t iflag = 0;
  uint32_t oflag = 0;
  uint32_t cflag = 0;
  uint32_t lflag = 0;
  std::array<uint8_t, 19> cc{};
  uint32_t ispeed = 0;
  uint32_t ospeed = 0;
  bool operator==(const TermiosImage&) const = default;
};

// Raw mode: no echo, no line editing, no signals, no translation; receiver
// on, modem-control lines ignored for open and read.
void MakeRaw(TermiosImage& t);

// Rates with a constant of their own; any other rate goes through BOTHER.
std::span<const uint32_t> StandardBaudRates();
bool IsStandardBaudRate(uint32_t rate);

std::error_code BaudToTermios(uint32_t rate, TermiosImage& t);
uint32_t BaudFromTermios(const TermiosImage& t);

// ByteSize, Parity, StopBits and fParity (input parity checking).
std::error_code LineControlToTermios(const TDCB& dcb, TermiosImage& t);
void LineControlFromTermios(const TermiosImage& t, TDCB& dcb);

// Flow control (CTS/RTS, XON/XOFF). DTR and RTS levels are not termios:
// they follow from LineLevelsFromDcb and are set after the attributes.
std::error_code HandFlowToTermios(const TDCB& dcb, TermiosImage& t);
void HandFlowFromTermios(const TermiosImage& t, TDCB& dcb);

// XonChar, XoffChar.
void SpecialCharsToTermios(const TDCB& dcb, TermiosImage& t);
void SpecialCharsFromTermios(const TermiosImage& t, TDCB& dcb);

// The whole record: every piece above, or nothing changed on an error.
std::error_code DcbToTermios(const TDCB& dcb, TermiosImage& t);
// Reads back what the attributes hold over `dcb`; fields a tty does not keep
// stay as they are in `dcb`.
void DcbFromTermios(const TermiosImage& t, TDCB& dcb);

// DTR and RTS levels the settings ask for after they are applied; nothing
// for a line that handshaking drives.
struct LineLevels {
  std::optional<bool> Dtr;
  std::optional<bool> Rts;
};
LineLevels LineLevelsFromDcb(const TDCB& dcb);

// Do the attributes the device took hold what was asked? (Setting succeeds
// when any one change applied, so the caller reads back and compares.)
bool TermiosTookEffect(const TermiosImage& asked, const TermiosImage& got);

// The kernel's view, through the one file that includes its termios2 header.
std::error_code ReadTermios(int fd, TermiosImage& t);
std::error_code WriteTermios(int fd, const TermiosImage& t);
std::error_code FlushQueues(int fd, bool input, bool output);
std::error_code SuspendOutput(int fd, bool suspend);

}  // namespace qv::platform
