// The schema element base: typed access by index, creation in declaration order, wrapper and
// array caches, the missing-element handler, run-time declarations and the enumeration tables.
#include <gtest/gtest.h>

#include "DvXMLSchema.h"
#include "test_helpers.h"
#include "uDvEWSTypes.h"

using namespace dv;

namespace {

// A document whose root holds `inner`; returns the root's first child element.
DvDOMElementPtr Parse(DvDOMDocumentPtr& doc, const std::string& inner) {
  doc = DvCreateDOM(std::string("<m:Root") + ews_test::kEwsNs + ">" + inner + "</m:Root>");
  return doc->GetDocumentElement()->GetElement(0);
}

std::vector<std::string> ChildNames(const DvDOMElementPtr& e) {
  std::vector<std::string> names;
  for (int i = 0; i < e->ElementCount(); ++i)
    names.push_back(e->GetElement(i)->GetLocalName());
  return names;
}

int Index(const TDvXMLSchemaClassInfo& info, std::string_view name) {
  const TDvXMLSchemaInfo* d = info.FindByLocalName(name);
  return d ? d->Index : -1;
}

TEST(SchemaElement, AbsentOptionalChildGivesEmptyValueAndAddsNothing) {
  DvDOMDocumentPtr doc;
  TEwsMessage msg(Parse(doc, "<t:Message><t:Subject>Hi</t:Subject></t:Message>"));
  const std::string before = msg.GetXML();
  EXPECT_EQ(msg.GetItemClass(), "");
  EXPECT_EQ(msg.GetSize(), 0);
  EXPECT_FALSE(msg.GetIsRead());
  EXPECT_TRUE(msg.GetDateTimeSent().IsZero());
  EXPECT_EQ(msg.GetSensitivity(), TSensitivityChoices::scNormal);
  EXPECT_TRUE(msg.GetSearchKey().empty());
  EXPECT_EQ(msg.GetXML(), before);
  EXPECT_EQ(msg.GetNodeByIndex(Index(TEwsMessage::ClassInfo, "Size"), false), nullptr);
  EXPECT_EQ(msg.GetSubject(), "Hi");
}

TEST(SchemaElement, AbsentClassChildIsCreatedInDeclarationOrder) {
  DvDOMDocumentPtr doc;
  TEwsItem item(Parse(doc, "<t:Item><t:ItemId Id=\"A\"/><t:Subject>S</t:Subject></t:Item>"));
  TEwsBody* body = item.GetBody();
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(ChildNames(item.AsElement()), (std::vector<std::string>{"ItemId", "Subject", "Body"}));
  EXPECT_EQ(item.GetBody(), body);  // the same wrapper on the next read
  body->SetBodyType(TBodyType::btHTML);
  body->SetValue("<p>x</p>");
  EXPECT_EQ(body->AsElement()->GetAttribute("BodyType"), "HTML");
  EXPECT_EQ(item.GetBody()->GetValue(), "<p>x</p>");
  EXPECT_FALSE(body->GetIsTruncated());
}

TEST(SchemaElement, SettersCreateMissingChildrenAtTheirDeclarationPosition) {
  DvDOMDocumentPtr doc;
  TEwsItem item(Parse(doc, "<t:Item><t:ItemId Id=\"A\"/><t:Subject>S</t:Subject></t:Item>"));
  item.SetSensitivity(TSensitivityChoices::scPrivate);
  EXPECT_EQ(ChildNames(item.AsElement()),
            (std::vector<std::string>{"ItemId", "Subject", "Sensitivity"}));
  // Children declared earlier go before the ones present, later ones after them.
  item.SetItemClass("IPM.Note");
  item.SetImportance(TImportanceChoices::icHigh);
  item.GetParentFolderId()->SetId("F");
  EXPECT_EQ(ChildNames(item.AsElement()),
            (std::vector<std::string>{"ItemId", "ParentFolderId", "ItemClass", "Subject",
                                      "Sensitivity", "Importance"}));
  EXPECT_EQ(item.FindNode("Importance")->GetAsString(), "High");
  EXPECT_EQ(item.FindNode("Sensitivity")->GetAsString(), "Private");
  // Setting an existing child replaces its text in place.
  item.SetSubject("T");
  EXPECT_EQ(item.AsElement()->GetElement(3)->GetAsString(), "T");
}

TEST(SchemaElement, ArraysAndTheirWrappersAreCachedPerParent) {
  DvDOMDocumentPtr doc;
  TEwsArrayOfRealItems page(Parse(doc,
                                  "<m:Items><t:Message><t:Subject>1</t:Subject></t:Message>"
                                  "<t:CalendarItem/><t:Message><t:Subject>2</t:Subject>"
                                  "<t:Attachments><t:ItemAttachment><t:Message/>"
                                  "</t:ItemAttachment></t:Attachments></t:Message></m:Items>"));
  TDvXMLSchemaElementArray<TEwsMessage>* messages = page.GetMessage_();
  EXPECT_EQ(page.GetMessage_(), messages);
  // Only the page's own children count, not a message nested in an attachment.
  ASSERT_EQ(messages->Count(), 2);
  TEwsMessage* second = messages->GetItem(1);
  EXPECT_EQ(messages->GetItem(1), second);
  EXPECT_EQ(second->GetSubject(), "2");
  EXPECT_EQ(page.GetCalendarItem()->Count(), 1);
  EXPECT_THROW(messages->GetItem(2), EListError);
  EXPECT_THROW(messages->GetItem(-1), EListError);

  // Lookup by published name, as a table finds the array of a row's element.
  TDvXMLSchemaElementArrayBase* byName = page.GetArrayByName("Message_");
  EXPECT_EQ(byName, messages);
  EXPECT_EQ(page.GetArrayByName("Message"), messages);
  DvDOMElementPtr row = page.AsElement()->GetElement(2);
  EXPECT_EQ(byName->IndexOfNode(*row), 1);
  EXPECT_EQ(byName->GetElement(byName->IndexOfNode(*row)), second);
  EXPECT_EQ(page.GetArrayByName("NoSuchChild"), nullptr);
  EXPECT_EQ(page.GetObjectByName("Message"), nullptr);  // an array, not a class child
}

TEST(SchemaElement, ArrayAddDeleteClearKeepOtherChildren) {
  DvDOMDocumentPtr doc;
  TEwsItem item(Parse(doc, "<t:Item><t:Subject>S</t:Subject><t:Culture>en</t:Culture></t:Item>"));
  auto* props = item.GetExtendedProperty();
  EXPECT_EQ(props->Count(), 0);
  TEwsExtendedProperty* p0 = props->Add();
  p0->SetValue("zero");
  TEwsExtendedProperty* p1 = props->Add();
  p1->SetValue("one");
  props->Add()->SetValue("two");
  ASSERT_EQ(props->Count(), 3);
  // New elements follow the last one of the array, not the end of the parent.
  EXPECT_EQ(ChildNames(item.AsElement()),
            (std::vector<std::string>{"Subject", "ExtendedProperty", "ExtendedProperty",
                                      "ExtendedProperty", "Culture"}));
  EXPECT_EQ(props->GetItem(1), p1);
  {
    // Another wrapper's array reads the same elements in any order.
    TEwsItem other(item.AsElement());
    auto* again = other.GetExtendedProperty();
    EXPECT_EQ(again->GetItem(2)->GetValue(), "two");
    EXPECT_EQ(again->GetItem(0)->GetValue(), "zero");
    EXPECT_EQ(again->GetItem(1)->GetValue(), "one");
    EXPECT_THROW(again->GetItem(3), EListError);
  }
  props->Delete(0);
  ASSERT_EQ(props->Count(), 2);
  EXPECT_EQ(props->GetItem(0), p1);  // the wrappers move with their elements
  EXPECT_EQ(props->GetItem(0)->GetValue(), "one");
  EXPECT_EQ(props->GetItem(1)->GetValue(), "two");
  props->Clear();
  EXPECT_EQ(props->Count(), 0);
  EXPECT_EQ(ChildNames(item.AsElement()), (std::vector<std::string>{"Subject", "Culture"}));
}

TEST(SchemaElement, RepeatedTextElements) {
  DvDOMDocumentPtr doc;
  TEwsItem item(Parse(doc,
                      "<t:Item><t:Categories><t:String>Red</t:String>"
                      "<t:String>Blue</t:String></t:Categories></t:Item>"));
  auto* strings = item.GetCategories()->GetString_();
  ASSERT_EQ(strings->Count(), 2);
  EXPECT_EQ(strings->GetItem(1)->GetValue(), "Blue");
  strings->Add()->SetValue("Green & <Gold>");
  DvDOMDocumentPtr again;
  TEwsItem copy(Parse(again, item.GetXML()));
  EXPECT_EQ(copy.GetCategories()->GetString_()->GetItem(2)->GetValue(), "Green & <Gold>");
}

TEST(SchemaElement, EnumerationsAreWrittenAsTheirWireTexts) {
  DvDOMDocumentPtr doc;
  TEwsPathToExtendedField path(Parse(doc, "<t:ExtendedFieldURI/>"));
  path.SetPropertyType(TMapiPropertyType::mptInteger);
  path.SetPropertyId(0x8503);
  path.SetDistinguishedPropertySetId(TDistinguishedPropertySet::dpsCommon);
  EXPECT_EQ(path.AsElement()->GetAttribute("PropertyType"), "Integer");
  EXPECT_EQ(path.AsElement()->GetAttribute("PropertyId"), "34051");
  EXPECT_EQ(path.AsElement()->GetAttribute("DistinguishedPropertySetId"), "Common");
  EXPECT_EQ(path.AsElement()->ElementCount(), 0);  // attributes, not elements

  // A text the enumeration does not know reads as the first value.
  TEwsItem odd(Parse(doc, "<t:Item><t:Importance>Urgent</t:Importance></t:Item>"));
  EXPECT_EQ(odd.GetImportance(), TImportanceChoices::icLow);
}

TEST(SchemaElement, ErrorsForUndeclaredIndexesAndNonClassChildren) {
  DvDOMDocumentPtr doc;
  TEwsItem item(Parse(doc, "<t:Item/>"));
  try {
    item.GetAsString(5000);
    FAIL() << "no exception";
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "Invalid Schema Index");
  }
  EXPECT_THROW(item.SetAsInt(0, 1), EListError);
  EXPECT_THROW(item.GetChildObject(-1), EListError);
  EXPECT_THROW(item.GetNode("NoSuchChild"), EListError);

