// Path selection: every path form the library's callers write, on documents shaped like the
// responses they read, plus the matching rules, ordering, syntax errors and the cache.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "DvXML.h"
#include "DvXMLPath.h"
#include "xml_samples.h"

using namespace dv;

namespace {

std::string Text(const DvDOMElementPtr& e) {
  return e ? e->GetAsString() : "<none>";
}

std::vector<std::string> Texts(const DvDOMElementListPtr& list) {
  std::vector<std::string> out;
  for (int i = 0; i < list->Count(); ++i)
    out.push_back(list->GetItem(i)->GetAsString());
  return out;
}

std::vector<std::string> Attrs(const DvDOMElementListPtr& list, const char* name) {
  std::vector<std::string> out;
  for (int i = 0; i < list->Count(); ++i)
    out.push_back(list->GetItem(i)->GetAttribute(name));
  return out;
}

}  // namespace

TEST(XmlPaths, AutodiscoverAbsolutePathsWithChildTextPredicates) {
  const auto doc = DvCreateDOM(samples::kAutodiscover);
  EXPECT_EQ(Text(doc->SelectSingleElement("/Autodiscover/Response/Account/Protocol[Type=\"EXPR\"]"
                                          "/EwsUrl")),
            "https://mail.example.com/EWS/Exchange.asmx");
  // The same path from an element: a leading '/' starts at the document.
  const auto account = doc->SelectSingleElement("Autodiscover/Response/Account");
  ASSERT_TRUE(account);
  EXPECT_EQ(Text(account->SelectSingleElement(
                "/Autodiscover/Response/Account/Protocol[Type=\"EXCH\"]/EwsUrl")),
            "https://internal.example.com/EWS/Exchange.asmx");

  const auto delegates = doc->CreateElementList(
      "/Autodiscover/Response/Account/AlternativeMailbox[Type=\"Delegate\"]");
  ASSERT_EQ(delegates->Count(), 2);
  EXPECT_EQ(Text(delegates->GetItem(0)->SelectSingleElement("OwnerSmtpAddress")),
            "boss@example.com");
  EXPECT_EQ(delegates->GetItem(1)->SelectSingleElement("OwnerSmtpAddress"), nullptr);
  EXPECT_EQ(Text(delegates->GetItem(1)->SelectSingleElement("SmtpAddress")), "team@example.com");
  // The relative form used on an account element.
  EXPECT_EQ(account->CreateElementList("AlternativeMailbox[Type=\"Delegate\"]")->Count(), 2);

  EXPECT_EQ(doc->SelectSingleElement("/Autodiscover/Response/Error"), nullptr);
  const auto err = DvCreateDOM(samples::kAutodiscoverError);
  EXPECT_EQ(
      Text(
          err->SelectSingleElement("/Autodiscover/Response/Error")->SelectSingleElement("Message")),
      "The e-mail address cannot be found.");
}

TEST(XmlPaths, AttributePredicatesOnTimeZonesAndProfiles) {
  const auto doc = DvCreateDOM(samples::kTimeZones);
  const auto response = doc->SelectSingleElement("/Envelope/Body/GetServerTimeZonesResponse");
  ASSERT_TRUE(response);
  const auto defs = response->SelectSingleElement(
      "ResponseMessages/GetServerTimeZonesResponseMessage/"
      "TimeZoneDefinitions");
  ASSERT_TRUE(defs);
  EXPECT_TRUE(defs->HasChildElement("TimeZoneDefinition[@Id=\"W. Europe Standard Time\"]"));
  EXPECT_FALSE(defs->HasChildElement("TimeZoneDefinition[@Id=\"Mars Standard Time\"]"));
  EXPECT_EQ(defs->SelectSingleElement("TimeZoneDefinition[@Id=\"Romance Standard Time\"]")
                ->GetAttribute("Name"),
            "(UTC+01:00) Brussels, Copenhagen, Madrid, Paris");
  EXPECT_EQ(defs->CreateElementList("*")->Count(), 3);

  const auto profiles = DvCreateDOM(samples::kProfiles);
  const auto work = profiles->SelectSingleElement("/Profiles/Profile[@name=\"Work\"]");
  ASSERT_TRUE(work);
  EXPECT_EQ(Text(work->SelectSingleElement("ServiceUrl")),
            "https://mail.example.com/EWS/Exchange.asmx");
  EXPECT_EQ(Texts(work->CreateElementList("AdditionalMailboxes/Mailbox/PrimarySMTPAddress")),
            (std::vector<std::string>{"a@example.com", "b@example.com"}));
}

