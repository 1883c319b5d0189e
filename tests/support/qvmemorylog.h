// A log that keeps its lines (UTF-8, without stamps) in memory, for tests.
// Safe to write from any thread.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "qvclasses.h"

namespace qv::test {

class TqvMemoryLog : public TqvCustomLogFile {
 public:
  explicit TqvMemoryLog(TqvComponent* AOwner = nullptr);  // at dlDebug
  void Save() override {}
  void Clear() override;
  void Add(const std::u16string& s) override;
  void AddSysInfo() override { Add(u"<system information>"); }
  void AddLog(TDetailLevel l, const std::u16string& s) override;
  void AddFmt(const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) override;
  void AddLogFmt(TDetailLevel l, const std::u16string& Format, const std::vector<qv::TqvFmtArg>& Args) override;

  std::vector<std::string> Lines() const;
  bool Contains(std::string_view text) const;
  std::vector<std::string> Grep(std::string_view text) const;  // the lines that contain it
  std::string All() const;                                      // every line, each ended by "\n"

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace qv::test