  const int subject = Index(TEwsItem::ClassInfo, "Subject");
  try {
    item.GetChildObject(subject);
    FAIL() << "no exception";
  } catch (const EListError&) {
    FAIL() << "wrong exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Only TDvXMLSchemaElement class types are supported!");
  }
  EXPECT_THROW(item.GetChild<std::string>(Index(TEwsItem::ClassInfo, "Body")), Exception);
  // A class child asked for as the wrong schema class.
  EXPECT_THROW(item.GetChild<TEwsFolderId>(Index(TEwsItem::ClassInfo, "Body")), Exception);
  EXPECT_NE(item.GetChild<TEwsBody>(Index(TEwsItem::ClassInfo, "Body")), nullptr);
  EXPECT_EQ(ChildNames(item.AsElement()), (std::vector<std::string>{"Body"}));
  EXPECT_THROW(item.SetChild(subject, std::string("x")), Exception);
}

TEST(SchemaElement, MissingElementHandlerSuppliesChildrenOnDemand) {
  DvDOMDocumentPtr doc;
  TEwsMessage msg(Parse(doc, "<t:Message><t:ItemId Id=\"A\"/></t:Message>"));
  std::vector<std::string> asked;
  msg.SetOnMissingElement([&](TDvXMLSchemaElement& sender, const TDvXMLSchemaInfo& info) {
    asked.emplace_back(info.LocalName);
    EXPECT_EQ(&sender, &msg);
    if (info.LocalName == "Subject") {
      sender.SetAsString(info.Index, "loaded");
      return true;
    }
    if (info.LocalName == "Body") {
      sender.AsElement()->AddElement("t:Body")->SetAsString("from server");
      return true;
    }
    return false;
  });
  EXPECT_EQ(msg.GetSubject(), "loaded");
  EXPECT_EQ(msg.GetSubject(), "loaded");  // present now: not asked again
  EXPECT_EQ(msg.GetBody()->GetValue(), "from server");
  EXPECT_EQ(msg.GetInReplyTo(), "");
  EXPECT_EQ(asked, (std::vector<std::string>{"Subject", "Body", "InReplyTo"}));
  // Children present are never asked for; setters never ask.
  msg.SetIsRead(true);
  EXPECT_EQ(msg.GetItemId()->GetId(), "A");
  EXPECT_EQ(asked.size(), 3u);
}

