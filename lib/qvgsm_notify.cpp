// TqvGsm: unsolicited notifications (head recognition, collection, handlers)
// and the TSmsThread workers that handle new messages.
#include <algorithm>

#include "qvgsm.h"
#include "qvgsm_internal.h"
#include "qvtext.h"

namespace pf = qv::platform;
using TDL = TDetailLevel;
using namespace qv::gsm;

namespace {

// A collection that never ends (garbage after a head) is dropped here.
constexpr size_t kCollectLimit = 4096;

// "+CMS ERROR: 322": the message store is full.
constexpr int32_t kMemoryFull = 322;

int CollectStateOf(int32_t tag) {
  switch (tag) {
    case qv::resp::kSmsSent: return stCollectSent;
    case qv::resp::kSmsError: return stCollectError;
    case qv::resp::kSmsStored: return stCollectStored;
    case qv::resp::kIncomingCall: return stCollectRing;
    case qv::resp::kSmsListItem: return stCollectListItem;
    case qv::resp::kSmsDirect: return stCollectDirect;
    case qv::resp::kUnsolicited: return stCollectOther;
    case qv::resp::kUssd: return stCollectUssd;
    case qv::resp::kNetwork: return stCollectNetwork;
    case qv::resp::kIndicator: return stCollectIndicator;
    default: return 0;
  }
}

// The second line of a two-line notification: from two characters after its
// first CR, trimmed.
std::u16string SecondLine(const std::u16string& text) {
  const size_t cr = text.find(u'\r');
  if (cr == std::u16string::npos || cr + 2 > text.size()) return {};
  return std::u16string(qv::TrimView(std::u16string_view(text).substr(cr + 2)));
}

// A USSD string may hold line breaks: its line ends at a CR only once the
// string is closed, that is, with no quote at all, with a final quote after
// an even number of them, or with a quote, a comma and the coding scheme.
bool UssdLineComplete(std::string_view text) {
  const auto quotes = std::count(text.begin(), text.end(), '"');
  if (quotes == 0) return true;
  std::string_view t = qv::TrimView(text);
  if (t.ends_with('"')) return quotes % 2 == 0;
  while (!t.empty() && ((t.back() >= '0' && t.back() <= '9') || t.back() == ' ')) t.remove_suffix(1);
  if (!t.ends_with(',')) return false;
  t.remove_suffix(1);
  return qv::TrimView(t).ends_with('"');
}

}  // namespace

// ---------------------------------------------------------------------------
// Workers

TSmsThread::TSmsThread(TqvGsm* aGsm, std::string aSms, bool aDirect, uint64_t ticket)
    : fGsm(aGsm), fSms(std::move(aSms)), flDirect(aDirect), fTicket(ticket) {
  fThread = std::thread([this] {
    try {
      if (fGsm->WaitSmsTurn(fTicket)) Execute();
    } catch (const std::exception& e) {
      fGsm->WriteLog(TDL::dlSimple, u"Sms thread: " + qv::Utf8ToString(e.what()));
    } catch (...) {
    }
    fGsm->EndSmsTurn(fTicket);
    fFinished = true;
  });
}

TSmsThread::~TSmsThread() { Join(true); }

void TSmsThread::Join(bool pump) {
  if (!fThread.joinable()) return;
  if (pump && pf::IsMainThread())
    pf::JoinWhilePumping(fThread);
  else
    fThread.join();
}

void TSmsThread::Execute() {
  const std::u16string text = qv::BytesToString(fSms);
  if (flDirect)
    fGsm->SmsDirectNotify(text);
  else
    fGsm->SmsStoredNotify(text);
}

void TqvGsm::StartWorker(std::string text, bool direct) {
  ReapWorkers(false);
  // Under the list's lock, so that the destructor's final join sees every worker.
  std::lock_guard lk(fWorkersMutex);
  if (fCancelled) return;
  fWorkers.push_back(std::make_unique<TSmsThread>(this, std::move(text), direct, fSmsTickets++));
}

bool TqvGsm::WaitSmsTurn(uint64_t ticket) {
  std::unique_lock lk(fSmsOrderMutex);
  fSmsOrderCv.wait(lk, [&] { return fSmsTurn == ticket || fCancelled; });
  return !fCancelled;
}

void TqvGsm::EndSmsTurn(uint64_t ticket) {
  std::lock_guard lk(fSmsOrderMutex);
  fSmsTurn = std::max(fSmsTurn, ticket + 1);
  fSmsOrderCv.notify_all();
}

// Joins the workers that have ended (all of them with `all`), outside the
// list's lock. An ended worker is joined at once, without pumping: reaping
// happens in the middle of byte processing.
void TqvGsm::ReapWorkers(bool all) {
  for (;;) {
    std::list<std::unique_ptr<TSmsThread>> done;
    {
      std::lock_guard lk(fWorkersMutex);
      for (auto it = fWorkers.begin(); it != fWorkers.end();) {
        auto next = std::next(it);
        if (all || (*it)->Finished()) done.splice(done.end(), fWorkers, it);
        it = next;
      }
    }
    if (done.empty()) return;
    const int depth = all ? fLock.ReleaseAll() : 0;
    for (auto& worker : done) worker->Join(all);
    done.clear();
    if (all) fLock.Reacquire(depth);
    if (!all) return;
  }
}

