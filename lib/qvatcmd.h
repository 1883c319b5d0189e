// The AT command processor: a data processor that sends AT command lines of
// its current driver, matches the device's replies byte by byte, judges them
// and signals waiting callers; plus a command queue and a reply cache.
//
// Threads. Received bytes are processed on the thread the device delivers
// them on; time-outs end on the processor's timer thread; synchronous callers
// wait on their own thread (the main thread keeps pumping the dispatcher in
// 50 ms slices meanwhile). All reply state (state, expected id, reply buffers,
// queue, drivers) is guarded by one re-entrant lock, which hooks run under and
// which a waiting caller never holds while it waits.
//
// Ownership of replies. Bytes belong to lines by stream order: a pattern that
// began before a line was sent never ends that line. A pattern that does not
// end the pending line (a notification, an unsolicited RING, an unexpected
// id) keeps its own bytes, and those of a notification's text, out of the
// pending reply, which keeps what it had. Which line owns the replies, and
// what follows when it ends, is the state machine of qvreplymachine.h: a line
// answered by a pattern that carries no final result (some detection and PIN
// replies) owns the final OK or error that follows, and the next line is sent
// after it, or after FinalGrace; an acknowledgement (SendAhead) goes out right
// after the current line's final result, ahead of every other line.
//
// Line gap. The modem gets LineGap() ms after each final result before the
// next line (the driver's gsmLinePause setting, 20 when it has none). It is
// never a sleep: the line's caller is woken at the final result, and the next
// line waits, whoever sends it (an acknowledgement does not). The gap has a
// timer of its own; when it runs out, the queue's next line is sent on the
// thread that delivered the final result when that was the main thread
// (through the dispatcher), and on the timer's thread otherwise.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/qvthread.h"
#include "qvatdriver.h"
#include "qvclasses.h"
#include "qvmodeldrivers.h"
#include "qvreplymachine.h"
#include "qvtimer.h"
#include "qvapi.h"

QV_API_BEGIN

class TqvCustomATProcessor;

enum class TatInternalState { atIdle, atWaitReply, atQWaitReply };

using TqvDiagnosticEvent = TqvEvent<TObject* /*Sender*/, const std::u16string& /*aAT*/,
                                    const std::u16string& /*aReply*/, bool& /*flBreak*/>;

// An assembled reply.
class TATReply : public TObject {
 public:
  explicit TATReply(TqvCustomATProcessor* AOwner) : fOwner(AOwner) {}

  void Clear();
  void Assign(const TATReply* Source);
  // The completing response of the owner's current driver has id 3.
  bool IsError() const;

  TqvCustomATProcessor* fOwner;
  std::string sData;        // every byte since the reply was cleared, the completing pattern included
  std::string sDataUseful;  // sData without the completing pattern, trimmed
  int32_t idResponse = 0;   // index of the completing response in the current driver; -1 none
  int32_t idDriverCmd = 0;  // index of the driver command line answered; -1 none
  bool flReady = false;
};

namespace qv {
// A mutex the owning thread may lock again, and which a thread that is about
// to wait can release completely and take back at the same depth.
class TqvReentrantMutex {
 public:
  void lock();
  void unlock();
  int ReleaseAll();            // the depth released; 0 when this thread did not hold it
  void Reacquire(int depth);   // after ReleaseAll
  bool HeldByCurrentThread() const;

 private:
  mutable std::mutex m_;
  std::condition_variable cv_;
  std::thread::id owner_;
  int depth_ = 0;
};
}  // namespace qv

// One entry of the command queue: the expanded line and the index of the
// driver command line it came from (-1 for a ready text).
struct TqvQueueEntry {
  std::u16string Text;
  int32_t Object = -1;
};

class TqvCustomATProcessor : public TqvCustomDataProcessor {
 public:
  explicit TqvCustomATProcessor(TqvComponent* AOwner = nullptr);
  ~TqvCustomATProcessor() override;

