// qvsms: the commands about the modem itself: ports, drivers, identify,
// signal, battery, a raw AT command and the diagnostic.
#include <CLI/CLI.hpp>

#include <memory>

#include "qvsms_cli.h"
#include "qvsms_modem.h"
#include "qvsms_output.h"
#include "qvsms_ports.h"
#include "qvtext.h"

namespace qvsms {

namespace {

using qv::StringToUtf8;

TJson OrNull(const std::string& s) { return s.empty() ? TJson(nullptr) : TJson(s); }
TJson Count(int32_t n) { return n < 0 ? TJson(nullptr) : TJson(n); }

// Key and value pairs for people, the keys aligned.
void PrintFacts(TOutput& out, const std::vector<std::pair<std::string, std::string>>& facts) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& [k, v] : facts) rows.push_back({k + ":", v.empty() ? "-" : v});
  out.Table(rows);
}

// ---------------------------------------------------------------------------

struct TPortsArgs {
  bool noProbe = false;
};

std::string OrDash(const std::string& s) { return s.empty() ? "-" : s; }

int Ports(TContext& x, const TPortsArgs& a) {
  const std::vector<TPortInfo> ports = DiscoverPorts(!a.noProbe);
  TJson list = TJson::array();
  std::vector<std::vector<std::string>> rows{{"PORT", "DEVICE", "DESCRIPTION", "IF", "AT", "DRIVER", "DEFAULT", "LINK"}};
  for (const TPortInfo& p : ports) {
    list.push_back({{"port", p.number ? TJson(p.number) : TJson(nullptr)},
                    {"device", p.device},
                    {"link", OrNull(p.link)},
                    {"name", p.name},
                    {"description", OrNull(p.description)},
                    {"manufacturer", OrNull(p.manufacturer)},
                    {"serial", OrNull(p.serial)},
                    {"driver", OrNull(p.driver)},
                    {"usb", p.usb},
                    {"interface", p.usbInterface >= 0 ? TJson(p.usbInterface) : TJson(nullptr)},
                    {"at", OrNull(p.at)},
                    {"default", p.isDefault}});
    rows.push_back({p.number ? std::to_string(p.number) : "-", p.device, OrDash(p.description),
                    p.usbInterface >= 0 ? std::to_string(p.usbInterface) : "-", OrDash(p.at), OrDash(p.driver),
                    p.isDefault ? "*" : "", p.link});
  }
  if (x.Out().Json())
    x.Out().Object({{"ports", list}});
  else if (ports.empty())
    x.Out().Line("no serial ports found");
  else
    x.Out().Table(rows);
  return exDone;
}

int Drivers(TContext& x) {
  TqvGsm gsm;
  TJson list = TJson::array();
  std::vector<std::vector<std::string>> rows{{"INDEX", "DRIVER"}};
  for (int32_t i = 0; i < gsm.DriverCount(); ++i) {
    const std::string caption = StringToUtf8(gsm.GetDriver(i)->Caption());
    list.push_back({{"index", i}, {"caption", caption}});
    rows.push_back({std::to_string(i), caption});
  }
  if (x.Out().Json())
    x.Out().Object({{"drivers", list}});
  else
    x.Out().Table(rows);
  return exDone;
}

TJson MemoryJson(const std::u16string& name, int32_t used, int32_t total) {
  return {{"name", name.empty() ? TJson(nullptr) : TJson(StringToUtf8(name))}, {"used", Count(used)}, {"total", Count(total)}};
}

std::string MemoryText(const std::u16string& name, int32_t used, int32_t total) {
  if (name.empty()) return "-";
  std::string s = StringToUtf8(name);
  if (used >= 0 && total >= 0) s += " (" + std::to_string(used) + " of " + std::to_string(total) + ")";
  return s;
}

int Percent(int32_t quality, int32_t max) { return max > 0 ? quality * 100 / max : 0; }

