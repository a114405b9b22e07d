// The predefined catalogue: counts, the rows with known values, the naming rules and their
// exceptions, and registration order.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>

#include "uDvEWSProps.h"

using namespace dv;
using enum TDvEWSPropType;
using enum TDvEWSPropDefNodeType;
using enum TDvEWSFieldDefType;
using enum TDvEWSPropKind;

namespace {

PDvEWSPropDef Prop(std::string_view name) {
  return GetPropDef(name, true);
}

PDvEWSFieldDef Field(std::string_view name) {
  return GetFieldDef(name, true);
}

void ExpectElement(std::string_view name, std::string_view nodeName, TDvEWSPropDefNodeType type,
                   PDvEWSPropDef parent) {
  SCOPED_TRACE(std::string(name));
  PDvEWSPropDef d = Prop(name);
  EXPECT_FALSE(d->Extended);
  EXPECT_EQ(d->NodeName, nodeName);
  EXPECT_EQ(d->NodeType, type);
  EXPECT_EQ(d->ParentProp, parent);
}

void ExpectField(std::string_view name, TDvEWSFieldDefType type, std::string_view uri,
                 std::string_view index, PDvEWSPropDef prop) {
  SCOPED_TRACE(std::string(name));
  PDvEWSFieldDef f = Field(name);
  EXPECT_EQ(f->FieldType, type);
  EXPECT_EQ(f->UnindexedFieldURI, uri);
  EXPECT_EQ(f->FieldURI(), uri);
  EXPECT_EQ(f->FieldIndex, index);
  EXPECT_EQ(f->PropDef, prop);
}

void ExpectTagged(std::string_view name, TDvEWSPropType type, std::uint16_t tag) {
  SCOPED_TRACE(std::string(name));
  PDvEWSPropDef d = Prop(name);
  EXPECT_EQ(d->PropType, type);
  EXPECT_EQ(d->PropertyTag, tag);
}

void ExpectNamedId(std::string_view name, TDvEWSPropType type, const TGUID& set, std::int32_t id) {
  SCOPED_TRACE(std::string(name));
  PDvEWSPropDef d = Prop(name);
  EXPECT_EQ(d->PropType, type);
  ASSERT_NE(d->PropertySetId, nullptr);
  EXPECT_EQ(*d->PropertySetId, set);
  EXPECT_EQ(d->PropKind, pkId);
  EXPECT_EQ(d->Id, id);
}

}  // namespace

TEST(Catalogue, CountsAfterLoadMatchTheFamilies) {
  // A registry holding just the catalogue (the process-wide one may also hold definitions that
  // other tests register).
  TDvEWSPropRegistry r;
  r.RegisterCatalog();
  EXPECT_EQ(r.Props().size(), DvCatalogPR.size() + DvCatalogMPR.size() + DvCatalogEPR.size());
  // MFLD_INST_ID is in the MFLD_ registration list twice; the second registration is ignored.
  EXPECT_EQ(DvCatalogMFLD.size(), 1908u);
  EXPECT_EQ(r.Fields().size(),
            DvCatalogFLD.size() + DvCatalogMFLD.size() - 1 + DvCatalogEFLD.size());
  EXPECT_EQ(r.Props().size(), 3947u);
  EXPECT_EQ(r.Fields().size(), 2874u);
  int instId = 0;
  for (PDvEWSFieldDef f : DvCatalogMFLD)
    instId += f == &MFLD_INST_ID;
  EXPECT_EQ(instId, 2);
  EXPECT_EQ(DvCatalogMFLD.back(), &MFLD_INST_ID);
}

