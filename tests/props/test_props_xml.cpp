// Node paths and the XML that names a field: exact text, the two DOM forms, escaping, and the
// catalogue's field URIs validated against the EWS schema inside a request.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DvXML.h"
#include "ews_testsupport.h"
#include "uDvEWSProps.h"

using namespace dv;
using enum TDvEWSPropType;

namespace {

std::string FieldText(PDvEWSFieldDef f) {
  std::string s;
  WriteFieldURI(f, s);
  return s;
}

std::string ExtendedText(PDvEWSPropDef d) {
  std::string s;
  WriteExtendedFieldURI(d, s);
  return s;
}

using TAttrs = std::vector<std::pair<std::string, std::string>>;

TAttrs AttributesOf(const DvDOMElementPtr& e) {
  TAttrs out;
  DvDOMAttributeListPtr list = e->GetAttributes();
  for (int i = 0; i < list->Count(); ++i) {
    TDvDOMAttribute a = list->GetItem(i);
    out.emplace_back(a.Name, a.Value);
  }
  return out;
}

TAttrs AttributesOf(pugi::xml_node e) {
  TAttrs out;
  for (pugi::xml_attribute a : e.attributes())
    out.emplace_back(a.name(), a.value());
  return out;
}

constexpr TDvEWSPropDef kTag37 = DvTaggedPropDef("T37", ptString, 0x0037);
constexpr TDvEWSPropDef kTagE1C = DvTaggedPropDef("TE1C", ptInteger, 0x0E1C);
constexpr TDvEWSPropDef kTag1000 = DvTaggedPropDef("T1000", ptString, 0x1000);
constexpr TDvEWSPropDef kDistinguished =
    DvDistinguishedStringPropDef("D", ptStringArray, "PublicStrings", "Keywords");
constexpr TDvEWSPropDef kDistinguishedId =
    DvDistinguishedIdPropDef("DI", ptInteger, "Common", 34049);
constexpr TDvEWSPropDef kNeedsEscaping =
    DvDistinguishedStringPropDef("E", ptString, "InternetHeaders", "X-A&B<\"quoted\">");

}  // namespace

TEST(NodePath, TagWidths) {
  EXPECT_EQ(PropTagToHex(0x0037), "37");
  EXPECT_EQ(PropTagToHex(0x0E1C), "0E1C");
  EXPECT_EQ(PropTagToHex(0x1000), "1000");
  EXPECT_EQ(PropTagToHex(0x00FF), "FF");
  EXPECT_EQ(PropTagToHex(0x0100), "0100");
  EXPECT_EQ(PropTagToHex(0x0001), "01");
  EXPECT_EQ(PropTagToHex(0xFFFF), "FFFF");
  EXPECT_EQ(GetNodePath(&kTag37),
            "ExtendedProperty/ExtendedFieldURI[(@PropertyTag=\"0x37\")]/../Value");
  EXPECT_EQ(GetNodePath(kTagE1C),
            "ExtendedProperty/ExtendedFieldURI[(@PropertyTag=\"0x0E1C\")]/../Value");
}

TEST(NodePath, ElementAndNamedForms) {
  EXPECT_EQ(GetNodePath(&PR_SUBJECT), "Subject");
  EXPECT_EQ(GetNodePath(&PR_COMPLETENAME_TITLE), "CompleteName/Title");
  EXPECT_EQ(GetNodePath(&PR_EMAILADDRESS1), "EmailAddresses/Entry[@Key=\"EmailAddress1\"]");
  EXPECT_EQ(GetNodePath(&EPR_COMMON_REMINDER_MINUTES_BEFORE),
            "ExtendedProperty/ExtendedFieldURI[(@PropertySetId=\"00062008-0000-0000-c000-"
            "000000000046\") and (@PropertyId=\"34049\")]/../Value");
  EXPECT_EQ(GetNodePath(&EPR_NAMEATTACHMENTMACINFO),
            "ExtendedProperty/ExtendedFieldURI[(@PropertySetId=\"96357f7f-59e1-47d0-99a7-"
            "46515c183b54\") and (@PropertyName=\"AttachmentMacInfo\")]/../Value");
  EXPECT_EQ(GetNodePath(&kDistinguished),
            "ExtendedProperty/ExtendedFieldURI[(@DistinguishedPropertySetId=\"PublicStrings\") "
            "and (@PropertyName=\"Keywords\")]/../Value");
  EXPECT_EQ(GetNodePath(&kDistinguishedId),
            "ExtendedProperty/ExtendedFieldURI[(@DistinguishedPropertySetId=\"Common\") and "
            "(@PropertyId=\"34049\")]/../Value");
  EXPECT_THROW(GetNodePath(nullptr), Exception);
}

