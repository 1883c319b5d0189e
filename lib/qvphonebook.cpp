#include "qvphonebook.h"

#include <fstream>
#include <iterator>

#include "qvatdriver.h"
#include "qvtext.h"
#include "qvunicase.h"

namespace {

// Whole-text match: '*' any run (also empty), '?' exactly one character.
bool WildMatch(std::u16string_view text, std::u16string_view pat) {
  size_t t = 0, p = 0, starP = std::u16string_view::npos, starT = 0;
  while (t < text.size()) {
    if (p < pat.size() && (pat[p] == u'?' || pat[p] == text[t])) {
      ++t, ++p;
    } else if (p < pat.size() && pat[p] == u'*') {
      starP = p++, starT = t;
    } else if (starP != std::u16string_view::npos) {
      p = starP + 1, t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pat.size() && pat[p] == u'*') ++p;
  return p == pat.size();
}

TqvPhoneRecordType SuffixType(char16_t c) {
  switch (c) {
    case u'H': return TqvPhoneRecordType::prtHome;
    case u'W': return TqvPhoneRecordType::prtWork;
    case u'M': return TqvPhoneRecordType::prtMobile;
    case u'F': return TqvPhoneRecordType::prtFax;
    case u'O': return TqvPhoneRecordType::prtOther;
    default: return TqvPhoneRecordType::prtUnknown;
  }
}

// A quote inside a text is written doubled.
std::u16string QuotedText(std::u16string_view text) {
  std::u16string r;
  for (char16_t c : text) r.append(c == u'"' ? 2 : 1, c);
  return r;
}

// The 8-bit file while every character fits it, so that older readers see no
// change; otherwise UTF-8 behind a byte-order mark, which the loader detects.
std::string EncodeFileText(std::u16string_view text) {
  std::string ansi = qv::StringToAnsi(text);
  if (qv::AnsiToString(ansi) == text) return ansi;
  return "\xEF\xBB\xBF" + qv::StringToUtf8(text);
}

// A byte-order mark selects UTF-8 or UTF-16 (either order); otherwise ANSI.
std::u16string DecodeFileText(const std::string& bytes) {
  auto has = [&](std::string_view bom) { return bytes.compare(0, bom.size(), bom) == 0; };
  if (has("\xEF\xBB\xBF")) return qv::Utf8ToString(std::string_view(bytes).substr(3));
  if (has("\xFF\xFE") || has("\xFE\xFF")) {
    const bool little = has("\xFF\xFE");
    std::u16string r;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      const auto a = static_cast<uint8_t>(bytes[i]), b = static_cast<uint8_t>(bytes[i + 1]);
      r += static_cast<char16_t>(little ? (a | (b << 8)) : ((a << 8) | b));
    }
    return r;
  }
  return qv::AnsiToString(bytes);
}

}  // namespace

void TqvPhoneRecord::Assign(const TqvPhoneRecord* aSource) {
  if (!aSource) return;
  fCaption = aSource->fCaption;
  fPhone = aSource->fPhone;
  fType = aSource->fType;
  fDateTime = aSource->fDateTime;
  fPhoneType = aSource->fPhoneType;
}

bool TqvPhoneRecord::IsMatchPattern(std::u16string_view aPattern, bool flCaseSens, bool flPhone,
                                    bool flCaption) const {
  if (aPattern.empty()) return false;
  auto norm = [&](std::u16string_view s) { return flCaseSens ? std::u16string(s) : qv::LowerText(s); };
  const std::u16string pat = norm(aPattern);
  bool r = false;
  if (flPhone && !fPhone.empty()) r = WildMatch(norm(fPhone), pat);
  if (!r && flCaption && !fCaption.empty()) r = WildMatch(norm(fCaption), pat);
  return r;
}

