// The serial port component over the in-memory device: the test plays the
// line (modem lines, errors, breaks, stalls, loss) and pumps the main thread.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "platform/qvserial_memory.h"
#include "qvcomm.h"
#include "qvcommtest.h"

using namespace qv::platform;
using namespace std::chrono_literals;
using qv::test::PumpUntil;
using qv::test::TqvRecordingProcessor;
using qv::test::TqvMemoryLog;

namespace {

struct CommError {
  uint32_t code, sys;
  TComStateFlags state;
};

class Monitor : public TqvCustomSignalMonitor {
 public:
  void SetChecked(bool v) override { checked = v; }
  bool checked = false;
};

// A port on an in-memory device, with everything it raises recorded.
class MemoryPort : public ::testing::Test {
 protected:
  void SetUp() override {
    comm.SetLog(&log);
    comm.SetDevicePath(u"mem:modem");
    comm.SetDeviceOpener(dev->Opener());
    comm.OnCommError = [this](TObject*, uint32_t code, uint32_t sys, TComStateFlags st, bool& flush) {
      errors.push_back({code, sys, st});
      flush = flushOnError;
    };
    comm.OnTraceState = [this](TObject*, TTraceStates ev) { traces.push_back(ev); };
    comm.NotifyAdd([this](TObject*, int32_t code) { notifies.push_back(code); });
  }

  void Open() {
    comm.SetActive(true);
    ASSERT_TRUE(comm.Active());
  }

  // Declared before the port: its destructor still raises events into them.
  std::shared_ptr<TqvMemorySerial> dev = TqvMemorySerial::Create("mem:modem");
  TqvMemoryLog log;
  std::vector<CommError> errors;
  std::vector<TTraceStates> traces;
  std::vector<int32_t> notifies;
  bool flushOnError = false;
  TqvComm comm;
};

}  // namespace

TEST_F(MemoryPort, OpenConfiguresThenStartsAndCloseUndoesInOrder) {
  std::vector<std::string> order;
  comm.OnOpen = [&](TObject*) { order.push_back("OnOpen"); };
  comm.OnClose = [&](TObject*) { order.push_back("OnClose"); };
  comm.OnTraceState = [&](TObject*, TTraceStates) { order.push_back("trace"); };
  comm.NotifyAdd([&](TObject*, int32_t code) { order.push_back("notify" + std::to_string(code)); });
  comm.SetBaudRate(115200);
  comm.SetTimeoutWrite(100);
  comm.SetTraceStates({TTraceState::tsRxChar, TTraceState::tsTxEmpty});
  Open();
  EXPECT_EQ(order, (std::vector<std::string>{"trace", "OnOpen", "notify2"}));
  EXPECT_TRUE(log.Contains("qvComm: The port mem:modem is opened succesfully"));
  const TDCB dcb = dev->Dcb();
  EXPECT_EQ(dcb.BaudRate, 115200u);
  EXPECT_EQ(dcb.Flags, 0x2015u);
  EXPECT_EQ(dcb.XonChar, 17);
  EXPECT_EQ(dcb.XoffLim, 200);
  EXPECT_EQ(dev->Timeouts().WriteTotalTimeoutConstant, 100u);
  EXPECT_EQ(dev->Mask(), EV_RXCHAR | EV_TXEMPTY);
  EXPECT_EQ(comm.ComName(), u"mem:modem");

  order.clear();
  comm.SetActive(false);
  EXPECT_EQ(order, (std::vector<std::string>{"OnClose", "notify1", "trace"}));
  EXPECT_TRUE(log.Contains("qvComm: The port is closed succesfully"));
  EXPECT_FALSE(dev->IsOpen());

  // Closing a closed port only raises the trace event.
  order.clear();
  comm.Close();
  EXPECT_EQ(order, (std::vector<std::string>{"trace"}));
}

