// Registry lookups: by name, by an ad-hoc record, by owner and name, by class and element, the
// indexed-field mapping, registration rules and the small conversions.
#include <gtest/gtest.h>

#include <string>

#include "test_helpers.h"
#include "uDvEWSProps.h"

using namespace dv;
using ews_test::ThrownMessage;
using enum TDvEWSPropType;
using enum TDvEWSPropKind;

TEST(RegistryByName, ExactCaseSensitiveHashLookup) {
  EXPECT_EQ(GetPropDef("PR_FOLDERID", true), &PR_FOLDERID);
  EXPECT_EQ(GetPropDef("pr_folderid", false), nullptr);
  EXPECT_EQ(GetFieldDef("FLD_ITEM_SUBJECT", true), &FLD_ITEM_SUBJECT);
  EXPECT_EQ(GetFieldDef(FLD_ITEM_SUBJECT), &FLD_ITEM_SUBJECT);
  EXPECT_EQ(ThrownMessage([] { GetPropDef("PR_NOPE", true); }),
            "There is no property definition \"PR_NOPE\"!");
  EXPECT_EQ(ThrownMessage([] { GetFieldDef("FLD_NOPE", true); }),
            "There is no field definition \"FLD_NOPE\"!");
  TDvEWSFieldDef adHoc = DvFieldDef("FLD_ADHOC", &PR_SUBJECT, "item:Subject");
  EXPECT_EQ(ThrownMessage([&] { GetFieldDef(adHoc); }),
            "There is no field definition \"FLD_ADHOC\"!");
}

TEST(RegistryByName, LongNamesAreCutAt255Bytes) {
  std::string name = "PR_SUBJECT" + std::string(300, 'X');
  EXPECT_EQ(GetPropDef(name, false), nullptr);
  const std::string msg = ThrownMessage([&] { GetPropDef(name, true); });
  EXPECT_EQ(msg, "There is no property definition \"" + name.substr(0, 255) + "\"!");
  EXPECT_EQ(EWSShortName(name).size(), 255u);
  EXPECT_EQ(EWSShortNameEx("Subject"), "Subject");
  EXPECT_EQ(EWSShortNameToStr("Grüße"), "Grüße");
}

TEST(RegistryByRecord, RegisteredNameWinsOverOtherFields) {
  TDvEWSPropDef d = DvTaggedPropDef("MPR_SUBJECT", ptBinary, 0x1234);
  EXPECT_EQ(GetPropDef(d), &MPR_SUBJECT);
  TDvEWSPropDef e = DvElementPropDef("EPR_COMMENT", "Whatever");
  EXPECT_EQ(GetPropDef(e), &EPR_COMMENT);
}

TEST(RegistryByRecord, ByTagAloneFirstInRegistrationOrder) {
  // Tag 0x1013 is shared by the string and binary HTML bodies; the type is not compared and
  // the first registered (by name within a tag) is returned.
  EXPECT_EQ(GetPropDef(DvTaggedPropDef("", ptBinary, 0x1013)), &MPR_BODY_HTML);
  EXPECT_EQ(GetPropDef(DvTaggedPropDef("", ptString, 0x0001)), &MPR_ACKNOWLEDGEMENT_MODE);
  EXPECT_EQ(GetPropDef(DvTaggedPropDef("UNKNOWN_NAME", ptInteger, 0x0E07)), &MPR_MESSAGE_FLAGS);
  EXPECT_EQ(ThrownMessage([] { GetPropDef(DvTaggedPropDef("MY_TAG", ptInteger, 0x7008)); }),
            "There is no property definition \"MY_TAG\"!");
}

TEST(RegistryByRecord, BySetAndIdOrName) {
  EXPECT_EQ(GetPropDef(DvNamedIdPropDef("", ptBinary, &PSETID_Common, 34049)),
            &EPR_COMMON_REMINDER_MINUTES_BEFORE);
  EXPECT_EQ(GetPropDef(DvNamedIdPropDef("", ptString, &PSETID_Dovrane, 5)), &EPR_COMMENT);
  TGUID copy = PSETID_Attachment;  // compared by value, not by address
  EXPECT_EQ(GetPropDef(DvNamedStringPropDef("", ptString, &copy, "AttachmentMacInfo")),
            &EPR_NAMEATTACHMENTMACINFO);
  // Kinds must agree; names compare exactly.
  EXPECT_THROW(
      GetPropDef(DvNamedStringPropDef("", ptString, &PSETID_Attachment, "attachmentmacinfo")),
      Exception);
  EXPECT_THROW(GetPropDef(DvNamedIdPropDef("", ptLong, &PSETID_Common, 1)), Exception);
  // An element record that is not registered by name is not searched by value.
  EXPECT_THROW(GetPropDef(DvElementPropDef("", "Subject")), Exception);
}