TEST(XmlPaths, ResolveNamesChildPathPredicateAndZeroBasedPosition) {
  const auto doc = DvCreateDOM(samples::kResolveNames);
  const auto body = doc->SelectSingleElement("/Envelope/Body/ResolveNamesResponse");
  const auto msgs = body->CreateElementList("ResponseMessages/ResolveNamesResponseMessage");
  ASSERT_EQ(msgs->Count(), 1);
  const auto msg = msgs->GetItem(0);
  EXPECT_EQ(msg->CreateElementList("ResolutionSet/Resolution/Mailbox")->Count(), 3);
  EXPECT_EQ(
      Text(msg->SelectSingleElement("ResolutionSet/Resolution/Mailbox[./MailboxType=\"Contact\"]")
               ->SelectSingleElement("Name")),
      "Ann Contact");
  // Zero-based, counted per parent: each Resolution has one Mailbox, so [0] selects all three
  // and the first is the first resolution's.
  EXPECT_EQ(Text(msg->SelectSingleElement("ResolutionSet/Resolution/Mailbox[0]/Name")),
            "Ann Directory");
  EXPECT_EQ(msg->CreateElementList("ResolutionSet/Resolution/Mailbox[0]")->Count(), 3);
  EXPECT_EQ(msg->SelectSingleElement("ResolutionSet/Resolution/Mailbox[1]"), nullptr);
  EXPECT_EQ(Text(msg->SelectSingleElement("ResolutionSet/Resolution[2]/Mailbox/Name")),
            "Ann Group");
  EXPECT_EQ(msg->SelectSingleElement("ResolutionSet/Resolution/Mailbox[./MailboxType=\"User\"]"),
            nullptr);
}

TEST(XmlPaths, ContactNodePathsAndExtendedPropertyPaths) {
  const auto doc = DvCreateDOM(samples::kContactItem);
  const auto item = doc->GetDocumentElement();
  EXPECT_EQ(Text(item->SelectSingleElement("Subject")), "Ann Example");
  EXPECT_EQ(Text(item->SelectSingleElement("CompleteName/Title")), "Dr.");
  EXPECT_EQ(Text(item->SelectSingleElement("EmailAddresses/Entry[@Key=\"EmailAddress1\"]")),
            "ann@example.com");
  EXPECT_EQ(item->SelectSingleElement("EmailAddresses/Entry[@Key=\"EmailAddress3\"]"), nullptr);
  EXPECT_EQ(Text(item->SelectSingleElement("PhysicalAddresses/Entry[@Key=\"Business\"]/City")),
            "Springfield");

  // The extended-property forms: by set and id, by tag (two and four digits), by name.
  EXPECT_EQ(Text(item->SelectSingleElement(
                "ExtendedProperty/ExtendedFieldURI[(@PropertySetId=\"00062008-0000-0000-c000-"
                "000000000046\") and (@PropertyId=\"34049\")]/../Value")),
            "15");
  EXPECT_EQ(Text(item->SelectSingleElement(
                "ExtendedProperty/ExtendedFieldURI[(@PropertyTag=\"0x37\")]/../Value")),
            "tag 0x37");
  EXPECT_EQ(Text(item->SelectSingleElement(
                "ExtendedProperty/ExtendedFieldURI[(@PropertyTag=\"0x0E1C\")]/../Value")),
            "AQID");
  EXPECT_EQ(Text(item->SelectSingleElement(
                "ExtendedProperty/ExtendedFieldURI[(@DistinguishedPropertySetId=\"PublicStrings\")"
                " and (@PropertyName=\"MyFlag\")]/../Value")),
            "named");
  EXPECT_EQ(item->SelectSingleElement(
                "ExtendedProperty/ExtendedFieldURI[(@PropertySetId=\"00062008-0000-0000-c000-"
                "000000000046\") and (@PropertyId=\"99999\")]/../Value"),
            nullptr);

  // Recipients: every descendant mailbox of the recipient list.
  const auto to = item->SelectSingleElement("ToRecipients");
  EXPECT_EQ(Texts(to->CreateElementList(".//Mailbox")),
            (std::vector<std::string>{"To One", "To Two"}));
}

