// The line slot's state machine: for each state reached by a short history,
// what one input does to the state and which actions it asks for.
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

namespace {

using TStep = std::pair<I, K>;
using THistory = std::vector<TStep>;

constexpr TStep Sent(K k) { return {I::riLineSent, k}; }
constexpr TStep Wanted(K k) { return {I::riLineWanted, k}; }
constexpr TStep Ack{I::riAckWanted, K::lkAck};
constexpr TStep Completed{I::riPatternCompleted, K::lkSync};
constexpr TStep Final{I::riFinalResult, K::lkSync};
constexpr TStep Tick{I::riTimeOut, K::lkSync};

// Histories that lead to the states the rows start from.
const THistory kIdle = {};
const THistory kSyncAwaiting = {Sent(K::lkSync)};
const THistory kQueuedAwaiting = {Sent(K::lkQueued)};
const THistory kAckAwaiting = {Ack, Sent(K::lkAck)};
const THistory kSyncOwed = {Sent(K::lkSync), Completed};
const THistory kQueuedGrace = {Sent(K::lkQueued), Completed};
const THistory kTimedOut = {Sent(K::lkSync), Tick};

THistory Then(THistory h, std::initializer_list<TStep> more) {
  h.insert(h.end(), more);
  return h;
}

struct TActs {
  T timer = T::rtKeep;
  O signal = O::loPending;
  bool endQueue = false, ack = false, queued = false, caller = false;
  operator TReplyActions() const { return {timer, signal, endQueue, ack, queued, caller}; }
};

struct TRow {
  const char* name;
  THistory history;
  TStep input;
  S state;
  TActs actions;
};

std::string Describe(const TReplyActions& a) {
  return "timer " + std::to_string(int(a.Timer)) + ", signal " + std::to_string(int(a.Signal)) +
         (a.EndQueue ? ", end queue" : "") + (a.SendAck ? ", send ack" : "") +
         (a.SendQueued ? ", send queued" : "") + (a.SendCaller ? ", send caller" : "");
}

}  // namespace

TEST(ReplyMachine, EachInputMovesTheSlotAndAsksForItsActions) {
  const TRow rows[] = {
      // Sending and plain replies.
      {"idle: a caller's line goes at once", kIdle, Wanted(K::lkSync), S::rsIdle, {.caller = true}},
      {"idle: the queue's line goes at once", kIdle, Wanted(K::lkQueued), S::rsIdle, {.queued = true}},
      {"a line sent arms its time-out", kIdle, Sent(K::lkSync), S::rsAwaitingReply, {.timer = T::rtReply}},
      {"a caller's reply wakes it", kSyncAwaiting, Final, S::rsIdle, {.timer = T::rtStop, .signal = O::loReplied}},
      {"a caller's error wakes it", kSyncAwaiting, {I::riErrorResult, K::lkSync}, S::rsIdle,
       {.timer = T::rtStop, .signal = O::loError}},
      {"a queued reply sends the next line", kQueuedAwaiting, Final, S::rsIdle,
       {.timer = T::rtStop, .signal = O::loReplied, .queued = true}},
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
      {"a queued reply without final: the next line waits for it", kQueuedAwaiting, Completed, S::rsFinalGrace,
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
      {"its own reply lets the queue go on", Then(kQueuedAwaiting, {Ack, Final, Sent(K::lkAck)}), Final, S::rsIdle,
       {.timer = T::rtStop, .queued = true}},
      {"it waits for an owed final, at most the grace", kSyncOwed, Ack, S::rsFinalGrace, {.timer = T::rtGrace}},
      {"a caller waits behind an acknowledgement", kAckAwaiting, Wanted(K::lkSync), S::rsAwaitingReply, {}},
      {"an acknowledgement waits for a woken caller's line", Then(kAckAwaiting, {Wanted(K::lkSync), Final}), Ack,
       S::rsIdle, {}},
      {"and goes right after that line's reply", Then(kAckAwaiting, {Wanted(K::lkSync), Final, Ack, Sent(K::lkSync)}),
       Final, S::rsIdle, {.timer = T::rtStop, .signal = O::loReplied, .ack = true}},
      {"an acknowledgement's time-out wakes nobody, frees the caller",
       Then(kAckAwaiting, {Wanted(K::lkSync)}), Tick, S::rsTimedOut, {.timer = T::rtStop, .caller = true}},
      {"an acknowledgement's failed write lets the queue go on", Then(kQueuedAwaiting, {Ack, Final}),
       {I::riSendFailed, K::lkAck}, S::rsSendFailed, {.timer = T::rtStop, .queued = true}},

      // Closing, and inputs nobody owns.
      {"closing wakes the caller", kSyncAwaiting, {I::riDeviceClosed, K::lkSync}, S::rsIdle,
       {.timer = T::rtStop, .signal = O::loClosed}},
      {"closing stops a queue that waits for an owed final", kQueuedGrace, {I::riDeviceClosed, K::lkSync}, S::rsIdle,
       {.timer = T::rtStop, .endQueue = true}},
      {"closing lets a waiting caller find the device closed", Then(kAckAwaiting, {Wanted(K::lkSync), Ack}),
       {I::riDeviceClosed, K::lkSync}, S::rsIdle, {.timer = T::rtStop, .caller = true}},
      {"a stale tick changes nothing", kIdle, Tick, S::rsIdle, {}},
      {"a late final of a timed-out line changes nothing", kTimedOut, Final, S::rsTimedOut, {}},
  };
  for (const auto& row : rows) {
    TqvReplyMachine m;
    for (const auto& [input, kind] : row.history) m.Input(input, kind);
    const TReplyActions got = m.Input(row.input.first, row.input.second);
    EXPECT_EQ(m.State(), row.state) << row.name;
    EXPECT_EQ(got, TReplyActions(row.actions)) << row.name << ": " << Describe(got);
  }
}

// Lines that wait behind an acknowledgement in flight go one at a time, each
// after the final result of the one before: the acknowledgements first, then
// the caller, then the queue.
TEST(ReplyMachine, WaitingLinesGoOneAfterAnother) {
  TqvReplyMachine m;
  m.Input(I::riAckWanted);
  m.Input(I::riLineSent, K::lkAck);
  m.Input(I::riLineWanted, K::lkQueued);
  m.Input(I::riAckWanted);
  m.Input(I::riLineWanted, K::lkSync);
  EXPECT_EQ(m.AcksWaiting(), 1);
  std::vector<std::string> order;
  TReplyActions a = m.Input(I::riFinalResult);
  while (order.size() < 4 && (a.SendAck || a.SendQueued || a.SendCaller)) {
    const K kind = a.SendAck ? K::lkAck : a.SendCaller ? K::lkSync : K::lkQueued;
    order.push_back(kind == K::lkAck ? "ack" : kind == K::lkSync ? "caller" : "queued");
    m.Input(I::riLineSent, kind);
    a = m.Input(I::riFinalResult);
  }
  // The queued line's reply asks for the queue's next line, which is the end here.
  EXPECT_EQ(order, (std::vector<std::string>{"ack", "caller", "queued", "queued"}));
  EXPECT_EQ(m.AcksWaiting(), 0);
  EXPECT_FALSE(m.QueueWaits());
  EXPECT_FALSE(m.CallerWaits());
}
