// qvsms: what the tool prints. With --json, one JSON object per line on
// standard output (a command prints one; "sms watch" one per event) and
// errors as one JSON object on standard error; without it, aligned text.
// A progress bar shows on standard error only when that is a terminal and
// the output is not JSON.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace qvsms {

using TJson = nlohmann::ordered_json;

class TProgress;

class TOutput {
 public:
  explicit TOutput(bool json, std::FILE* out = stdout, std::FILE* err = stderr);

  bool Json() const { return fJson; }
  // One JSON object on a line of its own, flushed at once.
  void Object(const TJson& object);
  // One line of text, flushed at once.
  void Line(std::string_view text);
  // Rows in aligned columns; the last column is not padded.
  void Table(const std::vector<std::vector<std::string>>& rows);
  // The one line of an error: "qvsms: message", or {"error": ...} with --json.
  void Error(int code, std::string_view message);
  // False once standard output could not be written (a closed pipe).
  bool Good() const { return fGood; }

  // A bar that counts `total` steps (0: unknown) and is wiped when it goes;
  // it draws nothing unless standard error is a terminal and output is text.
  std::unique_ptr<TProgress> Progress(std::string_view what, int total);

 private:
  void Flush();
  bool fJson;
  std::FILE* fOut;
  std::FILE* fErr;
  bool fGood = true;
};

class TProgress {
 public:
  TProgress(std::FILE* err, std::string what, int total, bool draw);
  ~TProgress();
  TProgress(const TProgress&) = delete;
  TProgress& operator=(const TProgress&) = delete;
  void Step();

 private:
  void Draw() const;
  std::FILE* fErr;
  std::string fWhat;
  int fTotal;
  int fDone = 0;
  bool fDraw;
};

// A date-time of the library (days since 1899-12-30, the sender's local
// time) and its zone, as ISO 8601 with the exact offset:
// "2008-03-25T14:30:05+03:00". Null for no date.
TJson IsoDate(double dateTime, int zoneMinutes);
// A date-time of the phone's own clock, whose offset nobody knows (a phone
// book's call list): "2008-03-25T14:30:05". Null for no date.
TJson IsoLocalDate(double dateTime);
// Text for people: the same without the "T".
std::string HumanDate(double dateTime, int zoneMinutes);

}  // namespace qvsms