TEST(RegistryByRecord, DistinguishedSetsMatchIgnoringCase) {
  static constexpr TDvEWSPropDef kMine =
      DvDistinguishedIdPropDef("EPR_TEST_DISTINGUISHED", ptString, "PublicStrings", 0x7001);
  static constexpr TDvEWSPropDef kMineByName = DvDistinguishedStringPropDef(
      "EPR_TEST_DISTINGUISHED_NAME", ptString, "PublicStrings", "X-Test");
  RegisterProp(&kMine);
  RegisterProp(&kMineByName);
  EXPECT_EQ(GetPropDef(DvDistinguishedIdPropDef("", ptString, "publicstrings", 0x7001)), &kMine);
  EXPECT_EQ(GetPropDef(DvDistinguishedStringPropDef("", ptString, "PUBLICSTRINGS", "X-Test")),
            &kMineByName);
  EXPECT_THROW(GetPropDef(DvDistinguishedStringPropDef("", ptString, "PublicStrings", "x-test")),
               Exception);
}

TEST(RegistryByOwnerAndName, FieldThenNodeNameThenEprSuffix) {
  // Empty owner: the element definition whose node name is exactly the name.
  EXPECT_EQ(GetPropDef("", "Subject", true), &PR_SUBJECT);
  EXPECT_EQ(GetPropDef("", "StartDate", true), &PR_START_DATE);
  // An extended definition by its exact name.
  EXPECT_EQ(GetPropDef("", "MPR_SUBJECT", true), &MPR_SUBJECT);
  // EPR_ names by the part after "EPR_", in any case.
  for (const char* n : {"comment", "COMMENT", "cOmMeNt"})
    EXPECT_EQ(GetPropDef("", n, true), &EPR_COMMENT) << n;
  // The element "Comment" is found by its node name before any EPR_ name is tried.
  EXPECT_EQ(GetPropDef("", "Comment", true), &PR_COMMENT);
  EXPECT_EQ(GetPropDef("", "common_reminder_minutes_before", true),
            &EPR_COMMON_REMINDER_MINUTES_BEFORE);
  // With an owner, through the class's field definitions.
  EXPECT_EQ(GetPropDef("TEwsMessage", "IsRead", true), &PR_ISREAD);
  EXPECT_EQ(GetPropDef("TEwsContactItem", "GivenName", true), &PR_GIVENNAME);
  // Node names compare exactly.
  EXPECT_EQ(GetPropDef("", "subject", false), nullptr);
  EXPECT_EQ(ThrownMessage([] { GetPropDef("TEwsMessage", "NoSuchThing", true); }),
            "There is no property definition for \"TEwsMessage:NoSuchThing\"!");
  EXPECT_EQ(ThrownMessage([] { GetPropDef("", "nothing", true); }),
            "There is no property definition for \":nothing\"!");
}

TEST(RegistryByClassAndElement, ClassWordsAndFallbacks) {
  EXPECT_EQ(GetFieldDef("TEwsMessage", "IsRead", true), &FLD_MESSAGE_ISREAD);
  EXPECT_EQ(GetFieldDef("TEwsMessage", "Subject", true), &FLD_ITEM_SUBJECT);
  EXPECT_EQ(GetFieldDef("TEwsCalendarItem", "uid", true), &FLD_CALENDAR_UID);
  EXPECT_EQ(GetFieldDef("TEwsTask", "DueDate", true), &FLD_TASK_DUEDATE);
  EXPECT_EQ(GetFieldDef("TEwsMeetingRequestMessage", "MeetingRequestType", true),
            &FLD_MEETINGREQUEST_MEETINGREQUESTTYPE);
  // Any other class name is used upper-cased.
  EXPECT_EQ(GetFieldDef("Conversation", "ConversationTopic", true),
            &FLD_CONVERSATION_CONVERSATIONTOPIC);
  EXPECT_EQ(ThrownMessage([] { GetFieldDef("TEwsMessage", "Nope", true); }),
            "There is no field definition for \"TEwsMessage.Nope\"!");
  EXPECT_EQ(GetFieldDef("TEwsMessage", "Nope", false), nullptr);
}

