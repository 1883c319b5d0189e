#include "qvsysutils.h"

#include <algorithm>
#include <filesystem>

#include "platform/qvportnames.h"
#include "qvresource.h"
#include "qvtext.h"

#ifndef QV_PROJECT_VERSION
#define QV_PROJECT_VERSION "0.0.0"
#endif

namespace {

// Up to `n` leading dot-separated numbers of a version text ("6.1.0-18" -> 6,1,0).
std::vector<uint64_t> VersionNumbers(std::string_view text, size_t n) {
  std::vector<uint64_t> out;
  size_t i = 0;
  while (out.size() < n && i < text.size() && text[i] >= '0' && text[i] <= '9') {
    uint64_t v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && v < 100000000) v = v * 10 + (text[i++] - '0');
    out.push_back(v);
    if (i < text.size() && text[i] == '.') ++i; else break;
  }
  out.resize(n, 0);
  return out;
}

bool IsRunningProgram(std::u16string_view fileName) {
  std::error_code ec;
  const auto self = qv::platform::ProgramPath();
  return !self.empty() &&
         std::filesystem::equivalent(std::filesystem::path(qv::StringToUtf8(fileName)), self, ec) && !ec;
}

}  // namespace

std::u16string LibraryVersion() { return qv::Utf8ToString(QV_PROJECT_VERSION); }

std::u16string FormatOsVersion(const qv::platform::TqvOsInfo& info) {
  const auto v = VersionNumbers(info.Release, 3);
  const std::u16string numbers = qv::Format(u"%u.%u.%u", {v[0], v[1], v[2]});
  const std::string sys = info.SysName.empty() ? "Linux" : info.SysName;
  return qv::Utf8ToString(sys + " " + info.PrettyName) + u" [" + numbers + u"] " +
         qv::Utf8ToString(info.Machine);
}

std::u16string GetVersionString(std::u16string_view fileName, std::u16string_view format) {
  const std::u16string fmt = format.empty() ? std::u16string(u"%u.%u.%u.%u") : std::u16string(format);
  if (fileName.empty()) return FormatOsVersion(qv::platform::ReadOsInfo());
  if (!IsRunningProgram(fileName)) return {};
  const auto v = VersionNumbers(QV_PROJECT_VERSION, 4);
  try {
    return qv::Format(fmt, {v[0], v[1], v[2], v[3]});
  } catch (const std::exception&) {
    return {};
  }
}

void AddPortSorted(std::u16string_view entry, int32_t number, TqvStringItems& list) {
  if (std::any_of(list.begin(), list.end(), [&](const auto& i) { return i.Text == entry; })) return;
  if (list.empty() || list.back().Object < number) {
    list.push_back({std::u16string(entry), number});
    return;
  }
  auto it = std::find_if(list.begin(), list.end(), [&](const auto& i) { return i.Object > number; });
  if (it == list.end() || (it != list.begin() && std::prev(it)->Object == number)) return;
  list.insert(it, {std::u16string(entry), number});
}

void GetComPortList(TqvStringItems& list, bool withValues, const qv::platform::TqvDeviceRoots& roots) {
  list.clear();
  for (const auto& tty : qv::platform::EnumerateTtyDevices(roots)) {
    if (tty.LegacyUart && !tty.UartKnown) continue;  // the driver's spare slots: no port there
    const auto number = qv::platform::PortNumberOf(tty.Name);
    if (!number) continue;  // outside the port-number table: no COM name
    std::u16string entry = u"COM" + qv::IntToStr(*number);
    if (withValues) entry += u"=" + qv::Utf8ToString(tty.DevNode);
    AddPortSorted(entry, *number, list);
  }
}

std::u16string MultiSzToString(std::u16string_view buf, std::u16string_view sep) {
  std::u16string out;
  const size_t n = buf.size();
  for (size_t i = 0; i + 1 < n; ++i) {
    if (buf[i] != 0) {
      out += buf[i];
    } else {
      if (i + 2 == n) break;  // the terminating double NUL
      out += sep;
    }
  }
  return out;
}

std::u16string MultiSzToString(std::span<const std::byte> bytes, std::u16string_view sep) {
  std::u16string chars(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < chars.size(); ++i)
    chars[i] = static_cast<char16_t>(std::to_integer<unsigned>(bytes[2 * i]) |
                                     std::to_integer<unsigned>(bytes[2 * i + 1]) << 8);
  return MultiSzToString(std::u16string_view(chars), sep);
}

std::string WideProcName(std::string_view name) {
  std::string out(name);
  if (!out.empty()) out.back() = 'W';
  return out;
}

std::string LoadResourceText(std::u16string_view name) {
  auto found = qv::FindEmbeddedResource(qv::StringToUtf8(name));
  return found ? std::string(*found) : std::string();
}