int Identify(TContext& x) {
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  const std::string driver = StringToUtf8(g.Driver()->Caption());
  const std::string pin = StringToUtf8(TqvGsm::PinStatusName(g.PINStatus()));
  if (x.Out().Json()) {
    x.Out().Object({{"device", m.DeviceName()},
                    {"driver", driver},
                    {"manufacturer", OrNull(StringToUtf8(g.DeviceManufacturer()))},
                    {"model", OrNull(StringToUtf8(g.DeviceName()))},
                    {"revision", OrNull(StringToUtf8(g.DeviceVersion()))},
                    {"imei", OrNull(StringToUtf8(g.DeviceIMEI()))},
                    {"imsi", OrNull(StringToUtf8(g.DeviceIMSI()))},
                    {"pin", pin},
                    {"memories",
                     {{"read", MemoryJson(g.MemoryRead(), g.MemReadUsed(), g.MemReadTotal())},
                      {"write", MemoryJson(g.MemoryWrite(), g.MemWriteUsed(), g.MemWriteTotal())},
                      {"receive", MemoryJson(g.MemorySpecial(), g.MemSpecUsed(), g.MemSpecTotal())}}},
                    {"signal",
                     {{"quality", g.SignalQuality()},
                      {"max", g.SignalQualityMax()},
                      {"percent", Percent(g.SignalQuality(), g.SignalQualityMax())}}},
                    {"battery", {{"level", g.BatteryLevel()}, {"charging", g.BatteryIsCharging()}}}});
    return exDone;
  }
  PrintFacts(x.Out(), {{"device", m.DeviceName()},
                       {"driver", driver},
                       {"manufacturer", StringToUtf8(g.DeviceManufacturer())},
                       {"model", StringToUtf8(g.DeviceName())},
                       {"revision", StringToUtf8(g.DeviceVersion())},
                       {"IMEI", StringToUtf8(g.DeviceIMEI())},
                       {"IMSI", StringToUtf8(g.DeviceIMSI())},
                       {"PIN", pin},
                       {"read memory", MemoryText(g.MemoryRead(), g.MemReadUsed(), g.MemReadTotal())},
                       {"write memory", MemoryText(g.MemoryWrite(), g.MemWriteUsed(), g.MemWriteTotal())},
                       {"receive memory", MemoryText(g.MemorySpecial(), g.MemSpecUsed(), g.MemSpecTotal())},
                       {"signal", std::to_string(Percent(g.SignalQuality(), g.SignalQualityMax())) + " %"},
                       {"battery", std::to_string(g.BatteryLevel()) + " %" + (g.BatteryIsCharging() ? ", charging" : "")}});
  return exDone;
}

int Signal(TContext& x) {
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  g.UpdateSignalInfo();
  if (!g.LastError().empty()) m.Fail("the signal could not be read");
  const int32_t q = g.SignalQuality(), max = g.SignalQualityMax();
  if (x.Out().Json())
    x.Out().Object({{"quality", q}, {"max", max}, {"percent", Percent(q, max)}});
  else
    x.Out().Line("signal " + std::to_string(Percent(q, max)) + " % (" + std::to_string(q) + " of " + std::to_string(max) + ")");
  return exDone;
}

int Battery(TContext& x) {
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  g.UpdateBatteryInfo();
  if (!g.LastError().empty()) m.Fail("the battery could not be read");
  if (x.Out().Json())
    x.Out().Object({{"level", g.BatteryLevel()}, {"charging", g.BatteryIsCharging()}});
  else
    x.Out().Line("battery " + std::to_string(g.BatteryLevel()) + " %" + (g.BatteryIsCharging() ? ", charging" : ""));
  return exDone;
}

// ---------------------------------------------------------------------------

struct TAtArgs {
  std::string command;
};

// The lines of a reply, without blank lines and the echo of the command.
std::vector<std::string> ReplyLines(const std::string& reply, const std::string& command) {
  std::vector<std::string> lines;
  for (std::string_view line : qv::SplitLines(std::string_view(reply))) {
    const std::string l(qv::TrimView(line));
    if (!l.empty() && l != command) lines.push_back(l);
  }
  return lines;
}

bool IsErrorResult(const std::string& line) {
  for (const char* e : {"ERROR", "+CME ERROR", "+CMS ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE"})
    if (line.starts_with(e)) return true;
  return false;
}

