// Lookups from schema enumeration values and the MAPI type conversions.
#include <gtest/gtest.h>

#include <string>

#include "test_helpers.h"
#include "uDvEWSProps.h"
#include "uDvEWSTypesEnums.h"

using namespace dv;
using ews_test::ThrownMessage;

TEST(SchemaFieldURI, UnindexedValuesFindTheirFields) {
  EXPECT_EQ(GetFieldDef(TUnindexedFieldURI::ufuitem_Subject), &FLD_ITEM_SUBJECT);
  EXPECT_EQ(GetFieldDef(TUnindexedFieldURI::ufumeetingRequest_MeetingRequestType),
            &FLD_MEETINGREQUEST_MEETINGREQUESTTYPE);
  // Every value other than the booking ones has a field whose URI is the value's wire text.
  const TDvEnumTypeInfo& info = DvEnumTypeInfo(TUnindexedFieldURI{});
  int found = 0;
  for (int i = 0; i < info.Count; ++i) {
    auto v = static_cast<TUnindexedFieldURI>(i);
    const std::string wire = DvEnumToXML(v);
    if (wire.starts_with("booking:")) continue;
    PDvEWSFieldDef f = GetFieldDef(v);
    EXPECT_EQ(f->UnindexedFieldURI, wire);
    ++found;
  }
  EXPECT_EQ(found, info.Count - 7);
}

TEST(SchemaFieldURI, BookingValuesRaise) {
  const std::pair<TUnindexedFieldURI, const char*> booking[] = {
      {TUnindexedFieldURI::ufubooking_ServiceIds, "FLD_BOOKING_SERVICEIDS"},
      {TUnindexedFieldURI::ufubooking_StaffIds, "FLD_BOOKING_STAFFIDS"},
      {TUnindexedFieldURI::ufubooking_StaffInitials, "FLD_BOOKING_STAFFINITIALS"},
      {TUnindexedFieldURI::ufubooking_CustomerName, "FLD_BOOKING_CUSTOMERNAME"},
      {TUnindexedFieldURI::ufubooking_CustomerEmail, "FLD_BOOKING_CUSTOMEREMAIL"},
      {TUnindexedFieldURI::ufubooking_CustomerPhone, "FLD_BOOKING_CUSTOMERPHONE"},
      {TUnindexedFieldURI::ufubooking_CustomerId, "FLD_BOOKING_CUSTOMERID"},
  };
  for (const auto& [value, name] : booking)
    EXPECT_EQ(ThrownMessage([v = value] { GetFieldDef(v); }),
              "There is no field definition \"" + std::string(name) + "\"!");
}

TEST(SchemaFieldURI, DictionaryValuesNeedAKey) {
  EXPECT_EQ(ThrownMessage([] { GetFieldDef(TDictionaryURI::ducontacts_EmailAddress); }),
            "There is no field definition \"FLD_CONTACTS_EMAILADDRESS\"!");
  EXPECT_EQ(ThrownMessage([] { GetFieldDef(TDictionaryURI::ducontacts_PhoneNumber); }),
            "There is no field definition \"FLD_CONTACTS_PHONENUMBER\"!");
  EXPECT_EQ(GetFieldDef(TDictionaryURI::ducontacts_EmailAddress, "EmailAddress1"),
            &FLD_CONTACTS_EMAILADDRESS1);
  EXPECT_EQ(GetFieldDef(TDictionaryURI::ducontacts_PhoneNumber, "Msn"),
            &FLD_CONTACTS_PHONENUMBER_MSN);
  EXPECT_EQ(ThrownMessage([] { GetFieldDef(TDictionaryURI::ducontacts_ImAddress, "ImAddress1"); }),
            "There is no field definition for \"contacts:ImAddress[ImAddress1]\"!");
}

TEST(SchemaPropType, EveryTypeMapsBothWays) {
  for (int i = 0; i <= static_cast<int>(TDvEWSPropType::ptStringArray); ++i) {
    auto t = static_cast<TDvEWSPropType>(i);
    TMapiPropertyType m = DvEWSPropTypeToMapiPropertyType(t);
    EXPECT_EQ(DvEnumToXML(m), DvEWSPropTypeToString(t));
    EXPECT_EQ(DvMapiPropertyTypeToEWSPropType(m), t);
  }
  // The orders differ: the schema lists Null after LongArray.
  EXPECT_EQ(DvEWSPropTypeToMapiPropertyType(TDvEWSPropType::ptNull), TMapiPropertyType::mptNull);
  EXPECT_EQ(DvMapiPropertyTypeToEWSPropType(TMapiPropertyType::mptInteger),
            TDvEWSPropType::ptInteger);
}
