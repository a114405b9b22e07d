// Recipient lists (the parsing of Add, AsString both ways, removal), members lists, string
// arrays, category records and the folder picker settings, over XML made here; every request
// body built through the lists is checked against the EWS schema.
#include <gtest/gtest.h>

#include "DvXML.h"
#include "ews_testsupport.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSInterfacesRecipients.h"

using namespace dv;
using ews_test::kEwsNs;
using ews_test::ScopedTZ;
using ews_test::ThrownMessage;

namespace {

// A CreateItem request with one message; `inner` goes inside t:Message.
DvDOMDocumentPtr CreateItemDoc(const std::string& inner = "") {
  return DvCreateDOM(
      std::string("<m:CreateItem") + kEwsNs +
      " MessageDisposition=\"SaveOnly\"><m:Items><t:Message><t:Subject>s</t:Subject>" + inner +
      "</t:Message></m:Items></m:CreateItem>");
}

DvDOMElementPtr Message(const DvDOMDocumentPtr& doc) {
  return doc->SelectSingleElement("CreateItem/Items/Message");
}

std::unique_ptr<TDvEWSRecipients> ToList(const DvDOMDocumentPtr& doc,
                                         TServerVersion v = TServerVersion::Exchange2016) {
  DvDOMElementPtr to = Message(doc)->SelectSingleElement("ToRecipients");
  if (!to) to = Message(doc)->AddElement("t:ToRecipients");
  return std::make_unique<TDvEWSRecipients>(to, "Mailbox", v);
}

struct Parsed {
  std::string name, routing, address;
};

Parsed AddOne(const std::string& text) {
  auto doc = CreateItemDoc();
  auto list = ToList(doc);
  auto r = list->Add(text);
  return {r->GetName(), r->GetRoutingType(), r->GetEmailAddress()};
}

}  // namespace

// ---- Add: the forms of a recipient text ----

