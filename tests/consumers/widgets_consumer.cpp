// The widgets library from the install: a device picker and the bridge to the Qt event loop,
// built and run offscreen.
#include <QApplication>
#include <cstdio>

#include "qvcommbox.h"
#include "qvqtbridge.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  TqvQtBridge bridge;
  TqvDeviceBox box;
  QObject* asObject = &box;
  if (!qobject_cast<TqvDeviceBox*>(asObject)) {
    std::fprintf(stderr, "FAILED: qobject_cast to a library widget\n");
    return 1;
  }
  std::puts("widgets consumer: all checks passed");
  return 0;
}