TEST(XmlPaths, ItemResponsesAndRequests) {
  // A CreateItem request as the library builds it, selected back by the lower-case path.
  const auto req = DvCreateDOM();
  const auto env = req->CreateDocumentElement("soap:Envelope");
  env->SetAttribute("xmlns:soap", "http://schemas.xmlsoap.org/soap/envelope/");
  env->SetAttribute("xmlns:m", "http://schemas.microsoft.com/exchange/services/2006/messages");
  env->SetAttribute("xmlns:t", "http://schemas.microsoft.com/exchange/services/2006/types");
  env->AddElement("soap:Header");
  const auto create = env->AddElement("soap:Body")->AddElement("m:CreateItem");
  const auto message = create->AddElement("m:Items")->AddElement("t:Message");
  message->AddElement("t:Subject")->SetAsString("Hello");
  message->AddElement("t:Body")->SetAsString("Text");
  message->AddElement("t:Attachments");
  const std::string name = "Message";
  const auto bound = req->SelectSingleElement("/envelope/body/createitem/items/" + name);
  ASSERT_TRUE(bound);
  EXPECT_TRUE(bound->IsSameNode(*message));
  EXPECT_TRUE(req->SelectSingleElement("/envelope/body/createitem/items/"));  // trailing '/'
  EXPECT_TRUE(create->SelectSingleElement("Items/*/Body")
                  ->IsSameNode(*message->SelectSingleElement("Body")));
  EXPECT_TRUE(create->HasChildElement("Items/*/Attachments"));

  // Responses: absolute paths with and without a prefix in a step, and "//ItemId" below each
  // response message (two messages: each finds its own id).
  const auto resp = DvCreateDOM(
      EWS_SOAP_OPEN "<m:UpdateItemResponse" EWS_NS
                    "><m:ResponseMessages>"
                    "<m:UpdateItemResponseMessage ResponseClass=\"Success\"><m:ResponseCode>"
                    "NoError</m:ResponseCode><m:Items><t:Message><t:ItemId Id=\"ID1\" "
                    "ChangeKey=\"CK1\"/></t:Message></m:Items></m:UpdateItemResponseMessage>"
                    "<m:UpdateItemResponseMessage ResponseClass=\"Success\"><m:ResponseCode>"
                    "NoError</m:ResponseCode><m:Items><t:Message><t:ItemId Id=\"ID2\" "
                    "ChangeKey=\"CK2\"/></t:Message></m:Items></m:UpdateItemResponseMessage>"
                    "</m:ResponseMessages></m:UpdateItemResponse>" EWS_SOAP_CLOSE);
  const auto msgs = resp->CreateElementList(
      "/Envelope/Body/UpdateItemResponse/ResponseMessages/UpdateItemResponseMessage");
  ASSERT_EQ(msgs->Count(), 2);
  EXPECT_EQ(msgs->GetItem(0)->SelectSingleElement("//ItemId")->GetAttribute("Id"), "ID1");
  EXPECT_EQ(msgs->GetItem(1)->SelectSingleElement("//ItemId")->GetAttribute("ChangeKey"), "CK2");
  EXPECT_EQ(Attrs(resp->CreateElementList("//ItemId"), "Id"),
            (std::vector<std::string>{"ID1", "ID2"}));
  EXPECT_EQ(resp->CreateElementList("/Envelope/Body/m:UpdateItemResponse/ResponseMessages/"
                                    "m:UpdateItemResponseMessage")
                ->Count(),
            2);
}