TEST(RecipientAdd, TextFormsGiveNameRoutingTypeAndAddress) {
  struct Case {
    const char* text;
    Parsed want;
  } cases[] = {
      {"John Smith <john@example.com>", {"John Smith", "SMTP", "john@example.com"}},
      {"  John Smith [john@example.com]  ", {"John Smith", "SMTP", "john@example.com"}},
      {"John Smith (john@example.com)", {"John Smith", "SMTP", "john@example.com"}},
      // Quotes around the name are removed; single quotes everywhere first.
      {"\"Smith, John\" <john@example.com>", {"Smith, John", "SMTP", "john@example.com"}},
      // Apostrophes leave the name only: the address keeps every character it was given.
      {"'John' O'Brien <jo@example.com>", {"John OBrien", "SMTP", "jo@example.com"}},
      {"O'Brien <o'brien@example.com>", {"OBrien", "SMTP", "o'brien@example.com"}},
      {"Q <\"john smith\"@example.com>", {"Q", "SMTP", "\"john smith\"@example.com"}},
      // A routing type prefix is upper-cased; without a name the whole text is the name.
      {"<smtp:john@example.com>", {"<smtp:john@example.com>", "SMTP", "john@example.com"}},
      {"Fax <fax:+4912345>", {"Fax", "FAX", "+4912345"}},
      // An empty routing type with an "@" becomes SMTP.
      {"Someone <:a@example.com>", {"Someone", "SMTP", "a@example.com"}},
      // Only the text's last character decides the form: a "<" inside [] is part of the name.
      {"a<b [x@example.com]", {"a<b", "SMTP", "x@example.com"}},
      // Texts no bracket form parses go through the e-mail test.
      {"john@example.com", {"john@example.com", "SMTP", "john@example.com"}},
      {"o'brien@example.com", {"o'brien@example.com", "SMTP", "o'brien@example.com"}},
      {"a!#$%&*/=?^_`{|}~+-b@example.com",
       {"a!#$%&*/=?^_`{|}~+-b@example.com", "SMTP", "a!#$%&*/=?^_`{|}~+-b@example.com"}},
      {"John Smith", {"John Smith", "", ""}},
      // An SMTP address without "@" makes the bracket parse fail: the text is a name only.
      {"John <john>", {"John <john>", "", ""}},
      {"John <smtp:john>", {"John <smtp:john>", "", ""}},
      // Legacy Exchange addresses keep "EX" and the text.
      {"/o=Org/ou=Admin/cn=Recipients/cn=john",
       {"/o=Org/ou=Admin/cn=Recipients/cn=john", "EX", "/o=Org/ou=Admin/cn=Recipients/cn=john"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const Parsed p = AddOne(c.text);
    EXPECT_EQ(p.name, c.want.name);
    EXPECT_EQ(p.routing, c.want.routing);
    EXPECT_EQ(p.address, c.want.address);
  }
}

TEST(RecipientAdd, BlankTextRaisesAndAddsNothing) {
  auto doc = CreateItemDoc();
  auto list = ToList(doc);
  EXPECT_EQ(ThrownMessage([&] { list->Add(" \t "); }), "You can not add an empty recipient");
  EXPECT_EQ(ThrownMessage([&] { list->Add(""); }), "You can not add an empty recipient");
  EXPECT_EQ(list->Count(), 0);
  EXPECT_EQ(Message(doc)->SelectSingleElement("ToRecipients")->ElementCount(), 0);
}

TEST(RecipientAdd, EmailTest) {
  for (const char* good : {"a@b.cd", "first.last+tag@sub-domain.example.org", "x_y@ab.cde",
                           "a@.bcd", "A1@B2.C3", "o'brien@ex.com", "{x}|~`^?=/*&%$#!@ex.com",
                           "\"a b@c\"@ex.com", "\"q\\\"t\"@ex.com", "a@[127.0.0.1]"})
    EXPECT_TRUE(DvEWSIsEmailAddress(good)) << good;
  for (const char* bad : {"@b.cd", "a@b.c", "a@bc.d", "a@bcd", "a@b@c.de", "a b@c.de", "a@c.d e",
                          "ä@b.cd", "a@b,c.de", "a@", "", "abc.def"})
    EXPECT_FALSE(DvEWSIsEmailAddress(bad)) << bad;
  for (const char* bad : {".a@ex.com", "a.@ex.com", "a..b@ex.com", "a(b)@ex.com", "a,b@ex.com",
                          "\"a\"b\"@ex.com", "\"a\\\"@ex.com", "\"\x01\"@ex.com", "a@[1]]", "a@[]"})
    EXPECT_FALSE(DvEWSIsEmailAddress(bad)) << bad;
}

TEST(RecipientAdd, MalformedAddressesAreRefusedAndLeaveTheListAsItWas) {
  auto doc = CreateItemDoc();
  auto list = ToList(doc);
  list->Add("kept@example.com");
  for (const char* text : {"john@example", "jo hn@example.com", "<john@example.com> x",
                           "John <jo..hn@example.com>", "John <smtp:@example.com>"}) {
    EXPECT_EQ(ThrownMessage([&] { list->Add(text); }),
              std::string("The recipient \"") + text + "\" is not a valid e-mail address");
    EXPECT_EQ(ThrownMessage([&] { list->SetAsString(std::string("a@example.com; ") + text); }),
              std::string("The recipient \"") + text + "\" is not a valid e-mail address");
  }
  EXPECT_EQ(list->GetAsString(), "kept@example.com");
  EXPECT_EQ(Message(doc)->SelectSingleElement("ToRecipients")->ElementCount(), 1);
}

TEST(RecipientAdd, StripLiterals) {
  EXPECT_EQ(DvStripLiterals("\"Smith, John\""), "Smith, John");
  EXPECT_EQ(DvStripLiterals("\"say \"\"hi\"\"\""), "say \"hi\"");
  EXPECT_EQ(DvStripLiterals("'x'"), "x");
  EXPECT_EQ(DvStripLiterals("\"open"), "\"open");
  EXPECT_EQ(DvStripLiterals("\""), "\"");
  EXPECT_EQ(DvStripLiterals("plain"), "plain");
}

// ---- The list: AsString, removal, document order, the XML it writes ----

TEST(Recipients, AsStringBothWaysAndTheRequestIsValid) {
  auto doc = CreateItemDoc();
  auto list = ToList(doc);
  list->SetAsString("John Smith <john@example.com>; mary@example.com;;  ;");
  ASSERT_EQ(list->Count(), 2);
  EXPECT_EQ(list->GetAsString(), "John Smith <john@example.com>; mary@example.com");

  // A name equal to the address is written once.
  list->GetRecipient(1)->SetName("mary@example.com");
  EXPECT_EQ(list->GetAsString(), "John Smith <john@example.com>; mary@example.com");

  // Writing replaces the list, in the XML as well.
  list->SetAsString("a@example.com");
  EXPECT_EQ(list->Count(), 1);
  EXPECT_EQ(Message(doc)->CreateElementList("ToRecipients/Mailbox")->Count(), 1);

  list->Add("B <b@example.com>");
  auto v = ews_test::ValidateElement(doc->GetXML());
  EXPECT_TRUE(v.ok) << v.message << "\n" << doc->GetXML();
  EXPECT_EQ(Message(doc)->SelectSingleElement("ToRecipients/Mailbox[1]")->GetXML(),
            "<t:Mailbox><t:Name>B</t:Name><t:EmailAddress>b@example.com</t:EmailAddress>"
            "<t:RoutingType>SMTP</t:RoutingType></t:Mailbox>");
}

TEST(Recipients, ReadsDescendantsByNameAndRemovesThem) {
  // Rooms list their mailboxes as Rooms/Room/Id.
  auto doc =
      DvCreateDOM(std::string("<m:Rooms") + kEwsNs +
                  "><t:Room><t:Id><t:Name>R1</t:Name><t:EmailAddress>r1@example.com"
                  "</t:EmailAddress></t:Id></t:Room><t:Room><t:Id><t:Name>R2</t:Name>"
                  "<t:EmailAddress>R2@Example.com</t:EmailAddress></t:Id></t:Room></m:Rooms>");
  TDvEWSRecipients rooms(doc->GetDocumentElement(), "Id", TServerVersion::Exchange2010);
  ASSERT_EQ(rooms.Count(), 2);
  EXPECT_EQ(rooms.GetRecipient(1)->GetName(), "R2");

  rooms.Remove("nobody@example.com");
  EXPECT_EQ(rooms.Count(), 2);
  rooms.Remove("r2@example.COM");  // case-insensitive
  ASSERT_EQ(rooms.Count(), 1);
  EXPECT_EQ(doc->CreateElementList("Rooms/Room/Id")->Count(), 1);
  EXPECT_EQ(rooms.GetAsString(), "R1 <r1@example.com>");
  EXPECT_THROW(rooms.Delete(1), EListError);
  EXPECT_THROW(rooms.GetRecipient(-1), EListError);

  // A recipient element of another name is refused.
  EXPECT_THROW(
      TDvEWSRecipient(doc->SelectSingleElement("Rooms/Room"), "Id", TServerVersion::Exchange2010),
      Exception);
}

TEST(Recipients, DeletedRecipientHeldByTheCallerStaysUsable) {
  auto doc = CreateItemDoc();
  auto list = ToList(doc);
  list->Add("a@example.com");
  list->Add("b@example.com");
  DvEWSRecipientPtr held = list->GetRecipient(0);
  list->Delete(0);
  EXPECT_EQ(held->GetEmailAddress(), "a@example.com");
  held->SetName("still here");  // edits its own copy, not the list's XML
  EXPECT_EQ(list->GetAsString(), "b@example.com");
  EXPECT_EQ(doc->GetXML().find("still here"), std::string::npos);

  DvEWSRecipientPtr held2 = list->GetRecipient(0);
  list->Clear();
  EXPECT_EQ(held2->GetEmailAddress(), "b@example.com");
  EXPECT_EQ(Message(doc)->SelectSingleElement("ToRecipients")->ElementCount(), 0);
}

TEST(Recipients, DestroyingTheListClearsItsElements) {
  auto doc = CreateItemDoc(
      "<t:ToRecipients><t:Mailbox><t:EmailAddress>a@example.com</t:EmailAddress></t:Mailbox>"
      "</t:ToRecipients>");
  DvEWSRecipientPtr held;
  {
    auto list = ToList(doc);
    ASSERT_EQ(list->Count(), 1);
    held = list->GetRecipient(0);
  }
  EXPECT_EQ(Message(doc)->SelectSingleElement("ToRecipients")->ElementCount(), 0);
  EXPECT_EQ(held->GetEmailAddress(), "a@example.com");
}

TEST(Recipients, StandaloneList) {
  auto list = TDvEWSRecipients::CreateStandalone(TServerVersion::Exchange2013);
  EXPECT_EQ(list->Count(), 0);
  list->SetAsString("x@example.com;Y <y@example.com>");
  EXPECT_EQ(list->GetAsString(), "x@example.com; Y <y@example.com>");
  EXPECT_EQ(list->GetMailBoxParent()->ElementCount(), 2);
}

TEST(Recipients, ItemIdMailboxTypeAndOriginalDisplayName) {
  auto doc = CreateItemDoc();
  auto list = ToList(doc, TServerVersion::Exchange2010_SP2);
  auto r = list->Add("Team <team@example.com>");
  EXPECT_EQ(r->GetItemId(), TItemId());
  r->SetItemId(TItemId("AAMk=", "CQAA"));
  EXPECT_EQ(r->GetItemId(), TItemId("AAMk=", "CQAA"));
  r->SetMailboxType(TMailboxType::mtPrivateDL);
  EXPECT_EQ(r->GetMailboxType(), TMailboxType::mtPrivateDL);
  auto v = ews_test::ValidateElement(doc->GetXML());
  EXPECT_TRUE(v.ok) << v.message << "\n" << doc->GetXML();

  EXPECT_EQ(ThrownMessage([&] { r->GetOriginalDisplayName(); }),
            "\"OriginalDisplayName\" is not supported by Exchange2010_SP2. This feature requires "
            "Exchange Exchange2013!");
  auto doc2 = CreateItemDoc();
  auto newer = ToList(doc2, TServerVersion::Exchange2013);
  auto r2 = newer->Add("x@example.com");
  r2->SetOriginalDisplayName("X Original");
  EXPECT_EQ(r2->GetOriginalDisplayName(), "X Original");
}

TEST(ItemIds, AssignFromSchemaIds) {
  auto doc = DvCreateDOM(std::string("<r") + kEwsNs +
                         "><t:FolderId Id=\"F1\" ChangeKey=\"K1\"/><t:ItemId Id=\"I1\"/></r>");
  TEwsFolderId folder(doc->SelectSingleElement("r/FolderId"));
  TEwsItemId item(doc->SelectSingleElement("r/ItemId"));
  TItemId id("x", "y");
  id.Assign(folder);
  EXPECT_EQ(id, TItemId("F1", "K1"));
  id.Assign(item);
  EXPECT_EQ(id, TItemId("I1", ""));
  EXPECT_FALSE(id.IsEmpty());
  EXPECT_TRUE(TItemId().IsEmpty());
}

// ---- Members ----

TEST(MembersList, AddRemoveDeleteClear) {
  auto doc = DvCreateDOM(std::string("<m:CreateItem") + kEwsNs +
                         "><m:Items><t:DistributionList><t:DisplayName>L</t:DisplayName>"
                         "<t:Members><t:Member Key=\"k1\"><t:Mailbox><t:EmailAddress>a@example.com"
                         "</t:EmailAddress></t:Mailbox><t:Status>Normal</t:Status></t:Member>"
                         "</t:Members></t:DistributionList></m:Items></m:CreateItem>");
  DvDOMElementPtr members = doc->SelectSingleElement("CreateItem/Items/DistributionList/Members");
  TDvEWSMembersList list(members, TServerVersion::Exchange2016);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.GetItem(0)->GetKey(), "k1");
  EXPECT_EQ(list.GetItem(0)->GetStatus(), TMemberStatus::msNormal);
  EXPECT_EQ(list.GetItem(0)->GetMailbox()->GetEmailAddress(), "a@example.com");

  auto b1 = list.Add("b@example.com");
  b1->SetKey("first-b");
  auto b2 = list.Add("B@example.com");
  b2->SetKey("second-b");
  b2->SetStatus(TMemberStatus::msDemoted);
  // A mailbox text is split as a recipient's; a text without an address is refused.
  auto named = list.Add(" \"Smith, Ann\" <ann@example.com> ");
  EXPECT_EQ(named->GetMailbox()->GetName(), "Smith, Ann");
  EXPECT_EQ(named->GetMailbox()->GetEmailAddress(), "ann@example.com");
  EXPECT_EQ(b1->GetMailbox()->GetName(), "");
  for (const char* bad : {"Ann <ann@example>", " "})
    EXPECT_THROW(list.Add(bad), Exception) << bad;
  EXPECT_EQ(ThrownMessage([&] { list.Add("Ann Smith"); }),
            "The recipient \"Ann Smith\" is not a valid e-mail address");
  EXPECT_EQ(members->ElementCount(), 4);
  auto v = ews_test::ValidateElement(doc->GetXML());
  EXPECT_TRUE(v.ok) << v.message << "\n" << doc->GetXML();
  list.Delete(3);

  // Remove takes the last match.
  list.Remove("b@EXAMPLE.com");
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.GetItem(1)->GetKey(), "first-b");
  EXPECT_EQ(members->CreateElementList("Member")->Count(), 2);
  // The removed member, still held, keeps its mailbox.
  EXPECT_EQ(b2->GetMailbox()->GetEmailAddress(), "B@example.com");
  b2->GetMailbox()->SetName("detached");
  EXPECT_EQ(b2->GetMemberElement().GetXML().find("detached") != std::string::npos, true);

  list.Remove("nobody@example.com");
  EXPECT_EQ(list.Count(), 2);
  list.Delete(0);
  EXPECT_EQ(list.GetItem(0)->GetKey(), "first-b");
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(members->ElementCount(), 0);
  EXPECT_THROW(list.Delete(0), EListError);
}

