#include "qvqtbridge.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QThread>
#include <atomic>
#include <mutex>

#include "platform/qvdispatcher.h"
#include "qvcommdialog.h"

namespace pf = qv::platform;

namespace {

const QEvent::Type kWakeEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

TqvQtBridge* gBridge = nullptr;  // GUI thread
int gLiveWaits = 0;               // GUI thread

bool OnGuiThread() { return qApp && QThread::currentThread() == qApp->thread(); }

QString BoxText(std::u16string_view text) {
  QString s = QString::fromStdU16String(std::u16string(text));
  s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  return s;
}

QMessageBox::Icon BoxIcon(qv::TMsgBoxIcon icon) {
  switch (icon) {
    case qv::TMsgBoxIcon::mbError: return QMessageBox::Critical;
    case qv::TMsgBoxIcon::mbWarning: return QMessageBox::Warning;
    case qv::TMsgBoxIcon::mbInformation: return QMessageBox::Information;
  }
  return QMessageBox::NoIcon;
}

bool ShowConfigDialog(const std::u16string& portName, pf::TCommConfig& config) {
  // The port asks on the thread that runs ConfigDialog, the GUI's own.
  if (!OnGuiThread()) return false;
  TqvCommConfigDialog dialog(QString::fromStdU16String(portName), config, QApplication::activeWindow());
  if (dialog.exec() != QDialog::Accepted) return false;
  config = dialog.Config();
  return true;
}

}  // namespace

// Where the wake-up posts to: read by any thread that hands a call over,
// cleared by the bridge's destructor.
struct TqvQtBridge::TWakeTarget {
  std::mutex mutex;
  QObject* target = nullptr;
  std::atomic<bool> posted{false};

  void Wake() {
    // One wake event at a time: it runs every call pending when it arrives.
    if (posted.exchange(true)) return;
    std::lock_guard lock(mutex);
    if (target) QCoreApplication::postEvent(target, new QEvent(kWakeEvent));
  }
};

TqvQtBridge::TqvQtBridge(QObject* parent) : QObject(parent), fWake(std::make_shared<TWakeTarget>()) {
  fWake->target = this;
  gBridge = this;
  pf::SetWakeHook([wake = fWake] { wake->Wake(); });
  pf::SetWaitHook([] {
    if (gLiveWaits > 0) QCoreApplication::processEvents(QEventLoop::AllEvents);
  });
  fOldBoxHook = qv::SetMessageBoxHook(&TqvQtBridge::ShowBox);
  fOldDialogHook = SetCommConfigDialogHook(&ShowConfigDialog);
  // Calls handed over before the bridge existed.
  if (pf::PendingCalls() > 0) fWake->Wake();
}

TqvQtBridge::~TqvQtBridge() {
  SetCommConfigDialogHook(std::move(fOldDialogHook));
  qv::SetMessageBoxHook(std::move(fOldBoxHook));
  pf::SetWaitHook(nullptr);
  pf::SetWakeHook(nullptr);
  {
    std::lock_guard lock(fWake->mutex);
    fWake->target = nullptr;
  }
  if (gBridge == this) gBridge = nullptr;
}

TqvQtBridge* TqvQtBridge::Instance() { return gBridge; }

int TqvQtBridge::LiveWaitDepth() { return gLiveWaits; }

bool TqvQtBridge::event(QEvent* e) {
  if (e->type() != kWakeEvent) return QObject::event(e);
  // Cleared first: a call handed over while these run posts a new event.
  fWake->posted = false;
  pf::ProcessMessages();
  return true;
}

void TqvQtBridge::ShowBox(std::u16string_view Text, std::u16string_view Caption, qv::TMsgBoxIcon Icon) {
  const QString caption = Caption.empty() ? QApplication::applicationName()
                                          : QString::fromStdU16String(std::u16string(Caption));
  const QString text = BoxText(Text);
  auto show = [caption, text, Icon] {
    QMessageBox box(BoxIcon(Icon), caption, text, QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
  };
  if (OnGuiThread())
    show();
  else if (qApp)
    QMetaObject::invokeMethod(qApp, show, Qt::QueuedConnection);
}

TqvLiveWait::TqvLiveWait() { ++gLiveWaits; }

TqvLiveWait::~TqvLiveWait() {
  if (--gLiveWaits == 0 && gBridge) Q_EMIT gBridge->LiveWaitsEnded();
}
