// Driver scripts: the command lines, response patterns and settings of one
// modem model, loaded from the plain-text script format, plus the field
// splitter shared by all reply parsing.
//
// Script format, one statement a line (CR LF, LF or CR):
//   ; comment            // comment      (a ';' cuts the line, even inside quotes:
//                                          write a literal semicolon as <sem>)
//   Include = name       parses the embedded script `name` (case ignored) here
//   HKR, Responses, "pattern", order, id, data
//   HKR, Settings, name, order, "value", data0 ... data7
//   HKR, commandName, "text", order, expectedReply, data0 ... data7
// Lines without a leading HKR field are ignored; missing or non-numeric number
// fields take their defaults.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qvcommevent.h"
#include "qvcomponent.h"
#include "qvapi.h"

QV_API_BEGIN

namespace qv {

// Response ids shared by the scripts, the processor and the GSM component.
namespace resp {
inline constexpr int32_t kOk = 0;            // success final result
inline constexpr int32_t kRinging = 1;
inline constexpr int32_t kConnect = 2;
inline constexpr int32_t kError = 3;         // error final result (TATReply::IsError)
inline constexpr int32_t kNoCarrier = 4;
inline constexpr int32_t kNoDialtone = 5;
inline constexpr int32_t kBusy = 6;
inline constexpr int32_t kNoAnswer = 7;
inline constexpr int32_t kRing = 8;
inline constexpr int32_t kPrompt = 101;      // input prompt "> "
inline constexpr int32_t kSmsSent = 102;     // +CMGS: reference
inline constexpr int32_t kSmsError = 103;    // +CMS ERROR: code
inline constexpr int32_t kSmsStored = 104;   // +CMTI: and the like
inline constexpr int32_t kIncomingCall = 105;
inline constexpr int32_t kSmsListItem = 106; // +CMGL: header and PDU lines
inline constexpr int32_t kSmsDirect = 107;   // +CMT: header and PDU lines
inline constexpr int32_t kModelId = 109;     // detection reply
inline constexpr int32_t kUnsolicited = 111;
inline constexpr int32_t kUssd = 112;
// Whole unsolicited lines of modules: they never end a line and stay out of its reply.
inline constexpr int32_t kStartup = 113;     // the module has (re)started: "RDY", "^SYSSTART"
inline constexpr int32_t kSmsReady = 114;    // its message service is ready: "+QIND: SMS DONE"
inline constexpr int32_t kNetwork = 115;     // +CREG: and +CEREG:, answers and notifications alike
inline constexpr int32_t kIndicator = 116;   // +CIEV: an indicator changed

// Ids whose pattern is only the head of a notification line; the rest of the
// line (two lines for list items and direct deliveries) follows the head.
bool IsNotificationHead(int32_t id);
// Number of line ends (CR) that close the notification started by head `id`.
int NotificationLineCount(int32_t id);
// The results that end a call or a dial: NO CARRIER, NO DIALTONE, BUSY, NO ANSWER.
bool IsCallEnd(int32_t id);
// A whole unsolicited line that reports the module's own state (kStartup, kSmsReady).
bool IsModuleStatus(int32_t id);
}  // namespace resp

// Settings the AT command processor itself reads from its current driver.
namespace setting {
// Milliseconds between a final result and the next line the processor sends
// (acknowledgements excepted): HKR, Settings, gsmLinePause, 1, "0"
inline constexpr std::u16string_view kLinePause = u"gsmLinePause";
inline constexpr uint32_t kLinePauseDefaultMs = 20;
}  // namespace setting

// Field n (from 1) of a comma-separated line. Quotes and parentheses group
// (commas inside do not split) and never reach the result; the walk stops at
// a CR; the result is trimmed.
std::u16string ExtractField(std::u16string_view line, int n);
std::string ExtractField(std::string_view line, int n);
// As ExtractField, but inside quotes two quotes stand for one quote character
// (the phone book file writes a quote in a text so).
std::u16string ExtractQuotedField(std::u16string_view line, int n);

// Reads a text file: a byte-order mark selects UTF-8 or UTF-16, otherwise the
// ANSI code page. False when the file cannot be read.
bool ReadTextFile(const std::string& path, std::u16string& text);

}  // namespace qv

