// The qvmodemsim program: its device and link, its control input, its clean ending.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "qvsim_codec.h"
#include "qvsim_host.h"

using namespace std::chrono_literals;

namespace {

namespace fs = std::filesystem;

// The program, built beside this test (build/<preset>/tools next to build/<preset>/tests).
std::string ProgramPath() {
  return (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "qvmodemsim").string();
}

// Runs the program with a pipe to its standard input and one from its standard output.
class Program {
 public:
  explicit Program(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    fPid = ::fork();
    if (fPid == 0) {
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(out[1], STDOUT_FILENO);
      std::vector<char*> argv;
      std::string program = ProgramPath();
      argv.push_back(program.data());
      std::vector<std::string> copy = args;
      for (auto& a : copy) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    fIn = in[1];
    fOut = out[0];
  }
  ~Program() {
    if (fPid > 0 && !fExited) {
      ::kill(fPid, SIGKILL);
      ::waitpid(fPid, nullptr, 0);
    }
    if (fIn >= 0) ::close(fIn);
    if (fOut >= 0) ::close(fOut);
  }

  void Control(const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(fIn, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // Reads standard output until it holds `needle`, for at most `timeout`.
  std::string ReadOutput(const std::string& needle, std::chrono::milliseconds timeout = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (fOutput.find(needle) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{fOut, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) {
        char buf[1024];
        const ssize_t n = ::read(fOut, buf, sizeof buf);
        if (n <= 0) break;
        fOutput.append(buf, static_cast<size_t>(n));
      }
    }
    return fOutput;
  }
  // Waits for the program to end; its exit status, or -1 on time-out.
  int Wait(std::chrono::milliseconds timeout = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(fPid, &status, WNOHANG) == fPid) {
        fExited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }
  pid_t Pid() const { return fPid; }

 private:
  pid_t fPid = -1;
  int fIn = -1;
  int fOut = -1;
  bool fExited = false;
  std::string fOutput;
};

class QvModemSimProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(ProgramPath())) << ProgramPath() << ": build the qvmodemsim target";
    fDir = fs::temp_directory_path() / ("qvmodemsim_test_" + std::to_string(::getpid()));
    fs::create_directories(fDir);
    fLink = (fDir / "modem").string();
  }
  void TearDown() override { fs::remove_all(fDir); }

  fs::path fDir;
  std::string fLink;
};

TEST_F(QvModemSimProgram, ServesTheModelBehindItsLinkAndTakesControlCommands) {
  Program program({"--model", "Siemens M35i[t]", "--link", fLink});
  const std::string banner = program.ReadOutput("link: ");
  EXPECT_NE(banner.find("model: Siemens M35i[t]\ndevice: /dev/pts/"), std::string::npos) << banner;
  qvsimtest::Host host(fLink);
  ASSERT_TRUE(host.IsOpen());
  EXPECT_EQ(host.Command("ATE0"), "ATE0\r\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CGMM"), "\r\nMC35i\r\n\r\nOK\r\n");
  host.Command("AT+CNMI=1,1,2,1");
  host.Command("AT+CLIP=1");

  program.Control("ring +491701234567");
  EXPECT_EQ(host.ReadUntilEnd("145\r\n"), "\r\nRING\r\n\r\n+CLIP: \"+491701234567\",145\r\n");
  program.Control("text +491701234567 Hello there");
  EXPECT_EQ(host.ReadUntilEnd("\",1\r\n"), "\r\n+CMTI: \"SM\",1\r\n");
  EXPECT_NE(program.ReadOutput(" stored at 1").find(" stored at 1"), std::string::npos);
  const std::string read = host.Command("AT+CMGR=1");
  EXPECT_NE(read.find("+CMGR: 0,,"), std::string::npos) << read;
  const std::string packed = qvsim::ToHex(qvsim::PackSeptets(*qvsim::Utf8ToGsmSeptets("Hello there")));
  EXPECT_NE(read.find("0B" + packed), std::string::npos) << read;
  program.Control("raw \\r\\n+TEST: \\x41\\r\\n");
  EXPECT_EQ(host.ReadUntilEnd("A\r\n"), "\r\n+TEST: A\r\n");
  program.Control("neterror 500");
  EXPECT_EQ(host.ReadUntilEnd("500\r\n"), "\r\n+CMS ERROR: 500\r\n");

  // calls, USSD answers and failing lines as scripted; "status" shows they were taken
  program.Control("callend 20 NO CARRIER");
  program.Control("ussdreply 2 plain before");
  program.Control("failline +CPBR=1 +CME ERROR: 22");
  program.Control("status");
  program.ReadOutput("submitted: ");
  EXPECT_EQ(host.Command("ATD+4930;"), "\r\nOK\r\n");
  EXPECT_EQ(host.ReadUntilEnd("CARRIER\r\n"), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(host.Command("AT+CUSD=1,\"*100#\",15"), "\r\n+CUSD: 2\r\n\r\nOK\r\n");
  EXPECT_EQ(host.Command("AT+CMEE=1;+CPBR=1"), "\r\nOK\r\n") << "only the line as named fails";
  EXPECT_EQ(host.Command("AT+CPBR=1"), "\r\n+CME ERROR: 22\r\n");

  program.Control("drop");
  const std::string out = program.ReadOutput("device dropped");
  EXPECT_EQ(host.ReadFor(200ms), "") << out;
  EXPECT_TRUE(host.HungUp());
  EXPECT_FALSE(fs::exists(fs::symlink_status(fLink)));
  program.Control("up");
  program.ReadOutput("device dropped\ndevice: /dev/pts/");
  qvsimtest::Host again(fLink);
  ASSERT_TRUE(again.IsOpen());
  EXPECT_EQ(again.Command("AT"), "AT\r\r\nOK\r\n");

  program.Control("quit");
  EXPECT_EQ(program.Wait(), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(fLink)));  // cleaned up on the way out
}

TEST_F(QvModemSimProgram, EndsCleanlyOnSignalWithoutInputAndRejectsBadOptions) {
  {
    Program program({"--link", fLink, "--pin", "1234"});
    program.ReadOutput("link: ");
    qvsimtest::Host host(fLink);
    EXPECT_EQ(host.Command("AT+CPIN?"), "AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n");
    ::kill(program.Pid(), SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(fLink)));
  }
  {
    Program program({"--exit-after", "1", "--link", fLink});
    EXPECT_EQ(program.Wait(5000ms), 0);
  }
  {
    Program program({"--model", "no such phone"});
    EXPECT_EQ(program.Wait(), 1);
  }
  {
    Program program({"--frobnicate"});
    EXPECT_EQ(program.Wait(), 2);
  }
}

}  // namespace
