#include "platform/qvuserstore.h"

#include "platform/qvfile.h"

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
  if (auto ec = ReplaceFile(dir / (base + Suffix(value.Type)), {value.Data}, {.Mode = std::nullopt, .Sync = true})) return ec;
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
