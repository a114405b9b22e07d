// FindItem: restrictions, sort orders, indexed/fractional paging, calendar views, search folders.
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <list>

#include "calendar_ops.h"
#include "ops.h"

namespace ewssim {

namespace {

bool IsNumericType(const std::string& t) {
  return t == "int" || t == "long" || t == "double" || t == "short" || t == "unsignedInt" ||
         t == "float" || t == "decimal" || t == "integer" || t == "byte" || t == "unsignedShort" ||
         t == "unsignedLong" || t == "nonNegativeInteger";
}

// Enumerations that sort by their MAPI value rather than their text; -1 for other types.
int EnumRank(const std::string& type, const std::string& value) {
  static const std::map<std::string, std::vector<std::string>> ranks = {
      {"ImportanceChoicesType", {"Low", "Normal", "High"}},
      {"SensitivityChoicesType", {"Normal", "Personal", "Private", "Confidential"}}};
  auto it = ranks.find(type);
  if (it == ranks.end()) return -1;
  for (size_t i = 0; i < it->second.size(); ++i)
    if (EqualsNoCase(it->second[i], value)) return static_cast<int>(i);
  return -1;
}

// -1, 0, 1; `ok` false when the values cannot be compared as the type says.
int CompareTyped(const std::string& a, const std::string& b, const std::string& type) {
  int ra = EnumRank(type, a), rb = EnumRank(type, b);
  if (ra >= 0 && rb >= 0) return ra < rb ? -1 : ra > rb ? 1 : 0;
  if (type == "dateTime") {
    auto x = ParseDateTime(a), y = ParseDateTime(b);
    if (x && y) return *x < *y ? -1 : *x > *y ? 1 : 0;
  } else if (IsNumericType(type)) {
    try {
      double x = std::stod(a), y = std::stod(b);
      return x < y ? -1 : x > y ? 1 : 0;
    } catch (...) {
    }
  } else if (type == "boolean") {
    bool x = false, y = false;
    if (ParseBool(a, x) && ParseBool(b, y)) return x == y ? 0 : x ? 1 : -1;
  }
  std::string la = Lower(a), lb = Lower(b);
  return la < lb ? -1 : la > lb ? 1 : 0;
}

// Folds text for Contains: case and/or non-spacing marks removed as the comparison asks.
std::string Fold(const std::string& s, bool ignoreCase, bool ignoreMarks) {
  if (!ignoreCase && !ignoreMarks) return s;
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(s);
  if (ignoreMarks) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_SUCCESS(status)) {
      icu::UnicodeString d = nfd->normalize(u, status);
      if (U_SUCCESS(status)) {
        icu::UnicodeString stripped;
        for (int32_t i = 0; i < d.length();) {
          UChar32 ch = d.char32At(i);
          if (u_charType(ch) != U_NON_SPACING_MARK) stripped.append(ch);
          i += U16_LENGTH(ch);
        }
        u = stripped;
      }
    }
  }
  if (ignoreCase) u.foldCase();
  std::string out;
  u.toUTF8String(out);
  return out;
}

bool ContainsMatch(const std::string& value, const std::string& constant, const std::string& mode,
                   const std::string& comparison) {
  bool ignoreCase = comparison != "Exact" && comparison != "IgnoreNonSpacingCharacters";
  bool ignoreMarks = comparison == "IgnoreNonSpacingCharacters" || comparison == "Loose" ||
                     comparison == "IgnoreCaseAndNonSpacingCharacters" ||
                     comparison == "LooseAndIgnoreCase" || comparison == "LooseAndIgnoreNonSpace" ||
                     comparison == "LooseAndIgnoreCaseAndIgnoreNonSpace";
  std::string v = Fold(value, ignoreCase, ignoreMarks), c = Fold(constant, ignoreCase, ignoreMarks);
  if (mode == "Substring") return v.find(c) != std::string::npos;
  if (mode == "Prefixed") return v.rfind(c, 0) == 0;
  auto isWordChar = [](char ch) {
    return std::isalnum(static_cast<unsigned char>(ch)) || (static_cast<unsigned char>(ch) & 0x80);
  };
  if (mode == "PrefixOnWords" || mode == "ExactPhrase") {
    for (size_t pos = v.find(c); pos != std::string::npos; pos = v.find(c, pos + 1)) {
      bool startOk = pos == 0 || !isWordChar(v[pos - 1]);
      bool endOk = pos + c.size() == v.size() || !isWordChar(v[pos + c.size()]);
      if (startOk && (mode == "PrefixOnWords" || endOk)) return true;
    }
    return false;
  }
  return v == c;  // FullString
}

