// The desktop program's main window: start-up, the "Open" box, the Driver
// page, the exchange controls while the component is busy, the diagnostic
// message, the terminal, device changes, and the whole way from ticking
// "Open" to the Device Info page on the modem simulator. Offscreen platform;
// discovery walks a fake device tree, and no real serial device is opened.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSpinBox>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>
#include <fstream>
#include <memory>

#include "platform/qvserial_memory.h"
#include "qvcomm.h"
#include "qvcommbox.h"
#include "qvfakedevicetree.h"
#include "qvgsm.h"
#include "qvlogfile.h"
#include "qvpty.h"
#include "qvqtbridge.h"
#include "qvsim.h"
#include "qvsim_codec.h"
#include "qvsmsassembler.h"
#include "qvterminaledit.h"
#include "qvwin32di.h"
#include "unit1.h"

namespace pf = qv::platform;

namespace {

constexpr int kInitMs = 30000;  // an initialisation on the simulator, under the sanitizers

QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }

// The boxes the window asks for, recorded instead of shown.
struct TBoxRecorder {
  TBoxRecorder() {
    old = qv::SetMessageBoxHook([this](std::u16string_view text, std::u16string_view, qv::TMsgBoxIcon) {
      texts << Q(std::u16string(text));
    });
  }
  ~TBoxRecorder() { qv::SetMessageBoxHook(std::move(old)); }
  QStringList texts;
  qv::TMessageBoxHook old;
};

// A window as the program makes it, shown, with a quieter log: no line on
// standard error, and the file written once at the end.
std::unique_ptr<TForm1> Window(const QStringList& args, uint32_t timeoutMs = 10000) {
  auto w = std::make_unique<TForm1>(args);
  w->qvLogFile1->SetOptions(
      w->qvLogFile1->Options().Exclude(TLogOption::loDebugOut).Exclude(TLogOption::loSafeMode));
  w->qvGsm1->SetTimeOut(timeoutMs);
  w->show();
  return w;
}

QStringList Column(const QTableWidget* list, int column) {
  QStringList out;
  for (int row = 0; row < list->rowCount(); ++row)
    out << (list->item(row, column) ? list->item(row, column)->text() : QString());
  return out;
}

QStringList Items(const QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

QStringList Tabs(const QTabWidget* pages) {
  QStringList tabs;
  for (int i = 0; i < pages->count(); ++i) tabs << pages->tabText(i);
  return tabs;
}

bool Connected(const TForm1& w) {
  return !w.ListBox1->findItems("========= GSM device connected ===========", Qt::MatchExactly).isEmpty();
}

QStringList LogLines(const TForm1& w) {
  QStringList lines;
  for (int i = 0; i < w.ListBox1->count(); ++i) lines << w.ListBox1->item(i)->text();
  return lines;
}

// The lines of the event log from the first that starts with `head` on.
QStringList LogFrom(const TForm1& w, const QString& head) {
  const QStringList all = LogLines(w);
  for (qsizetype i = 0; i < all.size(); ++i)
    if (all[i].startsWith(head)) return all.mid(i);
  return {};
}

// The messages the simulated network took, decoded.
std::vector<TqvPduSms> Submitted(qvsim::Simulator& sim) {
  std::vector<TqvPduSms> out;
  for (const std::string& pdu : sim.WithModem([](qvsim::Modem& m) { return m.Submitted(); })) {
    out.emplace_back(false);
    out.back().SetAsPDU(qv::Utf8ToString(pdu));
  }
  return out;
}

QStringList On(const qvsim::Simulator& sim) { return {"--device", QString::fromStdString(sim.DevicePath())}; }

// Ticks "Open" and waits until the modem is initialised, the network read
// (the Network row), and the component idle.
bool OpenAndWait(TForm1& w) {
  QTest::mouseClick(w.CheckBox1, Qt::LeftButton);
  return QTest::qWaitFor(
      [&] {
        return Connected(w) && Column(w.lvInfo, 0).contains("Network") && !w.ExchangeBlocked();
      },
      kInitMs);
}

// The controls that start an exchange, by name, and whether each is enabled.
QMap<QString, bool> ExchangeControls(const TForm1& w) {
  QMap<QString, bool> states;
  for (QWidget* c : std::initializer_list<QWidget*>{
           w.Button3, w.bSendCommand, w.cbOnNewSms, w.Button2, w.Button8, w.Button6, w.Button4, w.Button5, w.Button7,
           w.Button9, w.bDelRead, w.bDelAllSms, w.bReadCentre, w.bSetCentre, w.bDial, w.bAnswer, w.bHangup,
           w.bCallRefresh, w.bSendTones, w.bUnblock, w.bChangePin})
    states[c->objectName()] = c->isEnabled();
  return states;
}

QMap<QString, bool> AllExchangeControls(const TForm1& w, bool enabled) {
  QMap<QString, bool> states = ExchangeControls(w);
  for (auto& s : states) s = enabled;
  return states;
}

int DiagnosticLinesOf(const TqvGsm& gsm) {
  int n = 0;
  while (gsm.Driver()->IndexOfCommand(qv::gsm::gsmDiagnostics, n + 1) >= 0) ++n;
  return n;
}

std::string Uevent(std::initializer_list<const char*> fields) {
  std::string out;
  for (const char* f : fields) out.append(f).push_back('\0');
  return out;
}

}  // namespace

class TestDesk : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void initTestCase() { bridge = std::make_unique<TqvQtBridge>(); }
  void init() {
    tree = std::make_unique<TqvFakeDeviceTree>();
    qv::SetDeviceRoots(tree->Roots());
  }
  void cleanup() {
    qv::SetDeviceRoots({});
    tree.reset();
  }
  void cleanupTestCase() { bridge.reset(); }

  void argumentsAreRead_data();
  void argumentsAreRead();
  void terminalPageOnlyWithFirstArgumentD_data();
  void terminalPageOnlyWithFirstArgumentD();
  void showFillsTheControls();
  void startPort_data();
  void startPort();
  void devicePathIsShownAndAPickReplacesIt();
  void openFailureLeavesTheBoxUnticked();
  void driverPageFollowsAutodetect();
  void loadAndDeleteAllDrivers();
  void openWithoutAutodetectAndNoDriverChosen();
  void openShowsTheModemOnTheSimulator();
  void emptyPinIsNeverSent();
  void exchangeControlsWaitForTheWindowsCall();
  void openBoxIsTheWayOutAndClosingWaits();
  void openBoxEndsADetectionThatWaits();
  void diagnosticSaysHowItEnded_data();
  void diagnosticSaysHowItEnded();
  void clipboardKeys_data();
  void clipboardKeys();
  void doubleClickTypesTheClipboardIntoTheModem();
  void deviceChangeReachesThePicker();
  void sendFormFollowsEncodingAndAlert_data();
  void sendFormFollowsEncodingAndAlert();
  void longTextWithAlertGoesWhole();
  void sendAndWaitShowsTheReferenceEvenWhenThereIsNone();
  void incomingMessagesAndReportsReachTheLogInOrder();
  void receivedLinesOfAMessage_data();
  void receivedLinesOfAMessage();
  void listingReadingAndDeleting();
  void phoneBookPage();
  void ussdAnswerReachesTheLog();
  void networkRowFollowsTheModem();
  void fullStoreReachesTheLog();
  void deleteReadThenAll();
  void callsPage();
  void serviceCentreReadAndSet();
  void changePinThenOpenWithTheNewOne();
  void unblockWithThePuk();

 private:
  std::unique_ptr<TqvQtBridge> bridge;
  std::unique_ptr<TqvFakeDeviceTree> tree;
};