// ---------------------------------------------------------------------------
// Head recognition and collection

bool TqvGsm::ListingActive() const {
  return fQueueActive && fQueueState == stListing;
}

void TqvGsm::ReplyComplete(TATReply& reply) {
  auto guard = Guard();
  const TqvCustomATDriver* d = Driver();
  const bool known = reply.idResponse >= 0 && reply.idResponse < static_cast<int32_t>(d->slResponses.size());
  const TCommEventNew* head = known ? d->GetResponse(reply.idResponse) : nullptr;
  const bool diagnostics = fQueueActive && fQueueState == stDiagnostics;
  if (head && qv::resp::IsModuleStatus(head->Tag)) {
    NoteModuleStatus(head->Tag);
    return;
  }
  if (!head || !qv::resp::IsNotificationHead(head->Tag) || diagnostics) {
    // A call's end that no dial or answer line owns: the modem accepted the
    // call with OK and reports its end now.
    if (head && !diagnostics && qv::resp::IsCallEnd(head->Tag))
      OtherNotify(qv::AnsiToString(qv::TrimView(head->Str())));
    TqvCustomATProcessor::ReplyComplete(reply);
    return;
  }
  if (head->Tag == qv::resp::kSmsListItem && !ListingActive()) return;
  StartCollect(CollectStateOf(head->Tag), *head);
}

void TqvGsm::StartCollect(int state, const TCommEventNew& head) {
  FlushOpenUssd();
  if (fCollectState != 0) RemoveState(fCollectState);  // a new head drops the partial text
  fCollectState = state;
  fCollectText.clear();
  fReplyLinesCnt = (state == stCollectDirect || state == stCollectListItem) ? 2 : 0;
  if (state == stCollectStored) flSmsNotifyNokiaMode = head.Data == 1;
  fCollectBroadcast = head.Str().find("+CB") != std::string::npos;
  fCollectEps = head.Str().find("+CEREG") != std::string::npos;
  fUssdFirstCr = std::string::npos;
  PushState(state);
}

// A USSD text still open past a line break when something else completes
// (another head, a final result) ends at its first line break after all.
void TqvGsm::FlushOpenUssd() {
  if (fCollectState != stCollectUssd || fUssdFirstCr == std::string::npos) return;
  fCollectText.resize(fUssdFirstCr);
  FinishCollect();
}

bool TqvGsm::ProcessByte(uint8_t b) {
  auto guard = Guard();
  if (TqvCustomATProcessor::ProcessByte(b)) {
    FlushOpenUssd();
    return true;
  }
  if (fCollectState == 0) return false;
  const bool twoLines = fCollectState == stCollectDirect || fCollectState == stCollectListItem;
  bool lineGoesOn = false;
  if (fCollectState == stCollectUssd && b == '\r' && !UssdLineComplete(fCollectText)) {
    if (fUssdFirstCr == std::string::npos) fUssdFirstCr = fCollectText.size();
    lineGoesOn = true;
  }
  if (twoLines || b != '\r' || lineGoesOn) fCollectText += static_cast<char>(b);
  if (b == '\r' && !lineGoesOn && (!twoLines || --fReplyLinesCnt <= 0)) {
    FinishCollect();
  } else if (fCollectText.size() > kCollectLimit) {
    WriteLog(TDL::dlDetail, u"Notification text too long, dropped");
    RemoveState(fCollectState);
    fCollectState = 0;
    fCollectText.clear();
  }
  return false;
}

void TqvGsm::FinishCollect() {
  const int s = fCollectState;
  const std::string raw = std::move(fCollectText);
  const std::u16string text = qv::BytesToString(raw);
  fCollectText.clear();
  fCollectState = 0;
  fUssdFirstCr = std::string::npos;
  RemoveState(s);
  switch (s) {
    case stCollectSent: SmsSentNotify(text); break;
    case stCollectError:
      GsmErrorNotify(text);
      if (qv::StrToIntDef(qv::TrimView(text), 0) == kMemoryFull) RaiseNotify(&TqvGsm::OnSmsMemoryFull);
      EndLineAsError("\r\n+CMS ERROR:" + raw + "\r\n");  // the final result of the line it answers
      break;
    case stCollectStored:
    case stCollectDirect:
      // Cell broadcasts are no SMS: reported as other notifications.
      if (fCollectBroadcast) {
        OtherNotify(text);
        break;
      }
      if (s == stCollectDirect) ConfirmDirectDelivery();
      StartWorker(raw, s == stCollectDirect);
      break;
    case stCollectRing: RingNotify(text); break;
    case stCollectOther: OtherNotify(text); break;
    case stCollectUssd: UssdNotify(text); break;
    case stCollectNetwork: NetworkNotify(text, fCollectEps); break;
    case stCollectIndicator: IndicatorNotify(text); break;
    case stCollectListItem: SmsListItemNotify(text); break;
    default: break;
  }
}

