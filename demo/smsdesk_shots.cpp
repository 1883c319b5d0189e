// Takes a picture of every page of the desktop program's window, for people to
// look at (scripts/screenshots.sh runs it under Xvfb against the simulator):
//
//   smsdesk-shots OUTDIR [window arguments...]
//
// The window is built as the program builds it, with the given arguments
// (normally "d --device PATH", so that the Terminal page is there too). It
// ticks "Open", waits for the modem's initialisation, then saves one PNG per
// page, and one of the port settings dialog, from the screen itself.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QListWidget>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

#include "qvcomm.h"
#include "qvcommdialog.h"
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
    Settle(300);
    ok &= Save(window, out.filePath(FileName(i + 1, window.Pages->tabText(i))));
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
