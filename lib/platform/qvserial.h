// Serial device interface of the platform layer.
//
// The component above keeps its records in the classic serial-API layouts
// (line settings, timeouts, line status, port properties); this header holds
// those records, their bit values, and the one device interface with the
// operations the component needs. Two backends implement it: the POSIX one
// over termios and ioctls (qvserial_posix.cpp) and an in-memory one for tests
// (qvserial_memory.h). No operating-system type appears here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <system_error>

#include "qvapi.h"

QV_API_BEGIN

namespace qv::platform {

// ---------------------------------------------------------------- records

// Line settings (28 bytes). `Flags` packs the bit fields listed below.
struct TDCB {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 8;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;
  uint8_t XonChar = 0;
  uint8_t XoffChar = 0;
  uint8_t ErrorChar = 0;
  uint8_t EofChar = 0;
  uint8_t EvtChar = 0;
  uint16_t wReserved1 = 0;
  bool operator==(const TDCB&) const = default;
};
static_assert(sizeof(TDCB) == 28);

// Bits of TDCB::Flags.
inline constexpr uint32_t DCB_fBinary = 0x0001;
inline constexpr uint32_t DCB_fParity = 0x0002;
inline constexpr uint32_t DCB_fOutxCtsFlow = 0x0004;
inline constexpr uint32_t DCB_fOutxDsrFlow = 0x0008;
inline constexpr uint32_t DCB_fDtrControlMask = 0x0030;  // 2 bits, DTR_CONTROL_*
inline constexpr uint32_t DCB_fDtrControlShift = 4;
inline constexpr uint32_t DCB_fDsrSensitivity = 0x0040;
inline constexpr uint32_t DCB_fTXContinueOnXoff = 0x0080;
inline constexpr uint32_t DCB_fOutX = 0x0100;
inline constexpr uint32_t DCB_fInX = 0x0200;
inline constexpr uint32_t DCB_fErrorChar = 0x0400;
inline constexpr uint32_t DCB_fNull = 0x0800;
inline constexpr uint32_t DCB_fRtsControlMask = 0x3000;  // 2 bits, RTS_CONTROL_*
inline constexpr uint32_t DCB_fRtsControlShift = 12;
inline constexpr uint32_t DCB_fAbortOnError = 0x4000;

inline constexpr uint32_t DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
inline constexpr uint32_t RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                          RTS_CONTROL_TOGGLE = 3;

inline constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

// Port configuration (52 bytes) around the line settings.
struct TCommConfig {
  uint32_t dwSize = 52;
  uint16_t wVersion = 1;
  uint16_t wReserved = 0;
  TDCB dcb;
  uint32_t dwProviderSubType = 1;  // PST_RS232
  uint32_t dwProviderOffset = 0;
  uint32_t dwProviderSize = 0;
  uint16_t wcProviderData[2] = {0, 0};
};
static_assert(sizeof(TCommConfig) == 52);

// Time-outs in milliseconds. With all zero a read waits for every requested
// byte and a write has no limit.
struct TCommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
  bool operator==(const TCommTimeouts&) const = default;
};
static_assert(sizeof(TCommTimeouts) == 20);

// Line status (12 bytes): hold flags, bytes in the input and output queues.
struct TComStat {
  uint32_t Flags = 0;
  uint32_t cbInQue = 0;
  uint32_t cbOutQue = 0;
};
static_assert(sizeof(TComStat) == 12);

// Port properties.
struct TCommProp {
  uint16_t wPacketLength = 0;
  uint16_t wPacketVersion = 0;
  uint32_t dwServiceMask = 0;
  uint32_t dwReserved1 = 0;
  uint32_t dwMaxTxQueue = 0;
  uint32_t dwMaxRxQueue = 0;
  uint32_t dwMaxBaud = 0;
  uint32_t dwProvSubType = 0;
  uint32_t dwProvCapabilities = 0;
  uint32_t dwSettableParams = 0;
  uint32_t dwSettableBaud = 0;
  uint16_t wSettableData = 0;
  uint16_t wSettableStopParity = 0;
  uint32_t dwCurrentTxQueue = 0;
  uint32_t dwCurrentRxQueue = 0;
  uint32_t dwProvSpec1 = 0;
  uint32_t dwProvSpec2 = 0;
  uint16_t wcProvChar[2] = {0, 0};
};
static_assert(sizeof(TCommProp) == 64);

