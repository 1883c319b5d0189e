// TqvSmsAssembler: joins the parts of concatenated messages into whole
// messages, whatever order they arrive in.
//
// Parts belong together when they share the sender, the reference (its width
// and value), the part count, the application ports and the memory they were
// read from. The parts' user data is joined as coded units (septets, octets,
// UTF-16 code units) and only then read as text, since a part may end between
// a 7-bit escape and its code, or inside a surrogate pair. A copy of a part
// that already arrived (the same number and the same units) is left out of
// the text; a different part under a number that already arrived means the
// sender used the reference again, so the message waiting is raised as it is
// and the new part starts the next one.
//
// Each whole message is raised once through OnMessage, with its text and the
// place (memory and index) of every part. A message whose parts do not all
// arrive within Timeout of its first part is raised with what arrived, each
// missing part marked in the text and listed in Missing, so that nothing is
// lost; Flush does the same at once for every message still waiting (the end
// of a listing). A message that is no part of another is raised as it comes.
//
// The assembler has no thread of its own: Add checks the time, and a program
// that waits for parts calls Expire now and then. Add, Expire and Flush may be
// called from any thread; the events run on the calling thread, after the
// assembler's lock was released, so a handler may call Add. Bind the events
// before the first Add.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "qvcomponent.h"
#include "qvgsmpdu.h"
#include "qvapi.h"

QV_API_BEGIN

// Where one part of a message was: its part number, and the memory and index
// it was read from (an empty memory and index 0 when it was delivered directly).
struct TqvSmsPartPlace {
  int32_t Number = 1;
  std::u16string Memory;
  int32_t Index = 0;
  bool operator==(const TqvSmsPartPlace&) const = default;
};

// One whole message, or what arrived of it.
struct TqvSmsMessage {
  // The lowest-numbered part that arrived, as decoded: sender, time stamp,
  // service centre, coding, class, ports, report fields. Its Text is that
  // part's own; the message's text is Text below.
  TqvPduSms First{true};
  // The whole text; each missing part shows as TqvSmsAssembler::MissingMark.
  std::u16string Text;
  int32_t Reference = 0;  // the concatenation reference; 0 for a single message
  int ReferenceBits = 0;  // 8 or 16; 0 for a single message
  int32_t PartCount = 1;
  std::vector<TqvSmsPartPlace> Parts;       // the parts that arrived, by number
  std::vector<TqvSmsPartPlace> Duplicates;  // more copies of them, left out of the text
  std::vector<int32_t> Missing;             // the numbers of the parts that did not arrive
  bool Complete() const { return Missing.empty(); }
};

class TqvSmsAssembler : public TObject {
 public:
  using TClock = std::function<std::chrono::steady_clock::time_point()>;
  using TMessageEvent = TqvEvent<TObject* /*Sender*/, const TqvSmsMessage& /*aMessage*/>;
  using TDuplicateEvent = TqvEvent<TObject* /*Sender*/, const TqvSmsPartPlace& /*aPlace*/>;

  static constexpr std::chrono::milliseconds kDefaultTimeout = std::chrono::minutes(10);

  TqvSmsAssembler();

  // How long the first part of a message waits for the others.
  std::chrono::milliseconds Timeout() const;
  void SetTimeout(std::chrono::milliseconds v);
  // The clock the time-out runs on (the steady clock unless a test sets one).
  void SetClock(TClock clock);
  // For a listing, which is read whole before it is shown: messages are
  // raised by Flush only, so that a copy anywhere in the listing is counted
  // with its message. Off by default: a message is raised as soon as it is whole.
  bool Snapshot() const;
  void SetSnapshot(bool v);

  // Takes one received or listed message (a part, a whole message or a
  // status report) read from `memory` at `index`. Raises what became whole,
  // and what timed out meanwhile. A record that failed to decode is raised as
  // it is, so that its place is not lost either.
  void Add(const TqvPduSms& sms, std::u16string_view memory = {}, int32_t index = 0);
  // Raises the messages whose time ran out.
  void Expire();
  // Raises every message still waiting for parts, with its missing parts marked.
  void Flush();
  // How many messages wait for parts.
  size_t Pending() const;
  // When the next waiting message times out; nothing when none waits.
  std::optional<std::chrono::steady_clock::time_point> NextDue() const;

  // The text that stands for a missing part: "[part 2 of 3 missing]".
  static std::u16string MissingMark(int32_t number, int32_t count);

  // A whole message, or one that timed out or was flushed.
  TMessageEvent OnMessage;
  // A copy of a part of a message raised within the last Timeout: dropped,
  // and told here so that its stored copy can be dealt with.
  TDuplicateEvent OnDuplicate;

 private:
  struct TKey {
    std::u16string Sender;
    int Bits = 0;
    int32_t Reference = 0;
    int32_t Count = 0;
    TqvPduPort PortType = TqvPduPort::ppNone;
    int32_t PortSrc = 0, PortDest = 0;
    std::u16string Memory;
    bool operator==(const TKey&) const = default;
  };
  struct TPart {
    TqvPduSms Sms;
    TqvSmsPartPlace Place;
  };
  struct TGroup {
    TKey Key;
    std::chrono::steady_clock::time_point Due;
    std::vector<TPart> Parts;  // by part number
    std::vector<TqvSmsPartPlace> Duplicates;
  };
  // A message raised lately: later copies of its parts are duplicates.
  struct TRecent {
    TKey Key;
    std::vector<std::pair<int32_t, std::u16string>> Units;  // part number, coded units
    std::chrono::steady_clock::time_point Forget;
  };
  struct TOutcome {
    std::vector<TqvSmsMessage> Messages;
    std::vector<TqvSmsPartPlace> Duplicates;
  };

  static TKey KeyOf(const TqvPduSms& sms, std::u16string_view memory);
  static TqvSmsMessage Single(const TqvPduSms& sms, std::u16string_view memory, int32_t index);
  static TqvSmsMessage Joined(const TGroup& group);
  static std::u16string JoinedText(const TGroup& group);
  bool IsLateCopy(const TKey& key, const TqvPduSms& sms) const;
  void AddPart(const TqvPduSms& sms, std::u16string_view memory, int32_t index, TOutcome& out);
  void Deliver(std::vector<TGroup>::iterator group, TOutcome& out);
  void ExpireLocked(std::chrono::steady_clock::time_point now, TOutcome& out);
  void Raise(const TOutcome& out);

  mutable std::mutex fMutex;
  std::chrono::milliseconds fTimeout = kDefaultTimeout;
  bool fSnapshot = false;
  TClock fClock;
  std::vector<TGroup> fGroups;  // in the order their first part arrived
  std::vector<TRecent> fRecent;
};

QV_API_END
