// Facts about the running system and program: the operating-system identity
// (from /etc/os-release and uname), the program's own path and the per-user
// folders of the XDG base-directory rules.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "qvapi.h"

QV_API_BEGIN

namespace qv::platform {

struct TqvOsInfo {
  std::string SysName;     // "Linux"
  std::string PrettyName;  // os-release PRETTY_NAME, else NAME and VERSION_ID
  std::string Release;     // kernel release, "6.1.0-18-amd64"
  std::string Machine;     // "x86_64"
};

// The value of one key of an os-release text (quotes and escapes removed),
// empty when the key is missing.
std::string OsReleaseValue(std::string_view osRelease, std::string_view key);

// The running system; `osReleasePath` may point at a test file. Missing sources
// leave their fields empty.
TqvOsInfo ReadOsInfo(const std::filesystem::path& osReleasePath = "/etc/os-release");

// Full path of the running program, empty when it cannot be read.
std::filesystem::path ProgramPath();

// $XDG_CONFIG_HOME or ~/.config, and $XDG_STATE_HOME or ~/.local/state (a
// relative XDG value is ignored, as the rules require). Empty when neither the
// variable nor a home folder is known.
std::filesystem::path UserConfigDir();
std::filesystem::path UserStateDir();

}  // namespace qv::platform

QV_API_END
