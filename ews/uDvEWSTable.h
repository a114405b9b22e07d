/// @file
/// Tables and restrictions: a forward-reading cursor over the rows of a folder listing, one page
/// at a time, with application-chosen columns (a field list) and an optional restriction, a tree
/// of filter nodes written as an EWS search expression.
///
/// TDvEWSTable holds the paging state, the current page and the current row; its subclasses in the
/// folder unit (TDvEWSFolders, TDvEWSItems, TDvEWSCalendarView) build the request for one page.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DvSysUtils.h"
#include "DvXML.h"
#include "DvXMLSchema.h"
#include "uDvEWSBaseObject.h"
#include "uDvEWSInterfacesValues.h"
#include "uDvEWSProps.h"
#include "uDvEWSTypesEnums.h"

namespace dv {

// ---- Restrictions ----

enum class TDvEWSRestrictionType {
  rtAnd,
  rtOr,
  rtNot,
  rtExists,
  rtCompare,
  rtCompareFields,
  rtBitmask,
  rtContent
};

/// Each maps to an element: t:IsEqualTo, t:IsNotEqualTo, t:IsGreaterThan, …
enum class TDvEWSRestrictionOperator {
  opIsEqualTo,
  opIsNotEqualTo,
  opIsGreaterThan,
  opIsGreaterThanOrEqualTo,
  opIsLessThan,
  opIsLessThanOrEqualTo
};

/// The schema's own enumerations; their texts are the names less the prefix ("FullString",
/// "IgnoreCase").
using TDvEWSContainmentMode = TContainmentMode;
using TDvEWSContainmentComparison = TContainmentComparison;

/// "IsEqualTo", "IsNotEqualTo", …
std::string DvEWSRestrictionOperatorName(TDvEWSRestrictionOperator op);

class IDvEWSRestriction {
 public:
  virtual ~IDvEWSRestriction() = default;
  virtual TDvEWSRestrictionType GetRestrictionType() const = 0;
  /// Appends the node's XML to the buffer. A node whose field definition (or, for Not, child) was
  /// never set raises dv::Exception naming what is missing; nothing is appended then.
  virtual void SaveToStream(std::string& buffer) const = 0;
};
using DvEWSRestrictionPtr = std::shared_ptr<IDvEWSRestriction>;

class IDvEWSRestrictionAnd : public virtual IDvEWSRestriction {
 public:
  virtual void AddRestriction(const DvEWSRestrictionPtr& restriction) = 0;
  /// Removes that reference; a restriction not in the list changes nothing.
  virtual void RemoveRestriction(const DvEWSRestrictionPtr& restriction) = 0;
};
class IDvEWSRestrictionOr : public virtual IDvEWSRestriction {
 public:
  virtual void AddRestriction(const DvEWSRestrictionPtr& restriction) = 0;
  virtual void RemoveRestriction(const DvEWSRestrictionPtr& restriction) = 0;
};
class IDvEWSRestrictionNot : public virtual IDvEWSRestriction {
 public:
  virtual void SetRestriction(const DvEWSRestrictionPtr& restriction) = 0;
};
class IDvEWSRestrictionExists : public virtual IDvEWSRestriction {
 public:
  virtual PDvEWSFieldDef GetFieldDef() const = 0;
  /// Stores the registered definition of that name (Exception when none is registered).
  virtual void SetFieldDef(const TDvEWSFieldDef& def) = 0;
};
class IDvEWSRestrictionCompare : public virtual IDvEWSRestriction {
 public:
  virtual TDvEWSRestrictionOperator GetOperator() const = 0;
  virtual PDvEWSFieldDef GetFieldDef() const = 0;
  virtual TDvVariant GetValue() const = 0;
  virtual void SetFieldDef(const TDvEWSFieldDef& def) = 0;
  virtual void SetOperator(TDvEWSRestrictionOperator op) = 0;
  virtual void SetValue(const TDvVariant& value) = 0;
};
class IDvEWSRestrictionCompareFields : public virtual IDvEWSRestriction {
 public:
  virtual TDvEWSRestrictionOperator GetOperator() const = 0;
  virtual PDvEWSFieldDef GetFieldDef1() const = 0;
  virtual PDvEWSFieldDef GetFieldDef2() const = 0;
  virtual void SetOperator(TDvEWSRestrictionOperator op) = 0;
  virtual void SetFieldDef1(const TDvEWSFieldDef& def) = 0;
  virtual void SetFieldDef2(const TDvEWSFieldDef& def) = 0;
};
class IDvEWSRestrictionBitMask : public virtual IDvEWSRestriction {
 public:
  virtual PDvEWSFieldDef GetFieldDef() const = 0;
  virtual std::uint64_t GetBitMask() const = 0;
  virtual void SetFieldDef(const TDvEWSFieldDef& def) = 0;
  virtual void SetBitMask(std::uint64_t mask) = 0;
};
class IDvEWSRestrictionContent : public virtual IDvEWSRestriction {
 public:
  virtual TDvEWSContainmentMode GetContainmentMode() const = 0;
  virtual TDvEWSContainmentComparison GetContainmentComparison() const = 0;
  virtual PDvEWSFieldDef GetFieldDef() const = 0;
  virtual std::string GetValue() const = 0;
  virtual void SetContainmentMode(TDvEWSContainmentMode mode) = 0;
  virtual void SetContainmentComparison(TDvEWSContainmentComparison comparison) = 0;
  virtual void SetFieldDef(const TDvEWSFieldDef& def) = 0;
  virtual void SetValue(const std::string& value) = 0;
};

/// The base of every node: a TDvEWSObject owned by the table that created it.
class TDvEWSRestriction : public TDvEWSObject, public virtual IDvEWSRestriction {
 public:
  explicit TDvEWSRestriction(TDvComponent* owner);
};

class TDvEWSRestrictionList : public TDvEWSRestriction {
 public:
  using TDvEWSRestriction::TDvEWSRestriction;
  void Add(const DvEWSRestrictionPtr& restriction);
  void Remove(const DvEWSRestrictionPtr& restriction);
  const std::vector<DvEWSRestrictionPtr>& GetRestrictions() const { return FList; }

