// qvsms: the network, the message service centre and the SIM's codes:
// network, smsc, sim unblock, sim change-pin.
#include <CLI/CLI.hpp>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>

#include "qvsms_cli.h"
#include "qvsms_modem.h"
#include "qvsms_output.h"
#include "qvtext.h"

namespace qvsms {

namespace {

using qv::StringToUtf8;
using qv::Utf8ToString;

TJson OrNull(const std::string& s) { return s.empty() ? TJson(nullptr) : TJson(s); }

// ---------------------------------------------------------------------------
// Network

int Network(TContext& x) {
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  if (!g.UpdateNetworkInfo()) m.Fail("the network registration could not be read");
  const TNetworkInfo n = g.NetworkInfo();
  const std::string registration = StringToUtf8(RegistrationName(n.Registration));
  const std::string technology = StringToUtf8(TechnologyName(n.Technology));
  const std::string name = StringToUtf8(n.OperatorName), numeric = StringToUtf8(n.OperatorNumeric);
  if (x.Out().Json()) {
    x.Out().Object({{"registration", registration},
                    {"registered", n.Registered()},
                    {"technology", OrNull(technology)},
                    {"act", n.Technology < 0 ? TJson(nullptr) : TJson(n.Technology)},
                    {"operator", {{"name", OrNull(name)}, {"numeric", OrNull(numeric)}}}});
    return exDone;
  }
  x.Out().Line("network: " + StringToUtf8(DescribeNetwork(n)));
  return exDone;
}

// ---------------------------------------------------------------------------
// Service centre

struct TSmscArgs {
  std::string number;  // empty: read it
};

int Smsc(TContext& x, const TSmscArgs& a) {
  if (!a.number.empty())
    if (const std::u16string why = qv::gsm::CheckValue(qv::gsm::TValueKind::vkPhone, Utf8ToString(a.number));
        !why.empty())
      throw TCliError(exUsage, "\"" + a.number + "\": " + StringToUtf8(why));
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  if (!a.number.empty() && !g.SetServiceCentre(Utf8ToString(a.number)))
    m.Fail("the modem refused the service centre " + a.number);
  const auto centre = g.GetServiceCentre();
  if (!centre) m.Fail("the service centre could not be read");
  const std::string number = StringToUtf8(*centre);
  if (x.Out().Json())
    x.Out().Object({{"service_centre", OrNull(number)}, {"set", !a.number.empty()}});
  else
    x.Out().Line("service centre: " + (number.empty() ? std::string("none") : number));
  return exDone;
}

// ---------------------------------------------------------------------------
// SIM codes

// Where the codes come from: never the command line, where every user of the
// machine sees them in the process list.
constexpr const char* kCodesHelp =
    "Codes: --codes-file FILE holds lines NAME=CODE (PUK, NEW_PIN, PIN; blank lines and lines starting with # "
    "are skipped); a code the file does not give comes from the environment: QVSMS_PUK, QVSMS_NEW_PIN, and "
    "QVSMS_PIN or --pin-file for the current PIN. The codes are never printed or logged in clear.";

struct TSimArgs {
  std::string codesFile;
};

using TCodes = std::map<std::string, std::string>;

TCodes ReadCodesFile(const std::string& path) {
  TCodes codes;
  if (path.empty()) return codes;
  std::ifstream in(path);
  if (!in) throw TCliError(exUsage, "cannot read the codes file " + path);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    const std::string l(qv::TrimView(std::string_view(line)));
    if (l.empty() || l.front() == '#') continue;
    const size_t eq = l.find('=');
    const std::string name = eq == std::string::npos ? "" : std::string(qv::TrimView(std::string_view(l).substr(0, eq)));
    if (name != "PUK" && name != "NEW_PIN" && name != "PIN")
      throw TCliError(exUsage, path + " line " + std::to_string(n) + ": not PUK=, NEW_PIN= or PIN=");
    codes[name] = qv::TrimView(std::string_view(l).substr(eq + 1));
  }
  return codes;
}

// The code `name`: the file's, else the environment's; a usage error when
// neither gives one.
std::u16string Code(const TCodes& file, const std::string& name, const std::string& why) {
  std::string code;
  if (const auto it = file.find(name); it != file.end())
    code = it->second;
  else if (const char* env = std::getenv(("QVSMS_" + name).c_str()))
    code = qv::TrimView(std::string_view(env));
  if (code.empty())
    throw TCliError(exUsage, "no " + why + ": give " + name + "= in --codes-file or QVSMS_" + name);
  const std::u16string u = Utf8ToString(code);
  if (!qv::gsm::CheckValue(qv::gsm::TValueKind::vkPin, u).empty())
    throw TCliError(exUsage, "the " + why + " holds a character other than a digit");
  return u;
}

void PrintPinStatus(TContext& x, TCliGsm& g, const char* done) {
  const std::string status = StringToUtf8(TqvGsm::PinStatusName(g.PINStatus()));
  if (x.Out().Json())
    x.Out().Object({{"done", done}, {"pin", status}});
  else
    x.Out().Line(std::string(done) + "; the SIM is " + status);
}

int SimUnblock(TContext& x, const TSimArgs& a) {
  const TCodes file = ReadCodesFile(a.codesFile);
  const std::u16string puk = Code(file, "PUK", "PUK");
  const std::u16string pin = Code(file, "NEW_PIN", "new PIN");
  TModem& m = x.LockedModem();
  TCliGsm& g = m.Gsm();
  if (g.PINStatus() != TGsmPinStatus::pinPUK)
    throw TCliError(exRefused, "the SIM does not ask for its PUK (it is " +
                                   StringToUtf8(TqvGsm::PinStatusName(g.PINStatus())) + ")");
  if (!g.PINUnblock(puk, pin)) m.Fail("the SIM refused the PUK");
  PrintPinStatus(x, g, "unblocked");
  return exDone;
}

int SimChangePin(TContext& x, const TSimArgs& a) {
  if (!x.Options().pin.empty())
    throw TCliError(exUsage, "sim change-pin takes no --pin: give the current PIN with --codes-file, --pin-file or QVSMS_PIN");
  const TCodes file = ReadCodesFile(a.codesFile);
  std::u16string old;
  if (file.contains("PIN") || x.Options().pinFile.empty()) old = Code(file, "PIN", "current PIN");
  const std::u16string pin = Code(file, "NEW_PIN", "new PIN");
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  if (old.empty()) old = g.PIN();  // from --pin-file, which opened the SIM
  if (old.empty()) throw TCliError(exUsage, "no current PIN: give PIN= in --codes-file, --pin-file or QVSMS_PIN");
  if (!g.PINChange(old, pin)) m.Fail("the SIM refused the current PIN");
  PrintPinStatus(x, g, "changed");
  return exDone;
}

void AddCodesFile(CLI::App& c, TSimArgs& a) {
  c.add_option("--codes-file", a.codesFile, "A file of NAME=CODE lines: PUK, NEW_PIN, PIN")->type_name("FILE");
  c.footer(kCodesHelp);
}

}  // namespace

void AddNetworkCommands(TCommandTable& table) {
  table.push_back({"network", "Read the network registration, the access technology and the operator", nullptr,
                   [](TContext& x) { return Network(x); }});
  auto smsc = std::make_shared<TSmscArgs>();
  table.push_back({"smsc", "Read the message service centre, or set it",
                   [smsc](CLI::App& c) {
                     c.add_option("number", smsc->number, "The new service centre (international form: +491720000000)");
                   },
                   [smsc](TContext& x) { return Smsc(x, *smsc); }});
  auto unblock = std::make_shared<TSimArgs>();
  table.push_back({"sim unblock", "Unblock a SIM that asks for its PUK and give it a new PIN",
                   [unblock](CLI::App& c) { AddCodesFile(c, *unblock); },
                   [unblock](TContext& x) { return SimUnblock(x, *unblock); }});
  auto change = std::make_shared<TSimArgs>();
  table.push_back({"sim change-pin", "Change the SIM's PIN",
                   [change](CLI::App& c) { AddCodesFile(c, *change); },
                   [change](TContext& x) { return SimChangePin(x, *change); }});
}

}  // namespace qvsms
