// qvsms: messages as the tool shows them (JSON objects, rows of text) and
// outgoing messages as the options describe them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "qvgsmpdu.h"
#include "qvsms_output.h"
#include "qvsmsassembler.h"

namespace CLI {
class App;
}

namespace qvsms {

// A whole (reassembled) message: the record's fields, its places and parts.
TJson MessageJson(const TqvSmsMessage& m);
// One stored slot or PDU as it is (`place` absent for a PDU on the command line).
TJson PartJson(const TqvPduSms& sms, const std::optional<TqvSmsPartPlace>& place);

// Columns for people: indexes, status, number, date, text.
std::vector<std::string> MessageRow(const TqvSmsMessage& m);
std::vector<std::string> PartRow(const TqvPduSms& sms, int32_t index);
std::vector<std::string> MessageHeader();

// "delivered", "pending" or "failed", from a report's TP-ST.
std::string ReportOutcome(uint8_t status);

// What an outgoing message looks like, from the options of "sms send" and
// "pdu encode".
struct TOutgoingOptions {
  bool unicode = false;
  bool flash = false;
  int messageClass = -1;
  std::string validity;
  bool report = false;
};
void AddOutgoingOptions(CLI::App& app, TOutgoingOptions& o);
// The record to send, cut into parts; a usage error when the options or the
// number do not make one.
TqvPduSms BuildOutgoing(const TOutgoingOptions& o, const std::string& number, const std::string& textUtf8);
// "30m", "12h", "2d", "1w" in days; a usage error for anything else.
double ValidityDays(const std::string& text);
std::string CodingName(TqvPduCoding coding);

}  // namespace qvsms