TEST(RegistryByClassAndElement, ContactFallsBackThroughPersonaPersonAndItem) {
  EXPECT_EQ(GetFieldDef("TEwsContactItem", "DisplayName", true), &FLD_CONTACTS_DISPLAYNAME);
  // Only a persona field of that name.
  EXPECT_EQ(GetFieldDef("TEwsContactItem", "RelevanceScore", true), &FLD_PERSONA_RELEVANCESCORE);
  EXPECT_EQ(GetFieldDef("TEwsContactItem", "IsFavorite", true), &FLD_PERSONA_ISFAVORITE);
  // Only a person field of that name (no contacts: or persona: field).
  EXPECT_EQ(GetFieldDef("TEwsContactItem", "Skills", true), &FLD_PERSON_SKILLS);
  EXPECT_EQ(GetFieldDef("TEwsContactItem", "headline", true), &FLD_PERSON_HEADLINE);
  // Finally the item field.
  EXPECT_EQ(GetFieldDef("TEwsContactItem", "Subject", true), &FLD_ITEM_SUBJECT);
  EXPECT_EQ(GetFieldDef("TEwsContactItem", "Nope", false), nullptr);
}

TEST(RegistryIndexedFields, DictionaryURIAndKeyFindTheIndexedDefinition) {
  EXPECT_EQ(GetIndexedFieldDef("contacts:EmailAddress", "EmailAddress2", true),
            &FLD_CONTACTS_EMAILADDRESS2);
  EXPECT_EQ(GetIndexedFieldDef("contacts:PhoneNumber", "businessfax", false), nullptr);
  EXPECT_EQ(GetIndexedFieldDef("contacts:ImAddress", "ImAddress1", false), nullptr);
  EXPECT_EQ(ThrownMessage([] { GetIndexedFieldDef("contacts:PhoneNumber", "Nope", true); }),
            "There is no field definition for \"contacts:PhoneNumber[Nope]\"!");
  // Every indexed catalogue field is reachable.
  for (PDvEWSFieldDef f : DvCatalogFLD) {
    if (f->FieldType == TDvEWSFieldDefType::fdtIndexedField) {
      EXPECT_EQ(GetIndexedFieldDef(f->FieldURI(), f->FieldIndex, false), f) << f->FieldDefName;
    }
  }
}

TEST(RegistryFirstField, FirstRegisteredFieldOfAProperty) {
  EXPECT_EQ(GetFirstFieldDef("PR_SUBJECT"), &FLD_ITEM_SUBJECT);
  EXPECT_EQ(GetFirstFieldDef("MPR_SUBJECT"), &MFLD_SUBJECT);
  EXPECT_EQ(GetFirstFieldDef("PR_COMPLETENAME_FIRSTNAME"), &FLD_CONTACTS_COMPLETENAME_FIRSTNAME);
  EXPECT_EQ(GetFirstFieldDef("PR_DISPLAYNAME"), &FLD_FOLDER_DISPLAYNAME);
  EXPECT_EQ(ThrownMessage([] { GetFirstFieldDef("EPR_COMMENT"); }),
            "There is no field definition for \"EPR_COMMENT\"!");
}