// A directly delivered message is acknowledged right after the current
// line's final result, ahead of queued lines: a late acknowledgement makes
// the network send it again, or the modem stop routing messages.
void TqvGsm::ConfirmDirectDelivery() {
  std::vector<std::string> lines;
  for (int32_t n = 1;; ++n) {
    const int32_t i = Driver()->IndexOfCommand(gsmSMSDirectConfirm, n);
    if (i < 0) break;
    lines.push_back(qv::StringToAnsi(ExpandCommand(Driver()->GetCommands(i)->fCommand)));
  }
  SendAhead(lines);
}

// ---------------------------------------------------------------------------
// Handlers

void TqvGsm::SmsStoredNotify(const std::u16string& text) {
  if (!OnSmsReceived) return;
  bool nokia;
  {
    auto guard = Guard();
    nokia = flSmsNotifyNokiaMode;
  }
  std::u16string mem = qv::ExtractField(std::u16string_view(text), 1);
  int32_t index = qv::StrToIntDef(qv::ExtractField(std::u16string_view(text), 2), 1);
  int32_t total = 0;
  if (nokia && (mem == u"ME" || mem == u"MT")) {
    // A combined index counts the SIM first; never adjusted with an unknown total.
    total = UpdateMemoryStateFor(u"SM") ? MemReadTotal() : -1;
    mem = u"ME";
  }
  if (total > 0 && index > total) index -= total;
  WriteLogFmt(TDL::dlDetail, u"Sms Notify: %s mem: %s, id: %u", {text, mem, uint64_t(uint32_t(index))});
  TqvPduSms msg(true);
  TqvPduSms* p = nullptr;
  if (fNewSmsMode == TgsmNewSmsMode::nsmRead) {
    ReadMessage(index, mem, msg);
    p = &msg;
  }
  OnSmsReceived(this, mem, index, p);
}

// On the worker; the acknowledgement went out when the message was collected.
void TqvGsm::SmsDirectNotify(const std::u16string& text) {
  WriteLogFmt(TDL::dlDetail, u"Sms Direct Notify: %s", {text});
  if (!OnSmsReceived) return;
  TqvPduSms msg(true);
  msg.SetAsPDU(SecondLine(text));
  OnSmsReceived(this, u"", 0, &msg);
}

// Each item gets its own record: the lane runs it later.
void TqvGsm::SmsListItemNotify(const std::u16string& text) {
  WriteLogFmt(TDL::dlDetail, u"Sms List Item: %s", {text});
  const int32_t index = qv::StrToIntDef(qv::ExtractField(std::u16string_view(text), 1), 1);
  auto sms = std::make_shared<TqvPduSms>(true);
  sms->SetAsPDU(SecondLine(text));
  sms->SetStoredStatus(qv::PduStatusFromStat(qv::ExtractField(std::u16string_view(text), 2)));
  Raise([this, mem = MemoryRead(), index, sms] {
    if (OnSmsListItem) OnSmsListItem(this, mem, index, sms.get());
  });
}

void TqvGsm::RingNotify(const std::u16string& text) {
  WriteLogFmt(TDL::dlDetail, u"Ring Notify: %s", {text});
  RaiseText(&TqvGsm::OnRing, qv::ExtractField(std::u16string_view(text), 1));
}

void TqvGsm::OtherNotify(const std::u16string& text) {
  WriteLogFmt(TDL::dlDetail, u"Other Notify: %s", {text});
  RaiseText(&TqvGsm::OnUnsolicited, text);
}

void TqvGsm::SmsSentNotify(const std::u16string& text) {
  WriteLogFmt(TDL::dlDetail, u"Sms Sent Notify: %s", {text});
  std::optional<TAwaiting> front;
  bool last = false;
  {
    std::lock_guard lk(fSmsMutex);
    if (!slSmsFifo.empty()) {
      front = slSmsFifo.front();
      slSmsFifo.erase(slSmsFifo.begin());
      last = std::none_of(slSmsFifo.begin(), slSmsFifo.end(), [&](const TAwaiting& a) { return a.Send == front->Send; });
    }
  }
  // A waiting send learns its outcome at the confirmation of its last part.
  if (last) FinishSend(front->Send, 0, qv::StringToBytes(text));
  const int32_t ref = qv::StrToIntDef(text, 0);
  std::shared_ptr<TqvPduSms> sms;
  if (front) {
    sms = std::make_shared<TqvPduSms>(false);
    sms->SetAsPDU(front->Pdu);
    sms->SetRefId(static_cast<uint8_t>(ref));
  }
  Raise([this, text, ref, sms] {
    if (OnSmsSent) OnSmsSent(this, text, ref, sms.get());
  });
}

// Reports the error; the send it answers is failed by the end of its queue.
void TqvGsm::GsmErrorNotify(const std::u16string& text) {
  WriteLogFmt(TDL::dlDetail, u"GSM Error: %s", {text});
  RaiseText(&TqvGsm::OnGsmError, text);
}
