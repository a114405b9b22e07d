// Parser input: malformed documents, refused DTD and entity constructs, characters XML 1.0
// forbids (read as U+FFFD, never written), encodings.
#include <gtest/gtest.h>

#include <sstream>

#include "DvUtils.h"
#include "DvXML.h"
#include "xml_samples.h"

using namespace dv;

namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

std::string ErrorOf(std::string_view xml) {
  try {
    DvCreateDOM(xml);
  } catch (const EDvXMLException& e) {
    return e.what();
  }
  return "<no error>";
}

bool Contains(const std::string& s, const std::string& part) {
  return s.find(part) != std::string::npos;
}

std::string FindItemWithSubject(const std::string& subject, const std::string& body) {
  return EWS_SOAP_OPEN "<m:GetItemResponse" EWS_NS
                       "><m:ResponseMessages><m:GetItemResponseMessage ResponseClass=\"Success\">"
                       "<m:ResponseCode>NoError</m:ResponseCode><m:Items><t:Message>"
                       "<t:Subject>" +
         subject + "</t:Subject><t:Body BodyType=\"Text\">" + body +
         "</t:Body></t:Message><t:Message><t:Subject>next</t:Subject></t:Message></m:Items>"
         "</m:GetItemResponseMessage></m:ResponseMessages></m:GetItemResponse>" EWS_SOAP_CLOSE;
}

}  // namespace

TEST(XmlInput, MalformedDocumentsRaiseWithTheOffset) {
  struct Case {
    const char* xml;
    const char* offset;
  } cases[] = {
      {"<a><b></a>", "offset 8: Start-end tags mismatch"},
      {"<a>", "offset"},
      {"", "offset 0"},
      {"just text", "offset"},
      {"<a x=\"1></a>", "offset"},
      {"<a>AT&T</a>", "offset 5"},
      {"<a>&#xZZ;</a>", "offset 3"},
      {"<a>&#;</a>", "offset 3"},
      {"<a></a><b></b>", "offset 8: more than one root element"},
  };
  for (const auto& c : cases) {
    const std::string err = ErrorOf(c.xml);
    EXPECT_TRUE(Contains(err, c.offset)) << c.xml << " -> " << err;
  }
  // Truncated responses of every length fail cleanly (no crash, no partial success).
  const std::string full = samples::kResolveNames;
  for (std::size_t n = 0; n + 1 < full.size(); n += 7) {
    EXPECT_THROW(DvCreateDOM(full.substr(0, n)), EDvXMLException) << n;
  }
}

TEST(XmlInput, DtdsEntitiesAndExternalReferencesAreRefused) {
  const char* attacks[] = {
      // External entity (XXE).
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>",
      // External DTD.
      "<!DOCTYPE r SYSTEM \"http://127.0.0.1:1/evil.dtd\"><r/>",
      // Entity expansion (billion laughs).
      "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">"
      "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
      "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>"
      "<lolz>&lol3;</lolz>",
      // Parameter entities.
      "<!DOCTYPE r [<!ENTITY % p SYSTEM \"http://127.0.0.1:1/p\"> %p;]><r/>",
      // A DOCTYPE after a comment and whitespace, and one inside the content.
      "<!-- c -->\n  <!DOCTYPE r><r/>",
      "<r><!DOCTYPE r></r>",
  };
  for (const char* xml : attacks) {
    const std::string err = ErrorOf(xml);
    EXPECT_TRUE(Contains(err, "DOCTYPE")) << xml << " -> " << err;
  }
  // An entity that was never declared is refused, not passed through or expanded.
  const std::string err = ErrorOf("<r>&lol3;</r>");
  EXPECT_TRUE(Contains(err, "undefined entity")) << err;
  // The predefined entities and character references are fine.
  const auto doc = DvCreateDOM("<r a=\"&quot;&apos;\">&lt;&gt;&amp;&#65;&#x42;&#x1F600;</r>");
  EXPECT_EQ(doc->GetDocumentElement()->GetAsString(), "<>&AB\xF0\x9F\x98\x80");
  EXPECT_EQ(doc->GetDocumentElement()->GetAttribute("a"), "\"'");
}

