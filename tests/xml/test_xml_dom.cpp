// Documents and elements: building requests by qualified name, editing, lifetimes, output and
// files.
#include <gtest/gtest.h>

#include <fstream>

#include "DvXML.h"
#include "test_helpers.h"

using namespace dv;

namespace {

constexpr const char* kSoapNs = "http://schemas.xmlsoap.org/soap/envelope/";
constexpr const char* kMsgNs = "http://schemas.microsoft.com/exchange/services/2006/messages";
constexpr const char* kTypNs = "http://schemas.microsoft.com/exchange/services/2006/types";

DvDOMElementPtr NewEnvelope(const DvDOMDocumentPtr& doc) {
  const auto env = doc->CreateDocumentElement("soap:Envelope");
  env->SetAttribute("xmlns:soap", kSoapNs);
  env->SetAttribute("xmlns:m", kMsgNs);
  env->SetAttribute("xmlns:t", kTypNs);
  return env;
}

}  // namespace

TEST(XmlDom, BuildsAPrefixedRequestThatReadsBack) {
  const auto doc = DvCreateDOM();
  EXPECT_EQ(doc->GetDocumentElement(), nullptr);
  const auto env = NewEnvelope(doc);
  env->AddElement("soap:Header")
      ->AddElement("t:RequestServerVersion")
      ->SetAttribute("Version", "Exchange2013_SP1");
  const auto find = env->AddElement("soap:Body")->AddElement("m:FindItem");
  find->SetAttribute("Traversal", "Shallow");
  find->AddElement("m:ItemShape")->AddElement("t:BaseShape")->SetAsString("IdOnly");
  const auto view = find->AddElement("m:IndexedPageItemView");
  view->SetAttribute("MaxEntriesReturned", "50");
  view->SetAttribute("Offset", "0");
  view->SetAttribute("Offset", "50");  // replaces
  find->AddElement("m:ParentFolderIds")
      ->AddElement("t:DistinguishedFolderId")
      ->SetAttribute("Id", "inbox");

  const std::string xml = doc->GetXML();
  EXPECT_EQ(xml.rfind("<soap:Envelope xmlns:soap=\"", 0), 0u) << xml;
  EXPECT_NE(xml.find("<m:IndexedPageItemView MaxEntriesReturned=\"50\" Offset=\"50\"/>"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<t:BaseShape>IdOnly</t:BaseShape>"), std::string::npos);

  const auto back = DvCreateDOM(xml);
  const auto fi = back->SelectSingleElement("/Envelope/Body/FindItem");
  ASSERT_TRUE(fi);
  EXPECT_EQ(fi->GetQualifiedName(), "m:FindItem");
  EXPECT_EQ(fi->GetLocalName(), "FindItem");
  EXPECT_EQ(fi->GetPrefix(), "m");
  EXPECT_EQ(fi->GetNamespaceURI(), kMsgNs);
  EXPECT_EQ(fi->SelectSingleElement("ParentFolderIds/DistinguishedFolderId")->GetNamespaceURI(),
            kTypNs);
  EXPECT_EQ(fi->GetParent()->GetQualifiedName(), "soap:Body");
  EXPECT_EQ(back->GetDocumentElement()->GetParent(), nullptr);
  EXPECT_EQ(
      DvCreateDOM("<r xmlns=\"urn:d\"><c/></r>")->SelectSingleElement("r/c")->GetNamespaceURI(),
      "urn:d");

  EXPECT_THROW(find->AddElement(""), EDvXMLException);
  EXPECT_THROW(find->AddElement("a b"), EDvXMLException);
  EXPECT_THROW(find->AddElement("a:b:c"), EDvXMLException);
  EXPECT_THROW(find->SetAttribute("x=\"1\" y", "2"), EDvXMLException);
}

TEST(XmlDom, AttributesChildrenAndEditing) {
  const auto doc = DvCreateDOM("<r a=\"1\" b=\"2\"><x/>text<y/><z/></r>");
  const auto r = doc->GetDocumentElement();
  EXPECT_EQ(r->AttributeCount(), 2);
  EXPECT_TRUE(r->HasAttribute("a"));
  EXPECT_FALSE(r->HasAttribute("c"));
  EXPECT_EQ(r->GetAttribute("c"), "");
  r->AddAttribute("c", "3");
  r->RemoveAttribute("a");
  const auto attrs = r->GetAttributes();
  ASSERT_EQ(attrs->Count(), 2);
  EXPECT_EQ(attrs->GetItem(0).Name, "b");
  EXPECT_EQ(attrs->GetItem(1).Value, "3");
  EXPECT_THROW(attrs->GetItem(2), EListError);

  EXPECT_EQ(r->ElementCount(), 3);
  EXPECT_EQ(r->GetElement(1)->GetLocalName(), "y");
  EXPECT_THROW(r->GetElement(3), EListError);
  EXPECT_THROW(r->GetElement(-1), EListError);
  EXPECT_EQ(r->ElementByName("Z")->GetLocalName(), "z");
  EXPECT_EQ(r->ElementByName("w"), nullptr);
  EXPECT_EQ(r->ElementByName("t:z")->GetLocalName(), "z");

  // Insert before and after a reference child, so a child lands at its declared position.
  const auto y = r->GetElement(1);
  r->InsertElement("before-y", y, true);
  r->InsertElement("after-y", y, false);
  r->InsertElement("last", nullptr);
  std::vector<std::string> names;
  const auto all = r->CreateElementList("*");
  for (int i = 0; i < all->Count(); ++i)
    names.push_back(all->GetItem(i)->GetLocalName());
  EXPECT_EQ(names, (std::vector<std::string>{"x", "before-y", "y", "after-y", "z", "last"}));
  const auto other = DvCreateDOM("<o><c/></o>");
  EXPECT_THROW(r->InsertElement("n", other->SelectSingleElement("o/c")), EDvXMLException);
  EXPECT_THROW(r->RemoveElement(other->SelectSingleElement("o/c")), EDvXMLException);

  r->RemoveElement(r->ElementByName("y"));
  EXPECT_EQ(r->ElementCount(), 5);
  EXPECT_EQ(r->GetAsString(), "text");
  r->SelectSingleElement("x")->SetAsString("new");
  EXPECT_EQ(r->GetAsString(), "newtext");
  r->Clear();
  EXPECT_EQ(r->ElementCount(), 0);
  EXPECT_EQ(r->GetAsString(), "");
  EXPECT_EQ(r->AttributeCount(), 2);  // Clear keeps the attributes
}

TEST(XmlDom, TypedTextAccessors) {
  const auto doc = DvCreateDOM(
      "<r><i> 42 </i><b>TRUE</b><d>2026-03-01T10:00:00+01:00</d>"
      "<e/><bad>x</bad><mixed>a<k>b</k>c<![CDATA[d]]></mixed></r>");
  const auto r = doc->GetDocumentElement();
  EXPECT_EQ(r->SelectSingleElement("i")->GetAsInteger(), 42);
  EXPECT_TRUE(r->SelectSingleElement("b")->GetAsBoolean());
  EXPECT_EQ(r->SelectSingleElement("d")->GetAsDateTime(), TDateTime::Encode(2026, 3, 1, 9));
  const auto e = r->SelectSingleElement("e");
  EXPECT_EQ(e->GetAsInteger(), 0);
  EXPECT_FALSE(e->GetAsBoolean());
  EXPECT_TRUE(e->GetAsDateTime().IsZero());
  EXPECT_THROW(r->SelectSingleElement("bad")->GetAsInteger(), EConvertError);
  EXPECT_THROW(r->SelectSingleElement("bad")->GetAsBoolean(), EConvertError);
  EXPECT_EQ(r->SelectSingleElement("mixed")->GetAsString(), "abcd");

  e->SetAsInteger(-9000000000LL);
  EXPECT_EQ(e->GetXML(), "<e>-9000000000</e>");
  e->SetAsBoolean(false);
  EXPECT_EQ(e->GetAsString(), "false");
  e->SetAsDateTime(TDateTime::Encode(2026, 12, 5, 14, 30, 0, 250));
  EXPECT_EQ(e->GetAsString(), "2026-12-05T14:30:00.250Z");
  e->SetAsString("");
  EXPECT_EQ(e->GetXML(), "<e/>");
  e->SetAsString(" ");
  EXPECT_EQ(DvCreateDOM(doc->GetXML())->SelectSingleElement("r/e")->GetAsString(), " ");
}

TEST(XmlDom, WrappersKeepTheirDocumentAndTreeAlive) {
  DvDOMElementPtr subject;
  DvDOMElementListPtr list;
  {
    auto doc = DvCreateDOM("<m><s>kept</s><i/><i/></m>");
    subject = doc->SelectSingleElement("m/s");
    list = doc->CreateElementList("m/i");
  }
  EXPECT_EQ(subject->GetAsString(), "kept");
  EXPECT_EQ(list->GetItem(1)->GetParent()->GetLocalName(), "m");
  // The owner document is the same object the element came from.
  const auto doc = subject->GetOwnerDocument();
  EXPECT_TRUE(doc->GetDocumentElement()->IsSameNode(*subject->GetParent()));
  // Reloading the document leaves earlier wrappers on the old tree.
  doc->LoadXML("<other/>");
  EXPECT_EQ(subject->GetAsString(), "kept");
  EXPECT_EQ(doc->GetDocumentElement()->GetLocalName(), "other");
  doc->SetXml("<third/>");
  EXPECT_EQ(doc->GetXML(), "<third/>");
  // A document keeps its content when a load fails.
  EXPECT_THROW(doc->LoadXML("<broken>"), EDvXMLException);
  EXPECT_EQ(doc->GetXML(), "<third/>");
  // Native access: wrap a pugixml node of this document, also one of an earlier content that a
  // wrapper still holds; nodes of another document are refused.
  const pugi::xml_node native = doc->GetNativeDocument().document_element();
  EXPECT_EQ(doc->WrapNode(native)->GetLocalName(), "third");
  const auto rewrapped = doc->WrapNode(subject->GetNativeNode());
  ASSERT_TRUE(rewrapped);
  EXPECT_EQ(rewrapped->GetParent()->SelectSingleElement("s")->GetAsString(), "kept");
  const auto other = DvCreateDOM("<o/>");
  EXPECT_EQ(doc->WrapNode(other->GetDocumentElement()->GetNativeNode()), nullptr);
  EXPECT_EQ(doc->WrapNode(pugi::xml_node()), nullptr);
}

TEST(XmlDom, CopyingInnerXmlAndFragments) {
  const auto src = DvCreateDOM(
      "<t:FileAttachment xmlns:t=\"urn:t\"><t:Name>a.txt</t:Name><t:Content>aGk=</t:Content>"
      "</t:FileAttachment>");
  const auto attachment = src->GetDocumentElement();
  EXPECT_EQ(attachment->GetInnerXML(), "<t:Name>a.txt</t:Name><t:Content>aGk=</t:Content>");

  const auto req = DvCreateDOM();
  const auto atts = NewEnvelope(req)->AddElement("soap:Body")->AddElement("m:Attachments");
  // Copy the inner XML into a new element of the same qualified name in another document.
  atts->AddElement(attachment->GetQualifiedName())->AppendXML(attachment->GetInnerXML());
  EXPECT_EQ(req->SelectSingleElement("//Attachments/FileAttachment/Content")->GetAsString(),
            "aGk=");
  // Or copy the element itself.
  const auto copy = atts->AppendCopy(attachment);
  EXPECT_EQ(copy->SelectSingleElement("Name")->GetAsString(), "a.txt");
  EXPECT_EQ(atts->ElementCount(), 2);
  EXPECT_THROW(atts->AppendCopy(atts->GetParent()), EDvXMLException);

  // Fragments are checked like documents.
  EXPECT_THROW(atts->AppendXML("<!DOCTYPE x><x/>"), EDvXMLException);
  EXPECT_THROW(atts->AppendXML("<x>"), EDvXMLException);
  atts->AppendXML("a<x>&#x1;</x>b");
  EXPECT_EQ(atts->SelectSingleElement("x")->GetAsString(), "\xEF\xBF\xBD");
}

TEST(XmlDom, SavesToAndLoadsFromFilesAndStreams) {
  const ews_test::TempDir tmp;
  const std::string file = tmp.File("saved.xml");
  {
    const auto doc = DvCreateDOM(
        "<Profiles Default=\"W\"><Profile name=\"W\">\xC3\xA9</Profile>"
        "</Profiles>");
    doc->SaveToFile(file);
  }
  EXPECT_EQ(ews_test::ReadFile(file).rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u);
  std::ifstream again(file, std::ios::binary);
  const auto loaded = DvCreateDOMFromStream(again);
  EXPECT_EQ(loaded->SelectSingleElement("/Profiles/Profile[@name=\"W\"]")->GetAsString(),
            "\xC3\xA9");
  EXPECT_THROW(loaded->SaveToFile("/nonexistent-dir/x/y.xml"), EDvXMLException);
}

// A carriage return survives writing and reading again: in text, in an attribute and in a CDATA
// section (a reader would turn a raw one into a line feed).
TEST(XmlDom, CarriageReturnsRoundTrip) {
  auto doc = DvCreateDOM();
  auto root = doc->CreateDocumentElement("a");
  root->AddElement("body")->SetAsString("line 1\r\nline 2\r");
  root->SetAttribute("v", "x\ry");
  const std::string written = doc->GetXML();
  EXPECT_EQ(written.find('\r'), std::string::npos) << written;
  auto again = DvCreateDOM(written);
  EXPECT_EQ(again->SelectSingleElement("a/body")->GetAsString(), "line 1\r\nline 2\r");
  EXPECT_EQ(again->GetDocumentElement()->GetAttribute("v"), "x\ry");
  EXPECT_EQ(again->GetXML(), written);

  auto cdata = DvCreateDOM("<a><![CDATA[x&#13;y]]>&#13;<![CDATA[<z>]]></a>");
  EXPECT_EQ(cdata->GetDocumentElement()->GetAsString(), "x&#13;y\r<z>");
  EXPECT_EQ(DvCreateDOM(cdata->GetXML())->GetDocumentElement()->GetAsString(), "x&#13;y\r<z>");
}
