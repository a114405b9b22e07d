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

/// The kinds of restriction node (IDvEWSTableBase::CreateRestriction makes one of each).
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
/// How a content restriction compares text (exact, ignoring case, …).
using TDvEWSContainmentComparison = TContainmentComparison;

/// "IsEqualTo", "IsNotEqualTo", …
std::string DvEWSRestrictionOperatorName(TDvEWSRestrictionOperator op);

/// A node of a table's filter (an EWS search expression): made by
/// IDvEWSTableBase::CreateRestriction, set up through the interface of its kind
/// (IDvEWSRestrictionCompare, …), given to IDvEWSTableBase::Filter. Nodes combine with And, Or
/// and Not.
class IDvEWSRestriction {
 public:
  virtual ~IDvEWSRestriction() = default;
  /// The node's kind.
  virtual TDvEWSRestrictionType GetRestrictionType() const = 0;
  /// Appends the node's XML to the buffer. A node whose field definition (or, for Not, child) was
  /// never set raises dv::Exception naming what is missing; nothing is appended then.
  virtual void SaveToStream(std::string& buffer) const = 0;
};
/// A shared restriction node.
using DvEWSRestrictionPtr = std::shared_ptr<IDvEWSRestriction>;

/// True when every child restriction is.
class IDvEWSRestrictionAnd : public virtual IDvEWSRestriction {
 public:
  /// Appends a child.
  virtual void AddRestriction(const DvEWSRestrictionPtr& restriction) = 0;
  /// Removes that reference; a restriction not in the list changes nothing.
  virtual void RemoveRestriction(const DvEWSRestrictionPtr& restriction) = 0;
};
/// True when any child restriction is.
class IDvEWSRestrictionOr : public virtual IDvEWSRestriction {
 public:
  /// Appends a child.
  virtual void AddRestriction(const DvEWSRestrictionPtr& restriction) = 0;
  /// Removes that reference; a restriction not in the list changes nothing.
  virtual void RemoveRestriction(const DvEWSRestrictionPtr& restriction) = 0;
};
/// True when its child is false.
class IDvEWSRestrictionNot : public virtual IDvEWSRestriction {
 public:
  /// Sets the child.
  virtual void SetRestriction(const DvEWSRestrictionPtr& restriction) = 0;
};
/// True when the item has a value for the field.
class IDvEWSRestrictionExists : public virtual IDvEWSRestriction {
 public:
  /// The field tested (none until set).
  virtual PDvEWSFieldDef GetFieldDef() const = 0;
  /// Stores the registered definition of that name (Exception when none is registered).
  virtual void SetFieldDef(const TDvEWSFieldDef& def) = 0;
};
/// Compares a field with a constant: `field op value` (IsRead = false, DateTimeReceived >= a
/// date, …). The value's type follows the field's (bool, integer, number, date-time, text).
class IDvEWSRestrictionCompare : public virtual IDvEWSRestriction {
 public:
  /// The comparison (IsEqualTo by default).
  virtual TDvEWSRestrictionOperator GetOperator() const = 0;
  /// The field compared (none until set).
  virtual PDvEWSFieldDef GetFieldDef() const = 0;
  /// The constant compared with.
  virtual TDvVariant GetValue() const = 0;
  /// Sets the field (dv::Exception when no definition of that name is registered).
  virtual void SetFieldDef(const TDvEWSFieldDef& def) = 0;
  /// Sets the comparison.
  virtual void SetOperator(TDvEWSRestrictionOperator op) = 0;
  /// Sets the constant (TDvVariant(false), TDvVariant(DvXMLToDateTime("2026-01-31")), …).
  virtual void SetValue(const TDvVariant& value) = 0;
};
/// Compares two fields of the same item: `field1 op field2`.
class IDvEWSRestrictionCompareFields : public virtual IDvEWSRestriction {
 public:
  /// The comparison (IsEqualTo by default).
  virtual TDvEWSRestrictionOperator GetOperator() const = 0;
  /// The left field (none until set).
  virtual PDvEWSFieldDef GetFieldDef1() const = 0;
  /// The right field (none until set).
  virtual PDvEWSFieldDef GetFieldDef2() const = 0;
  /// Sets the comparison.
  virtual void SetOperator(TDvEWSRestrictionOperator op) = 0;
  /// Sets the left field.
  virtual void SetFieldDef1(const TDvEWSFieldDef& def) = 0;
  /// Sets the right field.
  virtual void SetFieldDef2(const TDvEWSFieldDef& def) = 0;
};
/// True when an integer field has any bit of a mask set.
class IDvEWSRestrictionBitMask : public virtual IDvEWSRestriction {
 public:
  /// The field tested (none until set).
  virtual PDvEWSFieldDef GetFieldDef() const = 0;
  /// The mask.
  virtual std::uint64_t GetBitMask() const = 0;
  /// Sets the field.
  virtual void SetFieldDef(const TDvEWSFieldDef& def) = 0;
  /// Sets the mask.
  virtual void SetBitMask(std::uint64_t mask) = 0;
};
/// Text search in a field: the whole text, a substring, a prefix, … (ContainmentMode), compared
/// exactly or ignoring case (ContainmentComparison).
class IDvEWSRestrictionContent : public virtual IDvEWSRestriction {
 public:
  /// Where the value must occur (FullString by default).
  virtual TDvEWSContainmentMode GetContainmentMode() const = 0;
  /// How text compares (IgnoreCase by default).
  virtual TDvEWSContainmentComparison GetContainmentComparison() const = 0;
  /// The field searched (none until set).
  virtual PDvEWSFieldDef GetFieldDef() const = 0;
  /// The text searched for.
  virtual std::string GetValue() const = 0;
  /// Sets where the value must occur (cmSubstring for "contains", cmPrefixed for "starts with").
  virtual void SetContainmentMode(TDvEWSContainmentMode mode) = 0;
  /// Sets how text compares.
  virtual void SetContainmentComparison(TDvEWSContainmentComparison comparison) = 0;
  /// Sets the field.
  virtual void SetFieldDef(const TDvEWSFieldDef& def) = 0;
  /// Sets the text searched for.
  virtual void SetValue(const std::string& value) = 0;
};

