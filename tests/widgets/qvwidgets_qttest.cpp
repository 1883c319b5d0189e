// The Qt layer: the device picker, the terminal edit, the log view, the
// port settings dialog and the bridge to the library's main thread. Runs on
// the offscreen platform.
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <optional>
#include <thread>

#include "platform/qvdispatcher.h"
#include "platform/qvserial_memory.h"
#include "qvcomm.h"
#include "qvcommbox.h"
#include "qvcommdialog.h"
#include "qvlogview.h"
#include "qvqtbridge.h"
#include "qvterminaledit.h"

namespace pf = qv::platform;

namespace {

// A port with a hand-made device list that counts what the picker does to it.
class TCountingComm : public TqvComm {
 public:
  int Subscribers() const { return qvNotifyList.Count(); }
  void SetDeviceIndex(int32_t Value) override {
    ++indexWrites;
    TqvComm::SetDeviceIndex(Value);
  }
  bool WMDeviceChange(const TqvDeviceChangeMsg&) override {
    ++deviceChanges;
    return false;
  }
  void AddDevice(const char16_t* caption, int32_t portNo) {
    auto d = std::make_unique<TqvDevice>();
    d->NameFriendly = caption;
    d->Data = portNo;
    DeviceAdd(std::move(d));
  }
  int indexWrites = 0;
  int deviceChanges = 0;
};

void FillThree(TCountingComm& comm) {
  comm.AddDevice(u"COM101 (modem)", 101);
  comm.AddDevice(u"COM102 (modem)", 102);
  comm.AddDevice(u"COM201 (phone)", 201);
}

QStringList Items(const QComboBox& box) {
  QStringList items;
  for (int i = 0; i < box.count(); ++i) items << box.itemText(i);
  return items;
}

// Records the boxes the library asks for instead of showing them.
struct TBoxRecorder {
  TBoxRecorder() {
    old = qv::SetMessageBoxHook([this](std::u16string_view text, std::u16string_view, qv::TMsgBoxIcon) {
      texts << QString::fromStdU16String(std::u16string(text));
    });
  }
  ~TBoxRecorder() { qv::SetMessageBoxHook(std::move(old)); }
  QStringList texts;
  qv::TMessageBoxHook old;
};

}  // namespace

class TestWidgets : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void initTestCase() { bridge = std::make_unique<TqvQtBridge>(); }
  void cleanupTestCase() { bridge.reset(); }

  void deviceBoxOnlyAUserPickWrites();
  void deviceBoxPickOfTheSelectedEntryStillWrites();
  void deviceBoxFollowsCodeThreeFromAnyThread();
  void deviceBoxRebindingLeavesNoSubscription();
  void deviceBoxDestruction_data();
  void deviceBoxDestruction();
  void deviceBoxPassesDeviceChanges();

  void terminalShowsReceivedText_data();
  void terminalShowsReceivedText();
  void terminalSendsTypedKeys();
  void terminalKeepsOrderAcrossThreads();

  void logViewQueuesInOrderAndStaysBounded();
  void logViewThatGoesFirstIsForgotten();

  void dialogFlowControlMeansWhatThePortReads_data();
  void dialogFlowControlMeansWhatThePortReads();
  void dialogAppliesOnlyWhenConfirmed();

  void bridgeRunsHandedCallsFromTheEventLoop();
  void liveWaitKeepsTheGuiAlive();
  void messageBoxFromAnotherThreadShowsOnTheGuiThread();

 private:
  std::unique_ptr<TqvQtBridge> bridge;
};

// ---------------------------------------------------------------- device box

void TestWidgets::deviceBoxOnlyAUserPickWrites() {
  TCountingComm comm;
  FillThree(comm);
  comm.SetComPortNo(999);
  TqvDeviceBox box;
  QSignalSpy changes(&box, &TqvDeviceBox::Change);
  box.SetqvComm(&comm);
  QCOMPARE(Items(box), QStringList({"COM101 (modem)", "COM102 (modem)", "COM201 (phone)"}));
  QCOMPARE(box.currentIndex(), -1);  // the port number matches no listed device

  comm.SetComPortNo(102);  // raises code 3: the box reloads and follows, without writing
  QCOMPARE(box.currentIndex(), 1);
  box.Reload();
  box.setCurrentIndex(0);  // a program's selection is no user's pick either
  QCOMPARE(comm.indexWrites, 0);
  QCOMPARE(changes.count(), 0);

  box.setCurrentIndex(1);
  QTest::keyClick(&box, Qt::Key_Down);  // the user picks the next entry
  QCOMPARE(comm.indexWrites, 1);
  QCOMPARE(comm.ComPortNo(), 201);
  QCOMPARE(box.currentIndex(), 2);
  QCOMPARE(changes.count(), 1);
}

