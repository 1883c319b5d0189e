// TqvGsm: SMS operations (send, wait for the result, read, delete, list,
// memory state).
#include <algorithm>

#include "qvgsm.h"
#include "qvgsm_internal.h"
#include "qvtext.h"

namespace pf = qv::platform;
using TDL = TDetailLevel;
using namespace qv::gsm;

namespace {

constexpr int kMaxParts = 255;
constexpr uint32_t kSendWaitMinMs = 10000;

// The PDU line of a message read: the line after "+CMGR:", or the second
// line of a reply of more than two lines; empty when there is none.
std::string PduLineOf(std::string_view reply) {
  const auto lines = qv::SplitLines(qv::TrimView(reply));
  for (size_t i = 0; i + 1 < lines.size(); ++i)
    if (qv::TrimView(lines[i]).starts_with("+CMGR:")) return std::string(qv::TrimView(lines[i + 1]));
  if (lines.size() > 2) return std::string(qv::TrimView(lines[1]));
  return {};
}

}  // namespace

// ---------------------------------------------------------------------------
// Sending

void TqvGsm::SetLastSent(int32_t id, std::string ref) {
  std::lock_guard lk(fSmsMutex);
  fLastSentId = id;
  fLastSentRef = std::move(ref);
}

std::pair<int32_t, std::string> TqvGsm::LastSentResult() const {
  std::lock_guard lk(fSmsMutex);
  return {fLastSentId, fLastSentRef};
}

size_t TqvGsm::AwaitingCount() const {
  std::lock_guard lk(fSmsMutex);
  return slSmsFifo.size();
}

// A send that never started: the error is reported and a waiting caller
// wakes with failure; nothing was sent.
void TqvGsm::RefuseSend(const std::u16string& why) {
  WriteLog(TDL::dlDetail, u"Sms not sent: " + why);
  SetLastSent(3, {});
  hSmsSentEvent.Set();
  if (OnGsmError) OnGsmError(this, u"Sms not sent: " + why);
}

// A send that failed leaves no part awaiting a confirmation.
void TqvGsm::FailSend(uint64_t sendId) {
  {
    std::lock_guard lk(fSmsMutex);
    std::erase_if(slSmsFifo, [&](const TAwaiting& a) { return a.SendId == sendId; });
    fLastSentId = 3;
    fLastSentRef.clear();
  }
  hSmsSentEvent.Set();
}

void TqvGsm::SmsSend(TqvPduSms& aPDU) {
  if (const auto why = CheckValue(TValueKind::vkPhone, aPDU.Phone()); !why.empty()) return RefuseSend(why);
  aPDU.SetServiceCenter(u"");
  aPDU.SetIncoming(false);
  aPDU.SetPartId(static_cast<int32_t>(fIdMultiPartPDU++));
  std::vector<std::u16string> parts;
  if (aPDU.AutoCutText()) {
    if (aPDU.PartCount() > kMaxParts) return RefuseSend(u"the text needs more than 255 parts");
    for (int32_t n = 1; n <= std::max(1, aPDU.PartCount()); ++n) {
      aPDU.SetPartNumber(n);
      parts.push_back(aPDU.AsPDU());
    }
  } else {
    TqvPduSms probe(aPDU);  // how many parts the whole text needs
    probe.SetAutoCutText(true);
    probe.SetText(aPDU.Text());
    if (probe.PartCount() > 1) return RefuseSend(u"the text does not fit one message and AutoCutText is off");
    parts.push_back(aPDU.AsPDU());
  }
  if (aPDU.Error() || std::any_of(parts.begin(), parts.end(), [](const auto& p) { return p.empty(); }))
    return RefuseSend(u"the message cannot be encoded");
  hSmsSentEvent.Reset();
  if (!BeginQueue(stSending)) return RefuseSend(u"another exchange is running");
  {
    auto guard = Guard();
    std::lock_guard lk(fSmsMutex);
    const uint64_t id = ++fSendSeq;
    fRunningSend = id;
    fLastSendParts = static_cast<int>(parts.size());
    for (const auto& pdu : parts) {
      fTmpSMSPdu = pdu;
      fTmpSMSLength = static_cast<int32_t>(pdu.size() / 2) - 1;
      slSmsFifo.push_back({pdu, id});
      EnqueueCommand(gsmSendSMSPdu);
    }
  }
  RunQueue();
}

void TqvGsm::SmsSend(const std::u16string& aPhone, const std::u16string& aText, bool aConfirm) {
  TqvPduSms sms(false);
  sms.SetPhone(aPhone);
  sms.SetAutoCutText(true);
  sms.SetText(aText);
  sms.SetDateTime(qv::PduDateTime([] {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return qv::TqvDateParts{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0};
  }()));
  sms.SetConfirm(aConfirm);
  SmsSend(sms);
}

void TqvGsm::Send() { SmsSend(fPhoneNumber, fText, false); }

// Long enough for every part of the last send: each part is three lines,
// each with its own time-out.
uint32_t TqvGsm::SendWaitMs() const {
  int parts;
  {
    std::lock_guard lk(fSmsMutex);
    parts = std::max(1, fLastSendParts);
  }
  return std::max<uint32_t>(kSendWaitMinMs, static_cast<uint32_t>(parts) * 3 * TimeOut() + TimeOut());
}