/// The base of every node: a TDvEWSObject owned by the table that created it.
class TDvEWSRestriction : public TDvEWSObject, public virtual IDvEWSRestriction {
 public:
  /// A node owned by `owner` (the table).
  explicit TDvEWSRestriction(TDvComponent* owner);
};

/// The base of And and Or: a list of child nodes.
class TDvEWSRestrictionList : public TDvEWSRestriction {
 public:
  /// Made by IDvEWSTableBase::CreateRestriction.
  using TDvEWSRestriction::TDvEWSRestriction;
  /// Appends a child.
  void Add(const DvEWSRestrictionPtr& restriction);
  /// Removes that reference, if present.
  void Remove(const DvEWSRestrictionPtr& restriction);
  /// The children in order.
  const std::vector<DvEWSRestrictionPtr>& GetRestrictions() const { return FList; }

 protected:
  /// Writes the children between an opening and a closing tag.
  void Write(std::string& buffer, const char* open, const char* close) const;
  /// The children.
  std::vector<DvEWSRestrictionPtr> FList;
};

/// The And node (see IDvEWSRestrictionAnd).
class TDvEWSRestrictionAnd : public TDvEWSRestrictionList, public IDvEWSRestrictionAnd {
 public:
  using TDvEWSRestrictionList::TDvEWSRestrictionList;
  TDvEWSRestrictionType GetRestrictionType() const override { return TDvEWSRestrictionType::rtAnd; }
  void SaveToStream(std::string& buffer) const override;
  void AddRestriction(const DvEWSRestrictionPtr& r) override { Add(r); }
  void RemoveRestriction(const DvEWSRestrictionPtr& r) override { Remove(r); }
};

/// The Or node (see IDvEWSRestrictionOr).
class TDvEWSRestrictionOr : public TDvEWSRestrictionList, public IDvEWSRestrictionOr {
 public:
  using TDvEWSRestrictionList::TDvEWSRestrictionList;
  TDvEWSRestrictionType GetRestrictionType() const override { return TDvEWSRestrictionType::rtOr; }
  void SaveToStream(std::string& buffer) const override;
  void AddRestriction(const DvEWSRestrictionPtr& r) override { Add(r); }
  void RemoveRestriction(const DvEWSRestrictionPtr& r) override { Remove(r); }
};

/// The Not node (see IDvEWSRestrictionNot).
class TDvEWSRestrictionNot : public TDvEWSRestriction, public IDvEWSRestrictionNot {
 public:
  /// Made by IDvEWSTableBase::CreateRestriction.
  using TDvEWSRestriction::TDvEWSRestriction;
  TDvEWSRestrictionType GetRestrictionType() const override { return TDvEWSRestrictionType::rtNot; }
  void SaveToStream(std::string& buffer) const override;
  void SetRestriction(const DvEWSRestrictionPtr& r) override { FRestriction = r; }
  /// The child (none until set).
  const DvEWSRestrictionPtr& GetRestriction() const { return FRestriction; }

 private:
  DvEWSRestrictionPtr FRestriction;
};

