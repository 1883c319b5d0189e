// TqvGsm: the phone book: its memory's counts and limits, reading it record
// by record as a queue, writing and deleting entries.
#include <utility>

#include "qvgsm.h"
#include "qvgsm_internal.h"
#include "qvtext.h"

using TDL = TDetailLevel;
using namespace qv::gsm;

namespace {

bool StartsWithNoCase(std::u16string_view text, std::u16string_view head) {
  return text.size() >= head.size() && qv::SameTextNoCase(text.substr(0, head.size()), head);
}

// A driver line that selects the character set.
bool SelectsCharset(const TATCommand& line) { return StartsWithNoCase(line.fCommand, u"AT+CSCS="); }

}  // namespace

// ---------------------------------------------------------------------------
// Parsers

void TqvGsm::ParsePhoneBookCounts(std::string_view text, const TATCommand* line) {
  fPhoneList.SetUsed(-1);
  fPhoneList.SetTotal(-1);
  if (!line) return;
  if (line->Data[0] != 0) fPhoneList.SetUsed(qv::StrToIntDef(qv::ExtractField(text, line->Data[0]), -1));
  if (line->Data[1] != 0) {
    std::string total = qv::ExtractField(text, line->Data[1]);
    if (const size_t minus = total.find('-'); minus != std::string::npos) total.erase(0, minus + 1);
    fPhoneList.SetTotal(qv::StrToIntDef(total, -1));
  }
}

void TqvGsm::ParsePhoneBookLimits(std::string_view text, const TATCommand* line) {
  fPhoneList.SetMaxNumberLength(-1);
  fPhoneList.SetMaxCaptionLength(-1);
  if (!line) return;
  if (line->Data[0] != 0) fPhoneList.SetMaxNumberLength(qv::StrToIntDef(qv::ExtractField(text, line->Data[0]), -1));
  if (line->Data[1] != 0) fPhoneList.SetMaxCaptionLength(qv::StrToIntDef(qv::ExtractField(text, line->Data[1]), -1));
}

// The fields come from the memory's own setting where the driver has one
// (call lists put their fields elsewhere), otherwise from the record line.
bool TqvGsm::ParsePhoneRecord(std::string_view text, const TATCommand* line) {
  const std::string t = StripReplyPrefix(text);
  if (t.empty()) return false;
  const TATCommand* fields = line;
  {
    auto guard = Guard();
    const int32_t i = Driver()->IndexOfSetting(gsmPhoneBookMem, static_cast<int32_t>(fPhoneListType));
    if (i >= 0) fields = Driver()->GetSettings(i);
  }
  if (!fields) return false;
  // Field d mod 100; above 100 the field is UCS2 hex (a SIM's 0x80 marker skipped).
  auto field = [&](uint8_t d) -> std::u16string {
    if (d == 0) return {};
    const std::string f = qv::ExtractField(std::string_view(t), d % 100);
    return d > 100 ? qv::SimUcs2HexToText(UpperHexDigits(qv::AnsiToString(f)), 1) : qv::AnsiToString(f);
  };
  const std::u16string date = field(fields->Data[3]);
  const std::u16string number = field(fields->Data[1]);
  const std::u16string name = field(fields->Data[2]);
  if (number.empty() && name.empty()) return false;
  const int32_t index = qv::StrToIntDef(qv::ExtractField(std::string_view(t), fields->Data[0]), 1);
  TqvPhoneRecord* record = fPhoneList.AddRecord(index, number, name);
  record->SetItemType(fPhoneListType);
  if (!date.empty()) record->SetDateTime(qv::ParseDateTimeText(date));
  return true;
}

// ---------------------------------------------------------------------------
// Memory state

void TqvGsm::UpdatePhoneListState() {
  TSyncCall call(*this, u"UpdatePhoneListState");
  if (!call || !call.Run(gsmSetPhoneBookMem)) return;
  if (call.Run(gsmGetPhoneBookMem)) {
    auto guard = Guard();
    ParsePhoneBookCounts(ReplyLast().sDataUseful, LineOf(ReplyLast().idDriverCmd));
  }
  if (call.Run(gsmGetPhoneBookMemRange)) {
    auto guard = Guard();
    ParsePhoneBookLimits(ReplyLast().sDataUseful, LineOf(ReplyLast().idDriverCmd));
  }
}

// ---------------------------------------------------------------------------
// Reading

void TqvGsm::PhoneBookRead() {
  TSyncCall call(*this, u"PhoneBookRead");
  if (!BeginQueue(call, stPhoneBook)) {
    RaiseError(u"Phone book reading failed: " + call.Failure());
    return;
  }
  {
    auto guard = Guard();
    fPhoneList.Clear();
    fTmpRecNo = 1;
    EnqueueCommand(gsmSetPhoneBookMem);
    EnqueueCommand(gsmGetPhoneBookMem);
    EnqueueCommand(gsmGetPhoneBookMemRange);
    const auto first = static_cast<int32_t>(slCommands.size());
    EnqueueCommand(gsmPhoneBookRead);
    fBookCharsetEntry = fBookRecordEntry = fBookRestoreEntry = -1;
    for (int32_t e = first; e < static_cast<int32_t>(slCommands.size()); ++e) {
      const TATCommand* line = LineOf(slCommands[static_cast<size_t>(e)].Object);
      if (!line) continue;
      if (fBookRecordEntry < 0 && line->Data[0] != 0) {
        fBookRecordEntry = e;
      } else if (SelectsCharset(*line)) {
        if (fBookRecordEntry < 0 && fBookCharsetEntry < 0) fBookCharsetEntry = e;
        if (fBookRecordEntry >= 0 && fBookRestoreEntry < 0) fBookRestoreEntry = e;
      }
    }
  }
  RunQueue();
}