// A path relative to an element does not match the element itself, and a document without
// prefixes (default namespaces) is selected by the same local names.
TEST(XmlPaths, RelativeStepsAndDefaultNamespaces) {
  const auto find = DvCreateDOM(
      EWS_SOAP_OPEN
      "<m:FindFolderResponse" EWS_NS
      "><m:ResponseMessages><m:FindFolderResponseMessage "
      "ResponseClass=\"Success\"><m:RootFolder TotalItemsInView=\"2\"><t:Folders>"
      "<t:Folder><t:FolderId Id=\"A\"/></t:Folder><t:Folder><t:FolderId Id=\"B\"/></t:Folder>"
      "</t:Folders></m:RootFolder></m:FindFolderResponseMessage></m:ResponseMessages>"
      "</m:FindFolderResponse>" EWS_SOAP_CLOSE);
  const auto rootFolder = find->SelectSingleElement("//RootFolder");
  EXPECT_EQ(rootFolder->SelectSingleElement("RootFolder/Folders"), nullptr);
  EXPECT_EQ(rootFolder->GetParent()->SelectSingleElement("RootFolder/Folders")->ElementCount(), 2);
  EXPECT_EQ(rootFolder->GetParent()->SelectSingleElement("RootFolder/Items"), nullptr);

  const auto oof = DvCreateDOM(
      EWS_SOAP_OPEN
      "<GetUserOofSettingsResponse xmlns=\"http://schemas.microsoft.com/exchange/services/2006/"
      "messages\"><OofSettings xmlns=\"http://schemas.microsoft.com/exchange/services/"
      "2006/types\"><OofState>Scheduled</OofState><Duration><StartTime>2026-01-01T08:00:00Z"
      "</StartTime></Duration></OofSettings></GetUserOofSettingsResponse>" EWS_SOAP_CLOSE);
  const auto r = oof->SelectSingleElement("/Envelope/Body/GetUserOofSettingsResponse");
  ASSERT_TRUE(r);
  EXPECT_EQ(Text(r->SelectSingleElement("OofSettings/OofState")), "Scheduled");
  EXPECT_EQ(r->SelectSingleElement("OofSettings/Duration/StartTime")->GetAsDateTime(),
            TDateTime::Encode(2026, 1, 1, 8));
  EXPECT_EQ(oof->SelectSingleElement("/Envelope/Body/Fault"), nullptr);
}