// ---------------------------------------------------------------- bit values

// Comm events.
inline constexpr uint32_t EV_RXCHAR = 0x0001;
inline constexpr uint32_t EV_RXFLAG = 0x0002;
inline constexpr uint32_t EV_TXEMPTY = 0x0004;
inline constexpr uint32_t EV_CTS = 0x0008;
inline constexpr uint32_t EV_DSR = 0x0010;
inline constexpr uint32_t EV_RLSD = 0x0020;
inline constexpr uint32_t EV_BREAK = 0x0040;
inline constexpr uint32_t EV_ERR = 0x0080;
inline constexpr uint32_t EV_RING = 0x0100;
inline constexpr uint32_t EV_PERR = 0x0200;
inline constexpr uint32_t EV_RX80FULL = 0x0400;
inline constexpr uint32_t EV_EVENT1 = 0x0800;
inline constexpr uint32_t EV_EVENT2 = 0x1000;
// Not a line event: a write started by WriteAsync failed after it was
// accepted; TakeWriteError() tells why. Always reported, whatever the mask.
inline constexpr uint32_t EV_WRITEERROR = 0x80000000u;

// Line errors (ClearCommError).
inline constexpr uint32_t CE_RXOVER = 0x0001;
inline constexpr uint32_t CE_OVERRUN = 0x0002;
inline constexpr uint32_t CE_RXPARITY = 0x0004;
inline constexpr uint32_t CE_FRAME = 0x0008;
inline constexpr uint32_t CE_BREAK = 0x0010;

// Modem status.
inline constexpr uint32_t MS_CTS_ON = 0x10;
inline constexpr uint32_t MS_DSR_ON = 0x20;
inline constexpr uint32_t MS_RING_ON = 0x40;
inline constexpr uint32_t MS_RLSD_ON = 0x80;

// Purge.
inline constexpr uint32_t PURGE_TXABORT = 0x1;
inline constexpr uint32_t PURGE_RXABORT = 0x2;
inline constexpr uint32_t PURGE_TXCLEAR = 0x4;
inline constexpr uint32_t PURGE_RXCLEAR = 0x8;

// Escape functions.
enum class TEscape : uint32_t {
  SETXOFF = 1, SETXON = 2, SETRTS = 3, CLRRTS = 4, SETDTR = 5, CLRDTR = 6, SETBREAK = 8, CLRBREAK = 9
};

// ---------------------------------------------------------------- errors

enum class TSerialErrc {
  PortBusy = 1,      // another program holds the port
  NotATty,           // the path is not a terminal device
  NotSupported,      // the device cannot do what the line settings ask
  DeviceLost,        // hang-up or removal
  Cancelled,         // woken by a purge, CancelIo or close
  TimedOut,          // a write or drain ran past its deadline
  Closed,            // the device was closed
};
// Each error is equivalent to its errno condition (PortBusy to
// std::errc::device_or_resource_busy, TimedOut to std::errc::timed_out...).
const std::error_category& SerialCategory();
std::error_code make_error_code(TSerialErrc e);

}  // namespace qv::platform

template <>
struct std::is_error_code_enum<qv::platform::TSerialErrc> : std::true_type {};

namespace qv::platform {

// ---------------------------------------------------------------- device

// One open serial device. Every operation is safe to call from any thread;
// WaitCommEvent is meant for one waiting thread at a time. After Close every
// operation fails with TSerialErrc::Closed and a pending wait returns.
class TqvSerialDevice {
 public:
  virtual ~TqvSerialDevice() = default;

  virtual const std::string& Path() const = 0;
  // A number that identifies the open device (the descriptor for POSIX devices).
  virtual intptr_t NativeHandle() const = 0;

