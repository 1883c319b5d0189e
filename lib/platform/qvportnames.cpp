#include "platform/qvportnames.h"

#include <charconv>
#include <mutex>

namespace qv::platform {
namespace {

constexpr TPortNameRow kRows[] = {
    {"ttyS", 1, 100},   {"ttyUSB", 101, 100}, {"ttyACM", 201, 100},
    {"ttyAMA", 301, 100}, {"rfcomm", 401, 100},
};

std::mutex gRootMutex;
std::string gRoot = "/dev";

}  // namespace

std::span<const TPortNameRow> PortNameTable() { return kRows; }

std::string PortDeviceName(uint16_t portNo) {
  for (const TPortNameRow& r : kRows)
    if (portNo >= r.First && portNo < r.First + r.Count)
      return std::string(r.Prefix) + std::to_string(portNo - r.First);
  return {};
}

std::string PortDevicePath(uint16_t portNo) {
  const std::string name = PortDeviceName(portNo);
  if (name.empty()) return {};
  return PortDeviceRoot() + "/" + name;
}

std::optional<uint16_t> PortNumberOf(std::string_view nameOrPath) {
  const size_t slash = nameOrPath.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? nameOrPath : nameOrPath.substr(slash + 1);
  for (const TPortNameRow& r : kRows) {
    if (name.size() <= r.Prefix.size() || name.substr(0, r.Prefix.size()) != r.Prefix) continue;
    const std::string_view digits = name.substr(r.Prefix.size());
    if (digits.size() > 1 && digits[0] == '0') return std::nullopt;  // "ttyS01" is no device name
    unsigned n = 0;
    auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (err != std::errc{} || end != digits.data() + digits.size()) continue;
    if (n < r.Count) return uint16_t(r.First + n);
    return std::nullopt;
  }
  return std::nullopt;
}

std::string PortDeviceRoot() {
  std::lock_guard lock(gRootMutex);
  return gRoot;
}

void SetPortDeviceRoot(std::string root) {
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::lock_guard lock(gRootMutex);
  gRoot = root.empty() ? "/dev" : std::move(root);
}

}  // namespace qv::platform
