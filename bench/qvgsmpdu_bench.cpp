// PDUs decoded and encoded per second, for a short single-part message and a
// full 153-septet part of a concatenated message. With libgammu present
// (pkg-config gammu) the same PDUs go through its codec too, from and to the
// same hex text, so the figures compare like with like.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "qvgsmpdu.h"
#include "qvtext.h"

#ifdef QV_BENCH_GAMMU
#include <gammu.h>
#endif

namespace {

const std::u16string kFullText = [] {
  std::u16string t;
  while (t.size() < 200) t += u"The quick brown fox jumps over the lazy dog. ";
  return t;
}();

// Outgoing records: a short message and part 1 of a two-part message.
TqvPduSms MakeSubmit(bool full) {
  TqvPduSms sms(false);
  sms.SetPhone(u"+12345678901");
  sms.SetAutoCutText(true);
  sms.SetPartId(0x42);
  sms.SetText(full ? kFullText : u"hello");
  return sms;
}

// The same messages as received: SMS-DELIVER with a service centre and a stamp.
std::u16string MakeDeliverPdu(bool full) {
  TqvPduSms source = MakeSubmit(full);
  TqvPduSms sms(true);
  sms.Assign(&source);
  sms.SetAutoCutText(true);
  sms.SetPartId(0x42);
  sms.SetText(source.Text());
  sms.SetServiceCenter(u"+31624000000");
  sms.SetDateTime(qv::PduDateTime({2008, 3, 25, 14, 30, 5, 0}));
  return sms.AsPDU();
}

void BM_QvDecode(benchmark::State& state) {
  const std::u16string pdu = MakeDeliverPdu(state.range(0) != 0);
  TqvPduSms sms(true);
  for (auto _ : state) {
    sms.SetAsPDU(pdu);
    benchmark::DoNotOptimize(sms.Text().data());
  }
  if (sms.Error() || sms.Text().empty()) state.SkipWithError("decoding failed");
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) ? "153 septets" : "short");
}
BENCHMARK(BM_QvDecode)->Arg(0)->Arg(1);

void BM_QvEncode(benchmark::State& state) {
  TqvPduSms sms = MakeSubmit(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(sms.AsPDU());
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) ? "153 septets" : "short");
}
BENCHMARK(BM_QvEncode)->Arg(0)->Arg(1);

#ifdef QV_BENCH_GAMMU

std::vector<unsigned char> HexToBytes(std::u16string_view hex) {
  std::vector<unsigned char> out(hex.size() / 2);
  for (size_t i = 0; i < out.size(); ++i) out[i] = qv::HexToOctet(hex, 2 * i + 1);
  return out;
}

std::u16string BytesToHex(const unsigned char* data, size_t n) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xF]);
  }
  return out;
}

void BM_GammuDecode(benchmark::State& state) {
  const std::u16string pdu = MakeDeliverPdu(state.range(0) != 0);
  GSM_SMSMessage sms;
  GSM_Error error = ERR_NONE;
  for (auto _ : state) {
    const std::vector<unsigned char> bytes = HexToBytes(pdu);
    size_t end = 0;
    error = GSM_DecodePDUFrame(GSM_GetGlobalDebug(), &sms, bytes.data(), bytes.size(), &end, TRUE);
    benchmark::DoNotOptimize(sms.Text);
  }
  if (error != ERR_NONE) state.SkipWithError("libgammu could not decode");
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) ? "153 septets" : "short");
}
BENCHMARK(BM_GammuDecode)->Arg(0)->Arg(1);

void BM_GammuEncode(benchmark::State& state) {
  TqvPduSms source = MakeSubmit(state.range(0) != 0);
  const std::vector<unsigned char> bytes = HexToBytes(source.AsPDU());
  GSM_SMSMessage sms;
  size_t end = 0;
  if (GSM_DecodePDUFrame(GSM_GetGlobalDebug(), &sms, bytes.data(), bytes.size(), &end, TRUE) != ERR_NONE) {
    state.SkipWithError("libgammu could not read the message");
    return;
  }
  unsigned char frame[400];
  GSM_Error error = ERR_NONE;
  for (auto _ : state) {
    int length = 0;
    error = GSM_EncodeSMSFrame(GSM_GetGlobalDebug(), &sms, frame, PHONE_SMSSubmit, &length, TRUE);
    benchmark::DoNotOptimize(BytesToHex(frame, static_cast<size_t>(length)));
  }
  if (error != ERR_NONE) state.SkipWithError("libgammu could not encode");
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(state.range(0) ? "153 septets" : "short");
}
BENCHMARK(BM_GammuEncode)->Arg(0)->Arg(1);

#endif

}  // namespace

BENCHMARK_MAIN();
