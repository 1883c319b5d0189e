#include "unit1.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <climits>
#include <filesystem>

#include "qvcomm.h"
#include "qvcommbox.h"
#include "qvgsm.h"
#include "qvgsmpdu.h"
#include "qvlogfile.h"
#include "qvqtbridge.h"
#include "qvterminaledit.h"
#include "qvwin32di.h"

namespace {

const QColor kSkyBlue(0xA6, 0xCA, 0xF0);

constexpr char16_t kNoModem[] =
    u"No modem was found. Connect one and pick it in the list, or start the program with --device PATH.";

QString Q(const std::u16string& s) { return QString::fromStdU16String(s); }
std::u16string U(const QString& s) { return s.toStdU16String(); }

template <class W>
W* Named(W* widget, const char* name) {
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

QLabel* Banner(QLabel* label) {
  label->setAutoFillBackground(true);
  QPalette pal = label->palette();
  pal.setColor(QPalette::Window, kSkyBlue);
  pal.setColor(QPalette::WindowText, Qt::black);
  label->setPalette(pal);
  return label;
}

// The yellow of tooltips, as the event log and the SMS memo have it.
template <class W>
W* TooltipYellow(W* widget) {
  QPalette pal = widget->palette();
  pal.setColor(QPalette::Base, QApplication::palette().color(QPalette::ToolTipBase));
  pal.setColor(QPalette::Text, QApplication::palette().color(QPalette::ToolTipText));
  widget->setPalette(pal);
  return widget;
}

// A read-only list of name/value rows with grid lines and whole-row selection.
QTableWidget* NameValueList(const char* name, QWidget* parent) {
  auto* list = Named(new QTableWidget(0, 2, parent), name);
  list->setHorizontalHeaderLabels({QStringLiteral("Name"), QStringLiteral("Value")});
  list->verticalHeader()->hide();
  list->setShowGrid(true);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->horizontalHeader()->setStretchLastSection(true);
  // 100 pixels wide by design; never narrower than the longest name.
  const int nameWidth = list->fontMetrics().horizontalAdvance(QStringLiteral("Manufacturer")) + 16;
  list->setColumnWidth(0, std::max(100, nameWidth));
  return list;
}

void SetRow(QTableWidget* list, int row, const QString& name, const QString& value) {
  list->setItem(row, 0, new QTableWidgetItem(name));
  list->setItem(row, 1, new QTableWidgetItem(value));
}

// The path a device node or link stands for, for comparing two of them.
std::filesystem::path Resolved(const std::u16string& path) {
  std::error_code ec;
  const std::filesystem::path p(qv::StringToUtf8(path));
  auto r = std::filesystem::weakly_canonical(p, ec);
  return ec ? p : r;
}

// The GSM component's LastError text once the component has that property;
// read through this guard so the window builds with and without it.
template <class G>
std::u16string LastErrorOf(const G& gsm) {
  if constexpr (requires { gsm.LastError(); })
    return std::u16string(gsm.LastError());
  else
    return {};
}

QString Num(int64_t n) { return QString::number(n); }

// A date-time of the library in the system's short date and long time
// formats; the time is left out at exactly midnight.
QString SystemDateTime(double dateTime) {
  const qv::TqvDateParts p = qv::PduDateParts(dateTime);
  const QLocale locale = QLocale::system();
  QString text = locale.toString(QDate(p.Year, p.Month, p.Day), QLocale::ShortFormat);
  const QTime time(p.Hour, p.Minute, p.Second);
  if (time != QTime(0, 0)) text += QLatin1Char(' ') + locale.toString(time, QLocale::LongFormat);
  return text;
}

QString CallStateName(TCallState s) {
  switch (s) {
    case TCallState::csActive: return QStringLiteral("active");
    case TCallState::csHeld: return QStringLiteral("held");
    case TCallState::csDialing: return QStringLiteral("dialing");
    case TCallState::csAlerting: return QStringLiteral("alerting");
    case TCallState::csIncoming: return QStringLiteral("incoming");
    case TCallState::csWaiting: return QStringLiteral("waiting");
  }
  return QStringLiteral("unknown");
}

// A box for a SIM code: the digits never show.
QLineEdit* CodeBox(const char* name, QWidget* parent) {
  auto* box = Named(new QLineEdit(parent), name);
  box->setEchoMode(QLineEdit::Password);
  box->setMaxLength(8);
  return box;
}

int DiagnosticLines(const TqvGsm& gsm) {
  const TqvCustomATDriver* driver = gsm.Driver();
  int lines = 0;
  while (driver && driver->IndexOfCommand(qv::gsm::gsmDiagnostics, lines + 1) >= 0) ++lines;
  return lines;
}

}  // namespace

// ---------------------------------------------------------------------------
// Free helpers

TDeskOptions ParseDeskArguments(const QStringList& args) {
  TDeskOptions o;
  qsizetype i = 0;
  if (!args.isEmpty() && args.front() == QStringLiteral("d")) {
    o.Terminal = true;
    i = 1;
  }
  const QString deviceEq = QStringLiteral("--device=");
  for (; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == QStringLiteral("--device") && i + 1 < args.size())
      o.DevicePath = U(args[++i]);
    else if (a.startsWith(deviceEq) && a.size() > deviceEq.size())
      o.DevicePath = U(a.mid(deviceEq.size()));
    else
      o.Ignored << a;
  }
  return o;
}

std::u16string KeysFromClipboard(std::u16string text) {
  auto replaceFirst = [&text](std::u16string_view notation, char16_t key) {
    if (const size_t at = text.find(notation); at != std::u16string::npos) text.replace(at, notation.size(), 1, key);
  };
  replaceFirst(u"\\1Ah", u'\x1A');
  replaceFirst(u"\\0Dh", u'\r');
  return text;
}

QStringList SmsReceivedLines(const std::u16string& aMem, int32_t idSms, const TqvPduSms* aSms) {
  QStringList lines;
  lines << (aMem.empty() ? QStringLiteral("Sms is received ")
                         : QStringLiteral("Sms is received \"") + Q(aMem) + QStringLiteral("\",") + Num(idSms));
  if (!aSms) return lines;
  if (aSms->Report()) {
    lines << Q(aSms->ReportText()) + QLatin1Char(' ') + SystemDateTime(aSms->ReportDateTime());
    return lines;
  }
  lines << QStringLiteral("SMS: From: ") + Q(aSms->Phone()) + QStringLiteral(" text: ") + Q(aSms->Text());
  // Each code unit's low byte: characters above U+00FF show only that.
  QString hex = QStringLiteral("SMS text HEX: ");
  for (const char16_t unit : aSms->Text())
    hex += QStringLiteral(" %1").arg(unsigned(unit & 0xFF), 2, 16, QLatin1Char('0')).toUpper();
  lines << hex;
  return lines;
}

std::u16string DiagnosticMessage(const TDiagnosticEnd& end) {
  const std::u16string counted =
      qv::IntToStr(end.Succeeded) + u" of " + qv::IntToStr(end.Lines) + u" commands succeeded";
  std::u16string how;
  if (end.PortClosed)
    how = u"The diagnostic was cut short: the port was closed (" + counted + u").";
  else if (end.Lines > 0 && end.Succeeded == end.Lines)
    how = u"The diagnostic is complete: " + counted + u".";
  else
    how = u"The diagnostic has ended: " + counted + u".";
  if (!end.LastError.empty()) how += u"\rLast error: " + end.LastError;
  return u"Log  file with diagnostic onformation has been saved as \r" + end.LogPath +
         u" file.\rPlease send this log to Vantorel tech support service.\r\r" + how;
}

