// The line slot's state machine: for each state reached by a short history,
// what one input does to the state and which actions it asks for, without and
// with the line gap.
#include "qvreplymachine.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace qv;
using I = TReplyInput;
using K = TLineKind;
using S = TReplyState;
using O = TLineOutcome;
using T = TReplyTimer;
using G = TGapClock;

namespace {

using TStep = std::pair<I, K>;
using THistory = std::vector<TStep>;

constexpr TStep Sent(K k) { return {I::riLineSent, k}; }
constexpr TStep Wanted(K k) { return {I::riLineWanted, k}; }
constexpr TStep Ack{I::riAckWanted, K::lkAck};
constexpr TStep Completed{I::riPatternCompleted, K::lkSync};
constexpr TStep Final{I::riFinalResult, K::lkSync};
constexpr TStep Tick{I::riTimeOut, K::lkSync};
constexpr TStep GapOver{I::riGapOver, K::lkSync};
constexpr TStep Hold{I::riHoldWanted, K::lkSync};
constexpr TStep Closed{I::riDeviceClosed, K::lkSync};

// Histories that lead to the states the rows start from.
const THistory kIdle = {};
const THistory kSyncAwaiting = {Sent(K::lkSync)};
const THistory kQueuedAwaiting = {Sent(K::lkQueued)};
const THistory kAckAwaiting = {Ack, Sent(K::lkAck)};
const THistory kSyncOwed = {Sent(K::lkSync), Completed};
const THistory kQueuedOwed = {Sent(K::lkQueued), Completed};
const THistory kQueuedGrace = {Sent(K::lkQueued), Completed, Wanted(K::lkQueued)};
const THistory kTimedOut = {Sent(K::lkSync), Tick};

THistory Then(THistory h, std::initializer_list<TStep> more) {
  h.insert(h.end(), more);
  return h;
}

struct TActs {
  T timer = T::rtKeep;
  G gap = G::gcKeep;
  O signal = O::loPending;
  bool endQueue = false, ack = false, queued = false, caller = false;
  operator TReplyActions() const { return {timer, gap, signal, endQueue, ack, queued, caller}; }
};

struct TRow {
  const char* name;
  THistory history;
  TStep input;
  S state;
  TActs actions;
};

std::string Describe(const TReplyActions& a) {
  return "timer " + std::to_string(int(a.Timer)) + ", gap " + std::to_string(int(a.Gap)) +
         ", signal " + std::to_string(int(a.Signal)) +
         (a.EndQueue ? ", end queue" : "") + (a.SendAck ? ", send ack" : "") +
         (a.SendQueued ? ", send queued" : "") + (a.SendCaller ? ", send caller" : "");
}

void Check(std::initializer_list<TRow> rows, bool lineGap) {
  for (const auto& row : rows) {
    TqvReplyMachine m(lineGap);
    for (const auto& [input, kind] : row.history) m.Input(input, kind);
    const TReplyActions got = m.Input(row.input.first, row.input.second);
    EXPECT_EQ(m.State(), row.state) << row.name;
    EXPECT_EQ(got, TReplyActions(row.actions)) << row.name << ": " << Describe(got);
  }
}

}  // namespace

