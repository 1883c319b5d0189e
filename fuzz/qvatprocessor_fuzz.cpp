// Whatever the modem says while a queue runs: the AT command processor, on
// a built-in driver picked by the input's first byte, must end every line
// (by its reply, an error or its time-out) and the queue, on a device that
// answers inline and a clock the harness moves; no thread is started.
// Input format: qvfuzz_modem.h.
//
// Loading a driver costs more than most inputs, so one processor with every
// built-in driver serves all inputs, on a new device each time: opening it
// starts the processor afresh.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "qvatcmd.h"
#include "qvfuzz_modem.h"
#include "qvmodeldrivers.h"

namespace {

// More clock advances than any queue of kProcessorQueue needs to end: a
// queue that is still running after them hangs.
constexpr int kMaxAdvances = 256;

class TFuzzProcessor : public TqvCustomATProcessor {
 public:
  TFuzzProcessor() {
    SetManualClock();
    SetLog(&fSink);
    for (const qv::TqvModelDriver& model : qv::kModelDrivers)
      if (!AddDriverFromResource(std::u16string(model.Caption), model.Script)) std::abort();
    SetActive(true);
  }
  ~TFuzzProcessor() override {
    FreeAsyncTimer();
    SetLog(nullptr);
  }
  int32_t CommandIdOf(const TATCommand& entry) override { return qv::gsm::CommandIdOfName(entry.fName); }
  void QueueFinished() override {
    ++QueueEnds;
    TqvCustomATProcessor::QueueFinished();
  }
  void QueueStopped(qv::TLineOutcome /*why*/) override { ++QueueEnds; }
  // A notification that is acknowledged ahead of the queue, as the GSM component does.
  using TqvCustomATProcessor::SendAhead;

  int QueueEnds = 0;

 private:
  qvfuzz::TqvSinkLog fSink;
};

void Check(bool ok) {
  if (!ok) std::abort();
}

// A line owed its final result keeps it until another line wants to go; any
// other hold on the slot ends by a clock.
bool SlotHeldByClock(qv::TReplyState s) {
  using enum qv::TReplyState;
  return s == rsAwaitingReply || s == rsFinalGrace || s == rsLineGap;
}

// Long enough for any line, its owed final and the gap to end.
uint32_t LongestWait(const TFuzzProcessor& proc) { return proc.TimeOut() + proc.FinalGrace() + proc.LineGap() + 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qvfuzz::TModemInput in = qvfuzz::ParseInput(std::string_view(reinterpret_cast<const char*>(data), size));
  static TFuzzProcessor proc;
  qvfuzz::TqvPlaybackDevice device(std::move(in.Chunks));
  proc.SetDriverIndex(in.Driver % proc.DriverCount());
  proc.QueueEnds = 0;
  device.SetDataProcessor(&proc);
  device.OpenDevice();

  for (int32_t id : qvfuzz::kProcessorQueue) proc.EnqueueCommand(id);
  proc.StartQueue();
  for (int n = 0; n < kMaxAdvances && proc.QueueEnds == 0; ++n) proc.AdvanceClock(proc.TimeOut());
  Check(proc.QueueEnds > 0);

  // A caller's line, with an acknowledgement asked for meanwhile, then the rest unasked.
  proc.SendAhead({"AT+CNMA\r"});
  (void)proc.SendAndWait("AT\r");
  while (device.DeliverNext()) proc.AdvanceClock(proc.FinalGrace());
  proc.AdvanceClock(LongestWait(proc));
  Check(!SlotHeldByClock(proc.ReplyState()));
  Check(proc.ATState() == TatInternalState::atIdle);

  device.CloseDevice();
  return 0;
}