TEST(XmlInput, ForbiddenCharacterReferencesReadAsReplacementCharacter) {
  for (const char* ref : {"&#x0;", "&#x1;", "&#x1A;", "&#xB;", "&#0;", "&#11;", "&#xFFFE;",
                          "&#xD800;", "&#x110000;", "&#99999999999;"}) {
    const auto doc = DvCreateDOM(
        FindItemWithSubject(std::string("Re: ") + ref + "news", std::string("line") + ref + "end"));
    const auto items = doc->CreateElementList("//Items/Message");
    ASSERT_EQ(items->Count(), 2) << ref;  // the whole page is still there
    EXPECT_EQ(items->GetItem(0)->SelectSingleElement("Subject")->GetAsString(),
              "Re: " + kFFFD + "news")
        << ref;
    EXPECT_EQ(items->GetItem(0)->SelectSingleElement("Body")->GetAsString(),
              "line" + kFFFD + "end");
  }
  // In attributes too, and allowed references around them are untouched.
  const auto doc = DvCreateDOM("<r a=\"x&#x1;y&#x9;z\">&#xA;&#x1F;&#xD;</r>");
  EXPECT_EQ(doc->GetDocumentElement()->GetAttribute("a"), "x" + kFFFD + "y\tz");
  EXPECT_EQ(doc->GetDocumentElement()->GetAsString(), "\n" + kFFFD + "\r");
  // A '>' in a value is plain text, a '<' is refused: it would read as the start of markup (a
  // comment opener there used to hide every reference after it from the check).
  EXPECT_EQ(DvCreateDOM("<r a='1>0' b=\"&#x1;\"/>")->GetDocumentElement()->GetAttribute("b"),
            kFFFD);
  EXPECT_THROW(DvCreateDOM("<r a=\"x<!--y\">&#x1;</r>"), EDvXMLException);
}

// A document parsed from text it took over keeps that text for as long as any wrapper of its
// elements lives, also after its content was replaced (ASan reports a read of freed text).
TEST(XmlInput, ElementsKeepTheTextTheyWereParsedFrom) {
  DvDOMElementPtr subject, old;
  {
    std::string body = FindItemWithSubject("Re: &#x1;kept", "body");
    subject = DvCreateDOM(std::move(body))->SelectSingleElement("//Items/Message/Subject");
    const auto doc = DvCreateDOM(std::string("<r a=\"1\"><s>old</s></r>"));
    old = doc->SelectSingleElement("r/s");
    doc->LoadXML("<r><s>new</s></r>");
  }
  EXPECT_EQ(subject->GetAsString(), "Re: " + kFFFD + "kept");
  EXPECT_EQ(old->GetAsString(), "old");
  EXPECT_EQ(old->GetParent()->GetAttribute("a"), "1");
}

TEST(XmlInput, LiteralControlBytesAndMarkupSectionsAreHandled) {
  const auto doc =
      DvCreateDOM(FindItemWithSubject(std::string("a\x01z\x1A", 4), std::string("b\0c\x0B", 4)));
  const auto msg = doc->SelectSingleElement("//Items/Message");
  EXPECT_EQ(msg->SelectSingleElement("Subject")->GetAsString(), "a" + kFFFD + "z" + kFFFD);
  EXPECT_EQ(msg->SelectSingleElement("Body")->GetAsString(), "b" + kFFFD + "c" + kFFFD);
  // CDATA, comments and processing instructions keep their '&' literal.
  const auto cdata =
      DvCreateDOM("<?pi a&b?><r><!-- AT&T &#x0; --><![CDATA[&#x0; & <tag> \x01]]><x>&amp;</x></r>");
  EXPECT_EQ(cdata->GetDocumentElement()->GetAsString(), "&#x0; & <tag> " + kFFFD + "&");
}

