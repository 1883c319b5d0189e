// Port discovery, the serial plug-and-play probe and saved configurations of
// the serial port.
#include <algorithm>
#include <cstring>
#include <map>
#include <thread>

#include "platform/qvatprobe.h"
#include "qvcomm.h"
#include "qvsysutils.h"
#include "qvwin32.h"
#include "qvwin32di.h"
#include "qvtext.h"

namespace pf = qv::platform;

namespace {

std::u16string Upper(std::u16string s) {
  for (auto& c : s)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  return s;
}

bool StartsWith(std::u16string_view s, std::u16string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::u16string WithDescription(const std::u16string& name, const std::u16string& description) {
  return description.empty() ? name : name + u" (" + description + u")";
}

// The caption's text in parentheses: the description, the interface number
// when the USB device has more than one port, and the probe's finding.
using TPortCounts = std::map<std::u16string, int>;  // ports per USB device

std::u16string Details(const TqvDevice& pnp, const TPortCounts& ports) {
  std::u16string text = pnp.Description;
  auto add = [&text](const std::u16string& part) { text += (text.empty() ? u"" : u", ") + part; };
  const auto it = ports.find(pnp.InstanceIdParent);
  if (pnp.UsbInterface >= 0 && it != ports.end() && it->second > 1) add(u"interface " + qv::IntToStr(pnp.UsbInterface));
  if (pnp.AtAnswer == TqvAtAnswer::aaAnswers) add(u"answers AT");
  return text;
}

TqvAtAnswer AnswerOf(pf::TAtProbe probe) {
  switch (probe) {
    case pf::TAtProbe::apAnswers: return TqvAtAnswer::aaAnswers;
    case pf::TAtProbe::apSilent: return TqvAtAnswer::aaSilent;
    case pf::TAtProbe::apHeld: return TqvAtAnswer::aaHeld;
    case pf::TAtProbe::apSkipped: break;
  }
  return TqvAtAnswer::aaNotProbed;
}

// Probes every USB port at once (each probe waits for its own answer).
void ProbeUsbPorts(std::vector<std::unique_ptr<TqvDevice>>& pnp) {
  std::vector<std::thread> probes;
  for (auto& r : pnp) {
    if (r->InstanceIdParent.empty()) continue;  // no USB device behind it
    TqvDevice* d = r.get();
    probes.emplace_back([d] { d->AtAnswer = AnswerOf(pf::ProbeAt(qv::StringToUtf8(d->NamePDO))); });
  }
  for (auto& t : probes) t.join();
}

// What a matched or leftover plug-and-play record gives a listed device.
void CopyPnp(TqvDevice& d, const TqvDevice& pnp) {
  d.PortName = std::u16string(qv::TrimView(pnp.PortName));
  d.Description = pnp.Description;
  d.Service = pnp.Service;
  d.Driver = pnp.Driver;
  d.Manufacturer = pnp.Manufacturer;
  d.RegKey = pnp.RegKey;
  d.SerialNumber = pnp.SerialNumber;
  d.NameSymbolic = pnp.NameSymbolic;
  d.InstanceIdParent = pnp.InstanceIdParent;
  d.DiskNumber = pnp.DiskNumber;
  d.UsbInterface = pnp.UsbInterface;
  d.AtAnswer = pnp.AtAnswer;
}

// ---- the saved configuration: 49 bytes
//   0  2  port number, little-endian 16-bit (the whole number)
//   2 28  line settings (the DCB record, little-endian fields)
//  30 19  reserved, zero
constexpr size_t kConfigSize = 49;

void Put16(std::string& b, size_t at, uint16_t v) {
  b[at] = char(v & 0xFF);
  b[at + 1] = char(v >> 8);
}
void Put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = char((v >> (8 * i)) & 0xFF);
}
uint16_t Get16(std::string_view b, size_t at) { return uint16_t(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8); }
uint32_t Get32(std::string_view b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | uint8_t(b[at + i]);
  return v;
}

std::string PackConfig(uint16_t portNo, const pf::TDCB& d) {
  std::string b(kConfigSize, '\0');
  Put16(b, 0, portNo);
  Put32(b, 2, d.DCBlength);
  Put32(b, 6, d.BaudRate);
  Put32(b, 10, d.Flags);
  Put16(b, 14, d.wReserved);
  Put16(b, 16, d.XonLim);
  Put16(b, 18, d.XoffLim);
  b[20] = char(d.ByteSize);
  b[21] = char(d.Parity);
  b[22] = char(d.StopBits);
  b[23] = char(d.XonChar);
  b[24] = char(d.XoffChar);
  b[25] = char(d.ErrorChar);
  b[26] = char(d.EofChar);
  b[27] = char(d.EvtChar);
  Put16(b, 28, d.wReserved1);
  return b;
}

pf::TDCB UnpackDcb(std::string_view b) {
  pf::TDCB d;
  d.DCBlength = Get32(b, 2);
  d.BaudRate = Get32(b, 6);
  d.Flags = Get32(b, 10);
  d.wReserved = Get16(b, 14);
  d.XonLim = Get16(b, 16);
  d.XoffLim = Get16(b, 18);
  d.ByteSize = uint8_t(b[20]);
  d.Parity = uint8_t(b[21]);
  d.StopBits = uint8_t(b[22]);
  d.XonChar = uint8_t(b[23]);
  d.XoffChar = uint8_t(b[24]);
  d.ErrorChar = uint8_t(b[25]);
  d.EofChar = uint8_t(b[26]);
  d.EvtChar = uint8_t(b[27]);
  d.wReserved1 = Get16(b, 28);
  return d;
}

// Settings no port can take are not loaded (rather than handed to the device).
bool UsableDcb(const pf::TDCB& d) {
  return d.BaudRate != 0 && d.ByteSize >= 5 && d.ByteSize <= 8 && d.Parity <= pf::SPACEPARITY &&
         d.StopBits <= pf::TWOSTOPBITS;
}

}  // namespace

