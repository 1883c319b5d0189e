// TqvGsm: SMS operations (send, wait for the result, read, delete, list,
// memory state).
#include <algorithm>
#include <ctime>
#include <thread>

#include "qvgsm.h"
#include "qvgsm_internal.h"
#include "qvtext.h"

namespace pf = qv::platform;
using TDL = TDetailLevel;
using namespace qv::gsm;

namespace {

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

// The <stat> of the "+CMGR:" head; empty when there is none.
std::string StatOf(std::string_view reply) {
  for (const auto line : qv::SplitLines(reply))
    if (const auto head = qv::TrimView(line); head.starts_with("+CMGR:"))
      return qv::ExtractField(head.substr(6), 1);
  return {};
}

// The octets of the service centre address: the value of a PDU's first octet.
int32_t ServiceCentreOctets(std::u16string_view pdu) {
  if (pdu.size() < 2) return 0;
  return static_cast<int32_t>(std::stoul(qv::StringToAnsi(pdu.substr(0, 2)), nullptr, 16));
}

}  // namespace

// ---------------------------------------------------------------------------
// Sends and their outcomes

TqvGsm::TSendPtr TqvGsm::NewSend(int parts) {
  auto send = std::make_shared<TSendRecord>();
  send->Parts = parts;
  const auto me = std::this_thread::get_id();
  std::lock_guard lk(fSmsMutex);
  auto it = std::find_if(fLastSendOf.begin(), fLastSendOf.end(), [&](const auto& e) { return e.first == me; });
  if (it != fLastSendOf.end())
    it->second = send;
  else
    fLastSendOf.emplace_back(me, send);
  return send;
}

TqvGsm::TSendPtr TqvGsm::LastSendOfThisThread() const {
  const auto me = std::this_thread::get_id();
  std::lock_guard lk(fSmsMutex);
  for (const auto& [thread, send] : fLastSendOf)
    if (thread == me) return send;
  return nullptr;
}

// The first outcome of a send is its outcome.
void TqvGsm::FinishSend(const TSendPtr& send, int32_t result, std::string ref) {
  {
    std::lock_guard lk(fSmsMutex);
    if (send->Result >= 0) return;
    send->Result = result;
    send->Ref = std::move(ref);
    fLastSentId = result;
    fLastSentRef = send->Ref;
  }
  send->Done.Set();
}

bool TqvGsm::Sent(const TSendPtr& send) const {
  std::lock_guard lk(fSmsMutex);
  return send->Result == 0;
}

std::pair<int32_t, std::string> TqvGsm::LastSentResult() const {
  std::lock_guard lk(fSmsMutex);
  return {fLastSentId, fLastSentRef};
}

size_t TqvGsm::AwaitingCount() const {
  std::lock_guard lk(fSmsMutex);
  return slSmsFifo.size();
}

// A send that never started: the error is reported, its own waiter wakes
// with failure, and no other send is touched.
void TqvGsm::RefuseSend(const TSendPtr& send, const std::u16string& why) {
  FinishSend(send, 3, {});
  RaiseError(u"Sms not sent: " + why);
}

// A send that failed leaves no part awaiting a confirmation.
void TqvGsm::FailSend(const TSendPtr& send) {
  {
    std::lock_guard lk(fSmsMutex);
    std::erase_if(slSmsFifo, [&](const TAwaiting& a) { return a.Send == send; });
  }
  FinishSend(send, 3, {});
}

void TqvGsm::FailPendingSends() {
  std::vector<TAwaiting> pending;
  {
    std::lock_guard lk(fSmsMutex);
    pending.swap(slSmsFifo);
  }
  for (const auto& a : pending) FinishSend(a.Send, 3, {});
}

// Long enough for every part: each part is three lines, each with its own time-out.
bool TqvGsm::WaitSend(const TSendPtr& send) {
  TWaitScope wait(this, fLaneGroup);
  const uint32_t ms = std::max<uint32_t>(kSendWaitMinMs, static_cast<uint32_t>(send->Parts) * 3 * TimeOut() + TimeOut());
  pf::WaitPumping(send->Done, ms);
  std::lock_guard lk(fSmsMutex);
  return send->Result == 0;
}

// ---------------------------------------------------------------------------
// Sending

void TqvGsm::SmsSend(TqvPduSms& aPDU) { SmsSend(aPDU, u""); }

