// Small text helpers shared by the modem's source files.
#pragma once

#include <cctype>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

namespace qvsim::detail {

inline std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// A decimal number with optional blanks around it; nullopt for anything else.
inline std::optional<int> Number(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  int v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return v;
}

inline std::string Quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

// Call lists and emergency numbers: the host reads them, never writes them.
inline bool IsCallList(std::string_view mem) {
  return mem == "DC" || mem == "LD" || mem == "RC" || mem == "MC" || mem == "EN";
}

// Status reports and cell broadcasts arrive from the network; nothing is written there.
inline bool IsReceiveOnly(std::string_view mem) { return mem == "SR" || mem == "BM"; }

}  // namespace qvsim::detail
