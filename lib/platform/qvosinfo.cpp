#include "platform/qvosinfo.h"

#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace qv::platform {
namespace {

std::string Unquote(std::string_view v) {
  if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
    const char q = v.front();
    v = v.substr(1, v.size() - 2);
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
      if (q == '"' && v[i] == '\\' && i + 1 < v.size()) ++i;
      out += v[i];
    }
    return out;
  }
  return std::string(v);
}

std::filesystem::path HomeDir() {
  if (const char* h = std::getenv("HOME"); h && *h) return h;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return {};
}

std::filesystem::path XdgDir(const char* var, const char* fallbackBelowHome) {
  if (const char* v = std::getenv(var); v && *v == '/') return v;
  auto home = HomeDir();
  return home.empty() ? home : home / fallbackBelowHome;
}

}  // namespace

std::string OsReleaseValue(std::string_view text, std::string_view key) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == '=')
      return Unquote(line.substr(key.size() + 1));
  }
  return {};
}

TqvOsInfo ReadOsInfo(const std::filesystem::path& osReleasePath) {
  TqvOsInfo info;
  if (std::ifstream in(osReleasePath, std::ios::binary); in) {
    std::stringstream ss;
    ss << in.rdbuf();
    const std::string text = ss.str();
    info.PrettyName = OsReleaseValue(text, "PRETTY_NAME");
    if (info.PrettyName.empty()) {
      info.PrettyName = OsReleaseValue(text, "NAME");
      const std::string ver = OsReleaseValue(text, "VERSION_ID");
      if (!ver.empty()) info.PrettyName += (info.PrettyName.empty() ? "" : " ") + ver;
    }
  }
  utsname u{};
  if (uname(&u) == 0) {
    info.SysName = u.sysname;
    info.Release = u.release;
    info.Machine = u.machine;
  }
  return info;
}

std::filesystem::path ProgramPath() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}

std::filesystem::path UserConfigDir() { return XdgDir("XDG_CONFIG_HOME", ".config"); }
std::filesystem::path UserStateDir() { return XdgDir("XDG_STATE_HOME", ".local/state"); }

}  // namespace qv::platform
