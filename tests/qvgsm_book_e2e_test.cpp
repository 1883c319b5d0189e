// End to end: the phone book of TqvGsm on the modem simulator, and the same
// phone book read by Debian's gammu.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "qvgsmrig.h"

using namespace qvgsmtest;
using qv::StringToUtf8;

namespace {

using TRecords = std::map<int, std::pair<std::string, std::string>>;  // index -> number, name

TRecords Records(TqvGsm& gsm) {
  TRecords r;
  TqvPhoneBook& book = *gsm.PhoneList();
  for (int i = 0; i < book.Count(); ++i) {
    const TqvPhoneRecord* rec = book.GetPhoneItem(i);
    r[rec->Index()] = {StringToUtf8(rec->Phone()), StringToUtf8(rec->Caption())};
  }
  return r;
}

// Reads the book of PhoneListType; false when OnPhoneListFinish did not come.
bool ReadBook(TGsmRig& rig, std::vector<std::string>* errors = nullptr) {
  bool finished = false;
  rig.gsm->OnPhoneListFinish = [&](TObject*) { finished = true; };
  rig.gsm->OnGsmError = [&](TObject*, const std::u16string& s) {
    if (errors) errors->push_back(StringToUtf8(s));
  };
  rig.gsm->PhoneBookRead();
  return PumpUntil([&] { return finished; }, 20000);
}

// "Memory SM, Location 3" followed by its "General number" and "Name" lines.
TRecords GammuRecords(const std::string& output) {
  TRecords r;
  int location = 0;
  auto quoted = [](const std::string& line) {
    const size_t a = line.find('"'), b = line.rfind('"');
    return a == std::string::npos || b <= a ? std::string() : line.substr(a + 1, b - a - 1);
  };
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Memory ", 0) == 0) location = std::stoi(line.substr(line.find("Location ") + 9));
    if (line.rfind("General number", 0) == 0) r[location].first = quoted(line);
    if (line.rfind("Name", 0) == 0) r[location].second = quoted(line);
  }
  return r;
}

const TRecords kSimBook = {
    {1, {"+4930111", "Anna"}},
    {3, {"+4930333", "J\u00FCrgen \u20AC"}},
    {7, {"0301234", "\u0411\u043E\u0440\u0438\u0441 \"B\", jr"}},
};

void FillSim(qvsim::Simulator& sim, const TRecords& records) {
  sim.WithModem([&](qvsim::Modem& m) {
    for (const auto& [index, entry] : records)
      m.WritePhoneBook("SM", index, {entry.first, entry.first.starts_with('+') ? 145 : 129, entry.second, "", 0});
    return 0;
  });
}

std::string Charset(TGsmRig& rig) {
  return rig.sim->WithModem([](qvsim::Modem& m) { return m.Charset(); });
}

}  // namespace

// Slots with gaps, names that need UCS2: gammu and the library read the same
// records from the same phone, and the phone is left in its own character set.
TEST(GsmBookE2E, ReadsWhatGammuReads) {
  ASSERT_TRUE(TGammu::Installed()) << "gammu is missing: run scripts/setup-debian.sh";
  TGammu gammu;
  TGsmRig rig(TRigOptions().Persona("nokia6230i").Timeout(2000).Deferred().Link(gammu.Link()));
  FillSim(*rig.sim, kSimBook);
  const std::string out = gammu.Run("getallmemory SM");
  EXPECT_EQ(GammuRecords(out), kSimBook) << out;

  ASSERT_TRUE(rig.Open());
  rig.gsm->SetPhoneListType(TqvPhoneBookType::pltSim);
  int progress = 0;
  rig.gsm->OnPhoneListProgress = [&](TObject*, bool&) { ++progress; };
  std::vector<std::string> errors;
  ASSERT_TRUE(ReadBook(rig, &errors)) << rig.log.All();
  EXPECT_EQ(Records(*rig.gsm), kSimBook);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(progress, 7) << "records 1 to 7: then the three in use are found";
  EXPECT_EQ(rig.gsm->PhoneList()->Used(), 3);
  EXPECT_EQ(rig.gsm->PhoneList()->Total(), 250);
  EXPECT_EQ(rig.gsm->PhoneList()->MaxCaptionLength(), 14);
  EXPECT_EQ(Charset(rig), "PCCP437");
  EXPECT_TRUE(rig.log.Grep("Timeout!!!").empty()) << rig.log.All();
}

