// The filter language of `ews ls --where` and the table output.
#include <gtest/gtest.h>

#include <sstream>

#include "ews_filter.h"
#include "ews_output.h"

using namespace ewscli;

namespace {

std::string Norm(const std::string& text) {
  return FilterToString(*ParseFilter(text));
}

std::size_t ErrorColumn(const std::string& text) {
  try {
    ParseFilter(text);
  } catch (const FilterError& e) {
    return e.Column();
  }
  ADD_FAILURE() << "no error for: " << text;
  return 0;
}

}  // namespace

TEST(Filter, ComparisonsAndValueKinds) {
  auto n = ParseFilter("isread = false");
  EXPECT_EQ(n->kind, FilterNode::Kind::Compare);
  EXPECT_EQ(n->field, "isread");
  EXPECT_EQ(n->value.kind, FilterValue::Kind::Boolean);
  EXPECT_FALSE(n->value.boolean);

  EXPECT_EQ(ParseFilter("size >= 1024")->value.integer, 1024);
  EXPECT_EQ(ParseFilter("size >= -3")->value.kind, FilterValue::Kind::Integer);
  EXPECT_DOUBLE_EQ(ParseFilter("x < 2.5")->value.number, 2.5);
  EXPECT_EQ(ParseFilter("received > 2024-05-01")->value.kind, FilterValue::Kind::DateTime);
  EXPECT_EQ(ParseFilter("received > 2024-05-01T10:00:00Z")->value.kind,
            FilterValue::Kind::DateTime);
  // Quoted values are always text, even when they look like something else.
  auto q = ParseFilter("subject = 'true'");
  EXPECT_EQ(q->value.kind, FilterValue::Kind::Text);
  EXPECT_EQ(q->value.text, "true");
  EXPECT_EQ(ParseFilter("subject = \"42\"")->value.kind, FilterValue::Kind::Text);
  // A bare word that is no number, date or boolean is text.
  EXPECT_EQ(ParseFilter("from = bob@example.com")->value.text, "bob@example.com");

  using Op = FilterNode::Op;
  const std::pair<std::string, Op> ops[] = {{"=", Op::Eq},  {"==", Op::Eq}, {"!=", Op::Ne},
                                            {"<>", Op::Ne}, {"<", Op::Lt},  {"<=", Op::Le},
                                            {">", Op::Gt},  {">=", Op::Ge}};
  for (const auto& [op, expected] : ops)
    EXPECT_EQ(ParseFilter("a " + op + " 1")->op, expected) << op;
  // No spaces needed around operators.
  EXPECT_EQ(Norm("size>=10"), "size >= 10");
}

TEST(Filter, QuotingAndEscapes) {
  EXPECT_EQ(ParseFilter(R"(subject = 'it\'s "here"')")->value.text, "it's \"here\"");
  EXPECT_EQ(ParseFilter(R"(subject = "a \\ b")")->value.text, "a \\ b");
  EXPECT_EQ(ParseFilter("subject = 'and or not'")->value.text, "and or not");
  EXPECT_EQ(ParseFilter("subject = ''")->value.text, "");
  EXPECT_EQ(ParseFilter("subject = 'Grüße'")->value.text, "Grüße");
  // Round trip through the normal form keeps quotes and backslashes.
  EXPECT_EQ(Norm(R"(subject = 'it\'s')"), R"(subject = 'it\'s')");
}

TEST(Filter, ContainsStartsWithExists) {
  auto c = ParseFilter("subject contains 'report'");
  EXPECT_EQ(c->kind, FilterNode::Kind::Contains);
  EXPECT_EQ(c->value.text, "report");
  EXPECT_EQ(ParseFilter("subject CONTAINS 42")->value.kind, FilterValue::Kind::Text);
  EXPECT_EQ(ParseFilter("subject startswith Re:")->kind, FilterNode::Kind::StartsWith);
  EXPECT_EQ(ParseFilter("exists PR_SUBJECT")->kind, FilterNode::Kind::Exists);
  EXPECT_EQ(ParseFilter("exists PR_SUBJECT")->field, "PR_SUBJECT");
  EXPECT_EQ(Norm("categories exists"), "exists categories");
}

TEST(Filter, PrecedenceGroupingAndNegation) {
  // and binds tighter than or.
  EXPECT_EQ(Norm("a = 1 or b = 2 and c = 3"), "(a = 1 or (b = 2 and c = 3))");
  EXPECT_EQ(Norm("(a = 1 or b = 2) and c = 3"), "((a = 1 or b = 2) and c = 3)");
  // Chains flatten into one node.
  auto chain = ParseFilter("a=1 and b=2 and c=3");
  EXPECT_EQ(chain->kind, FilterNode::Kind::And);
  EXPECT_EQ(chain->children.size(), 3u);
  EXPECT_EQ(Norm("not a = 1 and b = 2"), "(not a = 1 and b = 2)");
  EXPECT_EQ(Norm("not (a = 1 and b = 2)"), "not (a = 1 and b = 2)");
  EXPECT_EQ(Norm("not not exists x"), "not not exists x");
  EXPECT_EQ(Norm("!(a=1) && b=2 || c=3"), "((not a = 1 and b = 2) or c = 3)");
  EXPECT_EQ(Norm("A = 1 AND B = 2 Or NOT C = 3"), "((A = 1 and B = 2) or not C = 3)");
  EXPECT_EQ(Norm("((((a = 1))))"), "a = 1");
}