TEST_F(MemoryPort, LineSettingsReachTheOpenDevice) {
  Open();
  struct Row {
    std::function<void()> write;
    std::function<bool(const TDCB&)> check;
  } rows[] = {
      {[&] { comm.SetByteSize(7); }, [](const TDCB& d) { return d.ByteSize == 7; }},
      {[&] { comm.SetByteSize(9); }, [](const TDCB& d) { return d.ByteSize == 8; }},
      {[&] { comm.SetByteSize(3); }, [](const TDCB& d) { return d.ByteSize == 8; }},
      {[&] { comm.SetParity(TParity::pMark); },
       [](const TDCB& d) { return d.Parity == MARKPARITY && (d.Flags & DCB_fParity); }},
      {[&] { comm.SetParity(TParity::pNone); },
       [](const TDCB& d) { return d.Parity == NOPARITY && !(d.Flags & DCB_fParity); }},
      {[&] { comm.SetStopBits(TStopBits::sbTwo); }, [](const TDCB& d) { return d.StopBits == TWOSTOPBITS; }},
      {[&] { comm.SetStreamProtocol(TStreamProtocol::spXonXoff); },
       [](const TDCB& d) { return d.Flags == 0x1311; }},
      {[&] { comm.SetStreamProtocol(TStreamProtocol::spNone); }, [](const TDCB& d) { return d.Flags == 0x1011; }},
      {[&] { comm.SetRS485Mode(true); }, [](const TDCB& d) { return d.Flags == 0x3011; }},
      {[&] { comm.SetEventChar(u'\n'); }, [](const TDCB& d) { return d.EvtChar == '\n'; }},
  };
  for (size_t i = 0; i < std::size(rows); ++i) {
    rows[i].write();
    EXPECT_TRUE(rows[i].check(dev->Dcb())) << "row " << i;
  }
  comm.SetRS485Mode(false);
  // The trace mask: received characters always, tsRx80Full on its own bit.
  comm.SetTraceStates({});
  EXPECT_EQ(dev->Mask(), EV_RXCHAR);
  comm.SetTraceStates({TTraceState::tsRx80Full});
  EXPECT_EQ(dev->Mask(), EV_RXCHAR | EV_RX80FULL);
}

TEST_F(MemoryPort, ReceivedDataGoesToTheProcessorOnTheMainThread) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  Open();
  EXPECT_EQ(proc.Events(), std::vector<std::string>{"opened"});
  dev->FeedInput("+CMTI: \"SM\",1\r\n");
  ASSERT_TRUE(PumpUntil([&] { return proc.Received().size() == 15; }));
  EXPECT_EQ(proc.Received(), "+CMTI: \"SM\",1\r\n");
  EXPECT_TRUE(proc.AllOnMainThread());
  EXPECT_EQ(comm.TotalReceived(), 15u);
  EXPECT_TRUE(log.Contains("qvComm: Input data length: 15 [2B 43 4D 54 49 "));
}

TEST_F(MemoryPort, LargeInputIsReadInBufferSizedPieces) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  comm.SetBufferInSize(4096);  // the buffer is never below 8192
  Open();
  log.SetDetailLevel(TDetailLevel::dlSimple);
  std::string big(50000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char(i * 7 + i / 251);
  dev->FeedInput(big);
  ASSERT_TRUE(PumpUntil([&] { return proc.Received().size() == big.size(); }));
  EXPECT_EQ(proc.Received(), big);
  EXPECT_LE(proc.LargestBlock(), 8192u);
  EXPECT_EQ(comm.TotalReceived(), big.size());
}

TEST_F(MemoryPort, EachReceivedByteIsCountedOnce) {
  comm.SetTraceStates({});  // no reading and no consumer: bytes stay queued
  Open();
  dev->FeedInput("abc");
  ASSERT_TRUE(PumpUntil([&] { return comm.TotalReceived() == 3; }));
  dev->FeedInput("de");
  ASSERT_TRUE(PumpUntil([&] { return comm.TotalReceived() >= 5; }));
  qv::test::PumpFor(50ms);
  EXPECT_EQ(comm.TotalReceived(), 5u);
  EXPECT_EQ(comm.ReadyForRead(), 5u);
  EXPECT_EQ(comm.ReadString(), "abcde");
  dev->FeedInput("f");
  ASSERT_TRUE(PumpUntil([&] { return comm.TotalReceived() == 6; }));
  qv::test::PumpFor(30ms);
  EXPECT_EQ(comm.TotalReceived(), 6u);
}

TEST_F(MemoryPort, PollingReadsStayInsideTheBuffer) {
  comm.SetTraceStates({});
  Open();
  dev->FeedInput("0123456789AB");
  ASSERT_TRUE(PumpUntil([&] { return comm.ReadyForRead() == 12; }));
  char buf[16] = {};
  struct Row {
    size_t bufferSize;
    int32_t maxLen;
    int32_t expected;
    const char* bytes;
  } rows[] = {
      {16, 5, 5, "01234"},
      {16, -1, 0, ""},      // meaningless: nothing read
      {16, 0, 0, ""},
      {3, 100, 3, "567"},   // the caller's buffer bounds it
      {16, 100, 4, "89AB"}, // only what is queued
  };
  for (const Row& r : rows) {
    std::fill(std::begin(buf), std::end(buf), '\0');
    EXPECT_EQ(comm.ReadMax(std::span(buf, r.bufferSize), r.maxLen), r.expected) << r.maxLen;
    EXPECT_EQ(std::string(buf), r.bytes);
  }
  dev->FeedInput("xyz");
  ASSERT_TRUE(PumpUntil([&] { return comm.ReadyForRead() == 3; }));
  EXPECT_EQ(comm.ReadAll(std::span(buf, 2)), 2u);
  EXPECT_EQ(comm.ReadString(), "z");
}

