// Which line owns the device's replies, and what follows when a line ends:
// the small state machine behind the AT command processor. It only decides;
// the processor sends, arms its timers, signals the waiting caller and stops
// queues as the returned actions say, under its own lock.
//
// The line slot holds one line at a time:
//
//   Idle, SendFailed, TimedOut  --LineSent-->  AwaitingReply  (reply time-out armed)
//   AwaitingReply --FinalResult-->  LineGap  (gap clock started)
//   AwaitingReply --ErrorResult, PromptAnswered-->  Idle
//   AwaitingReply --PatternCompleted-->  OwedFinal   (the reply came without its final
//                                                      result, which still belongs to it)
//   OwedFinal --a line or an acknowledgement wants to go-->  FinalGrace (grace armed)
//   OwedFinal, FinalGrace --FinalResult / ErrorResult-->  LineGap
//   FinalGrace --TimeOut-->  Idle         (the owed final never came)
//   LineGap --GapOver-->  Idle
//   AwaitingReply --TimeOut-->  TimedOut
//   a failed write  -->  SendFailed
//
// The line gap keeps the modem's pace: after a success final result (an owed
// one too), the next line leaves only once the gap has passed (the driver's
// setting; without a gap the final result frees the slot at once). An error
// final and the input prompt, which asks for the next line, are not followed
// by it. The caller whose line just ended is woken at the final result all
// the same. The gap has a clock of its own, so that no reply time-out can
// cancel it; the grace for an owed final is armed for the longer of the two,
// so that no gap follows an expired grace. A free slot also enters LineGap
// when the processor holds the next line back for a while (HoldWanted).
//
// Three kinds of line use the slot: a synchronous caller's, a queued one, and
// an acknowledgement that must go out right after the current line's final
// result, ahead of every other line and without waiting for the gap. A line
// that wants to go while the slot is busy waits: the queue's next line and a
// synchronous caller's line each have a place, acknowledgements a count.
// Whenever the slot frees, the acknowledgements go first, then the caller,
// then the queue. The queue asks for the slot for each of its lines (after
// the line before has ended), so a queue with nothing left never waits. The
// processor feeds every line it was told to send back as LineSent or
// SendFailed.
#pragma once

#include <cstdint>

#include "qvapi.h"

QV_API_BEGIN

namespace qv {

enum class TLineKind : uint8_t { lkSync, lkQueued, lkAck };

enum class TReplyState : uint8_t {
  rsIdle,           // no line owns the replies; the last one was answered
  rsAwaitingReply,  // a line was sent; the replies up to its final result are its own
  rsOwedFinal,      // its reply came without the final result, which still belongs to it
  rsFinalGrace,     // as rsOwedFinal while a line waits for that final (FinalGrace at most)
  rsSendFailed,     // the last line could not be written
  rsTimedOut,       // the last line got no reply within its time-out
  rsLineGap,        // a final result came: the next line waits for the gap (acknowledgements do not)
};

enum class TReplyInput : uint8_t {
  riLineWanted,        // a queued or synchronous line wants to go out (kind given)
  riAckWanted,         // an acknowledgement wants to go out
  riLineSent,          // a line was written (kind given)
  riSendFailed,        // writing a line failed (kind given)
  riPatternCompleted,  // the pending line's expected reply completed without a final result
  riFinalResult,       // a success final result (or the expected reply that carries one)
  riPromptAnswered,    // the pending line's expected reply was the input prompt
  riErrorResult,       // an error final result
  riTimeOut,           // the armed timer ran out
  riGapOver,           // the gap clock ran out
  riHoldWanted,        // the processor holds the next line back for a while
  riDeviceClosed,
};

// What the waiter of a line learns.
enum class TLineOutcome : uint8_t { loPending, loReplied, loError, loTimedOut, loSendFailed, loClosed };

enum class TReplyTimer : uint8_t { rtKeep, rtStop, rtReply, rtGrace };
enum class TGapClock : uint8_t { gcKeep, gcStart, gcStop };

struct TReplyActions {
  TReplyTimer Timer = TReplyTimer::rtKeep;
  TGapClock Gap = TGapClock::gcKeep;
  TLineOutcome Signal = TLineOutcome::loPending;  // other than loPending: wake the line's waiter with it
  bool EndQueue = false;    // the queue stops without finishing
  bool SendAck = false;     // the next acknowledgement goes out now
  bool SendQueued = false;  // the queue's next line goes out now (or the queue finishes)
  bool SendCaller = false;  // the synchronous caller's line goes out now
  bool operator==(const TReplyActions&) const = default;
};

class TqvReplyMachine {
 public:
  // `lineGap`: whether final results are followed by the line gap.
  explicit TqvReplyMachine(bool lineGap = false) : lineGap_(lineGap) {}

  // `kind` matters for riLineWanted, riLineSent and riSendFailed.
  TReplyActions Input(TReplyInput input, TLineKind kind = TLineKind::lkSync);
  // A reopened device: idle, nothing waiting; the gap setting stays.
  void Reset() { *this = TqvReplyMachine(lineGap_); }
  // Takes effect from the next final result.
  void SetLineGap(bool on) { lineGap_ = on; }

  TReplyState State() const { return state_; }
  TLineKind Kind() const { return kind_; }  // of the line sent last
  bool Awaiting(TLineKind kind) const { return state_ == TReplyState::rsAwaitingReply && kind_ == kind; }
  bool OwesFinal() const { return state_ == TReplyState::rsOwedFinal || state_ == TReplyState::rsFinalGrace; }
  // No line owns the replies and none has been promised the slot (an
  // acknowledgement told to go is one).
  bool SlotFree() const {
    return !callerPromised_ && acks_ == 0 &&
           (state_ == TReplyState::rsIdle || state_ == TReplyState::rsSendFailed ||
            state_ == TReplyState::rsTimedOut);
  }
  int AcksWaiting() const { return acks_; }
  bool QueueWaits() const { return queueWaits_; }
  bool CallerWaits() const { return callerWaits_; }

 private:
  void TakeSlot(TLineKind kind);
  void PromiseCaller(TReplyActions& a);
  void LineEnded(TReplyActions& a, TLineOutcome outcome, bool queueStops);
  void AfterFinal(TReplyActions& a);
  void Free(TReplyActions& a);
  void GraceForOwedFinal(TReplyActions& a);

  TReplyState state_ = TReplyState::rsIdle;
  TLineKind kind_ = TLineKind::lkSync;
  bool queueWaits_ = false;
  bool callerWaits_ = false;
  bool callerPromised_ = false;  // woken, its line not yet written
  int acks_ = 0;
  bool lineGap_ = false;
};

}  // namespace qv

QV_API_END