// ---------------------------------------------------------------------------
// The device list, in the EnumPorts depth:
//   epQuickAll    the port-name list alone ("COM1");
//   epFullInfo    each port matched with its plug-and-play record ("COM101 (maker product)"),
//                 plus plug-and-play ports the list lacks;
//   epFullPresent the same, but only ports whose device is present.
void TqvCustomSerialComm::DeviceListLoad() {
  const bool quick = fEnumPorts == TqvEnumPorts::epQuickAll;
  const bool presentOnly = fEnumPorts == TqvEnumPorts::epFullPresent;
  std::vector<std::unique_ptr<TqvDevice>> pnp;
  if (!quick) pnp = qv::EnumPnpDevices(presentOnly);
  if (!quick && fProbeAT) ProbeUsbPorts(pnp);
  TPortCounts usbPorts;
  for (const auto& r : pnp)
    if (!r->InstanceIdParent.empty()) ++usbPorts[r->InstanceIdParent];

  TqvStringItems ports;
  GetComPortList(ports, true, qv::DeviceRoots());
  for (const auto& entry : ports) {
    const size_t eq = entry.Text.find(u'=');
    const std::u16string name(qv::TrimView(std::u16string_view(entry.Text).substr(0, eq)));
    auto d = std::make_unique<TqvDevice>();
    d->NameFriendly = d->NameDeviceDos = d->PortName = name;
    d->NamePDO = eq == std::u16string::npos ? std::u16string() : entry.Text.substr(eq + 1);
    d->Data = entry.Object;
    if (!quick) {
      const std::u16string upper = Upper(name);
      auto match = std::find_if(pnp.begin(), pnp.end(), [&](const auto& r) {
        return Upper(r->PortName) == upper || r->Description.find(u"(" + name + u")") != std::u16string::npos;
      });
      if (match != pnp.end()) {
        CopyPnp(*d, **match);
        d->NameFriendly = WithDescription(name, Details(**match, usbPorts));
        d->DevInst = (*match)->DevInst;
        d->InstanceId = (*match)->InstanceId;
        pnp.erase(match);
      } else if (presentOnly) {
        continue;
      }
    }
    DeviceInsert(d);  // a number already listed keeps its first device
  }
  if (quick) return;
  int32_t counter = 4096;
  for (const auto& r : pnp) {
    const std::u16string portName(qv::TrimView(r->PortName));
    if (portName.empty() || StartsWith(Upper(portName), u"LPT")) continue;
    auto d = std::make_unique<TqvDevice>();
    CopyPnp(*d, *r);
    d->NameFriendly = WithDescription(r->PortName, Details(*r, usbPorts));
    d->NameDeviceDos = r->PortName;
    d->NamePDO = r->NamePDO;
    d->Data = StartsWith(Upper(portName), u"COM") ? qv::StrToIntDef(portName.substr(3), 0) : ++counter;
    DeviceInsert(d);
  }
}

TqvDevice* FirstModemDevice(TqvCustomSerialComm& comm) {
  TqvDevice* usb = nullptr;
  for (int32_t i = 0; i < comm.DeviceCount(); ++i) {
    TqvDevice* d = comm.GetDevice(i);
    if (d->AtAnswer == TqvAtAnswer::aaAnswers) return d;
    if (!usb && !d->InstanceIdParent.empty()) usb = d;
  }
  return usb;
}

// ---------------------------------------------------------------------------
// The serial plug-and-play probe. Whatever happens, the port ends as it was:
// open or closed, with its own settings and trace states.
namespace {

class ProbeRestore {
 public:
  explicit ProbeRestore(TqvCustomSerialComm& c) : c_(c), wasActive_(c.Active()) {}
  ~ProbeRestore() {
    try {
      if (haveSettings_) {
        if (auto dev = c_.Device()) (void)dev->SetCommState(settings_);
        c_.SetTraceStates(traces_);
      }
      c_.SetActive(false);
      c_.SetActive(wasActive_);
    } catch (...) {
      // Restoring runs during unwinding too: nothing may leave here.
    }
  }
  void Keep(const pf::TDCB& settings, TTraceStates traces) {
    settings_ = settings;
    traces_ = traces;
    haveSettings_ = true;
  }