// ---------------------------------------------------------------- start-up

void TestDesk::argumentsAreRead_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<bool>("terminal");
  QTest::addColumn<QString>("device");
  QTest::addColumn<QStringList>("ignored");
  QTest::newRow("nothing") << QStringList{} << false << "" << QStringList{};
  QTest::newRow("d") << QStringList{"d"} << true << "" << QStringList{};
  QTest::newRow("D") << QStringList{"D"} << false << "" << QStringList{"D"};
  QTest::newRow("d second") << QStringList{"x", "d"} << false << "" << QStringList{"x", "d"};
  QTest::newRow("d and device") << QStringList{"d", "--device", "/tmp/m"} << true << "/tmp/m" << QStringList{};
  QTest::newRow("device then d") << QStringList{"--device", "/tmp/m", "d"} << false << "/tmp/m" << QStringList{"d"};
  QTest::newRow("device=") << QStringList{"--device=/tmp/m"} << false << "/tmp/m" << QStringList{};
  QTest::newRow("device without path") << QStringList{"--device"} << false << "" << QStringList{"--device"};
}

void TestDesk::argumentsAreRead() {
  QFETCH(QStringList, args);
  QFETCH(bool, terminal);
  QFETCH(QString, device);
  QFETCH(QStringList, ignored);
  const TDeskOptions o = ParseDeskArguments(args);
  QCOMPARE(o.Terminal, terminal);
  QCOMPARE(Q(o.DevicePath), device);
  QCOMPARE(o.Ignored, ignored);
}

void TestDesk::terminalPageOnlyWithFirstArgumentD_data() {
  QTest::addColumn<QStringList>("args");
  QTest::addColumn<bool>("terminal");
  QTest::newRow("no argument") << QStringList{} << false;
  QTest::newRow("d") << QStringList{"d"} << true;
  QTest::newRow("D") << QStringList{"D"} << false;
  QTest::newRow("d second") << QStringList{"x", "d"} << false;
}

void TestDesk::terminalPageOnlyWithFirstArgumentD() {
  QFETCH(QStringList, args);
  QFETCH(bool, terminal);
  auto w = Window(args);
  QStringList tabs{"Device Info", "Send SMS", "SMS Storage", "Phone Book", "Calls", "Options", "Driver", "USSD"};
  if (terminal) tabs.insert(3, "Terminal");
  QCOMPARE(Tabs(w->Pages), tabs);
  QCOMPARE(w->Pages->currentIndex(), 0);
  QCOMPARE(w->Memo3 != nullptr, terminal);
  QCOMPARE(w->qvComm1->Terminal(), terminal ? w->Memo3->Terminal() : nullptr);
  if (terminal) QCOMPARE(w->Memo3->toPlainText(), QString("Memo3"));
}

void TestDesk::showFillsTheControls() {
  auto w = Window({});
  QCOMPARE(Column(w->lvInfo, 0), QStringList({"Manufacturer", "Model", "Version", "IMEI", "Used driver", ""}));
  QCOMPARE(Column(w->lvInfo, 1), QStringList(6, "..."));
  QCOMPARE(w->ePin->text(), QString());  // no preset PIN
  QCOMPARE(w->cbOnNewSms->currentText(), QString("Skip Store and Show"));
  QVERIFY(w->chAutodetect->isChecked());
  QCOMPARE(w->eDrivers->count(), w->qvGsm1->DriverCount());
  QCOMPARE(w->eDrivers->itemText(0), Q(w->qvGsm1->GetDriver(0)->Caption()));
  QCOMPARE(w->eDrivers->currentIndex(), -1);
  QVERIFY(!w->CheckBox1->isChecked());
  QCOMPARE(ExchangeControls(*w), AllExchangeControls(*w, true));
  QCOMPARE(Items(w->cbStatus).last(), w->cbStatus->currentText());
  QCOMPARE(w->eUssd->text(), QString("*102#"));
}

// ---------------------------------------------------------------- the port

void TestDesk::startPort_data() {
  QTest::addColumn<QStringList>("devices");  // what the machine has
  QTest::addColumn<int>("portNo");           // the port the window starts on; 0 none
  QTest::newRow("USB after a UART") << QStringList{"ttyS0", "ttyUSB0"} << 101;
  QTest::newRow("ACM only") << QStringList{"ttyS0", "ttyACM0"} << 201;
  QTest::newRow("only a UART") << QStringList{"ttyS0"} << 0;
  QTest::newRow("nothing") << QStringList{} << 0;
}

void TestDesk::startPort() {
  QFETCH(QStringList, devices);
  QFETCH(int, portNo);
  TqvFakeDeviceTree::UsbDevice usb{"1-1", "12d1", "1003", "HUAWEI", "E220 Modem", "1"};
  for (const QString& d : devices) {
    if (d == "ttyS0") tree->AddLegacyUart("ttyS0", "4", "4:64");
    if (d == "ttyUSB0") tree->AddUsbSerial(usb, 0, "ttyUSB0", "option", "188:0");
    if (d == "ttyACM0") tree->AddAcm(usb, 1, "ttyACM0", "166:0");
  }
  TBoxRecorder boxes;
  auto w = Window({});
  QCOMPARE(int(w->qvComm1->ComPortNo()), portNo);
  QCOMPARE(w->qvDeviceBox1->count(), devices.size());
  if (portNo != 0) {
    QVERIFY(w->qvDeviceBox1->currentText().startsWith(QString("COM%1").arg(portNo)));
    return;
  }
  QCOMPARE(w->qvDeviceBox1->currentIndex(), -1);
  QCOMPARE(w->qvDeviceBox1->placeholderText(), QString("(no modem found)"));
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QCOMPARE(boxes.texts.size(), 1);
  QVERIFY(boxes.texts[0].startsWith("No modem was found."));
  QVERIFY(!w->CheckBox1->isChecked());
  QVERIFY(!w->qvComm1->Active());
}

