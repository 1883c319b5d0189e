#include "qvmemorylog.h"

#include "qvtext.h"

namespace qv::test {

TqvMemoryLog::TqvMemoryLog(TqvComponent* AOwner) : TqvCustomLogFile(AOwner) {
  SetDetailLevel(TDetailLevel::dlDebug);
}

void TqvMemoryLog::Clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

void TqvMemoryLog::Add(const std::u16string& s) {
  std::lock_guard lock(mutex_);
  lines_.push_back(qv::StringToUtf8(s));
}

void TqvMemoryLog::AddLog(TDetailLevel l, const std::u16string& s) {
  if (DetailLevel() >= l) Add(s);
}

void TqvMemoryLog::AddFmt(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) {
  Add(qv::Format(Format, Args));
}

void TqvMemoryLog::AddLogFmt(TDetailLevel l, const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) {
  if (DetailLevel() >= l) AddFmt(Format, Args);
}

std::vector<std::string> TqvMemoryLog::Lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

bool TqvMemoryLog::Contains(std::string_view text) const { return !Grep(text).empty(); }

std::vector<std::string> TqvMemoryLog::Grep(std::string_view text) const {
  std::vector<std::string> found;
  for (const std::string& line : Lines())
    if (line.find(text) != std::string::npos) found.push_back(line);
  return found;
}

std::string TqvMemoryLog::All() const {
  std::string all;
  for (const std::string& line : Lines()) all += line + "\n";
  return all;
}

}  // namespace qv::test
