// qvsms: the global options, the command tree built from the command table,
// parsing, and running the chosen command.
#include <CLI/CLI.hpp>

#include <iostream>
#include <map>

#include "qvsms_cli.h"
#include "qvsms_output.h"
#include "qvsms_signals.h"
#include "qvgsm.h"

#ifndef QV_PROJECT_VERSION
#define QV_PROJECT_VERSION "0.0.0"
#endif

namespace qvsms {

namespace {

constexpr const char* kAbout =
    "qvsms drives a GSM modem or mobile phone on a serial port: it sends, lists, reads, deletes and "
    "watches SMS (long messages shown whole), sends USSD codes, reads and writes the phone book, places and "
    "answers calls (with their state and tones), reads signal, battery, the network and the service centre, "
    "unblocks the SIM and changes its PIN, and sends raw AT commands. "
    "With --json every command prints JSON.";

constexpr const char* kFooter =
    "Exit status: 0 done; 1 the modem or the network refused (with its error); 2 usage; 3 the modem "
    "could not be opened or is held by another program; 4 time-out; 130 or 143 after Ctrl-C or "
    "SIGTERM.\n"
    "Environment: QVSMS_PIN, the SIM's PIN when neither --pin nor --pin-file gives one; QVSMS_PUK and "
    "QVSMS_NEW_PIN, the codes of sim unblock and sim change-pin when --codes-file gives none.";

// The groups of commands with more than one word.
const std::map<std::string, std::string> kGroups = {
    {"sms", "Send, list, read, delete and watch short messages"},
    {"phonebook", "List, export and import a phone book"},
    {"pdu", "Decode and encode SMS PDUs (no modem needed)"},
    {"sim", "Unblock the SIM with its PUK, change its PIN (codes from a file or the environment)"},
};

TCommandTable BuildTable() {
  TCommandTable table;
  AddDeviceCommands(table);
  AddSmsCommands(table);
  AddVoiceCommands(table);
  AddNetworkCommands(table);
  AddBookCommands(table);
  AddPduCommands(table);
  return table;
}

void AddGlobalOptions(CLI::App& app, TGlobalOptions& g) {
  app.add_option("--device", g.device, "The modem's device (a tty path, a /dev/serial/by-id link)")
      ->type_name("PATH");
  app.add_option("--port", g.port, "The modem's port number (101 = /dev/ttyUSB0, 201 = /dev/ttyACM0, 1 = /dev/ttyS0)")
      ->check(CLI::Range(1, 500))
      ->excludes("--device");
  app.add_option("--driver", g.driver, "A built-in driver by its caption, letter case ignored (default: detect)")
      ->type_name("NAME");
  app.add_option("--driver-file", g.driverFile, "A driver script to use instead of the built-in ones")
      ->type_name("PATH")
      ->excludes("--driver");
  app.add_option("--baud", g.baud, "Line speed")->capture_default_str()->check(CLI::Range(300, 4000000));
  app.add_option("--timeout", g.timeout, "Seconds a modem command may take")->capture_default_str()->check(CLI::Range(0.1, 600.0));
  app.add_option("--log", g.log, "Trace everything sent and received into FILE")->type_name("FILE");
  app.add_option("--log-level", g.logLevel, "How much the log holds")
      ->capture_default_str()
      ->check(CLI::IsMember({"simple", "detail", "debug"}));
  app.add_option("--pin-file", g.pinFile, "Read the SIM's PIN from the first line of FILE")->type_name("FILE");
  app.add_option("--pin", g.pin, "The SIM's PIN (it shows in the process list: prefer --pin-file or QVSMS_PIN)");
  app.add_flag("--json", g.json, "Print JSON: one object, or one per line for sms watch; errors too");
}

// Builds the subcommands of the table; the App of each command, by path.
std::vector<CLI::App*> AddCommands(CLI::App& app, const TCommandTable& table) {
  std::map<std::string, CLI::App*> groups;
  std::vector<CLI::App*> apps;
  for (const TCommand& c : table) {
    CLI::App* parent = &app;
    std::string name = c.path;
    if (const size_t space = c.path.find(' '); space != std::string::npos) {
      const std::string group = c.path.substr(0, space);
      CLI::App*& g = groups[group];
      if (!g) {
        g = app.add_subcommand(group, kGroups.at(group));
        g->require_subcommand(1);
      }
      parent = g;
      name = c.path.substr(space + 1);
    }
    CLI::App* sub = parent->add_subcommand(name, c.help);
    if (c.options) c.options(*sub);
    apps.push_back(sub);
  }
  return apps;
}

bool HasArgument(int argc, char** argv, std::string_view arg) {
  for (int i = 1; i < argc; ++i)
    if (arg == argv[i]) return true;
  return false;
}

// The tool's help and then each command's, whole: what the manual page is made of.
void PrintAllHelp(const CLI::App& app, const TCommandTable& table, const std::vector<CLI::App*>& apps) {
  std::cout << app.help();
  for (size_t i = 0; i < table.size(); ++i) {
    const std::string& path = table[i].path;
    const size_t space = path.rfind(' ');
    std::cout << "\n" << apps[i]->help(space == std::string::npos ? "qvsms" : "qvsms " + path.substr(0, space));
  }
}

int RunCommand(const TCommand& command, const TGlobalOptions& g, TInterrupt& interrupt) {
  TOutput out(g.json);
  int code = exDone;
  {
    TContext context(g, out, interrupt);
    try {
      code = command.run(context);
    } catch (const TCliError& e) {
      out.Error(e.Code(), e.what());
      code = e.Code();
    } catch (const TInterrupted&) {
    } catch (const EqvError& e) {
      out.Error(exRefused, e.what());
      code = exRefused;
    }
  }  // the port is closed and released here
  if (const int s = interrupt.Signal()) return 128 + s;
  return code;
}

}  // namespace

int RunTool(int argc, char** argv, TInterrupt& interrupt) {
  CLI::App app(kAbout, "qvsms");
  app.set_version_flag("--version", std::string("qvsms ") + QV_PROJECT_VERSION);
  bool helpAll = false;  // seen before parsing: a command with required arguments must not stop it
  app.add_flag("--help-all", helpAll, "Print the help of every command");
  app.require_subcommand(1);
  app.fallthrough();  // the global options may follow the command

  TGlobalOptions g;
  AddGlobalOptions(app, g);
  const TCommandTable table = BuildTable();
  const std::vector<CLI::App*> apps = AddCommands(app, table);
  app.footer(kFooter);  // after the commands, which would each repeat it
  if (HasArgument(argc, argv, "--help-all")) {
    PrintAllHelp(app, table, apps);
    return exDone;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // Told before the options are known.
    TOutput(HasArgument(argc, argv, "--json")).Error(exUsage, std::string(e.what()) + " (qvsms --help tells more)");
    return exUsage;
  }
  for (size_t i = 0; i < table.size(); ++i)
    if (apps[i]->parsed()) return RunCommand(table[i], g, interrupt);
  return exUsage;  // require_subcommand makes this unreachable
}

}  // namespace qvsms
