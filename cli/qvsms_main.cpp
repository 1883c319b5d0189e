// qvsms: a command-line tool over the library, for people and for scripts.
// `qvsms --help` lists the commands; the README documents the JSON output
// and the exit codes.
#include "qvsms_cli.h"
#include "qvsms_signals.h"

int main(int argc, char** argv) {
  qvsms::TInterrupt interrupt;  // before any other thread starts
  return qvsms::RunTool(argc, argv, interrupt);
}
