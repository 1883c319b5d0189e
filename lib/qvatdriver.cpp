#include "qvatdriver.h"

#include <algorithm>
#include <bit>
#include <fstream>
#include <iterator>

#include "qvresource.h"
#include "qvtext.h"

namespace qv {

bool resp::IsNotificationHead(int32_t id) {
  switch (id) {
    case kSmsSent: case kSmsError: case kSmsStored: case kIncomingCall:
    case kSmsListItem: case kSmsDirect: case kUnsolicited: case kUssd: case kNetwork: case kIndicator:
      return true;
    default:
      return false;
  }
}

int resp::NotificationLineCount(int32_t id) {
  return (id == kSmsListItem || id == kSmsDirect) ? 2 : 1;
}

bool resp::IsCallEnd(int32_t id) { return id == kNoCarrier || id == kNoDialtone || id == kBusy || id == kNoAnswer; }
bool resp::IsModuleStatus(int32_t id) { return id == kStartup || id == kSmsReady; }

namespace {

// With doubledQuotes, two quotes inside quotes stand for one quote.
template <class Char>
std::basic_string<Char> Field(std::basic_string_view<Char> line, int n, bool doubledQuotes = false) {
  line = TrimView(line);
  std::basic_string<Char> result;
  int field = 1;
  Char closing = ',';
  for (size_t i = 0; i < line.size(); ++i) {
    const Char c = line[i];
    if (c == '\r') break;
    if (doubledQuotes && closing == '"' && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      if (field == n) result += c;
      ++i;
      continue;
    }
    if (closing == ',') {
      if (c == ',') {
        if (++field > n) break;
      } else if (c == '(') {
        closing = ')';
      } else if (c == '"') {
        closing = '"';
      } else if (field == n) {
        result += c;
      }
    } else if (c == closing) {
      closing = ',';
    } else if (field == n) {
      result += c;
    }
  }
  return std::basic_string<Char>(TrimView(std::basic_string_view<Char>(result)));
}

// The line without everything up to and including its first comma, trimmed.
std::u16string_view AfterFirstComma(std::u16string_view s) {
  auto pos = s.find(u',');
  if (pos != std::u16string_view::npos) s.remove_prefix(pos + 1);
  return TrimView(s);
}

int32_t Number(std::u16string_view rest, int n, int32_t def) {
  return StrToIntDef(ExtractField(rest, n), def);
}

uint8_t DataByte(std::u16string_view rest, int n) {
  return static_cast<uint8_t>(Number(rest, n, 0) & 0xFF);
}

std::u16string DecodeUtf16(std::string_view bytes, bool bigEndian) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    auto b0 = static_cast<uint8_t>(bytes[i]), b1 = static_cast<uint8_t>(bytes[i + 1]);
    out += static_cast<char16_t>(bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0));
  }
  return out;
}

constexpr size_t kMaxIncludeDepth = 16;

}  // namespace

bool ReadTextFile(const std::string& path, std::u16string& text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return false;
  std::string_view v(bytes);
  if (v.starts_with("\xEF\xBB\xBF"))
    text = Utf8ToString(v.substr(3));
  else if (v.starts_with("\xFF\xFE"))
    text = DecodeUtf16(v.substr(2), false);
  else if (v.starts_with("\xFE\xFF"))
    text = DecodeUtf16(v.substr(2), true);
  else
    text = AnsiToString(v);
  return true;
}

std::u16string ExtractField(std::u16string_view line, int n) { return Field(line, n); }
std::string ExtractField(std::string_view line, int n) { return Field(line, n); }
std::u16string ExtractQuotedField(std::u16string_view line, int n) { return Field(line, n, true); }
}  // namespace qv

using qv::ExtractField;
using namespace qv;

bool TqvCustomATDriver::LoadFromString(std::string_view aStr) {
  // The text ends at its first zero byte, as a zero-terminated string would.
  auto end = aStr.find('\0');
  if (end != std::string_view::npos) aStr = aStr.substr(0, end);
  return ParseLines(qv::AnsiToString(aStr));
}

bool TqvCustomATDriver::LoadFromFile(const std::string& aFileName) {
  std::u16string text;
  return ReadTextFile(aFileName, text) && ParseLines(text);
}