uint64_t ParseMask(const std::string& s) {
  try {
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
      return std::stoull(s.substr(2), nullptr, 16);
    return std::stoull(s);
  } catch (...) {
    FailCode("ErrorInvalidValueForProperty");
  }
}

pugi::xml_node FirstPath(const pugi::xml_node& expr) {
  for (auto c : Elements(expr)) {
    auto ln = LocalName(c);
    if (ln == "FieldURI" || ln == "IndexedFieldURI" || ln == "ExtendedFieldURI") return c;
  }
  FailCode("ErrorInvalidRequest");
}

}  // namespace

bool EvaluateRestriction(const pugi::xml_node& expr, const Item& item) {
  auto op = LocalName(expr);
  if (op == "And") {
    for (auto c : Elements(expr))
      if (!EvaluateRestriction(c, item)) return false;
    return true;
  }
  if (op == "Or") {
    for (auto c : Elements(expr))
      if (EvaluateRestriction(c, item)) return true;
    return false;
  }
  if (op == "Not") {
    auto c = Elements(expr);
    return c.empty() ? true : !EvaluateRestriction(c.front(), item);
  }
  if (op == "Exists") {
    auto v = PathValues(item, FirstPath(expr));
    return v.has_value();
  }
  if (op == "Contains") {
    auto path = FirstPath(expr);
    auto values = PathValues(item, path);
    if (!values) return false;
    std::string constant = Attr(Child(expr, "Constant"), "Value");
    std::string mode = Attr(expr, "ContainmentMode"), cmp = Attr(expr, "ContainmentComparison");
    if (mode.empty()) mode = "FullString";
    if (cmp.empty()) cmp = "Exact";
    for (auto& v : *values)
      if (ContainsMatch(v, constant, mode, cmp)) return true;
    return false;
  }
  if (op == "Excludes") {
    auto values = PathValues(item, FirstPath(expr));
    if (!values || values->empty()) return false;
    uint64_t mask = ParseMask(Attr(Child(expr, "Bitmask"), "Value"));
    uint64_t v = 0;
    try {
      v = static_cast<uint64_t>(std::stoll(values->front()));
    } catch (...) {
      return false;
    }
    return (v & mask) == 0;
  }
  static const std::map<std::string, int, std::less<>> relops = {
      {"IsEqualTo", 0},     {"IsNotEqualTo", 1},
      {"IsGreaterThan", 2}, {"IsGreaterThanOrEqualTo", 3},
      {"IsLessThan", 4},    {"IsLessThanOrEqualTo", 5}};
  auto rel = relops.find(op);
  if (rel == relops.end()) FailCode("ErrorUnsupportedPathForQuery");
  auto path = FirstPath(expr);
  auto lhs = PathValues(item, path);
  if (!lhs) return false;
  auto rhsHolder = Child(expr, "FieldURIOrConstant");
  auto rhsNode = Elements(rhsHolder);
  if (rhsNode.empty()) FailCode("ErrorInvalidRequest");
  std::vector<std::string> rhs;
  if (LocalName(rhsNode.front()) == "Constant") {
    rhs.push_back(Attr(rhsNode.front(), "Value"));
  } else {
    auto other = PathValues(item, rhsNode.front());
    if (!other) return false;
    rhs = *other;
  }
  std::string type = PathType(item, path);
  for (auto& a : *lhs)
    for (auto& b : rhs) {
      int c = CompareTyped(a, b, type);
      bool ok = false;
      switch (rel->second) {
        case 0:
          ok = c == 0;
          break;
        case 1:
          ok = c != 0;
          break;
        case 2:
          ok = c > 0;
          break;
        case 3:
          ok = c >= 0;
          break;
        case 4:
          ok = c < 0;
          break;
        case 5:
          ok = c <= 0;
          break;
      }
      if (ok) return true;
    }
  return false;
}

