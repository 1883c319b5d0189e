// Phone book records kept by the GSM component: TqvPhoneRecord (one entry)
// and TqvPhoneBook (an owning, ordered list of them) with its text file form.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qvcomponent.h"
#include "qvapi.h"

QV_API_BEGIN

enum class TqvPhoneBookType { pltMem, pltSim, pltDialed, pltReceived, pltMissed, pltFixedSim, pltUnknown };
enum class TqvPhoneRecordType { prtUnknown, prtHome, prtWork, prtMobile, prtFax, prtOther };

class TqvPhoneBook;

class TqvPhoneRecord : public TObject {
 public:
  int32_t Index() const { return fIndex; }
  const std::u16string& Phone() const { return fPhone; }
  void SetPhone(std::u16string v) { fPhone = std::move(v); }
  const std::u16string& Caption() const { return fCaption; }
  void SetCaption(std::u16string v) { fCaption = std::move(v); }
  double DateTime() const { return fDateTime; }
  void SetDateTime(double v) { fDateTime = v; }
  TqvPhoneBookType ItemType() const { return fType; }
  void SetItemType(TqvPhoneBookType v) { fType = v; }
  TqvPhoneRecordType PhoneType() const { return fPhoneType; }

  // Copies caption, phone, type, date and phone type; the index stays.
  void Assign(const TqvPhoneRecord* aSource);
  // Whole-text wildcard match ('*' any run, '?' one character) of the phone
  // and then the caption; an empty pattern never matches.
  bool IsMatchPattern(std::u16string_view aPattern, bool flCaseSens, bool flPhone, bool flCaption) const;

 private:
  friend class TqvPhoneBook;
  int32_t fIndex = 0;
  std::u16string fCaption;
  std::u16string fPhone;
  TqvPhoneBookType fType = TqvPhoneBookType::pltMem;
  double fDateTime = 0;
  TqvPhoneRecordType fPhoneType = TqvPhoneRecordType::prtUnknown;
};

class TqvPhoneBook : public TObject {
 public:
  TqvPhoneBook() = default;
  ~TqvPhoneBook() override = default;

  // aIndex -1: the first available index (see GetFirstAvailableIndex), inserted
  // in order and counted in Used; otherwise appended as given.
  TqvPhoneRecord* AddRecord(int32_t aIndex, std::u16string_view aPhone, std::u16string_view aCaption);
  // Out-of-range positions throw EqvError ("List index out of bounds").
  void Delete(int Index);
  void DeleteRecord(const TqvPhoneRecord* aRec);
  virtual void Clear();
  void Assign(const TqvPhoneBook* aSource);
  // The highest free index of the first gap in the (index-sorted) list, and
  // the list position where a record with it belongs.
  int32_t GetFirstAvailableIndex(int& aListIndex) const;
  TqvPhoneRecord* GetPhoneItem(int Index) const;
  int Count() const { return static_cast<int>(fItems.size()); }
  int IndexOf(const TqvPhoneRecord* aRec) const;

  // One line per record: "%u,%u,\"%s\",\"%s\"\r\n" (index, type, phone, caption).
  // Failures are silent: nothing written, or the book left unchanged on load.
  virtual void SaveToFile(const std::string& aFileName) const;
  virtual void LoadFromFile(const std::string& aFileName);

  int32_t Total() const { return fTotal; }
  void SetTotal(int32_t v) { fTotal = v; }
  int32_t Used() const { return fUsed; }
  void SetUsed(int32_t v) { fUsed = v; }
  int32_t MaxNumberLength() const { return fMaxNumLen; }
  void SetMaxNumberLength(int32_t v) { fMaxNumLen = v; }
  int32_t MaxCaptionLength() const { return fMaxTxtLen; }
  void SetMaxCaptionLength(int32_t v) { fMaxTxtLen = v; }
  bool Valid() const { return fValid; }
  void SetValid(bool v) { fValid = v; }
  TqvPhoneBookType TypeList() const { return fType; }
  void SetTypeList(TqvPhoneBookType v) { fType = v; }

 private:
  std::vector<std::unique_ptr<TqvPhoneRecord>> fItems;
  int32_t fUsed = 0;
  int32_t fTotal = 0;
  int32_t fMaxNumLen = 0;
  int32_t fMaxTxtLen = 0;
  bool fValid = false;
  TqvPhoneBookType fType = TqvPhoneBookType::pltMem;
};

QV_API_END