// ---------------------------------------------------------------------------
// A call of the window into the library: it stays live while the library
// waits, and the exchange controls are disabled meanwhile.
class TForm1::TCall {
 public:
  explicit TCall(TForm1& w) : w_(w) {
    ++w_.fCalls;
    w_.UpdateExchangeControls();
  }
  ~TCall() {
    --w_.fCalls;
    w_.UpdateExchangeControls();
  }
  TCall(const TCall&) = delete;
  TCall& operator=(const TCall&) = delete;

 private:
  TForm1& w_;
  TqvLiveWait live_;
};

// ---------------------------------------------------------------------------
// Creation and destruction

TForm1::TForm1(const QStringList& args, QWidget* parent) : QWidget(parent), fOptions(ParseDeskArguments(args)) {
  setWindowTitle(QApplication::applicationName().isEmpty() ? QStringLiteral("smsdesk")
                                                           : QApplication::applicationName());
  CreateControls();
  CreateComponents();
  qvDeviceBox1->SetqvComm(qvComm1.get());  // enumerates the serial devices once
  ChooseStartPort(fOptions.DevicePath);
  ShowPortPlaceholder();
  ConnectHandlers();
  fDeviceWatcher =
      std::make_unique<qv::TqvDeviceChangeWatcher>([this](const TqvDeviceChangeMsg& msg) { WMDeviceChange(msg); });
  if (auto ec = fDeviceWatcher->Start())
    qvLogFile1->AddLog(TDetailLevel::dlDetail, u"Device changes are not watched: " + qv::Utf8ToString(ec.message()));
  move(230, 197);
  resize(583, 398);
  FormCreate();
}

// Nothing of the window may run once its parts go: the device watcher stops,
// the port closes (events raised meanwhile find fDestroying set), then the
// components go, the port first, while every widget still exists.
TForm1::~TForm1() {
  fDestroying = true;
  fDeviceWatcher.reset();
  qvComm1->NotifyDelete(TqvNotifyEvent::Bind(this, &TForm1::CommNotify));
  try {
    qvComm1->SetActive(false);
  } catch (const std::exception&) {
    // closing while going away: nobody is left to tell
  }
  qvComm1.reset();
  qvGsm1.reset();
  qvLogFile1.reset();
}

void TForm1::CreateComponents() {
  qvLogFile1 = std::make_unique<TqvLogFile>();
  qvLogFile1->SetSizeLimit(204800);
  qvLogFile1->SetFileName(u"qvcommlib.log");
  qvLogFile1->SetDetailLevel(TDetailLevel::dlDebug);
  qvLogFile1->SetOptions({TLogOption::loSafeMode, TLogOption::loAutoFileName, TLogOption::loSharedLogFile,
                          TLogOption::loDate, TLogOption::loTime, TLogOption::loDebugOut});
  qvLogFile1->SetAnsiOnly(true);

  qvGsm1 = std::make_unique<TqvGsm>();
  qvGsm1->SetActive(true);
  qvGsm1->SetAutodetect(true);
  qvGsm1->SetIgnoreInitErrors(true);
  qvGsm1->SetTimeOut(10000);
  qvGsm1->SetLog(qvLogFile1.get());
  qvGsm1->SetNewSmsMode(TgsmNewSmsMode::nsmSkipSave);
  // No preset PIN: a value nobody typed must never use up an attempt of a SIM.
  qvGsm1->SetPIN(u"");
  qvGsm1->OnAfterInit = TNotifyEvent::Bind(this, &TForm1::qvGsm1AfterInit);
  qvGsm1->OnDiagnostic = TqvDiagnosticEvent::Bind(this, &TForm1::qvGsm1Diagnostic);
  qvGsm1->OnGsmChangeState = [this](TObject*) { PostRefresh(); };
  qvGsm1->OnSmsReceived = TqvSmsNotifyEvent::Bind(this, &TForm1::qvGsm1SmsReceived);
  qvGsm1->OnSmsSent = TqvSmsNotifyEvent::Bind(this, &TForm1::qvGsm1SmsSent);
  qvGsm1->OnSmsListItem = TqvSmsNotifyEvent::Bind(this, &TForm1::qvGsm1SmsListItem);
  qvGsm1->OnRing = TqvGsmNotifyEvent::Bind(this, &TForm1::qvGsm1Ring);
  qvGsm1->OnGsmError = TqvGsmNotifyEvent::Bind(this, &TForm1::qvGsm1GsmError);
  qvGsm1->OnUnsolicited = TqvGsmNotifyEvent::Bind(this, &TForm1::qvGsm1Unsolicited);
  qvGsm1->OnUssd = TqvGsmNotifyEvent::Bind(this, &TForm1::qvGsm1Ussd);
  qvGsm1->OnPhoneListProgress = TqvGsmProgressEvent::Bind(this, &TForm1::qvGsm1PhoneListProgress);
  qvGsm1->OnPhoneListFinish = TNotifyEvent::Bind(this, &TForm1::qvGsm1PhoneListFinish);
  qvGsm1->OnNetworkChange = TqvNetworkEvent::Bind(this, &TForm1::qvGsm1NetworkChange);
  qvGsm1->OnSmsMemoryFull = [this](TObject*) {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (!fDestroying) AppendEventLog(QStringLiteral("The message store is full"));
        },
        Qt::QueuedConnection);
  };

  qvComm1 = std::make_unique<TqvComm>();
  qvComm1->BeginLoading();
  qvComm1->SetActive(false);
  qvComm1->SetBaudRate(115200);
  qvComm1->SetParity(TParity::pNone);
  qvComm1->SetStopBits(TStopBits::sbOne);
  qvComm1->SetByteSize(8);
  // The port number comes with the start-up port (ChooseStartPort).
  qvComm1->SetTraceStates({TTraceState::tsRxChar, TTraceState::tsTxEmpty});
  qvComm1->SetEventChar(0);
  qvComm1->SetStreamProtocol(TStreamProtocol::spHardware);
  qvComm1->SetDataProcessor(qvGsm1.get());
  qvComm1->SetBufferInSize(4096);
  qvComm1->SetBufferOutSize(4096);
  qvComm1->SetTimeoutRead(0);
  qvComm1->SetTimeoutWrite(100);
  qvComm1->SetRS485Mode(false);
  qvComm1->SetEnumPorts(TqvEnumPorts::epFullPresent);
  qvComm1->SetProbeAT(true);
  qvComm1->SetUseMainThread(true);
  qvComm1->SetKeepConnection(false);
  qvComm1->SetTerminal(Memo3->Terminal());
  qvComm1->SetTerminalUsage(TTerminalUsage::tuBoth);
  qvComm1->SetTerminalEcho(false);
  qvComm1->Loaded();
}