namespace {

struct SortKey {
  bool present = false;
  double num = 0;
  std::string text;
};

struct CacheEntry {
  std::string key;
  std::shared_ptr<const std::vector<uint64_t>> ids;
};

std::mutex cacheMutex;
std::list<CacheEntry> cache;  // most recent first

std::shared_ptr<const std::vector<uint64_t>> CacheGet(const std::string& key) {
  std::lock_guard<std::mutex> lock(cacheMutex);
  for (auto it = cache.begin(); it != cache.end(); ++it)
    if (it->key == key) {
      cache.splice(cache.begin(), cache, it);
      return cache.front().ids;
    }
  return nullptr;
}

void CachePut(const std::string& key, std::shared_ptr<const std::vector<uint64_t>> ids) {
  std::lock_guard<std::mutex> lock(cacheMutex);
  cache.push_front({key, std::move(ids)});
  if (cache.size() > 16) cache.pop_back();
}

// The items of a folder (and its subfolders when deep): its ordinary contents, or its associated
// ones (hidden items such as views and settings, made with IsAssociated).
void CollectItems(Mailbox& m, const Folder& f, bool deep, std::vector<Item*>& out,
                  bool associated = false) {
  for (uint64_t id : f.items)
    if (Item* item = m.ItemById(id); item && item->Bool("IsAssociated", false) == associated)
      out.push_back(item);
  if (deep)
    for (uint32_t child : f.children)
      if (Folder* cf = m.FolderById(child)) CollectItems(m, *cf, deep, out, associated);
}

std::vector<uint64_t> Query(Mailbox& m, Folder& folder, const pugi::xml_node& op,
                            const std::string& traversal) {
  bool deep = traversal == "Deep";
  std::vector<Item*> candidates;
  if (folder.kind == "SearchFolder") {
    pugi::xml_document doc;
    doc.load_string(folder.searchRestriction.c_str());
    std::vector<Item*> all;
    for (uint32_t root : folder.searchRoots)
      if (Folder* r = m.FolderById(root)) CollectItems(m, *r, folder.searchDeep, all);
    for (Item* item : all)
      if (!doc.document_element() || EvaluateRestriction(doc.document_element(), *item))
        candidates.push_back(item);
  } else {
    CollectItems(m, folder, deep, candidates, traversal == "Associated");
  }
  if (auto r = Child(op, "Restriction")) {
    auto expr = Elements(r);
    if (!expr.empty())
      candidates.erase(
          std::remove_if(candidates.begin(), candidates.end(),
                         [&](Item* i) { return !EvaluateRestriction(expr.front(), *i); }),
          candidates.end());
  }
  if (auto q = Child(op, "QueryString")) {
    std::string text = Fold(Text(q), true, false);
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&](Item* i) {
                                      return Fold(i->Value("Subject"), true, false).find(text) ==
                                                 std::string::npos &&
                                             Fold(i->Value("Body"), true, false).find(text) ==
                                                 std::string::npos;
                                    }),
                     candidates.end());
  }
  // Sort keys computed once per item.
  struct Order {
    pugi::xml_node path;
    bool descending;
  };
  std::vector<Order> orders;
  for (auto fo : Elements(Child(op, "SortOrder")))
    if (LocalName(fo) == "FieldOrder")
      orders.push_back({FirstPath(fo), Attr(fo, "Order") == "Descending"});
  std::vector<std::pair<std::vector<SortKey>, Item*>> rows;
  rows.reserve(candidates.size());
  for (Item* item : candidates) {
    std::vector<SortKey> keys;
    if (orders.empty()) {
      SortKey k;
      k.present = true;
      k.text = item->Value("DateTimeReceived");
      keys.push_back(k);
    }
    for (auto& o : orders) {
      SortKey k;
      auto v = PathValues(*item, o.path);
      std::string type = PathType(*item, o.path);
      if (v && !v->empty()) {
        k.present = true;
        if (EnumRank(type, v->front()) >= 0) {
          k.num = EnumRank(type, v->front());
        } else if (IsNumericType(type) || type == "boolean") {
          bool b;
          if (type == "boolean" && ParseBool(v->front(), b))
            k.num = b;
          else {
            try {
              k.num = std::stod(v->front());
            } catch (...) {
              k.num = 0;
            }
          }
        } else if (type == "dateTime") {
          k.num = static_cast<double>(ParseDateTime(v->front()).value_or(0));
        } else {
          k.text = Fold(v->front(), true, false);
        }
      }
      keys.push_back(std::move(k));
    }
    rows.emplace_back(std::move(keys), item);
  }
  std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
    for (size_t i = 0; i < a.first.size(); ++i) {
      const SortKey& x = a.first[i];
      const SortKey& y = b.first[i];
      bool desc = orders.empty() ? true : orders[i].descending;
      int c = 0;
      if (x.present != y.present)
        c = x.present ? 1 : -1;
      else if (x.num != y.num)
        c = x.num < y.num ? -1 : 1;
      else if (x.text != y.text)
        c = x.text < y.text ? -1 : 1;
      if (c) return desc ? c > 0 : c < 0;
    }
    if (orders.empty()) return a.second->id > b.second->id;
    return false;
  });
  std::vector<uint64_t> ids;
  ids.reserve(rows.size());
  for (auto& r : rows)
    ids.push_back(r.second->id);
  return ids;
}

