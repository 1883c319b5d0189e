#include "platform/qvuserstore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace qv::platform {
namespace fs = std::filesystem;
namespace {

// A value name as a file name: letters, digits, '_', '-' and inner '.' stay,
// every other byte becomes %XX, so no name can leave its key's folder.
std::string EscapeName(std::string_view name) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || (c == '.' && i > 0);
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out.empty() ? std::string("%") : out;  // the unnamed (default) value
}

const char* Suffix(TqvStoreValueType t) { return t == TqvStoreValueType::svString ? ".str" : ".bin"; }

std::error_code LastError() { return {errno, std::generic_category()}; }

std::error_code WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return LastError();
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

// Write `data` to `target` through a temporary file in the same folder, so a
// reader sees the old or the new value, never a part of one.
std::error_code ReplaceFile(const fs::path& target, std::string_view data) {
  std::string tmpl = target.string() + ".XXXXXX";
  const int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) return LastError();
  std::error_code ec = WriteAll(fd, data);
  if (!ec && ::fsync(fd) != 0) ec = LastError();
  if (::close(fd) != 0 && !ec) ec = LastError();
  if (!ec && std::rename(tmpl.c_str(), target.c_str()) != 0) ec = LastError();
  if (ec) ::unlink(tmpl.c_str());
  return ec;
}

}  // namespace

fs::path TqvUserStore::KeyPath(std::string_view key) const {
  fs::path p = root_;
  bool any = false;
  size_t pos = 0;
  while (pos <= key.size()) {
    size_t end = key.find_first_of("\\/", pos);
    if (end == std::string_view::npos) end = key.size();
    const std::string_view part = key.substr(pos, end - pos);
    pos = end + 1;
    if (part.empty()) continue;
    if (part == "." || part == "..") return {};
    p /= std::string(part);
    any = true;
  }
  return any ? p : fs::path();
}

bool TqvUserStore::KeyExists(std::string_view key) const {
  const fs::path p = KeyPath(key);
  std::error_code ec;
  return !p.empty() && fs::is_directory(p, ec);
}

std::error_code TqvUserStore::CreateKey(std::string_view key) const {
  const fs::path p = KeyPath(key);
  if (p.empty()) return std::make_error_code(std::errc::invalid_argument);
  std::error_code ec;
  fs::create_directories(p, ec);
  if (!ec && !fs::is_directory(p, ec)) ec = std::make_error_code(std::errc::not_a_directory);
  return ec;
}

std::optional<TqvStoreValue> TqvUserStore::Read(std::string_view key, std::string_view name) const {
  const fs::path dir = KeyPath(key);
  if (dir.empty()) return std::nullopt;
  for (auto type : {TqvStoreValueType::svBinary, TqvStoreValueType::svString}) {
    std::ifstream in(dir / (EscapeName(name) + Suffix(type)), std::ios::binary);
    if (!in) continue;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return TqvStoreValue{type, ss.str()};
  }
  return std::nullopt;
}

std::error_code TqvUserStore::Write(std::string_view key, std::string_view name,
                                    const TqvStoreValue& value) const {
  if (auto ec = CreateKey(key)) return ec;
  const fs::path dir = KeyPath(key);
  const std::string base = EscapeName(name);
  if (auto ec = ReplaceFile(dir / (base + Suffix(value.Type)), value.Data)) return ec;
  // A value has one type: drop an entry of the other type left from before.
  const auto other = value.Type == TqvStoreValueType::svString ? TqvStoreValueType::svBinary
                                                               : TqvStoreValueType::svString;
  std::error_code ignored;
  fs::remove(dir / (base + Suffix(other)), ignored);
  return {};
}

std::error_code TqvUserStore::Delete(std::string_view key, std::string_view name) const {
  const fs::path dir = KeyPath(key);
  if (dir.empty()) return std::make_error_code(std::errc::invalid_argument);
  std::error_code ec;
  bool removed = false;
  for (auto type : {TqvStoreValueType::svBinary, TqvStoreValueType::svString})
    removed |= fs::remove(dir / (EscapeName(name) + Suffix(type)), ec);
  if (!ec && !removed) ec = std::make_error_code(std::errc::no_such_file_or_directory);
  return ec;
}

}  // namespace qv::platform