TEST_F(MemoryPort, WaitForBytesSeesBytesArriving) {
  Open();
  std::thread far([&] {
    std::this_thread::sleep_for(20ms);
    dev->FeedInput("0123456789");
  });
  EXPECT_TRUE(comm.WaitForBytes(10, 5000));
  far.join();
  EXPECT_EQ(comm.TraceStates(), TTraceStates{}) << "restored";
  EXPECT_FALSE(comm.WaitForBytes(11, 30));
  comm.SetActive(false);
  EXPECT_FALSE(comm.WaitForBytes(1, 10));
}

TEST_F(MemoryPort, WaitForBytesSeesNothingThatADataConsumerTook) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  Open();
  dev->FeedInput("0123456789");
  ASSERT_TRUE(PumpUntil([&] { return proc.Received().size() == 10; }));
  EXPECT_FALSE(comm.WaitForBytes(10, 50)) << "the handler emptied the input queue";
  EXPECT_EQ(comm.TraceStates(), TTraceStates{});
}

TEST_F(MemoryPort, QueueSizesWrittenWhileOpenTakeEffectAtOnce) {
  Open();
  comm.SetBufferInSize(1024);
  EXPECT_EQ(comm.CommProp()->dwCurrentRxQueue, 1024u);
  EXPECT_EQ(comm.CommProp()->dwCurrentTxQueue, 8192u) << "the other size is passed on unchanged";
  comm.SetActive(false);
  comm.SetBufferOutSize(2048);  // closed: only stored
  Open();
  EXPECT_EQ(comm.CommProp()->dwCurrentRxQueue, 1024u);
  EXPECT_EQ(comm.CommProp()->dwCurrentTxQueue, 2048u);
}

TEST_F(MemoryPort, DataThatCameWithALineErrorIsStillDelivered) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  comm.SetTraceStates({TTraceState::tsErr});
  Open();
  dev->InjectLineError(CE_FRAME, "OK\r\n");
  ASSERT_TRUE(PumpUntil([&] { return proc.Received() == "OK\r\n"; }, 2s));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, CE_FRAME);
  EXPECT_EQ(errors[0].sys, 0u);
  EXPECT_TRUE(log.Contains("qvComm: Communication Error 8:0 0"));
}

// The handler looks at the queue, reports the error, then reads: what came
// meanwhile joins the block, and every byte is counted once.
TEST_F(MemoryPort, BytesThatComeBetweenTheLookAndTheReadAreCountedOnce) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  comm.SetTraceStates({TTraceState::tsErr});
  comm.OnCommError = [&](TObject*, uint32_t, uint32_t, TComStateFlags, bool&) { dev->FeedInput("de"); };
  Open();
  dev->InjectLineError(CE_FRAME, "abc");
  ASSERT_TRUE(PumpUntil([&] { return proc.Received() == "abcde"; }, 2s));
  qv::test::PumpFor(30ms);
  EXPECT_EQ(proc.Received(), "abcde");
  EXPECT_EQ(comm.TotalReceived(), 5u);
}

TEST_F(MemoryPort, StatusQueriesDoNotSwallowLineErrors) {
  comm.SetTraceStates({TTraceState::tsErr});
  Open();
  dev->InjectLineError(CE_OVERRUN);
  EXPECT_EQ(comm.ReadyForRead(), 0u);  // clears the device's error flags
  EXPECT_EQ(comm.NotYetSend(), 0u);
  ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
  qv::test::PumpFor(20ms);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, CE_OVERRUN);
}

