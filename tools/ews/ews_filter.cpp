#include "ews_filter.h"

#include <cctype>
#include <cstdlib>

namespace ewscli {

namespace {

struct Token {
  enum class Kind { Word, Quoted, Op, LParen, RParen, End };
  Kind kind = Kind::End;
  std::string text;
  std::size_t column = 0;  // 1-based
};

std::string Lower(std::string s) {
  for (auto& c : s)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsWordChar(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || c == '_' || c == ':' || c == '.' || c == '-' || c == '+' || c == '@' ||
         c == '/' || u >= 0x80;
}

std::vector<Token> Tokenize(const std::string& text) {
  std::vector<Token> out;
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    Token t;
    t.column = i + 1;
    if (c == '(' || c == ')') {
      t.kind = c == '(' ? Token::Kind::LParen : Token::Kind::RParen;
      t.text = std::string(1, c);
      ++i;
    } else if (c == '\'' || c == '"') {
      t.kind = Token::Kind::Quoted;
      char quote = c;
      ++i;
      bool closed = false;
      while (i < text.size()) {
        char d = text[i++];
        if (d == '\\' && i < text.size()) {
          t.text += text[i++];
        } else if (d == quote) {
          closed = true;
          break;
        } else {
          t.text += d;
        }
      }
      if (!closed) throw FilterError("unterminated quoted text", t.column);
    } else if (c == '=' || c == '!' || c == '<' || c == '>' || c == '&' || c == '|') {
      t.kind = Token::Kind::Op;
      std::string two = text.substr(i, 2);
      if (two == "==" || two == "!=" || two == "<>" || two == "<=" || two == ">=" || two == "&&" ||
          two == "||") {
        t.text = two;
        i += 2;
      } else if (c == '&' || c == '|') {
        throw FilterError(std::string("unexpected '") + c + "'", t.column);
      } else {
        t.text = std::string(1, c);
        ++i;
      }
    } else if (IsWordChar(c)) {
      t.kind = Token::Kind::Word;
      while (i < text.size() && IsWordChar(text[i]))
        t.text += text[i++];
    } else {
      throw FilterError(std::string("unexpected character '") + c + "'", t.column);
    }
    out.push_back(std::move(t));
  }
  Token end;
  end.column = text.size() + 1;
  out.push_back(end);
  return out;
}

bool IsInteger(const std::string& s) {
  std::size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (i >= s.size()) return false;
  for (; i < s.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  return true;
}

bool IsNumber(const std::string& s) {
  char* end = nullptr;
  std::strtod(s.c_str(), &end);
  return end && *end == '\0' && !s.empty() &&
         (std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == '-' || s[0] == '+' ||
          s[0] == '.');
}

// 2024-05-01, 2024-05-01T10:00, 2024-05-01T10:00:00, with optional fraction and Z or offset.
bool IsDateTime(const std::string& s) {
  auto digits = [&](std::size_t pos, std::size_t n) {
    if (pos + n > s.size()) return false;
    for (std::size_t k = pos; k < pos + n; ++k)
      if (!std::isdigit(static_cast<unsigned char>(s[k]))) return false;
    return true;
  };
  if (!(digits(0, 4) && s.size() >= 10 && s[4] == '-' && digits(5, 2) && s[7] == '-' &&
        digits(8, 2)))
    return false;
  if (s.size() == 10) return true;
  if (s[10] != 'T' || !digits(11, 2) || s.size() < 16 || s[13] != ':' || !digits(14, 2))
    return false;
  for (std::size_t k = 16; k < s.size(); ++k) {
    char c = s[k];
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.' || c == 'Z' ||
          c == '+' || c == '-'))
      return false;
  }
  return true;
}

class Parser {
 public:
  explicit Parser(const std::string& text) : tokens_(Tokenize(text)) {}

