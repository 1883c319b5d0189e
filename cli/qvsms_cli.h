// qvsms: what the tool's modules share. The command table (each command's
// path, help, options and run function), the global options, the exit codes,
// and the failures that end the program with one of them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace qvsms {

// The exit codes the README documents.
enum TExitCode : int {
  exDone = 0,
  exRefused = 1,  // the modem or the network refused, with its error
  exUsage = 2,
  exOpen = 3,     // the modem could not be opened, or another program holds it
  exTimeout = 4,
};

// Ends the program with `code` and one line on standard error.
class TCliError : public std::runtime_error {
 public:
  TCliError(int code, const std::string& message) : std::runtime_error(message), fCode(code) {}
  int Code() const { return fCode; }

 private:
  int fCode;
};

// Ctrl-C or SIGTERM arrived: the program ends with 128 + the signal, quietly.
struct TInterrupted {
  int Signal;
};

struct TGlobalOptions {
  std::string device;      // --device PATH
  int port = 0;            // --port N (the port table)
  std::string driver;      // --driver CAPTION
  std::string driverFile;  // --driver-file PATH
  uint32_t baud = 115200;
  double timeout = 7;      // seconds a modem line may take
  std::string log;
  std::string logLevel = "detail";
  std::string pinFile;
  std::string pin;
  bool json = false;
};

class TOutput;
class TModem;
class TInterrupt;

// What a command runs with. The modem is opened on the first call of Modem();
// commands that work without one never open it.
class TContext {
 public:
  TContext(const TGlobalOptions& options, TOutput& out, TInterrupt& interrupt);
  ~TContext();
  const TGlobalOptions& Options() const { return fOptions; }
  TOutput& Out() { return fOut; }
  TInterrupt& Interrupt() { return fInterrupt; }
  // How new messages reach the tool: stored and read (the default), or
  // delivered directly. Takes effect when the modem is opened.
  enum class TDelivery { dlStored, dlDirect };
  TModem& Modem(TDelivery delivery = TDelivery::dlStored);
  // The modem even when its SIM waits for the PUK: what unblocking needs.
  TModem& LockedModem();
  // Throws TInterrupted once a signal came.
  void CheckInterrupt() const;

 private:
  TModem& OpenModem(TDelivery delivery, bool acceptPuk);

  const TGlobalOptions& fOptions;
  TOutput& fOut;
  TInterrupt& fInterrupt;
  std::unique_ptr<TModem> fModem;
};

// One command of the table: "identify", "sms send". A command adds its own
// options (bound to state its functions share) and returns its exit code.
struct TCommand {
  std::string path;
  std::string help;
  std::function<void(CLI::App&)> options;
  std::function<int(TContext&)> run;
};
using TCommandTable = std::vector<TCommand>;

// The families of commands; a new one is a function here and a line in the
// table builder (qvsms_app.cpp).
void AddDeviceCommands(TCommandTable& table);
void AddSmsCommands(TCommandTable& table);
void AddPduCommands(TCommandTable& table);
void AddVoiceCommands(TCommandTable& table);
void AddBookCommands(TCommandTable& table);
void AddNetworkCommands(TCommandTable& table);

// Parses the command line and runs the command; the exit code.
int RunTool(int argc, char** argv, TInterrupt& interrupt);

}  // namespace qvsms