// The check reads the input in blocks of 64 bytes: every construct it acts on is tried at each
// offset across two block boundaries, and in an attribute value that spans them.
TEST(XmlInput, ChecksHoldAtEveryOffsetAcrossBlocks) {
  for (std::size_t pad = 50; pad < 140; ++pad) {
    const std::string x(pad, 'x');
    SCOPED_TRACE(pad);
    EXPECT_TRUE(Contains(ErrorOf("<a b=\"" + x + "<\"/>"), "'<' in an attribute value"));
    EXPECT_TRUE(Contains(ErrorOf("<a>" + x + "<!DOCTYPE a></a>"), "DOCTYPE"));
    // Quotes and '>' in text delimit nothing; references in text and values, wherever they fall.
    EXPECT_TRUE(Contains(ErrorOf("<a>\"" + x + "\"<b c=\"<\"/></a>"), "'<' in an attribute value"));
    EXPECT_TRUE(
        Contains(ErrorOf("<a>" + x + ">" + x + "<b c=\"<\"/></a>"), "'<' in an attribute value"));
    EXPECT_TRUE(Contains(ErrorOf("<a b=\"" + x + "&foo;\"/>"), "undefined entity"));
    EXPECT_TRUE(Contains(ErrorOf("<a>" + x + "&foo;</a>"), "undefined entity"));
    auto doc = DvCreateDOM("<a b=\"" + x + "&amp;\">" + x + "&lt;&#x1F600;</a>");
    EXPECT_EQ(doc->GetDocumentElement()->GetAttribute("b"), x + "&");
    EXPECT_EQ(doc->GetDocumentElement()->GetAsString(), x + "<\xF0\x9F\x98\x80");
    // Blocks of plain text or tag content carry the state across them.
    EXPECT_TRUE(Contains(ErrorOf("<a>" + std::string(pad, '\n') + "<b c='<'/></a>"),
                         "'<' in an attribute value"));
    EXPECT_TRUE(
        Contains(ErrorOf("<a" + std::string(pad, ' ') + "c=\"<\"/>"), "'<' in an attribute value"));
    EXPECT_TRUE(Contains(ErrorOf("<a b='" + x + "&foo;'/>"), "undefined entity"));
    // A '>' in a value before its '<' (the '>' does not close the tag); a processing
    // instruction's '&', quote and '>' are its own.
    EXPECT_TRUE(Contains(ErrorOf("<a b=\"" + x + ">y<\"/>"), "'<' in an attribute value"));
    EXPECT_EQ(
        DvCreateDOM("<?pi " + x + "> & \"?><a>&amp;</a>")->GetDocumentElement()->GetAsString(),
        "&");
    // Replacements shorter than their reference (rewritten in place) before and after a longer
    // one (a control byte, from where the rest is copied).
    EXPECT_EQ(
        DvCreateDOM("<a>" + x + "&#x1;\x02&#0;" + x + "</a>")->GetDocumentElement()->GetAsString(),
        x + kFFFD + kFFFD + kFFFD + x);
    EXPECT_EQ(DvCreateDOM("<a b=\"" + x + "&#0;\"/>")->GetDocumentElement()->GetAttribute("b"),
              x + kFFFD);
    // Markup-like text where the check must not stop: quotes in text, '>' in a value, a comment.
    EXPECT_EQ(DvCreateDOM("<a c='" + x + "\">'>\"" + x + "<!--&<--></a>")
                  ->GetDocumentElement()
                  ->GetAttribute("c"),
              x + "\">");
  }
}