TEST(NodePath, FindsTheValueInAResponse) {
  DvDOMDocumentPtr doc = DvCreateDOM(
      "<t:Message xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">"
      "<t:Subject>Hello</t:Subject>"
      "<t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"0x37\" PropertyType=\"String\"/>"
      "<t:Value>tagged</t:Value></t:ExtendedProperty>"
      "<t:ExtendedProperty><t:ExtendedFieldURI "
      "PropertySetId=\"00062008-0000-0000-c000-000000000046\" PropertyId=\"34049\" "
      "PropertyType=\"Integer\"/><t:Value>15</t:Value></t:ExtendedProperty>"
      "</t:Message>");
  DvDOMElementPtr root = doc->GetDocumentElement();
  DvDOMElementPtr v = root->SelectSingleElement(GetNodePath(&MPR_SUBJECT));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->GetAsString(), "tagged");
  v = root->SelectSingleElement(GetNodePath(&EPR_COMMON_REMINDER_MINUTES_BEFORE));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->GetAsString(), "15");
  EXPECT_EQ(root->SelectSingleElement(GetNodePath(&PR_SUBJECT))->GetAsString(), "Hello");
}

TEST(FieldURIText, EachKindExactly) {
  EXPECT_EQ(FieldText(&FLD_ITEM_SUBJECT), "<t:FieldURI FieldURI=\"item:Subject\" />");
  EXPECT_EQ(FieldText(&FLD_MEETINGREQUEST_MEETINGREQUESTTYPE),
            "<t:FieldURI FieldURI=\"meetingRequest:MeetingRequestType\" />");
  EXPECT_EQ(FieldText(&FLD_CONTACTS_COMPLETENAME_TITLE), "<t:FieldURI FieldURI=\"\" />");
  EXPECT_EQ(
      FieldText(&FLD_CONTACTS_EMAILADDRESS1),
      "<t:IndexedFieldURI FieldURI=\"contacts:EmailAddress\" FieldIndex=\"EmailAddress1\" />");
  EXPECT_EQ(FieldText(&MFLD_SUBJECT),
            "<t:ExtendedFieldURI PropertyTag=\"0x37\" PropertyType=\"String\" />");
  EXPECT_EQ(FieldText(&EFLD_COMMON_REMINDER_MINUTES_BEFORE),
            "<t:ExtendedFieldURI PropertySetId=\"00062008-0000-0000-c000-000000000046\" "
            "PropertyId=\"34049\" PropertyType=\"Long\" />");
  // Appending: the text goes after what the buffer holds.
  std::string s = "<t:AdditionalProperties>";
  WriteFieldURI(&FLD_ITEM_SUBJECT, s);
  WriteFieldURI(&MFLD_SUBJECT, s);
  EXPECT_EQ(s,
            "<t:AdditionalProperties><t:FieldURI FieldURI=\"item:Subject\" />"
            "<t:ExtendedFieldURI PropertyTag=\"0x37\" PropertyType=\"String\" />");
  EXPECT_THROW(WriteFieldURI(nullptr, s), Exception);
}

TEST(FieldURIText, ExtendedForms) {
  EXPECT_EQ(ExtendedText(&kTag1000),
            "<t:ExtendedFieldURI PropertyTag=\"0x1000\" PropertyType=\"String\" />");
  EXPECT_EQ(ExtendedText(&EPR_NAMEATTACHMENTMACINFO),
            "<t:ExtendedFieldURI PropertySetId=\"96357f7f-59e1-47d0-99a7-46515c183b54\" "
            "PropertyName=\"AttachmentMacInfo\" PropertyType=\"Binary\" />");
  EXPECT_EQ(ExtendedText(&kDistinguished),
            "<t:ExtendedFieldURI DistinguishedPropertySetId=\"PublicStrings\" "
            "PropertyName=\"Keywords\" PropertyType=\"StringArray\" />");
  EXPECT_EQ(ExtendedText(&kDistinguishedId),
            "<t:ExtendedFieldURI DistinguishedPropertySetId=\"Common\" PropertyId=\"34049\" "
            "PropertyType=\"Integer\" />");
  EXPECT_EQ(ExtendedText(&EPR_COMMENT),
            "<t:ExtendedFieldURI PropertySetId=\"52a474ee-e1a3-4e63-8ffc-fcdacb06a7fc\" "
            "PropertyId=\"5\" PropertyType=\"String\" />");
  // Text from an application's definition is escaped.
  EXPECT_EQ(ExtendedText(&kNeedsEscaping),
            "<t:ExtendedFieldURI DistinguishedPropertySetId=\"InternetHeaders\" "
            "PropertyName=\"X-A&amp;B&lt;&quot;quoted&quot;&gt;\" PropertyType=\"String\" />");
  static constexpr TDvEWSFieldDef kOddField = DvIndexedFieldDef("F", &PR_SUBJECT, "a\"b", "<k&>");
  EXPECT_EQ(FieldText(&kOddField),
            "<t:IndexedFieldURI FieldURI=\"a&quot;b\" FieldIndex=\"&lt;k&amp;&gt;\" />");
}

