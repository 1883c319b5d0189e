#include "qvsms_message.h"

#include <CLI/CLI.hpp>

#include "qvgsm.h"
#include "qvsms_cli.h"
#include "qvtext.h"

namespace qvsms {

using qv::StringToUtf8;

namespace {

TJson OrNull(const std::u16string& s) { return s.empty() ? TJson(nullptr) : TJson(StringToUtf8(s)); }

const char* TypeName(const TqvPduSms& sms) {
  if (sms.Report()) return "report";
  return sms.Incoming() ? "deliver" : "submit";
}

TJson StatusName(TqvPduStatus s) {
  switch (s) {
    case TqvPduStatus::psRecUnread: return "unread";
    case TqvPduStatus::psRecRead: return "read";
    case TqvPduStatus::psStoUnsent: return "unsent";
    case TqvPduStatus::psStoSent: return "sent";
    default: return nullptr;
  }
}

TJson ClassNumber(TqvPduClass c) {
  if (c == TqvPduClass::mcNone) return nullptr;
  return static_cast<int>(c) - 1;
}

// The fields every record has, in the order they are printed.
void RecordFields(TJson& j, const TqvPduSms& sms, const std::u16string& text) {
  j["type"] = TypeName(sms);
  j["status"] = StatusName(sms.StoredStatus());
  j["number"] = OrNull(sms.Phone());
  j["smsc"] = OrNull(sms.ServiceCenter());
  j["date"] = IsoDate(sms.DateTime(), sms.GmtMinutes());
  j["text"] = StringToUtf8(text);
  j["coding"] = CodingName(sms.Coding());
  j["class"] = ClassNumber(sms.MessageClass());
  j["ports"] = sms.PortType() == TqvPduPort::ppNone
                   ? TJson(nullptr)
                   : TJson{{"source", sms.PortSrc()}, {"destination", sms.PortDest()}};
  j["report"] = sms.Report() ? TJson{{"reference", sms.RefId()},
                                     {"outcome", ReportOutcome(sms.ReportStatus())},
                                     {"status", sms.ReportStatus()},
                                     {"discharged", IsoDate(sms.ReportDateTime(), sms.ReportGmtMinutes())}}
                             : TJson(nullptr);
  j["error"] = sms.Error() ? TJson(StringToUtf8(sms.ErrorReason())) : TJson(nullptr);
}

std::string OneLine(std::u16string_view text) {
  std::string s = StringToUtf8(text);
  for (size_t p = 0; (p = s.find_first_of("\r\n", p)) != std::string::npos;) s.replace(p, 1, " ");
  return s;
}

std::string RowText(const TqvPduSms& sms, const std::u16string& text) {
  if (sms.Error()) return "(not readable: " + StringToUtf8(sms.ErrorReason()) + ")";
  if (sms.Report())
    return "report on message " + std::to_string(sms.RefId()) + ": " + ReportOutcome(sms.ReportStatus());
  return OneLine(text);
}

std::string StatusText(const TqvPduSms& sms) {
  const TJson s = StatusName(sms.StoredStatus());
  return s.is_null() ? std::string("-") : s.get<std::string>();
}

}  // namespace

std::string ReportOutcome(uint8_t status) {
  if (status < 0x20) return "delivered";
  if (status < 0x40) return "pending";
  return "failed";
}

std::string CodingName(TqvPduCoding coding) {
  switch (coding) {
    case TqvPduCoding::pc8bit: return "8bit";
    case TqvPduCoding::pc16bit: return "ucs2";
    default: return "gsm7";
  }
}

TJson MessageJson(const TqvSmsMessage& m) {
  TJson j;
  j["memory"] = OrNull(m.Parts.front().Memory);
  TJson indexes = TJson::array();
  for (const auto& p : m.Parts) indexes.push_back(p.Index);
  j["indexes"] = indexes;
  RecordFields(j, m.First, m.Text);
  j["part_count"] = m.PartCount;
  j["reference"] = m.ReferenceBits ? TJson(m.Reference) : TJson(nullptr);
  j["reference_bits"] = m.ReferenceBits ? TJson(m.ReferenceBits) : TJson(nullptr);
  j["complete"] = m.Complete();
  j["missing"] = m.Missing;
  TJson copies = TJson::array();
  for (const auto& d : m.Duplicates) copies.push_back({{"part", d.Number}, {"memory", OrNull(d.Memory)}, {"index", d.Index}});
  j["duplicates"] = copies;
  return j;
}

TJson PartJson(const TqvPduSms& sms, const std::optional<TqvSmsPartPlace>& place) {
  TJson j;
  if (place) {
    j["memory"] = OrNull(place->Memory);
    j["index"] = place->Index;
  }
  RecordFields(j, sms, sms.Text());
  j["part"] = sms.PartCount() > 1 ? TJson{{"number", sms.PartNumber()},
                                          {"count", sms.PartCount()},
                                          {"reference", sms.PartId()},
                                          {"reference_bits", sms.PartIdBits()}}
                                  : TJson(nullptr);
  return j;
}

std::vector<std::string> MessageHeader() { return {"INDEX", "STATUS", "NUMBER", "DATE", "TEXT"}; }

std::vector<std::string> MessageRow(const TqvSmsMessage& m) {
  std::string indexes;
  for (const auto& p : m.Parts) indexes += (indexes.empty() ? "" : ",") + std::to_string(p.Index);
  return {indexes, StatusText(m.First), StringToUtf8(m.First.Phone()),
          HumanDate(m.First.DateTime(), m.First.GmtMinutes()), RowText(m.First, m.Text)};
}

std::vector<std::string> PartRow(const TqvPduSms& sms, int32_t index) {
  std::string text = RowText(sms, sms.Text());
  if (sms.PartCount() > 1)
    text = "(part " + std::to_string(sms.PartNumber()) + "/" + std::to_string(sms.PartCount()) + ", ref " +
           std::to_string(sms.PartId()) + ") " + text;
  return {std::to_string(index), StatusText(sms), StringToUtf8(sms.Phone()), HumanDate(sms.DateTime(), sms.GmtMinutes()),
          text};
}

// ---------------------------------------------------------------------------
// Outgoing messages

void AddOutgoingOptions(CLI::App& app, TOutgoingOptions& o) {
  app.add_flag("--unicode", o.unicode, "Send the text in UCS2 even when the GSM alphabet would do");
  app.add_flag("--flash", o.flash, "A flash message (class 0), shown at once and not stored");
  app.add_option("--class", o.messageClass, "The message class, 0 to 3")->check(CLI::Range(0, 3))->excludes("--flash");
  app.add_option("--validity", o.validity, "How long the network keeps trying: 30m, 12h, 2d, 1w (default 4d)")
      ->type_name("DURATION");
  app.add_flag("--report", o.report, "Ask for a delivery report");
}

double ValidityDays(const std::string& text) {
  size_t used = 0;
  double v = 0;
  try {
    v = std::stod(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  const std::string unit = text.substr(used);
  const double perDay = unit == "m" ? 1440 : unit == "h" ? 24 : unit == "d" ? 1 : unit == "w" ? 1.0 / 7 : 0;
  if (used == 0 || perDay == 0 || !(v > 0))
    throw TCliError(exUsage, "--validity wants a duration such as 30m, 12h, 2d or 1w, not \"" + text + "\"");
  return v / perDay;
}

TqvPduSms BuildOutgoing(const TOutgoingOptions& o, const std::string& number, const std::string& textUtf8) {
  const std::u16string phone = qv::Utf8ToString(number);
  if (const std::u16string why = qv::gsm::CheckValue(qv::gsm::TValueKind::vkPhone, phone); !why.empty())
    throw TCliError(exUsage, "\"" + number + "\": " + StringToUtf8(why));
  TqvPduSms sms(false);
  sms.SetPhone(phone);
  sms.SetAutoCutText(true);
  if (o.unicode) sms.SetCoding(TqvPduCoding::pc16bit);
  if (o.flash) sms.SetAlert(true);
  if (o.messageClass >= 0) sms.SetMessageClass(static_cast<TqvPduClass>(o.messageClass + 1));
  if (!o.validity.empty()) sms.SetTTLValue(ValidityDays(o.validity));
  sms.SetConfirm(o.report);
  sms.SetText(qv::Utf8ToString(textUtf8));
  if (sms.Error()) throw TCliError(exUsage, "the text is too long: it needs more than 255 parts");
  return sms;
}

}  // namespace qvsms