void TestDesk::devicePathIsShownAndAPickReplacesIt() {
  TqvFakeDeviceTree::UsbDevice usb{"1-1", "12d1", "1003", "HUAWEI", "E220 Modem", "1"};
  tree->AddUsbSerial(usb, 0, "ttyUSB0", "option", "188:0");
  tree->AddUsbSerial(usb, 1, "ttyUSB1", "option", "188:1");
  const QString node = QString::fromStdString((tree->Roots().Dev / "ttyUSB1").string());
  auto listed = Window({"--device", node});
  QCOMPARE(Q(listed->qvComm1->ComName()), node);
  QVERIFY(listed->qvDeviceBox1->currentText().startsWith("COM102"));

  auto other = Window({"--device", "/tmp/no-such-modem"});
  QCOMPARE(other->qvDeviceBox1->currentIndex(), -1);
  QCOMPARE(other->qvDeviceBox1->placeholderText(), QString("/tmp/no-such-modem"));
  Q_EMIT other->qvDeviceBox1->activated(0);  // the user picks a listed device instead
  QCOMPARE(Q(other->qvComm1->DevicePath()), QString());
  QCOMPARE(int(other->qvComm1->ComPortNo()), 101);
  QCOMPARE(other->qvDeviceBox1->currentIndex(), 0);
}

void TestDesk::openFailureLeavesTheBoxUnticked() {
  TBoxRecorder boxes;
  auto w = Window({"--device", "/nonexistent/modem"});
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QCOMPARE(boxes.texts.size(), 1);
  QVERIFY2(boxes.texts[0].startsWith("Device \"/nonexistent/modem\" Open Error !!!\r"), qPrintable(boxes.texts[0]));
  QVERIFY(!w->CheckBox1->isChecked());
  QVERIFY(!w->qvComm1->Active());
  QCOMPARE(ExchangeControls(*w), AllExchangeControls(*w, true));
}

// ---------------------------------------------------------------- Driver page

void TestDesk::driverPageFollowsAutodetect() {
  auto w = Window({});
  auto driverControls = [&] {
    return QList<bool>{w->eDrivers->isEnabled(), w->bLoadDriver->isEnabled(), w->bDelAll->isEnabled()};
  };
  QCOMPARE(driverControls(), QList<bool>({false, false, false}));
  w->Pages->setCurrentWidget(w->pgDriver);
  QTest::mouseClick(w->chAutodetect, Qt::LeftButton);
  QCOMPARE(driverControls(), QList<bool>({true, true, true}));
  QVERIFY(w->qvGsm1->Autodetect());  // the component hears of it at the next "Open"
  QTest::mouseClick(w->chAutodetect, Qt::LeftButton);
  QCOMPARE(driverControls(), QList<bool>({false, false, false}));
}

void TestDesk::loadAndDeleteAllDrivers() {
  TBoxRecorder boxes;
  auto w = Window({});
  w->chAutodetect->setChecked(false);
  const int builtIn = w->eDrivers->count();
  QString chosen;
  w->ChooseDriverFile = [&] { return chosen; };
  const std::u16string script = u"HKR, gsmGetModel, \"AT+CGMM<cr>\", 1\r\n";

  w->qvGsm1->AddDriverFromString(u"behind the window's back", script);
  QTest::mouseClick(w->bLoadDriver, Qt::LeftButton);  // the dialog is cancelled...
  QCOMPARE(w->eDrivers->count(), builtIn + 1);       // ...and the list is refreshed all the same
  QCOMPARE(w->eDrivers->currentIndex(), -1);

  qv::test::TqvTempDir dir;
  chosen = QString::fromStdString(dir.Path() + "/mymodem.inf");
  std::ofstream(chosen.toStdString()) << qv::StringToUtf8(script);
  QTest::mouseClick(w->bLoadDriver, Qt::LeftButton);
  QCOMPARE(w->eDrivers->count(), builtIn + 2);
  QCOMPARE(w->eDrivers->itemText(builtIn + 1), QString("mymodem.inf"));

  struct TBad {
    const char* file;
    const char* content;  // nullptr: no such file
    const char* message;
  } bad[] = {{"/missing.inf", nullptr, "Cannot open file"},
             {"/junk.inf", "\x7F\x45LF junk\r\n", "No driver was loaded"}};
  for (const TBad& b : bad) {
    chosen = QString::fromStdString(dir.Path() + b.file);
    if (b.content) std::ofstream(chosen.toStdString()) << b.content;
    w->qvGsm1->AddDriverFromString(u"not shown until a refresh", script);
    boxes.texts.clear();
    QTest::mouseClick(w->bLoadDriver, Qt::LeftButton);
    QCOMPARE(boxes.texts.size(), 1);
    QVERIFY2(boxes.texts[0].startsWith(b.message), qPrintable(boxes.texts[0]));
    QCOMPARE(w->eDrivers->count(), builtIn + 2);  // an error leaves the list as it was
  }

  QTest::mouseClick(w->bDelAll, Qt::LeftButton);
  QCOMPARE(w->eDrivers->count(), 0);
  QCOMPARE(w->qvGsm1->DriverCount(), 0);
  QCOMPARE(w->qvGsm1->DriverIndex(), -1);
}

void TestDesk::openWithoutAutodetectAndNoDriverChosen() {
  auto device = pf::TqvMemorySerial::Create("mem:modem");
  auto w = Window({"--device", "mem:modem"}, 200);
  w->qvComm1->SetDeviceOpener(device->Opener());
  w->qvGsm1->SetDriverIndex(3);
  w->chAutodetect->setChecked(false);
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QVERIFY(w->CheckBox1->isChecked());
  QVERIFY(!w->qvGsm1->Autodetect());
  QCOMPARE(w->qvGsm1->DriverIndex(), -1);  // nothing chosen: the default driver
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QVERIFY(!w->qvComm1->Active());
}

// ---------------------------------------------------------------- on the simulator

void TestDesk::openShowsTheModemOnTheSimulator() {
  qvsim::Simulator sim("siemens_mc35i");
  auto w = Window(On(sim));
  w->eMem->addItem("stale");
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QVERIFY(w->CheckBox1->isChecked());
  QTRY_VERIFY_WITH_TIMEOUT(Connected(*w), kInitMs);
  QTRY_COMPARE_WITH_TIMEOUT(Column(w->lvInfo, 0),
                            QStringList({"Manufacturer", "Device", "Version", "IMEI", "Driver", "Network"}), kInitMs);
  const QStringList values = Column(w->lvInfo, 1);
  QCOMPARE(values[0], QString("SIEMENS"));
  QCOMPARE(values[1], QString("MC35i"));
  QCOMPARE(values[2], Q(w->qvGsm1->DeviceVersion()));
  QCOMPARE(values[3], Q(w->qvGsm1->DeviceIMEI()));
  QVERIFY(!values[3].isEmpty());
  QCOMPARE(values[4], QString::fromStdString(sim.GetPersona().caption));
  QStringList memories;
  for (const auto& m : w->qvGsm1->MemTypesRead()) memories << Q(m);
  QVERIFY(!memories.isEmpty());
  QCOMPARE(Items(w->eMem), memories);
  QCOMPARE(w->eMem->currentIndex(), memories.size() - 1);
  QTRY_COMPARE(ExchangeControls(*w), AllExchangeControls(*w, true));

  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QVERIFY(!w->qvComm1->Active());
  QVERIFY(!w->CheckBox1->isChecked());
}

