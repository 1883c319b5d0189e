// A GSM component on a real TqvComm over the modem simulator's pseudo-
// terminal, with helpers that pump the main-thread dispatcher while they wait.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <stdio.h>
#include <cstdio>
#include <stdlib.h>
#include <unistd.h>

#include "qvclasses.h"
#include "qvcomm.h"
#include "qvgsm.h"
#include "qvtext.h"
#include "platform/qvdispatcher.h"
#include "qvmemorylog.h"
#include "../tools/qvsim.h"

namespace qvgsmtest {

// Pumps the dispatcher until `done` holds or `ms` passed; the result of `done`.
inline bool PumpUntil(const std::function<bool()>& done, int ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return done();
    qv::platform::PumpFor(10);
  }
  return true;
}
inline void PumpFor(int ms) {
  PumpUntil([] { return false; }, ms);
}

// How often `needle` occurs in `hay` (a transcript).
inline size_t Count(const std::string& hay, std::string_view needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

struct TRigOptions {
  std::string persona = "generic";
  const qvsim::Persona* personaData = nullptr;  // a persona of the test's own, used instead of `persona`
  qvsim::SimulatorOptions sim;
  bool autodetect = true;
  int driver = -1;            // with autodetect off
  uint32_t timeout = 600;     // TimeOut of the component
  TgsmNewSmsMode mode = TgsmNewSmsMode::nsmNotifyOnly;
  std::u16string pin;
  bool useMainThread = true;  // the port's UseMainThread
  bool open = true;           // open the port in the constructor
  bool waitInit = true;       // and wait for OnAfterInit

  TRigOptions& Persona(std::string v) { persona = std::move(v); return *this; }
  TRigOptions& Timeout(uint32_t v) { timeout = v; return *this; }
  TRigOptions& Driver(int v) { autodetect = false; driver = v; return *this; }
  TRigOptions& Mode(TgsmNewSmsMode v) { mode = v; return *this; }
  TRigOptions& Pin(std::u16string v) { pin = std::move(v); return *this; }
  TRigOptions& SimPin(std::string v, qvsim::PinState st) { sim.pin = std::move(v); sim.pinState = st; return *this; }
  TRigOptions& Deferred() { open = false; return *this; }
  TRigOptions& Link(std::string v) { sim.link = std::move(v); return *this; }
  TRigOptions& ReceiveThread() { useMainThread = false; return *this; }
};

class TGsmRig {
 public:
  explicit TGsmRig(TRigOptions o = {}) : opt(std::move(o)) {
    sim = opt.personaData ? std::make_unique<qvsim::Simulator>(*opt.personaData, opt.sim)
                          : std::make_unique<qvsim::Simulator>(opt.persona, opt.sim);
    comm = std::make_unique<TqvComm>();
    comm->SetDevicePath(qv::Utf8ToString(sim->DevicePath()));
    comm->SetUseMainThread(opt.useMainThread);
    comm->SetBaudRate(115200);
    gsm = std::make_unique<TqvGsm>();
    gsm->SetLog(&log);
    gsm->SetTimeOut(opt.timeout);
    gsm->SetAutodetect(opt.autodetect);
    if (!opt.autodetect && opt.driver >= 0) gsm->SetDriverIndex(opt.driver);
    gsm->SetNewSmsMode(opt.mode);
    gsm->SetPIN(opt.pin);
    gsm->OnAfterInit = [this](TObject*) { ++afterInit_; };
    gsm->SetActive(true);
    comm->SetDataProcessor(gsm.get());
    if (opt.open) Open(opt.waitInit);
  }
  ~TGsmRig() {
    // What the test's handlers capture is gone by now, while closing may still
    // run events of the lane.
    if (comm->UseMainThread()) UnbindLaneEvents();
    Close();
    comm->SetDataProcessor(nullptr);
    gsm.reset();
    comm.reset();
    sim.reset();
  }

  // Opens the port (initialisation runs inside) and, when asked, waits for OnAfterInit.
  bool Open(bool waitInit = true) {
    const int before = afterInit_;
    comm->SetActive(true);
    if (!waitInit) return comm->Active();
    return PumpUntil([&] { return afterInit_ > before; }, 20000);
  }
  void Close() {
    if (comm && comm->Active()) comm->SetActive(false);
  }
  int AfterInitCount() const { return afterInit_; }

  void UnbindLaneEvents() {
    gsm->OnSmsSent = gsm->OnSmsListItem = nullptr;
    gsm->OnRing = gsm->OnGsmError = gsm->OnUnsolicited = gsm->OnUssd = nullptr;
    gsm->OnPhoneListFinish = gsm->OnGsmChangeState = gsm->OnSmsMemoryFull = nullptr;
    gsm->OnNetworkChange = nullptr;
    gsm->OnDiagnostic = nullptr;
  }

  std::unique_ptr<qvsim::Simulator> sim;
  qv::test::TqvMemoryLog log;
  std::unique_ptr<TqvComm> comm;
  std::unique_ptr<TqvGsm> gsm;
  TRigOptions opt;

 private:
  std::atomic<int> afterInit_{0};
};

// Runs /usr/bin/python3 with `script`; its standard output.
inline std::string RunPython(const std::string& script) {
  char path[] = "/tmp/qvgsm_py_XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) return {};
  (void)!::write(fd, script.data(), script.size());
  ::close(fd);
  std::string out;
  if (FILE* p = ::popen(("/usr/bin/python3 " + std::string(path)).c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  ::unlink(path);
  return out;
}

// Debian's gammu on a simulator's link: a configuration of its own in a
// temporary folder, removed with the object.
class TGammu {
 public:
  TGammu() {
    char dir[] = "/tmp/qvgsm_gammu_XXXXXX";
    if (::mkdtemp(dir)) fDir = dir;
    std::FILE* rc = std::fopen((fDir + "/gammurc").c_str(), "w");
    if (rc) {
      std::fprintf(rc, "[gammu]\ndevice = %s\nconnection = at\n", Link().c_str());
      std::fclose(rc);
    }
  }
  ~TGammu() {
    ::unlink((fDir + "/gammurc").c_str());
    ::rmdir(fDir.c_str());
  }
  TGammu(const TGammu&) = delete;
  TGammu& operator=(const TGammu&) = delete;

  static bool Installed() { return ::access("/usr/bin/gammu", X_OK) == 0; }
  // Where the simulator keeps its link (SimulatorOptions::link).
  std::string Link() const { return fDir + "/modem"; }
  // Runs gammu with `args`, at most `seconds`; its output, standard error included.
  std::string Run(const std::string& args, int seconds = 60) const {
    std::string out;
    const std::string line = "timeout " + std::to_string(seconds) + " /usr/bin/gammu -c " + fDir + "/gammurc " + args +
                             " 2>&1";
    if (FILE* p = ::popen(line.c_str(), "r")) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
      ::pclose(p);
    }
    return out;
  }

 private:
  std::string fDir;
};

}  // namespace qvgsmtest