// ---- Strings ----

TEST(Strings, EditTheArray) {
  auto doc = CreateItemDoc("<t:Categories><t:String>Red</t:String></t:Categories>");
  TDvEWSStrings cats(Message(doc)->SelectSingleElement("Categories"));
  EXPECT_EQ(cats.Count(), 1);
  EXPECT_EQ(cats.Add("Blue"), 1);
  EXPECT_EQ(cats.Add("Green"), 2);
  EXPECT_EQ(cats.IndexOf("Blue"), 1);
  EXPECT_EQ(cats.IndexOf("blue"), -1);
  cats.SetItem(0, "Orange");
  EXPECT_EQ(cats.GetItem(0), "Orange");
  EXPECT_EQ(cats.AsString(", "), "Orange, Blue, Green");
  auto v = ews_test::ValidateElement(doc->GetXML());
  EXPECT_TRUE(v.ok) << v.message;
  cats.Delete(1);
  EXPECT_EQ(cats.AsString(";"), "Orange;Green");
  EXPECT_THROW(cats.GetItem(2), EListError);
  cats.Clear();
  EXPECT_EQ(cats.Count(), 0);
  EXPECT_EQ(cats.AsString(", "), "");
}

// ---- Categories ----

TEST(Categories, ColourTableAndShortcuts) {
  auto doc = DvCreateDOM(
      "<categories default=\"Red\"><category name=\"Blue\" color=\"7\" keyboardShortcut=\"3\"/>"
      "<category name=\"Low\" color=\"-1\" keyboardShortcut=\"0\"/>"
      "<category name=\"High\" color=\"25\" keyboardShortcut=\"12\"/>"
      "<category name=\"First\" color=\"0\" keyboardShortcut=\"1\"/>"
      "<category name=\"Last\" color=\"24\" keyboardShortcut=\"11\"/>"
      "<category name=\"Bad\" color=\"x\"/></categories>");
  auto list = doc->CreateElementList("categories/category");
  auto cat = [&](int i) { return TDvEWSCategory::FromElement(*list->GetItem(i)); };
  EXPECT_EQ(cat(0).Name, "Blue");
  EXPECT_EQ(cat(0).Color, 50u | (103u << 8) | (184u << 16));
  EXPECT_EQ(cat(0).ShortCut, 0x4073);
  EXPECT_EQ(cat(1).Color, 0xFFFFFFu);
  EXPECT_EQ(cat(1).ShortCut, 0);
  EXPECT_EQ(cat(2).Color, 0xFFFFFFu);
  EXPECT_EQ(cat(2).ShortCut, 0);
  EXPECT_EQ(cat(3).Color, 214u | (37u << 8) | (46u << 16));
  EXPECT_EQ(cat(3).ShortCut, 0x4071);
  EXPECT_EQ(cat(4).Color, 130u | (55u << 8) | (95u << 16));
  EXPECT_EQ(cat(4).ShortCut, 0x407B);
  EXPECT_EQ(cat(5).Color, 0xFFFFFFu);
  EXPECT_EQ(DvEWSCategoryColor(14), 0x1C1C1Cu);
}

TEST(FolderDialogDisplayTypes, AssignTo) {
  TDvEWSFolderDialogDisplayTypes a;
  a.SetShowMessageFolders(false);  // also hides the plain folders
  EXPECT_FALSE(a.GetShowFolders());
  a.SetShowSearchFolders(false);
  TDvEWSFolderDialogDisplayTypes b;
  a.AssignTo(b);
  EXPECT_EQ(a, b);
}
