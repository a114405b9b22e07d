// Typed values and property bags over a property object's data: binding, value nodes, demand
// loads, conversions, change states, field URIs, list keys, the bag's rebuild and zero values.
#include <gtest/gtest.h>

#include <string>

#include "ews_testsupport.h"
#include "test_helpers.h"
#include "uDvEWS.h"
#include "uDvEWSBaseObject.h"
#include "uDvEWSTypes.h"

using namespace dv;
using ews_test::kEwsNs;
using ews_test::ThrownMessage;

namespace {

// A message class that publishes Subject by name and the read flag under another name, known
// only through its field annotation.
class TTestMessage : public TDvEWSPropObject<TEwsMessage> {
  DV_EWS_PUBLISHED_CLASS
 public:
  explicit TTestMessage(TDvComponent* owner) : TDvEWSPropObject(owner, true) {}
  std::string GetSubject() { return GetCurrent()->GetSubject(); }
  bool GetReadFlag() { return GetCurrent()->GetIsRead(); }
};
const TDvEWSPublishedClass TTestMessage::PublishedClass(
    "TTestMessage", &TDvEWSObject::PublishedClass,
    {DV_EWS_PUBLISHED(TTestMessage, Subject),
     DV_EWS_PUBLISHED_FIELD(TTestMessage, ReadFlag, TUnindexedFieldURI::ufumessage_IsRead)});

class TTestContact : public TDvEWSPropObject<TEwsContactItem> {
 public:
  explicit TTestContact(TDvComponent* owner) : TDvEWSPropObject(owner, true) {}
};

// Binds an object to the item element of a CreateItem request (a new item) or of a response.
template <typename T>
std::shared_ptr<T> Bind(TDvComponent& session, const std::string& itemXml,
                        DvDOMDocumentPtr* requestOut = nullptr) {
  auto doc = DvCreateDOM(std::string("<m:CreateItem") + kEwsNs + "><m:Items>" + itemXml +
                         "</m:Items></m:CreateItem>");
  auto obj = std::make_shared<T>(&session);
  obj->SetPropData(doc->SelectSingleElement("CreateItem/Items/*"));
  if (requestOut) *requestOut = doc;
  return obj;
}

std::string Message(const std::string& children) {
  return "<t:Message>" + children + "</t:Message>";
}

const std::string kLoaded = Message(
    "<t:ItemId Id=\"AAA\" ChangeKey=\"CK\"/><t:Subject>Hello</t:Subject>"
    "<t:Sensitivity>Normal</t:Sensitivity><t:Body BodyType=\"Text\">Body text</t:Body>"
    "<t:DateTimeReceived>2024-01-02T03:04:05Z</t:DateTimeReceived><t:Size>42</t:Size>"
    "<t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"0x1000\" PropertyType=\"String\"/>"
    "<t:Value>plain body</t:Value></t:ExtendedProperty>"
    "<t:ExtendedProperty><t:ExtendedFieldURI PropertySetId=\"00062008-0000-0000-c000-000000000046\""
    " PropertyId=\"34054\" PropertyType=\"Boolean\"/><t:Value>true</t:Value></t:ExtendedProperty>"
    "<t:IsRead>false</t:IsRead>");

class ValuesTest : public ::testing::Test {
 protected:
  TDvEWSCustomSession session;
};

// ---- Binding and field URIs ----

TEST_F(ValuesTest, BindingFindsFieldsPublishedPropertiesAndWritesFieldURIs) {
  auto m = Bind<TTestMessage>(session, kLoaded);
  TDvEWSProperties& props = m->GetProperties();

  TDvEWSProperty* subject = props.Add(PR_SUBJECT);
  EXPECT_EQ(subject->GetPath(), "Subject");
  EXPECT_EQ(subject->GetURIType(), TDvEWSFieldDefType::fdtField);
  EXPECT_EQ(subject->GetFieldURI(), "item:Subject");
  ASSERT_NE(subject->GetProperty(), nullptr);
  EXPECT_EQ(subject->GetProperty()->Name, "Subject");
  EXPECT_EQ(subject->GetTypeInfo().Kind, TDvEWSTypeKind::tkString);

  // No published property named IsRead: found through the annotation of ReadFlag.
  TDvEWSProperty* read = props.Add(PR_ISREAD);
  ASSERT_NE(read->GetProperty(), nullptr);
  EXPECT_EQ(read->GetProperty()->Name, "ReadFlag");
  EXPECT_EQ(read->GetTypeInfo().Kind, TDvEWSTypeKind::tkBoolean);
  EXPECT_EQ(read->GetFieldURI(), "message:IsRead");

  auto doc = DvCreateDOM(std::string("<t:Path") + kEwsNs + "/>");
  auto root = doc->GetDocumentElement();
  subject->AddEWS(root);
  read->AddEWS(root);
  props.Add(MPR_BODY)->AddEWS(root);
  props.Add(EPR_COMMON_PRIVATE)->AddEWS(root);
  EXPECT_EQ(root->GetInnerXML(),
            "<t:FieldURI FieldURI=\"item:Subject\"/><t:FieldURI FieldURI=\"message:IsRead\"/>"
            "<t:ExtendedFieldURI PropertyTag=\"0x1000\" PropertyType=\"String\"/>"
            "<t:ExtendedFieldURI PropertySetId=\"00062008-0000-0000-c000-000000000046\" "
            "PropertyId=\"34054\" PropertyType=\"Boolean\"/>");
}

TEST_F(ValuesTest, ExtendedValuesRebuildCompleteDefinitions) {
  auto m = Bind<TTestMessage>(session, kLoaded);
  TDvEWSProperties& props = m->GetProperties();

  TDvEWSProperty* tagged = props.Add(MPR_BODY);
  EXPECT_EQ(tagged->GetPropertyTag(), 0x1000);
  EXPECT_EQ(tagged->GetPropertyType(), TDvEWSPropType::ptString);
  EXPECT_EQ(tagged->GetProperty(), nullptr);
  TDvEWSPropDef d = tagged->PropDef();
  d.PropDefName = {};  // found by its tag alone
  EXPECT_EQ(GetPropDef(d), &MPR_BODY);

  TDvEWSProperty* named = props.Add(EPR_COMMON_PRIVATE);
  ASSERT_NE(named->GetPropSetId(), nullptr);
  EXPECT_EQ(*named->GetPropSetId(), PSETID_Common);
  EXPECT_EQ(std::get<std::int32_t>(named->GetPropertyId()), 34054);
  d = named->PropDef();
  EXPECT_EQ(d.PropKind, TDvEWSPropKind::pkId);
  d.PropDefName = {};  // found by set and id alone
  EXPECT_EQ(GetPropDef(d), &EPR_COMMON_PRIVATE);

  static const TDvEWSPropDef kByName = DvDistinguishedStringPropDef(
      "TEST_KEYWORDS", TDvEWSPropType::ptString, "PublicStrings", "Keywords");
  TDvEWSProperty* byName = props.Add(kByName);  // not registered: the record itself
  EXPECT_TRUE(byName->HasDPropSetId());
  EXPECT_EQ(byName->GetDPropSetId(), TDistinguishedPropertySet::dpsPublicStrings);
  d = byName->PropDef();
  EXPECT_EQ(d.DistinguishedPropertySetId, "PublicStrings");
  EXPECT_EQ(d.PropKind, TDvEWSPropKind::pkName);
  EXPECT_EQ(d.Name, "Keywords");
  EXPECT_EQ(GetNodePath(d), GetNodePath(kByName));
}

TEST_F(ValuesTest, IndexedValuesUseOneEntryPathForLookupAndCreation) {
  DvDOMDocumentPtr request;
  auto c = Bind<TTestContact>(session, "<t:Contact><t:Subject>x</t:Subject></t:Contact>", &request);
  TDvEWSProperties& props = c->GetProperties();

  TDvEWSProperty* fax =
      props.AddItem(DvEWSField(TDictionaryURI::ducontacts_PhoneNumber, "BusinessFax"));
  EXPECT_EQ(fax->GetURIType(), TDvEWSFieldDefType::fdtIndexedField);
  EXPECT_EQ(fax->GetPath(), "PhoneNumbers/Entry[@Key=\"BusinessFax\"]");
  EXPECT_EQ(fax->GetPath(), GetNodePath(&PR_PHONENUMBER_BUSINESSFAX));
  fax->SetAsString("+1 555");
  // The catalogue's field definition names the same value.
  EXPECT_EQ(props.FindItem(FLD_CONTACTS_PHONENUMBER_BUSINESSFAX), fax);
  TDvEWSProperty* home = props.AddItem(FLD_CONTACTS_PHONENUMBER_HOMEPHONE);
  home->SetAsString("+1 666");

  // Both entries live in one PhoneNumbers element, and the request is schema-valid.
  auto item = c->GetData(TDvEWSGetDataElmSource::desCurrent, false)->AsElement();
  EXPECT_EQ(item->CreateElementList("PhoneNumbers")->Count(), 1);
  EXPECT_EQ(item->SelectSingleElement("PhoneNumbers/Entry[@Key=\"HomePhone\"]")->GetAsString(),
            "+1 666");
  EXPECT_EQ(fax->GetAsString(), "+1 555");
  auto v = ews_test::ValidateElement(request->GetXML());
  EXPECT_TRUE(v.ok) << v.message << "\n" << request->GetXML();

  auto doc = DvCreateDOM(std::string("<t:Path") + kEwsNs + "/>");
  fax->AddEWS(doc->GetDocumentElement());
  // A keyed entry bound through its element definition is named by its indexed field.
  props.Add(PR_EMAILADDRESS1)->AddEWS(doc->GetDocumentElement());
  EXPECT_EQ(doc->GetDocumentElement()->GetInnerXML(),
            "<t:IndexedFieldURI FieldURI=\"contacts:PhoneNumber\" FieldIndex=\"BusinessFax\"/>"
            "<t:IndexedFieldURI FieldURI=\"contacts:EmailAddress\" FieldIndex=\"EmailAddress1\"/>");
}

// A derived table: its own entries first, then the parent's; types come from the getters.
class TTestReply : public TTestMessage {
  DV_EWS_PUBLISHED_CLASS
 public:
  using TTestMessage::TTestMessage;
  TImportanceChoices GetImportance() { return GetCurrent()->GetImportance(); }
  TEwsBody* GetBody() { return GetCurrent()->GetBody(); }
  std::vector<std::string> GetKeywords() { return {}; }
};
const TDvEWSPublishedClass TTestReply::PublishedClass(
    "TTestReply", &TTestMessage::PublishedClass,
    {DV_EWS_PUBLISHED(TTestReply, Importance), DV_EWS_PUBLISHED(TTestReply, Body),
     DV_EWS_PUBLISHED_FIELD(TTestReply, Keywords, "EPR_COMMENT")});

TEST_F(ValuesTest, PublishedTablesInheritAndResolveAnnotations) {
  const TDvEWSPublishedClass& cls = TTestReply::PublishedClass;
  ASSERT_NE(cls.FindProperty("SUBJECT"), nullptr);  // inherited, any case
  EXPECT_EQ(cls.FindProperty("Subject"), TTestMessage::PublishedClass.FindProperty("Subject"));
  EXPECT_EQ(cls.FindProperty("Missing"), nullptr);
  EXPECT_EQ(cls.GetProperties().size(), 5u);
  EXPECT_EQ(cls.GetProperties().front()->Name, "Subject");

  const TDvEWSTypeInfo importance = cls.FindProperty("Importance")->Type;
  EXPECT_EQ(importance.Kind, TDvEWSTypeKind::tkEnumeration);
  EXPECT_EQ(importance.EnumType, &DvEnumTypeInfo(TImportanceChoices{}));
  EXPECT_EQ(cls.FindProperty("Body")->Type.ClassType, &TEwsBody::ClassInfo);
  EXPECT_EQ(cls.FindProperty("Keywords")->Type.Name(), "array of string");
  EXPECT_FALSE(importance.IsStructured());

  EXPECT_EQ(cls.FindByField("pr_isread")->Name, "ReadFlag");
  EXPECT_EQ(cls.FindByField("EPR_COMMENT")->Name, "Keywords");
  EXPECT_EQ(cls.FindByField("PR_SUBJECT"), nullptr);  // Subject carries no annotation

  // The annotation forms resolve to the catalogue's definitions.
  EXPECT_EQ(DvEWSField(TUnindexedFieldURI::ufuitem_Subject).GetPropDef(), &PR_SUBJECT);
  EXPECT_EQ(DvEWSField(TDictionaryURI::ducontacts_EmailAddress, "EmailAddress2").GetPropDef(),
            &PR_EMAILADDRESS2);
  EXPECT_EQ(ThrownMessage([] { DvEWSField("NO_SUCH_DEF").GetPropDef(); }),
            "There is no property definition \"NO_SUCH_DEF\"!");
}

// ---- Value nodes, creation order and demand loads ----

TEST_F(ValuesTest, MissingValuesAreCreatedInSchemaOrderAndStayValid) {
  DvDOMDocumentPtr request;
  auto m = Bind<TTestMessage>(session, Message("<t:ItemClass>IPM.Note</t:ItemClass>"), &request);
  TDvEWSProperties& props = m->GetProperties();
  props.Add(PR_ISREAD)->SetAsBoolean(true);
  props.Add(MPR_BODY)->SetAsString("one");
  props.Add(EPR_COMMON_PRIVATE)->SetAsBoolean(true);
  props.Add(PR_SUBJECT)->SetAsString("Subject <&>");
  props.Add(PR_SENSITIVITY)->SetAsString("Private");

  auto item = m->GetData(TDvEWSGetDataElmSource::desCurrent, false)->AsElement();
  std::vector<std::string> names;
  for (int i = 0; i < item->ElementCount(); ++i)
    names.push_back(item->GetElement(i)->GetLocalName());
  EXPECT_EQ(names, (std::vector<std::string>{"ItemClass", "Subject", "Sensitivity",
                                             "ExtendedProperty", "ExtendedProperty", "IsRead"}));
  EXPECT_EQ(item->CreateElementList("ExtendedProperty")->Count(), 2);
  auto v = ews_test::ValidateElement(request->GetXML());
  EXPECT_TRUE(v.ok) << v.message << "\n" << request->GetXML();
}

TEST_F(ValuesTest, DemandLoadAsksForPropdefNamesOnlyForProperties) {
  auto m = Bind<TTestMessage>(session, Message("<t:Subject>s</t:Subject>"));
  TDvXMLSchemaElement* current = m->GetData(TDvEWSGetDataElmSource::desCurrent, false);
  std::vector<std::string> asked;
  bool supply = true;
  current->SetOnMissingElement([&](TDvXMLSchemaElement& sender, const TDvXMLSchemaInfo& info) {
    asked.emplace_back(info.QualifiedName);
    if (supply && info.QualifiedName == "PROPDEF:PR_CULTURE")
      sender.AsElement()->AddElement("t:Culture")->SetAsString("en-GB");
    return true;  // asked
  });

  TDvEWSProperties& props = m->GetProperties();
  EXPECT_EQ(props.Add(PR_CULTURE)->GetAsString(), "en-GB");
  EXPECT_EQ(asked, std::vector<std::string>{"PROPDEF:PR_CULTURE"});

  // Nothing came back: the value starts empty, with no default that a save would send, and a
  // setter adds it.
  supply = false;
  EXPECT_EQ(props.GetItem(TDvEWSItemKey(PR_SIZE))->GetAsString(), "");
  TDvEWSProperty* preview = props.Add(PR_PREVIEW);
  EXPECT_EQ(preview->GetAsString(), "");
  EXPECT_EQ(preview->GetUpdateStatus(), TDvEWSDataUpdateStatus::dusUnmodified);
  preview->SetAsString("p");
  EXPECT_EQ(preview->GetUpdateStatus(), TDvEWSDataUpdateStatus::dusInserted);

  // An extended value that the server lacks is created.
  EXPECT_NO_THROW(props.Add(MPR_SUBJECT)->SetAsString("x"));
  EXPECT_EQ(asked.back(), "PROPDEF:MPR_SUBJECT");

  // Fields (table columns) never load.
  asked.clear();
  TDvEWSFields fields(m.get(), [&](TDvEWSGetDataElmSource s, bool r) { return m->GetData(s, r); });
  fields.Add(FLD_ITEM_INREPLYTO)->SetAsString("id");
  EXPECT_TRUE(asked.empty());

  // HasProperty asks for an extended value, and answers from the class for elements.
  asked.clear();
  EXPECT_FALSE(props.HasProperty(MPR_IMPORTANCE));
  EXPECT_EQ(asked, std::vector<std::string>{"PROPDEF:MPR_IMPORTANCE"});
  EXPECT_TRUE(props.HasProperty(PR_DATETIMESENT));  // declared by the class, absent
  EXPECT_FALSE(props.HasProperty(PR_FOLDERCLASS));
}

// ---- Conversions and type information ----

TEST_F(ValuesTest, ConversionsRoundTripThroughXMLText) {
  auto m = Bind<TTestMessage>(session, kLoaded);
  TDvEWSProperties& props = m->GetProperties();

  TDvEWSProperty* received = props.Add(PR_DATETIMERECEIVED);
  EXPECT_EQ(received->GetAsDateTime(), TDateTime::Encode(2024, 1, 2, 3, 4, 5));
  received->SetAsDateTime(TDateTime::Encode(2025, 12, 31, 23, 59, 58, 250));
  EXPECT_EQ(received->GetAsString(), "2025-12-31T23:59:58.250Z");
  EXPECT_EQ(received->GetAsDateTime(), TDateTime::Encode(2025, 12, 31, 23, 59, 58, 250));

  TDvEWSProperty* size = props.Add(PR_SIZE);
  EXPECT_EQ(size->GetAsInteger(), 42);
  size->SetAsInteger(-7);
  EXPECT_EQ(size->GetAsString(), "-7");
  EXPECT_EQ(size->GetTypeInfo().Kind, TDvEWSTypeKind::tkInt32);

  TDvEWSProperty* priv = props.Add(EPR_COMMON_PRIVATE);
  EXPECT_TRUE(priv->GetAsBoolean());
  priv->SetAsBoolean(false);
  EXPECT_EQ(priv->GetAsString(), "false");

  // Structured values read as XML and refuse text; byte arrays read as Base64 text.
  TDvEWSProperty* body = props.Add(PR_BODY);
  EXPECT_EQ(body->GetTypeInfo().Kind, TDvEWSTypeKind::tkClass);
  EXPECT_EQ(body->GetAsString(), "<t:Body BodyType=\"Text\">Body text</t:Body>");
  EXPECT_EQ(ThrownMessage([&] { body->SetAsString("x"); }),
            "The property \"Body\" cannot be written as a string!");
  TDvEWSProperty* entry = props.Add(MPR_ENTRYID);
  entry->SetAsString("0xAQID");
  EXPECT_EQ(entry->GetAsString(), "AQID");
  EXPECT_EQ(entry->GetAsBytes(), (TBytes{1, 2, 3}));
  entry->SetAsBytes(TBytes{0xFF, 0});
  EXPECT_EQ(entry->GetAsString(), "/wA=");

  // Type errors.
  static const TDvEWSPropDef kNullTyped =
      DvTaggedPropDef("TEST_NULL_TYPED", TDvEWSPropType::ptNull, 0x7FF0);
  EXPECT_EQ(ThrownMessage([&] { props.Add(kNullTyped)->GetTypeInfo(); }),
            "Failed to determine the type for TEST_NULL_TYPED!");
  EXPECT_EQ(ThrownMessage([&] { props.Add(PR_FOLDERCLASS)->GetTypeInfo(); }),
            "FolderClass (PR_FOLDERCLASS) is not a property of TEwsMessage!");
  // A child of a complex value is text.
  EXPECT_EQ(props.Add(PR_COMPLETENAME_TITLE)->GetTypeInfo().Kind, TDvEWSTypeKind::tkString);
}

// ---- Change states ----

TEST_F(ValuesTest, UpdateStatusComparesOriginalAndCurrent) {
  using S = TDvEWSDataUpdateStatus;
  auto m = Bind<TTestMessage>(session, kLoaded);
  TDvEWSProperties& props = m->GetProperties();

  // A new node is unmodified while empty and childless, inserted once it has text.
  TDvEWSProperty* culture = props.Add(PR_CULTURE);
  culture->GetValueNode();
  EXPECT_EQ(culture->GetUpdateStatus(), S::dusUnmodified);
  culture->SetAsString("de-DE");
  EXPECT_EQ(culture->GetUpdateStatus(), S::dusInserted);

  TDvEWSProperty* subject = props.Add(PR_SUBJECT);
  EXPECT_EQ(subject->GetUpdateStatus(), S::dusUnmodified);
  subject->SetAsString("Hello");
  EXPECT_EQ(subject->GetUpdateStatus(), S::dusUnmodified);
  subject->SetAsString("Changed");
  EXPECT_EQ(subject->GetUpdateStatus(), S::dusModified);

  TDvEWSProperty* size = props.Add(PR_SIZE);
  auto item = m->GetData(TDvEWSGetDataElmSource::desCurrent, false)->AsElement();
  item->RemoveElement(item->ElementByName("Size"));
  EXPECT_EQ(size->GetUpdateStatus(), S::dusDeleted);

  // Extended values compare texts.
  TDvEWSProperty* body = props.Add(MPR_BODY);
  EXPECT_EQ(body->GetUpdateStatus(), S::dusUnmodified);
  body->SetAsString("other");
  EXPECT_EQ(body->GetUpdateStatus(), S::dusModified);
  body->SetAsString("  ");
  EXPECT_EQ(body->GetUpdateStatus(), S::dusDeleted);
  TDvEWSProperty* subj = props.Add(MPR_SUBJECT);
  subj->SetAsString("new");
  EXPECT_EQ(subj->GetUpdateStatus(), S::dusInserted);

  // Explicit states win until reset.
  subject->SetUpdateStatus(S::dusDeleted);
  EXPECT_TRUE(subject->GetDeleted());
  EXPECT_FALSE(subject->GetModified());
  subject->SetDeleted(false);
  EXPECT_FALSE(subject->GetExplicitUpdateStatus());
  EXPECT_EQ(subject->GetUpdateStatus(), S::dusModified);
  subject->SetInserted(true);
  EXPECT_TRUE(subject->GetInserted());

  // Array and complex values carry no state of their own.
  auto c = Bind<TTestContact>(session, "<t:Contact><t:PhoneNumbers/></t:Contact>");
  TDvEWSProperty* numbers = c->GetProperties().Add(PR_PHONENUMBERS);
  c->GetProperties().Add(PR_PHONENUMBER_HOMEPHONE)->SetAsString("1");
  EXPECT_EQ(numbers->GetUpdateStatus(), S::dusUnmodified);
}

// ---- Lists ----

TEST_F(ValuesTest, ListKeysAndMessages) {
  auto m = Bind<TTestMessage>(session, kLoaded);
  TDvEWSProperties& props = m->GetProperties();
  TDvEWSProperty* subject = props.Add(PR_SUBJECT);
  TDvEWSProperty* body = props.Add(MPR_BODY);

  EXPECT_EQ(props.FindItem(0), subject);
  EXPECT_EQ(props.FindItem(std::int64_t{1}), body);
  EXPECT_EQ(props.FindItem(TDvVariant(std::int32_t{1})), body);
  EXPECT_EQ(props.FindItem(5), nullptr);
  EXPECT_EQ(props.FindItem("Subject"), subject);
  EXPECT_EQ(props.FindItem(TDvVariant(std::string("Subject"))), subject);
  EXPECT_EQ(props.FindItem(FLD_ITEM_SUBJECT), subject);
  EXPECT_EQ(props.FindItem(MPR_BODY), body);
  EXPECT_EQ(props.FindProperty(MPR_BODY), body);
  EXPECT_EQ(props.FindProperty(MPR_SUBJECT), nullptr);

  EXPECT_EQ(ThrownMessage([&] { props.Add(PR_SUBJECT); }), "Duplicates not allowed");
  EXPECT_EQ(ThrownMessage([&] { props.FindItem(static_cast<PDvEWSPropDef>(nullptr)); }),
            "The requested item could not be found!");
  TDvEWSFields fields(m.get(), [&](TDvEWSGetDataElmSource s, bool r) { return m->GetData(s, r); });
  fields.Add(FLD_ITEM_SUBJECT);
  EXPECT_EQ(fields.FindField(FLD_ITEM_SUBJECT), fields.FindItem(0));
  EXPECT_EQ(fields.FindField(FLD_ITEM_SENSITIVITY), nullptr);
  EXPECT_EQ(ThrownMessage([&] { fields.FieldByName(FLD_ITEM_SENSITIVITY); }),
            "The requested item (FLD_ITEM_SENSITIVITY) could not be found!");
  EXPECT_EQ(ThrownMessage([&] { fields.GetItem(7); }),
            "The requested item (7) could not be found!");

  // CreateItem resolves names through the data's class; PropertyByName creates on a miss.
  TDvEWSProperty* culture = props.CreateItem("Culture");
  EXPECT_EQ(culture->GetPropDefName(), "PR_CULTURE");
  EXPECT_EQ(props.CreateItem(PR_CULTURE), culture);
  EXPECT_EQ(ThrownMessage([&] { props.CreateItem(5); }),
            "Failed to locate the Property Definition for \"5\"!");
  EXPECT_EQ(ThrownMessage([&] { props.CreateItem("NoSuchElement"); }),
            "There is no property definition for \"TEwsMessage:NoSuchElement\"!");
  EXPECT_EQ(m->PropertyByName(PR_SUBJECT), subject);

  EXPECT_EQ(props.AsJSON().substr(0, 38), "{\"PR_SUBJECT\":\"Hello\",\"MPR_BODY\":\"plai");
  EXPECT_NE(props.AsXML().find("<Value Name=\"PR_SUBJECT\" Path=\"Subject\"><t:Subject>Hello"),
            std::string::npos);
}

TEST_F(ValuesTest, CountRebuildsFromDataAndKeepsExplicitStates) {
  using S = TDvEWSDataUpdateStatus;
  auto m = Bind<TTestMessage>(session, kLoaded);
  TDvEWSProperties& props = m->GetProperties();
  props.Add(PR_CULTURE);  // not in the data: gone after the rebuild
  props.Add(PR_SUBJECT)->SetUpdateStatus(S::dusDeleted);

  // ItemId, Subject, Sensitivity, Body, DateTimeReceived, Size, two extended, IsRead.
  EXPECT_EQ(props.Count(), 9);
  EXPECT_EQ(props.FindItem("Culture"), nullptr);
  EXPECT_TRUE(props.FindProperty(PR_SUBJECT)->GetDeleted());
  EXPECT_EQ(props.FindProperty(PR_SIZE)->GetUpdateStatus(), S::dusUnmodified);
  EXPECT_EQ(props.FindProperty(MPR_BODY)->GetAsString(), "plain body");
  EXPECT_TRUE(props.FindProperty(EPR_COMMON_PRIVATE)->GetAsBoolean());
  EXPECT_EQ(props.FindItem(0)->GetPropDefName(), "PR_ITEMID");

  // An array definition brings its keyed children along, with restored states.
  auto c = Bind<TTestContact>(
      session,
      "<t:Contact><t:Subject>s</t:Subject><t:PhoneNumbers><t:Entry Key=\"HomePhone\">1</t:Entry>"
      "</t:PhoneNumbers></t:Contact>");
  TDvEWSProperties& cp = c->GetProperties();
  cp.Add(PR_PHONENUMBER_PAGER)->SetModified(true);
  const int n = cp.Count();
  EXPECT_EQ(n, 2 + static_cast<int>(GetKeyPropDefs(&PR_PHONENUMBERS).size()));
  EXPECT_TRUE(cp.FindProperty(PR_PHONENUMBERS)->GetExplicitUpdateStatus());
  EXPECT_TRUE(cp.FindProperty(PR_PHONENUMBER_PAGER)->GetModified());
  EXPECT_EQ(cp.FindProperty(PR_PHONENUMBER_HOMEPHONE)->GetAsString(), "1");

  // An extended property no definition matches.
  auto u = Bind<TTestMessage>(
      session, Message("<t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"0x7ABC\" "
                       "PropertyType=\"String\"/><t:Value>?</t:Value></t:ExtendedProperty>"));
  EXPECT_EQ(ThrownMessage([&] { u->GetProperties().Count(); }),
            "There is no property definition \"\"!");
}

TEST_F(ValuesTest, GetItemGivesNewValuesTheZeroOfTheirType) {
  auto m = Bind<TTestMessage>(session, Message("<t:Subject>s</t:Subject>"));
  TDvEWSProperties& props = m->GetProperties();
  auto text = [&](const TDvEWSPropDef& d) { return props.GetItem(d)->GetValueNode()->GetXML(); };
  EXPECT_EQ(text(PR_SIZE), "<t:Size>0</t:Size>");
  EXPECT_EQ(text(PR_ISREAD), "<t:IsRead>false</t:IsRead>");
  EXPECT_EQ(text(MPR_SUBJECT), "<t:Value/>");
  EXPECT_EQ(text(PR_DATETIMESENT), "<t:DateTimeSent/>");
  EXPECT_EQ(text(MPR_MESSAGE_SIZE), "<t:Value>0</t:Value>");
  EXPECT_EQ(text(PR_SENSITIVITY), "<t:Sensitivity/>");  // enumerations are left empty
  // An existing value is returned as it is.
  EXPECT_EQ(props.GetItem(PR_SUBJECT)->GetAsString(), "s");
}

}  // namespace