TEST_F(MemoryPort, LineErrorHandlerMayPurgeBothQueues) {
  flushOnError = true;
  comm.SetTraceStates({TTraceState::tsErr});
  Open();
  dev->InjectLineError(CE_RXPARITY);
  ASSERT_TRUE(PumpUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(dev->Purges().back(), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

TEST_F(MemoryPort, EveryLineErrorAtOnceIsALostDevice) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  comm.SetTraceStates({TTraceState::tsErr});
  Open();
  dev->InjectLineError(0x1F);
  ASSERT_TRUE(PumpUntil([&] { return !comm.Active(); }));
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(notifies, (std::vector<int32_t>{2, 1}));
  EXPECT_EQ(proc.Events(), (std::vector<std::string>{"opened", "closed"}));
}

TEST_F(MemoryPort, ModemLinesRaiseTraceEventsAndMonitors) {
  Monitor cts, dsr, ring, rlsd;
  comm.SetMonitorCTS(&cts);
  comm.SetMonitorDSR(&dsr);
  comm.SetMonitorRing(&ring);
  comm.SetMonitorRLSD(&rlsd);
  comm.SetTraceStates({TTraceState::tsCTS, TTraceState::tsDSR, TTraceState::tsRing, TTraceState::tsRLSD});
  Open();
  traces.clear();
  struct Row {
    uint32_t lines;
    TTraceStates expected;
    bool cts, dsr, ring, rlsd;
  } rows[] = {
      {MS_CTS_ON | MS_DSR_ON, {TTraceState::tsCTS, TTraceState::tsDSR}, true, true, false, false},
      {MS_CTS_ON | MS_DSR_ON | MS_RING_ON, {TTraceState::tsRing}, true, true, true, false},
      {MS_CTS_ON, {TTraceState::tsDSR}, true, false, true, false},  // the ring monitor stays on
      {MS_CTS_ON | MS_RLSD_ON, {TTraceState::tsRLSD}, true, false, true, true},
  };
  for (const Row& r : rows) {
    traces.clear();
    dev->SetModemLines(r.lines);
    ASSERT_TRUE(PumpUntil([&] { return !traces.empty(); })) << r.lines;
    EXPECT_EQ(traces.front(), r.expected) << r.lines;
    EXPECT_EQ(cts.checked, r.cts);
    EXPECT_EQ(dsr.checked, r.dsr);
    EXPECT_EQ(ring.checked, r.ring);
    EXPECT_EQ(rlsd.checked, r.rlsd);
  }
  EXPECT_EQ(comm.ModemSignals(), (TModemSignals{TModemSignal::msCTS, TModemSignal::msRLSD}));
  EXPECT_TRUE(comm.WaitForSignal(TModemSignal::msRLSD, 0));
  EXPECT_FALSE(comm.WaitForSignal(TModemSignal::msDSR, 0));
  // Destroyed monitors are forgotten.
  {
    Monitor gone;
    comm.SetMonitorCTS(&gone);
  }
  EXPECT_EQ(comm.MonitorCTS(), nullptr);
  dev->SetModemLines(0);
  ASSERT_TRUE(PumpUntil([&] { return comm.ModemSignals().Empty(); }));
}

TEST_F(MemoryPort, BreakAndDriverEvents) {
  comm.SetTraceStates({TTraceState::tsBreak, TTraceState::tsRx80Full, TTraceState::tsEvent1,
                       TTraceState::tsRxFlag});
  Open();
  traces.clear();
  dev->InjectBreak();
  ASSERT_TRUE(PumpUntil([&] { return !traces.empty(); }));
  EXPECT_EQ(traces.front(), TTraceStates{TTraceState::tsBreak});
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, CE_BREAK);
  traces.clear();
  dev->RaiseEvents(EV_RX80FULL | EV_EVENT1 | EV_RXFLAG | EV_EVENT2);  // EV_EVENT2 is not watched
  ASSERT_TRUE(PumpUntil([&] { return !traces.empty(); }));
  EXPECT_EQ(traces.front(), (TTraceStates{TTraceState::tsRx80Full, TTraceState::tsEvent1, TTraceState::tsRxFlag}));
}

TEST_F(MemoryPort, OutputSignals) {
  traces.clear();
  comm.SetStateRTS(true);  // closed: nothing
  EXPECT_TRUE(traces.empty());
  Open();
  traces.clear();
  comm.SetStateDTR(false);
  comm.SetStateRTS(true);
  comm.SetStateBreak(true);
  comm.SetStateX(false);
  EXPECT_FALSE(dev->Dtr());
  EXPECT_TRUE(dev->Rts());
  EXPECT_TRUE(dev->BreakOn());
  EXPECT_TRUE(dev->OutputSuspended());
  EXPECT_EQ(traces, (std::vector<TTraceStates>{{TTraceState::tsDSR}, {TTraceState::tsCTS}}));
  comm.SetStateBreak(false);
  comm.SetStateX(true);
  EXPECT_FALSE(dev->BreakOn());
  EXPECT_FALSE(dev->OutputSuspended());
}

TEST_F(MemoryPort, SendFormsCountOnlyWhatLeftOrWasTaken) {
  comm.SetTimeoutWrite(40);
  Open();
  EXPECT_TRUE(comm.SendChar(u'A'));
  EXPECT_TRUE(comm.SendString("T\r"));
  char block[] = "ATI\r";
  EXPECT_TRUE(comm.SendData(block, 4));
  block[0] = 'X';  // the port copied it
  EXPECT_TRUE(comm.SendAheadChar(u'!'));
  EXPECT_EQ(dev->TakeOutput(), "AT\rATI\r!");
  EXPECT_EQ(comm.TotalSent(), 8u);
  EXPECT_TRUE(log.Contains("qvComm: Try to send char 41h ..."));
  EXPECT_TRUE(log.Contains("qvComm: Try to send string T\r ..."));
  EXPECT_TRUE(log.Contains("qvComm: Try to send the data with 4 length [41 54 49 0D ]..."));
  EXPECT_TRUE(log.Contains("qvComm: ... the data transmittion is OK!"));

  // A stalled line: a blocking send runs into its time-out and fails.
  dev->SetWriteStall(true);
  EXPECT_FALSE(comm.SendString("AT\r"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].code, 0u);
  EXPECT_EQ(errors[0].sys, uint32_t(ETIMEDOUT));
  EXPECT_EQ(comm.TotalSent(), 8u);
  // A background send is taken, waits in the output queue, and fails later.
  EXPECT_TRUE(comm.SendData("ATZ\r", 4));
  EXPECT_EQ(comm.NotYetSend(), 4u);
  EXPECT_EQ(comm.FlushOutput(30), std::errc::timed_out);
  dev->FailPendingWrites(std::make_error_code(std::errc::io_error));
  ASSERT_TRUE(PumpUntil([&] { return errors.size() == 2; }));
  EXPECT_EQ(errors[1].sys, uint32_t(EIO));
  EXPECT_TRUE(log.Contains("qvComm: ... the data transmittion failed: "));
  // A write refused at once is no success either.
  dev->SetWriteStall(false);
  dev->FailWrites(std::make_error_code(std::errc::io_error));
  EXPECT_FALSE(comm.SendData("x", 1));
  EXPECT_EQ(errors.size(), 3u);
  dev->FailWrites({});

  comm.SetActive(false);
  EXPECT_FALSE(comm.SendString("AT"));  // closed: nothing happens
  EXPECT_EQ(errors.size(), 3u);
}

TEST_F(MemoryPort, SendDataOfNoBytesLogsAndWritesNothing) {
  Open();
  EXPECT_TRUE(comm.SendData("x", 0));
  EXPECT_TRUE(comm.SendData(nullptr, 0));
  EXPECT_EQ(log.Grep("qvComm: Try to send the data with 0 length []...").size(), 2u);
  EXPECT_EQ(dev->TakeOutput(), "");
  EXPECT_EQ(comm.TotalSent(), 0u);
  EXPECT_TRUE(errors.empty());
}

TEST_F(MemoryPort, ABackgroundWriteThatFailsBeforeItLeftFailsTheFlush) {
  TqvRecordingProcessor proc;
  proc.SetLog(&log);
  comm.SetDataProcessor(&proc);
  Open();
  const auto ioError = std::make_error_code(std::errc::io_error);
  dev->SetWriteStall(true);
  // The line fails while the processor's send waits for its bytes to leave.
  std::thread line([&] {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (dev->OutputQueued() == 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    dev->FailPendingWrites(ioError);
  });
  EXPECT_FALSE(proc.DoDataSend("AT+CMGF=0\r", 10)) << "not sent, so no success";
  line.join();
  EXPECT_TRUE(log.Contains("DoDataSend: output not flushed: " + ioError.message()));
  ASSERT_TRUE(PumpUntil([&] { return errors.size() == 1; })) << "OnCommError hears it as before";
  EXPECT_EQ(errors[0].sys, uint32_t(EIO));

  // A failure between the write and the flush counts the same; a later write
  // that leaves is not failed by it.
  EXPECT_TRUE(comm.SendData("ATZ\r", 4));
  dev->FailPendingWrites(ioError);
  EXPECT_EQ(comm.FlushOutput(1000), ioError);
  dev->SetWriteStall(false);
  EXPECT_TRUE(comm.SendData("ATZ\r", 4));
  EXPECT_EQ(comm.FlushOutput(1000), std::error_code{});
  EXPECT_EQ(dev->TakeOutput(), "ATZ\r");
}

TEST_F(MemoryPort, AScriptedFarSideAnswersThroughTheOutputHook) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  dev->SetOutputHook([this](std::string_view sent) {
    if (sent == "ATI\r") dev->FeedInput("QV-MODEM\r\nOK\r\n");
  });
  Open();
  comm.SendString("ATI\r");
  ASSERT_TRUE(PumpUntil([&] { return proc.Received() == "QV-MODEM\r\nOK\r\n"; }));
  EXPECT_EQ(dev->TakeOutput(), "ATI\r");
  dev->SetOutputHook(nullptr);
}

TEST_F(MemoryPort, TransmitEmptyGoesToTheProcessorThenOnAfterSend) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  int afterSend = 0;
  comm.OnAfterSend = [&](TObject*) { ++afterSend; };
  comm.SetTraceStates({TTraceState::tsTxEmpty});
  Open();
  comm.SendString("AT\r");
  ASSERT_TRUE(PumpUntil([&] { return afterSend == 1; }));
  proc.SetClaimTxEmpty(true);
  comm.SendString("AT\r");
  ASSERT_TRUE(PumpUntil([&] { return proc.Events().size() == 3; }));
  qv::test::PumpFor(20ms);
  EXPECT_EQ(afterSend, 1) << "claimed by the processor";
  EXPECT_EQ(proc.Events(), (std::vector<std::string>{"opened", "txempty", "txempty"}));
}