 protected:
  void Write(std::string& buffer, const char* open, const char* close) const;
  std::vector<DvEWSRestrictionPtr> FList;
};

class TDvEWSRestrictionAnd : public TDvEWSRestrictionList, public IDvEWSRestrictionAnd {
 public:
  using TDvEWSRestrictionList::TDvEWSRestrictionList;
  TDvEWSRestrictionType GetRestrictionType() const override { return TDvEWSRestrictionType::rtAnd; }
  void SaveToStream(std::string& buffer) const override;
  void AddRestriction(const DvEWSRestrictionPtr& r) override { Add(r); }
  void RemoveRestriction(const DvEWSRestrictionPtr& r) override { Remove(r); }
};

class TDvEWSRestrictionOr : public TDvEWSRestrictionList, public IDvEWSRestrictionOr {
 public:
  using TDvEWSRestrictionList::TDvEWSRestrictionList;
  TDvEWSRestrictionType GetRestrictionType() const override { return TDvEWSRestrictionType::rtOr; }
  void SaveToStream(std::string& buffer) const override;
  void AddRestriction(const DvEWSRestrictionPtr& r) override { Add(r); }
  void RemoveRestriction(const DvEWSRestrictionPtr& r) override { Remove(r); }
};

class TDvEWSRestrictionNot : public TDvEWSRestriction, public IDvEWSRestrictionNot {
 public:
  using TDvEWSRestriction::TDvEWSRestriction;
  TDvEWSRestrictionType GetRestrictionType() const override { return TDvEWSRestrictionType::rtNot; }
  void SaveToStream(std::string& buffer) const override;
  void SetRestriction(const DvEWSRestrictionPtr& r) override { FRestriction = r; }
  const DvEWSRestrictionPtr& GetRestriction() const { return FRestriction; }

 private:
  DvEWSRestrictionPtr FRestriction;
};

class TDvEWSRestrictionExists : public TDvEWSRestriction, public IDvEWSRestrictionExists {
 public:
  using TDvEWSRestriction::TDvEWSRestriction;
  TDvEWSRestrictionType GetRestrictionType() const override {
    return TDvEWSRestrictionType::rtExists;
  }
  void SaveToStream(std::string& buffer) const override;
  PDvEWSFieldDef GetFieldDef() const override { return FFieldDef; }
  void SetFieldDef(const TDvEWSFieldDef& def) override;

