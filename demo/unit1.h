// The desktop program's main window, TForm1. It owns the serial port qvComm1,
// the GSM component qvGsm1 (the port's data processor), the log file
// qvLogFile1 and the device picker qvDeviceBox1, and puts a page of controls
// in front of each feature: Device Info, Send SMS, SMS Storage, Terminal (only
// when the first argument is "d"), Phone Book, Calls, Options, Driver and
// USSD, with the event log below.
//
// Every handler runs on the GUI thread and catches what the library throws
// (Qt carries no exception through its loop): the message is shown and the
// "Open" box shows the port's real state again. Handlers that call the
// library stay live while it waits (TqvLiveWait): meanwhile, and while the GSM
// component is busy, the controls that would start a second exchange are
// disabled; the "Open" box stays enabled as the way out, and closing the
// window waits until the call has returned.
//
// Start-up: `smsdesk [d] [--device PATH]`. The port is PATH when given, else
// the first interface that answers AT (discovery asks the USB ports nobody
// holds), else the first USB serial or ACM port discovered, else none: the
// program never opens a legacy UART by itself.
#pragma once

#include <QStringList>
#include <QWidget>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qvclasses.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTableWidget;

class TqvComm;
class TqvPduSms;
struct TNetworkInfo;
struct TCallInfo;
enum class TSmsDeleteScope : int32_t;
class TqvDeviceBox;
class TqvGsm;
class TqvLogFile;
class TqvTerminalEdit;
namespace qv {
class TqvDeviceChangeWatcher;
}

// What the command line asks for, after Qt has taken its own options.
struct TDeskOptions {
  bool Terminal = false;      // the first argument is exactly "d"
  std::u16string DevicePath;  // --device PATH
  QStringList Ignored;        // what was not understood
};
// `args` without the program's own name.
TDeskOptions ParseDeskArguments(const QStringList& args);

// The keys a double click on the terminal types from the clipboard text: the
// first "\1Ah" becomes Ctrl-Z, then the first "\0Dh" a carriage return (the
// log file's notation for control characters); later ones stay as they are.
std::u16string KeysFromClipboard(std::u16string text);

// How a diagnostic ended, for its closing message.
struct TDiagnosticEnd {
  std::u16string LogPath;  // the log file really written
  int Succeeded = 0;       // diagnostic lines answered without error
  int Lines = 0;           // diagnostic lines of the driver
  bool PortClosed = false; // the port was closed before the end
  std::u16string LastError;
};
std::u16string DiagnosticMessage(const TDiagnosticEnd& end);

// The event log lines of an incoming message, a delivery report, or a
// notification without the message (`aSms` nullptr).
QStringList SmsReceivedLines(const std::u16string& aMem, int32_t idSms, const TqvPduSms* aSms);

class TForm1 : public QWidget {
  Q_OBJECT
 public:
  // `args`: the program's arguments after Qt's own, without the program name.
  explicit TForm1(const QStringList& args, QWidget* parent = nullptr);
  ~TForm1() override;

  // --- components (destroyed in the opposite order)
  std::unique_ptr<TqvLogFile> qvLogFile1;
  std::unique_ptr<TqvGsm> qvGsm1;
  std::unique_ptr<TqvComm> qvComm1;

  // --- control strip
  QCheckBox* CheckBox1;
  TqvDeviceBox* qvDeviceBox1;
  QPushButton* Button1;
  QPushButton* Button3;
  QLabel* Label11;
  QLineEdit* ePin;
  QTabWidget* Pages;
  QLabel* Label1;
  QListWidget* ListBox1;

  // --- pages (pgTerminal and Memo3 are nullptr when the Terminal page was removed)
  QWidget* TabSheet3;
  QTableWidget* lvInfo;
  QWidget* TabSheet1;
  QLabel* Label3;
  QLineEdit* Edit1;
  QPushButton* Button2;
  QCheckBox* chConfirm;
  QCheckBox* chAlert;
  QPushButton* Button8;
  QLineEdit* eServiceCentre;
  QPushButton* bReadCentre;
  QPushButton* bSetCentre;
  QComboBox* cbEncoding;
  QLabel* Label7;
  QPlainTextEdit* Memo1;
  QWidget* TabSheet2;
  QLabel* Label4;
  QComboBox* eMem;
  QLabel* Label10;
  QComboBox* cbStatus;
  QPushButton* Button6;
  QLabel* Label5;
  QSpinBox* eNo;
  QPushButton* Button4;
  QPushButton* Button5;
  QPushButton* bDelRead;
  QPushButton* bDelAllSms;
  QLabel* Label6;
  QPlainTextEdit* Memo2;
  QWidget* pgTerminal;
  TqvTerminalEdit* Memo3;
  QWidget* pgBook;
  QComboBox* ePhoneBookType;
  QPushButton* Button7;
  QLabel* Label8;
  QTableWidget* lvPhones;
  QWidget* pgCalls;
  QLineEdit* eCallNumber;
  QPushButton* bDial;
  QPushButton* bAnswer;
  QPushButton* bHangup;
  QTableWidget* lvCalls;
  QPushButton* bCallRefresh;
  QLineEdit* eTones;
  QPushButton* bSendTones;
  QWidget* pgOptions;
  QLabel* Label2;
  QComboBox* cbOnNewSms;
  QLabel* Label12;
  QLineEdit* eCmd;
  QPushButton* bSendCommand;
  QGroupBox* gbSim;  // the SIM codes: password boxes, emptied after each use
  QLineEdit* ePuk;
  QLineEdit* eUnblockPin;
  QPushButton* bUnblock;
  QLineEdit* eOldPin;
  QLineEdit* eNewPin;
  QPushButton* bChangePin;
  QWidget* pgDriver;
  QCheckBox* chAutodetect;
  QLabel* Label9;
  QComboBox* eDrivers;
  QPushButton* bLoadDriver;
  QPushButton* bDelAll;
  QWidget* TabSheet4;
  QLabel* Label13;
  QLineEdit* eUssd;
  QPushButton* Button9;