TEST(Catalogue, FamilyShapes) {
  std::map<TDvEWSPropDefNodeType, int> nodeTypes;
  int children = 0;
  for (PDvEWSPropDef d : DvCatalogPR) {
    EXPECT_FALSE(d->Extended) << d->PropDefName;
    EXPECT_TRUE(d->PropDefName.starts_with("PR_")) << d->PropDefName;
    ++nodeTypes[d->NodeType];
    children += d->ParentProp != nullptr;
  }
  EXPECT_EQ(nodeTypes[pdntComplex], 1);
  EXPECT_EQ(nodeTypes[pdntArray], 3);
  EXPECT_EQ(children, 36);

  std::map<TDvEWSFieldDefType, int> fieldTypes;
  for (PDvEWSFieldDef f : DvCatalogFLD) {
    ++fieldTypes[f->FieldType];
    EXPECT_FALSE(f->PropDef->Extended) << f->FieldDefName;
  }
  EXPECT_EQ(fieldTypes[fdtIndexedField], 29);
  EXPECT_EQ(fieldTypes[fdtExtendedField], 0);

  for (PDvEWSPropDef d : DvCatalogMPR) {
    EXPECT_TRUE(d->Extended && d->PropertyTag != 0 && d->PropKind == pkId && d->Id == 0 &&
                d->PropertySetId == nullptr && d->DistinguishedPropertySetId.empty())
        << d->PropDefName;
  }
  int byName = 0;
  for (PDvEWSPropDef d : DvCatalogEPR) {
    EXPECT_TRUE(d->Extended && d->PropertyTag == 0 && d->PropertySetId != nullptr &&
                d->DistinguishedPropertySetId.empty())
        << d->PropDefName;
    if (d->PropKind == pkName) {
      ++byName;
      EXPECT_TRUE(d->PropDefName.starts_with("EPR_NAME")) << d->PropDefName;
    }
  }
  EXPECT_EQ(byName, 3);
  // Extended fields share the part after the prefix with their property.
  for (PDvEWSFieldDef f : DvCatalogMFLD) {
    EXPECT_EQ(f->FieldType, fdtExtendedField);
    EXPECT_EQ(f->FieldDefName.substr(4), f->PropDef->PropDefName.substr(3));
  }
  for (PDvEWSFieldDef f : DvCatalogEFLD) {
    EXPECT_EQ(f->FieldType, fdtExtendedField);
    EXPECT_EQ(f->FieldDefName.substr(5), f->PropDef->PropDefName.substr(4));
  }
  EXPECT_EQ(DvCatalogEFLD.size() + 1, DvCatalogEPR.size());
}

TEST(Catalogue, ElementRows) {
  ExpectElement("PR_SUBJECT", "Subject", pdntSimple, nullptr);
  ExpectElement("PR_COMPLETENAME", "CompleteName", pdntComplex, nullptr);
  ExpectElement("PR_COMPLETENAME_TITLE", "CompleteName/Title", pdntSimple, &PR_COMPLETENAME);
  ExpectElement("PR_EMAILADDRESSES", "EmailAddresses", pdntArray, nullptr);
  ExpectElement("PR_EMAILADDRESS1", "EmailAddresses/Entry[@Key=\"EmailAddress1\"]", pdntSimple,
                &PR_EMAILADDRESSES);
  ExpectElement("PR_PHYSICALADDRESS_HOME", "PhysicalAddresses/Entry[@Key=\"Home\"]", pdntSimple,
                &PR_PHYSICALADDRESSES);
  // Naming exceptions of the element family.
  ExpectElement("PR_START_DATE", "StartDate", pdntSimple, nullptr);
  ExpectElement("PR_END_DATE", "EndDate", pdntSimple, nullptr);
  EXPECT_EQ(GetPropDef("PR_STARTDATE", false), nullptr);
  EXPECT_EQ(GetPropDef("PR_ENDDATE", false), nullptr);
  // Names a C++ identifier cannot hold are written with "_".
  ExpectElement("PR_MICROSOFT_OUTLOOKSERVICES_SENDERAPP", "Microsoft.OutlookServices.SenderApp",
                pdntSimple, nullptr);
  // The constant is the registered record.
  EXPECT_EQ(Prop("PR_SUBJECT"), &PR_SUBJECT);
}

TEST(Catalogue, FieldRows) {
  ExpectField("FLD_FOLDER_FOLDERID", fdtField, "folder:FolderId", "", &PR_FOLDERID);
  ExpectField("FLD_ITEM_SUBJECT", fdtField, "item:Subject", "", &PR_SUBJECT);
  ExpectField("FLD_MESSAGE_ISREAD", fdtField, "message:IsRead", "", &PR_ISREAD);
  ExpectField("FLD_CONTACTS_EMAILADDRESS1", fdtIndexedField, "contacts:EmailAddress",
              "EmailAddress1", &PR_EMAILADDRESS1);
  ExpectField("FLD_CONTACTS_PHONENUMBER_BUSINESSFAX", fdtIndexedField, "contacts:PhoneNumber",
              "BusinessFax", &PR_PHONENUMBER_BUSINESSFAX);
  // The mixed-case URI prefix is upper-cased whole.
  EXPECT_EQ(Field("FLD_MEETINGREQUEST_MEETINGREQUESTTYPE")->UnindexedFieldURI,
            "meetingRequest:MeetingRequestType");
  // Task dates point at the renamed element definitions.
  EXPECT_EQ(Field("FLD_TASK_STARTDATE")->PropDef, &PR_START_DATE);
  EXPECT_EQ(Field("FLD_TASK_DUEDATE")->PropDef, &PR_DUEDATE);
}