 private:
  PDvEWSFieldDef FFieldDef = nullptr;
};

class TDvEWSRestrictionCompare : public TDvEWSRestriction, public IDvEWSRestrictionCompare {
 public:
  using TDvEWSRestriction::TDvEWSRestriction;
  TDvEWSRestrictionType GetRestrictionType() const override {
    return TDvEWSRestrictionType::rtCompare;
  }
  void SaveToStream(std::string& buffer) const override;
  TDvEWSRestrictionOperator GetOperator() const override { return FOperator; }
  PDvEWSFieldDef GetFieldDef() const override { return FFieldDef; }
  TDvVariant GetValue() const override { return FValue; }
  void SetFieldDef(const TDvEWSFieldDef& def) override;
  void SetOperator(TDvEWSRestrictionOperator op) override { FOperator = op; }
  void SetValue(const TDvVariant& value) override { FValue = value; }

 private:
  TDvEWSRestrictionOperator FOperator = TDvEWSRestrictionOperator::opIsEqualTo;
  PDvEWSFieldDef FFieldDef = nullptr;
  TDvVariant FValue;
};

class TDvEWSRestrictionCompareFields : public TDvEWSRestriction,
                                       public IDvEWSRestrictionCompareFields {
 public:
  using TDvEWSRestriction::TDvEWSRestriction;
  TDvEWSRestrictionType GetRestrictionType() const override {
    return TDvEWSRestrictionType::rtCompareFields;
  }
  void SaveToStream(std::string& buffer) const override;
  TDvEWSRestrictionOperator GetOperator() const override { return FOperator; }
  PDvEWSFieldDef GetFieldDef1() const override { return FFieldDef1; }
  PDvEWSFieldDef GetFieldDef2() const override { return FFieldDef2; }
  void SetOperator(TDvEWSRestrictionOperator op) override { FOperator = op; }
  void SetFieldDef1(const TDvEWSFieldDef& def) override;
  void SetFieldDef2(const TDvEWSFieldDef& def) override;

 private:
  TDvEWSRestrictionOperator FOperator = TDvEWSRestrictionOperator::opIsEqualTo;
  PDvEWSFieldDef FFieldDef1 = nullptr;
  PDvEWSFieldDef FFieldDef2 = nullptr;
};

class TDvEWSRestrictionBitMask : public TDvEWSRestriction, public IDvEWSRestrictionBitMask {
 public:
  using TDvEWSRestriction::TDvEWSRestriction;
  TDvEWSRestrictionType GetRestrictionType() const override {
    return TDvEWSRestrictionType::rtBitmask;
  }
  void SaveToStream(std::string& buffer) const override;
  PDvEWSFieldDef GetFieldDef() const override { return FFieldDef; }
  std::uint64_t GetBitMask() const override { return FBitMask; }
  void SetFieldDef(const TDvEWSFieldDef& def) override;
  void SetBitMask(std::uint64_t mask) override { FBitMask = mask; }

 private:
  PDvEWSFieldDef FFieldDef = nullptr;
  std::uint64_t FBitMask = 0;
};

class TDvEWSRestrictionContent : public TDvEWSRestriction, public IDvEWSRestrictionContent {
 public:
  using TDvEWSRestriction::TDvEWSRestriction;
  TDvEWSRestrictionType GetRestrictionType() const override {
    return TDvEWSRestrictionType::rtContent;
  }
  void SaveToStream(std::string& buffer) const override;
  TDvEWSContainmentMode GetContainmentMode() const override { return FMode; }
  TDvEWSContainmentComparison GetContainmentComparison() const override { return FComparison; }
  PDvEWSFieldDef GetFieldDef() const override { return FFieldDef; }
  std::string GetValue() const override { return FValue; }
  void SetContainmentMode(TDvEWSContainmentMode mode) override { FMode = mode; }
  void SetContainmentComparison(TDvEWSContainmentComparison c) override { FComparison = c; }
  void SetFieldDef(const TDvEWSFieldDef& def) override;
  void SetValue(const std::string& value) override { FValue = value; }