// The port given on the command line, else the first interface that answers
// AT, else the first USB serial or ACM port discovered, else none.
void TForm1::ChooseStartPort(const std::u16string& devicePath) {
  if (!devicePath.empty()) {
    qvComm1->SetDevicePath(devicePath);
    // The picker shows the listed device the path stands for, if any.
    const auto wanted = Resolved(devicePath);
    uint16_t listed = 0;
    for (int i = 0; i < qvComm1->DeviceCount() && listed == 0; ++i) {
      const TqvDevice* d = qvComm1->GetDevice(i);
      if (!d->NamePDO.empty() && Resolved(d->NamePDO) == wanted) listed = uint16_t(d->Data & 0xFFFF);
    }
    qvComm1->SetComPortNo(listed);
    return;
  }
  const TqvDevice* modem = FirstModemDevice(*qvComm1);
  qvComm1->SetComPortNo(modem ? uint16_t(modem->Data & 0xFFFF) : 0);
}

// What the picker shows while no listed device is selected.
void TForm1::ShowPortPlaceholder() {
  const std::u16string& path = qvComm1->DevicePath();
  qvDeviceBox1->setPlaceholderText(path.empty() ? QStringLiteral("(no modem found)") : Q(path));
}

bool TForm1::HasPort() { return !qvComm1->DevicePath().empty() || qvComm1->DeviceIndex() >= 0; }

void TForm1::CreateControls() {
  CheckBox1 = Named(new QCheckBox(QStringLiteral("Open"), this), "CheckBox1");
  qvDeviceBox1 = Named(new TqvDeviceBox(this), "qvDeviceBox1");
  qvDeviceBox1->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  qvDeviceBox1->setMinimumContentsLength(24);
  qvDeviceBox1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  Button1 = Named(new QPushButton(QStringLiteral(".."), this), "Button1");
  Button1->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  Button1->setMaximumWidth(Button1->fontMetrics().horizontalAdvance(QStringLiteral("..")) + 24);
  Button3 = Named(new QPushButton(QStringLiteral("Diagnostic"), this), "Button3");
  Label11 = Named(new QLabel(QStringLiteral("PIN"), this), "Label11");
  ePin = Named(new QLineEdit(this), "ePin");
  ePin->setMaximumWidth(ePin->fontMetrics().horizontalAdvance(QStringLiteral("00000000")) + 12);

  // The strip keeps its designed order: "Open" above the picker, then "..",
  // "Diagnostic", and the PIN with its caption above it.
  auto* strip = new QGridLayout;
  strip->addWidget(CheckBox1, 0, 0, Qt::AlignLeft);
  strip->addWidget(Label11, 0, 3, Qt::AlignLeft | Qt::AlignBottom);
  strip->addWidget(qvDeviceBox1, 1, 0);
  strip->addWidget(Button1, 1, 1);
  strip->addWidget(Button3, 1, 2);
  strip->addWidget(ePin, 1, 3);
  strip->setColumnStretch(0, 1);
  strip->setSpacing(6);
  strip->setContentsMargins(0, 0, 0, 6);

  Pages = Named(new QTabWidget(this), "Pages");
  // Every caption stays readable: the window is at least as wide as the tabs.
  Pages->tabBar()->setUsesScrollButtons(false);
  Pages->tabBar()->setElideMode(Qt::ElideNone);
  Pages->addTab(TabSheet3 = CreateDeviceInfoPage(), QStringLiteral("Device Info"));
  Pages->addTab(TabSheet1 = CreateSendSmsPage(), QStringLiteral("Send SMS"));
  Pages->addTab(TabSheet2 = CreateStoragePage(), QStringLiteral("SMS Storage"));
  Pages->addTab(pgTerminal = CreateTerminalPage(), QStringLiteral("Terminal"));
  Pages->addTab(pgBook = CreatePhoneBookPage(), QStringLiteral("Phone Book"));
  Pages->addTab(pgCalls = CreateCallsPage(), QStringLiteral("Calls"));
  Pages->addTab(pgOptions = CreateOptionsPage(), QStringLiteral("Options"));
  Pages->addTab(pgDriver = CreateDriverPage(), QStringLiteral("Driver"));
  Pages->addTab(TabSheet4 = CreateUssdPage(), QStringLiteral("USSD"));

  Label1 = Named(Banner(new QLabel(QStringLiteral("Event Log:"), this)), "Label1");
  Label1->setAlignment(Qt::AlignCenter);
  ListBox1 = Named(TooltipYellow(new QListWidget(this)), "ListBox1");
  // Five lines high, as designed.
  ListBox1->setFixedHeight(5 * (ListBox1->fontMetrics().lineSpacing() + 2) + 2 * ListBox1->frameWidth());

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(strip);
  layout->addWidget(Pages, 1);
  layout->addSpacing(2);
  layout->addWidget(Label1);
  layout->addWidget(ListBox1);
  layout->setSpacing(0);

  setTabOrder(CheckBox1, Button1);
  setTabOrder(Button1, ListBox1);
  setTabOrder(ListBox1, Pages);
  setTabOrder(Pages, Button3);
  setTabOrder(Button3, ePin);
  setTabOrder(ePin, qvDeviceBox1);
}

QWidget* TForm1::CreateDeviceInfoPage() {
  auto* page = Named(new QWidget, "TabSheet3");
  lvInfo = NameValueList("lvInfo", page);
  const char* names[] = {"Manufacturer", "Model", "Version", "IMEI", "Used driver"};
  lvInfo->setRowCount(5);
  for (int row = 0; row < 5; ++row) SetRow(lvInfo, row, QString::fromLatin1(names[row]), QString());
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(lvInfo);
  return page;
}

QWidget* TForm1::CreateSendSmsPage() {
  auto* page = Named(new QWidget, "TabSheet1");
  Label3 = Named(new QLabel(QStringLiteral("Phone:"), page), "Label3");
  Edit1 = Named(new QLineEdit(QStringLiteral("+491701234567"), page), "Edit1");
  Button2 = Named(new QPushButton(QStringLiteral("Send"), page), "Button2");
  chConfirm = Named(new QCheckBox(QStringLiteral("Confirm"), page), "chConfirm");
  chAlert = Named(new QCheckBox(QStringLiteral("Alert"), page), "chAlert");
  Button8 = Named(new QPushButton(QStringLiteral("Send And Wait Ref#"), page), "Button8");
  cbEncoding = Named(new QComboBox(page), "cbEncoding");
  cbEncoding->addItems({QStringLiteral("Auto detect"), QStringLiteral("7bit encode"), QStringLiteral("8bit encode"),
                        QStringLiteral("16bit encode")});
  cbEncoding->setCurrentIndex(0);
  eServiceCentre = Named(new QLineEdit(page), "eServiceCentre");
  eServiceCentre->setPlaceholderText(QStringLiteral("Service centre"));
  bReadCentre = Named(new QPushButton(QStringLiteral("Read"), page), "bReadCentre");
  bSetCentre = Named(new QPushButton(QStringLiteral("Set"), page), "bSetCentre");
  Label7 = Named(Banner(new QLabel(QStringLiteral("Type SMS mesage here"), page)), "Label7");
  Memo1 = Named(new QPlainTextEdit(page), "Memo1");
  Memo1->setPlainText(QStringLiteral(
      "Hello from smsdesk.\nThis is a test message.\nIt was sent from a desktop computer\nthrough a GSM modem.\n"
      "Please do not reply."));

  auto* row1 = new QHBoxLayout;
  row1->addWidget(Label3);
  row1->addWidget(Edit1, 1);
  row1->addWidget(Button2);
  row1->addWidget(chConfirm);
  row1->addWidget(chAlert);
  auto* row2 = new QHBoxLayout;
  row2->addStretch(1);
  row2->addWidget(cbEncoding);
  row2->addWidget(Button8);
  auto* row3 = new QHBoxLayout;
  row3->addWidget(new QLabel(QStringLiteral("Service centre:"), page));
  row3->addWidget(eServiceCentre, 1);
  row3->addWidget(bReadCentre);
  row3->addWidget(bSetCentre);
  auto* layout = new QVBoxLayout(page);
  layout->addLayout(row1);
  layout->addLayout(row2);
  layout->addLayout(row3);
  layout->addWidget(Label7);
  layout->addWidget(Memo1, 1);
  layout->setSpacing(4);
  return page;
}