TEST(XmlPaths, MatchingRulesCaseAndPrefixes) {
  const auto doc = DvCreateDOM(
      "<a:Root xmlns:a=\"urn:a\" xmlns:b=\"urn:b\"><b:Child Key=\"K\">"
      "one</b:Child><Child>two</Child><a:child>three</a:child></a:Root>");
  // Local names, whatever the prefix, ASCII case-insensitively by default.
  EXPECT_EQ(Texts(doc->CreateElementList("Root/Child")),
            (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(Texts(doc->CreateElementList("ROOT/CHILD")),
            (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(Texts(doc->CreateElementList("x:Root/y:Child")),
            (std::vector<std::string>{"one", "two", "three"}));
  // Exact matching on request.
  const TDvXMLSelectOptions exact{TDvXMLSelectOption::xsoCaseSensitive};
  EXPECT_EQ(Texts(doc->CreateElementList("Root/Child", exact)),
            (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(doc->CreateElementList("root/Child", exact)->Count(), 0);
  EXPECT_TRUE(doc->SelectSingleElement("Root/Child[@key=\"K\"]"));
  EXPECT_FALSE(doc->SelectSingleElement("Root/Child[@key=\"K\"]", exact));
  EXPECT_FALSE(doc->SelectSingleElement("Root/Child[@Key=\"k\"]"));  // values are exact
  EXPECT_EQ(doc->GetDocumentElement()->ElementByName("CHILD")->GetAsString(), "one");

  // One child by name, exactly: the local part is what follows the last ':', whole.
  const auto names =
      DvCreateDOM(
          "<r><t:Subject>s</t:Subject><t:Sub>short</t:Sub><x:y:Z>z</x:y:Z><Plain>p</Plain></r>")
          ->GetDocumentElement();
  for (const auto& [path, text] :
       std::vector<std::pair<const char*, const char*>>{{"Subject", "s"},
                                                        {"Sub", "short"},
                                                        {"Subjec", ""},
                                                        {"ubject", ""},
                                                        {"Z", "z"},
                                                        {"y:Z", "z"},
                                                        {"Plain", "p"},
                                                        {"t:Plain", "p"}}) {
    const auto found = names->SelectSingleElement(path, exact);
    EXPECT_EQ(found ? found->GetAsString() : "", text) << path;
  }
}

TEST(XmlPaths, StepsWildcardsParentsAndPredicateLogic) {
  const auto doc = DvCreateDOM(
      "<r><g id=\"1\"><i k=\"a\" n=\"1\">A</i><i k=\"b\">B</i></g>"
      "<g id=\"2\"><i k=\"a\">C</i><h><i k=\"a\">D</i></h></g></r>");
  const auto r = doc->GetDocumentElement();
  EXPECT_EQ(Texts(r->CreateElementList("*/i")), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(Texts(r->CreateElementList("*/*")), (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(Texts(r->CreateElementList("//i")), (std::vector<std::string>{"A", "B", "C", "D"}));
  EXPECT_EQ(Texts(r->CreateElementList("g[@id=\"2\"]//i")), (std::vector<std::string>{"C", "D"}));
  EXPECT_EQ(Texts(r->CreateElementList("g/i[0]")), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(Texts(r->CreateElementList("g/i[@k=\"a\"][0]")), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(Texts(r->CreateElementList("g/i[@k = 'a' or @k = 'b']")),
            (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(Texts(r->CreateElementList("g/i[@k=\"a\" and not(@n)]")),
            (std::vector<std::string>{"C"}));
  EXPECT_EQ(Texts(r->CreateElementList("g/i[@k!=\"a\"]")), (std::vector<std::string>{"B"}));
  EXPECT_EQ(Texts(r->CreateElementList("g/i[.=\"B\"]")), (std::vector<std::string>{"B"}));
  EXPECT_EQ(Texts(r->CreateElementList("g[i=\"C\"]/h/i")), (std::vector<std::string>{"D"}));
  EXPECT_EQ(Attrs(r->CreateElementList("g[h]"), "id"), (std::vector<std::string>{"2"}));
  // Parents: selected once each, in document order.
  EXPECT_EQ(Attrs(r->CreateElementList("g/i/.."), "id"), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(Attrs(r->CreateElementList("//i[@k=\"a\"]/.."), "id"),
            (std::vector<std::string>{"1", "2", ""}));
  EXPECT_EQ(r->SelectSingleElement("g/i/../../g[1]")->GetAttribute("id"), "2");
  // "." is the context itself; ".." of the root element is the document (not an element).
  EXPECT_TRUE(r->SelectSingleElement(".")->IsSameNode(*r));
  EXPECT_TRUE(r->SelectSingleElement("")->IsSameNode(*r));
  EXPECT_EQ(r->SelectSingleElement(".."), nullptr);
  EXPECT_TRUE(r->SelectSingleElement("../r")->IsSameNode(*r));
  // Nested matches of '//' followed by a child step still come in document order.
  const auto nested = DvCreateDOM("<a><b><c>1</c><b><c>2</c></b><c>3</c></b></a>");
  EXPECT_EQ(Texts(nested->CreateElementList("//b/c")), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(Texts(nested->CreateElementList("//b//c")), (std::vector<std::string>{"1", "2", "3"}));
}

TEST(XmlPaths, NothingFoundGivesNoneAndBrokenPathsRaise) {
  const auto doc = DvCreateDOM(samples::kResolveNames);
  const auto root = doc->GetDocumentElement();
  EXPECT_EQ(doc->SelectSingleElement("/Envelope/Body/Nothing/Here"), nullptr);
  EXPECT_EQ(doc->CreateElementList("//Nothing")->Count(), 0);
  EXPECT_FALSE(root->HasChildElement("Body/Nothing[@x=\"1\"]"));
  EXPECT_EQ(doc->SelectSingleElement("/"), nullptr);

  for (const char* bad :
       {"a[", "a[@]", "a[@x=]", "a[@x=\"1]", "a]", "a//", "//..", "a/[0]", "a[(@x=\"1\"]",
        "a[@x=\"1\" and]", "a b", "a/*b", "a[x=\"1\"", "@x", "a[]"}) {
    EXPECT_THROW(doc->SelectSingleElement(bad), EDvXMLException) << bad;
    EXPECT_THROW(root->CreateElementList(bad), EDvXMLException) << bad;
  }
  try {
    root->SelectSingleElement("Body/Item[@Id=\"1\"");
    FAIL();
  } catch (const EDvXMLException& e) {
    EXPECT_NE(std::string(e.what()).find("position"), std::string::npos) << e.what();
  }
}

TEST(XmlPaths, CompiledPathsAreSharedAcrossThreads) {
  const auto doc = DvCreateDOM(samples::kContactItem);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&doc, &wrong, t] {
      // Each thread works on its own copy of the tree: documents are not shared across threads.
      const auto mine = DvCreateDOM(doc->GetXML());
      for (int i = 0; i < 200; ++i) {
        const int n = 1 + (i + t) % 3;  // the sample has EmailAddress1 and 2, not 3
        const bool found =
            mine->GetDocumentElement()->SelectSingleElement(
                "EmailAddresses/Entry[@Key=\"EmailAddress" + std::to_string(n) + "\"]") != nullptr;
        if (found != (n != 3)) ++wrong;
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(wrong.load(), 0);
  const std::size_t size = xmlpath::CacheSize();
  EXPECT_GT(size, 0u);
  doc->SelectSingleElement("EmailAddresses/Entry[@Key=\"EmailAddress1\"]");
  EXPECT_EQ(xmlpath::CacheSize(), size);  // parsed once, then reused
}