TEST(Catalogue, CompleteNameFields) {
  struct Row {
    const char* field;
    const char* uri;
    PDvEWSPropDef prop;
  } rows[] = {
      {"FLD_CONTACTS_COMPLETENAME_TITLE", "", &PR_COMPLETENAME_TITLE},
      {"FLD_CONTACTS_COMPLETENAME_FIRSTNAME", "contacts:GivenName", &PR_COMPLETENAME_FIRSTNAME},
      {"FLD_CONTACTS_COMPLETENAME_MIDDLENAME", "contacts:MiddleName", &PR_COMPLETENAME_MIDDLENAME},
      {"FLD_CONTACTS_COMPLETENAME_LASTNAME", "contacts:Surname", &PR_COMPLETENAME_LASTNAME},
      {"FLD_CONTACTS_COMPLETENAME_SUFFIX", "contacts:Generation", &PR_COMPLETENAME_SUFFIX},
      {"FLD_CONTACTS_COMPLETENAME_INITIALS", "contacts:Initials", &PR_COMPLETENAME_INITIALS},
      {"FLD_CONTACTS_COMPLETENAME_FULLNAME", "contacts:DisplayName", &PR_COMPLETENAME_FULLNAME},
  };
  for (const Row& r : rows)
    ExpectField(r.field, fdtField, r.uri, "", r.prop);
  TDvEWSPropDefArray children = GetKeyPropDefs(&PR_COMPLETENAME);
  ASSERT_EQ(children.size(), 7u);
  for (std::size_t i = 0; i < 7; ++i)
    EXPECT_EQ(children[i], rows[i].prop);
}

TEST(Catalogue, IndexedFieldsAreExactlyTheArrayChildren) {
  std::set<PDvEWSPropDef> targets;
  for (PDvEWSFieldDef f : DvCatalogFLD)
    if (f->FieldType == fdtIndexedField) targets.insert(f->PropDef);
  std::set<PDvEWSPropDef> arrayChildren;
  for (PDvEWSPropDef d : DvCatalogPR)
    if (d->ParentProp != nullptr && d->ParentProp->NodeType == pdntArray) arrayChildren.insert(d);
  EXPECT_EQ(targets, arrayChildren);
  EXPECT_EQ(targets.size(), 29u);
}

TEST(Catalogue, FieldNamesFollowTheirURIs) {
  for (PDvEWSFieldDef f : DvCatalogFLD) {
    if (f->FieldType != fdtField || f->FieldDefName.starts_with("FLD_CONTACTS_COMPLETENAME_"))
      continue;
    std::string expected = "FLD_";
    for (char c : f->UnindexedFieldURI)
      expected += c == ':' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(f->FieldDefName, expected);
  }
  // No booking fields; no names for a bare dictionary URI.
  for (const char* absent : {"FLD_BOOKING_SERVICEIDS", "FLD_CONTACTS_EMAILADDRESS",
                             "FLD_CONTACTS_PHONENUMBER", "FLD_CONTACTS_PHYSICALADDRESS"})
    EXPECT_EQ(GetFieldDef(absent, false), nullptr) << absent;
  // PR_DISPLAYNAME is shared by the display-name fields of several classes.
  int displayName = 0;
  for (PDvEWSFieldDef f : DvCatalogFLD)
    displayName += f->PropDef == &PR_DISPLAYNAME;
  EXPECT_EQ(displayName, 5);
}

TEST(Catalogue, TaggedRows) {
  ExpectTagged("MPR_SUBJECT", ptString, 0x0037);
  ExpectTagged("MPR_ENTRYID", ptBinary, 0x0FFF);
  ExpectTagged("MPR_BODY_HTML", ptString, 0x1013);
  ExpectTagged("MPR_BODY_HTML_B", ptBinary, 0x1013);
  ExpectTagged("MPR_BODY", ptString, 0x1000);
  ExpectTagged("MPR_INST_ID", ptLong, 0x674D);
  ExpectTagged("MPR_ACKNOWLEDGEMENT_MODE", ptInteger, 0x0001);
  // 8-bit and Unicode name variants collapse into the base name.
  EXPECT_EQ(GetPropDef("MPR_SUBJECT_W", false), nullptr);
  EXPECT_EQ(GetPropDef("MPR_SUBJECT_A", false), nullptr);
  EXPECT_EQ(GetPropDef("MPR_HTML", false), nullptr);
  ExpectField("MFLD_SUBJECT", fdtExtendedField, "", "", &MPR_SUBJECT);
  ExpectField("MFLD_BODY_HTML_B", fdtExtendedField, "", "", &MPR_BODY_HTML_B);
}