QWidget* TForm1::CreateStoragePage() {
  auto* page = Named(new QWidget, "TabSheet2");
  Label4 = Named(new QLabel(QStringLiteral("Memory:"), page), "Label4");
  eMem = Named(new QComboBox(page), "eMem");
  eMem->setMinimumContentsLength(6);
  Label10 = Named(new QLabel(QStringLiteral("Status"), page), "Label10");
  cbStatus = Named(new QComboBox(page), "cbStatus");
  cbStatus->addItems({QStringLiteral("UnRead"), QStringLiteral("Read"), QStringLiteral("UnSent"),
                      QStringLiteral("Sent"), QStringLiteral("All")});
  cbStatus->setCurrentIndex(4);
  Button6 = Named(new QPushButton(QStringLiteral("Get Sms List"), page), "Button6");
  Label5 = Named(new QLabel(QStringLiteral("SMS ID:"), page), "Label5");
  eNo = Named(new QSpinBox(page), "eNo");
  eNo->setRange(INT_MIN, INT_MAX);
  eNo->setValue(0);
  Button4 = Named(new QPushButton(QStringLiteral("Read"), page), "Button4");
  Button5 = Named(new QPushButton(QStringLiteral("Delete"), page), "Button5");
  bDelRead = Named(new QPushButton(QStringLiteral("Delete read"), page), "bDelRead");
  bDelAllSms = Named(new QPushButton(QStringLiteral("Delete all"), page), "bDelAllSms");
  Label6 = Named(Banner(new QLabel(QStringLiteral("SMS:"), page)), "Label6");
  Memo2 = Named(TooltipYellow(new QPlainTextEdit(QStringLiteral("Memo2"), page)), "Memo2");
  Memo2->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo2->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Memo2->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  auto* row1 = new QHBoxLayout;
  row1->addWidget(Label4);
  row1->addWidget(eMem);
  row1->addWidget(Label10);
  row1->addWidget(cbStatus);
  row1->addWidget(Button6);
  row1->addStretch(1);
  auto* row2 = new QHBoxLayout;
  row2->addWidget(Label5);
  row2->addWidget(eNo);
  row2->addWidget(Button4);
  row2->addWidget(Button5);
  row2->addWidget(bDelRead);
  row2->addWidget(bDelAllSms);
  row2->addStretch(1);
  auto* layout = new QVBoxLayout(page);
  layout->addLayout(row1);
  layout->addLayout(row2);
  layout->addWidget(Label6);
  layout->addWidget(Memo2, 1);
  layout->setSpacing(4);
  return page;
}

QWidget* TForm1::CreateTerminalPage() {
  auto* page = Named(new QWidget, "pgTerminal");
  Memo3 = Named(new TqvTerminalEdit(page), "Memo3");
  Memo3->setPlainText(QStringLiteral("Memo3"));
  auto* layout = new QVBoxLayout(page);
  layout->addWidget(Memo3);
  return page;
}

QWidget* TForm1::CreatePhoneBookPage() {
  auto* page = Named(new QWidget, "pgBook");
  ePhoneBookType = Named(new QComboBox(page), "ePhoneBookType");
  ePhoneBookType->addItems({QStringLiteral("ME (device) memory"), QStringLiteral("SIM memory"),
                            QStringLiteral("Dialed Calls"), QStringLiteral("Received Calls"),
                            QStringLiteral("Missed Calls")});
  ePhoneBookType->setCurrentIndex(0);
  Button7 = Named(new QPushButton(QStringLiteral("Read"), page), "Button7");
  Label8 = Named(new QLabel(QStringLiteral("Ready"), page), "Label8");
  Label8->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  lvPhones = NameValueList("lvPhones", page);

  auto* top = new QHBoxLayout;
  top->addWidget(ePhoneBookType);
  top->addWidget(Button7);
  top->addStretch(1);
  auto* layout = new QVBoxLayout(page);
  layout->addLayout(top);
  layout->addWidget(Label8);
  layout->addWidget(lvPhones, 1);
  return page;
}

QWidget* TForm1::CreateCallsPage() {
  auto* page = Named(new QWidget, "pgCalls");
  eCallNumber = Named(new QLineEdit(page), "eCallNumber");
  eCallNumber->setPlaceholderText(QStringLiteral("Phone number"));
  bDial = Named(new QPushButton(QStringLiteral("Dial"), page), "bDial");
  bAnswer = Named(new QPushButton(QStringLiteral("Answer"), page), "bAnswer");
  bHangup = Named(new QPushButton(QStringLiteral("Hang up"), page), "bHangup");
  lvCalls = Named(new QTableWidget(0, 3, page), "lvCalls");
  lvCalls->setHorizontalHeaderLabels({QStringLiteral("Direction"), QStringLiteral("State"), QStringLiteral("Number")});
  lvCalls->verticalHeader()->hide();
  lvCalls->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvCalls->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvCalls->horizontalHeader()->setStretchLastSection(true);
  bCallRefresh = Named(new QPushButton(QStringLiteral("Refresh"), page), "bCallRefresh");
  eTones = Named(new QLineEdit(page), "eTones");
  eTones->setPlaceholderText(QStringLiteral("0-9 * # A-D"));
  bSendTones = Named(new QPushButton(QStringLiteral("Send tones"), page), "bSendTones");

  auto* grid = new QGridLayout(page);
  grid->addWidget(new QLabel(QStringLiteral("Phone:"), page), 0, 0);
  grid->addWidget(eCallNumber, 0, 1);
  grid->addWidget(bDial, 0, 2);
  grid->addWidget(bAnswer, 0, 3);
  grid->addWidget(bHangup, 0, 4);
  grid->addWidget(new QLabel(QStringLiteral("Tones:"), page), 1, 0);
  grid->addWidget(eTones, 1, 1);
  grid->addWidget(bSendTones, 1, 2);
  grid->addWidget(bCallRefresh, 1, 4);
  grid->addWidget(lvCalls, 2, 0, 1, 5);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(2, 1);
  return page;
}

