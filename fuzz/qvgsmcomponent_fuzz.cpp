// Whatever the modem says through the GSM component's initialisation, a
// listing, a send with its prompt, and then unasked (notifications: +CMTI,
// +CMT with its PDU, +CDS, +CUSD, RING, +CLIP): every operation ends, on a
// device that answers inline and a clock the harness moves. The messages a
// notification brings are decoded on the component's workers, which are
// joined before the input ends. Input format: qvfuzz_modem.h.
//
// Loading the built-in drivers is most of the cost of a component, so one
// component serves every input, on a new device each time: opening it starts
// the component afresh, as a real modem's reopening does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/qvdispatcher.h"
#include "qvfuzz_modem.h"
#include "qvgsm.h"

namespace {

// More clock advances than any operation of the component needs to end.
constexpr int kMaxAdvances = 256;

class TFuzzGsm : public TqvGsm {
 public:
  TFuzzGsm() {
    SetManualClock();
    SetLog(&fSink);
    SetAutodetect(false);
    OnSmsReceived = [](TObject*, const std::u16string&, int32_t, TqvPduSms* sms) { Touch(sms); };
    OnSmsListItem = [](TObject*, const std::u16string&, int32_t, TqvPduSms* sms) { Touch(sms); };
    OnSmsSent = [](TObject*, const std::u16string&, int32_t, TqvPduSms* sms) { Touch(sms); };
    SetActive(true);
  }
  ~TFuzzGsm() override { SetLog(nullptr); }
  bool QueueRunning() const {
    auto guard = Guard();
    return fQueueActive;
  }
  void JoinWorkers() { ReapWorkers(true); }

 private:
  static void Touch(const TqvPduSms* sms) {
    if (sms) (void)(sms->Text().size() + sms->Phone().size() + sms->ReportText().size());
  }
  qvfuzz::TqvSinkLog fSink;
};

void Check(bool ok) {
  if (!ok) std::abort();
}

// Runs the component's events and moves its clock on until no queue runs;
// then the workers of the notifications end (a worker's own exchange finds
// the component free).
void Settle(TFuzzGsm& gsm) {
  for (int n = 0; n < kMaxAdvances && gsm.QueueRunning(); ++n) {
    qv::platform::ProcessMessages();
    gsm.AdvanceClock(gsm.TimeOut());
  }
  Check(!gsm.QueueRunning());
  gsm.JoinWorkers();
  qv::platform::ProcessMessages();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qvfuzz::TModemInput in = qvfuzz::ParseInput(std::string_view(reinterpret_cast<const char*>(data), size));
  static TFuzzGsm gsm;
  qvfuzz::TqvPlaybackDevice device(std::move(in.Chunks));
  gsm.SetDriverIndex(in.Driver % gsm.DriverCount());
  device.SetDataProcessor(&gsm);

  device.OpenDevice();  // the initialisation starts
  Settle(gsm);
  gsm.SmsList(false);
  Settle(gsm);
  gsm.SmsSend(qvfuzz::kSendPhone, qvfuzz::kSendText, true);
  Settle(gsm);
  while (device.DeliverNext()) Settle(gsm);

  device.CloseDevice();
  Settle(gsm);
  return 0;
}
