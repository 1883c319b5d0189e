#include "platform/qvsysfs.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace qv::platform {
namespace fs = std::filesystem;
namespace {

std::string ReadAttr(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return {};
  std::string s;
  std::getline(in, s, '\0');
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string LinkBase(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

bool Exists(const fs::path& p) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(p, ec));
}

// udev's database entry of a character device: "E:KEY=value" lines.
std::map<std::string, std::string> UdevProperties(const fs::path& udevData, const std::string& majMin) {
  std::map<std::string, std::string> props;
  if (majMin.empty() || udevData.empty()) return props;
  std::ifstream in(udevData / ("c" + majMin));
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 3 || line.compare(0, 2, "E:") != 0) continue;
    const size_t eq = line.find('=');
    if (eq != std::string::npos) props[line.substr(2, eq - 2)] = line.substr(eq + 1);
  }
  return props;
}

// From the tty's device up towards the root: the USB interface and device.
void FillUsb(TqvTtyDevice& d, const fs::path& devicePath, const fs::path& sysRoot) {
  for (fs::path p = devicePath; !p.empty() && p != p.root_path() && p != sysRoot; p = p.parent_path()) {
    if (d.Interface.empty() && Exists(p / "bInterfaceNumber")) d.Interface = ReadAttr(p / "bInterfaceNumber");
    if (Exists(p / "idVendor")) {
      d.UsbDevicePath = p.string();
      d.VendorId = ReadAttr(p / "idVendor");
      d.ProductId = ReadAttr(p / "idProduct");
      d.Manufacturer = ReadAttr(p / "manufacturer");
      d.Product = ReadAttr(p / "product");
      d.SerialNumber = ReadAttr(p / "serial");
      return;
    }
  }
}

std::map<std::string, std::string> ByIdLinks(const fs::path& dev) {
  std::map<std::string, std::string> links;  // tty name -> first link (name order)
  std::error_code ec;
  std::vector<fs::path> names;
  for (const auto& e : fs::directory_iterator(dev / "serial" / "by-id", ec)) names.push_back(e.path());
  std::sort(names.begin(), names.end());
  for (const auto& p : names) {
    const std::string target = LinkBase(p);
    if (!target.empty()) links.emplace(target, p.string());
  }
  return links;
}

// "ttyS10" sorts after "ttyS9".
bool NameLess(const std::string& a, const std::string& b) {
  auto split = [](const std::string& s) {
    size_t i = s.size();
    while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9') --i;
    const std::string digits = s.substr(i);
    return std::pair<std::string, long long>(s.substr(0, i), digits.empty() || digits.size() > 12 ? -1 : std::stoll(digits));
  };
  const auto sa = split(a), sb = split(b);
  return sa != sb ? sa < sb : a < b;
}

}  // namespace

std::string TqvTtyDevice::Description() const {
  if (Manufacturer.empty()) return Product;
  if (Product.empty()) return Manufacturer;
  if (Product.compare(0, Manufacturer.size(), Manufacturer) == 0) return Product;
  return Manufacturer + " " + Product;
}

std::vector<TqvTtyDevice> EnumerateTtyDevices(const TqvDeviceRoots& roots) {
  std::vector<TqvTtyDevice> out;
  std::error_code ec;
  const fs::path classDir = roots.Sys / "class" / "tty";
  const auto byId = ByIdLinks(roots.Dev);
  for (const auto& entry : fs::directory_iterator(classDir, ec)) {
    const fs::path cls = entry.path();
    if (!Exists(cls / "device")) continue;  // virtual terminals, pseudo-terminals
    std::error_code ec2;
    const fs::path device = fs::canonical(cls / "device", ec2);
    if (ec2) continue;
    TqvTtyDevice d;
    d.Name = cls.filename().string();
    d.ClassPath = cls.string();
    d.DevicePath = device.string();
    d.DevNode = (roots.Dev / d.Name).string();
    d.Driver = LinkBase(device / "driver");
    d.Bus = LinkBase(device / "subsystem");
    FillUsb(d, device, roots.Sys);
    if (Exists(cls / "type")) {  // serial-core port; type 0 is "no UART here"
      d.LegacyUart = d.UsbDevicePath.empty();
      if (d.LegacyUart) d.UartKnown = ReadAttr(cls / "type") != "0";
    }
    const auto props = UdevProperties(roots.UdevData, ReadAttr(cls / "dev"));
    auto prop = [&](const char* k) { auto it = props.find(k); return it == props.end() ? std::string() : it->second; };
    if (d.Manufacturer.empty()) d.Manufacturer = prop("ID_VENDOR_FROM_DATABASE");
    if (d.Product.empty()) d.Product = prop("ID_MODEL_FROM_DATABASE");
    if (auto it = byId.find(d.Name); it != byId.end()) d.ById = it->second;
    d.NodeExists = Exists(roots.Dev / d.Name);
    d.Present = d.NodeExists && d.UartKnown;
    out.push_back(std::move(d));
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return NameLess(a.Name, b.Name); });
  return out;
}

}  // namespace qv::platform