 private:
  TqvCustomSerialComm& c_;
  bool wasActive_;
  bool haveSettings_ = false;
  pf::TDCB settings_;
  TTraceStates traces_;
};

constexpr uint32_t kProbeWaitMs = 200;
// An identifier is at most a few dozen bytes; a device that keeps sending
// without an end byte must not hold the caller for ever.
constexpr size_t kMaxPnpString = 256;

}  // namespace

std::u16string TqvCustomSerialComm::GetPNPDeviceString() {
  std::u16string result;
  ProbeRestore restore(*this);
  SetActive(true);
  if (!IsOpen()) return result;

  ClearDeviceBuffers();
  SetStateDTR(true);
  SetStateRTS(false);
  if (!WaitForSignal(TModemSignal::msDSR, kProbeWaitMs)) {
    DoFatalError(1, 0, u"Device Connect Initialization Error");
    return result;
  }
  ApplyLineSettings();
  auto dev = Device();
  if (!dev) return result;
  restore.Keep(CommCfg.dcb, TraceStates());
  pf::TDCB probe = CommCfg.dcb;
  probe.BaudRate = 1200;
  probe.ByteSize = 7;
  probe.Parity = pf::NOPARITY;
  probe.StopBits = pf::ONESTOPBIT;
  (void)dev->SetCommState(probe);
  SetTraceStates({});

  SetStateDTR(false);
  SetStateRTS(false);
  pf::Sleep(kProbeWaitMs);
  SetStateDTR(true);
  pf::Sleep(kProbeWaitMs);
  SetStateRTS(true);
  bool any = WaitForBytes(1, kProbeWaitMs);
  if (!any) {
    SetStateDTR(false);
    SetStateRTS(false);
    pf::Sleep(kProbeWaitMs);
    SetStateDTR(true);
    SetStateRTS(true);
    any = WaitForBytes(1, kProbeWaitMs);
  }
  if (!any) return result;

  char c = 0;
  Read(std::span(&c, 1));
  const auto first = uint8_t(c);
  if (first != 0x08 && first != '(') return result;
  const uint8_t end = first == 0x08 ? 0x09 : ')';
  result += char16_t(first);
  while (result.size() < kMaxPnpString && WaitForBytes(1, kProbeWaitMs)) {
    Read(std::span(&c, 1));
    result += char16_t(uint8_t(c));
    if (uint8_t(c) == end) break;
  }
  return result;
}

// ---------------------------------------------------------------------------
// Saved configuration.

bool TqvCustomSerialComm::SaveConfig(const std::u16string& Root, const std::u16string& Key,
                                     const std::u16string& Name) {
  const qv::TqvRegRoot root = qv::RegRootFromName(Root);
  const std::string value = PackConfig(fComPortNo, CommCfg.dcb);
  if (root == qv::TqvRegRoot::rrNone || !qv::RegWriteBinary(root, Key, Name, value)) {
    DoFatalError(1, 0, u"Error on save config information from registry");
    return false;
  }
  WriteLog(TDetailLevel::dlDetail, u"Configuration was saved");
  return true;
}

// Loads only a value of exactly 49 bytes with usable settings; anything else
// (no key, no value, another size, impossible settings) changes nothing and is
// reported by a false result and the log line "Configuration was not loaded".
// Reading never creates the key.
bool TqvCustomSerialComm::LoadConfig(const std::u16string& Root, const std::u16string& Key,
                                     const std::u16string& Name) {
  const qv::TqvRegRoot root = qv::RegRootFromName(Root);
  if (root == qv::TqvRegRoot::rrNone) {
    DoFatalError(1, 0, u"Error on load config information from registry");
    return false;
  }
  const auto value = qv::RegReadBinary(root, Key, Name);
  if (!value || value->size() != kConfigSize || !UsableDcb(UnpackDcb(*value))) {
    WriteLog(TDetailLevel::dlDetail, u"Configuration was not loaded");
    return false;
  }
  SetComPortNo(Get16(*value, 0));  // an open port is closed and reopened
  CommCfg.dcb = UnpackDcb(*value);
  ApplyLineSettings();              // flow control from StreamProtocol/RS485Mode; written to an open port
  WriteLog(TDetailLevel::dlDetail, u"Configuration was loaded");
  return true;
}

// ---------------------------------------------------------------------------
// A device came or went: reload the list and tell the subscribers (code 3).
bool TqvCustomSerialComm::WMDeviceChange(const TqvDeviceChangeMsg& Msg) {
  return TqvBaseIO::WMDeviceChange(Msg);
}