TqvPhoneRecord* TqvPhoneBook::AddRecord(int32_t aIndex, std::u16string_view aPhone, std::u16string_view aCaption) {
  auto rec = std::make_unique<TqvPhoneRecord>();
  rec->fPhone = aPhone;
  rec->fType = fType;
  std::u16string caption(aCaption);
  if (caption.size() > 2 && caption[caption.size() - 2] == u'/') {
    const auto t = SuffixType(caption.back());
    if (t != TqvPhoneRecordType::prtUnknown) {
      rec->fPhoneType = t;
      caption.resize(caption.size() - 2);
    }
  }
  rec->fCaption = std::move(caption);
  TqvPhoneRecord* r = rec.get();
  if (aIndex == -1) {
    int pos = 0;
    rec->fIndex = GetFirstAvailableIndex(pos);
    ++fUsed;
    fItems.insert(fItems.begin() + pos, std::move(rec));
  } else {
    rec->fIndex = aIndex;
    fItems.push_back(std::move(rec));
  }
  return r;
}

void TqvPhoneBook::Delete(int Index) {
  if (Index < 0 || Index >= Count()) throw EqvError("List index out of bounds (" + std::to_string(Index) + ")");
  fItems.erase(fItems.begin() + Index);
}

void TqvPhoneBook::DeleteRecord(const TqvPhoneRecord* aRec) {
  const int i = IndexOf(aRec);
  if (i >= 0) Delete(i);
}

int TqvPhoneBook::IndexOf(const TqvPhoneRecord* aRec) const {
  for (int i = 0; i < Count(); ++i)
    if (fItems[static_cast<size_t>(i)].get() == aRec) return i;
  return -1;
}

void TqvPhoneBook::Clear() { fItems.clear(); }

void TqvPhoneBook::Assign(const TqvPhoneBook* aSource) {
  if (!aSource || aSource == this) return;
  Clear();
  for (const auto& src : aSource->fItems) AddRecord(src->fIndex, src->fPhone, src->fCaption)->Assign(src.get());
  fTotal = aSource->fTotal;
  fUsed = aSource->fUsed;
  fType = aSource->fType;
  fMaxNumLen = aSource->fMaxNumLen;
  fMaxTxtLen = aSource->fMaxTxtLen;
}

int32_t TqvPhoneBook::GetFirstAvailableIndex(int& aListIndex) const {
  int32_t prev = 0;
  for (size_t p = 0; p < fItems.size(); ++p) {
    const int32_t i = fItems[p]->fIndex;
    if (i > prev + 1) {
      aListIndex = static_cast<int>(p);
      return i - 1;
    }
    prev = i;
  }
  aListIndex = Count();
  return (fItems.empty() ? 0 : fItems.back()->fIndex) + 1;
}

TqvPhoneRecord* TqvPhoneBook::GetPhoneItem(int Index) const {
  if (Index < 0 || Index >= Count()) throw EqvError("List index out of bounds (" + std::to_string(Index) + ")");
  return fItems[static_cast<size_t>(Index)].get();
}

void TqvPhoneBook::SaveToFile(const std::string& aFileName) const {
  std::u16string text;
  for (const auto& r : fItems)
    text += qv::Format(u"%u,%u,\"%s\",\"%s\"\r\n", {uint64_t(uint32_t(r->fIndex)), uint64_t(r->fType),
                                                     QuotedText(r->fPhone), QuotedText(r->fCaption)});
  const std::string bytes = EncodeFileText(text);
  std::ofstream f(aFileName, std::ios::binary | std::ios::trunc);
  if (f) f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void TqvPhoneBook::LoadFromFile(const std::string& aFileName) {
  std::ifstream f(aFileName, std::ios::binary);
  if (!f) return;
  const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) return;
  Clear();
  const std::u16string text = DecodeFileText(bytes);
  for (std::u16string_view line : qv::SplitLines(text)) {
    const int32_t index = qv::StrToIntDef(qv::ExtractField(line, 1), 1);
    TqvPhoneRecord* r = AddRecord(index, qv::ExtractQuotedField(line, 3), qv::ExtractQuotedField(line, 4));
    const int32_t t = qv::StrToIntDef(qv::ExtractField(line, 2), 6);
    r->fType = (t >= 0 && t <= 6) ? static_cast<TqvPhoneBookType>(t) : TqvPhoneBookType::pltUnknown;
  }
}