TEST(ReplyMachine, EachInputMovesTheSlotAndAsksForItsActions) {
  Check({
      // Sending and plain replies.
      {"idle: a caller's line goes at once", kIdle, Wanted(K::lkSync), S::rsIdle, {.caller = true}},
      {"idle: the queue's line goes at once", kIdle, Wanted(K::lkQueued), S::rsIdle, {.queued = true}},
      {"a line sent arms its time-out", kIdle, Sent(K::lkSync), S::rsAwaitingReply, {.timer = T::rtReply}},
      {"a caller's reply wakes it", kSyncAwaiting, Final, S::rsIdle, {.timer = T::rtStop, .signal = O::loReplied}},
      {"a caller's error wakes it", kSyncAwaiting, {I::riErrorResult, K::lkSync}, S::rsIdle,
       {.timer = T::rtStop, .signal = O::loError}},
      {"a queued reply ends its line; the queue asks again for its next one", kQueuedAwaiting, Final, S::rsIdle,
       {.timer = T::rtStop, .signal = O::loReplied}},
      {"a queued error stops the queue", kQueuedAwaiting, {I::riErrorResult, K::lkSync}, S::rsIdle,
       {.timer = T::rtStop, .signal = O::loError, .endQueue = true}},
      {"a caller's time-out wakes it", kSyncAwaiting, Tick, S::rsTimedOut,
       {.timer = T::rtStop, .signal = O::loTimedOut}},
      {"a queued time-out stops the queue", kQueuedAwaiting, Tick, S::rsTimedOut,
       {.timer = T::rtStop, .signal = O::loTimedOut, .endQueue = true}},
      {"a caller's failed write wakes it", kIdle, {I::riSendFailed, K::lkSync}, S::rsSendFailed,
       {.timer = T::rtStop, .signal = O::loSendFailed}},
      {"a queued failed write stops the queue", kIdle, {I::riSendFailed, K::lkQueued}, S::rsSendFailed,
       {.timer = T::rtStop, .signal = O::loSendFailed, .endQueue = true}},
      {"a line wanted while another is awaited takes over", kSyncAwaiting, Wanted(K::lkSync), S::rsAwaitingReply,
       {.caller = true}},

      // A reply that comes without its final result.
      {"a caller's reply without final wakes it; the final is owed", kSyncAwaiting, Completed, S::rsOwedFinal,
       {.timer = T::rtStop, .signal = O::loReplied}},
      {"a queued reply without final: the final is owed", kQueuedAwaiting, Completed, S::rsOwedFinal,
       {.timer = T::rtStop}},
      {"the queue's next line waits for it", kQueuedOwed, Wanted(K::lkQueued), S::rsFinalGrace,
       {.timer = T::rtGrace}},
      {"the owed final sends the queue's next line", kQueuedGrace, Final, S::rsIdle,
       {.timer = T::rtStop, .queued = true}},
      {"an owed error final is the same final", kQueuedGrace, {I::riErrorResult, K::lkSync}, S::rsIdle,
       {.timer = T::rtStop, .queued = true}},
      {"no final within the grace: the queue goes on", kQueuedGrace, Tick, S::rsIdle, {.queued = true}},
      {"a caller's next line waits for the owed final", kSyncOwed, Wanted(K::lkSync), S::rsFinalGrace,
       {.timer = T::rtGrace}},
      {"the owed final lets the caller go", Then(kSyncOwed, {Wanted(K::lkSync)}), Final, S::rsIdle,
       {.timer = T::rtStop, .caller = true}},
      {"an owed final with nothing waiting", kSyncOwed, Final, S::rsIdle, {.timer = T::rtStop}},

      // Acknowledgements.
      {"an acknowledgement goes at once when the slot is free", kIdle, Ack, S::rsIdle, {.ack = true}},
      {"an acknowledgement waits for the pending line", kQueuedAwaiting, Ack, S::rsAwaitingReply, {}},
      {"it goes right after that line's final, ahead of the queue", Then(kQueuedAwaiting, {Ack}), Final, S::rsIdle,
       {.timer = T::rtStop, .signal = O::loReplied, .ack = true}},
      {"the queue's next line waits for it", Then(kQueuedAwaiting, {Ack, Final, Sent(K::lkAck)}),
       Wanted(K::lkQueued), S::rsAwaitingReply, {}},
      {"its own reply lets the queue go on", Then(kQueuedAwaiting, {Ack, Final, Sent(K::lkAck), Wanted(K::lkQueued)}),
       Final, S::rsIdle, {.timer = T::rtStop, .queued = true}},
      {"the queue does not slip in before it leaves", Then(kQueuedAwaiting, {Ack, Final}), Wanted(K::lkQueued),
       S::rsIdle, {}},
      {"it waits for an owed final, at most the grace", kSyncOwed, Ack, S::rsFinalGrace, {.timer = T::rtGrace}},
      {"a caller waits behind an acknowledgement", kAckAwaiting, Wanted(K::lkSync), S::rsAwaitingReply, {}},
      {"an acknowledgement waits for a woken caller's line", Then(kAckAwaiting, {Wanted(K::lkSync), Final}), Ack,
       S::rsIdle, {}},
      {"and goes right after that line's reply", Then(kAckAwaiting, {Wanted(K::lkSync), Final, Ack, Sent(K::lkSync)}),
       Final, S::rsIdle, {.timer = T::rtStop, .signal = O::loReplied, .ack = true}},
      {"an acknowledgement's time-out wakes nobody, frees the caller",
       Then(kAckAwaiting, {Wanted(K::lkSync)}), Tick, S::rsTimedOut, {.timer = T::rtStop, .caller = true}},
      {"an acknowledgement's failed write lets the queue go on",
       Then(kQueuedAwaiting, {Ack, Final, Wanted(K::lkQueued)}), {I::riSendFailed, K::lkAck}, S::rsSendFailed,
       {.timer = T::rtStop, .queued = true}},

      // Closing, and inputs nobody owns.
      {"closing wakes the caller", kSyncAwaiting, Closed, S::rsIdle,
       {.timer = T::rtStop, .gap = G::gcStop, .signal = O::loClosed}},
      {"closing stops a queue that waits for an owed final", kQueuedGrace, Closed, S::rsIdle,
       {.timer = T::rtStop, .gap = G::gcStop, .endQueue = true}},
      {"closing lets a waiting caller find the device closed", Then(kAckAwaiting, {Wanted(K::lkSync), Ack}), Closed,
       S::rsIdle, {.timer = T::rtStop, .gap = G::gcStop, .caller = true}},
      {"a stale tick changes nothing", kIdle, Tick, S::rsIdle, {}},
      {"a late final of a timed-out line changes nothing", kTimedOut, Final, S::rsTimedOut, {}},
      {"a stale gap tick changes nothing", kIdle, GapOver, S::rsIdle, {}},
      {"a hold keeps the next line back, gap or no gap", kIdle, Hold, S::rsLineGap, {.gap = G::gcStart}},
  }, false);
}