void TestWidgets::deviceBoxPickOfTheSelectedEntryStillWrites() {
  TCountingComm comm;
  FillThree(comm);
  comm.SetComPortNo(102);
  TqvDeviceBox box;
  box.SetqvComm(&comm);
  QSignalSpy changes(&box, &TqvDeviceBox::Change);
  std::vector<int32_t> codes;
  comm.NotifyAdd([&](TObject*, int32_t code) { codes.push_back(code); });
  Q_EMIT box.activated(1);  // the user picks the entry already selected
  QCOMPARE(comm.indexWrites, 1);
  QCOMPARE(codes, std::vector<int32_t>{qvNotifyDeviceChanged});
  QCOMPARE(box.currentIndex(), 1);
  QCOMPARE(changes.count(), 1);
}

void TestWidgets::deviceBoxFollowsCodeThreeFromAnyThread() {
  TCountingComm comm;
  FillThree(comm);
  TqvDeviceBox box;
  box.SetqvComm(&comm);
  comm.AddDevice(u"COM202 (phone)", 202);
  std::thread other([&] { comm.DoNotify(qvNotifyDeviceChanged); });
  other.join();
  QCOMPARE(box.count(), 3);  // not touched from the other thread
  QTRY_COMPARE(box.count(), 4);
  comm.DoNotify(qvNotifyOpened);  // other codes are not for the box
  comm.AddDevice(u"COM203 (phone)", 203);
  QTest::qWait(20);
  QCOMPARE(box.count(), 4);
  QCOMPARE(comm.indexWrites, 0);
}

void TestWidgets::deviceBoxRebindingLeavesNoSubscription() {
  TCountingComm first, second;
  FillThree(first);
  second.AddDevice(u"COM301 (board)", 301);
  TqvDeviceBox box;
  box.SetqvComm(&first);
  box.SetqvComm(&first);  // binding again subscribes once
  QCOMPARE(first.Subscribers(), 1);
  box.SetqvComm(&second);
  QCOMPARE(first.Subscribers(), 0);
  QCOMPARE(second.Subscribers(), 1);
  QCOMPARE(Items(box), QStringList({"COM301 (board)"}));
  first.DoNotify(qvNotifyDeviceChanged);
  QCOMPARE(Items(box), QStringList({"COM301 (board)"}));
  box.SetqvComm(nullptr);
  QCOMPARE(second.Subscribers(), 0);
  QCOMPARE(box.count(), 0);
}

void TestWidgets::deviceBoxDestruction_data() {
  QTest::addColumn<bool>("boxFirst");
  QTest::newRow("box first") << true;
  QTest::newRow("component first") << false;
}

void TestWidgets::deviceBoxDestruction() {
  QFETCH(bool, boxFirst);
  auto comm = std::make_unique<TCountingComm>();
  FillThree(*comm);
  comm->SetComPortNo(101);
  auto box = std::make_unique<TqvDeviceBox>();
  box->SetqvComm(comm.get());
  QCOMPARE(comm->Subscribers(), 1);
  if (boxFirst) {
    box.reset();
    QCOMPARE(comm->Subscribers(), 0);
    comm->DoNotify(qvNotifyDeviceChanged);  // nobody left to call
    return;
  }
  comm.reset();
  QCOMPARE(box->qvComm(), nullptr);
  QCOMPARE(box->currentIndex(), -1);
  QCOMPARE(box->count(), 3);  // the items stay until the next bind
  QSignalSpy changes(box.get(), &TqvDeviceBox::Change);
  Q_EMIT box->activated(2);
  QCOMPARE(changes.count(), 0);
}

void TestWidgets::deviceBoxPassesDeviceChanges() {
  TqvDeviceBox box;
  box.WMDeviceChange({});  // unbound: ignored
  TCountingComm comm;
  FillThree(comm);
  box.SetqvComm(&comm);
  box.WMDeviceChange({});
  QCOMPARE(comm.deviceChanges, 1);
}

// ---------------------------------------------------------------- terminal

namespace {

// A port on an in-memory device with a terminal edit bound to it.
struct TTerminalRig {
  TTerminalRig() {
    comm.SetDeviceOpener(device->Opener());
    comm.SetDevicePath(u"mem:terminal");
    comm.SetUseMainThread(true);
    comm.SetTerminal(edit.Terminal());
    comm.SetTerminalUsage(TTerminalUsage::tuBoth);
    comm.SetActive(true);
  }
  std::shared_ptr<pf::TqvMemorySerial> device = pf::TqvMemorySerial::Create("mem:terminal");
  TqvTerminalEdit edit;
  TqvComm comm;  // goes first
};

}  // namespace