TEST(FieldURIDom, InterfaceFormAddsTheSameAttributesInOrder) {
  DvDOMDocumentPtr doc = DvCreateDOM(
      "<m:GetItem xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
      "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\"/>");
  DvDOMElementPtr parent = doc->GetDocumentElement();
  DvDOMElementPtr e = WriteExtendedFieldURI(&MPR_SUBJECT, parent);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->GetQualifiedName(), "t:ExtendedFieldURI");
  EXPECT_TRUE(e->GetParent()->IsSameNode(*parent));
  EXPECT_EQ(AttributesOf(e), (TAttrs{{"PropertyTag", "0x37"}, {"PropertyType", "String"}}));

  e = WriteExtendedFieldURI(&EPR_COMMON_REMINDER_MINUTES_BEFORE, parent);
  EXPECT_EQ(AttributesOf(e), (TAttrs{{"PropertySetId", "00062008-0000-0000-c000-000000000046"},
                                     {"PropertyId", "34049"},
                                     {"PropertyType", "Long"}}));
  e = WriteExtendedFieldURI(&kNeedsEscaping, parent);
  EXPECT_EQ(AttributesOf(e), (TAttrs{{"DistinguishedPropertySetId", "InternetHeaders"},
                                     {"PropertyName", "X-A&B<\"quoted\">"},
                                     {"PropertyType", "String"}}));
  EXPECT_EQ(parent->ElementCount(), 3);
  // The document reads back with the value intact.
  DvDOMDocumentPtr again = DvCreateDOM(doc->GetXML());
  EXPECT_EQ(again->GetDocumentElement()->GetElement(2)->GetAttribute("PropertyName"),
            "X-A&B<\"quoted\">");
}

TEST(FieldURIDom, NativeFormAddsTheSameAttributesInOrder) {
  pugi::xml_document doc;
  pugi::xml_node parent = doc.append_child("t:AdditionalProperties");
  pugi::xml_node e = WriteExtendedFieldURI(&EPR_NAMEATTACHMENTMACINFO, parent);
  EXPECT_EQ(std::string(e.name()), "t:ExtendedFieldURI");
  EXPECT_EQ(e.parent(), parent);
  EXPECT_EQ(AttributesOf(e), (TAttrs{{"PropertySetId", "96357f7f-59e1-47d0-99a7-46515c183b54"},
                                     {"PropertyName", "AttachmentMacInfo"},
                                     {"PropertyType", "Binary"}}));
  e = WriteExtendedFieldURI(&kTagE1C, parent);
  EXPECT_EQ(AttributesOf(e), (TAttrs{{"PropertyTag", "0x0E1C"}, {"PropertyType", "Integer"}}));
}

// Every field URI of the catalogue, placed in a GetItem request, validates against the EWS
// schema, except the complete-name title (no URI) and the three whole physical addresses: the
// schema knows only their parts ("contacts:PhysicalAddress:City" with the key as index).
TEST(FieldURISchema, CatalogueFieldsValidateInARequest) {
  std::string body =
      "<m:GetItem xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
      "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">"
      "<m:ItemShape><t:BaseShape>IdOnly</t:BaseShape><t:AdditionalProperties>";
  int written = 0;
  auto add = [&](PDvEWSFieldDef f) {
    if (f == &FLD_CONTACTS_COMPLETENAME_TITLE || f->FieldURI() == "contacts:PhysicalAddress")
      return;
    WriteFieldURI(f, body);
    ++written;
  };
  for (PDvEWSFieldDef f : DvCatalogFLD)
    add(f);
  for (PDvEWSFieldDef f : DvCatalogMFLD)
    add(f);
  for (PDvEWSFieldDef f : DvCatalogEFLD)
    add(f);
  WriteExtendedFieldURI(&kDistinguished, body);
  WriteExtendedFieldURI(&kDistinguishedId, body);
  WriteExtendedFieldURI(&kNeedsEscaping, body);
  body +=
      "</t:AdditionalProperties></m:ItemShape>"
      "<m:ItemIds><t:ItemId Id=\"AAMkAD\"/></m:ItemIds></m:GetItem>";
  EXPECT_EQ(
      written,
      static_cast<int>(DvCatalogFLD.size() + DvCatalogMFLD.size() + DvCatalogEFLD.size()) - 4);

  const auto v = ews_test::ValidateElement(body);
  EXPECT_TRUE(v.ok) << v.message;
}