TEST(Filter, ErrorsNameTheColumn) {
  EXPECT_EQ(ErrorColumn(""), 1u);
  EXPECT_EQ(ErrorColumn("   "), 4u);
  EXPECT_EQ(ErrorColumn("isread"), 7u);        // operator missing at the end
  EXPECT_EQ(ErrorColumn("isread = "), 10u);    // value missing
  EXPECT_EQ(ErrorColumn("isread false"), 8u);  // not an operator
  EXPECT_EQ(ErrorColumn("(a = 1"), 7u);        // missing ')'
  EXPECT_EQ(ErrorColumn("a = 1)"), 6u);        // stray ')'
  EXPECT_EQ(ErrorColumn("a = 'open"), 5u);     // unterminated quote
  EXPECT_EQ(ErrorColumn("a = 1 and"), 10u);    // field missing after and
  EXPECT_EQ(ErrorColumn("a = 1 b = 2"), 7u);   // missing and/or
  EXPECT_EQ(ErrorColumn("a & b"), 3u);         // single &
  EXPECT_EQ(ErrorColumn("a = #"), 5u);         // unknown character
  EXPECT_EQ(ErrorColumn("and = 1"), 1u);       // keyword as field
  EXPECT_EQ(ErrorColumn("exists"), 7u);        // exists without field
  EXPECT_EQ(ErrorColumn("a contains"), 11u);
  EXPECT_EQ(ErrorColumn("a = ="), 5u);
  // Nesting stops at the limit with the column of the level too many, never a stack overflow.
  const int limit = kMaxFilterDepth;
  EXPECT_EQ(Norm(std::string(limit, '(') + "a = 1" + std::string(limit, ')')), "a = 1");
  EXPECT_EQ(ErrorColumn(std::string(limit + 1, '(') + "a = 1" + std::string(limit + 1, ')')),
            static_cast<std::size_t>(limit + 1));
  std::string nots;
  for (int i = 0; i < 100000; ++i)
    nots += "not ";
  EXPECT_EQ(ErrorColumn(nots + "exists x"), 4u * limit + 1);
}

TEST(Output, TableAlignsCutsAndJson) {
  Table t{{"subject", "n"}, {{"hello", "1"}, {"a much longer subject line here", "22"}, {"x"}}};
  std::ostringstream out;
  PrintTable(out, t, 12);
  EXPECT_EQ(out.str(),
            "subject       n\n"
            "------------  --\n"
            "hello         1\n"
            "a much long\xE2\x80\xA6  22\n"
            "x\n");
  auto j = TableToJson(t);
  ASSERT_EQ(j.size(), 3u);
  EXPECT_EQ(j[1]["subject"], "a much longer subject line here");
  EXPECT_TRUE(j[2]["n"].is_null());
}

TEST(Output, WidthsAndCellsForTerminals) {
  struct Case {
    const char* text;
    std::size_t width;
  };
  for (const Case& c : std::vector<Case>{
           {"Grüße", 5},
           {"\xE6\x97\xA5\xE6\x9C\xAC", 4},  // two wide CJK characters
           {"e\xCC\x81", 1},                 // e + combining acute
           {"\xEF\xBC\xA1", 2},              // full-width A
           {"a\xE2\x80\x8B"
            "b",
            2},  // zero-width space is a format character
       })
    EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
  // Controls are shown, never sent to the terminal; bidi overrides are dropped.
  EXPECT_EQ(CellText("a\tb\r\nc\x1b[31m"), "a\\tb\\r\\nc\\x1b[31m");
  EXPECT_EQ(CellText("x\xE2\x80\xAEy\xFFz"), "xy\xEF\xBF\xBDz");
  EXPECT_EQ(TerminalText("one\r\ntwo\rthree\tfour\x07"), "one\ntwo\\rthree\tfour\\x07");
  EXPECT_EQ(Fit("Grüße!", 4), "Grü\xE2\x80\xA6");
  EXPECT_EQ(Fit("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 4), "\xE6\x97\xA5\xE2\x80\xA6");

  // Wide cells align: the column is as wide as the widest cell in columns.
  std::ostringstream out;
  TableWriter w(out, {"a", "b"}, 60, 2);
  w.Add({"\xE6\x97\xA5\xE6\x9C\xAC", "1"});
  w.Add({"xy", "2"});
  w.Add({"a longer cell than the sample", "3"});  // after the sample: cut to its width
  w.Finish();
  EXPECT_EQ(out.str(),
            "a     b\n----  -\n\xE6\x97\xA5\xE6\x9C\xAC  1\nxy    2\na l\xE2\x80\xA6  3\n");

  std::ostringstream array, lines;
  JsonWriter a(array, false), l(lines, true);
  for (int i : {1, 2}) {
    a.Add({{"n", i}});
    l.Add({{"n", i}});
  }
  a.Finish();
  l.Finish();
  EXPECT_EQ(nlohmann::json::parse(array.str()), nlohmann::json::parse(R"([{"n":1},{"n":2}])"));
  EXPECT_EQ(lines.str(), "{\"n\":1}\n{\"n\":2}\n");
  std::ostringstream none;
  JsonWriter(none, false).Finish();
  EXPECT_EQ(none.str(), "[]\n");
}