  // --- virtual operations, in slot order
  // "<cr>", "<lf>", "<#26>", "<q>", "<sem>" (letter case ignored) to their bytes.
  virtual std::u16string ExpandCommand(const std::u16string& text);
  // The reverse, for the reply cache.
  virtual std::u16string EncodeTokens(const std::u16string& text);
  // Sends one line expecting id 0, without waiting (once a final result still
  // owed to the line before, or an acknowledgement in flight, has come).
  virtual void SendCommand(const std::string& text);
  // SendCommand, then WaitReply; false (and an empty ReplyLast) on time-out.
  virtual bool SendAndWait(const std::string& text);
  // Sends sAT with its tokens expanded and returns the reply bytes; empty on time-out.
  virtual std::u16string CmdSendAndWaitResult(const std::string& sAT);
  // Every line of driver command `id`, synchronously; true when every line got
  // its expected reply (a command without lines fails; a line with nothing to
  // send counts as answered).
  virtual bool RunCommand(int32_t id);
  // Waits for `handle` (nullptr: the end of the current exchange) at most `ms`
  // (0: TimeOut) while the device is open. For the exchange, false when it
  // ended by time-out or by a failed send.
  virtual bool WaitReply(qv::platform::TEvent* handle, uint32_t ms);
  virtual bool ProcessByte(uint8_t b);
  virtual bool AddReplyByte(uint8_t b);
  // Judges a stored reply text as if it had been received; true when a pattern completed.
  virtual bool ProcessReplyText(const std::u16string& text);
  virtual bool IsErrorReply(const TATReply& reply);
  // A completed reply that is not an error of a pending line.
  virtual void ReplyComplete(TATReply& reply);
  virtual void DoError();
  virtual void QueueNext();
  // Success hook of every answered line; false repeats a queued line.
  virtual bool CommandSucceeded();
  virtual void QueueFinished();
  virtual std::string StripFinalResult(const std::string& text);
  virtual void CustomHook() {}
  // Adds a driver made from a script; nullptr (and a log line) when the
  // script fails to parse. The current driver does not change.
  virtual TqvCustomATDriver* AddDriverFromString(const std::u16string& caption, const std::u16string& text);
  // Caption empty: the file's name. Throws EqvError when the file cannot be read.
  virtual TqvCustomATDriver* AddDriverFromFile(const std::u16string& aCaption, const std::string& aFilePath);
  virtual int32_t CommandIdOf(const TATCommand& entry);
  virtual void DriversClearAll();

  // --- overrides of the data processor
  void DoProcessing(const char* Data, uint32_t Len, TIgnoreTypes& R) override;
  void AsyncTimerTick(TObject* Sender) override;
  // Detached, no gap tick reaches this processor any more.
  void AttachDevice(TqvBaseIO* Device) override;
  void MediumClosed() override;
  // Starts from an idle processor: no line of an earlier queue is sent.
  void MediumOpened() override;

  // --- non-virtual operations
  void SetExpectedReply(int32_t id);
  void ClearReply();
  // Sends every line of command `id` back to back; true when it has lines.
  bool SendCommandNoWait(int32_t id);
  void EnqueueCommand(int32_t id);
  void EnqueueText(const std::u16string& text);
  void ClearQueue();
  void StartQueue();
  void SetReplyCache(bool on);

  // A built-in script by resource name (see qvmodeldrivers.h).
  TqvCustomATDriver* AddDriverFromResource(const std::u16string& caption, std::string_view name);

  TqvCustomATDriver* GetDriver(int32_t Index) const;
  int32_t DriverCount() const;
  int32_t DriverIndex() const;
  // Negative: the default driver. Out of range: EqvError, nothing changes.
  void SetDriverIndex(int32_t Value);
  TqvCustomATDriver* Driver() const;

