// qvsms: one modem session. The port (named, or the default one), a check
// that a modem answers at all, the driver (chosen or detected), the PIN, the
// log, and the initialisation; then the GSM component for the commands. A
// failure becomes the exit code it stands for.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "qvcomm.h"
#include "qvgsm.h"
#include "qvlogfile.h"
#include "qvsms_cli.h"

namespace qvsms {

// The GSM component, telling how its last line ended.
class TCliGsm : public TqvGsm {
 public:
  bool LastLineTimedOut() const;
  // The final result line of the last line's error reply ("+CME ERROR: 3").
  std::string LastErrorLine() const;
};

// A message (or status report) the modem announced; its record when it was
// read or delivered with it.
struct TIncoming {
  std::u16string memory;
  int32_t index = 0;
  std::optional<TqvPduSms> sms;
};

class TModem {
 public:
  TModem(const TGlobalOptions& options, TInterrupt& interrupt);
  ~TModem();
  TModem(const TModem&) = delete;
  TModem& operator=(const TModem&) = delete;

  // Opens the port, checks that a modem answers, and initialises it. With
  // `acceptPuk` a SIM that waits for its PUK ends the initialisation without
  // a failure.
  void Open(TContext::TDelivery delivery, bool acceptPuk = false);

  TCliGsm& Gsm() { return *fGsm; }
  TqvComm& Comm() { return *fComm; }
  std::string DeviceName();
  // Seconds a line may take.
  double Timeout() const { return fOptions.timeout; }

  // The operation that just failed, as the exit code it stands for: a time-out
  // (4), a port that went away (3), or the modem's or the network's refusal
  // (1), with the component's LastError, else `what`.
  [[noreturn]] void Fail(const std::string& what);
  // Pumps the main thread until `done` holds (true) or `seconds` passed
  // (false). Throws TInterrupted on a signal.
  bool PumpUntil(const std::function<bool()>& done, double seconds);
  void CheckInterrupt() const;

  // What the modem announced since the last call, oldest first.
  std::vector<TIncoming> TakeIncoming();
  bool HasIncoming();
  // The record of message `index` in `memory`, read now; empty when the slot is.
  TqvPduSms Read(const std::u16string& memory, int32_t index);
  // Deletes message `index` in `memory`; false when the modem refused.
  bool Delete(const std::u16string& memory, int32_t index);

  // From now on the component's log is `file`, at debug level, unless --log named one.
  void LogTo(const std::string& file);

 private:
  void SetUpLog();
  void AttachLog(const std::string& file, TDetailLevel level);
  void SelectPort();
  void OpenPort();
  void Probe();
  void SelectDriver();
  std::u16string Pin() const;
  void Initialise(bool acceptPuk);
  void UnbindEvents();

  const TGlobalOptions& fOptions;
  TInterrupt& fInterrupt;
  std::unique_ptr<TqvLogFile> fLog;
  std::unique_ptr<TqvComm> fComm;
  std::unique_ptr<TCliGsm> fGsm;
  std::atomic<bool> fInitialised{false};

  std::mutex fInboxMutex;
  std::deque<TIncoming> fInbox;
};

// The driver index for --driver (a built-in caption, letter case ignored);
// a usage error naming the choices when there is none.
int32_t DriverByCaption(const TqvGsm& gsm, const std::string& caption);

}  // namespace qvsms