 private:
  TDvEWSContainmentMode FMode = TDvEWSContainmentMode::cmFullString;
  TDvEWSContainmentComparison FComparison = TDvEWSContainmentComparison::ccIgnoreCase;
  PDvEWSFieldDef FFieldDef = nullptr;
  std::string FValue;
};

// ---- Tables ----

class IDvEWSTableBase {
 public:
  virtual ~IDvEWSTableBase() = default;
  /// A page is held.
  virtual bool GetActive() const = 0;
  /// The columns: add fields before Open (their field URIs are asked for).
  virtual TDvEWSFields& GetFields() = 0;
  virtual void SetActive(bool active) = 0;
  /// The cursor has run past the last row (EOF; named so because EOF is a C macro).
  virtual bool Eof() = 0;
  /// TotalItemsInView of the last page.
  virtual int Count() const = 0;
  virtual void Open() = 0;
  virtual void First() = 0;
  virtual void Next() = 0;
  /// A new node of that kind owned by the table; Exception "Unsupported RestrictionType!" for a
  /// value outside the enumeration.
  virtual DvEWSRestrictionPtr CreateRestriction(TDvEWSRestrictionType type) = 0;
  /// The filter of the next item page; nothing is fetched.
  virtual void Filter(const DvEWSRestrictionPtr& restriction) = 0;
  virtual bool HasField(const TDvEWSFieldDef& def) = 0;
  virtual TDvEWSField* FindField(const TDvEWSFieldDef& def) = 0;
  virtual TDvEWSField* FieldByName(const TDvEWSFieldDef& def) = 0;
  /// The rows of the page held (0 without one).
  virtual int RowCount() const = 0;
  /// The current row's schema object (a TEwsMessage, TEwsFolder, …); none, or Exception
  /// "There is no data!" with raiseIfNone, when there is no current row.
  virtual TDvXMLSchemaElement* GetRowData(TDvEWSGetDataElmSource source, bool raiseIfNone) = 0;
};
using DvEWSTableBasePtr = std::shared_ptr<IDvEWSTableBase>;

class TDvEWSTable : public TDvEWSObject, public virtual IDvEWSTableBase {
 public:
  explicit TDvEWSTable(TDvComponent* owner);
  ~TDvEWSTable() override;

  bool GetActive() const override { return FData != nullptr; }
  TDvEWSFields& GetFields() override { return *FFields; }
  void SetActive(bool active) override;
  bool Eof() override;
  int Count() const override { return FTotal; }
  void Open() override;
  void First() override;
  void Next() override;
  DvEWSRestrictionPtr CreateRestriction(TDvEWSRestrictionType type) override;
  void Filter(const DvEWSRestrictionPtr& restriction) override { FRestriction = restriction; }
  bool HasField(const TDvEWSFieldDef& def) override;
  TDvEWSField* FindField(const TDvEWSFieldDef& def) override;
  TDvEWSField* FieldByName(const TDvEWSFieldDef& def) override;
  int RowCount() const override;
  TDvXMLSchemaElement* GetRowData(TDvEWSGetDataElmSource source, bool raiseIfNone) override;

  /// The page size (MaxEntriesReturned of each page request; 50 to begin with).
  int GetPageSize() const { return FPageSize; }
  void SetPageSize(int value) { FPageSize = value; }
  int GetOffset() const { return FOffset; }
  bool GetIncludesLast() const { return FIncludesLast; }
  bool GetAutoPaging() const { return FAutoPaging; }
  int GetRowIndex() const { return FRowIndex; }
  const DvEWSRestrictionPtr& GetRestriction() const { return FRestriction; }
  /// The current page's element (its children are the rows), none while inactive.
  const DvDOMElementPtr& GetPageElement() const { return FPageElement; }
  /// The current row's element; none when there is no current row.
  DvDOMElementPtr GetRowElement() const;

 protected:
  /// Fetches the page at the current offset and hands it to SetData.
  virtual void GetNextPage() = 0;
  /// Takes ownership of a new page; reads the paging attributes from its parent element.
  void SetData(std::unique_ptr<TDvXMLSchemaElement> page);

  std::unique_ptr<TDvXMLSchemaElement> FData;
  DvDOMElementPtr FPageElement;
  /// The page's rows in order, with each row's position among its same-named siblings (its index
  /// in the page data's array of that element), taken once per page: reaching a row through the
  /// DOM walks the siblings before it, which made reading a page quadratic in its size.
  std::vector<DvDOMElementPtr> FRows;
  std::vector<int> FRowPositions;
  bool FRowEOF = false;
  int FRowIndex = -1;
  TDvXMLSchemaElement* FRowObject = nullptr;
  std::unique_ptr<TDvEWSFields> FFields;
  int FPageSize = 50;
  int FTotal = 0;
  int FOffset = 0;
  bool FIncludesLast = false;
  DvEWSRestrictionPtr FRestriction;
  bool FAutoPaging = true;
};

}  // namespace dv