void TestDesk::emptyPinIsNeverSent() {
  qvsim::SimulatorOptions options;
  options.pin = "1234";
  options.pinState = qvsim::PinState::SimPin;
  qvsim::Simulator sim("siemens_mc35i", options);
  auto w = Window(On(sim), 2000);
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);  // the PIN box is empty
  QTRY_VERIFY_WITH_TIMEOUT(sim.GetTranscript().ToModem().find("AT+CPIN?") != std::string::npos, kInitMs);
  QTRY_VERIFY_WITH_TIMEOUT(!w->qvGsm1->IsBusy(), kInitMs);
  QVERIFY(sim.GetTranscript().ToModem().find("AT+CPIN=") == std::string::npos);
  QCOMPARE(sim.WithModem([](qvsim::Modem& m) { return m.PinAttempts(); }), 3);
  QVERIFY(w->qvGsm1->DeviceIMSI().empty());  // the SIM stays locked

  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  w->ePin->setText("1234");
  w->ListBox1->clear();
  QVERIFY(OpenAndWait(*w));
  QVERIFY(!w->qvGsm1->DeviceIMSI().empty());  // the SIM answers now
  const std::string sent = sim.GetTranscript().ToModem();
  QVERIFY(sent.find("AT+CPIN=1234") != std::string::npos);
  QCOMPARE(sent.find("AT+CPIN=1234"), sent.rfind("AT+CPIN=1234"));
}

// A direct command that waits for a slow modem: the window stays live, the
// exchange controls are disabled while the call runs, the "Open" box is not.
void TestDesk::exchangeControlsWaitForTheWindowsCall() {
  qvsim::Simulator sim("siemens_mc35i");
  TBoxRecorder boxes;
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));

  sim.DelayReplyTo("I", std::chrono::milliseconds(1000));
  QMap<QString, bool> during;
  bool openEnabled = false, pickerEnabled = true;
  QTimer::singleShot(300, [&] {
    during = ExchangeControls(*w);
    openEnabled = w->CheckBox1->isEnabled();
    pickerEnabled = w->qvDeviceBox1->isEnabled();
  });
  w->Pages->setCurrentWidget(w->pgOptions);
  QTest::mouseClick(w->bSendCommand, Qt::LeftButton);
  QCOMPARE(during, AllExchangeControls(*w, false));
  QVERIFY(openEnabled);
  QVERIFY(!pickerEnabled);
  QCOMPARE(ExchangeControls(*w), AllExchangeControls(*w, true));
  QCOMPARE(boxes.texts.size(), 1);
  QVERIFY2(boxes.texts[0].startsWith("Reply:") && boxes.texts[0].contains("OK"), qPrintable(boxes.texts[0]));

  // While the component is busy on its own (a diagnostic queue) the same holds.
  sim.SetReplyDelay(std::chrono::milliseconds(300));
  QTest::mouseClick(w->Button3, Qt::LeftButton);
  QCOMPARE(ExchangeControls(*w), AllExchangeControls(*w, false));
  QVERIFY(w->CheckBox1->isEnabled());
  QTRY_VERIFY_WITH_TIMEOUT(boxes.texts.size() == 2, kInitMs);
  QTRY_COMPARE(ExchangeControls(*w), AllExchangeControls(*w, true));
}

// A silent modem: unticking "Open" ends the waiting call at once, and a
// window closed meanwhile goes only once the call has returned.
void TestDesk::openBoxIsTheWayOutAndClosingWaits() {
  qvsim::Simulator sim("siemens_mc35i");
  TBoxRecorder boxes;
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  sim.SetSilent(true);

  bool visibleAfterClose = false;
  QTimer::singleShot(200, [&] {
    w->close();
    visibleAfterClose = w->isVisible();
  });
  QTimer::singleShot(400, [&] { QTest::mouseClick(w->CheckBox1, Qt::LeftButton); });
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(w->bSendCommand, Qt::LeftButton);
  QVERIFY2(clock.elapsed() < 5000, "the call ended with the port, not with its time-out");
  QVERIFY(visibleAfterClose);
  QVERIFY(!w->qvComm1->Active());
  QVERIFY(!w->CheckBox1->isChecked());
  QCOMPARE(boxes.texts.value(0), QString("Reply:"));
  QTRY_VERIFY(!w->isVisible());
}

// The port picked is no modem (it never answers): the driver detection that
// runs while the port opens would take every driver's time-out, and
// unticking "Open" ends it.
void TestDesk::openBoxEndsADetectionThatWaits() {
  qvsim::Simulator sim("siemens_mc35i");
  sim.SetSilent(true);
  TBoxRecorder boxes;
  auto w = Window(On(sim));
  QTimer::singleShot(300, [&] { QTest::mouseClick(w->CheckBox1, Qt::LeftButton); });
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QVERIFY2(clock.elapsed() < 5000, "the detection ended with the port");
  QVERIFY(!w->qvComm1->Active());
  QVERIFY(!w->CheckBox1->isChecked());
  QTRY_VERIFY(!w->qvGsm1->IsBusy());
  QVERIFY(!Connected(*w));
  QCOMPARE(boxes.texts, QStringList());
}

void TestDesk::diagnosticSaysHowItEnded_data() {
  QTest::addColumn<bool>("silent");
  QTest::addColumn<bool>("closeMeanwhile");
  QTest::addColumn<QString>("ending");  // %1: the number of diagnostic lines
  QTest::newRow("complete") << false << false << "The diagnostic is complete: %1 of %1 commands succeeded.";
  QTest::newRow("time-out") << true << false << "The diagnostic has ended: 0 of %1 commands succeeded.";
  QTest::newRow("port closed") << true << true
                               << "The diagnostic was cut short: the port was closed (0 of %1 commands succeeded).";
}

