#include "qvreplymachine.h"

namespace qv {

using S = TReplyState;
using I = TReplyInput;
using K = TLineKind;
using O = TLineOutcome;

TReplyActions TqvReplyMachine::Input(TReplyInput input, TLineKind kind) {
  TReplyActions a;
  switch (input) {
    case I::riLineWanted:
      // A line still pending is taken over, as a caller that ignores the
      // turn always could; an acknowledgement, an owed final and the line
      // gap are waited for.
      if (SlotFree() || (state_ == S::rsAwaitingReply && kind_ != K::lkAck)) {
        if (kind == K::lkQueued)
          a.SendQueued = true;
        else
          PromiseCaller(a);
      } else {
        (kind == K::lkQueued ? queueWaits_ : callerWaits_) = true;
        GraceForOwedFinal(a);
      }
      break;

    case I::riAckWanted: {
      const bool now = SlotFree() || (state_ == S::rsLineGap && acks_ == 0);
      ++acks_;
      if (now)
        a.SendAck = true;
      else
        GraceForOwedFinal(a);
      break;
    }

    case I::riLineSent:
      TakeSlot(kind);
      state_ = S::rsAwaitingReply;
      a.Timer = TReplyTimer::rtReply;
      break;

    case I::riSendFailed:
      TakeSlot(kind);
      state_ = S::rsSendFailed;
      a.Timer = TReplyTimer::rtStop;
      LineEnded(a, O::loSendFailed, true);
      Free(a);
      break;

    case I::riPatternCompleted:
      if (state_ != S::rsAwaitingReply) break;
      if (kind_ == K::lkAck) return Input(I::riFinalResult);
      a.Timer = TReplyTimer::rtStop;
      state_ = S::rsOwedFinal;
      if (kind_ == K::lkSync) a.Signal = O::loReplied;
      // Lines that already wait (a caller, an acknowledgement) wait for the final.
      if (callerWaits_ || queueWaits_ || acks_ > 0) GraceForOwedFinal(a);
      break;

    case I::riFinalResult:
    case I::riPromptAnswered:
    case I::riErrorResult: {
      const bool error = input == I::riErrorResult;
      if (state_ == S::rsAwaitingReply) {
        a.Timer = TReplyTimer::rtStop;
        LineEnded(a, error ? O::loError : O::loReplied, error);
        if (input == I::riFinalResult) {
          AfterFinal(a);
        } else {
          state_ = S::rsIdle;
          Free(a);
        }
      } else if (OwesFinal()) {
        a.Timer = TReplyTimer::rtStop;
        AfterFinal(a);
      }
      break;
    }

    case I::riTimeOut:
      if (state_ == S::rsAwaitingReply) {
        state_ = S::rsTimedOut;
        a.Timer = TReplyTimer::rtStop;
        LineEnded(a, O::loTimedOut, true);
        Free(a);
      } else if (state_ == S::rsFinalGrace) {
        // The grace ran for the longer of itself and the gap: nothing more to wait for.
        state_ = S::rsIdle;
        Free(a);
      }
      break;

    case I::riGapOver:
      if (state_ == S::rsLineGap) {
        state_ = S::rsIdle;
        Free(a);
      }
      break;

    case I::riHoldWanted:
      if (SlotFree() || (state_ == S::rsLineGap && acks_ == 0)) {
        state_ = S::rsLineGap;
        a.Gap = TGapClock::gcStart;
      }
      break;

    case I::riDeviceClosed:
      a.Timer = TReplyTimer::rtStop;
      a.Gap = TGapClock::gcStop;
      if (state_ == S::rsAwaitingReply && kind_ != K::lkAck) a.Signal = O::loClosed;
      a.EndQueue = (state_ == S::rsAwaitingReply && kind_ == K::lkQueued) || queueWaits_;
      a.SendCaller = callerWaits_;  // it finds the device closed
      state_ = S::rsIdle;
      queueWaits_ = callerWaits_ = callerPromised_ = false;
      acks_ = 0;
      break;
  }
  return a;
}

// A line of `kind` was written, or tried: it no longer waits.
void TqvReplyMachine::TakeSlot(TLineKind kind) {
  kind_ = kind;
  if (kind == K::lkAck && acks_ > 0) --acks_;
  if (kind == K::lkQueued) queueWaits_ = false;
  if (kind == K::lkSync) callerWaits_ = callerPromised_ = false;
}

// The caller's line runs on the caller's thread: until it is written, the
// slot is kept for it, so that no acknowledgement slips in before it.
void TqvReplyMachine::PromiseCaller(TReplyActions& a) {
  a.SendCaller = true;
  callerPromised_ = true;
}

// The pending line has ended with `outcome`: its waiter learns it, and a
// failure stops the queue. A queue that goes on asks for the slot again.
void TqvReplyMachine::LineEnded(TReplyActions& a, TLineOutcome outcome, bool queueStops) {
  if (kind_ != K::lkAck) a.Signal = outcome;
  if (kind_ == K::lkQueued && queueStops) a.EndQueue = true;
}

// A success final result came: acknowledgements go at once, every other line after the gap.
void TqvReplyMachine::AfterFinal(TReplyActions& a) {
  if (!lineGap_) {
    state_ = S::rsIdle;
    Free(a);
    return;
  }
  state_ = S::rsLineGap;
  a.Gap = TGapClock::gcStart;
  if (acks_ > 0) a.SendAck = true;
}

// The slot is free: acknowledgements first, then the caller, then the queue.
void TqvReplyMachine::Free(TReplyActions& a) {
  if (acks_ > 0) {
    a.SendAck = true;
  } else if (callerWaits_) {
    callerWaits_ = false;
    PromiseCaller(a);
  } else if (queueWaits_) {
    queueWaits_ = false;
    a.SendQueued = true;
  }
}

// Something waits for the slot: an owed final is waited for at most FinalGrace from now.
void TqvReplyMachine::GraceForOwedFinal(TReplyActions& a) {
  if (state_ == S::rsOwedFinal) {
    state_ = S::rsFinalGrace;
    a.Timer = TReplyTimer::rtGrace;
  }
}

}  // namespace qv