/// The Exists node (see IDvEWSRestrictionExists).
class TDvEWSRestrictionExists : public TDvEWSRestriction, public IDvEWSRestrictionExists {
 public:
  /// Made by IDvEWSTableBase::CreateRestriction.
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

/// The comparison node (see IDvEWSRestrictionCompare).
class TDvEWSRestrictionCompare : public TDvEWSRestriction, public IDvEWSRestrictionCompare {
 public:
  /// Made by IDvEWSTableBase::CreateRestriction.
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

/// The field comparison node (see IDvEWSRestrictionCompareFields).
class TDvEWSRestrictionCompareFields : public TDvEWSRestriction,
                                       public IDvEWSRestrictionCompareFields {
 public:
  /// Made by IDvEWSTableBase::CreateRestriction.
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

/// The bit mask node (see IDvEWSRestrictionBitMask).
class TDvEWSRestrictionBitMask : public TDvEWSRestriction, public IDvEWSRestrictionBitMask {
 public:
  /// Made by IDvEWSTableBase::CreateRestriction.
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

/// The text search node (see IDvEWSRestrictionContent).
class TDvEWSRestrictionContent : public TDvEWSRestriction, public IDvEWSRestrictionContent {
 public:
  /// Made by IDvEWSTableBase::CreateRestriction.
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

/// A forward-reading cursor over rows (the items or sub-folders of a folder), fetched a page
/// at a time.
///
/// Add the columns (GetFields().Add(*GetFieldDef("FLD_ITEM_SUBJECT", true))) and optionally a
/// Filter, then `for (Open(); !Eof(); Next())` and read each row's columns with FieldByName.
/// Next fetches the next page by itself when the cursor passes the last row of the current one
/// (TDvEWSTable::SetPageSize sets the page size). Requests raise dv::EEWSException on failure.
class IDvEWSTableBase {
 public:
  virtual ~IDvEWSTableBase() = default;
  /// A page is held.
  virtual bool GetActive() const = 0;
  /// The columns: add fields before Open (their field URIs are asked for).
  virtual TDvEWSFields& GetFields() = 0;
  /// true fetches the first page (restarting from the top), false drops the page held.
  virtual void SetActive(bool active) = 0;
  /// The cursor has run past the last row (EOF; named so because EOF is a C macro).
  virtual bool Eof() = 0;
  /// TotalItemsInView of the last page.
  virtual int Count() const = 0;
  /// Fetches the first page unless a page is held; the cursor is on the first row.
  virtual void Open() = 0;
  /// Back to the first row (fetching the first page again when another is held).
  virtual void First() = 0;
  /// To the next row, fetching the next page when the current one is done.
  virtual void Next() = 0;
  /// A new node of that kind owned by the table; Exception "Unsupported RestrictionType!" for a
  /// value outside the enumeration.
  virtual DvEWSRestrictionPtr CreateRestriction(TDvEWSRestrictionType type) = 0;
  /// The filter of the next item page; nothing is fetched.
  virtual void Filter(const DvEWSRestrictionPtr& restriction) = 0;
  /// True when the field is a column and (once open) the current row has a value for it; ask
  /// before reading a column some rows lack.
  virtual bool HasField(const TDvEWSFieldDef& def) = 0;
  /// The column of that field; none when it is not a column.
  virtual TDvEWSField* FindField(const TDvEWSFieldDef& def) = 0;
  /// The column of that field, its value read from the current row (GetAsString, GetAsBoolean,
  /// …); dv::Exception when the field is not a column.
  virtual TDvEWSField* FieldByName(const TDvEWSFieldDef& def) = 0;
  /// The rows of the page held (0 without one).
  virtual int RowCount() const = 0;
  /// The current row's schema object (a TEwsMessage, TEwsFolder, …); none, or Exception
  /// "There is no data!" with raiseIfNone, when there is no current row.
  virtual TDvXMLSchemaElement* GetRowData(TDvEWSGetDataElmSource source, bool raiseIfNone) = 0;
};
/// A shared table.
using DvEWSTableBasePtr = std::shared_ptr<IDvEWSTableBase>;

/// The table class: paging state, the page held and the current row. Cast a table to it for
/// the page size and paging position.
class TDvEWSTable : public TDvEWSObject, public virtual IDvEWSTableBase {
 public:
  /// A table owned by `owner` (the folder).
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
  /// Sets the number of rows each page request asks for.
  void SetPageSize(int value) { FPageSize = value; }
  /// The paging offset the server reported with the page held.
  int GetOffset() const { return FOffset; }
  /// True when the page held is the last one.
  bool GetIncludesLast() const { return FIncludesLast; }
  /// True when Next fetches pages by itself (false for a calendar view).
  bool GetAutoPaging() const { return FAutoPaging; }
  /// The current row's index in the page held (0 for a page's first row; -1 for none).
  int GetRowIndex() const { return FRowIndex; }
  /// The filter given to Filter (none by default).
  const DvEWSRestrictionPtr& GetRestriction() const { return FRestriction; }
  /// The current page's element (its children are the rows), none while inactive.
  const DvDOMElementPtr& GetPageElement() const { return FPageElement; }
  /// The current row's element; none when there is no current row.
  DvDOMElementPtr GetRowElement() const;

 protected:
  /// Fetches the page at the current offset and hands it to SetData.
  virtual void GetNextPage() = 0;
  /// Ends the table with ErrorInvalidServerResponse when the page just read neither brought a
  /// row nor moved the offset past `requestedOffset` while the server says more rows remain.
  void CheckPageMoved(int requestedOffset);
  /// Takes ownership of a new page; reads the paging attributes from its parent element.
  void SetData(std::unique_ptr<TDvXMLSchemaElement> page);

  /// @cond internal
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
  /// @endcond
};

}  // namespace dv