void TqvGsm::SmsSend(TqvPduSms& aPDU, const std::u16string& aServiceCentre) {
  TSendPtr send = NewSend(1);
  if (const auto why = CheckValue(TValueKind::vkPhone, aPDU.Phone()); !why.empty()) return RefuseSend(send, why);
  if (!aServiceCentre.empty())
    if (const auto why = CheckValue(TValueKind::vkPhone, aServiceCentre); !why.empty())
      return RefuseSend(send, u"the service centre: " + why);
  aPDU.SetServiceCenter(aServiceCentre);
  aPDU.SetIncoming(false);
  aPDU.SetPartId(static_cast<int32_t>(fIdMultiPartPDU++));
  // Cut again from the record as it is now: AutoCutText, the port kind or the
  // coding may have been set after the text.
  TqvPduSms work(aPDU);
  work.SetText(aPDU.Text());
  std::vector<std::u16string> parts;
  if (work.AutoCutText()) {
    if (work.Error()) return RefuseSend(send, u"the text needs more than 255 parts");
    for (int32_t n = 1; n <= std::max(1, work.PartCount()); ++n) {
      work.SetPartNumber(n);
      parts.push_back(work.AsPDU());
    }
  } else {
    TqvPduSms probe(work);  // how many parts the whole text needs
    probe.SetAutoCutText(true);
    probe.SetText(work.Text());
    if (probe.PartCount() > 1 || probe.Error())
      return RefuseSend(send, u"the text does not fit one message and AutoCutText is off");
    parts.push_back(work.AsPDU());
  }
  if (work.Error() || std::any_of(parts.begin(), parts.end(), [](const auto& p) { return p.empty(); }))
    return RefuseSend(send, u"the message cannot be encoded");
  send->Parts = static_cast<int>(parts.size());
  TSyncCall call(*this, u"SmsSend");
  if (!BeginQueue(call, stSending)) return RefuseSend(send, call.Failure());
  {
    auto guard = Guard();
    fRunningSend = send;
    for (const auto& pdu : parts) {
      fTmpSMSPdu = pdu;
      // The length counts the TPDU alone: the service centre's octets and their length octet stay out.
      fTmpSMSLength = static_cast<int32_t>(pdu.size() / 2) - 1 - ServiceCentreOctets(pdu);
      {
        std::lock_guard lk(fSmsMutex);
        slSmsFifo.push_back({pdu, send});
      }
      EnqueueCommand(gsmSendSMSPdu);
    }
  }
  RunQueue();
}

void TqvGsm::SmsSend(const std::u16string& aPhone, const std::u16string& aText, bool aConfirm,
                     const std::u16string& aServiceCentre) {
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
  SmsSend(sms, aServiceCentre);
}

void TqvGsm::Send() { SmsSend(fPhoneNumber, fText, false); }

bool TqvGsm::SmsSendWait() {
  const TSendPtr send = LastSendOfThisThread();
  const bool ok = send && WaitSend(send);
  DrainLane();
  return ok;
}

std::u16string TqvGsm::SmsSendWaitRefID(const std::u16string& aPhone, const std::u16string& aText, bool aConfirm) {
  WriteLogFmt(TDL::dlDebug, u"SmsSendWaitRefID (\"%s\" , \"%s\", %u) ... ",
              {aPhone, aText, uint64_t(aConfirm ? 1 : 0)});
  SmsSend(aPhone, aText, aConfirm);
  WriteLog(TDL::dlDebug, u"... wait reply SmsSendWaitRefID ... ");
  const std::u16string r = SmsSendWait() ? qv::BytesToString(LastSendOfThisThread()->Ref) : std::u16string();
  WriteLogFmt(TDL::dlDebug, u"... SmsSendWaitRefID done: %s", {r});
  return r;
}

std::u16string TqvGsm::SmsSendWaitRefID(TqvPduSms& aPDU, const std::u16string& aServiceCentre) {
  WriteLog(TDL::dlDebug, u"SmsSendWaitRefID(PDU) ... ");
  SmsSend(aPDU, aServiceCentre);
  WriteLog(TDL::dlDebug, u"... wait reply SmsSendWaitRefID(pdu) ... ");
  const std::u16string r = SmsSendWait() ? qv::BytesToString(LastSendOfThisThread()->Ref) : std::u16string();
  WriteLogFmt(TDL::dlDebug, u"... SmsSendWaitRefID (pdu) done: %s ", {r});
  return r;
}

// ---------------------------------------------------------------------------
// Reading, deleting, memories