QWidget* TForm1::CreateOptionsPage() {
  auto* page = Named(new QWidget, "pgOptions");
  Label2 = Named(new QLabel(QStringLiteral("On SMS Receive :"), page), "Label2");
  cbOnNewSms = Named(new QComboBox(page), "cbOnNewSms");
  cbOnNewSms->addItems({QStringLiteral("Notify only"), QStringLiteral("Skip Store and Show"),
                        QStringLiteral("Read and Show")});
  Label12 = Named(new QLabel(QStringLiteral("Direct AT Command:"), page), "Label12");
  eCmd = Named(new QLineEdit(QStringLiteral("ATI<cr>"), page), "eCmd");
  bSendCommand = Named(new QPushButton(QStringLiteral("Send"), page), "bSendCommand");

  gbSim = Named(new QGroupBox(QStringLiteral("SIM"), page), "gbSim");
  ePuk = CodeBox("ePuk", gbSim);
  eUnblockPin = CodeBox("eUnblockPin", gbSim);
  bUnblock = Named(new QPushButton(QStringLiteral("Unblock"), gbSim), "bUnblock");
  eOldPin = CodeBox("eOldPin", gbSim);
  eNewPin = CodeBox("eNewPin", gbSim);
  bChangePin = Named(new QPushButton(QStringLiteral("Change PIN"), gbSim), "bChangePin");
  auto* sim = new QGridLayout(gbSim);
  sim->addWidget(new QLabel(QStringLiteral("PUK:"), gbSim), 0, 0);
  sim->addWidget(ePuk, 0, 1);
  sim->addWidget(new QLabel(QStringLiteral("New PIN:"), gbSim), 0, 2);
  sim->addWidget(eUnblockPin, 0, 3);
  sim->addWidget(bUnblock, 0, 4);
  sim->addWidget(new QLabel(QStringLiteral("Old PIN:"), gbSim), 1, 0);
  sim->addWidget(eOldPin, 1, 1);
  sim->addWidget(new QLabel(QStringLiteral("New PIN:"), gbSim), 1, 2);
  sim->addWidget(eNewPin, 1, 3);
  sim->addWidget(bChangePin, 1, 4);

  auto* grid = new QGridLayout(page);
  grid->addWidget(Label2, 0, 0);
  grid->addWidget(cbOnNewSms, 0, 1, Qt::AlignLeft);
  grid->addWidget(Label12, 1, 0);
  grid->addWidget(eCmd, 1, 1);
  grid->addWidget(bSendCommand, 1, 2);
  grid->addWidget(gbSim, 2, 0, 1, 3);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(3, 1);
  return page;
}

QWidget* TForm1::CreateDriverPage() {
  auto* page = Named(new QWidget, "pgDriver");
  chAutodetect = Named(new QCheckBox(QStringLiteral("Autodetect GSM driver"), page), "chAutodetect");
  chAutodetect->setLayoutDirection(Qt::RightToLeft);  // the caption left of the box
  Label9 = Named(new QLabel(QStringLiteral("GSM driver:"), page), "Label9");
  eDrivers = Named(new QComboBox(page), "eDrivers");
  eDrivers->setMinimumContentsLength(20);
  bLoadDriver = Named(new QPushButton(QStringLiteral("Load"), page), "bLoadDriver");
  bDelAll = Named(new QPushButton(QStringLiteral("Delete All"), page), "bDelAll");

  chAutodetect->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
  auto* grid = new QGridLayout(page);
  grid->addWidget(chAutodetect, 0, 0, 1, 2, Qt::AlignLeft | Qt::AlignAbsolute);
  grid->addWidget(Label9, 1, 0);
  grid->addWidget(eDrivers, 1, 1);
  grid->addWidget(bLoadDriver, 1, 2);
  grid->addWidget(bDelAll, 1, 3);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(2, 1);
  return page;
}

QWidget* TForm1::CreateUssdPage() {
  auto* page = Named(new QWidget, "TabSheet4");
  Label13 = Named(new QLabel(QStringLiteral("USSD request:"), page), "Label13");
  eUssd = Named(new QLineEdit(QStringLiteral("*102#"), page), "eUssd");
  Button9 = Named(new QPushButton(QStringLiteral("Send"), page), "Button9");
  auto* grid = new QGridLayout(page);
  grid->addWidget(Label13, 0, 0);
  grid->addWidget(eUssd, 0, 1);
  grid->addWidget(Button9, 0, 2);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(1, 1);
  return page;
}

// User actions only: programmatic changes of a box (FormShow, the "Open" box
// following the port) never run a handler.
void TForm1::ConnectHandlers() {
  connect(CheckBox1, &QCheckBox::clicked, this, &TForm1::CheckBox1Click);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
  if (Memo3) connect(Memo3, &TqvTerminalEdit::DoubleClicked, this, &TForm1::Memo3DblClick);
  connect(chAutodetect, &QCheckBox::toggled, this, &TForm1::chAutodetectClick);
  connect(bLoadDriver, &QPushButton::clicked, this, &TForm1::bLoadDriverClick);
  connect(bDelAll, &QPushButton::clicked, this, &TForm1::bDelAllClick);
  connect(cbOnNewSms, &QComboBox::activated, this, &TForm1::cbOnNewSmsChange);
  connect(bSendCommand, &QPushButton::clicked, this, &TForm1::bSendCommandClick);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);
  connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
  connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
  connect(Button9, &QPushButton::clicked, this, &TForm1::Button9Click);
  connect(bDelRead, &QPushButton::clicked, this, &TForm1::bDelReadClick);
  connect(bDelAllSms, &QPushButton::clicked, this, &TForm1::bDelAllSmsClick);
  connect(bReadCentre, &QPushButton::clicked, this, &TForm1::bReadCentreClick);
  connect(bSetCentre, &QPushButton::clicked, this, &TForm1::bSetCentreClick);
  connect(bDial, &QPushButton::clicked, this, &TForm1::bDialClick);
  connect(bAnswer, &QPushButton::clicked, this, &TForm1::bAnswerClick);
  connect(bHangup, &QPushButton::clicked, this, &TForm1::bHangupClick);
  connect(bCallRefresh, &QPushButton::clicked, this, &TForm1::bCallRefreshClick);
  connect(bSendTones, &QPushButton::clicked, this, &TForm1::bSendTonesClick);
  connect(bUnblock, &QPushButton::clicked, this, &TForm1::bUnblockClick);
  connect(bChangePin, &QPushButton::clicked, this, &TForm1::bChangePinClick);
  qvComm1->NotifyAdd(TqvNotifyEvent::Bind(this, &TForm1::CommNotify));
  if (auto* bridge = TqvQtBridge::Instance()) {
    connect(bridge, &TqvQtBridge::LiveWaitsEnded, this, [this] {
      if (fCloseRequested) QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    });
  }
  ChooseDriverFile = [this] {
    return QFileDialog::getOpenFileName(this, QString(), QString(), QStringLiteral("*.inf (*.inf);;*.* (*)"));
  };
}

// ---------------------------------------------------------------------------
// Handlers of the window

void TForm1::FormCreate() {
  lvInfo->setRowCount(6);
  SetRow(lvInfo, 5, QString(), QString());
  if (fOptions.Terminal) return;
  qvComm1->SetTerminal(nullptr);
  delete pgTerminal;  // leaves the tab control, with Memo3
  pgTerminal = nullptr;
  Memo3 = nullptr;
}

void TForm1::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (fShown) return;
  fShown = true;
  FormShow();
}

void TForm1::FormShow() {
  FillDriverList();
  chAutodetect->setChecked(qvGsm1->Autodetect());
  chAutodetectClick();
  Pages->setCurrentIndex(0);
  for (int row = 0; row < lvInfo->rowCount(); ++row)
    lvInfo->setItem(row, 1, new QTableWidgetItem(QStringLiteral("...")));
  cbOnNewSms->setCurrentIndex(int(qvGsm1->NewSmsMode()));
  ePin->setText(Q(qvGsm1->PIN()));
}