void TestWidgets::terminalShowsReceivedText_data() {
  QTest::addColumn<QStringList>("pieces");  // each one arrives on its own
  QTest::addColumn<QString>("shown");
  QTest::newRow("NUL bytes are not shown") << QStringList{QString::fromLatin1("AB\0CD", 5)} << "ABCD";
  QTest::newRow("only NULs") << QStringList{QString(3, QChar(0))} << "";
  QTest::newRow("one byte is a typed key") << QStringList{"x", "y"} << "xy";
  QTest::newRow("CR LF breaks once") << QStringList{"\r\nOK\r\n"} << "\nOK\n";
  QTest::newRow("CR and LF in two pieces") << QStringList{"OK\r", "\nnext"} << "OK\nnext";
  QTest::newRow("a lone LF") << QStringList{"a\nb"} << "a\nb";
  QTest::newRow("backspace erases") << QStringList{"abc", "\b", "d"} << "abd";
  QTest::newRow("other controls dropped") << QStringList{"a\x07\tb\x1A"} << "a\tb";
}

void TestWidgets::terminalShowsReceivedText() {
  QFETCH(QStringList, pieces);
  QFETCH(QString, shown);
  TTerminalRig rig;
  QVERIFY(rig.comm.Active());
  for (const QString& piece : pieces) {
    const auto before = rig.comm.TotalReceived();
    rig.device->FeedInput(piece.toLatin1().toStdString());
    QTRY_VERIFY(rig.comm.TotalReceived() >= before + uint32_t(piece.size()));
    QTRY_VERIFY(pf::PendingCalls() == 0);
  }
  QTRY_COMPARE(rig.edit.toPlainText(), shown);
}

void TestWidgets::terminalSendsTypedKeys() {
  TTerminalRig rig;
  rig.edit.setPlainText("start");
  QTest::keyClicks(&rig.edit, "AT");
  QTest::keyClick(&rig.edit, Qt::Key_Return);
  QCOMPARE(rig.device->TakeOutput(), std::string("AT\r"));
  QCOMPARE(rig.edit.toPlainText(), QString("start"));  // without echo nothing is shown
  rig.comm.SetTerminalEcho(true);
  QTest::keyClicks(&rig.edit, "Z");
  QCOMPARE(rig.device->TakeOutput(), std::string("Z"));
  QCOMPARE(rig.edit.toPlainText(), QString("startZ"));
  rig.edit.PostKeys(u"I\r");  // queued, like typed keys
  QCOMPARE(rig.device->TakeOutput(), std::string());
  std::string sent;
  QTRY_COMPARE(QString::fromStdString(sent += rig.device->TakeOutput()), QString("I\r"));
  rig.comm.SetTerminal(nullptr);  // unbound, a key is only shown
  QTest::keyClicks(&rig.edit, "q");
  QCOMPARE(rig.edit.toPlainText(), QString("startZI\nq"));
}

void TestWidgets::terminalKeepsOrderAcrossThreads() {
  TqvTerminalEdit edit;
  TqvCustomTerminal* terminal = edit.Terminal();
  std::thread other([&] {
    for (char16_t c = u'a'; c <= u'e'; ++c) terminal->TypeChar(c);
  });
  other.join();
  QCOMPARE(edit.toPlainText(), QString());  // nothing touched the widget off its thread
  terminal->ReplaceSel(u"F");               // the GUI thread's own output comes after
  QCOMPARE(edit.toPlainText(), QString("abcdeF"));
  QTest::qWait(10);
  QCOMPARE(edit.toPlainText(), QString("abcdeF"));
}

// ---------------------------------------------------------------- log view

void TestWidgets::logViewQueuesInOrderAndStaysBounded() {
  TqvLogFile log;
  log.SetOptions({});  // no stamps, no file
  log.SetFileName(u"");
  TqvLogView view;
  view.SetMaxLines(300);
  log.SetVisualOut(&view);
  log.Add(u"first");
  QCOMPARE(view.blockCount(), 1);  // an empty document: the line is only queued
  QCOMPARE(view.toPlainText(), QString());

  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&log, t] {
      for (int i = 0; i < 250; ++i) log.Add(qv::Utf8ToString("t" + std::to_string(t) + " " + std::to_string(i)));
    });
  for (auto& th : threads) th.join();
  // The view ends with the log's own last lines, in the log's order.
  QStringList expected = QString::fromStdU16String(log.PendingText()).split("\r\n", Qt::SkipEmptyParts);
  expected = expected.mid(expected.size() - 300);
  QTRY_COMPARE(view.toPlainText().split('\n'), expected);
  log.SetVisualOut(nullptr);
}

void TestWidgets::logViewThatGoesFirstIsForgotten() {
  TqvLogFile log;
  log.SetOptions({});
  log.SetFileName(u"");
  {
    TqvLogView view;
    log.SetVisualOut(&view);
    log.Add(u"queued, never shown");
  }
  QCOMPARE(log.VisualOut(), nullptr);
  log.Add(u"after the view");
  QTest::qWait(10);  // the queued call of the view is gone with it
}

