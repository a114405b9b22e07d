// JSON documents: the autodiscover JSON answer and the value accessors.
#include <gtest/gtest.h>

#include "DvJSON.h"

using namespace dv;

TEST(Json, ReadsMembersArraysAndScalars) {
  const auto doc = DvCreateJSON(R"({"Protocol":"EWS",
      "Url":"https://outlook.office365.com/EWS/Exchange.asmx",
      "Count": 3, "Big": 9007199254740993, "Ratio": 0.5, "Ok": true, "None": null,
      "Names": ["a", "b\u00e9"], "Nested": {"Inner": {"Id": "42"}}})");
  const auto root = doc->GetRootValue();
  ASSERT_TRUE(root->IsObject());
  EXPECT_EQ(root->Member("Url")->AsString(), "https://outlook.office365.com/EWS/Exchange.asmx");
  EXPECT_EQ(root->Member("Missing"), nullptr);
  EXPECT_EQ(root->Member("url"), nullptr);  // member names are exact
  EXPECT_TRUE(root->HasMember("None"));
  EXPECT_TRUE(root->Member("None")->IsNull());
  EXPECT_EQ(root->Member("None")->AsString(), "");
  EXPECT_EQ(root->Member("Count")->AsInteger(), 3);
  EXPECT_EQ(root->Member("Count")->AsString(), "3");
  EXPECT_EQ(root->Member("Big")->AsInteger(), 9007199254740993LL);
  EXPECT_DOUBLE_EQ(root->Member("Ratio")->AsDouble(), 0.5);
  EXPECT_TRUE(root->Member("Ok")->AsBoolean());
  EXPECT_EQ(root->Member("Ok")->AsString(), "true");
  EXPECT_EQ(root->Member("Nested")->Member("Inner")->Member("Id")->AsInteger(), 42);
  EXPECT_EQ(root->MemberNames().front(), "Protocol");  // document order
  // An object's Count members are its items too, in document order.
  EXPECT_EQ(root->GetItem(0)->AsString(), root->Member("Protocol")->AsString());
  EXPECT_THROW(root->GetItem(root->Count()), EListError);

  const auto names = root->Member("Names");
  ASSERT_TRUE(names->IsArray());
  ASSERT_EQ(names->Count(), 2);
  EXPECT_EQ(names->GetItem(1)->AsString(), "b\xC3\xA9");
  EXPECT_THROW(names->GetItem(2), EListError);
  EXPECT_EQ(names->Member("x"), nullptr);
  EXPECT_EQ(root->Member("Url")->Count(), 0);

  EXPECT_THROW(root->Member("Names")->AsString(), EDvJSONException);
  EXPECT_THROW(root->Member("Url")->AsInteger(), EDvJSONException);
  EXPECT_THROW(root->Member("Count")->AsBoolean(), EDvJSONException);
  EXPECT_EQ(names->ToJSON(), "[\"a\",\"b\xC3\xA9\"]");
}

TEST(Json, ValuesOutliveTheirDocument) {
  DvJSONValuePtr v;
  {
    const auto doc = DvCreateJSON(R"({"a":{"b":[1,2,3]}})");
    v = doc->GetRootValue()->Member("a")->Member("b");
  }
  EXPECT_EQ(v->GetItem(2)->AsInteger(), 3);
}

TEST(Json, MalformedTextRaisesWithTheOffset) {
  for (const char* bad :
       {"", "{", "{\"a\":}", "[1,2,,]", "{'a':1}", "nul", "{\"a\":1} x", "[1e99999]"}) {
    EXPECT_THROW(DvCreateJSON(bad), EDvJSONException) << bad;
  }
  try {
    DvCreateJSON("{\"a\": tru}");
    FAIL();
  } catch (const EDvJSONException& e) {
    EXPECT_NE(std::string(e.what()).find("offset"), std::string::npos) << e.what();
  }
  // A scalar document is fine.
  EXPECT_EQ(DvCreateJSON(" 12 ")->GetRootValue()->AsInteger(), 12);
}
