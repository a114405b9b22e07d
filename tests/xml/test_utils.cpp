// Utilities: Base64 and hex, trimming and comparison, code pages, MIME types, GUIDs, UTF-16.
#include <gtest/gtest.h>

#include <set>

#include "DvUtils.h"

using namespace dv;

TEST(Utils, Base64RoundTripsAndRejectsGarbage) {
  // RFC 4648 test vectors.
  for (const auto& [plain, encoded] : {std::pair{"", ""},
                                       {"f", "Zg=="},
                                       {"fo", "Zm8="},
                                       {"foo", "Zm9v"},
                                       {"foob", "Zm9vYg=="},
                                       {"fooba", "Zm9vYmE="},
                                       {"foobar", "Zm9vYmFy"}}) {
    EXPECT_EQ(DvBase64Encode(std::string_view(plain)), encoded);
    EXPECT_EQ(DvBase64DecodeToString(encoded), plain);
  }
  // Every byte value, and MIME-style line breaks and missing padding on input.
  TBytes all(256);
  for (int i = 0; i < 256; ++i)
    all[i] = static_cast<std::uint8_t>(i);
  const std::string enc = DvBase64Encode(all);
  EXPECT_EQ(DvBase64Decode(enc), all);
  std::string wrapped;
  for (std::size_t i = 0; i < enc.size(); i += 76)
    wrapped += enc.substr(i, 76) + "\r\n";
  EXPECT_EQ(DvBase64Decode(wrapped), all);
  EXPECT_EQ(DvBase64DecodeToString("Zm9vYg"), "foob");
  EXPECT_EQ(DvBase64DecodeToString("Zm9vYmE"), "fooba");
  for (const char* bad : {"Zm9v!", "Z", "Zm9vY", "Zg=a", "Zg===", "=Zg=", "Zm9=v"}) {
    EXPECT_THROW(DvBase64Decode(bad), EConvertError) << bad;
  }
}

TEST(Utils, HexEncodeDecode) {
  EXPECT_EQ(DvHexEncode(TBytes{0x00, 0x0E, 0x1C, 0xFF}), "000E1CFF");
  EXPECT_EQ(DvHexEncode(std::string_view("\x0a\xbc", 2), false), "0abc");
  EXPECT_EQ(DvHexDecode("0x0e1C"), (TBytes{0x0E, 0x1C}));
  EXPECT_EQ(DvHexDecode(""), TBytes{});
  EXPECT_THROW(DvHexDecode("ABC"), EConvertError);
  EXPECT_THROW(DvHexDecode("GG"), EConvertError);
}

TEST(Utils, TrimmingAndComparison) {
  const std::string kStrasse = "stra\xC3\x9F\x65";  // "straße"
  EXPECT_EQ(DvTrim(" \t\r\n a b \n"), "a b");
  EXPECT_EQ(DvTrim("   "), "");
  EXPECT_TRUE(DvSameText("Inbox", "INBOX"));
  EXPECT_FALSE(DvSameText("Inbox", "Inbox2"));
  EXPECT_LT(DvCompareText("apple", "Banana"), 0);
  EXPECT_GT(DvCompareText("b", "A"), 0);
  EXPECT_LT(DvCompareText("ab", "ABC"), 0);
  EXPECT_TRUE(DvStartsText("(UTC+01:00) Amsterdam", "(utc+01:00)"));
  EXPECT_TRUE(DvEndsText("photo.JPG", ".jpg"));
  EXPECT_EQ(DvLowerCaseAscii("MiXeD \xC3\x84"), "mixed \xC3\x84");
  // ASCII comparison leaves other letters alone; the Unicode one folds them.
  EXPECT_FALSE(DvSameText("\xC3\x84RGER", "\xC3\xA4rger"));
  EXPECT_TRUE(DvSameTextUnicode("\xC3\x84RGER", "\xC3\xA4rger"));
  EXPECT_TRUE(DvSameTextUnicode("STRASSE", kStrasse));
  EXPECT_TRUE(
      DvSameTextUnicode("\xCE\xA3\xCE\x99\xCE\xA3", "\xCF\x83\xCE\xB9\xCF\x82"));  // ΣΙΣ/σις
  EXPECT_FALSE(DvSameTextUnicode("a", "b"));
  EXPECT_LT(DvCompareTextUnicode("apple", "BANANA"), 0);
  EXPECT_GT(DvCompareTextUnicode(kStrasse, "STRAS"), 0);  // "strasse" after folding
  EXPECT_EQ(DvLowerCase("\xC3\x84PFEL"), "\xC3\xA4pfel");
  EXPECT_EQ(DvUpperCase(kStrasse), "STRASSE");
}

