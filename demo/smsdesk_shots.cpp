// Takes a picture of every page of the desktop program's window, for people to
// look at (scripts/screenshots.sh runs it under Xvfb against the simulator):
//
//   smsdesk-shots OUTDIR [window arguments...]
//
// The window is built as the program builds it, with the given arguments
// (normally "d --device PATH", so that the Terminal page is there too). It
// ticks "Open", waits for the modem's initialisation, then saves one PNG per
// page, and one of the port settings dialog, from the screen itself. Pages
// with content are filled first: the stored messages listed (a picture of
// its own) and one read, a phone book written and read, a USSD code answered.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QDir>
#include <QElapsedTimer>
#include <QListWidget>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

#include "qvcomm.h"
#include "qvcommdialog.h"
#include "qvgsm.h"
#include "qvqtbridge.h"
#include "unit1.h"

namespace {

void Settle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    Settle(50);
  }
  return true;
}

bool Save(QWidget& w, const QString& file) {
  const QPixmap shot = w.screen()->grabWindow(w.winId());
  if (!shot.save(file)) {
    std::fprintf(stderr, "smsdesk-shots: cannot write %s\n", qPrintable(file));
    return false;
  }
  std::printf("%s (%dx%d)\n", qPrintable(file), shot.width(), shot.height());
  return true;
}

QString FileName(int n, const QString& caption) {
  QString name = caption.toLower();
  name.replace(QLatin1Char(' '), QLatin1Char('-'));
  return QStringLiteral("%1-%2.png").arg(n, 2, 10, QLatin1Char('0')).arg(name);
}

bool LogHas(const TForm1& w, const QString& text) {
  return !w.ListBox1->findItems(text, Qt::MatchContains).isEmpty();
}

void Warn(bool done, const char* what) {
  if (!done) std::fprintf(stderr, "smsdesk-shots: %s did not finish; the picture shows what there is\n", what);
}

// Fills page `page` of the window; `more` takes a picture on the way (its
// name's suffix).
void Fill(TForm1& w, QWidget* page, const std::function<void(const QString&)>& more) {
  constexpr int kWait = 20000;
  if (page == w.TabSheet2) {
    if (const int sim = w.eMem->findText(QStringLiteral("SM")); sim >= 0) w.eMem->setCurrentIndex(sim);  // where they wait
    w.Button6->click();
    Warn(WaitUntil([&] { return w.Memo2->toPlainText().contains(QStringLiteral("LIST DONE")); }, kWait), "the listing");
    more(QStringLiteral("list"));
    w.eNo->setValue(1);
    w.Button4->click();
    Warn(WaitUntil([&] { return LogHas(w, QStringLiteral("OK")) && !w.qvGsm1->IsBusy(); }, kWait), "reading a message");
  } else if (page == w.pgBook) {
    w.ePhoneBookType->setCurrentIndex(1);  // the SIM's book
    w.qvGsm1->SetPhoneListType(TqvPhoneBookType::pltSim);
    w.qvGsm1->PhoneBookWrite(u"+4930111222", u"Anna Schmidt", 1);
    w.qvGsm1->PhoneBookWrite(u"+4930333444", u"J\u00FCrgen M\u00FCller", 2);
    w.qvGsm1->PhoneBookWrite(u"+79161234567", u"\u0411\u043E\u0440\u0438\u0441", 3);
    w.Button7->click();
    Warn(WaitUntil([&] { return w.Label8->text().startsWith(QStringLiteral("Ready. Total:")); }, kWait), "the phone book");
  } else if (page == w.TabSheet4) {
    w.Button9->click();
    Warn(WaitUntil([&] { return LogHas(w, QStringLiteral("USSD: ")); }, kWait), "the USSD request");
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("smsdesk"));
  QStringList args = QApplication::arguments();
  args.removeFirst();
  if (args.isEmpty()) {
    std::fprintf(stderr, "usage: smsdesk-shots OUTDIR [window arguments...]\n");
    return 2;
  }
  const QDir out(args.takeFirst());
  if (!out.mkpath(QStringLiteral("."))) return 1;

  TqvQtBridge bridge;
  TForm1 window(args);
  window.show();
  Settle(500);
  window.CheckBox1->click();
  const bool ready = WaitUntil(
      [&] { return !window.ListBox1->findItems(QStringLiteral("GSM device connected"), Qt::MatchContains).isEmpty(); },
      30000);
  if (!ready) std::fprintf(stderr, "smsdesk-shots: the modem did not come up; taking the pictures anyway\n");

  bool ok = true;
  for (int i = 0; i < window.Pages->count(); ++i) {
    window.Pages->setCurrentIndex(i);
    const QString caption = window.Pages->tabText(i);
    Fill(window, window.Pages->widget(i), [&](const QString& suffix) {
      Settle(300);
      ok &= Save(window, out.filePath(FileName(i + 1, caption + QLatin1Char(' ') + suffix)));
    });
    Settle(300);
    ok &= Save(window, out.filePath(FileName(i + 1, caption)));
  }
  window.Pages->setCurrentIndex(0);
  TqvCommConfigDialog dialog(QString::fromStdU16String(window.qvComm1->ComName()), window.qvComm1->CommConfig(),
                             &window);
  dialog.show();
  Settle(300);
  ok &= Save(dialog, out.filePath(FileName(window.Pages->count() + 1, QStringLiteral("port settings"))));
  dialog.close();
  window.CheckBox1->click();
  Settle(200);
  return ok && ready ? 0 : 1;
}