void TForm1::closeEvent(QCloseEvent* e) {
  // A handler below is still inside the library: the window goes once it has returned.
  if (TqvQtBridge::LiveWaitDepth() > 0) {
    fCloseRequested = true;
    e->ignore();
    return;
  }
  QWidget::closeEvent(e);
}

void TForm1::CheckBox1Click() {
  const bool open = CheckBox1->isChecked();
  // Unticking is always allowed: it is the way out of a call that waits. An
  // opening inside another call would find the component busy.
  if (open && fCalls > 0) {
    SyncOpenBox();
    return;
  }
  Guarded([&] {
    TCall call(*this);
    qvGsm1->SetNewSmsMode(TgsmNewSmsMode(cbOnNewSms->currentIndex()));
    qvGsm1->SetAutodetect(chAutodetect->isChecked());
    qvGsm1->SetPIN(U(ePin->text()));
    if (!qvGsm1->Autodetect()) qvGsm1->SetDriverIndex(eDrivers->currentIndex());
    if (open && !HasPort()) throw EqvError(qv::StringToUtf8(kNoModem));
    qvComm1->SetActive(open);
  });
  SyncOpenBox();
}

void TForm1::Button1Click() {
  Guarded([&] { qvComm1->ConfigDialog(); });
}

void TForm1::Button3Click() {
  Guarded([&] {
    fDiagnostic = {true, 0, DiagnosticLines(*qvGsm1)};
    TCall call(*this);
    qvGsm1->RunDiagnostic();
  });
}

// Every line of the diagnostic that succeeded, then the end (no command).
void TForm1::qvGsm1Diagnostic(TObject* /*Sender*/, const std::u16string& aAT, const std::u16string& /*aReply*/,
                              bool& /*flBreak*/) {
  if (fDestroying || !fDiagnostic.Running) return;
  if (!aAT.empty()) {
    ++fDiagnostic.Succeeded;
    return;
  }
  fDiagnostic.Running = false;
  const TDiagnosticEnd end{qvLogFile1->LogFilePath(), fDiagnostic.Succeeded, fDiagnostic.Lines,
                           !qvComm1->Active(), LastErrorOf(*qvGsm1)};
  // Shown from the event loop: a modal box must not hold up the component's delivery.
  QMetaObject::invokeMethod(
      this, [text = DiagnosticMessage(end)] { qv::ShowMessageBox(text, u"", qv::TMsgBoxIcon::mbInformation); },
      Qt::QueuedConnection);
}

void TForm1::qvGsm1AfterInit(TObject* /*Sender*/) {
  // An initialisation cut short by closing the port still ends as finished:
  // a closed port is no connected device.
  if (fDestroying || !qvComm1->Active()) return;
  AppendEventLog(QStringLiteral("========= GSM device connected ==========="));
  lvInfo->setRowCount(0);
  AddInfoRow(u"Manufacturer", qvGsm1->DeviceManufacturer());
  AddInfoRow(u"Device", qvGsm1->DeviceName());
  AddInfoRow(u"Version", qvGsm1->DeviceVersion());
  AddInfoRow(u"IMEI", qvGsm1->DeviceIMEI());
  if (qvGsm1->DriverIndex() >= 0) AddInfoRow(u"Driver", qvGsm1->Driver()->Caption());
  eMem->clear();
  for (const auto& mem : qvGsm1->MemTypesRead()) eMem->addItem(Q(mem));
  eMem->setCurrentIndex(eMem->count() - 1);
  if (ListBox1->count() > 0)
    ListBox1->scrollToItem(ListBox1->item(ListBox1->count() - 1), QAbstractItemView::PositionAtTop);
  UpdateExchangeControls();
  // From the event loop: the component's own event must not wait for the reading.
  QMetaObject::invokeMethod(this, [this] { ReadNetwork(); }, Qt::QueuedConnection);
}

void TForm1::qvGsm1NetworkChange(TObject* /*Sender*/, const TNetworkInfo& aInfo) {
  QMetaObject::invokeMethod(
      this,
      [this, aInfo] {
        if (fDestroying) return;
        ShowNetwork(aInfo);
        AppendEventLog(QStringLiteral("Network: ") + Q(DescribeNetwork(aInfo)));
      },
      Qt::QueuedConnection);
}

// A modem that cannot tell its registration leaves the row out: nothing to
// show, and no error box for a reading nobody asked for. A modem without the
// store indicator tells a full store only when a line fails with it.
void TForm1::ReadNetwork() {
  if (fDestroying || !qvComm1->Active() || fCalls > 0) return;
  bool read;
  {
    TCall call(*this);
    read = qvGsm1->UpdateNetworkInfo();
    qvGsm1->EnableStoreIndicator();
  }
  if (read && !fDestroying) ShowNetwork(qvGsm1->NetworkInfo());
}

void TForm1::ShowNetwork(const TNetworkInfo& info) {
  const QString text = Q(DescribeNetwork(info));
  for (int row = 0; row < lvInfo->rowCount(); ++row)
    if (lvInfo->item(row, 0) && lvInfo->item(row, 0)->text() == QLatin1String("Network")) {
      lvInfo->setItem(row, 1, new QTableWidgetItem(text));
      return;
    }
  AddInfoRow(u"Network", U(text));
}

void TForm1::Memo3DblClick() {
  if (!Memo3) return;
  Memo3->PostKeys(KeysFromClipboard(U(QGuiApplication::clipboard()->text())));
}

void TForm1::chAutodetectClick() {
  eDrivers->setEnabled(!chAutodetect->isChecked());
  UpdateExchangeControls();
}

void TForm1::bLoadDriverClick() {
  Guarded([&] {
    const QString path = ChooseDriverFile ? ChooseDriverFile() : QString();
    if (!path.isEmpty() && !qvGsm1->AddDriverFromFile(u"", path.toStdString()))
      throw EqvError("No driver was loaded: \"" + path.toStdString() + "\" is not a driver script.");
    FillDriverList();
  });
}

void TForm1::bDelAllClick() {
  Guarded([&] {
    qvGsm1->DriversClearAll();
    FillDriverList();
  });
}

void TForm1::cbOnNewSmsChange() {
  Guarded([&] {
    TCall call(*this);
    qvGsm1->SetNewSmsMode(TgsmNewSmsMode(cbOnNewSms->currentIndex()));
  });
}

void TForm1::bSendCommandClick() {
  std::u16string reply;
  bool done = false;
  Guarded([&] {
    TCall call(*this);
    reply = qvGsm1->CmdSendAndWaitResult(qv::StringToAnsi(U(eCmd->text())));
    done = true;
  });
  if (done) qv::ShowMessageBox(u"Reply:" + reply, u"", qv::TMsgBoxIcon::mbInformation);
}

void TForm1::WMDeviceChange(const TqvDeviceChangeMsg& Msg) {
  Guarded([&] { qvComm1->WMDeviceChange(Msg); });
}

// ---------------------------------------------------------------------------
// Handlers of the messaging, phone book and USSD pages

void TForm1::Button2Click() {
  Guarded([&] {
    TCall call(*this);
    if (chAlert->isChecked() || cbEncoding->currentIndex() > 0)
      SendPdu();
    else
      qvGsm1->SmsSend(U(Edit1->text()), U(Memo1->toPlainText()), chConfirm->isChecked());
  });
}