TEST(Catalogue, TaggedFamilyIsOrderedByTagThenName) {
  for (std::size_t i = 1; i < DvCatalogMPR.size(); ++i) {
    PDvEWSPropDef a = DvCatalogMPR[i - 1];
    PDvEWSPropDef b = DvCatalogMPR[i];
    EXPECT_TRUE(a->PropertyTag < b->PropertyTag ||
                (a->PropertyTag == b->PropertyTag && a->PropDefName < b->PropDefName))
        << a->PropDefName << " / " << b->PropDefName;
  }
}

TEST(Catalogue, NamedRows) {
  ExpectNamedId("EPR_COMMON_REMINDER_MINUTES_BEFORE", ptLong, PSETID_Common, 34049);
  ExpectField("EFLD_COMMON_REMINDER_MINUTES_BEFORE", fdtExtendedField, "", "",
              &EPR_COMMON_REMINDER_MINUTES_BEFORE);
  ExpectNamedId("EPR_COMMON_PRIVATE", ptBoolean, PSETID_Common, 0x8506);
  ExpectNamedId("EPR_GLOBAL_OBJID", ptBinary, PSETID_Meeting, 0x0003);
  ExpectField("EFLD_GLOBAL_OBJID", fdtExtendedField, "", "", &EPR_GLOBAL_OBJID);
  // The derived rule: set word and the published name, upper-cased.
  ExpectNamedId("EPR_ADDRESS_FILEUNDER", ptString, PSETID_Address, 0x8005);
  ExpectNamedId("EPR_APPOINTMENT_LOCATION", ptString, PSETID_Appointment, 0x8208);
  // A second id published under the same name carries the id.
  ExpectNamedId("EPR_MEETING_MEETINGTYPE", ptLong, PSETID_Meeting, 0x0026);
  ExpectNamedId("EPR_MEETING_MEETINGTYPE_8C26", ptLong, PSETID_Meeting, 0x8C26);
  // Ids only observed on servers are kept when their type is known, named like the others.
  ExpectNamedId("EPR_COMMON_UNKNOWNPROPERTY8515", ptBoolean, PSETID_Common, 0x8515);
  ExpectNamedId("EPR_COMMON_UNKNOWNPROPERTY8595", ptBinaryArray, PSETID_Common, 0x8595);
  EXPECT_EQ(GetPropDef("EPR_ADDRESS_UNKNOWNPROPERTY8001", false), nullptr);  // type unknown
}

// The named family holds, per carried set, every row of data/mapi/named-properties.tsv whose
// type is known (mapi_type_name other than PT_NULL; each remaining type has an EWS
// MapiPropertyType), ids only observed on servers included, plus the library's own five:
//   awk -F'\t' 'NR > 1 && $5 != "PT_NULL" {print $1}' named-properties.tsv | sort | uniq -c
// Types follow the MAPI type, 32-bit integers and their arrays catalogued ptLong/ptLongArray.
TEST(Catalogue, NamedFamilyHoldsEveryTypedRowOfTheCarriedSets) {
  struct SetRow {
    const char* name;
    const TGUID* set;
    int count;
  } bySet[] = {
      {"Address", &PSETID_Address, 101},
      {"Common", &PSETID_Common, 96},
      {"Appointment", &PSETID_Appointment, 69},
      {"Sharing", &PSETID_Sharing, 65},
      {"Task", &PSETID_Task, 35},
      {"Meeting", &PSETID_Meeting, 37},
      {"Log", &PSETID_Log, 10},
      {"Note", &PSETID_Note, 5},
      {"Attachment", &PSETID_Attachment, 2},
      {"Messaging", &PSETID_Messaging, 1},
      {"CalendarAssistant", &PSETID_CalendarAssistant, 3},
      {"Dovrane", &PSETID_Dovrane, 5},
  };
  // The library's own add two strings and three booleans to the table's types.
  const std::map<TDvEWSPropType, int> byType = {
      {ptString, 136 + 2}, {ptLong, 97},     {ptBoolean, 63 + 3}, {ptBinary, 53},
      {ptSystemTime, 50},  {ptLongArray, 7}, {ptBinaryArray, 6},  {ptShort, 5},
      {ptStringArray, 3},  {ptCLSID, 3},     {ptDouble, 1},
  };
  std::map<const TGUID*, int> sets;
  std::map<TDvEWSPropType, int> types;
  for (PDvEWSPropDef d : DvCatalogEPR) {
    ++sets[d->PropertySetId];
    ++types[d->PropType];
  }
  for (const SetRow& r : bySet)
    EXPECT_EQ(sets[r.set], r.count) << r.name;
  EXPECT_EQ(sets.size(), std::size(bySet));
  EXPECT_EQ(types, byType);
  EXPECT_EQ(DvCatalogEPR.size(), 429u);
}