void TestDesk::diagnosticSaysHowItEnded() {
  QFETCH(bool, silent);
  QFETCH(bool, closeMeanwhile);
  QFETCH(QString, ending);
  qvsim::Simulator sim("siemens_mc35i");
  TBoxRecorder boxes;
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  w->qvGsm1->SetTimeOut(silent ? 300 : 10000);
  sim.SetSilent(silent);
  sim.SetReplyDelay(std::chrono::milliseconds(100));

  QTest::mouseClick(w->Button3, Qt::LeftButton);
  QVERIFY(boxes.texts.isEmpty());  // queued, not ended
  if (closeMeanwhile) QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(boxes.texts.size(), 1, kInitMs);
  const QString expected = "Log  file with diagnostic onformation has been saved as \r" +
                           Q(w->qvLogFile1->LogFilePath()) +
                           " file.\rPlease send this log to Vantorel tech support service.\r\r" +
                           ending.arg(DiagnosticLinesOf(*w->qvGsm1));
  // The component's last error, where it tells one, follows on a line of its own.
  const QString box = boxes.texts[0];
  QVERIFY2(box == expected || box.startsWith(expected + "\rLast error: "), qPrintable(box));
  QVERIFY(DiagnosticLinesOf(*w->qvGsm1) > 0);
  QVERIFY(Q(w->qvLogFile1->LogFilePath()).endsWith("/smsdesk_qttest.log"));
}

// ---------------------------------------------------------------- terminal

void TestDesk::clipboardKeys_data() {
  QTest::addColumn<QString>("clipboard");
  QTest::addColumn<QString>("keys");
  QTest::newRow("final CR") << "AT+CGMI\\0Dh" << "AT+CGMI\r";
  QTest::newRow("only the first CR") << "ATI\\0Dh\\0Dh" << "ATI\r\\0Dh";
  QTest::newRow("only the first Ctrl-Z") << "PDU\\1Ah\\1Ah" << "PDU\x1A\\1Ah";
  QTest::newRow("both") << "AT+CMGS=12\\0Dh0011\\1Ah" << "AT+CMGS=12\r0011\x1A";
  QTest::newRow("letter case counts") << "ATI\\0dh\\0DH" << "ATI\\0dh\\0DH";
  QTest::newRow("empty") << "" << "";
}

void TestDesk::clipboardKeys() {
  QFETCH(QString, clipboard);
  QFETCH(QString, keys);
  QCOMPARE(Q(KeysFromClipboard(clipboard.toStdU16String())), keys);
}

void TestDesk::doubleClickTypesTheClipboardIntoTheModem() {
  qvsim::Simulator sim("siemens_mc35i");
  auto w = Window(QStringList{"d"} + On(sim));
  QVERIFY(OpenAndWait(*w));
  w->Pages->setCurrentWidget(w->pgTerminal);
  QApplication::clipboard()->setText("AT+CGMI\\0Dh\\0Dh");
  sim.GetTranscript().Clear();
  QTest::mouseDClick(w->Memo3->viewport(), Qt::LeftButton);
  // The keys are posted: they reach the modem from the event loop.
  QTRY_COMPARE(QString::fromStdString(sim.GetTranscript().ToModem()), QString("AT+CGMI\r\\0Dh"));
  // The modem's answer is shown in the terminal.
  QTRY_VERIFY(w->Memo3->toPlainText().contains("SIEMENS"));
}

// ---------------------------------------------------------------- device change

void TestDesk::deviceChangeReachesThePicker() {
  tree->AddLegacyUart("ttyS0", "4", "4:64");
  auto w = Window({});
  QCOMPARE(w->qvDeviceBox1->count(), 1);
  int sv[2];
  QCOMPARE(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv), 0);
  QVERIFY(!w->DeviceWatcher().StartOnDescriptor(sv[0]));
  tree->AddUsbSerial({"1-1", "12d1", "1003", "HUAWEI", "E220 Modem", "1"}, 0, "ttyUSB0", "option", "188:0");
  const std::string add =
      Uevent({"add@/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", "ACTION=add",
              "DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", "SUBSYSTEM=tty",
              "MAJOR=188", "MINOR=0", "DEVNAME=ttyUSB0", "SEQNUM=1"});
  QCOMPARE(::send(sv[1], add.data(), add.size(), 0), ssize_t(add.size()));
  QTRY_COMPARE(w->qvDeviceBox1->count(), 2);
  QVERIFY(Items(w->qvDeviceBox1).join('|').contains("COM101"));
  w->DeviceWatcher().Stop();
  ::close(sv[1]);
}

// "Send" uses the plain form for "Auto detect" without Alert, else the PDU
// form with the chosen coding and class 0 for Alert.
void TestDesk::sendFormFollowsEncodingAndAlert_data() {
  QTest::addColumn<int>("encoding");
  QTest::addColumn<bool>("alert");
  QTest::addColumn<int>("coding");  // as the network sees it
  QTest::newRow("auto") << 0 << false << int(TqvPduCoding::pc7bit);
  QTest::newRow("auto, alert") << 0 << true << int(TqvPduCoding::pc7bit);
  QTest::newRow("16bit") << 3 << false << int(TqvPduCoding::pc16bit);
}

