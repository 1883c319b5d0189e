// Registry-style access to the per-user value store: a root, a key path
// ("Software\\qv\\Port1") and a value name. Keys are folders below
// $XDG_CONFIG_HOME/qvcommlib/<root name>; values are written atomically.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/qvuserstore.h"
#include "qvapi.h"

QV_API_BEGIN

namespace qv {

enum class TqvRegRoot : uint32_t {
  rrNone = 0,
  rrCurrentUser = 0x80000001,
  rrLocalMachine = 0x80000002,
};
inline constexpr TqvRegRoot HKEY_CURRENT_USER = TqvRegRoot::rrCurrentUser;
inline constexpr TqvRegRoot HKEY_LOCAL_MACHINE = TqvRegRoot::rrLocalMachine;

// A root by name: "HKEY_CURRENT_USER"/"HKCU", "HKEY_LOCAL_MACHINE"/"HKLM"
// (letter case ignored); rrNone for anything else.
TqvRegRoot RegRootFromName(std::u16string_view name);

// An open key: its root and its path below the root.
struct TqvRegKey {
  TqvRegRoot Root = TqvRegRoot::rrNone;
  std::u16string Path;
  bool Valid() const { return Root != TqvRegRoot::rrNone; }
};

// The store behind a root; its folder is empty for rrNone or when no home
// folder is known, and every operation on it then fails.
qv::platform::TqvUserStore RegStore(TqvRegRoot root);

// The string value (a binary value is read as UTF-16LE, an odd byte dropped,
// one trailing NUL removed); empty on any failure.
std::u16string RegReadString(TqvRegRoot root, std::u16string_view key, std::u16string_view name);
bool RegWriteString(TqvRegRoot root, std::u16string_view key, std::u16string_view name,
                    std::u16string_view value);

// A binary value's bytes; nothing when the key or value is missing.
std::optional<std::string> RegReadBinary(TqvRegRoot root, std::u16string_view key, std::u16string_view name);
// Creates the key when missing.
bool RegWriteBinary(TqvRegRoot root, std::u16string_view key, std::u16string_view name,
                    std::string_view bytes);

bool RegKeyExists(TqvRegRoot root, std::u16string_view key);
// Opens a key, creating it when `create` is set; an invalid key on failure.
TqvRegKey RegOpenKey(TqvRegRoot root, std::u16string_view key, bool create);

// The key's full name: "HKEY_CURRENT_USER\\path", or, when `root` is given,
// the path alone with the root stored there. Empty for an invalid key.
std::u16string GetRegKeyPath(const TqvRegKey& key, TqvRegRoot* root = nullptr);

}  // namespace qv

QV_API_END