// With the line gap, a final result wakes the line's caller at once, and the
// next line (other than an acknowledgement) leaves when the gap clock runs out.
TEST(ReplyMachine, AFinalResultIsFollowedByTheLineGap) {
  const THistory kSyncGap = Then(kSyncAwaiting, {Final});
  const THistory kQueueWaitsForGap = Then(kQueuedAwaiting, {Final, Wanted(K::lkQueued)});
  Check({
      {"a caller's reply wakes it at once; the gap starts", kSyncAwaiting, Final, S::rsLineGap,
       {.timer = T::rtStop, .gap = G::gcStart, .signal = O::loReplied}},
      {"an error final frees the slot at once", kSyncAwaiting, {I::riErrorResult, K::lkSync}, S::rsIdle,
       {.timer = T::rtStop, .signal = O::loError}},
      {"the input prompt asks for the next line at once", kSyncAwaiting, {I::riPromptAnswered, K::lkSync},
       S::rsIdle, {.timer = T::rtStop, .signal = O::loReplied}},
      {"a queue after the prompt goes on at once", Then(kQueuedAwaiting, {{I::riPromptAnswered, K::lkSync}}),
       Wanted(K::lkQueued), S::rsIdle, {.queued = true}},
      {"the queue's next line waits for the gap", Then(kQueuedAwaiting, {Final}), Wanted(K::lkQueued), S::rsLineGap,
       {}},
      {"and leaves when it is over", kQueueWaitsForGap, GapOver, S::rsIdle, {.queued = true}},
      {"a caller's next line waits for the gap", kSyncGap, Wanted(K::lkSync), S::rsLineGap, {}},
      {"and leaves when it is over", Then(kSyncGap, {Wanted(K::lkSync)}), GapOver, S::rsIdle, {.caller = true}},
      {"an acknowledgement does not wait for the gap", kSyncGap, Ack, S::rsLineGap, {.ack = true}},
      {"one that waited for the line goes at its final", Then(kQueuedAwaiting, {Ack}), Final, S::rsLineGap,
       {.timer = T::rtStop, .gap = G::gcStart, .signal = O::loReplied, .ack = true}},
      {"a line wanted meanwhile waits for it", Then(kSyncGap, {Ack}), Wanted(K::lkSync), S::rsLineGap, {}},
      {"its own final starts the gap anew", Then(kSyncGap, {Ack, Sent(K::lkAck)}), Final, S::rsLineGap,
       {.timer = T::rtStop, .gap = G::gcStart}},
      {"a gap tick while it is awaited changes nothing", Then(kSyncGap, {Ack, Sent(K::lkAck), Wanted(K::lkQueued)}),
       GapOver, S::rsAwaitingReply, {}},
      {"an owed final starts the gap", Then(kSyncOwed, {Wanted(K::lkSync)}), Final, S::rsLineGap,
       {.timer = T::rtStop, .gap = G::gcStart}},
      {"an expired grace is not followed by the gap", Then(kSyncOwed, {Wanted(K::lkSync)}), Tick, S::rsIdle,
       {.caller = true}},
      {"a time-out frees the slot without a gap", Then(kSyncAwaiting, {}), Tick, S::rsTimedOut,
       {.timer = T::rtStop, .signal = O::loTimedOut}},
      {"a failed write frees it without a gap", kIdle, {I::riSendFailed, K::lkSync}, S::rsSendFailed,
       {.timer = T::rtStop, .signal = O::loSendFailed}},
      {"closing in the gap ends the waiting queue", kQueueWaitsForGap, Closed, S::rsIdle,
       {.timer = T::rtStop, .gap = G::gcStop, .endQueue = true}},
      {"closing in the gap lets a waiting caller find it closed", Then(kSyncGap, {Wanted(K::lkSync)}), Closed,
       S::rsIdle, {.timer = T::rtStop, .gap = G::gcStop, .caller = true}},
      {"a hold in the gap arms the clock again", kSyncGap, Hold, S::rsLineGap, {.gap = G::gcStart}},
      {"a hold while a line is awaited changes nothing", kSyncAwaiting, Hold, S::rsAwaitingReply, {}},
  }, true);
}