void FindItem(Ctx& c) {
  Shape shape = ParseShape(Child(c.op, "ItemShape"));
  shape.forFind = true;
  shape.legacyTimeZones = LegacyTimeZones(c);
  std::string traversal = Attr(c.op, "Traversal");
  for (auto id : Elements(Child(c.op, "ParentFolderIds"))) {
    PerMessage(c, "FindItem", nullptr, [&](std::string& out) {
      auto [m, folder] = c.ResolveFolder(id);
      if (auto cal = Child(c.op, "CalendarView")) {
        if (folder->kind != "CalendarFolder")
          Fail("ErrorCalendarFolderIsInvalidForCalendarView",
               "A CalendarView can only be used with a calendar folder.");
        WriteCalendarView(c, *m, *folder, cal, shape, out);
        return;
      }
      if (traversal == "SoftDeleted") {
        out +=
            "<m:RootFolder IndexedPagingOffset=\"0\" TotalItemsInView=\"0\" "
            "IncludesLastItemInRange=\"true\"><t:Items/></m:RootFolder>";
        return;
      }
      std::string key =
          std::to_string(c.store.instance) + "|" + std::to_string(c.store.generation.load()) + "|" +
          std::to_string(m->index) + "|" + std::to_string(folder->id) + "|" + traversal + "|" +
          OuterXml(Child(c.op, "Restriction")) + "|" + OuterXml(Child(c.op, "SortOrder")) + "|" +
          OuterXml(Child(c.op, "QueryString"));
      auto ids = CacheGet(key);
      if (!ids) {
        ids = std::make_shared<const std::vector<uint64_t>>(Query(*m, *folder, c.op, traversal));
        CachePut(key, ids);
      }
      Paging p = Page(c.op, "IndexedPageItemView", "FractionalPageItemView", ids->size());
      out.reserve(out.size() + p.count * 600);
      out += "<m:RootFolder" + p.attributes + "><t:Items>";
      for (size_t i = p.start; i < p.start + p.count; ++i)
        if (Item* item = m->ItemById((*ids)[i])) WriteItem(out, *m, *item, shape);
      out += "</t:Items></m:RootFolder>";
    });
  }
}

}  // namespace

void RegisterFindOps(OpTable& t) {
  t["FindItem"] = {FindItem, false};
}

}  // namespace ewssim