void TForm1::SendPdu() {
  TqvPduSms sms(false);
  sms.SetCoding(TqvPduCoding(cbEncoding->currentIndex()));
  // Set before the text: a long text goes whole, in parts, instead of being refused.
  sms.SetAutoCutText(true);
  sms.SetText(U(Memo1->toPlainText()));
  sms.SetPhone(U(Edit1->text()));
  sms.SetConfirm(chConfirm->isChecked());
  sms.SetAlert(chAlert->isChecked());
  qvGsm1->SmsSend(sms);
}

void TForm1::Button8Click() {
  std::u16string ref;
  bool done = false;
  Guarded([&] {
    TCall call(*this);  // the send controls stay disabled until the reference is known
    ref = qvGsm1->SmsSendWaitRefID(U(Edit1->text()), U(Memo1->toPlainText()), chConfirm->isChecked());
    done = true;
  });
  if (!done) return;
  AppendEventLog(QStringLiteral("WaitRefID: ") + Q(ref));
  qv::ShowMessageBox(u"SMS is sent. Ref#:" + ref, u"", qv::TMsgBoxIcon::mbInformation);
}

void TForm1::Button6Click() {
  // With no memory chosen the modem would be asked to select an empty name.
  if (eMem->currentText().isEmpty()) {
    AppendEventLog(QStringLiteral("Choose a memory first"));
    return;
  }
  Guarded([&] {
    TCall call(*this);
    qvGsm1->SetMemoryRead(U(eMem->currentText()));
    qvGsm1->SmsList(false, TSmsStatus(cbStatus->currentIndex()));
  });
}

void TForm1::Button4Click() {
  Guarded([&] {
    TCall call(*this);
    qvGsm1->SetMemoryRead(U(eMem->currentText()));
    const TqvPduSms& sms = qvGsm1->SmsGet(eNo->value());
    if (sms.IsEmpty()) {
      AppendEventLog(QStringLiteral("Error"));
      return;
    }
    Memo2->setPlainText(Q(sms.Report() ? sms.ReportText() : sms.Text()));
    AppendEventLog(QStringLiteral("OK"));
  });
}

void TForm1::Button5Click() {
  Guarded([&] {
    TCall call(*this);
    qvGsm1->SetMemoryRead(U(eMem->currentText()));
    AppendEventLog(qvGsm1->SmsDelete(eNo->value()) ? QStringLiteral("OK") : QStringLiteral("Error"));
  });
}

void TForm1::Button7Click() {
  Guarded([&] {
    TCall call(*this);
    qvGsm1->SetPhoneListType(TqvPhoneBookType(ePhoneBookType->currentIndex()));
    qvGsm1->PhoneBookRead();
    Label8->setText(QStringLiteral("Reading ... "));
  });
}

void TForm1::Button9Click() {
  Guarded([&] {
    TCall call(*this);
    (void)qvGsm1->SendUSSD(U(eUssd->text()));  // the answer comes as OnUssd
  });
}

void TForm1::bDelReadClick() { DeleteMessages(TSmsDeleteScope::sdRead); }

void TForm1::bDelAllSmsClick() { DeleteMessages(TSmsDeleteScope::sdAll); }

void TForm1::DeleteMessages(TSmsDeleteScope scope) {
  if (eMem->currentText().isEmpty()) {
    AppendEventLog(QStringLiteral("Choose a memory first"));
    return;
  }
  Guarded([&] {
    TCall call(*this);
    qvGsm1->SetMemoryRead(U(eMem->currentText()));
    qvGsm1->UpdateMemoryState();  // the size of the memory, for deleting one by one
    AppendEventLog(qvGsm1->SmsDeleteAll(scope) ? QStringLiteral("OK") : QStringLiteral("Error"));
    // What is left, listed afresh.
    Memo2->clear();
    qvGsm1->SmsList(false, TSmsStatus::ssAll);
  });
}

void TForm1::bReadCentreClick() {
  Guarded([&] {
    TCall call(*this);
    const std::optional<std::u16string> centre = qvGsm1->GetServiceCentre();
    if (!centre) {
      AppendEventLog(QStringLiteral("Error: the service centre could not be read ") + Q(LastErrorOf(*qvGsm1)));
      return;
    }
    eServiceCentre->setText(Q(*centre));
    AppendEventLog(QStringLiteral("Service centre: ") + (centre->empty() ? QStringLiteral("none") : Q(*centre)));
  });
}

void TForm1::bSetCentreClick() {
  Guarded([&] {
    TCall call(*this);
    if (qvGsm1->SetServiceCentre(U(eServiceCentre->text().trimmed())))
      AppendEventLog(QStringLiteral("OK"));
    else
      AppendEventLog(QStringLiteral("Error: ") + Q(LastErrorOf(*qvGsm1)));
  });
}

void TForm1::bDialClick() {
  Guarded([&] {
    TCall call(*this);
    AppendEventLog(qvGsm1->MakeCall(U(eCallNumber->text().trimmed())) ? QStringLiteral("OK")
                                                                       : QStringLiteral("Error"));
  });
  RefreshCalls();
}

void TForm1::bAnswerClick() {
  Guarded([&] {
    TCall call(*this);
    qvGsm1->AnswerCall();
  });
  RefreshCalls();
}

void TForm1::bHangupClick() {
  Guarded([&] {
    TCall call(*this);
    qvGsm1->Hungup();
  });
  RefreshCalls();
}

void TForm1::bCallRefreshClick() { RefreshCalls(); }

void TForm1::RefreshCalls() {
  if (fDestroying || !qvComm1->Active()) return;
  Guarded([&] {
    TCall call(*this);
    const auto calls = qvGsm1->CallList();
    if (!calls) {
      AppendEventLog(QStringLiteral("Error: the calls could not be read"));
      return;
    }
    ShowCalls(*calls);
  });
}

void TForm1::ShowCalls(const std::vector<TCallInfo>& calls) {
  lvCalls->setRowCount(int(calls.size()));
  for (int row = 0; row < lvCalls->rowCount(); ++row) {
    const TCallInfo& c = calls[size_t(row)];
    const QString direction = c.Incoming ? QStringLiteral("incoming") : QStringLiteral("outgoing");
    lvCalls->setItem(row, 0, new QTableWidgetItem(direction));
    lvCalls->setItem(row, 1, new QTableWidgetItem(CallStateName(c.State)));
    lvCalls->setItem(row, 2, new QTableWidgetItem(Q(c.Number)));
  }
}

void TForm1::bSendTonesClick() {
  Guarded([&] {
    TCall call(*this);
    AppendEventLog(qvGsm1->SendTones(U(eTones->text().trimmed())) ? QStringLiteral("OK") : QStringLiteral("Error"));
  });
}

void TForm1::bUnblockClick() {
  ChangeSimCodes(ePuk, eUnblockPin, &TqvGsm::PINUnblock, QStringLiteral("SIM unblocked"),
                 QStringLiteral("Error: the SIM was not unblocked"));
}

void TForm1::bChangePinClick() {
  ChangeSimCodes(eOldPin, eNewPin, &TqvGsm::PINChange, QStringLiteral("PIN changed"),
                 QStringLiteral("Error: the PIN was not changed"));
}

// The codes go only to the library, which masks them in its log; the boxes
// are emptied whatever the outcome.
void TForm1::ChangeSimCodes(QLineEdit* first, QLineEdit* second, TSimCodeChange change, const QString& done,
                            const QString& failed) {
  const std::u16string code = U(first->text()), newPin = U(second->text());
  first->clear();
  second->clear();
  Guarded([&] {
    TCall call(*this);
    if (!((*qvGsm1).*change)(code, newPin)) {
      AppendEventLog(failed);
      return;
    }
    ePin->setText(Q(qvGsm1->PIN()));  // the next opening uses the new PIN
    AppendEventLog(done);
  });
}

