// Personas of the modem simulator: what each simulated model answers to identification
// commands and which stores, character sets and vendor commands it has.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qvsim {

struct MemoryInfo {
  std::string name;  // "SM", "ME", "SR", "ON"...
  int capacity = 0;
};

// One line a module sends after it started, `delayMs` after the line before. The lines marked
// simReady and smsReady end the SIM's and the message service's start: until then the module
// answers "SIM busy" (+CME ERROR: 14, +CMS ERROR: 314). An empty text only marks the time.
struct StartupLine {
  std::string text;
  int delayMs = 0;
  bool simReady = false;
  bool smsReady = false;
};

struct Persona {
  std::string id;       // short name, such as "siemens_mc35i"
  std::string caption;  // the model's caption, such as "Siemens M35i[t]"
  std::string manufacturer;  // +CGMI
  std::string model;         // +CGMM
  std::string revision;      // +CGMR
  // ATI texts by number (ATI is ATI0); a number without an entry answers ERROR.
  std::vector<std::pair<int, std::string>> identification;
  std::vector<MemoryInfo> smsMemories;    // first one is the default of all three
  std::vector<MemoryInfo> phoneBooks;     // first one is selected after reset
  std::vector<std::string> charsets;      // first one is selected after reset
  std::vector<std::string> vendorCommands;  // such as "^SIND"; answered with OK
  bool battery = true;         // answers +CBC
  bool ussdPacked = false;     // USSD strings travel as packed 7-bit hex with scheme 15
  bool ucs2Numbers = false;    // phone book numbers are UCS2 hex too when +CSCS is UCS2
  bool alpha80Names = false;   // GSM-set names "80"+UCS2 hex are SIM alpha UCS2 names
  // Call lists read as "+CPBR: index,kind,number,type,name,date" (kind 0 dialled, 1 received,
  // 2 missed); the text fields are UCS2 hex while UCS2 is selected.
  std::vector<std::string> datedBooks;
  // Announces messages stored in the phone (ME, MT) with indexes counted after the SIM's
  // capacity, as phones that number the SIM's slots first do: "+CMTI: "ME",21" for slot 1.
  bool phoneIndexAfterSim = false;
  // What the module sends when it (re)starts, in order; empty: ready at once, silently.
  std::vector<StartupLine> startup;
  int maxNumberLength = 40;
  int maxNameLength = 14;

  // The ATI text for number n, or nullptr.
  const std::string* Identification(int n) const;
};

// All personas: one for each model driver, in the order of the built-in drivers, then "generic"
// (a plain 3GPP modem, the generic driver's).
const std::vector<Persona>& Personas();

// Finds a persona by id or caption, letter case and punctuation ignored; nullptr when unknown.
const Persona* FindPersona(std::string_view name);

}  // namespace qvsim
