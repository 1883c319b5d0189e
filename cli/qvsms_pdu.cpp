// qvsms: the "pdu" commands, which need no modem: a PDU read into its
// fields, and a text written as the PDUs that would send it.
#include <CLI/CLI.hpp>

#include <chrono>
#include <memory>

#include "qvsms_cli.h"
#include "qvsms_message.h"
#include "qvsms_output.h"
#include "qvtext.h"

namespace qvsms {

namespace {

using qv::StringToUtf8;

struct TDecodeArgs {
  std::string hex;
};

struct TEncodeArgs {
  std::string to;
  std::string text;
  TOutgoingOptions out;
  int reference = -1;
};

int Decode(TContext& x, const TDecodeArgs& a) {
  TqvPduSms sms(true);
  sms.SetAsPDU(qv::Utf8ToString(a.hex));
  if (sms.Error()) throw TCliError(exUsage, "not a PDU: " + StringToUtf8(sms.ErrorReason()));
  if (x.Out().Json()) {
    x.Out().Object(PartJson(sms, std::nullopt));
    return exDone;
  }
  std::vector<std::vector<std::string>> rows = {
      {"type:", sms.Report() ? "status report" : sms.Incoming() ? "deliver" : "submit"},
      {"number:", StringToUtf8(sms.Phone())},
      {"service centre:", sms.ServiceCenter().empty() ? "-" : StringToUtf8(sms.ServiceCenter())},
      {"date:", HumanDate(sms.DateTime(), sms.GmtMinutes())},
      {"coding:", CodingName(sms.Coding())},
  };
  if (sms.PartCount() > 1)
    rows.push_back({"part:", std::to_string(sms.PartNumber()) + " of " + std::to_string(sms.PartCount()) +
                                 ", reference " + std::to_string(sms.PartId())});
  if (sms.Report())
    rows.push_back({"report:", "message " + std::to_string(sms.RefId()) + " " + ReportOutcome(sms.ReportStatus()) +
                                   " at " + HumanDate(sms.ReportDateTime(), sms.ReportGmtMinutes())});
  rows.push_back({"text:", StringToUtf8(sms.Text())});
  x.Out().Table(rows);
  return exDone;
}

int Encode(TContext& x, const TEncodeArgs& a) {
  TqvPduSms sms = BuildOutgoing(a.out, a.to, a.text);
  // As the component does when it sends: a reference that differs from run to run.
  const int ref = a.reference >= 0 ? a.reference
                                   : static_cast<int>(std::chrono::steady_clock::now().time_since_epoch().count() & 0xFF);
  sms.SetPartId(ref);
  TJson parts = TJson::array();
  for (int32_t n = 1; n <= sms.PartCount(); ++n) {
    sms.SetPartNumber(n);
    const std::string pdu = StringToUtf8(sms.AsPDU());
    // AT+CMGS counts the octets after the service centre field ("00").
    parts.push_back({{"number", n}, {"pdu", pdu}, {"length", static_cast<int>(pdu.size() / 2) - 1}});
  }
  if (x.Out().Json()) {
    x.Out().Object({{"to", a.to},
                    {"coding", CodingName(sms.Coding())},
                    {"reference", sms.PartCount() > 1 ? TJson(ref) : TJson(nullptr)},
                    {"parts", parts}});
    return exDone;
  }
  for (const auto& p : parts) x.Out().Line(p["pdu"].get<std::string>());
  return exDone;
}

}  // namespace

void AddPduCommands(TCommandTable& table) {
  auto decode = std::make_shared<TDecodeArgs>();
  table.push_back({"pdu decode", "Read a PDU (as AT+CMGR, AT+CMGL or +CMT give it) into its fields",
                   [decode](CLI::App& c) { c.add_option("hex", decode->hex, "The PDU in hex")->required(); },
                   [decode](TContext& x) { return Decode(x, *decode); }});
  auto encode = std::make_shared<TEncodeArgs>();
  table.push_back({"pdu encode", "Write a text as the SMS-SUBMIT PDUs that send it, one per part",
                   [encode](CLI::App& c) {
                     c.add_option("--to", encode->to, "The recipient")->required();
                     c.add_option("text", encode->text, "The text")->required();
                     AddOutgoingOptions(c, encode->out);
                     c.add_option("--reference", encode->reference, "The concatenation reference of a long text")
                         ->check(CLI::Range(0, 255));
                   },
                   [encode](TContext& x) { return Encode(x, *encode); }});
}

}  // namespace qvsms
