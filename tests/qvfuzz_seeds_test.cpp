// Seeds for the fuzz targets that play the modem (fuzz/qvfuzz_modem.h): the
// scenarios of qvatprocessor_fuzz and qvgsmcomponent_fuzz run against the
// simulator, and its transcript becomes an input, reply by reply.
//
// Always: two models, checked to give inputs the targets can use. With
// QV_FUZZ_SEED_DIR set, every model, and the inputs are written to
// $QV_FUZZ_SEED_DIR/<target>/<persona>; the committed seeds under
// fuzz/corpus/ were made so:
//   QV_FUZZ_SEED_DIR=$PWD/fuzz/corpus build/dev/tests/qvfuzz_seeds_test
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "../fuzz/qvfuzz_modem.h"
#include "qvcomm.h"
#include "qvgsmrig.h"
#include "qvmodeldrivers.h"

using namespace qvgsmtest;
using qvsim::Transcript;

namespace {

constexpr char kPduStored[] = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";
constexpr char kPduDirect[] = "00040B911346610089F60000208062917314080CC8F71D14969741F977FD07";
constexpr char kStatusReport[] = "000624" "0B911346610089F6" "2080629173140820806291731408" "00";

// The modem's output as the targets play it back: a new chunk at each line
// the host sent, holding what the modem wrote until the next one. From
// `unasked` on, modem output that follows modem output is a chunk of its
// own, as the targets deliver what is left one chunk at a time.
std::vector<std::string> Chunks(const std::vector<Transcript::Entry>& entries, size_t unasked) {
  std::vector<std::string> chunks;
  bool afterLine = false;
  for (size_t i = 0; i < entries.size(); ++i) {
    const bool line = entries[i].direction == Transcript::Direction::ToModem;
    if (line || chunks.empty() || (i >= unasked && !afterLine)) chunks.emplace_back();
    if (!line) chunks.back() += entries[i].bytes;
    afterLine = line;
  }
  return chunks;
}

// The notifications of the targets' last part, each once the one before was written.
void InjectNotifications(qvsim::Simulator& sim) {
  const auto settle = [&] {
    sim.WaitOutputIdle();
    PumpFor(150);
  };
  sim.InjectSms(kPduStored, qvsim::SmsRoute::Store);
  settle();
  sim.InjectSms(kPduDirect, qvsim::SmsRoute::Deliver);
  settle();
  sim.InjectStatusReport(kStatusReport, qvsim::SmsRoute::Deliver);
  settle();
  qvsim::UssdAnswer ussd;
  ussd.delay = std::chrono::milliseconds(0);
  sim.InjectUssd(ussd);
  settle();
  sim.InjectRing("+491701234567", 1);
  settle();
}

// What the GSM component target does: the initialisation, a listing, a send,
// then the notifications.
std::string GsmSeed(int driver) {
  const auto& persona = qvsim::Personas()[static_cast<size_t>(driver)];
  TGsmRig rig(TRigOptions().Persona(persona.id).Driver(driver).Timeout(800));
  EXPECT_EQ(rig.AfterInitCount(), 1) << persona.id;
  rig.gsm->SmsList(true);
  (void)rig.gsm->SmsSendWaitRefID(qvfuzz::kSendPhone, qvfuzz::kSendText, true);
  PumpUntil([&] { return !rig.gsm->IsBusy(); });
  rig.sim->WaitOutputIdle();
  const size_t unasked = rig.sim->GetTranscript().Entries().size();
  InjectNotifications(*rig.sim);
  PumpUntil([&] { return !rig.gsm->IsBusy(); });
  return qvfuzz::MakeInput(static_cast<uint8_t>(driver), Chunks(rig.sim->GetTranscript().Entries(), unasked));
}

class TSeedProcessor : public TqvCustomATProcessor {
 public:
  ~TSeedProcessor() override { FreeAsyncTimer(); }
  int32_t CommandIdOf(const TATCommand& entry) override { return qv::gsm::CommandIdOfName(entry.fName); }
  void QueueFinished() override { ++Ends; }
  void QueueStopped(qv::TLineOutcome /*why*/) override { ++Ends; }
  using TqvCustomATProcessor::SendAhead;
  std::atomic<int> Ends{0};
};

// What the AT processor target does: its queue, an acknowledgement and a
// line of a waiting caller, then the notifications.
std::string ProcessorSeed(int driver) {
  const auto& persona = qvsim::Personas()[static_cast<size_t>(driver)];
  const auto& model = qv::kModelDrivers[static_cast<size_t>(driver)];
  qvsim::Simulator sim(persona.id);
  TqvComm comm;
  comm.SetDevicePath(qv::Utf8ToString(sim.DevicePath()));
  comm.SetBaudRate(115200);
  comm.SetUseMainThread(true);
  TSeedProcessor proc;
  proc.SetTimeOut(800);
  EXPECT_NE(proc.AddDriverFromResource(std::u16string(model.Caption), model.Script), nullptr);
  proc.SetDriverIndex(0);
  proc.SetActive(true);
  comm.SetDataProcessor(&proc);
  comm.SetActive(true);
  sim.WaitOutputIdle();
  sim.GetTranscript().Clear();  // the seeds start with the targets' first line

  for (int32_t id : qvfuzz::kProcessorQueue) proc.EnqueueCommand(id);
  proc.StartQueue();
  EXPECT_TRUE(PumpUntil([&] { return proc.Ends > 0; }, 20000)) << persona.id;
  proc.SendAhead({"AT+CNMA\r"});
  (void)proc.SendAndWait("AT\r");
  sim.WaitOutputIdle();
  const size_t unasked = sim.GetTranscript().Entries().size();
  InjectNotifications(sim);
  comm.SetActive(false);
  comm.SetDataProcessor(nullptr);
  return qvfuzz::MakeInput(static_cast<uint8_t>(driver), Chunks(sim.GetTranscript().Entries(), unasked));
}

void Save(const char* dir, const std::string& target, const std::string& persona, const std::string& input) {
  const std::filesystem::path folder = std::filesystem::path(dir) / target;
  std::filesystem::create_directories(folder);
  std::ofstream(folder / persona, std::ios::binary) << input;
}

// An input the targets can use: the model's driver, a reply to every line,
// and the notifications among the chunks.
void ExpectUsable(const std::string& input, int driver, size_t minLines) {
  const qvfuzz::TModemInput in = qvfuzz::ParseInput(input);
  EXPECT_EQ(in.Driver, driver);
  EXPECT_GE(in.Chunks.size(), minLines);
  for (const char* mark : {"+CMTI:", "+CMT:", "+CDS:", "+CUSD:", "RING"})
    EXPECT_NE(input.find(mark), std::string::npos) << mark;
}

}  // namespace

TEST(FuzzSeeds, SimulatorTranscriptsBecomeTargetInputs) {
  const char* dir = std::getenv("QV_FUZZ_SEED_DIR");
  std::vector<int> drivers;
  if (dir)
    for (size_t i = 0; i < qv::kModelDrivers.size(); ++i) drivers.push_back(static_cast<int>(i));
  else
    drivers = {0, static_cast<int>(qv::kModelDrivers.size()) - 1};
  for (int driver : drivers) {
    const std::string persona = qvsim::Personas()[static_cast<size_t>(driver)].id;
    SCOPED_TRACE(persona);
    const std::string gsm = GsmSeed(driver);
    ExpectUsable(gsm, driver, 12);
    const std::string proc = ProcessorSeed(driver);
    ExpectUsable(proc, driver, 6);
    if (dir) {
      Save(dir, "qvgsmcomponent_fuzz", persona, gsm);
      Save(dir, "qvatprocessor_fuzz", persona, proc);
    }
  }
}