  FilterNodePtr Parse() {
    if (Peek().kind == Token::Kind::End) throw FilterError("empty filter", Peek().column);
    auto node = ParseOr();
    if (Peek().kind != Token::Kind::End)
      throw FilterError("unexpected '" + Peek().text + "' (expected and, or or the end)",
                        Peek().column);
    return node;
  }

 private:
  const Token& Peek() const { return tokens_[pos_]; }
  // The current token; the position stays on the End token once it is reached.
  const Token& Take() {
    const Token& token = tokens_[pos_];
    if (pos_ + 1 < tokens_.size()) ++pos_;
    return token;
  }

  bool PeekKeyword(const char* word) const {
    return Peek().kind == Token::Kind::Word && Lower(Peek().text) == word;
  }
  bool PeekOp(const char* op) const { return Peek().kind == Token::Kind::Op && Peek().text == op; }

  FilterNodePtr Combine(FilterNode::Kind kind, FilterNodePtr first, bool (Parser::*more)() const,
                        FilterNodePtr (Parser::*next)()) {
    if (!(this->*more)()) return first;
    auto node = std::make_unique<FilterNode>();
    node->kind = kind;
    node->children.push_back(std::move(first));
    while ((this->*more)()) {
      Take();
      node->children.push_back((this->*next)());
    }
    return node;
  }

  bool MoreOr() const { return PeekKeyword("or") || PeekOp("||"); }
  bool MoreAnd() const { return PeekKeyword("and") || PeekOp("&&"); }

  FilterNodePtr ParseOr() {
    auto first = ParseAnd();
    return Combine(FilterNode::Kind::Or, std::move(first), &Parser::MoreOr, &Parser::ParseAnd);
  }

  FilterNodePtr ParseAnd() {
    auto first = ParseUnary();
    return Combine(FilterNode::Kind::And, std::move(first), &Parser::MoreAnd, &Parser::ParseUnary);
  }

  // Each "not" and "(" goes one level deeper; past the limit the filter is refused rather than
  // recursing without bound.
  struct Deeper {
    explicit Deeper(Parser& p) : parser(p) {
      if (++parser.depth_ > kMaxFilterDepth)
        throw FilterError("nested deeper than " + std::to_string(kMaxFilterDepth) + " levels",
                          parser.Peek().column);
    }
    ~Deeper() { --parser.depth_; }
    Parser& parser;
  };

  FilterNodePtr ParseUnary() {
    if (PeekKeyword("not") || PeekOp("!")) {
      Deeper deeper(*this);
      Take();
      auto node = std::make_unique<FilterNode>();
      node->kind = FilterNode::Kind::Not;
      node->children.push_back(ParseUnary());
      return node;
    }
    if (Peek().kind == Token::Kind::LParen) {
      Deeper deeper(*this);
      Take();
      auto inner = ParseOr();
      if (Peek().kind != Token::Kind::RParen) throw FilterError("missing ')'", Peek().column);
      Take();
      return inner;
    }
    if (PeekKeyword("exists")) {
      Take();
      auto node = std::make_unique<FilterNode>();
      node->kind = FilterNode::Kind::Exists;
      node->field = ParseField();
      return node;
    }
    return ParsePredicate();
  }

  std::string ParseField() {
    const Token& t = Peek();
    if (t.kind != Token::Kind::Word)
      throw FilterError(t.kind == Token::Kind::End
                            ? "expected a field name at the end"
                            : "expected a field name, found '" + t.text + "'",
                        t.column);
    std::string lower = Lower(t.text);
    if (lower == "and" || lower == "or" || lower == "not" || lower == "contains" ||
        lower == "startswith")
      throw FilterError("expected a field name, found '" + t.text + "'", t.column);
    return Take().text;
  }