void TForm1::qvGsm1SmsReceived(TObject* /*Sender*/, const std::u16string& aMem, int32_t idSms, TqvPduSms* aSms) {
  // Queued calls from one thread keep their order; the window drops what
  // arrives while it goes away.
  QMetaObject::invokeMethod(
      this,
      [this, lines = SmsReceivedLines(aMem, idSms, aSms)] {
        if (fDestroying) return;
        for (const QString& line : lines) AppendEventLog(line);
        ScrollAndSelect();
      },
      Qt::QueuedConnection);
}

void TForm1::qvGsm1SmsSent(TObject* /*Sender*/, const std::u16string& /*aMem*/, int32_t idSms, TqvPduSms* aSms) {
  if (fDestroying) return;
  AppendEventLog(QStringLiteral("sms has been sent: ") + Num(idSms));
  if (aSms) {
    AppendEventLog(QStringLiteral("PDU: ") + Q(aSms->Text()));
    AppendEventLog(QStringLiteral("PDU: pardid=") + Num(aSms->PartId()) + QStringLiteral(" ref=") +
                   Num(aSms->RefId()));
  } else {
    AppendEventLog(QStringLiteral("sms pdu is NULL"));
  }
  ScrollAndSelect();
}

void TForm1::qvGsm1SmsListItem(TObject* /*Sender*/, const std::u16string& aMem, int32_t idSms, TqvPduSms* aSms) {
  if (fDestroying) return;
  if (!aSms) {
    AppendMemo2(QStringLiteral("======= GET SMS LIST DONE!!! ============="));
    return;
  }
  const QString place = Q(aMem) + QLatin1Char(',') + Num(idSms) + QStringLiteral(" ======= ");
  if (aSms->Report()) {
    AppendMemo2(QStringLiteral("REPORT: ") + place);
    AppendMemo2(Q(aSms->ReportText()));
  } else {
    AppendMemo2(QStringLiteral("SMS: ") + place);
    AppendMemo2(Q(aSms->Text()));
  }
}

void TForm1::qvGsm1Ring(TObject* /*Sender*/, const std::u16string& sData) {
  if (fDestroying) return;
  AppendEventLog(QStringLiteral("RING: ") + Q(sData));
  ScrollAndSelect();
  // From the event loop: the component's own event must not wait for the reading.
  QMetaObject::invokeMethod(
      this,
      [this] {
        if (!fDestroying && qvComm1->Active() && !ExchangeBlocked()) RefreshCalls();
      },
      Qt::QueuedConnection);
}

void TForm1::qvGsm1GsmError(TObject* /*Sender*/, const std::u16string& sData) {
  if (fDestroying) return;
  AppendEventLog(QStringLiteral("GSM Error: ") + Q(sData));
  ScrollAndSelect();
}

void TForm1::qvGsm1Unsolicited(TObject* /*Sender*/, const std::u16string& sData) {
  if (fDestroying) return;
  AppendEventLog(QStringLiteral("Unsolicited: ") + Q(sData));
}

void TForm1::qvGsm1Ussd(TObject* /*Sender*/, const std::u16string& sData) {
  if (fDestroying) return;
  AppendEventLog(QStringLiteral("USSD: ") + Q(sData));
}

void TForm1::qvGsm1PhoneListProgress(TObject* /*Sender*/, bool& /*flBreak*/) {
  if (fDestroying) return;
  Label8->setText(QStringLiteral("Read :") + Num(qvGsm1->PhoneList()->Count()));
}

void TForm1::qvGsm1PhoneListFinish(TObject* /*Sender*/) {
  if (fDestroying) return;
  const TqvPhoneBook& book = *qvGsm1->PhoneList();
  lvPhones->setRowCount(book.Count());
  for (int i = 0; i < book.Count(); ++i) {
    const TqvPhoneRecord* rec = book.GetPhoneItem(i);
    SetRow(lvPhones, i, Q(rec->Caption()), Q(rec->Phone()));
  }
  Label8->setText(QStringLiteral("Ready. Total:") + Num(book.Count()));
}

// ---------------------------------------------------------------------------
// Helpers

void TForm1::FillDriverList() {
  eDrivers->clear();
  for (int32_t i = 0; i < qvGsm1->DriverCount(); ++i) eDrivers->addItem(Q(qvGsm1->GetDriver(i)->Caption()));
  eDrivers->setCurrentIndex(-1);
}

void TForm1::AddInfoRow(const std::u16string& name, const std::u16string& value) {
  if (Q(value).trimmed().isEmpty()) return;
  const int row = lvInfo->rowCount();
  lvInfo->setRowCount(row + 1);
  SetRow(lvInfo, row, Q(name), Q(value));
}

void TForm1::AppendEventLog(const QString& line) { ListBox1->addItem(line); }

void TForm1::ScrollAndSelect() {
  QListWidgetItem* last = ListBox1->item(ListBox1->count() - 1);
  if (!last) return;
  ListBox1->scrollToItem(last, QAbstractItemView::PositionAtTop);
  ListBox1->setCurrentItem(last);
}

void TForm1::AppendMemo2(const QString& line) { Memo2->appendPlainText(line); }

bool TForm1::ExchangeBlocked() const { return fCalls > 0 || qvGsm1->IsBusy(); }

void TForm1::UpdateExchangeControls() {
  const bool idle = !ExchangeBlocked();
  for (QWidget* w : std::initializer_list<QWidget*>{Button3, bSendCommand, cbOnNewSms, Button2, Button8, Button6,
                                                    Button4, Button5, Button7, Button9, bDelRead, bDelAllSms,
                                                    bReadCentre, bSetCentre, bDial, bAnswer, bHangup, bCallRefresh,
                                                    bSendTones, bUnblock, bChangePin})
    w->setEnabled(idle);
  const bool driverChoice = !chAutodetect->isChecked();
  bLoadDriver->setEnabled(idle && driverChoice);
  bDelAll->setEnabled(idle && driverChoice);
  // Picking reopens the port: not in the middle of the window's own call.
  qvDeviceBox1->setEnabled(fCalls == 0);
}

// From any thread (the component's state changes on its timer and worker
// threads too): one queued refresh at a time.
void TForm1::PostRefresh() {
  if (fUpdatePosted.exchange(true)) return;
  QMetaObject::invokeMethod(
      this,
      [this] {
        fUpdatePosted = false;
        if (fDestroying) return;
        SyncOpenBox();
        ShowPortPlaceholder();
        UpdateExchangeControls();
      },
      Qt::QueuedConnection);
}

void TForm1::CommNotify(TObject* /*Sender*/, int32_t /*Code*/) { PostRefresh(); }

void TForm1::SyncOpenBox() { CheckBox1->setChecked(qvComm1->Active()); }

void TForm1::Guarded(const std::function<void()>& body) {
  std::u16string message;
  try {
    body();
    return;
  } catch (const std::exception& e) {
    message = qv::Utf8ToString(e.what());
  } catch (...) {
    message = u"Unknown error";
  }
  SyncOpenBox();
  qv::ShowMessageBox(message, u"", qv::TMsgBoxIcon::mbError);
}