  uint32_t TimeOut() const { return fTimeOut.load(); }
  void SetTimeOut(uint32_t Value) { fTimeOut.store(Value); }
  // How long a line answered without a final result waits for it (ms).
  uint32_t FinalGrace() const { return fFinalGrace.load(); }
  void SetFinalGrace(uint32_t Value) { fFinalGrace.store(Value); }
  // The current driver's pause between a final result and the next line (ms).
  uint32_t LineGap() const;
  // Read it on the thread that ran the exchange, or under Guard().
  const TATReply& ReplyLast() const { return fReplyLast; }
  // atWaitReply / atQWaitReply while a synchronous / queued line awaits its reply.
  TatInternalState ATState() const;
  qv::TReplyState ReplyState() const;
  int32_t ExpectedReplyID() const;
  int32_t CommandIndex() const;
  size_t QueueCount() const;

  // Holds the processor's lock for the life of the returned object.
  std::unique_lock<qv::TqvReentrantMutex> Guard() const { return std::unique_lock(fLock); }

  // The clock of the reply time-out, the line gap and the synchronous waits.
  // By default the steady clock, with the timers ticking on their threads. A
  // single-threaded driver (a fuzzing or test harness on a device that
  // delivers its replies inline) sets the manual clock before it opens the
  // device: time then stands still until AdvanceClock moves it on, and what
  // falls due meanwhile runs on the calling thread, in deadline order; no
  // timer thread is started. A synchronous wait on the manual clock moves
  // time on by itself, deadline after deadline, since nothing else can set
  // what it waits for.
  void SetManualClock();
  bool ManualClock() const;
  void AdvanceClock(uint32_t ms);
  // Milliseconds on the processor's clock (for differences only).
  uint32_t ClockTicks() const;

  // Diagnostics event; the GSM component publishes and raises it.
  TqvDiagnosticEvent OnDiagnostic;

 protected:
  // The queue stopped without finishing: an error reply, a time-out, a failed
  // write, or the device closed (`why`). Nothing here.
  virtual void QueueStopped(qv::TLineOutcome why);
  // Lines that go out right after the current line's final result, ahead of
  // queued lines and waiting callers; their replies reach nobody.
  void SendAhead(const std::vector<std::string>& lines);
  // Ends the pending line with an error final result that no pattern of the
  // driver carries ("+CMS ERROR: n", collected as a notification).
  void EndLineAsError(const std::string& finalLine);
  // The next line (not an acknowledgement) leaves no sooner than `ms` from
  // now; the caller goes on at once.
  void HoldNextLine(uint32_t ms);
  // Asked before each queued line is sent: true keeps `next` back, and the
  // queue waits, with no line pending, until ResumeQueue.
  virtual bool HoldQueue(const TqvQueueEntry& next);
  // Sends the line a held queue kept back (once the slot is free).
  void ResumeQueue();

  // The bytes of the last synchronous or queued line sent, how it ended, and
  // the final result line of its error reply.
  const std::string& LastLine() const { return fLastLine; }
  qv::TLineOutcome LastOutcome() const { return fOutcome; }
  const std::string& LastErrorResult() const { return fLastErrorResult; }
  uint64_t LineSeq() const { return fLineSeq; }
  // When a line was last answered (or NoteProgress was called).
  uint32_t LastProgressTick() const { return fProgressTick.load(); }
  void NoteProgress();

  // A synchronous caller's line: waits for the slot, then sends.
  void StartLine(const std::string& bytes, int32_t expected);
  // The queue has an entry left to send (empty ones skipped) and the device is open.
  bool QueueHasNext();
  // Sends the queue's next entry, or ends the queue when none is left.
  void QueueSendNext();
  void ArmTimer(uint32_t ms);
  void StopTimer();
  // The gap clock: armed for the longer of the line gap and a hold.
  void ArmGap();
  void StopGap();
  uint32_t GapLeftMs() const;
  void GapTick(TObject* Sender);
  // Ends the pending line as timed out: no reply, waiter woken, queue stopped.
  void TimeOutLine();

  using TClockPoint = std::chrono::steady_clock::time_point;
  TClockPoint Now() const;
  // A descendant's own deadline on the manual clock (none by default), and
  // what runs when it falls due; both under the lock.
  virtual std::optional<TClockPoint> OwnDeadline() const { return std::nullopt; }
  virtual void OwnDeadlineDue() {}