TEST_F(MemoryPort, SoftwareRS485RaisesRtsAroundEachSend) {
  comm.SetRS485Mode(true);
  comm.SetTraceStates({});
  Open();
  EXPECT_EQ(dev->Mask(), EV_RXCHAR | EV_TXEMPTY) << "transmit-empty watched for RTS";
  const size_t before = dev->Escapes().size();
  comm.SendString("AT\r");
  ASSERT_TRUE(PumpUntil([&] { return dev->Escapes().size() == before + 2; }));
  const std::vector<TEscape> esc = dev->Escapes();
  EXPECT_EQ(esc[before], TEscape::SETRTS);
  EXPECT_EQ(esc[before + 1], TEscape::CLRRTS);
  EXPECT_FALSE(dev->Rts());
}

TEST_F(MemoryPort, PurgesAndTheCloseThatPurges) {
  Open();
  comm.ClearDeviceInput();
  comm.ClearDeviceOutput();
  comm.ClearDeviceBuffers();
  EXPECT_EQ(dev->Purges(), (std::vector<uint32_t>{10, 5, 15}));
  // Output still queued at a normal close is thrown away first.
  dev->SetWriteStall(true);
  comm.SendData("ATD123;\r", 8);
  comm.SetActive(false);
  EXPECT_EQ(dev->Purges().back(), 15u);
  EXPECT_EQ(dev->TakeOutput(), "");
}