bool TqvCustomATDriver::ParseLines(std::u16string_view text) {
  try {
    for (std::u16string_view line : qv::SplitLines(text)) ParseLine(line);
    return true;
  } catch (...) {
    return false;
  }
}

void TqvCustomATDriver::ParseLine(std::u16string_view line) {
  line = qv::TrimView(line);
  if (line.empty()) return;
  for (std::u16string_view marker : {std::u16string_view(u";"), std::u16string_view(u"//")}) {
    auto pos = line.find(marker);
    if (pos == 0) return;
    if (pos != std::u16string_view::npos) line = line.substr(0, pos);
  }

  std::u16string compact;
  std::copy_if(line.begin(), line.end(), std::back_inserter(compact), [](char16_t c) { return c != u' '; });
  constexpr std::u16string_view kInclude = u"include=";
  for (size_t pos = 0; pos + kInclude.size() <= compact.size(); ++pos) {
    if (!SameTextNoCase(std::u16string_view(compact).substr(pos, kInclude.size()), kInclude)) continue;
    ParseInclude(qv::TrimView(std::u16string_view(compact).substr(pos + kInclude.size())));
    return;
  }

  if (!SameTextNoCase(ExtractField(line, 1), u"HKR")) return;
  std::u16string name = ExtractField(line, 2);
  std::u16string_view rest = AfterFirstComma(line);
  if (SameTextNoCase(name, u"Responses")) {
    AddResponse(AfterFirstComma(rest));
  } else if (SameTextNoCase(name, u"Settings")) {
    AddSetting(AfterFirstComma(rest));
  } else {
    AddCommand(rest);
  }
}

void TqvCustomATDriver::ParseInclude(std::u16string_view name) {
  const std::string key = qv::StringToAnsi(name);
  auto script = IncludeSource ? IncludeSource(key) : qv::FindEmbeddedResource(key);
  if (!script) return;
  // A script that includes itself, directly or through others, is not entered again.
  bool active = std::any_of(fIncludeStack.begin(), fIncludeStack.end(),
                            [name](const std::u16string& s) { return SameTextNoCase(s, name); });
  if (active || fIncludeStack.size() >= kMaxIncludeDepth) return;
  fIncludeStack.emplace_back(name);
  ParseLines(qv::AnsiToString(*script));  // a failing include is ignored
  fIncludeStack.pop_back();
}

void TqvCustomATDriver::AddResponse(std::u16string_view rest) {
  auto event = std::make_unique<TCommEventNew>(qv::StringToAnsi(ReplaceStr(ExtractField(rest, 1))));
  event->iOrder = Number(rest, 2, 1);
  event->Tag = Number(rest, 3, 0);
  event->Data = static_cast<uint32_t>(Number(rest, 4, 0));
  slResponses.push_back({std::u16string(rest), std::move(event)});
  fIndexValid = false;
}

void TqvCustomATDriver::AddCommand(std::u16string_view rest) {
  auto cmd = std::make_unique<TATCommand>();
  cmd->fName = ExtractField(rest, 1);
  cmd->fCommand = ExtractField(rest, 2);
  cmd->idOrder = Number(rest, 3, 0);
  cmd->idExpectedReply = Number(rest, 4, 0);
  for (int i = 0; i < 8; ++i) cmd->Data[i] = DataByte(rest, 5 + i);
  slCommands.push_back({std::u16string(rest), std::move(cmd)});
}

void TqvCustomATDriver::AddSetting(std::u16string_view rest) {
  auto set = std::make_unique<TATCommand>();
  set->fName = ExtractField(rest, 1);
  set->idOrder = Number(rest, 2, 0);
  set->fCommand = ExtractField(rest, 3);
  for (int i = 0; i < 8; ++i) set->Data[i] = DataByte(rest, 4 + i);
  slSettings.push_back({std::u16string(rest), std::move(set)});
}

int32_t TqvCustomATDriver::IsResponseAll(uint8_t Ch) {
  const auto count = static_cast<int32_t>(slResponses.size());
  for (int32_t i = 0; i < count; ++i) {
    if (slResponses[i].Object->IsEvent(Ch, 0)) {
      ResponsesResetState();
      return i;
    }
  }
  return -1;
}