int At(TContext& x, const TAtArgs& a) {
  const std::string& cmd = a.command;
  if (cmd.size() < 2 || (cmd[0] != 'A' && cmd[0] != 'a') || (cmd[1] != 'T' && cmd[1] != 't') ||
      cmd.find_first_of("\r\n") != std::string::npos)
    throw TCliError(exUsage, "the command must be one line that starts with AT");
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  const std::u16string reply = g.CmdSendAndWaitResult(qv::StringToAnsi(qv::Utf8ToString(cmd)) + "\r");
  std::vector<std::string> lines = ReplyLines(StringToUtf8(reply), cmd);
  if (lines.empty()) {
    const std::string final = g.LastErrorLine();
    if (final.empty()) m.Fail("no reply to " + cmd);
    lines.push_back(final);
  }
  const std::string result = lines.back();
  if (x.Out().Json())
    x.Out().Object({{"command", cmd}, {"lines", lines}, {"result", result}});
  else
    for (const auto& l : lines) x.Out().Line(l);
  if (IsErrorResult(result)) throw TCliError(exRefused, cmd + ": " + result);
  return exDone;
}

struct TDiagArgs {
  std::string file = "qvsms-diag.log";
};

int Diag(TContext& x, const TDiagArgs& a) {
  TModem& m = x.Modem();
  m.LogTo(a.file);
  const std::string file = x.Options().log.empty() ? a.file : x.Options().log;
  TCliGsm& g = m.Gsm();
  TJson exchanges = TJson::array();
  bool ended = false;
  g.OnDiagnostic = [&](TObject*, const std::u16string& at, const std::u16string& reply, bool&) {
    if (at.empty() && reply.empty()) {
      ended = true;
      return;
    }
    exchanges.push_back({{"command", StringToUtf8(at)}, {"reply", StringToUtf8(qv::TrimView(std::u16string_view(reply)))}});
  };
  g.RunDiagnostic();
  const bool started = g.LastError().empty();
  const bool done = started && m.PumpUntil([&] { return ended; }, m.Timeout() * 100);
  g.OnDiagnostic = nullptr;
  if (!done || !g.LastError().empty()) m.Fail("the diagnostic failed");
  if (x.Out().Json())
    x.Out().Object({{"file", file}, {"exchanges", exchanges}});
  else
    x.Out().Line("diagnostic: " + std::to_string(exchanges.size()) + " exchanges, written to " + file);
  return exDone;
}

}  // namespace

void AddDeviceCommands(TCommandTable& table) {
  auto ports = std::make_shared<TPortsArgs>();
  table.push_back({"ports",
                   "List the serial ports present, asking each USB port that no program holds whether it answers "
                   "AT; * marks the one used when none is named",
                   [ports](CLI::App& c) {
                     c.add_flag("--no-probe", ports->noProbe, "Send nothing to any port: only list them");
                   },
                   [ports](TContext& x) { return Ports(x, *ports); }});
  table.push_back({"drivers", "List the built-in modem drivers (--driver takes their captions)", nullptr,
                   [](TContext& x) { return Drivers(x); }});
  table.push_back({"identify", "Open the modem and tell what it is", nullptr,
                   [](TContext& x) { return Identify(x); }});
  table.push_back({"signal", "Read the signal quality", nullptr, [](TContext& x) { return Signal(x); }});
  table.push_back({"battery", "Read the battery level", nullptr, [](TContext& x) { return Battery(x); }});
  auto at = std::make_shared<TAtArgs>();
  table.push_back({"at", "Send one raw AT command and print its reply",
                   [at](CLI::App& c) { c.add_option("command", at->command, "The command, such as 'AT+CSQ'")->required(); },
                   [at](TContext& x) { return At(x, *at); }});
  auto diag = std::make_shared<TDiagArgs>();
  table.push_back({"diag", "Run the driver's diagnostic and write every exchange into a log file",
                   [diag](CLI::App& c) {
                     c.add_option("file", diag->file, "The log file (--log, when given, is used instead)")
                         ->capture_default_str();
                   },
                   [diag](TContext& x) { return Diag(x, *diag); }});
}

}  // namespace qvsms