void TestDesk::sendFormFollowsEncodingAndAlert() {
  QFETCH(int, encoding);
  QFETCH(bool, alert);
  QFETCH(int, coding);
  qvsim::Simulator sim("siemens_mc35i");
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  w->Memo1->setPlainText("Meet at eight");
  w->cbEncoding->setCurrentIndex(encoding);
  w->chAlert->setChecked(alert);
  QTest::mouseClick(w->Button2, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(!LogFrom(*w, "sms has been sent: ").isEmpty(), kInitMs);
  const std::vector<TqvPduSms> sent = Submitted(sim);
  QCOMPARE(sent.size(), size_t(1));
  QCOMPARE(Q(sent[0].Text()), QString("Meet at eight"));
  QCOMPARE(int(sent[0].Coding()), coding);
  QCOMPARE(sent[0].Alert(), alert);
  QCOMPARE(sent[0].Phone(), u"+491701234567");
}

// A text longer than one message, sent with Alert, reaches the network whole.
void TestDesk::longTextWithAlertGoesWhole() {
  qvsim::Simulator sim("siemens_mc35i");
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  const QString text = QString("0123456789 ").repeated(30);
  w->Memo1->setPlainText(text);
  w->chAlert->setChecked(true);
  QTest::mouseClick(w->Button2, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(LogLines(*w).filter("sms has been sent: ").size() == 3, kInitMs);
  TqvSmsAssembler assembler;
  QString whole;
  assembler.OnMessage = [&](TObject*, const TqvSmsMessage& m) { whole = Q(m.Text); };
  for (const TqvPduSms& part : Submitted(sim)) {
    QVERIFY(part.Alert());
    assembler.Add(part);
  }
  QCOMPARE(whole, text);
  QVERIFY(!LogLines(*w).join('\n').contains("GSM Error"));
}

// The waiting send keeps the send controls disabled, and its box comes even
// when the network gave no reference.
void TestDesk::sendAndWaitShowsTheReferenceEvenWhenThereIsNone() {
  qvsim::Simulator sim("siemens_mc35i");
  auto w = Window(On(sim), 3000);
  QVERIFY(OpenAndWait(*w));
  TBoxRecorder boxes;
  sim.DelayReplyTo("+CMGS", std::chrono::milliseconds(300));
  bool disabledMeanwhile = false;
  QTimer::singleShot(100, [&] { disabledMeanwhile = !w->Button2->isEnabled() && !w->Button8->isEnabled(); });
  QTest::mouseClick(w->Button8, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(boxes.texts.size(), 1, kInitMs);
  QVERIFY(disabledMeanwhile);
  QVERIFY(boxes.texts[0].startsWith("SMS is sent. Ref#:"));
  QVERIFY(boxes.texts[0].size() > QString("SMS is sent. Ref#:").size());
  QVERIFY(LogLines(*w).contains("WaitRefID: " + boxes.texts[0].mid(18)));

  sim.DelayReplyTo("+CMGS", std::chrono::milliseconds(0));
  sim.WithModem([](qvsim::Modem& m) {
    m.FailSubmissions(500, 1);
    return 0;
  });
  QTest::mouseClick(w->Button8, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(boxes.texts.size(), 2, kInitMs);
  QCOMPARE(boxes.texts[1], QString("SMS is sent. Ref#:"));
  QVERIFY(LogLines(*w).contains("WaitRefID: "));
}

// Messages handed over on the component's worker threads appear in the order
// they came; a failed delivery report says so.
void TestDesk::incomingMessagesAndReportsReachTheLogInOrder() {
  qvsim::Simulator sim("siemens_mc35i");
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  for (int i = 1; i <= 5; ++i)
    sim.InjectSms(qvsim::MakeDeliverPdu("+4930123", "message " + std::to_string(i), 1700000000));
  std::string failed = qvsim::MakeStatusReportPdu(7, "+491701234567", 1700000000);
  failed.replace(failed.size() - 2, 2, "41");  // a permanent error: not delivered
  sim.InjectStatusReport(failed);
  QTRY_VERIFY_WITH_TIMEOUT(LogLines(*w).filter("Sms is received ").size() == 6, kInitMs);
  const QStringList texts = LogLines(*w).filter("SMS: From: ");
  QCOMPARE(texts, QStringList({"SMS: From: +4930123 text: message 1", "SMS: From: +4930123 text: message 2",
                               "SMS: From: +4930123 text: message 3", "SMS: From: +4930123 text: message 4",
                               "SMS: From: +4930123 text: message 5"}));
  const QStringList log = LogLines(*w);
  const qsizetype report = log.lastIndexOf("Sms is received ") + 1;
  QVERIFY2(report < log.size() && log[report].contains("Not Delivered"), qPrintable(log.join('\n')));
  // The simulator hands the messages over faster than a modem would, without
  // waiting for each acknowledgement, and refuses the later ones (+CMS ERROR:
  // 340): those errors scroll and select as well.
  QTRY_COMPARE(w->ListBox1->currentRow(), w->ListBox1->count() - 1);
}

void TestDesk::receivedLinesOfAMessage_data() {
  QTest::addColumn<QString>("memory");
  QTest::addColumn<QString>("text");
  QTest::addColumn<QStringList>("lines");
  QTest::newRow("delivered, Hi") << "" << "Hi"
                                 << QStringList{"Sms is received ", "SMS: From: +4930123 text: Hi", "SMS text HEX:  48 69"};
  QTest::newRow("stored, beyond U+00FF") << "SM" << QString::fromUtf8("\u0416a")
                                         << QStringList{"Sms is received \"SM\",3",
                                                        QString::fromUtf8("SMS: From: +4930123 text: \u0416a"),
                                                        "SMS text HEX:  16 61"};
  QTest::newRow("empty text") << "" << "" << QStringList{"Sms is received ", "SMS: From: +4930123 text: ", "SMS text HEX: "};
}

void TestDesk::receivedLinesOfAMessage() {
  QFETCH(QString, memory);
  QFETCH(QString, text);
  QFETCH(QStringList, lines);
  TqvPduSms sms(true);
  sms.SetAsPDU(qv::Utf8ToString(qvsim::MakeDeliverPdu("+4930123", text.toStdString(), 1700000000)));
  QCOMPARE(SmsReceivedLines(memory.toStdU16String(), 3, &sms), lines);
  QCOMPARE(SmsReceivedLines(u"", 0, nullptr), QStringList{"Sms is received "});
}

// The storage page: a listing with a report in it, reading a message and an
// empty slot, deleting; no listing without a memory.
void TestDesk::listingReadingAndDeleting() {
  qvsim::Simulator sim("siemens_mc35i");
  sim.WithModem([](qvsim::Modem& m) {
    m.StoreSms("SM", qvsim::MakeDeliverPdu("+4930123", "stored one", 1700000000), 1);
    m.StoreSms("SM", qvsim::MakeStatusReportPdu(9, "+491701234567", 1700000000), 1);
    return 0;
  });
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  const int memory = w->eMem->findText("SM");
  QVERIFY(memory >= 0);

  w->eMem->setCurrentIndex(-1);
  const size_t sentBefore = sim.GetTranscript().ToModem().size();
  QTest::mouseClick(w->Button6, Qt::LeftButton);
  QCOMPARE(LogLines(*w).last(), QString("Choose a memory first"));
  QCOMPARE(sim.GetTranscript().ToModem().size(), sentBefore);

  w->eMem->setCurrentIndex(memory);
  QTest::mouseClick(w->Button6, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(w->Memo2->toPlainText().contains("======= GET SMS LIST DONE!!! ============="), kInitMs);
  const QStringList memo = w->Memo2->toPlainText().split('\n');
  QCOMPARE(memo.mid(0, 3), QStringList({"Memo2", "SMS: SM,1 ======= ", "stored one"}));
  QCOMPARE(memo[3], QString("REPORT: SM,2 ======= "));
  QVERIFY2(memo[4].contains("Delivered to +491701234567"), qPrintable(memo[4]));

  w->eNo->setValue(5);
  QTest::mouseClick(w->Button4, Qt::LeftButton);
  QTRY_COMPARE(LogLines(*w).last(), QString("Error"));
  QVERIFY(w->Memo2->toPlainText().startsWith("Memo2"));
  w->eNo->setValue(1);
  QTest::mouseClick(w->Button4, Qt::LeftButton);
  QTRY_COMPARE(w->Memo2->toPlainText(), QString("stored one"));
  QCOMPARE(LogLines(*w).last(), QString("OK"));
  QTest::mouseClick(w->Button5, Qt::LeftButton);
  QTRY_COMPARE(LogLines(*w).last(), QString("OK"));
  QVERIFY(sim.WithModem([](qvsim::Modem& m) { return m.SmsIn("SM").count(1) == 0; }));
}

// The phone book page: an empty book, then one with names that need UCS2.
void TestDesk::phoneBookPage() {
  qvsim::Simulator sim("nokia6230i");
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  w->ePhoneBookType->setCurrentIndex(1);  // SIM memory
  QTest::mouseClick(w->Button7, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(w->Label8->text(), QString("Ready. Total:0"), kInitMs);
  QCOMPARE(w->lvPhones->rowCount(), 0);

  sim.WithModem([](qvsim::Modem& m) {
    m.WritePhoneBook("SM", 1, {"+4930111", 145, "Anna", "", 0});
    m.WritePhoneBook("SM", 4, {"0301234", 129, "\u0411\u043E\u0440\u0438\u0441", "", 0});
    return 0;
  });
  QTest::mouseClick(w->Button7, Qt::LeftButton);
  QTRY_COMPARE_WITH_TIMEOUT(w->Label8->text(), QString("Ready. Total:2"), kInitMs);
  QCOMPARE(Column(w->lvPhones, 0), QStringList({"Anna", QString::fromUtf8("\u0411\u043E\u0440\u0438\u0441")}));
  QCOMPARE(Column(w->lvPhones, 1), QStringList({"+4930111", "0301234"}));
}

void TestDesk::ussdAnswerReachesTheLog() {
  qvsim::Simulator sim("siemens_mc35i");
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  QCOMPARE(w->eUssd->text(), QString("*102#"));
  QTest::mouseClick(w->Button9, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(LogLines(*w).contains("USSD: Your balance is 12.34"), kInitMs);
}

// The Network row: read once the device is connected, then each change the
// modem tells, also in the event log; a reading that comes again (another
// connection) keeps one row.
void TestDesk::networkRowFollowsTheModem() {
  qvsim::Simulator sim("quectel_ec25");
  sim.InjectRegistration(1, 7);
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  auto network = [&] {
    const QStringList names = Column(w->lvInfo, 0);
    const qsizetype row = names.indexOf("Network");
    return row < 0 || names.count("Network") != 1 ? QString() : Column(w->lvInfo, 1)[row];
  };
  QTRY_COMPARE_WITH_TIMEOUT(network(), QString("home, LTE, QV Mobile (00101)"), kInitMs);

  sim.InjectRegistration(5, 2);
  QTRY_COMPARE_WITH_TIMEOUT(network(), QString("roaming, UMTS, QV Mobile (00101)"), kInitMs);
  QVERIFY(LogLines(*w).contains("Network: roaming, UMTS, QV Mobile (00101)"));
  sim.InjectRegistration(2, 0);
  QTRY_VERIFY_WITH_TIMEOUT(network().startsWith("searching"), kInitMs);
  QVERIFY2(!network().contains("QV Mobile"), qPrintable(network()));

  // Closed and opened again: the rows are made anew, the network read again.
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QTRY_VERIFY(!w->qvComm1->Active());
  sim.WithModem([](qvsim::Modem& m) {
    std::vector<qvsim::Output> unheard;  // nobody listens while the port is closed
    m.SetRegistration(1, 7, unheard);
  });
  w->ListBox1->clear();
  QVERIFY(OpenAndWait(*w));
  QTRY_COMPARE_WITH_TIMEOUT(network(), QString("home, LTE, QV Mobile (00101)"), kInitMs);
}

// The modem's store indicator, turned on once the device is connected.
void TestDesk::fullStoreReachesTheLog() {
  qvsim::Simulator sim("siemens_mc35i");
  sim.WithModem([](qvsim::Modem& m) { return m.SetSmsCapacity("SM", 1); });
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));  // the indicator is on once the network was read
  QVERIFY(!LogLines(*w).contains("The message store is full"));
  TqvPduSms sms(true);
  sms.SetPhone(u"+4917099887");
  sms.SetText(u"fills it");
  QVERIFY(sim.InjectSms(qv::StringToUtf8(sms.AsPDU()), qvsim::SmsRoute::Store) > 0);
  QTRY_VERIFY_WITH_TIMEOUT(LogLines(*w).contains("The message store is full"), kInitMs);
}

// "Delete read" leaves the unread messages, "Delete all" none; each lists what is left.
void TestDesk::deleteReadThenAll() {
  qvsim::Simulator sim("siemens_mc35i");
  sim.WithModem([](qvsim::Modem& m) {
    m.StoreSms("SM", qvsim::MakeDeliverPdu("+4930123", "read one", 1700000000), 1);
    m.StoreSms("SM", qvsim::MakeDeliverPdu("+4930123", "unread one", 1700000000), 0);
    m.StoreSms("SM", qvsim::MakeDeliverPdu("+4930123", "read two", 1700000000), 1);
    return 0;
  });
  auto stored = [&] {
    QList<int> ids;
    for (const auto& [id, sms] : sim.WithModem([](qvsim::Modem& m) { return m.SmsIn("SM"); })) ids << id;
    return ids;
  };
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  w->eMem->setCurrentIndex(w->eMem->findText("SM"));
  QVERIFY(w->eMem->currentIndex() >= 0);

  QTest::mouseClick(w->bDelRead, Qt::LeftButton);
  QCOMPARE(stored(), QList<int>({2}));
  QVERIFY(LogLines(*w).contains("OK"));
  QTRY_VERIFY_WITH_TIMEOUT(w->Memo2->toPlainText().contains("======= GET SMS LIST DONE!!! ============="), kInitMs);
  QVERIFY(w->Memo2->toPlainText().contains("unread one"));
  QVERIFY(!w->Memo2->toPlainText().contains("read two"));
  QTRY_VERIFY(!w->ExchangeBlocked());

  w->ListBox1->clear();
  QTest::mouseClick(w->bDelAllSms, Qt::LeftButton);
  QCOMPARE(stored(), QList<int>());
  QCOMPARE(LogLines(*w).first(), QString("OK"));
  QTRY_COMPARE_WITH_TIMEOUT(w->Memo2->toPlainText(), QString("======= GET SMS LIST DONE!!! ============="), kInitMs);
}

// Dial, tones during the call, hang up; an incoming ring fills the list by itself.
void TestDesk::callsPage() {
  qvsim::Simulator sim("siemens_mc35i");
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  w->Pages->setCurrentWidget(w->pgCalls);
  w->eCallNumber->setText("+4930555");
  QTest::mouseClick(w->bDial, Qt::LeftButton);
  QCOMPARE(LogLines(*w).last(), QString("OK"));
  QCOMPARE(w->lvCalls->rowCount(), 1);
  QCOMPARE(w->lvCalls->item(0, 0)->text(), QString("outgoing"));
  QVERIFY2(QStringList({"active", "dialing", "alerting"}).contains(w->lvCalls->item(0, 1)->text()),
           qPrintable(w->lvCalls->item(0, 1)->text()));
  QCOMPARE(w->lvCalls->item(0, 2)->text(), QString("+4930555"));

  w->eTones->setText("12#");
  QTest::mouseClick(w->bSendTones, Qt::LeftButton);
  QCOMPARE(LogLines(*w).last(), QString("OK"));
  QCOMPARE(sim.WithModem([](qvsim::Modem& m) { return m.Tones(); }), std::string("12#"));

  QTest::mouseClick(w->bHangup, Qt::LeftButton);
  QCOMPARE(w->lvCalls->rowCount(), 0);

  sim.InjectRing("+4930777", 1, std::chrono::milliseconds(10000));
  QTRY_COMPARE_WITH_TIMEOUT(w->lvCalls->rowCount(), 1, kInitMs);
  QCOMPARE(w->lvCalls->item(0, 0)->text(), QString("incoming"));
  QCOMPARE(w->lvCalls->item(0, 2)->text(), QString("+4930777"));
  QTRY_VERIFY(!w->ExchangeBlocked());
  QTest::mouseClick(w->bAnswer, Qt::LeftButton);
  QCOMPARE(w->lvCalls->item(0, 1)->text(), QString("active"));
  QTest::mouseClick(w->bHangup, Qt::LeftButton);
  QCOMPARE(w->lvCalls->rowCount(), 0);
}

void TestDesk::serviceCentreReadAndSet() {
  qvsim::Simulator sim("siemens_mc35i");
  sim.WithModem([](qvsim::Modem& m) {
    m.SetServiceCentre("+491710760000");
    return 0;
  });
  auto w = Window(On(sim));
  QVERIFY(OpenAndWait(*w));
  QTest::mouseClick(w->bReadCentre, Qt::LeftButton);
  QCOMPARE(w->eServiceCentre->text(), QString("+491710760000"));
  QCOMPARE(LogLines(*w).last(), QString("Service centre: +491710760000"));

  w->eServiceCentre->setText("+4917012345");
  QTest::mouseClick(w->bSetCentre, Qt::LeftButton);
  QCOMPARE(LogLines(*w).last(), QString("OK"));
  QCOMPARE(sim.WithModem([](qvsim::Modem& m) { return m.ServiceCentre(); }), std::string("+4917012345"));

  // A number the library refuses leaves the modem's as it was.
  w->eServiceCentre->setText("12ab");
  QTest::mouseClick(w->bSetCentre, Qt::LeftButton);
  QVERIFY2(LogLines(*w).last().startsWith("Error"), qPrintable(LogLines(*w).last()));
  QCOMPARE(sim.WithModem([](qvsim::Modem& m) { return m.ServiceCentre(); }), std::string("+4917012345"));

  sim.WithModem([](qvsim::Modem& m) {
    m.SetServiceCentre("");
    return 0;
  });
  QTest::mouseClick(w->bReadCentre, Qt::LeftButton);
  QCOMPARE(w->eServiceCentre->text(), QString());
  QCOMPARE(LogLines(*w).last(), QString("Service centre: none"));
}

namespace {

// No code in clear in the event log or the log file's lines (the tests'
// window writes the file only at its end).
void CheckCodesHidden(const TForm1& w, const QStringList& codes) {
  const QString log = LogLines(w).join('\n');
  const QString written = Q(w.qvLogFile1->PendingText());
  QVERIFY(!written.isEmpty());
  for (const QString& code : codes) {
    QVERIFY2(!log.contains(code), qPrintable(code));
    QVERIFY2(!written.contains(code), qPrintable(code));
  }
}

}  // namespace

void TestDesk::changePinThenOpenWithTheNewOne() {
  qvsim::SimulatorOptions options;
  options.pin = "1234";
  options.pinState = qvsim::PinState::SimPin;
  qvsim::Simulator sim("siemens_mc35i", options);
  auto w = Window(On(sim));
  w->ePin->setText("1234");
  QVERIFY(OpenAndWait(*w));
  w->Pages->setCurrentWidget(w->pgOptions);
  QCOMPARE(w->eOldPin->echoMode(), QLineEdit::Password);

  w->eOldPin->setText("9999");  // wrong: nothing changes
  w->eNewPin->setText("5678");
  QTest::mouseClick(w->bChangePin, Qt::LeftButton);
  QCOMPARE(LogLines(*w).last(), QString("Error: the PIN was not changed"));
  QVERIFY(w->eOldPin->text().isEmpty() && w->eNewPin->text().isEmpty());

  w->eOldPin->setText("1234");
  w->eNewPin->setText("8642");
  QTest::mouseClick(w->bChangePin, Qt::LeftButton);
  QCOMPARE(LogLines(*w).last(), QString("PIN changed"));
  QVERIFY(w->eOldPin->text().isEmpty() && w->eNewPin->text().isEmpty());
  QCOMPARE(w->ePin->text(), QString("8642"));
  CheckCodesHidden(*w, {"9999", "5678", "8642"});

  // The SIM asks again after a restart; the new PIN opens it.
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QTRY_VERIFY(!w->qvComm1->Active());
  sim.WithModem([](qvsim::Modem& m) {
    m.PowerCycle();
    return 0;
  });
  w->ListBox1->clear();
  QVERIFY(OpenAndWait(*w));
  QVERIFY(!w->qvGsm1->DeviceIMSI().empty());
  QVERIFY(sim.GetTranscript().ToModem().find("AT+CPIN=8642") != std::string::npos);
}

void TestDesk::unblockWithThePuk() {
  qvsim::SimulatorOptions options;
  options.pin = "1234";
  options.pinState = qvsim::PinState::SimPuk;
  options.puk = "87654321";
  qvsim::Simulator sim("siemens_mc35i", options);
  auto w = Window(On(sim), 2000);
  QTest::mouseClick(w->CheckBox1, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(sim.GetTranscript().ToModem().find("AT+CPIN?") != std::string::npos, kInitMs);
  QTRY_VERIFY_WITH_TIMEOUT(!w->ExchangeBlocked(), kInitMs);
  w->Pages->setCurrentWidget(w->pgOptions);
  w->ePuk->setText("87654321");
  w->eUnblockPin->setText("2468");
  QTest::mouseClick(w->bUnblock, Qt::LeftButton);
  QCOMPARE(LogLines(*w).last(), QString("SIM unblocked"));
  QVERIFY(w->ePuk->text().isEmpty() && w->eUnblockPin->text().isEmpty());
  QCOMPARE(sim.WithModem([](qvsim::Modem& m) { return m.GetPinState(); }), qvsim::PinState::Ready);
  QCOMPARE(w->ePin->text(), QString("2468"));
  CheckCodesHidden(*w, {"87654321", "2468"});
}

QTEST_MAIN(TestDesk)
#include "smsdesk_qttest.moc"