  // Asks for a driver script to load; empty when the user cancels. A file
  // dialog unless replaced (tests answer it themselves).
  std::function<QString()> ChooseDriverFile;

  // The watcher that turns kernel device events into device-change messages.
  qv::TqvDeviceChangeWatcher& DeviceWatcher() { return *fDeviceWatcher; }

  // True while the window's own call into the library runs or the GSM
  // component is busy: the controls that start an exchange are disabled.
  bool ExchangeBlocked() const;

  // --- handlers
  void FormCreate();
  void FormShow();
  void CheckBox1Click();
  void Button1Click();
  void Button3Click();
  void qvGsm1AfterInit(TObject* Sender);
  void qvGsm1NetworkChange(TObject* Sender, const TNetworkInfo& aInfo);
  void Memo3DblClick();
  void chAutodetectClick();
  void bLoadDriverClick();
  void bDelAllClick();
  void cbOnNewSmsChange();
  void bSendCommandClick();
  void WMDeviceChange(const TqvDeviceChangeMsg& Msg);
  void Button2Click();
  void Button8Click();
  void Button6Click();
  void Button4Click();
  void Button5Click();
  void Button7Click();
  void Button9Click();
  void bDelReadClick();
  void bDelAllSmsClick();
  void bReadCentreClick();
  void bSetCentreClick();
  void bDialClick();
  void bAnswerClick();
  void bHangupClick();
  void bCallRefreshClick();
  void bSendTonesClick();
  void bUnblockClick();
  void bChangePinClick();
  using TSimCodeChange = bool (TqvGsm::*)(const std::u16string&, const std::u16string&);
  void ChangeSimCodes(QLineEdit* first, QLineEdit* second, TSimCodeChange change, const QString& done,
                      const QString& failed);
  // On the component's worker thread: the lines are made there and handed to
  // the GUI thread in order.
  void qvGsm1SmsReceived(TObject* Sender, const std::u16string& aMem, int32_t idSms, TqvPduSms* aSms);
  void qvGsm1SmsSent(TObject* Sender, const std::u16string& aMem, int32_t idSms, TqvPduSms* aSms);
  void qvGsm1SmsListItem(TObject* Sender, const std::u16string& aMem, int32_t idSms, TqvPduSms* aSms);
  void qvGsm1Ring(TObject* Sender, const std::u16string& sData);
  void qvGsm1GsmError(TObject* Sender, const std::u16string& sData);
  void qvGsm1Unsolicited(TObject* Sender, const std::u16string& sData);
  void qvGsm1Ussd(TObject* Sender, const std::u16string& sData);
  void qvGsm1PhoneListProgress(TObject* Sender, bool& flBreak);
  void qvGsm1PhoneListFinish(TObject* Sender);

  // --- helpers
  void FillDriverList();
  void AddInfoRow(const std::u16string& name, const std::u16string& value);
  // The "Network" row of the Device Info page: the registration read once
  // the device is connected, then each change the modem tells.
  void ReadNetwork();
  void ShowNetwork(const TNetworkInfo& info);
  // Sends Memo1's text to Edit1's number with the page's coding, Confirm and
  // Alert, in as many parts as it needs.
  void SendPdu();
  // Empties the chosen memory of the messages `scope` names and lists what is left.
  void DeleteMessages(TSmsDeleteScope scope);
  // Reads the modem's calls into the Calls page's list.
  void RefreshCalls();
  void ShowCalls(const std::vector<TCallInfo>& calls);

 protected:
  void showEvent(QShowEvent* e) override;
  void closeEvent(QCloseEvent* e) override;

 private:
  class TCall;
  void CreateComponents();
  void CreateControls();
  QWidget* CreateDeviceInfoPage();
  QWidget* CreateSendSmsPage();
  QWidget* CreateStoragePage();
  QWidget* CreateTerminalPage();
  QWidget* CreatePhoneBookPage();
  QWidget* CreateCallsPage();
  QWidget* CreateOptionsPage();
  QWidget* CreateDriverPage();
  QWidget* CreateUssdPage();
  void ConnectHandlers();
  void ChooseStartPort(const std::u16string& devicePath);
  bool HasPort();
  void ShowPortPlaceholder();
  // Runs a handler's body: errors are shown, then the "Open" box shows the
  // port's real state.
  void Guarded(const std::function<void()>& body);
  void SyncOpenBox();
  void UpdateExchangeControls();
  void PostRefresh();
  void CommNotify(TObject* Sender, int32_t Code);
  void qvGsm1Diagnostic(TObject* Sender, const std::u16string& aAT, const std::u16string& aReply, bool& flBreak);
  void AppendEventLog(const QString& line);
  // Makes the event log's last line the first visible one, and selects it.
  void ScrollAndSelect();
  void AppendMemo2(const QString& line);

  TDeskOptions fOptions;
  std::unique_ptr<qv::TqvDeviceChangeWatcher> fDeviceWatcher;
  int fCalls = 0;                // the window's own calls into the library now running
  bool fCloseRequested = false;  // closing waits for those calls
  bool fShown = false;
  bool fDestroying = false;
  std::atomic<bool> fUpdatePosted{false};
  struct TDiagnosticRun {
    bool Running = false;
    int Succeeded = 0;
    int Lines = 0;
  } fDiagnostic;
};