// However a reading ends, the phone leaves UCS2: after the last record, a
// break, an empty slot answered with ERROR, and a failing record.
TEST(GsmBookE2E, EveryEndRestoresTheCharacterSet) {
  struct TCase {
    const char* name;
    const char* failLine;  // a record line that fails
    const char* result;
    bool breakFirst;
    std::vector<int> records;
    bool error;
  };
  const TCase cases[] = {
      {"whole", "", "", false, {1, 3, 7}, false},
      {"break after the first", "", "", true, {1}, false},
      {"empty slot answered with ERROR", "+CPBR=2", "ERROR", false, {1, 3, 7}, false},
      {"ERROR for a record", "+CPBR=3", "ERROR", false, {1, 7}, false},
      {"failing record", "+CPBR=3", "+CME ERROR: 21", false, {1}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TGsmRig rig(TRigOptions().Persona("nokia6230i").Timeout(2000));
    FillSim(*rig.sim, kSimBook);
    if (*c.failLine) rig.sim->WithModem([&](qvsim::Modem& m) { m.FailLine(c.failLine, c.result); });
    rig.gsm->SetPhoneListType(TqvPhoneBookType::pltSim);
    rig.gsm->OnPhoneListProgress = [&](TObject*, bool& flBreak) { flBreak = flBreak || c.breakFirst; };
    std::vector<std::string> errors;
    ASSERT_TRUE(ReadBook(rig, &errors)) << rig.log.All();
    std::vector<int> got;
    for (const auto& [index, entry] : Records(*rig.gsm)) got.push_back(index);
    EXPECT_EQ(got, c.records);
    EXPECT_EQ(errors.size(), c.error ? 1u : 0u);
    EXPECT_EQ(Charset(rig), "PCCP437");
    const std::string sent = rig.sim->GetTranscript().ToModem();
    EXPECT_TRUE(sent.ends_with("AT+CSCS=\"PCCP437\"\r")) << sent.substr(sent.size() - 60);
    EXPECT_FALSE(rig.gsm->IsBusy());
  }
}

// A call list with its dates (Samsung: index, kind, number, type, name and
// date, all UCS2 while it is selected).
TEST(GsmBookE2E, ReadsCallListsWithTheirDates) {
  TGsmRig rig(TRigOptions().Persona("samsung_sgh_c120").Timeout(2000));
  rig.sim->WithModem([](qvsim::Modem& m) {
    m.WritePhoneBook("DC", 1, {"+4930111", 145, "Anna", "2008/03/25,14:30", 0});
    return m.WritePhoneBook("DC", 2, {"0301234", 129, "", "2024/01/02,03:04", 0});
  });
  rig.gsm->SetPhoneListType(TqvPhoneBookType::pltDialed);
  ASSERT_TRUE(ReadBook(rig)) << rig.log.All();
  ASSERT_EQ(rig.gsm->PhoneList()->Count(), 2);
  const TqvPhoneRecord* first = rig.gsm->PhoneList()->GetPhoneItem(0);
  EXPECT_EQ(StringToUtf8(first->Phone()), "+4930111");
  EXPECT_EQ(StringToUtf8(first->Caption()), "Anna");
  EXPECT_EQ(first->ItemType(), TqvPhoneBookType::pltDialed);
  EXPECT_DOUBLE_EQ(first->DateTime(), qv::PduDateTime({2008, 3, 25, 14, 30, 0, 0}));
  EXPECT_DOUBLE_EQ(rig.gsm->PhoneList()->GetPhoneItem(1)->DateTime(), qv::PduDateTime({2024, 1, 2, 3, 4, 0, 0}));
  EXPECT_EQ(Charset(rig), "GSM");
}

// Writing and deleting through the phone's UCS2; what the phone refuses
// leaves it in its own character set too.
TEST(GsmBookE2E, WritesAndDeletesEntries) {
  TGsmRig rig(TRigOptions().Persona("nokia6230i").Timeout(2000));
  TqvGsm& gsm = *rig.gsm;
  gsm.SetPhoneListType(TqvPhoneBookType::pltSim);
  const std::u16string name = qv::Utf8ToString("\u0411\u043E\u0440\u0438\u0441 \"B\"");
  ASSERT_TRUE(gsm.PhoneBookWrite(u"+4930555", name, 5)) << StringToUtf8(gsm.LastError());
  auto book = [&] { return rig.sim->WithModem([](qvsim::Modem& m) { return m.PhoneBook("SM"); }); };
  ASSERT_EQ(book().count(5), 1u);
  EXPECT_EQ(book().at(5).name, StringToUtf8(name));
  EXPECT_EQ(book().at(5).number, "+4930555");
  EXPECT_EQ(Charset(rig), "PCCP437");

  EXPECT_FALSE(gsm.PhoneBookWrite(u"+4930555", u"A name far too long for it", 6));
  EXPECT_EQ(book().count(6), 0u);
  EXPECT_EQ(Charset(rig), "PCCP437") << "restored after the refused line";

  ASSERT_TRUE(ReadBook(rig));
  EXPECT_EQ(Records(gsm), (TRecords{{5, {"+4930555", StringToUtf8(name)}}}));
  EXPECT_TRUE(gsm.PhoneBookDel(5));
  EXPECT_TRUE(book().empty());
  gsm.UpdatePhoneListState();
  EXPECT_EQ(gsm.PhoneList()->Used(), 0);
  EXPECT_EQ(gsm.PhoneList()->Total(), 250);
  EXPECT_EQ(gsm.PhoneList()->MaxNumberLength(), 40);
}
