// TCommEventNew: recognises one fixed byte pattern in a stream that arrives one
// byte at a time, keeping only a position counter (no buffer, no allocation).
//
// After a mismatch only the current byte is reconsidered as a new start; a
// longer overlap of the pattern with itself is deliberately not retried. The
// built-in driver scripts' matching priority depends on exactly this behaviour.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "qvcomponent.h"
#include "qvapi.h"

QV_API_BEGIN

class TCommEventNew : public TObject {
 public:
  explicit TCommEventNew(std::string_view sEvent = {}) { SetStr(sEvent); }

  const std::string& Str() const { return fStr; }
  // Stores the pattern and discards any partial match.
  void SetStr(std::string_view value) {
    fStr.assign(value);
    fLen = static_cast<int32_t>(fStr.size());
    Reset();
  }
  int32_t Len() const { return fLen; }

  void Reset() { Reserved = 1; }

  // Feeds one received byte; chWild (0 for none) is a pattern byte that accepts
  // any received byte. True exactly when Ch completes the pattern.
  bool IsEvent(uint8_t Ch, uint8_t chWild) {
    if (fLen == 0) return false;
    const auto e = static_cast<uint8_t>(fStr[static_cast<size_t>(Reserved - 1)]);
    if ((chWild != 0 && e == chWild) || Ch == e) {
      if (++Reserved > fLen) {
        Reset();
        return true;
      }
      return false;
    }
    Reserved = (Ch == static_cast<uint8_t>(fStr[0])) ? 2 : 1;
    return false;
  }

  // A partial match is in progress.
  bool IsPossible() const { return Reserved > 1; }

  // 1-based position of the next pattern byte expected; 1 when idle.
  int32_t Reserved = 1;
  // Written by the driver loader, read by the processor; never by the matcher.
  int32_t Tag = 0;     // response id
  int32_t iOrder = 0;  // order number of the script line
  uint32_t Data = 0;   // extra argument of the script line

 private:
  int32_t fLen = 0;
  std::string fStr;
};

QV_API_END
