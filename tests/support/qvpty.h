// Test helpers: pseudo-terminal pairs that stand in for serial devices, a
// temporary folder, and symbolic links that can be re-pointed atomically.
//
// A TqvPtyPair keeps the master (the "far side") open; the code under test
// opens SlavePath() as its port. Closing the master looks like the device
// being unplugged to whoever holds the slave.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace qv::test {

class TqvPtyPair {
 public:
  // Opens a master, unlocks its slave and puts the slave into raw mode (no
  // echo, no line editing) so that bytes pass unchanged both ways.
  TqvPtyPair();
  ~TqvPtyPair();
  TqvPtyPair(const TqvPtyPair&) = delete;
  TqvPtyPair& operator=(const TqvPtyPair&) = delete;

  const std::string& SlavePath() const { return slavePath_; }
  int MasterFd() const { return master_; }
  bool MasterOpen() const { return master_ >= 0; }

  // Far side writes every byte (waits while the slave's input is full).
  void Write(std::string_view bytes);
  // Far side reads until `count` bytes arrived or `timeout` passed.
  std::string Read(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Far side reads what arrives within `quiet` of silence.
  std::string ReadAvailable(std::chrono::milliseconds quiet = std::chrono::milliseconds(50));
  // The far side goes away (the slave hangs up).
  void CloseMaster();

 private:
  int master_ = -1;
  std::string slavePath_;
};

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TqvTempDir {
 public:
  TqvTempDir();
  ~TqvTempDir();
  TqvTempDir(const TqvTempDir&) = delete;
  TqvTempDir& operator=(const TqvTempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Creates or re-points the symbolic link `link` to `target` in one step.
void PointLink(const std::string& link, const std::string& target);

}  // namespace qv::test
