#include "qvsmsassembler.h"

#include <algorithm>

#include "qvtext.h"

using Clock = std::chrono::steady_clock;

TqvSmsAssembler::TqvSmsAssembler() : fClock([] { return Clock::now(); }) {}

std::chrono::milliseconds TqvSmsAssembler::Timeout() const {
  std::lock_guard lk(fMutex);
  return fTimeout;
}

void TqvSmsAssembler::SetTimeout(std::chrono::milliseconds v) {
  std::lock_guard lk(fMutex);
  fTimeout = v;
}

void TqvSmsAssembler::SetClock(TClock clock) {
  std::lock_guard lk(fMutex);
  fClock = clock ? std::move(clock) : TClock([] { return Clock::now(); });
}

bool TqvSmsAssembler::Snapshot() const {
  std::lock_guard lk(fMutex);
  return fSnapshot;
}

void TqvSmsAssembler::SetSnapshot(bool v) {
  std::lock_guard lk(fMutex);
  fSnapshot = v;
}

std::u16string TqvSmsAssembler::MissingMark(int32_t number, int32_t count) {
  return qv::Format(u"[part %d of %d missing]", {int64_t{number}, int64_t{count}});
}

size_t TqvSmsAssembler::Pending() const {
  std::lock_guard lk(fMutex);
  return fGroups.size();
}

std::optional<Clock::time_point> TqvSmsAssembler::NextDue() const {
  std::lock_guard lk(fMutex);
  std::optional<Clock::time_point> due;
  for (const TGroup& g : fGroups)
    if (!due || g.Due < *due) due = g.Due;
  return due;
}

void TqvSmsAssembler::Add(const TqvPduSms& sms, std::u16string_view memory, int32_t index) {
  TOutcome out;
  {
    std::lock_guard lk(fMutex);
    ExpireLocked(fClock(), out);
    if (sms.PartCount() > 1 && !sms.Error())
      AddPart(sms, memory, index, out);
    else
      out.Messages.push_back(Single(sms, memory, index));
  }
  Raise(out);
}

void TqvSmsAssembler::Expire() {
  TOutcome out;
  {
    std::lock_guard lk(fMutex);
    ExpireLocked(fClock(), out);
  }
  Raise(out);
}

void TqvSmsAssembler::Flush() {
  TOutcome out;
  {
    std::lock_guard lk(fMutex);
    while (!fGroups.empty()) Deliver(fGroups.begin(), out);
  }
  Raise(out);
}

// ---------------------------------------------------------------------------

TqvSmsAssembler::TKey TqvSmsAssembler::KeyOf(const TqvPduSms& sms, std::u16string_view memory) {
  TKey k;
  k.Sender = sms.Phone();
  k.Bits = sms.PartIdBits();
  k.Reference = sms.PartId();
  k.Count = sms.PartCount();
  k.PortType = sms.PortType();
  if (k.PortType != TqvPduPort::ppNone) {
    k.PortSrc = sms.PortSrc();
    k.PortDest = sms.PortDest();
  }
  k.Memory = memory;
  return k;
}

TqvSmsMessage TqvSmsAssembler::Single(const TqvPduSms& sms, std::u16string_view memory, int32_t index) {
  TqvSmsMessage m;
  m.First = sms;
  m.Text = sms.Text();
  m.Parts.push_back({1, std::u16string(memory), index});
  return m;
}

bool TqvSmsAssembler::IsLateCopy(const TKey& key, const TqvPduSms& sms) const {
  const std::pair<int32_t, std::u16string> units{sms.PartNumber(), std::u16string(sms.CodedText())};
  return std::any_of(fRecent.begin(), fRecent.end(), [&](const TRecent& r) {
    return r.Key == key && std::find(r.Units.begin(), r.Units.end(), units) != r.Units.end();
  });
}