TEST_F(MemoryPort, OpenFailureIsAFatalErrorWithTheDeviceName) {
  dev->Lose();  // absent
  uint32_t code = 99, detail = 99;
  std::u16string msg;
  comm.OnFatalError = [&](TObject*, uint32_t c, uint32_t d, const std::u16string& m, bool& raise) {
    code = c;
    detail = d;
    msg = m;
    raise = false;
  };
  comm.SetActive(true);
  EXPECT_FALSE(comm.Active());
  EXPECT_EQ(code, 1u);
  EXPECT_EQ(detail, 0u);
  EXPECT_EQ(msg, u"Device \"mem:modem\" Open Error !!!\rNo such file or directory");
  EXPECT_EQ(comm.LastErrorString(), msg);
  EXPECT_TRUE(log.Contains("Fatal Error: 1, 0, Device \"mem:modem\" Open Error !!!"));
  comm.OnFatalError = nullptr;
  EXPECT_THROW(comm.SetActive(true), EqvError);
}

TEST_F(MemoryPort, LossAndReopenRunOnTheMainThread) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  comm.SetKeepConnection(true);
  comm.SetKeepConnectionInterval(20);
  bool closeOffMain = false, openOffMain = false;
  int fatal = 0;
  comm.OnClose = [&](TObject*) { closeOffMain |= !IsMainThread(); };
  comm.OnOpen = [&](TObject*) { openOffMain |= !IsMainThread(); };
  comm.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::u16string&, bool&) { ++fatal; };
  Open();
  dev->Lose();
  ASSERT_TRUE(PumpUntil([&] { return !comm.Active(); }));
  ASSERT_TRUE(PumpUntil([&] { return fatal >= 2; })) << "failed tries go through OnFatalError";
  EXPECT_FALSE(comm.Active());
  dev->Restore();
  ASSERT_TRUE(PumpUntil([&] { return comm.Active(); }));
  EXPECT_TRUE(log.Contains("qvComm:  TqvCustomComm. Try to keep connection ... OPENED!"));
  EXPECT_FALSE(closeOffMain);
  EXPECT_FALSE(openOffMain);
  EXPECT_TRUE(proc.AllOnMainThread());
  EXPECT_EQ(proc.Events(), (std::vector<std::string>{"opened", "closed", "opened"}));
  EXPECT_EQ(dev->OpenCount(), 2);
  // The reopened port works.
  dev->FeedInput("OK");
  ASSERT_TRUE(PumpUntil([&] { return proc.Received() == "OK"; }));
  comm.SetActive(false);
}

TEST_F(MemoryPort, ASubscriberThatFailsOnCloseStopsNeitherTheOthersNorTheReconnect) {
  comm.SetKeepConnection(true);
  comm.SetKeepConnectionInterval(20);
  comm.NotifyAdd([](TObject*, int32_t code) {
    if (code == qvNotifyClosed) throw EqvError("subscriber failed");
  });
  std::vector<int32_t> later;
  comm.NotifyAdd([&](TObject*, int32_t code) { later.push_back(code); });
  std::vector<std::u16string> fatal;
  comm.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::u16string& m, bool& raise) {
    fatal.push_back(m);
    raise = false;
  };
  Open();
  dev->Lose();
  ASSERT_TRUE(PumpUntil([&] { return !fatal.empty(); }));
  EXPECT_EQ(fatal.front(), u"subscriber failed") << "reported after the others ran";
  EXPECT_EQ(later, (std::vector<int32_t>{2, 1}));
  dev->Restore();
  ASSERT_TRUE(PumpUntil([&] { return comm.Active(); })) << "the lost port is reopened";
  // A normal close goes all the way too.
  comm.SetActive(false);
  EXPECT_FALSE(comm.Active());
  EXPECT_EQ(later, (std::vector<int32_t>{2, 1, 2, 1}));
  EXPECT_TRUE(log.Contains("qvComm: The port is closed succesfully"));
}