TEST(SchemaElement, RuntimeDeclarationsOnAPlainElement) {
  DvDOMDocumentPtr doc;
  TDvXMLSchemaElement e(Parse(doc, "<t:Thing><t:Other/></t:Thing>"));
  e.AddSchemaInfo(10, kDvSchemaElementNode, "t:A", 0, 1, false, -1);
  e.AddSchemaInfo(11, kDvSchemaElementNode, "t:B", 0, 1, false, -1, TDvXMLSchemaValueKind::Class,
                  &TEwsItemId::ClassInfo);
  e.AddSchemaInfo(12, kDvSchemaElementNode, "t:C", 0, 1, false, -1, TDvXMLSchemaValueKind::Enum,
                  nullptr, &DvEnumInfo_TBodyType);
  e.AddSchemaInfo(13, kDvSchemaAttributeNode, "Flag", 1, 1, true, -1,
                  TDvXMLSchemaValueKind::Boolean);
  e.AddSchemaInfo(14, kDvSchemaElementNode, "t:D", 0, 1, false, -1,
                  TDvXMLSchemaValueKind::Class);  // no class table
  EXPECT_THROW(e.AddSchemaInfo(10, kDvSchemaElementNode, "t:X", 0, 1, false, -1), EListError);
  EXPECT_EQ(e.GetClassName(), "TDvXMLSchemaElement");

  e.SetEnum(12, TBodyType::btText);
  e.SetAsString(10, "a");
  static_cast<TEwsItemId*>(e.GetChildObject(11))->SetId("id");
  e.SetAsBoolean(13, true);
  // Undeclared children stay where they are.
  EXPECT_EQ(ChildNames(e.AsElement()), (std::vector<std::string>{"Other", "A", "B", "C"}));
  EXPECT_EQ(e.GetEnum<TBodyType>(12), TBodyType::btText);
  EXPECT_EQ(e.AsElement()->GetAttribute("Flag"), "true");
  EXPECT_EQ(e.GetNodeByIndex(13, true), nullptr);  // attributes have no element
  EXPECT_THROW(e.GetChildObject(14), Exception);
  EXPECT_EQ(e.FindSchemaInfo("t:B")->Index, 11);
  EXPECT_EQ(e.FindSchemaInfo("Flag")->Required, true);
  EXPECT_TRUE(e.HasElement("A"));
  EXPECT_FALSE(e.HasElement("Flag"));

  // RemoveNode drops the element and its wrapper; the next read wraps a new element. The old
  // wrapper stays valid (it is kept by the parent) but is no longer handed out.
  TDvXMLSchemaElement* b = e.GetChildObject(11);
  e.RemoveNode("B");
  EXPECT_EQ(e.FindNode("B"), nullptr);
  TDvXMLSchemaElement* b2 = e.GetChildObject(11);
  EXPECT_NE(b2, b);
  EXPECT_EQ(static_cast<TEwsItemId*>(b2)->GetId(), "");
  EXPECT_EQ(b->GetClassName(), "TEwsItemId");
  e.RemoveNode("Flag");
  EXPECT_FALSE(e.AsElement()->HasAttribute("Flag"));
}