TEST(RegistryRegistration, FirstRegistrationWinsAndChildrenFollowParents) {
  const std::size_t props = RegisteredPropCount();
  const std::size_t fields = RegisteredFieldCount();
  static constexpr TDvEWSPropDef kSecondSubject = DvElementPropDef("PR_SUBJECT", "Other");
  RegisterProp(&kSecondSubject);
  EXPECT_EQ(GetPropDef("PR_SUBJECT", true), &PR_SUBJECT);
  static constexpr TDvEWSFieldDef kSecondField = DvFieldDef("FLD_ITEM_SUBJECT", &PR_SUBJECT, "x");
  RegisterField(&kSecondField);
  EXPECT_EQ(GetFieldDef("FLD_ITEM_SUBJECT", true), &FLD_ITEM_SUBJECT);
  EXPECT_EQ(RegisteredPropCount(), props);
  EXPECT_EQ(RegisteredFieldCount(), fields);

  // An application's own keyed array.
  static constexpr TDvEWSPropDef kArray =
      DvElementPropDef("PR_TEST_IMADDRESSES", "ImAddresses", TDvEWSPropDefNodeType::pdntArray);
  static constexpr TDvEWSPropDef kChild1 =
      DvElementPropDef("PR_TEST_IMADDRESS1", "ImAddresses/Entry[@Key=\"ImAddress1\"]",
                       TDvEWSPropDefNodeType::pdntSimple, &kArray);
  static constexpr TDvEWSPropDef kChild2 =
      DvElementPropDef("PR_TEST_IMADDRESS2", "ImAddresses/Entry[@Key=\"ImAddress2\"]",
                       TDvEWSPropDefNodeType::pdntSimple, &kArray);
  static constexpr TDvEWSFieldDef kField =
      DvIndexedFieldDef("FLD_TEST_IMADDRESS2", &kChild2, "contacts:ImAddress", "ImAddress2");
  RegisterProp(&kArray);
  RegisterProp(&kChild2);
  RegisterProp(&kChild1);
  RegisterProp(&kChild1);
  RegisterField(&kField);
  EXPECT_EQ(GetKeyPropDefs(&kArray), (TDvEWSPropDefArray{&kChild2, &kChild1}));
  EXPECT_EQ(GetIndexedFieldDef("contacts:ImAddress", "ImAddress2", true), &kField);
  EXPECT_EQ(RegisteredPropCount(), props + 3);
  EXPECT_EQ(RegisteredFieldCount(), fields + 1);
}

TEST(RegistrySeparateInstance, CatalogueRegistrationIsRepeatable) {
  TDvEWSPropRegistry r;
  EXPECT_EQ(r.FindProp("PR_SUBJECT"), nullptr);
  r.RegisterCatalog();
  EXPECT_EQ(r.FindProp("PR_SUBJECT"), &PR_SUBJECT);
  EXPECT_EQ(r.Props().size(), DvCatalogPR.size() + DvCatalogMPR.size() + DvCatalogEPR.size());
  EXPECT_EQ(r.Props().front(), DvCatalogPR.front());
  EXPECT_EQ(r.Props()[DvCatalogPR.size()], DvCatalogMPR.front());
  EXPECT_EQ(r.Fields()[DvCatalogFLD.size()], DvCatalogMFLD.front());
  EXPECT_EQ(r.FindChildren(&PR_COMPLETENAME)->size(), 7u);
}

TEST(Conversions, NodeNameToPropName) {
  for (const char* reserved :
       {"To", "Create", "String", "Property", "Type", "And", "Or", "Message", "Start", "End"})
    EXPECT_EQ(NodeNameToPropName(reserved), std::string(reserved) + "_");
  EXPECT_EQ(NodeNameToPropName("end"), "end");
  EXPECT_EQ(NodeNameToPropName("Ends"), "Ends");
  EXPECT_EQ(NodeNameToPropName("Subject"), "Subject");
  EXPECT_EQ(NodeNameToPropName(""), "");
}

TEST(Conversions, PropertySetsAndTypes) {
  EXPECT_EQ(PropSetIDToString(PSETID_Common), "00062008-0000-0000-c000-000000000046");
  EXPECT_EQ(PropSetIDToString(PSETID_Dovrane), "52a474ee-e1a3-4e63-8ffc-fcdacb06a7fc");
  EXPECT_EQ(DvStringToGUID(PropSetIDToString(PSETID_Meeting)), PSETID_Meeting);

  EXPECT_EQ(DvEWSPropTypeToString(ptStringArray), "StringArray");
  for (int i = 0; i <= static_cast<int>(ptStringArray); ++i) {
    auto t = static_cast<TDvEWSPropType>(i);
    EXPECT_EQ(DvEWSStringToPropType(DvEWSPropTypeToString(t)), t);
  }
  EXPECT_THROW(DvEWSStringToPropType("string"), EConvertError);
}