void TqvCustomATDriver::BuildIndex() {
  fIndexValid = true;
  fIndexData = slResponses.data();
  fIndexSize = slResponses.size();
  fIndexFits = slResponses.size() <= 64;
  fMatchers.clear();
  fFirstByte.fill(0);
  fActive = 0;
  if (!fIndexFits) return;
  for (size_t i = 0; i < slResponses.size(); ++i) {
    TCommEventNew* m = slResponses[i].Object.get();
    fMatchers.push_back(m);
    const uint64_t bit = uint64_t{1} << i;
    if (m->Len() > 0) fFirstByte[static_cast<uint8_t>(m->Str()[0])] |= bit;
    if (m->IsPossible()) fActive |= bit;
  }
}

int32_t TqvCustomATDriver::IsResponse(uint8_t Ch) {
  if (!IndexCurrent()) BuildIndex();
  if (!fIndexFits) return IsResponseAll(Ch);
  // In list order, as the first completing matcher wins.
  for (uint64_t step = fActive | fFirstByte[Ch]; step != 0; step &= step - 1) {
    const int i = std::countr_zero(step);
    TCommEventNew* m = fMatchers[static_cast<size_t>(i)];
    if (m->IsEvent(Ch, 0)) {
      ResponsesResetState();
      return i;
    }
    const uint64_t bit = uint64_t{1} << i;
    fActive = m->IsPossible() ? (fActive | bit) : (fActive & ~bit);
  }
  return -1;
}

void TqvCustomATDriver::ResponsesResetState() {
  for (auto& e : slResponses) e.Object->Reset();
  fActive = 0;
}

int32_t TqvCustomATDriver::IndexOfSetting(int32_t aID, int32_t aLine) const {
  for (size_t i = 0; i < slSettings.size(); ++i)
    if (slSettings[i].Object->idCmd == aID && slSettings[i].Object->idOrder == aLine)
      return static_cast<int32_t>(i);
  return -1;
}

uint32_t TqvCustomATDriver::LinePause() const {
  constexpr int32_t kDefault = qv::setting::kLinePauseDefaultMs;
  for (const auto& e : slSettings) {
    if (!qv::SameTextNoCase(e.Object->fName, qv::setting::kLinePause)) continue;
    const int32_t ms = qv::StrToIntDef(e.Object->fCommand, kDefault);
    return static_cast<uint32_t>(ms < 0 ? kDefault : ms);
  }
  return qv::setting::kLinePauseDefaultMs;
}

int32_t TqvCustomATDriver::IndexOfCommand(int32_t aID, int32_t aLine) const {
  for (size_t i = 0; i < slCommands.size(); ++i)
    if (slCommands[i].Object->idCmd == aID && slCommands[i].Object->idOrder == aLine)
      return static_cast<int32_t>(i);
  return -1;
}

int32_t TqvCustomATDriver::IndexOfResponseById(int32_t id) const {
  for (size_t i = 0; i < slResponses.size(); ++i)
    if (slResponses[i].Object->Tag == id) return static_cast<int32_t>(i);
  return -1;
}

TCommEventNew* TqvCustomATDriver::GetResponseById(int32_t Index) const {
  int32_t i = IndexOfResponseById(Index);
  return i < 0 ? nullptr : slResponses[i].Object.get();
}

std::u16string TqvCustomATDriver::ReplaceStr(std::u16string_view aStr) {
  return qv::ReplaceTextNoCase(qv::ReplaceTextNoCase(aStr, u"<cr>", u"\r"), u"<lf>", u"\n");
}

// The loop index is not adjusted after a move: when an entry moves up from
// below `position`, the entry sliding into the index just handled is not tested
// again. Response priority of the built-in scripts relies on this order.
void TqvCustomATDriver::MoveResponses(int32_t id, int32_t position) {
  const auto count = static_cast<int32_t>(slResponses.size());
  if (position < 0 || position >= count || slResponses[position].Object->Tag == id) return;
  for (int32_t i = 0; i < count; ++i) {
    if (slResponses[i].Object->Tag != id || i == position) continue;
    auto entry = std::move(slResponses[i]);
    slResponses.erase(slResponses.begin() + i);
    slResponses.insert(slResponses.begin() + position, std::move(entry));
    fIndexValid = false;
  }
}

void TqvCustomATDriver::ClearAll() {
  fIndexValid = false;
  slResponses.clear();
  slCommands.clear();
  slSettings.clear();
}