  FilterNodePtr ParsePredicate() {
    auto node = std::make_unique<FilterNode>();
    node->field = ParseField();
    const Token& t = Peek();
    if (PeekKeyword("contains") || PeekKeyword("startswith")) {
      node->kind =
          Lower(t.text) == "contains" ? FilterNode::Kind::Contains : FilterNode::Kind::StartsWith;
      Take();
      node->value = ParseValue();
      if (node->value.kind != FilterValue::Kind::Text) {
        // contains/startswith compare texts: keep what was written.
        node->value.kind = FilterValue::Kind::Text;
      }
      return node;
    }
    if (PeekKeyword("exists")) {  // "field exists" reads as "exists field"
      Take();
      node->kind = FilterNode::Kind::Exists;
      return node;
    }
    if (t.kind != Token::Kind::Op || t.text == "!" || t.text == "&&" || t.text == "||")
      throw FilterError(
          t.kind == Token::Kind::End
              ? "expected an operator after '" + node->field + "'"
              : "expected an operator (= != < <= > >= contains startswith), found '" + t.text + "'",
          t.column);
    node->kind = FilterNode::Kind::Compare;
    const std::string op = Take().text;
    if (op == "=" || op == "==")
      node->op = FilterNode::Op::Eq;
    else if (op == "!=" || op == "<>")
      node->op = FilterNode::Op::Ne;
    else if (op == "<")
      node->op = FilterNode::Op::Lt;
    else if (op == "<=")
      node->op = FilterNode::Op::Le;
    else if (op == ">")
      node->op = FilterNode::Op::Gt;
    else
      node->op = FilterNode::Op::Ge;
    node->value = ParseValue();
    return node;
  }

  FilterValue ParseValue() {
    const Token& t = Peek();
    FilterValue v;
    if (t.kind == Token::Kind::Quoted) {
      v.text = Take().text;
      return v;
    }
    if (t.kind != Token::Kind::Word)
      throw FilterError(t.kind == Token::Kind::End ? "expected a value at the end"
                                                   : "expected a value, found '" + t.text + "'",
                        t.column);
    v.text = Take().text;
    std::string lower = Lower(v.text);
    if (lower == "true" || lower == "false") {
      v.kind = FilterValue::Kind::Boolean;
      v.boolean = lower == "true";
    } else if (IsDateTime(v.text)) {
      v.kind = FilterValue::Kind::DateTime;
    } else if (IsInteger(v.text)) {
      v.kind = FilterValue::Kind::Integer;
      v.integer = std::strtoll(v.text.c_str(), nullptr, 10);
    } else if (IsNumber(v.text)) {
      v.kind = FilterValue::Kind::Number;
      v.number = std::strtod(v.text.c_str(), nullptr);
    }
    return v;
  }

  std::vector<Token> tokens_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

std::string ValueToString(const FilterValue& v) {
  switch (v.kind) {
    case FilterValue::Kind::Text:
      return Quote(v.text);
    case FilterValue::Kind::Boolean:
      return v.boolean ? "true" : "false";
    default:
      return v.text;
  }
}

}  // namespace

FilterNodePtr ParseFilter(const std::string& text) {
  return Parser(text).Parse();
}

std::string FilterToString(const FilterNode& node) {
  static const char* const kOps[] = {"=", "!=", "<", "<=", ">", ">="};
  switch (node.kind) {
    case FilterNode::Kind::And:
    case FilterNode::Kind::Or: {
      std::string out = "(";
      for (std::size_t i = 0; i < node.children.size(); ++i) {
        if (i) out += node.kind == FilterNode::Kind::And ? " and " : " or ";
        out += FilterToString(*node.children[i]);
      }
      return out + ")";
    }
    case FilterNode::Kind::Not:
      return "not " + FilterToString(*node.children[0]);
    case FilterNode::Kind::Exists:
      return "exists " + node.field;
    case FilterNode::Kind::Contains:
      return node.field + " contains " + ValueToString(node.value);
    case FilterNode::Kind::StartsWith:
      return node.field + " startswith " + ValueToString(node.value);
    case FilterNode::Kind::Compare:
      return node.field + " " + kOps[static_cast<int>(node.op)] + " " + ValueToString(node.value);
  }
  return {};
}

}  // namespace ewscli
