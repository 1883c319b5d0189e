// qvsms: the phone book: list, export to and import from the library's
// phone-book file.
#include <CLI/CLI.hpp>

#include <fstream>
#include <memory>

#include "qvsms_cli.h"
#include "qvsms_modem.h"
#include "qvsms_output.h"
#include "qvtext.h"

namespace qvsms {

namespace {

using qv::StringToUtf8;

struct TBookArgs {
  std::string memory = "SM";
  std::string file;
};

// Selects the phone book the driver calls `name` (letter case ignored); a
// usage error naming the driver's phone books when it has none of that name.
void SelectMemory(TCliGsm& g, const std::string& name) {
  std::string names;
  for (int t = 0; t <= static_cast<int>(TqvPhoneBookType::pltUnknown); ++t) {
    g.SetPhoneListType(static_cast<TqvPhoneBookType>(t));
    const std::u16string mem = g.PhoneBookMemName();
    if (mem == u"??") continue;
    if (qv::SameTextNoCase(mem, qv::Utf8ToString(name))) return;
    names += (names.empty() ? "" : ", ") + StringToUtf8(mem);
  }
  throw TCliError(exUsage, "the driver has no phone book called \"" + name + "\"; it has: " + names);
}

// Reads the whole phone book into the component's PhoneList; a progress bar
// counts the slots on a terminal.
TqvPhoneBook& ReadBook(TContext& x, TModem& m, const std::string& memory) {
  TCliGsm& g = m.Gsm();
  SelectMemory(g, memory);
  g.UpdatePhoneListState();
  if (!g.LastError().empty()) m.Fail("the phone book " + memory + " could not be selected");
  const auto bar = x.Out().Progress("reading " + memory, std::max(0, g.PhoneList()->Total()));
  bool finished = false;
  g.OnPhoneListProgress = [&](TObject*, bool&) { bar->Step(); };
  g.OnPhoneListFinish = [&](TObject*) { finished = true; };
  g.PhoneBookRead();
  const bool started = g.LastError().empty();
  const bool done = started && m.PumpUntil([&] { return finished; }, m.Timeout() * (g.PhoneList()->Total() + 10));
  g.OnPhoneListProgress = nullptr;
  g.OnPhoneListFinish = nullptr;
  if (!done || !g.LastError().empty()) m.Fail("the phone book " + memory + " could not be read");
  return *g.PhoneList();
}

TJson RecordsJson(const TqvPhoneBook& book) {
  TJson list = TJson::array();
  for (int i = 0; i < book.Count(); ++i) {
    const TqvPhoneRecord* r = book.GetPhoneItem(i);
    TJson rec = {{"index", r->Index()}, {"number", StringToUtf8(r->Phone())}, {"name", StringToUtf8(r->Caption())}};
    if (r->DateTime() != 0) rec["date"] = IsoLocalDate(r->DateTime());
    list.push_back(std::move(rec));
  }
  return list;
}

int List(TContext& x, const TBookArgs& a) {
  TModem& m = x.Modem();
  const TqvPhoneBook& book = ReadBook(x, m, a.memory);
  if (x.Out().Json()) {
    x.Out().Object({{"memory", a.memory}, {"used", book.Used()}, {"total", book.Total()}, {"records", RecordsJson(book)}});
    return exDone;
  }
  std::vector<std::vector<std::string>> rows{{"INDEX", "NUMBER", "NAME"}};
  for (int i = 0; i < book.Count(); ++i) {
    const TqvPhoneRecord* r = book.GetPhoneItem(i);
    rows.push_back({std::to_string(r->Index()), StringToUtf8(r->Phone()), StringToUtf8(r->Caption())});
  }
  if (book.Count() == 0)
    x.Out().Line("the phone book " + a.memory + " is empty");
  else
    x.Out().Table(rows);
  return exDone;
}

// The file's writer and reader say nothing of failures: the file is tried first.
void CheckWritable(const std::string& file) {
  if (!std::ofstream(file, std::ios::app)) throw TCliError(exUsage, "cannot write " + file);
}

int Export(TContext& x, const TBookArgs& a) {
  CheckWritable(a.file);  // before the modem is touched
  TModem& m = x.Modem();
  const TqvPhoneBook& book = ReadBook(x, m, a.memory);
  book.SaveToFile(a.file);
  if (x.Out().Json())
    x.Out().Object({{"memory", a.memory}, {"file", a.file}, {"records", book.Count()}});
  else
    x.Out().Line(std::to_string(book.Count()) + " records of " + a.memory + " written to " + a.file);
  return exDone;
}

int Import(TContext& x, const TBookArgs& a) {
  if (!std::ifstream(a.file)) throw TCliError(exUsage, "cannot read " + a.file);
  TqvPhoneBook file;
  file.LoadFromFile(a.file);
  TModem& m = x.Modem();
  TCliGsm& g = m.Gsm();
  SelectMemory(g, a.memory);
  const auto bar = x.Out().Progress("writing " + a.memory, file.Count());
  for (int i = 0; i < file.Count(); ++i) {
    const TqvPhoneRecord* r = file.GetPhoneItem(i);
    if (!g.PhoneBookWrite(r->Phone(), r->Caption(), r->Index()))
      m.Fail("record " + std::to_string(r->Index()) + " (" + StringToUtf8(r->Phone()) + ") was not written");
    bar->Step();
  }
  if (x.Out().Json())
    x.Out().Object({{"memory", a.memory}, {"file", a.file}, {"records", file.Count()}});
  else
    x.Out().Line(std::to_string(file.Count()) + " records of " + a.file + " written to " + a.memory);
  return exDone;
}

void AddMemory(CLI::App& c, TBookArgs& a) {
  c.add_option("--memory", a.memory, "The phone book: SM (the SIM), ME (the phone), or another the driver names")
      ->capture_default_str();
}

}  // namespace

void AddBookCommands(TCommandTable& table) {
  auto list = std::make_shared<TBookArgs>();
  table.push_back({"phonebook list", "Read a phone book and print its records",
                   [list](CLI::App& c) { AddMemory(c, *list); }, [list](TContext& x) { return List(x, *list); }});
  auto out = std::make_shared<TBookArgs>();
  table.push_back({"phonebook export", "Read a phone book into a phone-book file",
                   [out](CLI::App& c) {
                     c.add_option("file", out->file, "The file to write")->required();
                     AddMemory(c, *out);
                   },
                   [out](TContext& x) { return Export(x, *out); }});
  auto in = std::make_shared<TBookArgs>();
  table.push_back({"phonebook import", "Write the records of a phone-book file into a phone book, each at its index",
                   [in](CLI::App& c) {
                     c.add_option("file", in->file, "The file to read")->required()->check(CLI::ExistingFile);
                     AddMemory(c, *in);
                   },
                   [in](TContext& x) { return Import(x, *in); }});
}

}  // namespace qvsms