TEST(Catalogue, LibraryOwnNamedProperties) {
  ExpectNamedId("EPR_SEND_INVITATIONS_AND_UPDATES", ptBoolean, PSETID_Dovrane, 1);
  ExpectNamedId("EPR_SENDUSINGACCOUNT", ptBoolean, PSETID_Dovrane, 2);
  ExpectNamedId("EPR_SENDUSINGOUTLOOK", ptBoolean, PSETID_Dovrane, 3);
  ExpectNamedId("EPR_CERTTHUMBPRINT", ptString, PSETID_Dovrane, 4);
  ExpectNamedId("EPR_COMMENT", ptString, PSETID_Dovrane, 5);
  ExpectField("EFLD_CERTTHUMBPRINT", fdtExtendedField, "", "", &EPR_CERTTHUMBPRINT);
  EXPECT_EQ(GetFieldDef("EFLD_COMMENT", false), nullptr);
  EXPECT_EQ(DvCatalogEPR.front(), &EPR_SEND_INVITATIONS_AND_UPDATES);
}

TEST(Catalogue, NamedByString) {
  struct Row {
    const char* name;
    const TGUID* set;
    const char* propName;
    TDvEWSPropType type;
  } rows[] = {
      {"EPR_NAMEORIGINALSPAMCONFIDENCELEVEL", &PSETID_Messaging, "OriginalScl", ptLong},
      {"EPR_NAMEATTACHMENTMACCONTENTTYPE", &PSETID_Attachment, "AttachmentMacContentType",
       ptString},
      {"EPR_NAMEATTACHMENTMACINFO", &PSETID_Attachment, "AttachmentMacInfo", ptBinary},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    PDvEWSPropDef d = Prop(r.name);
    EXPECT_EQ(d->PropKind, pkName);
    EXPECT_EQ(d->Name, r.propName);
    EXPECT_EQ(d->PropType, r.type);
    ASSERT_NE(d->PropertySetId, nullptr);
    EXPECT_EQ(*d->PropertySetId, *r.set);
  }
}

TEST(Catalogue, KeyedArrayChildrenInCatalogueOrder) {
  TDvEWSPropDefArray children = GetKeyPropDefs(&PR_PHONENUMBERS);
  ASSERT_EQ(children.size(), 23u);
  EXPECT_EQ(children.front()->NodeName, "PhoneNumbers/Entry[@Key=\"AssistantPhone\"]");
  EXPECT_EQ(children[1], &PR_PHONENUMBER_BUSINESSFAX);
  EXPECT_EQ(children.back()->NodeName, "PhoneNumbers/Entry[@Key=\"Msn\"]");
  EXPECT_EQ(GetKeyPropDefs(&PR_EMAILADDRESSES),
            (TDvEWSPropDefArray{&PR_EMAILADDRESS1, &PR_EMAILADDRESS2, &PR_EMAILADDRESS3}));
  EXPECT_EQ(GetKeyPropDefs(&PR_PHYSICALADDRESSES),
            (TDvEWSPropDefArray{&PR_PHYSICALADDRESS_BUSINESS, &PR_PHYSICALADDRESS_HOME,
                                &PR_PHYSICALADDRESS_OTHER}));
  EXPECT_TRUE(GetKeyPropDefs(&PR_SUBJECT).empty());
  EXPECT_TRUE(GetKeyPropDefs(&MPR_SUBJECT).empty());
  EXPECT_TRUE(GetKeyPropDefs(nullptr).empty());
}