// One command line or one settings line of a script.
class TATCommand : public TObject {
 public:
  std::u16string fName;     // command or setting name
  std::u16string fCommand;  // command text with tokens, or the setting's value
  int32_t idExpectedReply = 0;
  int32_t idOrder = 0;
  int32_t idCmd = 0;        // numeric id of fName, assigned when the driver is added
  std::array<uint8_t, 8> Data{};
};

// An entry of a driver list: display text and the object it owns.
template <class T>
struct TqvListEntry {
  std::u16string Text;
  std::unique_ptr<T> Object;
};
template <class T>
using TqvOwnedList = std::vector<TqvListEntry<T>>;

class TqvCustomATDriver : public TObject {
 public:
  TqvCustomATDriver() = default;
  ~TqvCustomATDriver() override { ClearAll(); }

  // aStr is 8-bit text in the ANSI code page. Adds to the lists; false when
  // the parse failed (entries added before the failure stay).
  bool LoadFromString(std::string_view aStr);
  // A byte-order mark selects UTF-8 or UTF-16, otherwise ANSI. False when the
  // file cannot be read or the parse fails.
  bool LoadFromFile(const std::string& aFileName);
  bool ParseLines(std::u16string_view text);

  const std::u16string& Caption() const { return fCaption; }
  void SetCaption(std::u16string value) { fCaption = std::move(value); }

  // Index of the response that byte Ch completes (all matchers are then reset
  // and later ones do not see the byte), or -1.
  //
  // Only matchers that are inside a partial match or whose pattern starts with
  // Ch are stepped: every other matcher would stay idle anyway, so the result
  // is that of stepping them all in list order. slResponses may be read freely;
  // change it through the driver (loading, MoveResponses, ClearAll) or call
  // ResponsesChanged() afterwards, and feed its matchers only through here.
  virtual int32_t IsResponse(uint8_t Ch);
  virtual void ResponsesResetState();
  void ResponsesChanged() { fIndexValid = false; }

  int32_t IndexOfSetting(int32_t aID, int32_t aLine) const;
  // The gsmLinePause setting (the first one of any order number), read as a
  // number; kLinePauseDefaultMs when there is none or it is not a number >= 0.
  uint32_t LinePause() const;
  int32_t IndexOfCommand(int32_t aID, int32_t aLine) const;

  TCommEventNew* GetResponse(int32_t Index) const { return slResponses.at(Index).Object.get(); }
  TATCommand* GetCommands(int32_t Index) const { return slCommands.at(Index).Object.get(); }
  TATCommand* GetSettings(int32_t Index) const { return slSettings.at(Index).Object.get(); }
  TCommEventNew* GetResponseById(int32_t Index) const;
  int32_t IndexOfResponseById(int32_t id) const;

  static std::u16string ReplaceStr(std::u16string_view aStr);

  // Moves every response with Tag `id` to `position` (see the loop note in the .cpp).
  void MoveResponses(int32_t id, int32_t position);
  void ClearAll();

  TqvOwnedList<TATCommand> slCommands;
  TqvOwnedList<TCommEventNew> slResponses;
  TqvOwnedList<TATCommand> slSettings;

  // Where include statements find their scripts: the embedded resources
  // unless replaced (tests use their own set).
  std::function<std::optional<std::string_view>(std::string_view)> IncludeSource;

 private:
  void ParseLine(std::u16string_view line);
  void ParseInclude(std::u16string_view name);
  void AddResponse(std::u16string_view rest);
  void AddCommand(std::u16string_view rest);
  void AddSetting(std::u16string_view rest);

  bool IndexCurrent() const {
    return fIndexValid && fIndexData == slResponses.data() && fIndexSize == slResponses.size();
  }
  void BuildIndex();
  int32_t IsResponseAll(uint8_t Ch);

  std::u16string fCaption;
  std::vector<std::u16string> fIncludeStack;  // guards against include cycles

  // Matching index: bit i stands for slResponses[i] (up to 64 responses; a
  // longer list steps every matcher).
  bool fIndexValid = false;
  bool fIndexFits = false;
  const void* fIndexData = nullptr;
  size_t fIndexSize = 0;
  std::vector<TCommEventNew*> fMatchers;
  std::array<uint64_t, 256> fFirstByte{};  // matchers whose pattern starts with the byte
  uint64_t fActive = 0;                    // matchers inside a partial match
};

QV_API_END