TEST_F(MemoryPort, ChangingThePortNumberReopensThePortAndThenTellsTheChange) {
  struct Row {
    bool open;
    std::vector<int32_t> codes;
  } rows[] = {
      {true, {qvNotifyClosed, qvNotifyOpened, qvNotifyDeviceChanged}},
      {false, {qvNotifyDeviceChanged}},
  };
  uint16_t no = 2;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.open ? "open" : "closed");
    if (r.open) Open();
    notifies.clear();
    comm.SetComPortNo(++no);
    EXPECT_EQ(notifies, r.codes);
    EXPECT_EQ(comm.ComPortNo(), no);
    EXPECT_EQ(comm.Active(), r.open);
    comm.SetActive(false);
  }
}

TEST_F(MemoryPort, SwitchingOffWhileLostEndsTheReconnect) {
  comm.SetKeepConnection(true);
  comm.SetKeepConnectionInterval(20);
  struct Row {
    const char* name;
    std::function<void()> switchOff;
  } rows[] = {
      {"Active False", [&] { comm.SetActive(false); }},
      {"another port number", [&] { comm.SetComPortNo(3); }},
      {"KeepConnection False: the next tick stops the timer", [&] { comm.SetKeepConnection(false); }},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    dev->Restore();
    Open();
    const int opens = dev->OpenCount();
    dev->Lose();
    ASSERT_TRUE(PumpUntil([&] { return !comm.Active(); }));
    r.switchOff();
    dev->Restore();
    qv::test::PumpFor(150ms);
    EXPECT_FALSE(comm.Active());
    EXPECT_EQ(dev->OpenCount(), opens);
  }
}

TEST_F(MemoryPort, SwitchingOffWhileTheMessageThreadHandlesALossWins) {
  comm.SetUseMainThread(false);
  comm.SetKeepConnection(true);
  comm.SetKeepConnectionInterval(20);
  // Holds the loss on the message thread, between the close and the
  // reconnect decision, until the user has switched the port off. The
  // subscriber keeps the events alive until the port's threads are joined.
  auto inLoss = std::make_shared<TEvent>(true, false), switchedOff = std::make_shared<TEvent>(true, false);
  comm.NotifyAdd([inLoss, switchedOff](TObject*, int32_t code) {
    if (code != qvNotifyClosed || IsMainThread()) return;
    inLoss->Set();
    switchedOff->Wait(5000);
  });
  Open();
  const int opens = dev->OpenCount();
  dev->Lose();
  ASSERT_TRUE(inLoss->Wait(5000));
  comm.SetActive(false);
  switchedOff->Set();
  dev->Restore();
  std::this_thread::sleep_for(150ms);  // several reconnect intervals
  EXPECT_FALSE(comm.Active());
  EXPECT_EQ(dev->OpenCount(), opens) << "the port was reopened after the user switched it off";
}

