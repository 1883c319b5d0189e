// The pseudo-terminal the simulated modem sits behind, and the stable link to it.
#pragma once

#include <string>
#include <system_error>

namespace qvsim {

// A pseudo-terminal pair: the modem serves the master side, the host opens the slave path.
// The simulator keeps a descriptor of the slave open itself, so that the master never sees a
// hang-up while no host has the device open, and the line starts raw (no echo, no CR/LF
// translation) whatever opens it first.
class Pty {
 public:
  Pty() = default;
  ~Pty() { Close(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  Pty(Pty&& other) noexcept { *this = std::move(other); }
  Pty& operator=(Pty&& other) noexcept;

  std::error_code Open();
  void Close();  // the device is gone: the host's descriptors see a hang-up
  bool IsOpen() const { return fMaster >= 0; }
  int Master() const { return fMaster; }
  const std::string& SlavePath() const { return fSlavePath; }
  // The line speed the host set on the slave side, in bits per second; 0 when unknown.
  int LineSpeed() const;

 private:
  int fMaster = -1;
  int fSlave = -1;
  std::string fSlavePath;
};

// Points `link` at `target`, atomically replacing what was there.
std::error_code ReplaceSymlink(const std::string& link, const std::string& target);
// Removes `link` when it is a symbolic link that still points at `target`.
void RemoveSymlink(const std::string& link, const std::string& target);

}  // namespace qvsim