TEST(XmlInput, WrittenTextRefusesForbiddenCharactersAndKeepsTabsAndLineFeeds) {
  const auto doc = DvCreateDOM();
  const auto root = doc->CreateDocumentElement("t:Message");
  const auto subject = root->AddElement("t:Subject");
  subject->SetAsString("kept");
  // Each forbidden character is refused with the value's name; nothing is written.
  const std::pair<std::string, const char*> cases[] = {{std::string("a\0b", 3), "0000"},
                                                       {"a\x0B", "000B"},
                                                       {"\x1F", "001F"},
                                                       {"x\xEF\xBF\xBE", "FFFE"}};
  for (const auto& [text, code] : cases) {
    try {
      subject->SetAsString(text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const EDvXMLInvalidChar& e) {
      EXPECT_EQ(e.what(), "The value of \"Subject\" holds U+" + std::string(code) +
                              ", a character XML cannot carry");
    }
  }
  EXPECT_EQ(subject->GetAsString(), "kept");
  EXPECT_THROW(root->SetAttribute("Note", "x\x01y"), EDvXMLInvalidChar);
  EXPECT_THROW(root->AddAttribute("Note", "\x0C"), EDvXMLInvalidChar);
  EXPECT_FALSE(root->HasAttribute("Note"));
  EXPECT_THROW(DvXMLEscape("Tom\x02"), EDvXMLInvalidChar);

  // Tabs and line feeds survive in text and in attributes; invalid UTF-8 is still replaced.
  root->SetAttribute("Tabbed", "a\tb\nc");
  root->AddAttribute("Bad", "\xC3(");
  root->AddElement("t:Body")->SetAsString("tab\tnl\n ok \xE2\x82\xAC");
  const auto back = DvCreateDOM(doc->GetXML())->GetDocumentElement();
  EXPECT_EQ(back->GetAttribute("Tabbed"), "a\tb\nc");
  EXPECT_EQ(back->GetAttribute("Bad"), kFFFD + "(");
  EXPECT_EQ(back->SelectSingleElement("Body")->GetAsString(), "tab\tnl\n ok \xE2\x82\xAC");

  // Reading stays tolerant.
  EXPECT_EQ(DvXMLSanitize(std::string("ok\0\x7F\xEF\xBF\xBF\xED\xA0\x80", 10)),
            "ok" + kFFFD + "\x7F" + kFFFD + kFFFD + kFFFD + kFFFD);
  EXPECT_EQ(DvXMLEscape("<a href=\"x\">Tom & 'Jerry'\t</a>\r"),
            "&lt;a href=&quot;x&quot;&gt;Tom &amp; &apos;Jerry&apos;&#9;&lt;/a&gt;&#13;");
}

TEST(XmlInput, EncodingsFromBomDeclarationOrCaller) {
  // windows-1252 bytes announced by the declaration.
  const std::string cp1252 =
      "<?xml version=\"1.0\" encoding=\"windows-1252\"?><r>Caf\xE9 \x80 \x93q\x94</r>";
  EXPECT_EQ(DvCreateDOM(cp1252, "")->GetDocumentElement()->GetAsString(),
            "Caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\x9Cq\xE2\x80\x9D");
  // The caller names the code page (the declaration is silent).
  EXPECT_EQ(
      DvCreateDOM(std::string("<r>\xE9</r>"), "iso-8859-1")->GetDocumentElement()->GetAsString(),
      "\xC3\xA9");
  // UTF-16LE with a byte-order mark, through the stream loader and through LoadXML.
  const std::u16string u16 = u"\uFEFF<r a=\"\u00e9\">\u20ac\U0001F600</r>";
  const std::string bytes(reinterpret_cast<const char*>(u16.data()), u16.size() * 2);
  std::istringstream in(bytes);
  const auto doc = DvCreateDOMFromStream(in);
  EXPECT_EQ(doc->GetDocumentElement()->GetAsString(), "\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(doc->GetDocumentElement()->GetAttribute("a"), "\xC3\xA9");
  EXPECT_EQ(DvCreateDOM(bytes)->GetDocumentElement()->GetAsString(),
            "\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(DvCreateDOM(bytes, "utf-8")->GetDocumentElement()->GetAttribute("a"), "\xC3\xA9");
  // UTF-8 with a byte-order mark.
  EXPECT_EQ(DvCreateDOM("\xEF\xBB\xBF<r>x</r>")->GetDocumentElement()->GetAsString(), "x");
  // An unknown code page is a clear error.
  EXPECT_THROW(DvCreateDOM(std::string("<r/>"), "no-such-charset"), EDvXMLException);
}

TEST(XmlInput, DeeplyNestedDocumentsDoNotExhaustTheStack) {
  constexpr int kDepth = 100000;
  std::string xml;
  for (int i = 0; i < kDepth; ++i)
    xml += "<a>";
  xml += "<b>deep</b>";
  for (int i = 0; i < kDepth; ++i)
    xml += "</a>";
  const auto doc = DvCreateDOM(xml);
  EXPECT_EQ(doc->GetDocumentElement()->GetAsString(), "deep");
  EXPECT_EQ(doc->CreateElementList("//b")->Count(), 1);
  EXPECT_EQ(doc->GetXML().size(), xml.size());
}

TEST(XmlInput, MutatedResponsesParseOrFailCleanly) {
  // Random byte edits of a real-shaped response: every outcome is a document or an
  // EDvXMLException, and what parses can be selected from and written out.
  const std::string base = samples::kResolveNames;
  std::uint32_t seed = 12345;
  const auto next = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return seed >> 8;
  };
  const char alphabet[] =
      "<>&;#x/\"'=![]-?\0\x01\xFF"
      "aZ09 ";
  int parsed = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string xml = base;
    const int edits = 1 + static_cast<int>(next() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t pos = next() % xml.size();
      const char c = alphabet[next() % (sizeof alphabet - 1)];
      switch (next() % 3) {
        case 0:
          xml[pos] = c;
          break;
        case 1:
          xml.insert(pos, 1, c);
          break;
        default:
          xml.erase(pos, 1 + next() % 8);
          break;
      }
    }
    try {
      const auto doc = DvCreateDOM(xml);
      doc->CreateElementList("//Mailbox[./MailboxType=\"Contact\"]/..");
      const std::string out = doc->GetXML();
      EXPECT_NO_THROW(DvCreateDOM(out)) << out;  // what we write, we can read
      ++parsed;
    } catch (const EDvXMLException&) {
    }
  }
  EXPECT_GT(parsed, 0);
}