// Reads message `index` into `into` under the turn; `mem` replaces the read
// memory for this read only. A read whose memory selection or read command
// fails is reported, so that it is told apart from an empty slot.
bool TqvGsm::ReadMessage(int index, const std::optional<std::u16string>& mem, TqvPduSms& into) {
  TSyncCall call(*this, u"SmsGet");
  into.Clear();
  if (!call) return false;
  {
    std::lock_guard lk(fInfoMutex);
    fTmpMemRead = mem;
  }
  fTmpSMSId = index;
  PushState(stReading);
  const bool ok = call.Run(gsmSMSReadPDU);
  std::string pdu, stat;
  if (ok) {
    auto guard = Guard();
    pdu = PduLineOf(ReplyLast().sData);
    stat = StatOf(ReplyLast().sData);
  } else {
    RaiseError(u"Reading failed: " + call.Failure());
  }
  if (!pdu.empty()) {
    into.SetAsPDU(qv::AnsiToString(pdu));
    into.SetStoredStatus(qv::PduStatusFromStat(qv::AnsiToString(stat)));
  }
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
  TSyncCall call(*this, u"SmsDelete");
  if (!call) return false;
  fTmpSMSId = aIndex;
  return call.Run(gsmSMSDelete);
}

bool TqvGsm::SmsDeleteAll(TSmsDeleteScope scope) {
  TSyncCall call(*this, u"SmsDeleteAll");
  if (!call) return false;
  bool oneLine, refused = false;
  {
    auto guard = Guard();
    oneLine = Driver()->IndexOfCommand(gsmSMSDeleteAll, 1) >= 0;
  }
  fTmpDelFlag = static_cast<int32_t>(scope);
  if (oneLine) {
    if (call.Run(gsmSMSDeleteAll)) return true;
    auto guard = Guard();
    refused = LastOutcome() == qv::TLineOutcome::loError;
  }
  if (oneLine && !refused) return false;  // no answer: the one-line form may still be running
  WriteLog(TDL::dlDetail, u"Deleting message by message");
  SetLastError({});
  return DeleteOneByOne(call, scope);
}

// Every slot of the read memory is read; those the scope names are deleted.
// Reading an unread message may mark it read, as reading does.
bool TqvGsm::DeleteOneByOne(TSyncCall& call, TSmsDeleteScope scope) {
  const int32_t total = fMemReadTotal;
  if (total <= 0) {
    SetLastError(u"SmsDeleteAll: the size of the memory is not known");
    return false;
  }
  PushState(stReading);
  bool ok = true;
  for (int32_t index = 1; index <= total && ok; ++index) {
    fTmpSMSId = index;
    if (!call.Run(gsmSMSReadPDU)) {
      auto guard = Guard();
      ok = LastOutcome() == qv::TLineOutcome::loError;  // an empty slot answers with an error
      continue;
    }
    int32_t stat;
    {
      auto guard = Guard();
      stat = qv::StrToIntDef(StatOf(ReplyLast().sData), -1);
    }
    const bool named =
        scope == TSmsDeleteScope::sdAll || stat == 1 || (scope == TSmsDeleteScope::sdReadSent && stat == 3);
    if (named) ok = call.Run(gsmSMSDelete);
  }
  RemoveState(stReading);
  if (ok) SetLastError({});
  return ok;
}

bool TqvGsm::UpdateMemoryStateFor(const std::u16string& mem) {
  TSyncCall call(*this, u"UpdateMemoryState");
  if (!call) return false;
  {
    std::lock_guard lk(fInfoMutex);
    fTmpMemRead = mem;
  }
  const bool ok = call.Run(gsmSetSMSMem);
  if (ok) {
    auto guard = Guard();
    ParseMemoryState(ReplyLast().sDataUseful, true);
  }
  std::lock_guard lk(fInfoMutex);
  fTmpMemRead.reset();
  return ok;
}

void TqvGsm::UpdateMemoryState() {
  TSyncCall call(*this, u"UpdateMemoryState");
  if (!call || !call.Run(gsmSetSMSMem)) return;
  auto guard = Guard();
  ParseMemoryState(ReplyLast().sDataUseful, true);
}

// ---------------------------------------------------------------------------
// Listing

// Waits for the listing queue to end; items arriving keep it going, since
// each one re-arms the queue's time-out.
bool TqvGsm::WaitListingEnd() {
  while (!pf::WaitPumping(fQueueEndEvent, 50)) {
    auto guard = Guard();
    if (!fQueueActive || fQueueState != stListing) break;
  }
  return true;
}

// Both forms run the listing as a queue, so that a long store is listed whole;
// the waiting form returns at its end with its items delivered, and raises no
// end mark.
void TqvGsm::SmsList(bool flWait, TSmsStatus status) {
  TSyncCall call(*this, u"SmsList");
  if (!BeginQueue(call, stListing)) {
    RaiseError(u"Listing failed: " + call.Failure());
    return;
  }
  {
    auto guard = Guard();
    fGetSmsListStatus = status;
    fListWaiting = flWait;
    EnqueueCommand(gsmSMSList);
  }
  RunQueue();
  if (!flWait) return;
  WaitListingEnd();
  call.DrainAtEnd();
}
