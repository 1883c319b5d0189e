// The per-user value store that stands in for the registry: a key is a folder
// path below the store's root, a value a named binary or string entry, one file
// each, replaced atomically (written to a temporary file and renamed).
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "qvapi.h"

QV_API_BEGIN

namespace qv::platform {

enum class TqvStoreValueType { svBinary, svString };

struct TqvStoreValue {
  TqvStoreValueType Type = TqvStoreValueType::svBinary;
  std::string Data;  // the bytes; a string value is UTF-8
};

class TqvUserStore {
 public:
  explicit TqvUserStore(std::filesystem::path root) : root_(std::move(root)) {}

  const std::filesystem::path& Root() const { return root_; }

  // Folder of a key ("Software\\qv\\Port1", '\\' or '/' between parts), empty
  // when the key names no folder below the root ("..", "." or nothing at all).
  std::filesystem::path KeyPath(std::string_view key) const;

  bool KeyExists(std::string_view key) const;
  std::error_code CreateKey(std::string_view key) const;

  // Nothing when the key or value is missing or unreadable.
  std::optional<TqvStoreValue> Read(std::string_view key, std::string_view name) const;
  // Creates the key when missing.
  std::error_code Write(std::string_view key, std::string_view name, const TqvStoreValue& value) const;
  std::error_code Delete(std::string_view key, std::string_view name) const;

 private:
  std::filesystem::path root_;
};

}  // namespace qv::platform

QV_API_END
