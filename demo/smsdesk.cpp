// smsdesk: the desktop program. `smsdesk [d] [--device PATH]`, after Qt's own
// options: "d" first keeps the Terminal page; --device names the modem's port.
#include <QApplication>
#include <cstdio>

#include "qvqtbridge.h"
#include "unit1.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("smsdesk"));
  TqvQtBridge bridge;
  QStringList args = QApplication::arguments();
  args.removeFirst();
  for (const QString& a : ParseDeskArguments(args).Ignored)
    std::fprintf(stderr, "smsdesk: ignored argument \"%s\" (usage: smsdesk [d] [--device PATH])\n",
                 qPrintable(a));
  TForm1 window(args);
  window.show();
  return app.exec();
}