bool TqvGsm::SmsSendWait() {
  TDepthScope wait(tWaitDepth);
  const uint32_t ms = SendWaitMs();
  const uint32_t start = pf::GetTickCount();
  bool signalled = false;
  // Ends early when the device closes with nothing left to wait for.
  while (!signalled && pf::TicksSince(start) < ms) {
    signalled = pf::WaitPumping(hSmsSentEvent, 50);
    if (!signalled && !IsDeviceOpen() && AwaitingCount() == 0) break;
  }
  return signalled && LastSentResult().first == 0;
}

std::u16string TqvGsm::SmsSendWaitRefID(const std::u16string& aPhone, const std::u16string& aText, bool aConfirm) {
  WriteLogFmt(TDL::dlDebug, u"SmsSendWaitRefID (\"%s\" , \"%s\", %u) ... ",
              {aPhone, aText, uint64_t(aConfirm ? 1 : 0)});
  SmsSend(aPhone, aText, aConfirm);
  WriteLog(TDL::dlDebug, u"... wait reply SmsSendWaitRefID ... ");
  const std::u16string r = SmsSendWait() ? qv::BytesToString(LastSentResult().second) : std::u16string();
  WriteLogFmt(TDL::dlDebug, u"... SmsSendWaitRefID done: %s", {r});
  return r;
}

std::u16string TqvGsm::SmsSendWaitRefID(TqvPduSms& aPDU) {
  WriteLog(TDL::dlDebug, u"SmsSendWaitRefID(PDU) ... ");
  SmsSend(aPDU);
  WriteLog(TDL::dlDebug, u"... wait reply SmsSendWaitRefID(pdu) ... ");
  const std::u16string r = SmsSendWait() ? qv::BytesToString(LastSentResult().second) : std::u16string();
  WriteLogFmt(TDL::dlDebug, u"... SmsSendWaitRefID (pdu) done: %s ", {r});
  return r;
}

// ---------------------------------------------------------------------------
// Reading, deleting, memories

// Reads message `index` into `into` under the turn; `mem` replaces the read
// memory for this read only.
bool TqvGsm::ReadMessage(int index, const std::optional<std::u16string>& mem, TqvPduSms& into) {
  TTurnGuard turn(*this, u"read");
  into.Clear();
  if (!turn) return false;
  TDepthScope wait(tWaitDepth);
  {
    std::lock_guard lk(fInfoMutex);
    fTmpMemRead = mem;
  }
  fTmpSMSId = index;
  PushState(stReading);
  bool ok = TqvCustomATProcessor::RunCommand(gsmSMSReadPDU);
  std::string pdu;
  if (ok) {
    auto guard = Guard();
    pdu = PduLineOf(ReplyLast().sData);
  }
  if (!pdu.empty()) into.SetAsPDU(qv::AnsiToString(pdu));
  RemoveState(stReading);
  std::lock_guard lk(fInfoMutex);
  fTmpMemRead.reset();
  return ok && !pdu.empty();
}

TqvPduSms& TqvGsm::SmsGet(int Index) {
  {
    std::lock_guard lk(fInfoMutex);
    if (fMemoryRead.empty()) fMemoryRead = u"SM";
  }
  ReadMessage(Index, std::nullopt, fPduSms);
  return fPduSms;
}

std::u16string TqvGsm::SmsGetText(int Index) { return SmsGet(Index).Text(); }

bool TqvGsm::SmsDelete(int aIndex) {
  TTurnGuard turn(*this, u"delete");
  if (!turn) return false;
  TDepthScope wait(tWaitDepth);
  fTmpSMSId = aIndex;
  return TqvCustomATProcessor::RunCommand(gsmSMSDelete);
}

bool TqvGsm::UpdateMemoryStateFor(const std::u16string& mem) {
  TTurnGuard turn(*this, u"memory state");
  if (!turn) return false;
  TDepthScope wait(tWaitDepth);
  {
    std::lock_guard lk(fInfoMutex);
    fTmpMemRead = mem;
  }
  const bool ok = TqvCustomATProcessor::RunCommand(gsmSetSMSMem);
  if (ok) {
    auto guard = Guard();
    ParseMemoryState(ReplyLast().sDataUseful, true);
  }
  std::lock_guard lk(fInfoMutex);
  fTmpMemRead.reset();
  return ok;
}

void TqvGsm::UpdateMemoryState() {
  TTurnGuard turn(*this, u"memory state");
  if (!turn) return;
  TDepthScope wait(tWaitDepth);
  if (!TqvCustomATProcessor::RunCommand(gsmSetSMSMem)) return;
  auto guard = Guard();
  ParseMemoryState(ReplyLast().sDataUseful, true);
}

// ---------------------------------------------------------------------------
// Listing

// Waits for the listing queue to end; items arriving keep it going, since
// each one re-arms the queue's time-out.
bool TqvGsm::WaitListingEnd() {
  TDepthScope wait(tWaitDepth);
  while (!pf::WaitPumping(fQueueEndEvent, 50)) {
    auto guard = Guard();
    if (!fQueueActive || fQueueState != stListing) break;
  }
  return true;
}

// Both forms run the listing as a queue, so that a long store is listed whole;
// the waiting form returns at its end and raises no end mark.
void TqvGsm::SmsList(bool flWait, TSmsStatus status) {
  if (!BeginQueue(stListing)) return;
  {
    auto guard = Guard();
    fGetSmsListStatus = status;
    fListWaiting = flWait;
    fLastListTick = pf::GetTickCount();
    EnqueueCommand(gsmSMSList);
  }
  RunQueue();
  if (flWait) WaitListingEnd();
}
