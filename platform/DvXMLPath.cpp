// The path language: a small XPath subset over local names.
//
//   path      := ['/' | '//'] step (('/' | '//') step)* ['/']
//   step      := '.' | '..' | '*' | [prefix ':'] name | prefix ':*'   followed by predicate*
//   predicate := '[' digits ']'                      zero-based position among the step's matches
//              | '[' expr ']'
//   expr      := and-expr ('or' and-expr)*
//   and-expr  := unary ('and' unary)*
//   unary     := '(' expr ')' | 'not(' expr ')' | test
//   test      := ('@' name | relative-path) [('=' | '!=') ('"' text '"' | "'" text "'" | number)]
//
// A prefix written in a path is ignored: names match local names whatever their prefix. Local
// names (and attribute names in predicates) match ASCII-case-insensitively unless the caller asks
// for exact matching. A leading '/' starts at the document; a leading '//' searches below the
// context (like './/'); a trailing '/' is ignored. The result is in document order without
// duplicates.
#include "DvXMLPath.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <unordered_set>

#include "DvXML.h"

namespace dv::xmlpath {

struct TExpr;

struct TPredicate {
  int position = -1;  // >= 0: a position predicate
  std::unique_ptr<TExpr> expr;
};

struct TStep {
  enum class TKind { Self, Parent, Name, Any };
  TKind kind = TKind::Name;
  bool descendant = false;  // reached through '//'
  std::string name;         // local name for TKind::Name
  std::vector<TPredicate> predicates;
  bool hasPosition = false;
};

struct TPath {
  bool absolute = false;
  std::vector<TStep> steps;
  bool childOnly = true;  // no '//' step: depth-first search finds the first match in order
};

struct TExpr {
  enum class TOp { And, Or, Not, Test };
  enum class TCompare { Exists, Equal, NotEqual };
  TOp op = TOp::Test;
  std::vector<std::unique_ptr<TExpr>> operands;
  bool attribute = false;
  std::string attributeName;  // local name
  TPath path;                 // element test: relative path from the candidate
  TCompare compare = TCompare::Exists;
  std::string literal;
};

namespace {

// ---- Parsing ----

constexpr bool IsDelimiter(char c) {
  switch (c) {
    case '\0':
    case '/':
    case '[':
    case ']':
    case '(':
    case ')':
    case '=':
    case '!':
    case '@':
    case '"':
    case '\'':
    case ' ':
    case '\t':
    case '\r':
    case '\n':
    case '<':
    case '>':
    case '|':
    case ',':
      return true;
    default:
      return false;
  }
}

std::string_view LocalPart(std::string_view name) {
  const std::size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

class TParser {
 public:
  explicit TParser(std::string_view text) : s_(text) {}

  TPath ParseTop() {
    TPath p = ParsePath(true);
    SkipWs();
    if (pos_ != s_.size()) Fail("unexpected character");
    return p;
  }

 private:
  [[noreturn]] void Fail(const char* what) const {
    throw EDvXMLException("Invalid XML path \"" + std::string(s_) + "\" at position " +
                          std::to_string(pos_) + ": " + what);
  }
  char Peek(std::size_t ahead = 0) const {
    return pos_ + ahead < s_.size() ? s_[pos_ + ahead] : '\0';
  }
  bool AtEnd() const { return pos_ >= s_.size(); }
  void SkipWs() {
    while (!AtEnd() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r' || s_[pos_] == '\n')) {
      ++pos_;
    }
  }
  void Expect(char c, const char* what) {
    SkipWs();
    if (Peek() != c) Fail(what);
    ++pos_;
  }
  std::string_view ReadName() {
    const std::size_t start = pos_;
    while (!AtEnd() && !IsDelimiter(s_[pos_]))
      ++pos_;
    return s_.substr(start, pos_ - start);
  }

  TPath ParsePath(bool top) {
    TPath p;
    bool descendant = false;
    if (Peek() == '/') {
      if (Peek(1) == '/') {
        pos_ += 2;
        descendant = true;
      } else {
        p.absolute = true;
        ++pos_;
        if (AtEnd()) return p;  // "/": the document itself
      }
    } else if (top && AtEnd()) {
      return p;  // "": the context itself
    }
    for (;;) {
      TStep step = ParseStep();
      if (descendant) {
        if (step.kind == TStep::TKind::Self || step.kind == TStep::TKind::Parent) {
          Fail("'.' and '..' cannot follow '//'");
        }
        step.descendant = true;
        p.childOnly = false;
      }
      p.steps.push_back(std::move(step));
      if (Peek() != '/') break;
      if (Peek(1) == '/') {
        pos_ += 2;
        descendant = true;
        continue;
      }
      ++pos_;
      descendant = false;
      if (top && AtEnd()) break;  // trailing '/'
    }
    return p;
  }

  TStep ParseStep() {
    TStep step;
    if (Peek() == '.' && Peek(1) == '.') {
      pos_ += 2;
      step.kind = TStep::TKind::Parent;
    } else if (Peek() == '.' && IsDelimiter(Peek(1))) {
      ++pos_;
      step.kind = TStep::TKind::Self;
    } else {
      const std::string_view qualified = ReadName();
      if (qualified.empty()) Fail("expected a name");
      const std::string_view local = LocalPart(qualified);
      if (local.empty()) Fail("expected a name after the prefix");
      if (local == "*") {
        step.kind = TStep::TKind::Any;
      } else {
        if (local.find('*') != std::string_view::npos) Fail("'*' must stand alone");
        step.name = std::string(local);
      }
    }
    while (Peek() == '[') {
      TPredicate pr = ParsePredicate();
      if (pr.position >= 0) step.hasPosition = true;
      step.predicates.push_back(std::move(pr));
    }
    return step;
  }

  TPredicate ParsePredicate() {
    ++pos_;  // '['
    SkipWs();
    TPredicate pr;
    if (Peek() >= '0' && Peek() <= '9') {
      long long v = 0;
      while (Peek() >= '0' && Peek() <= '9') {
        v = v * 10 + (Peek() - '0');
        if (v > 1000000000) Fail("position too large");
        ++pos_;
      }
      pr.position = static_cast<int>(v);
    } else {
      pr.expr = ParseOr();
    }
    Expect(']', "expected ']'");
    return pr;
  }

  bool Keyword(std::string_view word) {
    SkipWs();
    if (s_.substr(pos_, word.size()) != word) return false;
    const char next = Peek(word.size());
    if (next != ' ' && next != '\t' && next != '\r' && next != '\n' && next != '(') return false;
    pos_ += word.size();
    return true;
  }

  std::unique_ptr<TExpr> Combine(TExpr::TOp op, std::unique_ptr<TExpr> left,
                                 std::unique_ptr<TExpr> right) {
    if (left->op == op) {
      left->operands.push_back(std::move(right));
      return left;
    }
    auto e = std::make_unique<TExpr>();
    e->op = op;
    e->operands.push_back(std::move(left));
    e->operands.push_back(std::move(right));
    return e;
  }

  std::unique_ptr<TExpr> ParseOr() {
    auto left = ParseAnd();
    while (Keyword("or"))
      left = Combine(TExpr::TOp::Or, std::move(left), ParseAnd());
    return left;
  }

  std::unique_ptr<TExpr> ParseAnd() {
    auto left = ParseUnary();
    while (Keyword("and"))
      left = Combine(TExpr::TOp::And, std::move(left), ParseUnary());
    return left;
  }

  std::unique_ptr<TExpr> ParseUnary() {
    SkipWs();
    if (Peek() == '(') {
      ++pos_;
      auto e = ParseOr();
      Expect(')', "expected ')'");
      return e;
    }
    if (s_.substr(pos_, 4) == "not(") {
      pos_ += 4;
      auto e = std::make_unique<TExpr>();
      e->op = TExpr::TOp::Not;
      e->operands.push_back(ParseOr());
      Expect(')', "expected ')'");
      return e;
    }
    auto e = std::make_unique<TExpr>();
    if (Peek() == '@') {
      ++pos_;
      const std::string_view name = LocalPart(ReadName());
      if (name.empty()) Fail("expected an attribute name");
      e->attribute = true;
      e->attributeName = std::string(name);
    } else {
      if (IsDelimiter(Peek()) && Peek() != '/') Fail("expected a name, '@' or '('");
      e->path = ParsePath(false);
    }
    SkipWs();
    if (Peek() == '=') {
      ++pos_;
      e->compare = TExpr::TCompare::Equal;
    } else if (Peek() == '!' && Peek(1) == '=') {
      pos_ += 2;
      e->compare = TExpr::TCompare::NotEqual;
    } else {
      return e;
    }
    SkipWs();
    const char quote = Peek();
    if (quote == '"' || quote == '\'') {
      const std::size_t end = s_.find(quote, pos_ + 1);
      if (end == std::string_view::npos) Fail("unterminated text");
      e->literal = std::string(s_.substr(pos_ + 1, end - pos_ - 1));
      pos_ = end + 1;
    } else {
      const std::size_t start = pos_;
      while (Peek() == '-' || Peek() == '.' || (Peek() >= '0' && Peek() <= '9'))
        ++pos_;
      if (pos_ == start) Fail("expected a quoted text or a number");
      e->literal = std::string(s_.substr(start, pos_ - start));
    }
    return e;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
};

// ---- Cache ----

struct TStringHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

// Paths built from data (ids, names) could make the cache grow without bound; it is emptied
// when it reaches this size.
constexpr std::size_t kCacheLimit = 4096;

std::shared_mutex& CacheMutex() {
  static std::shared_mutex m;
  return m;
}

std::unordered_map<std::string, std::shared_ptr<const TPath>, TStringHash, std::equal_to<>>&
Cache() {
  static std::unordered_map<std::string, std::shared_ptr<const TPath>, TStringHash, std::equal_to<>>
      cache;
  return cache;
}

// ---- Evaluation ----

inline char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StepMatches(const TStep& step, pugi::xml_node n, bool cs) {
  if (n.type() != pugi::node_element) return false;
  return step.kind == TStep::TKind::Any || LocalNameIs(n.name(), step.name, cs);
}

bool EvalExpr(const TExpr& e, pugi::xml_node n, bool cs);

// Calls f on each element the path selects from ctx until f returns true.
template <typename F>
bool AnyMatch(const TPath& p, pugi::xml_node ctx, bool cs, F&& f);

bool PassesPredicate(const TPredicate& pr, pugi::xml_node n, bool cs) {
  return EvalExpr(*pr.expr, n, cs);
}

// Filters out[base..] by the step's predicates, in order (positions count the nodes that
// passed the previous predicates).
void ApplyPredicates(const TStep& step, std::vector<pugi::xml_node>& out, std::size_t base,
                     bool cs) {
  for (const TPredicate& pr : step.predicates) {
    if (out.size() == base) return;
    if (pr.position >= 0) {
      const std::size_t idx = base + static_cast<std::size_t>(pr.position);
      if (idx < out.size()) {
        out[base] = out[idx];
        out.resize(base + 1);
      } else {
        out.resize(base);
      }
    } else {
      std::size_t w = base;
      for (std::size_t r = base; r < out.size(); ++r) {
        if (PassesPredicate(pr, out[r], cs)) out[w++] = out[r];
      }
      out.resize(w);
    }
  }
}

// Appends the candidates of one step from one context node (before predicates).
void Candidates(const TStep& step, pugi::xml_node ctx, bool cs, std::vector<pugi::xml_node>& out) {
  switch (step.kind) {
    case TStep::TKind::Self:
      out.push_back(ctx);
      return;
    case TStep::TKind::Parent:
      if (pugi::xml_node p = ctx.parent()) out.push_back(p);
      return;
    default:
      break;
  }
  if (!step.descendant) {
    for (pugi::xml_node c = ctx.first_child(); c; c = c.next_sibling()) {
      if (StepMatches(step, c, cs)) out.push_back(c);
    }
    return;
  }
  // Pre-order walk of ctx's subtree, ctx excluded.
  pugi::xml_node cur = ctx.first_child();
  while (cur) {
    if (StepMatches(step, cur, cs)) out.push_back(cur);
    if (pugi::xml_node first = cur.first_child(); first && cur.type() == pugi::node_element) {
      cur = first;
      continue;
    }
    while (cur && cur != ctx && !cur.next_sibling())
      cur = cur.parent();
    if (!cur || cur == ctx) break;
    cur = cur.next_sibling();
  }
}

// True when a comes before b in document order.
bool DocBefore(pugi::xml_node a, pugi::xml_node b) {
  if (a == b) return false;
  std::vector<pugi::xml_node> ca, cb;
  for (pugi::xml_node n = a; n; n = n.parent())
    ca.push_back(n);
  for (pugi::xml_node n = b; n; n = n.parent())
    cb.push_back(n);
  std::reverse(ca.begin(), ca.end());
  std::reverse(cb.begin(), cb.end());
  std::size_t i = 0;
  while (i < ca.size() && i < cb.size() && ca[i] == cb[i])
    ++i;
  if (i == ca.size()) return true;   // a is an ancestor of b
  if (i == cb.size()) return false;  // b is an ancestor of a
  for (pugi::xml_node s = ca[i].next_sibling(); s; s = s.next_sibling()) {
    if (s == cb[i]) return true;
  }
  return false;
}

void Dedup(std::vector<pugi::xml_node>& v) {
  std::unordered_set<const void*> seen;
  seen.reserve(v.size() * 2);
  std::size_t w = 0;
  for (std::size_t r = 0; r < v.size(); ++r) {
    if (seen.insert(v[r].internal_object()).second) v[w++] = v[r];
  }
  v.resize(w);
}

void SortDocOrder(std::vector<pugi::xml_node>& v) {
  bool sorted = true;
  for (std::size_t i = 1; i < v.size() && sorted; ++i)
    sorted = DocBefore(v[i - 1], v[i]);
  if (sorted) return;
  std::stable_sort(v.begin(), v.end(), DocBefore);
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

pugi::xml_node StartNode(const TPath& p, pugi::xml_node ctx) {
  return p.absolute ? ctx.root() : ctx;
}

void SelectNodes(const TPath& p, pugi::xml_node ctx, bool cs, std::vector<pugi::xml_node>& cur) {
  cur.clear();
  cur.push_back(StartNode(p, ctx));
  std::vector<pugi::xml_node> next;
  bool mayBeUnordered = false;
  for (const TStep& step : p.steps) {
    next.clear();
    for (pugi::xml_node n : cur) {
      const std::size_t base = next.size();
      Candidates(step, n, cs, next);
      ApplyPredicates(step, next, base, cs);
    }
    if (next.size() > 1 && cur.size() > 1 &&
        (step.kind == TStep::TKind::Parent || step.descendant)) {
      Dedup(next);
    }
    // Parents of several nodes, and the matches of a '//' step from several contexts or followed
    // by further steps (nested matches), may leave document order.
    const bool last = &step == &p.steps.back();
    if (next.size() > 1 &&
        (step.kind == TStep::TKind::Parent || (step.descendant && (cur.size() > 1 || !last)))) {
      mayBeUnordered = true;
    }
    cur.swap(next);
    if (cur.empty()) return;
  }
  if (mayBeUnordered && cur.size() > 1) SortDocOrder(cur);
}

// Depth-first search for paths without '//': the first element found is the first in
// document order.
template <typename F>
bool Dfs(const TPath& p, std::size_t i, pugi::xml_node n, bool cs, F& f) {
  if (i == p.steps.size()) return n.type() == pugi::node_element && f(n);
  const TStep& step = p.steps[i];
  if (step.predicates.empty() && step.kind != TStep::TKind::Self &&
      step.kind != TStep::TKind::Parent) {
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) {
      if (StepMatches(step, c, cs) && Dfs(p, i + 1, c, cs, f)) return true;
    }
    return false;
  }
  std::vector<pugi::xml_node> cand;
  Candidates(step, n, cs, cand);
  ApplyPredicates(step, cand, 0, cs);
  for (pugi::xml_node c : cand) {
    if (Dfs(p, i + 1, c, cs, f)) return true;
  }
  return false;
}

template <typename F>
bool AnyMatch(const TPath& p, pugi::xml_node ctx, bool cs, F&& f) {
  if (p.childOnly) return Dfs(p, 0, StartNode(p, ctx), cs, f);
  if (p.steps.size() == 1 && !p.steps[0].hasPosition) {
    // "//name[...]": a pre-order walk meets the matches in document order.
    const TStep& step = p.steps[0];
    pugi::xml_node root = StartNode(p, ctx);
    pugi::xml_node cur = root.first_child();
    while (cur) {
      if (StepMatches(step, cur, cs)) {
        bool ok = true;
        for (const TPredicate& pr : step.predicates) {
          if (!PassesPredicate(pr, cur, cs)) {
            ok = false;
            break;
          }
        }
        if (ok && f(cur)) return true;
      }
      if (pugi::xml_node first = cur.first_child(); first && cur.type() == pugi::node_element) {
        cur = first;
        continue;
      }
      while (cur && cur != root && !cur.next_sibling())
        cur = cur.parent();
      if (!cur || cur == root) break;
      cur = cur.next_sibling();
    }
    return false;
  }
  std::vector<pugi::xml_node> v;
  SelectNodes(p, ctx, cs, v);
  for (pugi::xml_node n : v) {
    if (n.type() == pugi::node_element && f(n)) return true;
  }
  return false;
}

bool EvalExpr(const TExpr& e, pugi::xml_node n, bool cs) {
  switch (e.op) {
    case TExpr::TOp::And:
      for (const auto& o : e.operands) {
        if (!EvalExpr(*o, n, cs)) return false;
      }
      return true;
    case TExpr::TOp::Or:
      for (const auto& o : e.operands) {
        if (EvalExpr(*o, n, cs)) return true;
      }
      return false;
    case TExpr::TOp::Not:
      return !EvalExpr(*e.operands[0], n, cs);
    case TExpr::TOp::Test:
      break;
  }
  if (e.attribute) {
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
      if (!LocalNameIs(a.name(), e.attributeName, cs)) continue;
      switch (e.compare) {
        case TExpr::TCompare::Exists:
          return true;
        case TExpr::TCompare::Equal:
          if (e.literal == a.value()) return true;
          break;
        case TExpr::TCompare::NotEqual:
          if (e.literal != a.value()) return true;
          break;
      }
    }
    return false;
  }
  return AnyMatch(e.path, n, cs, [&e](pugi::xml_node m) {
    switch (e.compare) {
      case TExpr::TCompare::Exists:
        return true;
      case TExpr::TCompare::Equal:
        return NodeText(m) == e.literal;
      case TExpr::TCompare::NotEqual:
        return NodeText(m) != e.literal;
    }
    return false;
  });
}

// Appends the text of n's descendants in document order (iteratively: a hostile document may be
// nested deeper than the stack allows).
void AppendText(pugi::xml_node n, std::string& out) {
  pugi::xml_node cur = n.first_child();
  while (cur) {
    if (cur.type() == pugi::node_pcdata || cur.type() == pugi::node_cdata) {
      out += cur.value();
    } else if (cur.type() == pugi::node_element && cur.first_child()) {
      cur = cur.first_child();
      continue;
    }
    while (cur != n && !cur.next_sibling())
      cur = cur.parent();
    if (cur == n) break;
    cur = cur.next_sibling();
  }
}

}  // namespace

bool LocalNameIs(const char* qualifiedName, std::string_view name, bool caseSensitive) {
  // Most names have a one-letter prefix ("t:Subject"): then the local part starts at the third
  // byte and is compared up to its end without measuring the name first. Only a second ':' in
  // the name (which would shorten the local part) leaves it to the general comparison.
  if (caseSensitive && qualifiedName[0] != '\0' && qualifiedName[1] == ':') {
    if (name.find(':') != std::string_view::npos) return false;
    const char* local = qualifiedName + 2;
    std::size_t i = 0;
    while (i < name.size() && local[i] == name[i])
      ++i;
    if (i == name.size() && local[i] == '\0') return true;
    bool colon = false;
    for (const char* c = local; *c != '\0' && !colon; ++c)
      colon = *c == ':';
    if (!colon) return false;
  }
  // The local part is what follows the last ':', so it ends the qualified name: compare the
  // name's length of bytes at the end, which must be the whole name or follow a ':'. A local
  // part holds no ':', so a name that does never matches.
  const std::size_t length = std::strlen(qualifiedName);
  if (length < name.size()) return false;
  const char* local = qualifiedName + (length - name.size());
  if (local != qualifiedName && local[-1] != ':') return false;
  if (name.find(':') != std::string_view::npos) return false;
  if (caseSensitive) return std::memcmp(local, name.data(), name.size()) == 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (LowerAscii(local[i]) != LowerAscii(name[i])) return false;
  }
  return true;
}

bool IsChildName(std::string_view path, std::string_view& localName) {
  static constexpr std::array<bool, 256> kNameByte = [] {
    std::array<bool, 256> t{};
    for (int c = 1; c < 256; ++c)
      t[static_cast<std::size_t>(c)] = !IsDelimiter(static_cast<char>(c)) && c != '*';
    return t;
  }();
  if (path.empty() || path.front() == '.') return false;
  for (const char c : path) {
    if (!kNameByte[static_cast<unsigned char>(c)]) return false;
  }
  localName = LocalPart(path);
  return !localName.empty();
}

pugi::xml_node FirstChildNamed(pugi::xml_node context, std::string_view localName,
                               bool caseSensitive) {
  for (pugi::xml_node c = context.first_child(); c; c = c.next_sibling()) {
    // The name first: text nodes have none, so the type is looked at only for a match.
    if (LocalNameIs(c.name(), localName, caseSensitive) && c.type() == pugi::node_element) return c;
  }
  return {};
}

std::string NodeText(pugi::xml_node node) {
  if (node.type() != pugi::node_element && node.type() != pugi::node_document) {
    return node.value();
  }
  pugi::xml_node first = node.first_child();
  if (!first) return {};
  if (!first.next_sibling() &&
      (first.type() == pugi::node_pcdata || first.type() == pugi::node_cdata)) {
    return first.value();
  }
  std::string out;
  AppendText(node, out);
  return out;
}

std::shared_ptr<const TPath> Compile(std::string_view path) {
  {
    std::shared_lock lock(CacheMutex());
    auto& cache = Cache();
    if (auto it = cache.find(path); it != cache.end()) return it->second;
  }
  auto compiled = std::make_shared<const TPath>(TParser(path).ParseTop());
  std::unique_lock lock(CacheMutex());
  auto& cache = Cache();
  if (cache.size() >= kCacheLimit) cache.clear();
  return cache.emplace(std::string(path), std::move(compiled)).first->second;
}

void SelectAll(const TPath& path, pugi::xml_node context, bool caseSensitive,
               std::vector<pugi::xml_node>& result) {
  std::vector<pugi::xml_node> nodes;
  SelectNodes(path, context, caseSensitive, nodes);
  result.reserve(result.size() + nodes.size());
  for (pugi::xml_node n : nodes) {
    if (n.type() == pugi::node_element) result.push_back(n);
  }
}

pugi::xml_node SelectFirst(const TPath& path, pugi::xml_node context, bool caseSensitive) {
  pugi::xml_node found;
  AnyMatch(path, context, caseSensitive, [&found](pugi::xml_node n) {
    found = n;
    return true;
  });
  return found;
}

std::size_t CacheSize() {
  std::shared_lock lock(CacheMutex());
  return Cache().size();
}

}  // namespace dv::xmlpath