  std::vector<std::unique_ptr<TqvCustomATDriver>> fDrivers;
  std::atomic<uint32_t> fTimeOut{7000};
  qv::platform::TEvent hReplyEvent{true, false};
  int32_t fDriverIndex = -1;
  TqvCustomATDriver* fCurrentDriver = nullptr;
  bool fCashReply = false;
  TATReply fReply{this};
  TATReply fReplyLast{this};
  TqvCustomATDriver fDefaultDriver;
  std::vector<TqvQueueEntry> slCommands;
  int32_t fExpectedReplyID = 0;
  int32_t fCommandIndex = -1;
  std::vector<std::u16string> slCashCommands;
  std::vector<std::u16string> slCashReplies;

  mutable qv::TqvReentrantMutex fLock;

 private:
  void UseDriver(TqvCustomATDriver* driver);
  void Feed(qv::TReplyInput input, qv::TLineKind kind = qv::TLineKind::lkSync);
  void Apply(const qv::TReplyActions& a);
  // Writes one line; the machine hears whether it left.
  void SendLine(const std::string& bytes, int32_t expected, qv::TLineKind kind);
  void SendNextAck();
  void WaitForSlot();
  bool InProcessingHere() const;
  void HandleCompletion();
  void KeepReplyWithoutPattern();
  bool LinePending(uint64_t seq) const;
  bool ExchangeOverdue(uint64_t seq);
  bool CompletesWithFinal(const TCommEventNew& m) const;
  qv::TReplyInput TakeAnswer();
  void SetCompletedReply(int32_t index, size_t patternLen);
  // The earliest armed deadline, `until` when none comes before it.
  TClockPoint NextDeadline(TClockPoint until) const;
  // Moves the manual clock to `until`, running what falls due on the way.
  void AdvanceClockTo(TClockPoint until);
  // The lock released: waits for `event` on the manual clock at most `ms`.
  bool WaitOnManualClock(qv::platform::TEvent& event, uint32_t ms);

  std::atomic<uint32_t> fFinalGrace{300};
  uint32_t fLineGap = 0;        // of the current driver
  qv::TqvReplyMachine fMachine;
  qv::TLineOutcome fOutcome = qv::TLineOutcome::loPending;
  std::deque<std::string> fAckLines;       // acknowledgements not yet sent
  qv::platform::TEvent fSlotFree{true, true};  // a waiting caller's line may go
  std::string fLastLine;
  std::string fLastErrorResult;
  std::atomic<uint32_t> fProgressTick{0};
  uint64_t fLineSeq = 0;        // bumped by every line sent
  uint64_t fRxCount = 0;        // bytes received so far
  uint64_t fLineStartRx = 0;    // fRxCount when the pending line was sent
  size_t fAppendedRun = 0;      // bytes appended to fReply since it was cleared or a byte was kept out
  size_t fBeforePattern = 0;    // length of fReply.sData before the pattern that just completed
  int32_t fCompletedTag = -1;
  bool fCompletedStale = false;          // the pattern began before the pending line was sent
  bool fCompletedWithoutFinal = false;   // the pattern carries no final result
  int fSkipCRs = 0;             // line ends left in a notification's text
  bool fSkipLF = false;         // the LF after that text
  size_t fSkipBudget = 0;       // bytes a notification text may still take
  TCommEventNew fCmeHead{"\r\n+CME ERROR:"};
  bool fCmeLine = false;        // inside a "+CME ERROR:" line of a pending exchange
  bool fTimerArmed = false;
  std::chrono::steady_clock::time_point fTimerDeadline;
  std::unique_ptr<TqvTimer> fGapTimer;
  bool fGapArmed = false;
  std::chrono::steady_clock::time_point fGapDeadline;
  std::chrono::steady_clock::time_point fHoldUntil;
  bool fDeliveredOnMain = true;  // the last block came on the main thread
  std::atomic<bool> fManualClock{false};
  TClockPoint fManualNow;        // under the lock
  int fProcessingDepth = 0;
  std::thread::id fProcessingThread;
};

QV_API_END