TEST_F(MemoryPort, WithoutMainThreadTheMessageThreadDelivers) {
  TqvRecordingProcessor proc;
  comm.SetDataProcessor(&proc);
  comm.SetUseMainThread(false);
  Open();
  dev->FeedInput("RING\r\n");
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (proc.Received().size() < 6 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(proc.Received(), "RING\r\n");
  EXPECT_FALSE(proc.AllOnMainThread());
  dev->Lose();
  // The handle is gone before the close notification: wait for the latter.
  while (proc.Events().back() != "closed" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(proc.Events().back(), "closed");
  EXPECT_FALSE(comm.Active());
}

TEST_F(MemoryPort, HandlerMayCloseThePort) {
  comm.OnAfterReceive = [&](TObject*, const char*, uint32_t) { comm.SetActive(false); };
  Open();
  dev->FeedInput("bye");
  ASSERT_TRUE(PumpUntil([&] { return !comm.Active(); }));
  EXPECT_EQ(notifies, (std::vector<int32_t>{2, 1}));
  Open();  // and it opens again
  EXPECT_TRUE(comm.Active());
}

TEST_F(MemoryPort, ConfigDialogHookEditsTheSettings) {
  Open();
  auto previous = SetCommConfigDialogHook([](const std::u16string& name, TCommConfig& cfg) {
    EXPECT_EQ(name, u"mem:modem");
    cfg.dcb.BaudRate = 57600;
    cfg.dcb.Flags = 0x1311;
    return true;
  });
  comm.ConfigDialog();
  SetCommConfigDialogHook(previous);
  EXPECT_EQ(dev->Dcb().BaudRate, 57600u);
  EXPECT_EQ(comm.StreamProtocol(), TStreamProtocol::spXonXoff);
  EXPECT_EQ(comm.BaudRate(), 57600u);
}

TEST_F(MemoryPort, HardwareHandshakeTest) {
  std::u16string fatal;
  comm.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::u16string& m, bool& raise) {
    fatal = m;
    raise = false;
  };
  Open();
  dev->SetModemLines(MS_DSR_ON);
  comm.InitDeviceConnect();
  EXPECT_TRUE(dev->Dtr());
  EXPECT_TRUE(dev->Rts());
  EXPECT_TRUE(log.Contains("qvComm: The device connection was succesful tested"));
  EXPECT_EQ(dev->Purges().back(), 15u);
  dev->SetModemLines(0);
  comm.InitDeviceConnect();
  EXPECT_EQ(fatal, u"Device Connect Initialization Error");
  EXPECT_FALSE(dev->Rts());
  EXPECT_TRUE(comm.Active()) << "the port stays open";
}

TEST_F(MemoryPort, HandlerErrorsAreShownAndTheMessageThreadGoesOn) {
  std::vector<std::u16string> boxes;
  auto previous = qv::SetMessageBoxHook(
      [&](std::u16string_view text, std::u16string_view, qv::TMsgBoxIcon) { boxes.emplace_back(text); });
  int calls = 0;
  comm.OnAfterReceive = [&](TObject*, const char*, uint32_t) {
    if (++calls == 1) throw EqvError("handler failed");
  };
  Open();
  dev->FeedInput("1");
  ASSERT_TRUE(PumpUntil([&] { return !boxes.empty(); }));
  EXPECT_EQ(boxes[0], u"handler failed");
  EXPECT_TRUE(log.Contains("Fatal Error: 1, "));
  dev->FeedInput("2");
  ASSERT_TRUE(PumpUntil([&] { return calls == 2; }));
  qv::SetMessageBoxHook(previous);
}

TEST(CommProperties, PortNumberAndPortNames) {
  TqvComm comm;
  EXPECT_EQ(comm.ComPortNo(), 1);
  EXPECT_EQ(comm.ComPort(), TComPort::cpCOM1);
  EXPECT_EQ(comm.BaudRate(), 19200u);
  EXPECT_EQ(comm.StreamProtocol(), TStreamProtocol::spHardware);
  EXPECT_TRUE(comm.UseMainThread());
  EXPECT_EQ(comm.BufferInSize(), 8192);
  struct Row {
    uint16_t no;
    TComPort port;
    const char16_t* name;
  } rows[] = {
      {1, TComPort::cpCOM1, u"/dev/ttyS0"},     {8, TComPort::cpCOM8, u"/dev/ttyS7"},
      {9, TComPort::cpCOMxx, u"/dev/ttyS8"},    {101, TComPort::cpCOMxx, u"/dev/ttyUSB0"},
      {203, TComPort::cpCOMxx, u"/dev/ttyACM2"}, {0, TComPort::cpCOMxx, u"COM0"},
      {999, TComPort::cpCOMxx, u"COM999"},
  };
  for (const Row& r : rows) {
    comm.SetComPortNo(r.no);
    EXPECT_EQ(comm.ComPort(), r.port) << r.no;
    EXPECT_EQ(comm.ComName(), r.name) << r.no;
  }
  comm.SetComPort(TComPort::cpCOM4);
  EXPECT_EQ(comm.ComPortNo(), 4);
  comm.SetComPort(TComPort::cpCOMxx);  // nothing
  EXPECT_EQ(comm.ComPortNo(), 4);
  comm.SetDevicePath(u"/dev/serial/by-id/usb-modem");
  EXPECT_EQ(comm.ComName(), u"/dev/serial/by-id/usb-modem");
  EXPECT_EQ(comm.DeviceIndex(), -1);
  EXPECT_EQ(comm.DeviceCount(), 0);
}

TEST(CommProperties, TraceStateTable) {
  struct Row {
    TTraceState state;
    uint32_t bit;
  } rows[] = {
      {TTraceState::tsRxChar, 0x1},    {TTraceState::tsRxFlag, 0x2},    {TTraceState::tsTxEmpty, 0x4},
      {TTraceState::tsCTS, 0x8},       {TTraceState::tsDSR, 0x10},      {TTraceState::tsRLSD, 0x20},
      {TTraceState::tsBreak, 0x40},    {TTraceState::tsErr, 0x80},      {TTraceState::tsRing, 0x100},
      {TTraceState::tsRx80Full, 0x400}, {TTraceState::tsEvent1, 0x800}, {TTraceState::tsEvent2, 0x1000},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(TraceStateEventBit(r.state), r.bit);
    EXPECT_EQ(TraceStatesToEventMask({r.state}), r.bit | EV_RXCHAR);
    const bool reported = r.state != TTraceState::tsRxChar && r.state != TTraceState::tsTxEmpty;
    EXPECT_EQ(EventMaskToTraceStates(r.bit), reported ? TTraceStates{r.state} : TTraceStates{});
  }
  EXPECT_EQ(EventMaskToTraceStates(EV_PERR), TTraceStates{}) << "never watched";
  EXPECT_NE(qvCommMsgComEvent(), qvCommMsgQuitComEvent());
  EXPECT_GE(qvCommMsgComEvent(), 0xC000u);
}
