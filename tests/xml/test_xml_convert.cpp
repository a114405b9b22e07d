// XML text conversions: date-times in every xs:dateTime form, booleans, integers, doubles and
// variants.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "DvXML.h"

using namespace dv;

TEST(XmlConvert, DateTimesReadInEveryZoneForm) {
  const TDateTime noon = TDateTime::Encode(2026, 7, 15, 12, 0, 0);
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T12:00:00Z"), noon);
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T12:00:00z"), noon);
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T14:00:00+02:00"), noon);
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T06:30:00-05:30"), noon);
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T12:00:00+00:00"), noon);
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T12:00:00"), noon);  // no zone: UTC
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T12:00"), noon);
  EXPECT_EQ(DvXMLToDateTime("  2026-07-15T12:00:00Z\n"), noon);
  // Offsets that cross a day, a month and a year.
  EXPECT_EQ(DvXMLToDateTime("2027-01-01T01:00:00+02:00"), TDateTime::Encode(2026, 12, 31, 23));
  EXPECT_EQ(DvXMLToDateTime("2026-02-28T22:00:00-05:00"), TDateTime::Encode(2026, 3, 1, 3));
  // Fractional seconds of any length, rounded to the millisecond.
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T12:00:00.5Z"),
            TDateTime::Encode(2026, 7, 15, 12, 0, 0, 500));
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T12:00:00.123Z"),
            TDateTime::Encode(2026, 7, 15, 12, 0, 0, 123));
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T12:00:00.1234567+01:00"),
            TDateTime::Encode(2026, 7, 15, 11, 0, 0, 123));
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T12:00:59.9999Z"), TDateTime::Encode(2026, 7, 15, 12, 1));
  // Dates alone, and the end of a day.
  EXPECT_EQ(DvXMLToDateTime("2026-07-15"), TDateTime::Encode(2026, 7, 15));
  EXPECT_EQ(DvXMLToDateTime("2026-07-15Z"), TDateTime::Encode(2026, 7, 15));
  EXPECT_EQ(DvXMLToDateTime("2026-07-15T24:00:00"), TDateTime::Encode(2026, 7, 16));
  // Empty is the zero date-time.
  EXPECT_TRUE(DvXMLToDateTime("").IsZero());
  EXPECT_TRUE(DvXMLToDateTime("  ").IsZero());

  for (const char* bad :
       {"2026-7-15", "2026-07-15T", "2026-07-15T12", "2026-13-01T00:00:00Z", "2026-02-30T00:00:00Z",
        "2026-07-15T12:00:00+2", "2026-07-15T12:00:00+25:00", "2026-07-15T12:00:00.Z",
        "2026-07-15T12:00:00Zjunk", "yesterday", "2026-07-15T24:00:01", "2026-07-15T12:60:00"}) {
    EXPECT_THROW(DvXMLToDateTime(bad), EConvertError) << bad;
  }
}

TEST(XmlConvert, DateTimesWriteOneFormAndRoundTrip) {
  EXPECT_EQ(DvDateTimeToXML(TDateTime::Encode(2026, 7, 5, 8, 9, 3)), "2026-07-05T08:09:03Z");
  EXPECT_EQ(DvDateTimeToXML(TDateTime::Encode(2026, 7, 5, 8, 9, 3, 7)), "2026-07-05T08:09:03.007Z");
  EXPECT_EQ(DvDateTimeToXML(TDateTime()), "");
  EXPECT_EQ(DvDateToXML(TDateTime::Encode(1999, 12, 31, 23, 59)), "1999-12-31");
  EXPECT_EQ(DvTimeToXML(TDateTime::Encode(1999, 12, 31, 23, 59, 1)), "23:59:01");
  EXPECT_EQ(DvTimeToXML(TDateTime(0.5)), "12:00:00");
  for (const char* text : {"1601-01-01T00:00:00Z", "1970-01-01T00:00:00.001Z",
                           "2038-01-19T03:14:08Z", "9999-12-31T23:59:59.999Z"}) {
    EXPECT_EQ(DvDateTimeToXML(DvXMLToDateTime(text)), text);
  }
}

TEST(XmlConvert, BooleansIntegersAndDoubles) {
  EXPECT_TRUE(DvXMLToBool("true"));
  EXPECT_TRUE(DvXMLToBool("True"));
  EXPECT_TRUE(DvXMLToBool("1"));
  EXPECT_FALSE(DvXMLToBool("false"));
  EXPECT_FALSE(DvXMLToBool("0"));
  EXPECT_FALSE(DvXMLToBool(""));
  EXPECT_THROW(DvXMLToBool("yes"), EConvertError);
  EXPECT_EQ(DvBoolToXML(true), "true");
  EXPECT_EQ(DvBoolToXML(false), "false");

  EXPECT_EQ(DvXMLToInt("34049"), 34049);
  EXPECT_EQ(DvXMLToInt(" -12 "), -12);
  EXPECT_EQ(DvXMLToInt("+7"), 7);
  EXPECT_EQ(DvXMLToInt("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  for (const char* bad : {"", "1.5", "12a", "0x10", "9223372036854775808", "--1"}) {
    EXPECT_THROW(DvXMLToInt(bad), EConvertError) << bad;
  }
  EXPECT_EQ(DvIntToXML(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");

  EXPECT_DOUBLE_EQ(DvXMLToDouble("1.5E3"), 1500.0);
  EXPECT_DOUBLE_EQ(DvXMLToDouble("-0.25"), -0.25);
  EXPECT_TRUE(std::isinf(DvXMLToDouble("INF")) && DvXMLToDouble("INF") > 0);
  EXPECT_TRUE(DvXMLToDouble("-INF") < 0 && std::isinf(DvXMLToDouble("-INF")));
  EXPECT_TRUE(std::isnan(DvXMLToDouble("NaN")));
  EXPECT_THROW(DvXMLToDouble("1,5"), EConvertError);
  EXPECT_THROW(DvXMLToDouble("inf"), EConvertError);
  for (double v : {0.1, 1.0 / 3.0, 1e300, -2.5e-300, 123456789.0}) {
    EXPECT_EQ(DvXMLToDouble(DvDoubleToXML(v)), v);
  }
  EXPECT_EQ(DvDoubleToXML(1.5), "1.5");
  EXPECT_EQ(DvDoubleToXML(-HUGE_VAL), "-INF");
  EXPECT_EQ(DvDoubleToXML(std::nan("")), "NaN");
}

TEST(XmlConvert, VariantsAsText) {
  EXPECT_EQ(DvVariantToXML(TDvVariant{}), "");
  EXPECT_EQ(DvVariantToXML(TDvVariant{true}), "true");
  EXPECT_EQ(DvVariantToXML(TDvVariant{std::int32_t{-5}}), "-5");
  EXPECT_EQ(DvVariantToXML(TDvVariant{std::int64_t{1} << 40}), "1099511627776");
  EXPECT_EQ(DvVariantToXML(TDvVariant{0.5}), "0.5");
  EXPECT_EQ(DvVariantToXML(TDvVariant{std::string("a<b")}), "a<b");  // text, not escaped
  EXPECT_EQ(DvVariantToXML(TDvVariant{TDateTime::Encode(2026, 1, 2, 3, 4, 5)}),
            "2026-01-02T03:04:05Z");
  EXPECT_EQ(DvVariantToXML(TDvVariant{TBytes{'h', 'i', '!'}}), "aGkh");
  EXPECT_EQ(DvVariantToXML(TDvVariant{std::vector<std::string>{"Red", "Blue"}}), "Red Blue");
}
