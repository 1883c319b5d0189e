// qvident: opens a modem with TqvComm and prints what it says about itself.
//
//   qvident DEVICE        (a tty path: a /dev/serial/by-id link, a pseudo-terminal...)
//
// Sends ATE0, AT+CGMI, AT+CGMM, AT+CGMR, AT+CGSN, AT+CPIN?, AT+CSQ and prints each answer.
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/qvdispatcher.h"
#include "platform/qvthread.h"
#include "qvcomm.h"
#include "qvtext.h"

namespace {

bool IsFinalResult(std::string_view reply) {
  for (std::string_view final : {"\r\nOK\r\n", "\r\nERROR\r\n", "+CME ERROR:", "+CMS ERROR:"})
    if (reply.find(final) != std::string_view::npos) return true;
  return reply == "OK\r\n";
}

// The answer's lines joined by " | ", without the blank lines around them.
std::string Lines(std::string_view reply) {
  std::string out;
  size_t start = 0;
  while (start < reply.size()) {
    size_t end = reply.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = reply.size();
    if (end > start) out += (out.empty() ? "" : " | ") + std::string(reply.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
    return 2;
  }
  std::string received;
  TqvComm comm;
  comm.OnAfterReceive = [&received](TObject*, const char* data, uint32_t len) {
    received.append(data, len);
  };
  comm.SetDevicePath(qv::Utf8ToString(argv[1]));
  try {
    comm.SetActive(true);
  } catch (const EqvError& e) {
    std::fprintf(stderr, "cannot open %s: %s\n", argv[1], e.what());
    return 1;
  }
  std::printf("opened %s\n", qv::StringToUtf8(comm.ComName()).c_str());

  int failures = 0;
  for (std::string_view command : {"ATE0", "AT+CGMI", "AT+CGMM", "AT+CGMR", "AT+CGSN", "AT+CPIN?", "AT+CSQ"}) {
    received.clear();
    comm.SendString(std::string(command) + "\r");
    const uint32_t start = qv::platform::GetTickCount();
    while (!IsFinalResult(received) && qv::platform::TicksSince(start) < 3000) qv::platform::PumpFor(20);
    if (!IsFinalResult(received)) ++failures;
    std::printf("%-10s -> %s\n", std::string(command).c_str(),
                received.empty() ? "(no answer)" : Lines(received).c_str());
  }
  comm.SetActive(false);
  return failures == 0 ? 0 : 1;
}