// Lines that wait behind an acknowledgement in flight go one at a time, each
// after the final result of the one before (and its gap, acknowledgements
// excepted): the acknowledgements first, then the caller, then the queue,
// which asks again for its second line after its first one's final.
TEST(ReplyMachine, WaitingLinesGoOneAfterAnother) {
  for (const bool lineGap : {false, true}) {
    TqvReplyMachine m(lineGap);
    m.Input(I::riAckWanted);
    m.Input(I::riLineSent, K::lkAck);
    m.Input(I::riLineWanted, K::lkQueued);
    m.Input(I::riAckWanted);
    m.Input(I::riLineWanted, K::lkSync);
    EXPECT_EQ(m.AcksWaiting(), 1);
    std::vector<std::string> order;
    int queuedLeft = 2;
    auto afterFinal = [&](K kind) {
      TReplyActions a = m.Input(I::riFinalResult);
      if (kind == K::lkQueued && queuedLeft > 0) a.SendQueued |= m.Input(I::riLineWanted, K::lkQueued).SendQueued;
      if (a.SendAck || a.Gap != G::gcStart) return a;
      EXPECT_EQ(m.State(), S::rsLineGap);
      const TReplyActions over = m.Input(I::riGapOver);
      a.SendQueued |= over.SendQueued;
      a.SendCaller |= over.SendCaller;
      return a;
    };
    TReplyActions a = afterFinal(K::lkAck);
    while (order.size() < 5 && (a.SendAck || a.SendQueued || a.SendCaller)) {
      const K kind = a.SendAck ? K::lkAck : a.SendCaller ? K::lkSync : K::lkQueued;
      order.push_back(kind == K::lkAck ? "ack" : kind == K::lkSync ? "caller" : "queued");
      m.Input(I::riLineSent, kind);
      if (kind == K::lkQueued) --queuedLeft;
      a = afterFinal(kind);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"ack", "caller", "queued", "queued"})) << "gap " << lineGap;
    EXPECT_EQ(m.AcksWaiting(), 0);
    EXPECT_FALSE(m.QueueWaits());
    EXPECT_FALSE(m.CallerWaits());
  }
}