TEST(Utils, CodePageDetectionAndConversion) {
  EXPECT_EQ(DvDetectCodePage("\xEF\xBB\xBF<a/>"), "UTF-8");
  EXPECT_EQ(DvDetectCodePage(std::string("\xFF\xFE<\0", 4)), "UTF-16LE");
  EXPECT_EQ(DvDetectCodePage(std::string("\xFE\xFF\0<", 4)), "UTF-16BE");
  EXPECT_EQ(DvDetectCodePage(std::string("\xFF\xFE\0\0", 4)), "UTF-32LE");
  EXPECT_EQ(DvDetectCodePage(std::string("<\0?\0", 4)), "UTF-16LE");
  EXPECT_EQ(DvDetectCodePage("<?xml version=\"1.0\" encoding='ISO-8859-1'?><a/>"), "ISO-8859-1");
  EXPECT_EQ(DvDetectCodePage("<?xml version=\"1.0\"?><a/>"), "");
  EXPECT_EQ(DvDetectCodePage("<?xml version=\"1.0\" encoding=\"utf-16\"?><a/>"), "UTF-8");
  EXPECT_EQ(DvDetectCodePage("plain"), "");

  EXPECT_EQ(DvCodePageToUTF8("\x80 \xE9", "windows-1252"), "\xE2\x82\xAC \xC3\xA9");
  EXPECT_EQ(DvCodePageToUTF8("\x80 \xE9", "1252"), "\xE2\x82\xAC \xC3\xA9");
  EXPECT_EQ(DvCodePageToUTF8("\xE9", "latin1"), "\xC3\xA9");
  const std::string bomA("\xFF\xFE\x41\0", 4);  // "A" in UTF-16LE after a byte-order mark
  EXPECT_EQ(DvCodePageToUTF8(bomA + "\xAC\x20", "utf-16le"), "A\xE2\x82\xAC");
  EXPECT_EQ(DvCodePageToUTF8(bomA), "A");  // detected, mark dropped
  EXPECT_EQ(DvCodePageToUTF8("\xEF\xBB\xBFok"), "ok");
  // A byte-order mark wins over the code page given.
  EXPECT_EQ(DvCodePageToUTF8(bomA, "65001"), "A");
  EXPECT_EQ(DvCodePageToUTF8("\xC3(", "utf-8"), "\xEF\xBF\xBD(");        // broken UTF-8 repaired
  EXPECT_EQ(DvCodePageToUTF8("\x82\xA0", "shift_jis"), "\xE3\x81\x82");  // あ
  EXPECT_THROW(DvCodePageToUTF8("x", "no-such-charset"), EConvertError);

  EXPECT_EQ(DvUTF8ToCodePage("\xE2\x82\xAC\xC3\xA9", "windows-1252"), "\x80\xE9");
  EXPECT_EQ(DvCharsetFromContentType("text/xml; charset=utf-8"), "utf-8");
  EXPECT_EQ(DvCharsetFromContentType("text/html;Charset=\"windows-1252\" ; x=y"), "windows-1252");
  EXPECT_EQ(DvCharsetFromContentType("text/xml"), "");
  EXPECT_TRUE(DvIsValidUTF8("\xF0\x9F\x98\x80 ok"));
  EXPECT_FALSE(DvIsValidUTF8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(DvIsValidUTF8("\xED\xA0\x80"));  // surrogate
}

TEST(Utils, MimeTypesByFileName) {
  EXPECT_EQ(DvMimeTypeFromFileName("report.PDF"), "application/pdf");
  EXPECT_EQ(DvMimeTypeFromFileName("C:\\Users\\a\\photo.jpeg"), "image/jpeg");
  EXPECT_EQ(DvMimeTypeFromFileName("/tmp/archive.tar.gz"), "application/gzip");
  EXPECT_EQ(DvMimeTypeFromFileName("sheet.xlsx"),
            "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
  EXPECT_EQ(DvMimeTypeFromFileName("noext"), "application/octet-stream");
  EXPECT_EQ(DvMimeTypeFromFileName("dir.d/noext"), "application/octet-stream");
  EXPECT_EQ(DvExtensionFromMimeType("image/jpeg"), ".jpg");
  EXPECT_EQ(DvExtensionFromMimeType("text/html; charset=utf-8"), ".htm");
  EXPECT_EQ(DvExtensionFromMimeType("application/x-unknown"), "");
}

TEST(Utils, GuidTexts) {
  const TGUID common = DvStringToGUID("{00062008-0000-0000-C000-000000000046}");
  EXPECT_EQ(common.D1, 0x00062008u);
  EXPECT_EQ(common.D4[0], 0xC0);
  EXPECT_EQ(DvGUIDToString(common), "{00062008-0000-0000-C000-000000000046}");
  EXPECT_EQ(DvGUIDToString(common, false, false), "00062008-0000-0000-c000-000000000046");
  EXPECT_EQ(DvStringToGUID("00062008-0000-0000-c000-000000000046"), common);
  EXPECT_EQ(DvStringToGUID("0006200800000000C000000000000046"), common);
  EXPECT_EQ(DvHexEncode(DvGUIDToBytes(common)), "0820060000000000C000000000000046");
  EXPECT_EQ(DvBytesToGUID(DvGUIDToBytes(common)), common);
  TGUID g;
  for (const char* bad :
       {"", "{00062008-0000-0000-C000-000000000046", "00062008-0000-0000-C000-00000000004G",
        "000620080-000-0000-C000-000000000046", "{00062008000000000C000000000000046}"}) {
    EXPECT_FALSE(DvTryStringToGUID(bad, g)) << bad;
  }
  EXPECT_THROW(DvStringToGUID("nope"), EConvertError);
  EXPECT_THROW(DvBytesToGUID(TBytes(15)), EConvertError);
  std::set<std::string> seen;
  for (int i = 0; i < 50; ++i) {
    const TGUID n = DvNewGUID();
    EXPECT_EQ(n.D3 >> 12, 4);
    EXPECT_EQ(n.D4[0] & 0xC0, 0x80);
    seen.insert(DvGUIDToString(n));
  }
  EXPECT_EQ(seen.size(), 50u);
  EXPECT_TRUE(TGUID{}.IsNull());
}

TEST(Utils, Utf16Helpers) {
  EXPECT_EQ(DvUTF16Length("abc"), 3u);
  EXPECT_EQ(DvUTF16Length("\xC3\xA9\xE2\x82\xAC"), 2u);
  EXPECT_EQ(DvUTF16Length("\xF0\x9F\x98\x80"), 2u);  // one character, two units
  EXPECT_EQ(DvUTF8ToUTF16("a\xF0\x9F\x98\x80"), u"a\U0001F600");
  EXPECT_EQ(DvUTF16ToUTF8(u"\u00e9\U0001F600"), "\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(DvUTF16ToUTF8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");  // lone surrogate
}

TEST(Utils, HtmlStartTagsAndAttributeValuePositions) {
  const std::string html =
      "<p>a<IMG alt='x > y' SRC = \"data:image/png;base64,iVBO\" width=10 hidden>"
      "<!-- <img src=\"ignored\"> --><imgx src=no><img\nsrc='file:///tmp/a.png'/>"
      "<img src=\"unterminated";
  const auto tags = DvScanHTMLTags(html, "img");
  ASSERT_EQ(tags.size(), 2u);
  const TDvHTMLAttribute* src = tags[0].Find("src");
  ASSERT_NE(src, nullptr);
  EXPECT_EQ(src->Value, "data:image/png;base64,iVBO");
  EXPECT_EQ(html.substr(src->ValueOffset, src->ValueLength), src->Value);
  EXPECT_EQ(tags[0].Find("alt")->Value, "x > y");
  EXPECT_EQ(tags[0].Find("width")->Value, "10");
  ASSERT_NE(tags[0].Find("hidden"), nullptr);
  EXPECT_EQ(tags[0].Find("hidden")->Value, "");
  EXPECT_EQ(html.substr(tags[0].Offset, 4), "<IMG");
  EXPECT_EQ(html[tags[0].Offset + tags[0].Length - 1], '>');
  EXPECT_EQ(tags[1].Find("SRC")->Value, "file:///tmp/a.png");
  EXPECT_TRUE(DvScanHTMLTags("no tags", "img").empty());
}
