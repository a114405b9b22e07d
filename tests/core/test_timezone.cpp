#include <gtest/gtest.h>

#include "DvTimeZone.h"
#include "test_helpers.h"

using namespace dv;

TEST(TimeZone, WindowsIdentifiersAndMissingOnes) {
  EXPECT_EQ(DvWindowsTimeZoneId("Europe/Berlin"), "W. Europe Standard Time");
  EXPECT_EQ(DvWindowsTimeZoneId("America/New_York"), "Eastern Standard Time");
  EXPECT_EQ(DvWindowsTimeZoneId("Asia/Kolkata"), "India Standard Time");
  EXPECT_EQ(DvWindowsTimeZoneId("Antarctica/Troll"), "");
  EXPECT_EQ(DvWindowsTimeZoneId("No/Such_Zone"), "");
}

TEST(TimeZone, OffsetsFollowDaylightSaving) {
  const TDateTime winter = TDateTime::Encode(2026, 1, 15, 12);
  const TDateTime summer = TDateTime::Encode(2026, 7, 15, 12);
  EXPECT_EQ(DvTimeZoneOffsetMinutes("Europe/Berlin", winter), 60);
  EXPECT_EQ(DvTimeZoneOffsetMinutes("Europe/Berlin", summer), 120);
  EXPECT_EQ(DvTimeZoneOffsetMinutes("America/St_Johns", winter), -210);
  EXPECT_EQ(DvTimeZoneOffsetMinutes("Asia/Kathmandu", winter), 345);
}

TEST(TimeZone, OffsetTextForms) {
  EXPECT_EQ(DvUTCOffsetText(0), "(UTC+00:00)");
  EXPECT_EQ(DvUTCOffsetText(60), "(UTC+01:00)");
  EXPECT_EQ(DvUTCOffsetText(-210), "(UTC-03:30)");
  EXPECT_EQ(DvUTCOffsetText(345), "(UTC+05:45)");
}

TEST(TimeZone, LocalZoneHonoursTZ) {
  ews_test::ScopedTZ tz("Asia/Kolkata");
  EXPECT_EQ(DvLocalTimeZoneId(), "Asia/Kolkata");
  EXPECT_EQ(DvLocalWindowsTimeZoneId(), "India Standard Time");
  EXPECT_EQ(DvLocalUTCOffsetMinutes(), 330);
}