// ---------------------------------------------------------------- dialog

void TestWidgets::dialogFlowControlMeansWhatThePortReads_data() {
  QTest::addColumn<int>("flow");
  QTest::addColumn<int>("protocol");
  QTest::newRow("none") << int(TqvFlowControl::fcNone) << int(TStreamProtocol::spNone);
  QTest::newRow("xon/xoff") << int(TqvFlowControl::fcXonXoff) << int(TStreamProtocol::spXonXoff);
  QTest::newRow("hardware") << int(TqvFlowControl::fcHardware) << int(TStreamProtocol::spHardware);
}

void TestWidgets::dialogFlowControlMeansWhatThePortReads() {
  QFETCH(int, flow);
  QFETCH(int, protocol);
  for (TStreamProtocol start : {TStreamProtocol::spNone, TStreamProtocol::spXonXoff, TStreamProtocol::spHardware}) {
    TqvComm comm;
    comm.SetStreamProtocol(start);
    comm.SetParity(TParity::pEven);
    TqvCommConfigDialog dialog("/dev/ttyUSB0", comm.CommConfig());
    QCOMPARE(dialog.FlowControlBox()->currentIndex(), int(start));
    QCOMPARE(dialog.ParityBox()->currentText(), QString("Even"));
    dialog.FlowControlBox()->setCurrentIndex(flow);
    dialog.ParityBox()->setCurrentIndex(0);
    dialog.StopBitsBox()->setCurrentIndex(2);
    dialog.DataBitsBox()->setCurrentIndex(2);
    dialog.BaudRateBox()->setCurrentText("57600");
    comm.SetCommConfig(dialog.Config());
    comm.ReadLineSettings();
    QCOMPARE(int(comm.StreamProtocol()), protocol);
    QCOMPARE(comm.Parity(), TParity::pNone);
    QCOMPARE(comm.CommConfig().dcb.Flags & pf::DCB_fParity, 0u);
    QCOMPARE(comm.StopBits(), TStopBits::sbTwo);
    QCOMPARE(comm.ByteSize(), uint8_t(7));
    QCOMPARE(comm.BaudRate(), 57600u);
  }
}

void TestWidgets::dialogAppliesOnlyWhenConfirmed() {
  for (bool confirm : {false, true}) {
    TqvComm comm;
    comm.SetBaudRate(115200);
    QString title;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<TqvCommConfigDialog*>(QApplication::activeModalWidget());
      QVERIFY(dialog);
      title = dialog->windowTitle();
      dialog->BaudRateBox()->setCurrentText("9600");
      confirm ? dialog->accept() : dialog->reject();
    });
    comm.ConfigDialog();
    QVERIFY(title.contains(QString::fromStdU16String(comm.ComName())));
    QCOMPARE(comm.BaudRate(), confirm ? 9600u : 115200u);
  }
}

// ---------------------------------------------------------------- bridge

void TestWidgets::bridgeRunsHandedCallsFromTheEventLoop() {
  std::atomic<bool> ran{false};
  std::thread other([&] { pf::RunOnMainThread([&] { ran = true; }); });
  QTRY_VERIFY(ran.load());  // only the Qt loop runs here: the wake-up got it going
  other.join();
}

// Inside a live wait a timer of the GUI fires and ends the library's wait;
// outside one the wait is plain and the timer waits for it.
void TestWidgets::liveWaitKeepsTheGuiAlive() {
  for (bool live : {true, false}) {
    pf::TEvent done(true, false);
    QTimer::singleShot(20, [&] { done.Set(); });
    std::optional<TqvLiveWait> scope;
    if (live) scope.emplace();
    QElapsedTimer clock;
    clock.start();
    const bool signalled = pf::WaitPumping(done, 400);
    QCOMPARE(signalled, live);
    if (live) QVERIFY(clock.elapsed() < 300);
    scope.reset();
    QTRY_VERIFY(done.IsSet());
  }
}

void TestWidgets::messageBoxFromAnotherThreadShowsOnTheGuiThread() {
  QCoreApplication::setApplicationName("widgets test");
  QString text, caption;
  bool onGui = false;
  std::thread other([] { qv::ShowMessageBox(u"first\rsecond", u"", qv::TMsgBoxIcon::mbError); });
  other.join();  // it did not wait for the box
  QTimer watcher;
  connect(&watcher, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      text = box->text();
      caption = box->windowTitle();
      onGui = QThread::currentThread() == box->thread();
      box->accept();
    }
  });
  watcher.start(5);
  QTRY_VERIFY(!text.isEmpty());
  QCOMPARE(text, QString("first\nsecond"));
  QCOMPARE(caption, QString("widgets test"));
  QVERIFY(onGui);
}

QTEST_MAIN(TestWidgets)
#include "qvwidgets_qttest.moc"
