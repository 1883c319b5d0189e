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
      // turn always could; only an acknowledgement or an owed final is waited for.
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

    case I::riAckWanted:
      ++acks_;
      if (SlotFree())
        a.SendAck = true;
      else
        GraceForOwedFinal(a);
      break;

    case I::riLineSent:
      TakeSlot(kind);
      state_ = S::rsAwaitingReply;
      a.Timer = TReplyTimer::rtReply;
      break;

    case I::riSendFailed:
      TakeSlot(kind);
      state_ = S::rsSendFailed;
      a.Timer = TReplyTimer::rtStop;
      LineEnded(a, O::loSendFailed, false);
      break;

    case I::riPatternCompleted:
      if (state_ != S::rsAwaitingReply) break;
      if (kind_ == K::lkAck) return Input(I::riFinalResult);
      a.Timer = TReplyTimer::rtStop;
      state_ = S::rsOwedFinal;
      if (kind_ == K::lkSync) a.Signal = O::loReplied;
      // The queue's next line, and any acknowledgement, wait for the final.
      if (kind_ == K::lkQueued) queueWaits_ = true;
      if (queueWaits_ || acks_ > 0) GraceForOwedFinal(a);
      break;

    case I::riFinalResult:
    case I::riErrorResult: {
      const bool error = input == I::riErrorResult;
      if (state_ == S::rsAwaitingReply) {
        state_ = S::rsIdle;
        a.Timer = TReplyTimer::rtStop;
        LineEnded(a, error ? O::loError : O::loReplied, !error);
      } else if (OwesFinal()) {
        state_ = S::rsIdle;
        a.Timer = TReplyTimer::rtStop;
        Free(a);
      }
      break;
    }

    case I::riTimeOut:
      if (state_ == S::rsAwaitingReply) {
        state_ = S::rsTimedOut;
        a.Timer = TReplyTimer::rtStop;
        LineEnded(a, O::loTimedOut, false);
      } else if (state_ == S::rsFinalGrace) {
        state_ = S::rsIdle;
        Free(a);
      }
      break;

    case I::riDeviceClosed:
      a.Timer = TReplyTimer::rtStop;
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

// The pending line has ended with `outcome`; a queue goes on or stops.
void TqvReplyMachine::LineEnded(TReplyActions& a, TLineOutcome outcome, bool queueGoesOn) {
  if (kind_ != K::lkAck) a.Signal = outcome;
  if (kind_ == K::lkQueued) {
    if (queueGoesOn)
      queueWaits_ = true;
    else
      a.EndQueue = true;
  }
  Free(a);
}

// The slot is free: acknowledgements first, then the caller, then the queue.
// A caller always sends once woken, so the queue is never left behind it; a
// queue may finish without sending, which would leave a caller behind it.
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
