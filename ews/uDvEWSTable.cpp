// Tables (the paging row cursor) and restriction nodes.
#include "uDvEWSTable.h"

#include <algorithm>
#include <map>

#include "DvUtils.h"
#include "uDvEWSInterfaces.h"

namespace dv {

// ---- Restrictions ----

std::string DvEWSRestrictionOperatorName(TDvEWSRestrictionOperator op) {
  switch (op) {
    case TDvEWSRestrictionOperator::opIsEqualTo:
      return "IsEqualTo";
    case TDvEWSRestrictionOperator::opIsNotEqualTo:
      return "IsNotEqualTo";
    case TDvEWSRestrictionOperator::opIsGreaterThan:
      return "IsGreaterThan";
    case TDvEWSRestrictionOperator::opIsGreaterThanOrEqualTo:
      return "IsGreaterThanOrEqualTo";
    case TDvEWSRestrictionOperator::opIsLessThan:
      return "IsLessThan";
    case TDvEWSRestrictionOperator::opIsLessThanOrEqualTo:
      return "IsLessThanOrEqualTo";
  }
  throw Exception("Unsupported restriction operator!");
}

namespace {

// The registered record for a definition (the record itself when it is the registered one).
PDvEWSFieldDef Registered(const TDvEWSFieldDef& def) {
  return GetFieldDef(def);
}

const char* KindName(TDvEWSRestrictionType type) {
  switch (type) {
    case TDvEWSRestrictionType::rtAnd:
      return "And";
    case TDvEWSRestrictionType::rtOr:
      return "Or";
    case TDvEWSRestrictionType::rtNot:
      return "Not";
    case TDvEWSRestrictionType::rtExists:
      return "Exists";
    case TDvEWSRestrictionType::rtCompare:
      return "Compare";
    case TDvEWSRestrictionType::rtCompareFields:
      return "CompareFields";
    case TDvEWSRestrictionType::rtBitmask:
      return "BitMask";
    case TDvEWSRestrictionType::rtContent:
      return "Content";
  }
  return "?";
}

void RequireField(PDvEWSFieldDef def, TDvEWSRestrictionType type, const char* what = "field") {
  if (def == nullptr)
    throw Exception(std::string("The ") + KindName(type) + " restriction has no " + what +
                    " definition set!");
}

// A value placed in an attribute: escaped, so a caller's text cannot close the attribute or add
// elements to the query.
void AppendQuoted(std::string& buffer, std::string_view value) {
  buffer += '"';
  buffer += DvXMLEscape(value);
  buffer += '"';
}

}  // namespace

TDvEWSRestriction::TDvEWSRestriction(TDvComponent* owner) : TDvEWSObject(owner, false) {}

void TDvEWSRestrictionList::Add(const DvEWSRestrictionPtr& restriction) {
  if (!restriction) throw Exception("A restriction can not hold an empty child restriction!");
  FList.push_back(restriction);
}

void TDvEWSRestrictionList::Remove(const DvEWSRestrictionPtr& restriction) {
  auto it = std::find(FList.begin(), FList.end(), restriction);
  if (it != FList.end()) FList.erase(it);
}

void TDvEWSRestrictionList::Write(std::string& buffer, const char* open, const char* close) const {
  // Children are written into a buffer of their own first, so a failing child leaves the
  // caller's buffer as it was.
  std::string text = open;
  for (const auto& child : FList)
    child->SaveToStream(text);
  text += close;
  buffer += text;
}

void TDvEWSRestrictionAnd::SaveToStream(std::string& buffer) const {
  Write(buffer, "<t:And>", "</t:And>");
}

void TDvEWSRestrictionOr::SaveToStream(std::string& buffer) const {
  Write(buffer, "<t:Or>", "</t:Or>");
}

void TDvEWSRestrictionNot::SaveToStream(std::string& buffer) const {
  if (!FRestriction) throw Exception("The Not restriction has no child restriction set!");
  std::string text = "<t:Not>";
  FRestriction->SaveToStream(text);
  text += "</t:Not>";
  buffer += text;
}

void TDvEWSRestrictionExists::SetFieldDef(const TDvEWSFieldDef& def) {
  FFieldDef = Registered(def);
}

void TDvEWSRestrictionExists::SaveToStream(std::string& buffer) const {
  RequireField(FFieldDef, GetRestrictionType());
  buffer += "<t:Exists>";
  WriteFieldURI(FFieldDef, buffer);
  buffer += "</t:Exists>";
}

void TDvEWSRestrictionCompare::SetFieldDef(const TDvEWSFieldDef& def) {
  FFieldDef = Registered(def);
}

void TDvEWSRestrictionCompare::SaveToStream(std::string& buffer) const {
  RequireField(FFieldDef, GetRestrictionType());
  const std::string op = DvEWSRestrictionOperatorName(FOperator);
  buffer += "<t:" + op + ">";
  WriteFieldURI(FFieldDef, buffer);
  buffer += "<t:FieldURIOrConstant><t:Constant Value=";
  AppendQuoted(buffer, DvVariantToXML(FValue));
  buffer += "/></t:FieldURIOrConstant></t:" + op + ">";
}

void TDvEWSRestrictionCompareFields::SetFieldDef1(const TDvEWSFieldDef& def) {
  FFieldDef1 = Registered(def);
}

void TDvEWSRestrictionCompareFields::SetFieldDef2(const TDvEWSFieldDef& def) {
  FFieldDef2 = Registered(def);
}

void TDvEWSRestrictionCompareFields::SaveToStream(std::string& buffer) const {
  RequireField(FFieldDef1, GetRestrictionType(), "first field");
  RequireField(FFieldDef2, GetRestrictionType(), "second field");
  const std::string op = DvEWSRestrictionOperatorName(FOperator);
  buffer += "<t:" + op + ">";
  WriteFieldURI(FFieldDef1, buffer);
  buffer += "<t:FieldURIOrConstant>";
  WriteFieldURI(FFieldDef2, buffer);
  buffer += "</t:FieldURIOrConstant></t:" + op + ">";
}

void TDvEWSRestrictionBitMask::SetFieldDef(const TDvEWSFieldDef& def) {
  FFieldDef = Registered(def);
}

void TDvEWSRestrictionBitMask::SaveToStream(std::string& buffer) const {
  RequireField(FFieldDef, GetRestrictionType());
  // The low 32 bits, read as a signed 32-bit number (bit 31 alone is -2147483648).
  const auto low = static_cast<std::uint32_t>(FBitMask & 0xFFFFFFFFu);
  const std::int64_t value =
      low >= 0x80000000u ? static_cast<std::int64_t>(low) - 0x100000000LL : low;
  buffer += "<t:Excludes>";
  WriteFieldURI(FFieldDef, buffer);
  buffer += "<t:Bitmask Value=\"" + std::to_string(value) + "\" /></t:Excludes>";
}

void TDvEWSRestrictionContent::SetFieldDef(const TDvEWSFieldDef& def) {
  FFieldDef = Registered(def);
}

void TDvEWSRestrictionContent::SaveToStream(std::string& buffer) const {
  RequireField(FFieldDef, GetRestrictionType());
  buffer += "<t:Contains ContainmentMode=\"" + DvEnumToXML(FMode) + "\" ContainmentComparison=\"" +
            DvEnumToXML(FComparison) + "\">";
  WriteFieldURI(FFieldDef, buffer);
  buffer += "<t:Constant Value=";
  AppendQuoted(buffer, FValue);
  buffer += " /></t:Contains>";
}

// ---- Table ----

TDvEWSTable::TDvEWSTable(TDvComponent* owner) : TDvEWSObject(owner, true) {
  FFields = std::make_unique<TDvEWSFields>(
      this, [this](TDvEWSGetDataElmSource source, bool raiseIfNoData) -> TDvXMLSchemaElement* {
        // Columns read the current row; a page has no original to compare with.
        if (source != TDvEWSGetDataElmSource::desCurrent) return nullptr;
        // The values raise themselves when they need a row and there is none.
        return GetRowData(source, false);
      });
}

TDvEWSTable::~TDvEWSTable() {
  FRestriction.reset();
  FFields.reset();
  FData.reset();
}

void TDvEWSTable::SetActive(bool active) {
  FRowObject = nullptr;
  FOffset = 0;
  FTotal = 0;
  FIncludesLast = false;
  if (active) {
    GetNextPage();
    CheckPageMoved(0);
  } else {
    FData.reset();
    FPageElement.reset();
    FRowIndex = -1;
  }
}

void TDvEWSTable::Open() {
  FRowObject = nullptr;
  if (!GetActive()) SetActive(true);
}

void TDvEWSTable::SetData(std::unique_ptr<TDvXMLSchemaElement> page) {
  FData = std::move(page);
  FPageElement = FData ? FData->AsElement() : nullptr;
  FRowObject = nullptr;
  FRows.clear();
  FRowPositions.clear();
  if (FPageElement) {
    FRows = FPageElement->Elements();
    FRowPositions.reserve(FRows.size());
    std::map<std::string, int> seen;  // lower-case local name -> rows so far
    for (const DvDOMElementPtr& row : FRows)
      FRowPositions.push_back(seen[DvLowerCaseAscii(row->GetLocalName())]++);
  }
  if (FPageElement) {
    if (DvDOMElementPtr parent = FPageElement->GetParent()) {
      auto intAttr = [&](const char* name) -> int {
        const std::string text = parent->GetAttribute(name);
        return text.empty() ? 0 : static_cast<int>(DvXMLToInt(text));
      };
      FTotal = intAttr("TotalItemsInView");
      FOffset = intAttr("IndexedPagingOffset");
      const std::string last = parent->GetAttribute("IncludesLastItemInRange");
      FIncludesLast = !last.empty() && DvXMLToBool(last);
    }
  }
  if (RowCount() > 0) {
    FRowIndex = 0;
    FRowEOF = false;
  } else {
    FRowIndex = -1;
    FRowEOF = true;
  }
}

int TDvEWSTable::RowCount() const {
  return static_cast<int>(FRows.size());
}

void TDvEWSTable::First() {
  FRowObject = nullptr;
  if (!GetActive()) {
    SetActive(true);
  } else if (FOffset - FPageSize > 0) {
    SetActive(true);
  } else if (RowCount() >= 1) {
    FRowIndex = 0;
    FRowEOF = false;
  } else {
    FRowIndex = -1;
    FRowEOF = true;
  }
}

void TDvEWSTable::Next() {
  FRowObject = nullptr;
  ++FRowIndex;
  FRowEOF = FRowIndex == RowCount();
  if (FRowEOF && !FIncludesLast && FAutoPaging) {
    const int requested = FOffset;
    GetNextPage();
    CheckPageMoved(requested);
    return;
  }
  if (FRowEOF) --FRowIndex;
}

void TDvEWSTable::CheckPageMoved(int requestedOffset) {
  // A server that says more rows remain must bring rows and move the offset on; otherwise the
  // next page would ask for the same rows again, without end.
  if (FIncludesLast) return;
  DvDOMElementPtr parent = FPageElement ? FPageElement->GetParent() : nullptr;
  if (parent && !parent->HasAttribute("IndexedPagingOffset")) {
    // A view that names no next offset (a calendar view) cannot be paged on: this is its end.
    FIncludesLast = true;
    return;
  }
  if (RowCount() > 0 && FOffset > requestedOffset) return;
  FIncludesLast = true;
  FRowEOF = true;
  FRowIndex = -1;
  throw EEWSException("ErrorInvalidServerResponse",
                      RowCount() == 0 ? "The server sent a page with no rows but says more remain "
                                        "(offset " +
                                            std::to_string(requestedOffset) + "); paging stopped"
                                      : "The server's page did not move the offset forward "
                                        "(asked for " +
                                            std::to_string(requestedOffset) + ", next " +
                                            std::to_string(FOffset) + "); paging stopped",
                      0);
}

bool TDvEWSTable::Eof() {
  return FAutoPaging ? (FRowEOF && FIncludesLast) : FRowEOF;
}

DvEWSRestrictionPtr TDvEWSTable::CreateRestriction(TDvEWSRestrictionType type) {
  switch (type) {
    case TDvEWSRestrictionType::rtAnd:
      return std::make_shared<TDvEWSRestrictionAnd>(this);
    case TDvEWSRestrictionType::rtOr:
      return std::make_shared<TDvEWSRestrictionOr>(this);
    case TDvEWSRestrictionType::rtNot:
      return std::make_shared<TDvEWSRestrictionNot>(this);
    case TDvEWSRestrictionType::rtExists:
      return std::make_shared<TDvEWSRestrictionExists>(this);
    case TDvEWSRestrictionType::rtCompare:
      return std::make_shared<TDvEWSRestrictionCompare>(this);
    case TDvEWSRestrictionType::rtCompareFields:
      return std::make_shared<TDvEWSRestrictionCompareFields>(this);
    case TDvEWSRestrictionType::rtBitmask:
      return std::make_shared<TDvEWSRestrictionBitMask>(this);
    case TDvEWSRestrictionType::rtContent:
      return std::make_shared<TDvEWSRestrictionContent>(this);
  }
  throw Exception("Unsupported RestrictionType!");
}

TDvEWSField* TDvEWSTable::FindField(const TDvEWSFieldDef& def) {
  return FFields->FindField(def);
}

TDvEWSField* TDvEWSTable::FieldByName(const TDvEWSFieldDef& def) {
  return FFields->FieldByName(def);
}

bool TDvEWSTable::HasField(const TDvEWSFieldDef& def) {
  TDvEWSField* field = FFields->FindField(def);
  if (field == nullptr) return false;
  if (!GetActive()) return true;
  DvDOMElementPtr row = GetRowElement();
  return row && row->HasChildElement(".//" + field->GetPath());
}

DvDOMElementPtr TDvEWSTable::GetRowElement() const {
  if (FRowIndex < 0 || FRowIndex >= RowCount()) return nullptr;
  return FRows[static_cast<std::size_t>(FRowIndex)];
}

TDvXMLSchemaElement* TDvEWSTable::GetRowData(TDvEWSGetDataElmSource source, bool raiseIfNone) {
  if (source != TDvEWSGetDataElmSource::desCurrent)
    throw Exception("Assertion failure: a table has only current data!");
  DvDOMElementPtr row = GetRowElement();
  if (!row || !FData) {
    if (raiseIfNone) throw Exception("There is no data!");
    return nullptr;
  }
  if (FRowObject != nullptr) return FRowObject;
  const std::string name = NodeNameToPropName(row->GetLocalName());
  TDvXMLSchemaElementArrayBase* array = FData->GetArrayByName(name);
  if (array == nullptr)
    throw Exception("Assertion failure: There is no property with the name: " + name);
  FRowObject = array->GetElement(FRowPositions[static_cast<std::size_t>(FRowIndex)]);
  return FRowObject;
}

}  // namespace dv