TEST(SchemaElement, TypedValuesRoundTripThroughText) {
  DvDOMDocumentPtr doc;
  TDvXMLSchemaElement e(Parse(doc, "<t:Values/>"));
  const TDvXMLSchemaValueKind kinds[] = {
      TDvXMLSchemaValueKind::Int,         TDvXMLSchemaValueKind::Long,
      TDvXMLSchemaValueKind::Double,      TDvXMLSchemaValueKind::Datetime,
      TDvXMLSchemaValueKind::Date,        TDvXMLSchemaValueKind::Time,
      TDvXMLSchemaValueKind::Base64binary};
  for (int i = 0; i < 7; ++i) {
    e.AddSchemaInfo(i, kDvSchemaElementNode, "t:V" + std::to_string(i), 0, 1, false, -1, kinds[i]);
  }
  e.SetAsInt(0, -2147483647 - 1);
  e.SetAsLong(1, 9007199254740993LL);
  e.SetAsDouble(2, 0.1);
  const TDateTime when = TDateTime::Encode(2024, 2, 29, 23, 59, 58, 125);
  e.SetAsDatetime(3, when);
  e.SetAsDate(4, when);
  e.SetAsTime(5, TDateTime::Encode(1899, 12, 30, 13, 45, 30));
  e.SetAsBase64binary(6, TBytes{0, 1, 2, 0xfe, 0xff});
  EXPECT_EQ(e.FindNode("V4")->GetAsString(), "2024-02-29");
  EXPECT_EQ(e.FindNode("V5")->GetAsString(), "13:45:30");

  DvDOMDocumentPtr again;
  TDvXMLSchemaElement r(Parse(again, e.GetXML()));
  for (int i = 0; i < 7; ++i) {
    r.AddSchemaInfo(i, kDvSchemaElementNode, "t:V" + std::to_string(i), 0, 1, false, -1, kinds[i]);
  }
  EXPECT_EQ(r.GetAsInt(0), -2147483647 - 1);
  EXPECT_EQ(r.GetAsLong(1), 9007199254740993LL);
  EXPECT_EQ(r.GetAsDouble(2), 0.1);
  EXPECT_NEAR(r.GetAsDatetime(3).Value, when.Value, 1e-9);
  EXPECT_EQ(r.GetAsDate(4), TDateTime::Encode(2024, 2, 29));
  EXPECT_NEAR(r.GetAsTime(5).Value, (13 * 3600 + 45 * 60 + 30) / 86400.0, 1e-9);
  EXPECT_EQ(r.GetAsBase64binary(6), (TBytes{0, 1, 2, 0xfe, 0xff}));

  // Malformed text is an error, not a silent zero.
  r.SetValue(0, "12x");
  EXPECT_THROW(r.GetAsInt(0), EConvertError);
  r.SetValue(0, "4294967296");
  EXPECT_THROW(r.GetAsInt(0), EConvertError);
  r.SetValue(5, "25:00");
  EXPECT_THROW(r.GetAsTime(5), EConvertError);
}

