#include "qvwin32.h"

#include "platform/qvosinfo.h"
#include "qvtext.h"

namespace qv {
namespace {

const char* RootName(TqvRegRoot root) {
  switch (root) {
    case TqvRegRoot::rrCurrentUser: return "HKEY_CURRENT_USER";
    case TqvRegRoot::rrLocalMachine: return "HKEY_LOCAL_MACHINE";
    case TqvRegRoot::rrNone: break;
  }
  return nullptr;
}

}  // namespace

TqvRegRoot RegRootFromName(std::u16string_view name) {
  std::u16string upper(name);
  for (auto& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  if (upper == u"HKEY_CURRENT_USER" || upper == u"HKCU") return TqvRegRoot::rrCurrentUser;
  if (upper == u"HKEY_LOCAL_MACHINE" || upper == u"HKLM") return TqvRegRoot::rrLocalMachine;
  return TqvRegRoot::rrNone;
}

qv::platform::TqvUserStore RegStore(TqvRegRoot root) {
  const char* name = RootName(root);
  const auto base = qv::platform::UserConfigDir();
  if (!name || base.empty()) return qv::platform::TqvUserStore({});
  return qv::platform::TqvUserStore(base / "qvcommlib" / name);
}

std::u16string RegReadString(TqvRegRoot root, std::u16string_view key, std::u16string_view name) {
  const auto store = RegStore(root);
  if (store.Root().empty()) return {};
  const auto v = store.Read(StringToUtf8(key), StringToUtf8(name));
  if (!v) return {};
  if (v->Type == qv::platform::TqvStoreValueType::svString) return Utf8ToString(v->Data);
  std::u16string s(v->Data.size() / 2, u'\0');
  for (size_t i = 0; i < s.size(); ++i)
    s[i] = static_cast<char16_t>(static_cast<unsigned char>(v->Data[2 * i]) |
                                 static_cast<unsigned char>(v->Data[2 * i + 1]) << 8);
  if (!s.empty() && s.back() == u'\0') s.pop_back();
  return s;
}

bool RegWriteString(TqvRegRoot root, std::u16string_view key, std::u16string_view name,
                    std::u16string_view value) {
  const auto store = RegStore(root);
  if (store.Root().empty()) return false;
  return !store.Write(StringToUtf8(key), StringToUtf8(name),
                      {qv::platform::TqvStoreValueType::svString, StringToUtf8(value)});
}

std::optional<std::string> RegReadBinary(TqvRegRoot root, std::u16string_view key, std::u16string_view name) {
  const auto store = RegStore(root);
  if (store.Root().empty()) return std::nullopt;
  auto v = store.Read(StringToUtf8(key), StringToUtf8(name));
  if (!v || v->Type != qv::platform::TqvStoreValueType::svBinary) return std::nullopt;
  return std::move(v->Data);
}

bool RegWriteBinary(TqvRegRoot root, std::u16string_view key, std::u16string_view name,
                    std::string_view bytes) {
  const auto store = RegStore(root);
  if (store.Root().empty()) return false;
  return !store.Write(StringToUtf8(key), StringToUtf8(name),
                      {qv::platform::TqvStoreValueType::svBinary, std::string(bytes)});
}

bool RegKeyExists(TqvRegRoot root, std::u16string_view key) {
  const auto store = RegStore(root);
  return !store.Root().empty() && store.KeyExists(StringToUtf8(key));
}

TqvRegKey RegOpenKey(TqvRegRoot root, std::u16string_view key, bool create) {
  const auto store = RegStore(root);
  if (store.Root().empty()) return {};
  const std::string k = StringToUtf8(key);
  if (create ? static_cast<bool>(store.CreateKey(k)) : !store.KeyExists(k)) return {};
  return {root, std::u16string(key)};
}

std::u16string GetRegKeyPath(const TqvRegKey& key, TqvRegRoot* root) {
  const char* name = RootName(key.Root);
  if (!name) return {};
  if (root) {
    *root = key.Root;
    return key.Path;
  }
  return Utf8ToString(name) + u"\\" + key.Path;
}

}  // namespace qv