void TqvSmsAssembler::AddPart(const TqvPduSms& sms, std::u16string_view memory, int32_t index, TOutcome& out) {
  const TKey key = KeyOf(sms, memory);
  const TqvSmsPartPlace place{sms.PartNumber(), std::u16string(memory), index};
  if (IsLateCopy(key, sms)) {
    out.Duplicates.push_back(place);
    return;
  }
  auto g = std::find_if(fGroups.begin(), fGroups.end(), [&](const TGroup& x) { return x.Key == key; });
  if (g != fGroups.end()) {
    auto at = std::find_if(g->Parts.begin(), g->Parts.end(), [&](const TPart& p) { return p.Place.Number == place.Number; });
    if (at != g->Parts.end() && at->Sms.CodedText() == sms.CodedText()) {
      // The same slot read again is no copy at all.
      const bool again = at->Place == place ||
                         std::find(g->Duplicates.begin(), g->Duplicates.end(), place) != g->Duplicates.end();
      if (!again) g->Duplicates.push_back(place);
      return;
    }
    if (at != g->Parts.end()) {  // the reference used again: the waiting message is over
      Deliver(g, out);
      g = fGroups.end();
    }
  }
  if (g == fGroups.end()) {
    fGroups.push_back({key, fClock() + fTimeout, {}, {}});
    g = std::prev(fGroups.end());
  }
  auto at = std::lower_bound(g->Parts.begin(), g->Parts.end(), place.Number,
                             [](const TPart& p, int32_t n) { return p.Place.Number < n; });
  g->Parts.insert(at, {sms, place});
  if (!fSnapshot && g->Parts.size() == static_cast<size_t>(key.Count)) Deliver(g, out);
}

void TqvSmsAssembler::Deliver(std::vector<TGroup>::iterator group, TOutcome& out) {
  out.Messages.push_back(Joined(*group));
  TRecent recent{group->Key, {}, fClock() + fTimeout};
  for (const TPart& p : group->Parts) recent.Units.emplace_back(p.Place.Number, p.Sms.CodedText());
  fRecent.push_back(std::move(recent));
  fGroups.erase(group);
}

void TqvSmsAssembler::ExpireLocked(Clock::time_point now, TOutcome& out) {
  std::erase_if(fRecent, [&](const TRecent& r) { return r.Forget <= now; });
  for (auto g = fGroups.begin(); g != fGroups.end();) {
    if (!fSnapshot && g->Due <= now) {
      const auto offset = g - fGroups.begin();
      Deliver(g, out);
      g = fGroups.begin() + offset;
    } else {
      ++g;
    }
  }
}

TqvSmsMessage TqvSmsAssembler::Joined(const TGroup& group) {
  TqvSmsMessage m;
  m.First = group.Parts.front().Sms;
  m.Text = JoinedText(group);
  m.Reference = group.Key.Reference;
  m.ReferenceBits = group.Key.Bits;
  m.PartCount = group.Key.Count;
  for (const TPart& p : group.Parts) m.Parts.push_back(p.Place);
  m.Duplicates = group.Duplicates;
  auto present = group.Parts.begin();
  for (int32_t n = 1; n <= group.Key.Count; ++n) {
    if (present != group.Parts.end() && present->Place.Number == n)
      ++present;
    else
      m.Missing.push_back(n);
  }
  return m;
}

// Runs of neighbouring parts written alike are joined unit by unit and read
// as one text; a missing part, or a part written otherwise, ends a run.
std::u16string TqvSmsAssembler::JoinedText(const TGroup& group) {
  std::u16string text, units;
  const TqvPduSms* runOf = nullptr;  // a part of the run, for its coding and tables
  auto endRun = [&] {
    if (runOf) text += runOf->Coding() == TqvPduCoding::pc7bit ? qv::SeptetsToText(units, runOf->ShiftTables()) : units;
    units.clear();
    runOf = nullptr;
  };
  auto part = group.Parts.begin();
  for (int32_t n = 1; n <= group.Key.Count; ++n) {
    if (part == group.Parts.end() || part->Place.Number != n) {
      endRun();
      text += MissingMark(n, group.Key.Count);
      continue;
    }
    const TqvPduSms& sms = part->Sms;
    if (runOf && (runOf->Coding() != sms.Coding() || runOf->ShiftTables() != sms.ShiftTables())) endRun();
    runOf = &sms;
    units += sms.CodedText();
    ++part;
  }
  endRun();
  return text;
}

void TqvSmsAssembler::Raise(const TOutcome& out) {
  for (const TqvSmsPartPlace& d : out.Duplicates)
    if (OnDuplicate) OnDuplicate(this, d);
  for (const TqvSmsMessage& m : out.Messages)
    if (OnMessage) OnMessage(this, m);
}