// A queued line of the reading was answered (under the lock).
bool TqvGsm::BookLineAnswered(const TATCommand& line) {
  if (fCommandIndex - 1 == fBookRecordEntry) return RecordStep(line);
  if (line.idCmd == gsmGetPhoneBookMem) ParsePhoneBookCounts(fReply.sDataUseful, &line);
  if (line.idCmd == gsmGetPhoneBookMemRange) ParsePhoneBookLimits(fReply.sDataUseful, &line);
  return true;
}

// One record answered: false has the record line sent again for the next one.
bool TqvGsm::RecordStep(const TATCommand& line) {
  ++fTmpRecNo;
  ParsePhoneRecord(fReply.sDataUseful, &line);
  const int32_t count = fPhoneList.Count(), used = fPhoneList.Used();
  bool flBreak = fTmpRecNo > fPhoneList.Total() || (used != -1 && count >= used);
  // Inside the delivery: the handler's flBreak steers the reading.
  if (OnPhoneListProgress) OnPhoneListProgress(this, flBreak);
  if (!flBreak) {
    slCommands[static_cast<size_t>(fCommandIndex - 1)].Text = ExpandCommand(line.fCommand);
    return false;
  }
  if (used == -1) fPhoneList.SetUsed(count);
  return true;
}

// An empty slot, as modems answer it: ERROR, or "+CME ERROR: 22" (not found).
bool TqvGsm::IsEmptySlotReply() const {
  const auto lines = qv::SplitLines(qv::TrimView(fReply.sData));
  if (lines.empty()) return false;
  const std::string_view last = qv::TrimView(lines.back());
  if (last == "ERROR") return true;
  if (!last.starts_with("+CME ERROR:")) return false;
  const std::string_view code = qv::TrimView(last.substr(11));
  return code == "22" || code == "not found";
}

void TqvGsm::ResumeBookRestore() {
  if (fBookResume < 0) return;
  fCommandIndex = std::exchange(fBookResume, -1);
  QueueNext();  // the slot is free: the entry goes out now, or after an acknowledgement
}

// ---------------------------------------------------------------------------
// Writing and deleting

bool TqvGsm::DriverLinesHold(int32_t id, std::u16string_view placeholder) const {
  auto guard = Guard();
  for (int32_t n = 1;; ++n) {
    const int32_t i = Driver()->IndexOfCommand(id, n);
    if (i < 0) return false;
    const std::u16string& text = Driver()->GetCommands(i)->fCommand;
    if (qv::ReplaceTextNoCase(text, placeholder, u"") != text) return true;
  }
}

// A command that failed after selecting a character set and before restoring
// it gets its restoring line sent: a modem left in UCS2 garbles every later
// quoted request.
void TqvGsm::RestoreCharsetAfterFailure(int32_t id) {
  std::string restore;
  {
    auto guard = Guard();
    if (!IsDeviceOpen()) return;
    const std::string_view failed = qv::TrimView(LastLine());
    bool selected = false, passed = false;
    for (int32_t n = 1;; ++n) {
      const int32_t i = Driver()->IndexOfCommand(id, n);
      if (i < 0) break;
      const TATCommand& line = *Driver()->GetCommands(i);
      const std::string bytes = qv::StringToAnsi(ExpandCommand(line.fCommand));
      if (!passed && qv::TrimView(bytes) == failed) {
        passed = true;
      } else if (SelectsCharset(line)) {
        if (passed) restore = bytes;
        else selected = true;
      }
    }
    if (!selected || restore.empty()) return;
  }
  WriteLog(TDL::dlDetail, u"Restoring the character set");
  TqvCustomATProcessor::SendAndWait(restore);
}

bool TqvGsm::PhoneBookWrite(const std::u16string& aPhone, const std::u16string& aName, int32_t aIndex,
                            TqvPhoneRecordType /*aType*/) {
  // A name that goes into the line as it is may not hold a quote either.
  const TValueKind nameKind = DriverLinesHold(gsmPhoneBookWrite, u"<PhBkName>") ? TValueKind::vkName
                                                                                  : TValueKind::vkCaption;
  std::u16string why = CheckValue(TValueKind::vkBookNumber, aPhone);
  if (why.empty()) why = CheckValue(nameKind, aName);
  if (!why.empty()) {
    RaiseError(u"PhoneBookWrite refused: " + why);
    return false;
  }
  TSyncCall call(*this, u"PhoneBookWrite");
  if (!call) return false;
  fTmpRecNo = aIndex;
  fTmpRecPhone = aPhone;
  fTmpRecName = aName;
  if (call.Run(gsmPhoneBookWrite)) return true;
  RestoreCharsetAfterFailure(gsmPhoneBookWrite);
  return false;
}

bool TqvGsm::PhoneBookDel(int32_t aIndex) {
  TSyncCall call(*this, u"PhoneBookDel");
  if (!call) return false;
  fTmpRecNo = aIndex;
  return call.Run(gsmPhoneBookDel);
}
