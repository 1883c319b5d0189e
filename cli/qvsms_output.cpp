#include "qvsms_output.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "qvgsmpdu.h"

namespace qvsms {

namespace {

// Display width of UTF-8 text: code points, not bytes.
size_t Width(std::string_view s) {
  return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

}  // namespace

TOutput::TOutput(bool json, std::FILE* out, std::FILE* err) : fJson(json), fOut(out), fErr(err) {}

void TOutput::Flush() {
  if (std::fflush(fOut) != 0 || std::ferror(fOut)) fGood = false;
}

void TOutput::Object(const TJson& object) {
  // Text from a modem may hold bytes that are no UTF-8: shown replaced, never refused.
  const std::string line = object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(fOut, "%s\n", line.c_str());
  Flush();
}

void TOutput::Line(std::string_view text) {
  std::fprintf(fOut, "%.*s\n", static_cast<int>(text.size()), text.data());
  Flush();
}

void TOutput::Table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths;
  for (const auto& row : rows)
    for (size_t i = 0; i + 1 < row.size(); ++i) {
      if (widths.size() <= i) widths.resize(i + 1, 0);
      widths[i] = std::max(widths[i], Width(row[i]));
    }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - Width(row[i]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    Line(line);
  }
}

void TOutput::Error(int code, std::string_view message) {
  // One line, whatever the message holds.
  std::string one(message);
  std::replace_if(one.begin(), one.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  if (fJson) {
    const TJson e = {{"error", {{"code", code}, {"message", one}}}};
    std::fprintf(fErr, "%s\n", e.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else {
    std::fprintf(fErr, "qvsms: %s\n", one.c_str());
  }
  std::fflush(fErr);
}

std::unique_ptr<TProgress> TOutput::Progress(std::string_view what, int total) {
  const bool draw = !fJson && ::isatty(::fileno(fErr)) == 1;
  return std::make_unique<TProgress>(fErr, std::string(what), total, draw);
}

// ---------------------------------------------------------------------------

TProgress::TProgress(std::FILE* err, std::string what, int total, bool draw)
    : fErr(err), fWhat(std::move(what)), fTotal(std::max(total, 0)), fDraw(draw) {
  Draw();
}

TProgress::~TProgress() {
  if (!fDraw) return;
  std::fprintf(fErr, "\r\033[K");
  std::fflush(fErr);
}

void TProgress::Step() {
  ++fDone;
  Draw();
}

void TProgress::Draw() const {
  if (!fDraw) return;
  constexpr int kBar = 30;
  if (fTotal > 0) {
    const int filled = std::min(kBar, fDone * kBar / fTotal);
    std::fprintf(fErr, "\r%s [%s%s] %d/%d", fWhat.c_str(), std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(kBar - filled), ' ').c_str(), fDone, fTotal);
  } else {
    std::fprintf(fErr, "\r%s ... %d", fWhat.c_str(), fDone);
  }
  std::fflush(fErr);
}

// ---------------------------------------------------------------------------

namespace {

// With no zone, the date and time alone.
std::string DateText(double dateTime, std::optional<int> zoneMinutes, char separator) {
  const qv::TqvDateParts p = qv::PduDateParts(dateTime);
  char buf[64];
  const int n = std::snprintf(buf, sizeof buf, "%04d-%02d-%02d%c%02d:%02d:%02d", p.Year, p.Month, p.Day, separator, p.Hour,
                        p.Minute, p.Second);
  if (zoneMinutes) {
    const int zone = std::abs(*zoneMinutes);
    std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%c%02d:%02d", *zoneMinutes < 0 ? '-' : '+',
                  zone / 60, zone % 60);
  }
  return buf;
}

}  // namespace

TJson IsoDate(double dateTime, int zoneMinutes) {
  if (dateTime == 0) return nullptr;
  return DateText(dateTime, zoneMinutes, 'T');
}

TJson IsoLocalDate(double dateTime) {
  if (dateTime == 0) return nullptr;
  return DateText(dateTime, std::nullopt, 'T');
}

std::string HumanDate(double dateTime, int zoneMinutes) {
  return dateTime == 0 ? std::string("-") : DateText(dateTime, zoneMinutes, ' ');
}

}  // namespace qvsms