TEST(EnumTypeTable, HandWrittenEnumerationsUseThePrefixOfTheirNames) {
  enum class TScope { scActiveDirectory, scContacts, scContactsActiveDirectory };
  static const TDvEnumTypeTable table(
      "TScope", {"scActiveDirectory", "scContacts", "scContactsActiveDirectory"});
  const TDvEnumTypeInfo& info = table.Info();
  EXPECT_EQ(info.Prefix, "sc");
  EXPECT_EQ(info.ToXML(2), "ContactsActiveDirectory");
  int ordinal = -1;
  EXPECT_TRUE(info.FromXML("Contacts", ordinal));
  EXPECT_EQ(ordinal, 1);
  EXPECT_FALSE(info.FromXML("contacts", ordinal));
  EXPECT_FALSE(info.FromXML("scContacts", ordinal));
  EXPECT_EQ(info.FindIdentifier("scContacts"), 1);
  EXPECT_THROW(info.ToXML(3), EConvertError);

  static const TDvEnumTypeTable asNamed("TVersion", "", {"Exchange2007", "V2016_01_06"});
  EXPECT_EQ(asNamed.Info().ToXML(1), "V2016_01_06");
  EXPECT_EQ(DvEnumHintPrefix("scNormal"), "sc");
  static const TDvEnumTypeTable folders("TFolder", {"dfincalendar", "dfininbox", "dfinoutbox"});
  EXPECT_EQ(folders.Info().Prefix, "dfin");
  EXPECT_EQ(folders.Info().ToXML(1), "inbox");
  EXPECT_EQ(DvEnumHintPrefix("HR48x48"), "");
}

}  // namespace