  virtual std::error_code GetCommState(TDCB& dcb) = 0;
  // Applies the line settings as one change; fields the device cannot honour
  // give NotSupported and change nothing.
  virtual std::error_code SetCommState(const TDCB& dcb) = 0;
  virtual std::error_code SetupComm(uint32_t inQueue, uint32_t outQueue) = 0;
  virtual std::error_code SetCommTimeouts(const TCommTimeouts& t) = 0;
  virtual std::error_code GetCommTimeouts(TCommTimeouts& t) = 0;
  // Events the device can report at all (EV_ bits); others are never raised.
  virtual uint32_t SupportedEvents() const = 0;
  // Sets the events a wait reports; a pending wait returns with mask 0.
  virtual std::error_code SetCommMask(uint32_t mask) = 0;
  // Blocks until an event of the mask happens (mask filled), until it is woken
  // by SetCommMask/WakeWait (mask 0), or until the device is lost or closed
  // (error). "Characters received" is reported once per arrival: the next
  // report waits for AckReceive, or for more bytes when the handler left some.
  virtual std::error_code WaitCommEvent(uint32_t& mask) = 0;
  virtual void WakeWait() = 0;
  // The handler is done with an EV_RXCHAR report; `leftQueued` is how many
  // bytes it saw and left in the input queue (0 when it read them all).
  virtual void AckReceive(uint32_t leftQueued) = 0;

  // Blocking read of up to buf.size() bytes under the time-outs; `got` is what
  // arrived. Purge with PURGE_RXABORT, CancelIo or Close end it early.
  virtual std::error_code Read(std::span<uint8_t> buf, size_t& got) = 0;
  // Reads what is in the input queue now, up to buf.size() bytes; never waits.
  virtual std::error_code ReadAvailable(std::span<uint8_t> buf, size_t& got) = 0;
  // Blocking write of every byte under the write time-outs.
  virtual std::error_code Write(std::span<const uint8_t> data, size_t& written) = 0;
  // Copies the bytes and writes them in the background, after what is queued;
  // a later failure is reported by EV_WRITEERROR.
  virtual std::error_code WriteAsync(std::span<const uint8_t> data) = 0;
  virtual std::error_code TakeWriteError() = 0;
  // Sends one byte ahead of queued output.
  virtual std::error_code TransmitCommChar(uint8_t ch) = 0;

  // Line errors (CE_ bits) since the last call, and the queue counts.
  virtual std::error_code ClearCommError(uint32_t& errors, TComStat& stat) = 0;
  virtual std::error_code PurgeComm(uint32_t flags) = 0;
  virtual void CancelIo() = 0;
  virtual std::error_code EscapeCommFunction(TEscape fn) = 0;
  // MS_ bits; an error when the device has no modem lines (a pseudo-terminal).
  virtual std::error_code GetCommModemStatus(uint32_t& status) = 0;
  virtual std::error_code GetCommProperties(TCommProp& prop) = 0;
  // Waits until all output has left the device, at most `timeout` (0: no limit).
  // Output that a failed background write dropped since the device last took
  // a write never leaves: the drain then fails with that write's error.
  virtual std::error_code Drain(std::chrono::milliseconds timeout) = 0;

  virtual void Close() = 0;
};

using TqvSerialDevicePtr = std::shared_ptr<TqvSerialDevice>;

struct TqvSerialOpenResult {
  TqvSerialDevicePtr Device;  // empty on failure
  std::error_code Error;
  std::string Message;        // readable text of the failure
};

// Opens a device by path: OpenPosixSerial, or a test's in-memory device.
using TqvSerialOpener = std::function<TqvSerialOpenResult(const std::string& path)>;

// Opens a tty (a real port or a pseudo-terminal) exclusively.
TqvSerialOpenResult OpenPosixSerial(const std::string& path);
// Another process has the device at `path` open, as /proc tells it. (This
// process's own ports are told apart by their flock.)
bool HeldByAnotherProcess(const std::string& path);
// Takes over an already open descriptor (closed by the device).
TqvSerialOpenResult AdoptPosixSerial(int fd, const std::string& path);

}  // namespace qv::platform

QV_API_END
