// Requests Exchange refuses, answered with its response codes, and its answers to paging,
// associated items, conflicts and send-as.
#include "sim_fixture.h"
#include "test_helpers.h"

using namespace simtest;

namespace {

class AnswersTest : public SimTest {
 protected:
  static ewssim::Config SuiteConfig() {
    auto c = ews_test::DefaultSimConfig();
    c.users[1].sendAs = {"alice@example.com"};  // bob may send as alice
    return c;
  }
  static void SetUpTestSuite() { Sim() = std::make_unique<ews_test::SimServer>(SuiteConfig()); }

  static std::string Find(const std::string& folder, const std::string& view,
                          const std::string& traversal = "Shallow") {
    return "<m:FindItem Traversal=\"" + traversal +
           "\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape><t:AdditionalProperties>"
           "<t:FieldURI FieldURI=\"item:Subject\"/></t:AdditionalProperties></m:ItemShape>" +
           view + "<m:ParentFolderIds>" + Dist(folder) + "</m:ParentFolderIds></m:FindItem>";
  }
  static std::string Update(const std::string& id, const std::string& updates,
                            const std::string& resolution = "AutoResolve") {
    return "<m:UpdateItem MessageDisposition=\"SaveOnly\" ConflictResolution=\"" + resolution +
           "\"><m:ItemChanges><t:ItemChange>" + id + "<t:Updates>" + updates +
           "</t:Updates></t:ItemChange></m:ItemChanges></m:UpdateItem>";
  }
  static std::string Send(const std::string& id) {
    return "<m:SendItem SaveItemToFolder=\"false\"><m:ItemIds>" + id + "</m:ItemIds></m:SendItem>";
  }
  static std::string SetSubject(const std::string& subject) {
    return "<t:SetItemField><t:FieldURI FieldURI=\"item:Subject\"/><t:Message><t:Subject>" +
           subject + "</t:Subject></t:Message></t:SetItemField>";
  }
};

const std::string kTo =
    "<t:ToRecipients><t:Mailbox><t:EmailAddress>bob@example.com</t:EmailAddress></t:Mailbox>"
    "</t:ToRecipients>";

TEST_F(AnswersTest, RefusedRequestsGetExchangesCodes) {
  std::string msg =
      Create("<t:Message><t:Subject>m</t:Subject><t:Body BodyType=\"Text\">b</t:Body>" + kTo +
                 "</t:Message>",
             "drafts");
  std::string cal = Create(
      "<t:CalendarItem><t:Subject>c</t:Subject><t:Start>2026-03-01T10:00:00Z</t:Start>"
      "<t:End>2026-03-01T11:00:00Z</t:End></t:CalendarItem>",
      "calendar", "SendMeetingInvitations=\"SendToNone\"");
  std::string task = Create("<t:Task><t:Subject>t</t:Subject></t:Task>", "tasks");
  std::string gone = CreateFolder(Dist("inbox"), "gone");
  ASSERT_EQ(Call("<m:DeleteFolder DeleteType=\"HardDelete\"><m:FolderIds>" + gone +
                 "</m:FolderIds></m:DeleteFolder>")
                .Class(),
            "Success");
  std::string staleMsg = msg;
  std::string noKey = msg.substr(0, msg.find(" ChangeKey=")) + "/>";
  const std::string htmlBody =
      "<t:AppendToItemField><t:FieldURI FieldURI=\"item:Body\"/><t:Message><t:Body "
      "BodyType=\"HTML\">&lt;b&gt;x&lt;/b&gt;</t:Body></t:Message></t:AppendToItemField>";
  struct Case {
    const char* what;
    std::string body;
    const char* code;
  } cases[] = {
      {"negative offset",
       Find("inbox", "<m:IndexedPageItemView Offset=\"-1\" BasePoint=\"Beginning\"/>"),
       "ErrorInvalidIndexedPagingParameters"},
      {"negative page size",
       Find("inbox",
            "<m:IndexedPageItemView MaxEntriesReturned=\"-5\" Offset=\"0\" "
            "BasePoint=\"Beginning\"/>"),
       "ErrorInvalidIndexedPagingParameters"},
      {"negative folder offset",
       "<m:FindFolder Traversal=\"Shallow\"><m:FolderShape><t:BaseShape>IdOnly</t:BaseShape>"
       "</m:FolderShape><m:IndexedPageFolderView Offset=\"-2\" BasePoint=\"Beginning\"/>"
       "<m:ParentFolderIds>" +
           Dist("msgfolderroot") + "</m:ParentFolderIds></m:FindFolder>",
       "ErrorInvalidIndexedPagingParameters"},
      {"calendar view of the inbox",
       Find(
           "inbox",
           "<m:CalendarView StartDate=\"2026-01-01T00:00:00Z\" EndDate=\"2026-02-01T00:00:00Z\"/>"),
       "ErrorCalendarFolderIsInvalidForCalendarView"},
      {"calendar view over two years",
       Find(
           "calendar",
           "<m:CalendarView StartDate=\"2026-01-01T00:00:00Z\" EndDate=\"2028-01-03T00:00:00Z\"/>"),
       "ErrorCalendarViewRangeTooBig"},
      {"calendar item without SendMeetingInvitations",
       "<m:CreateItem><m:Items><t:CalendarItem><t:Subject>x</t:Subject></t:CalendarItem>"
       "</m:Items></m:CreateItem>",
       "ErrorSendMeetingInvitationsRequired"},
      {"calendar item deleted without SendMeetingCancellations",
       "<m:DeleteItem DeleteType=\"HardDelete\"><m:ItemIds>" + cal + "</m:ItemIds></m:DeleteItem>",
       "ErrorSendMeetingCancellationsRequired"},
      {"task deleted without AffectedTaskOccurrences",
       "<m:DeleteItem DeleteType=\"HardDelete\"><m:ItemIds>" + task + "</m:ItemIds></m:DeleteItem>",
       "ErrorAffectedTaskOccurrencesRequired"},
      {"append to the subject",
       Update(msg,
              "<t:AppendToItemField><t:FieldURI FieldURI=\"item:Subject\"/><t:Message>"
              "<t:Subject>x</t:Subject></t:Message></t:AppendToItemField>"),
       "ErrorInvalidPropertyAppend"},
      {"append an HTML body to a text body", Update(msg, htmlBody), "ErrorInvalidPropertyAppend"},
      {"delete the item class",
       Update(msg,
              "<t:DeleteItemField><t:FieldURI FieldURI=\"item:ItemClass\"/></t:DeleteItemField>"),
       "ErrorInvalidPropertyDelete"},
      {"delete the item id",
       Update(msg, "<t:DeleteItemField><t:FieldURI FieldURI=\"item:ItemId\"/></t:DeleteItemField>"),
       "ErrorInvalidPropertyDelete"},
      {"copy to a deleted folder",
       "<m:CopyItem><m:ToFolderId>" + gone + "</m:ToFolderId><m:ItemIds>" + msg +
           "</m:ItemIds></m:CopyItem>",
       "ErrorToFolderNotFound"},
      {"move to a deleted folder",
       "<m:MoveItem><m:ToFolderId>" + gone + "</m:ToFolderId><m:ItemIds>" + msg +
           "</m:ItemIds></m:MoveItem>",
       "ErrorToFolderNotFound"},
      {"send without a change key", Send(noKey), "ErrorStaleObject"},
      {"send from another mailbox",
       "<m:CreateItem MessageDisposition=\"SendOnly\"><m:Items><t:Message><t:Subject>s"
       "</t:Subject>" +
           kTo +
           "<t:From><t:Mailbox><t:EmailAddress>bob@example.com</t:EmailAddress></t:Mailbox>"
           "</t:From></t:Message></m:Items></m:CreateItem>",
       "ErrorSendAsDenied"},
  };
  for (const auto& c : cases) {
    auto r = Call(c.body);
    EXPECT_EQ(r.Code(), c.code) << c.what << "\n" << r.http.body.substr(0, 1500);
  }
  // The message is still there, unchanged, after every refusal; a stale key cannot send it.
  auto upd = Call(Update(msg, SetSubject("m2")));
  ASSERT_EQ(upd.Class(), "Success");
  EXPECT_EQ(Call(Send(staleMsg)).Code(), "ErrorStaleObject");
  std::string current = ItemIdXml(First(upd.root(), "ItemId"));
  EXPECT_EQ(Call(Send(current)).Class(), "Success");
}

// Impersonation naming nobody or used without the header, and other SOAP versions.
TEST_F(AnswersTest, RefusedHeadersAndEnvelopes) {
  for (const char* sid :
       {"<t:PrimarySmtpAddress></t:PrimarySmtpAddress>", "<t:SID> </t:SID>", ""}) {
    auto r = Call(Find("inbox", ""), "svc@example.com",
                  std::string(kHeader) + "<t:ExchangeImpersonation><t:ConnectingSID>" + sid +
                      "</t:ConnectingSID></t:ExchangeImpersonation>");
    EXPECT_EQ(r.http.status, 500);
    EXPECT_EQ(TextOf(r.root(), "ResponseCode"), "ErrorInvalidExchangeImpersonationHeaderData")
        << sid;
  }
  // The impersonation right does not open other mailboxes without the header.
  auto direct = GetFolder(Dist("inbox", "alice@example.com"), "IdOnly", "svc@example.com");
  EXPECT_EQ(direct.Code(), "ErrorAccessDenied");
  std::string soap12 = ews_test::Envelope(Find("inbox", ""), kHeader);
  soap12.replace(soap12.find("http://schemas.xmlsoap.org/soap/envelope/"),
                 std::string("http://schemas.xmlsoap.org/soap/envelope/").size(),
                 "http://www.w3.org/2003/05/soap-envelope");
  auto r = PostRaw(soap12);
  EXPECT_EQ(r.http.status, 500);
  EXPECT_EQ(r.FaultCode(), "s:VersionMismatch") << r.http.body;
}

// Associated items are kept apart: only Traversal="Associated" finds them, and only them.
TEST_F(AnswersTest, AssociatedItemsAreFoundOnlyAsSuch) {
  Create(
      "<t:Message><t:ItemClass>IPM.Configuration.View</t:ItemClass><t:Subject>hidden"
      "</t:Subject><t:IsAssociated>true</t:IsAssociated></t:Message>",
      "junkemail");
  Create("<t:Message><t:Subject>shown</t:Subject></t:Message>", "junkemail");
  for (auto [traversal, subject] : {std::pair{"Associated", "hidden"}, {"Shallow", "shown"}}) {
    auto r = Call(Find("junkemail", "", traversal));
    auto subjects = All(r.root(), "Subject");
    ASSERT_EQ(subjects.size(), 1u) << traversal << r.http.body;
    EXPECT_STREQ(subjects[0].text().as_string(), subject);
  }
}

// An update made with an older change key: properties changed since conflict.
TEST_F(AnswersTest, ConflictResolutionWithAnOlderChangeKey) {
  struct Case {
    const char* resolution;
    const char* code;
    int conflicts;
    const char* subject;  // afterwards
  } cases[] = {{"AutoResolve", "NoError", 1, "theirs"},
               {"NeverOverwrite", "ErrorIrresolvableConflict", 0, "theirs"},
               {"AlwaysOverwrite", "NoError", 0, "mine"}};
  for (const auto& c : cases) {
    std::string v1 = Create("<t:Message><t:Subject>first</t:Subject></t:Message>", "drafts");
    auto v2 = Call(Update(v1, SetSubject("theirs")));
    ASSERT_EQ(v2.Class(), "Success");
    auto r = Call(Update(v1,
                         SetSubject("mine") +
                             "<t:SetItemField><t:FieldURI FieldURI=\"item:Importance\"/>"
                             "<t:Message><t:Importance>High</t:Importance></t:Message>"
                             "</t:SetItemField>",
                         c.resolution));
    EXPECT_EQ(r.Code(), c.code) << c.resolution;
    if (r.Class() == "Success") {
      EXPECT_EQ(TextOf(r.root(), "Count"), std::to_string(c.conflicts));
    }
    auto got = GetItem(ItemIdXml(First(v2.root(), "ItemId")));
    EXPECT_EQ(TextOf(got.root(), "Subject"), c.subject) << c.resolution;
    // Properties not changed since are taken.
    EXPECT_EQ(TextOf(got.root(), "Importance"), r.Class() == "Success" ? "High" : "Normal");
  }
}

// Sending as another mailbox takes the send-as right ("send_as" in the configuration).
TEST_F(AnswersTest, SendAsNeedsTheRight) {
  auto r = Call(
      "<m:CreateItem MessageDisposition=\"SendOnly\"><m:Items><t:Message><t:Subject>for alice"
      "</t:Subject><t:ToRecipients><t:Mailbox><t:EmailAddress>alice@example.com</t:EmailAddress>"
      "</t:Mailbox></t:ToRecipients><t:From><t:Mailbox><t:EmailAddress>alice@example.com"
      "</t:EmailAddress></t:Mailbox></t:From></t:Message></m:Items></m:CreateItem>",
      "bob@example.com");
  EXPECT_EQ(r.Class(), "Success") << r.http.body;
  auto config = ewssim::Config::FromJson(
      R"({"users": [{"address": "a@x.test", "send_as": "*"},
                    {"address": "b@x.test", "send_as": ["c@x.test"]}]})");
  EXPECT_EQ(config.users[0].sendAs, std::vector<std::string>{"*"});
  EXPECT_EQ(config.users[1].sendAs, std::vector<std::string>{"c@x.test"});
}

// MIME content: encoded words and bodies in other character sets come out as UTF-8; nesting past
// a sane depth is refused as content that cannot be converted, quickly.
TEST_F(AnswersTest, MimeCharsetsAndNesting) {
  auto import = [](const std::string& mime) {
    return Call("<m:CreateItem MessageDisposition=\"SaveOnly\"><m:SavedItemFolderId>" +
                Dist("drafts") + "</m:SavedItemFolderId><m:Items><t:Message><t:MimeContent>" +
                ews_test::Base64Encode(mime) +
                "</t:MimeContent></t:Message></m:Items></m:CreateItem>");
  };
  struct Case {
    std::string subjectHeader, contentType, body;
    const char* subject;
    const char* text;
  } cases[] = {
      {"=?iso-8859-1?Q?Gr=FC=DFe_aus_K=F6ln?=", "text/plain; charset=iso-8859-1",
       "Gr\xFC\xDF"
       "e",
       "Grüße aus Köln", "Grüße"},
      {"=?windows-1252?B?k2hpgA==?= =?UTF-8?Q?_=E2=9C=93?=", "text/plain; charset=\"koi8-r\"",
       "\xF0\xD2\xC9\xD7\xC5\xD4", "\xE2\x80\x9Chi\xE2\x82\xAC \xE2\x9C\x93", "Привет"},
      {"=?x-unknown?Q?keep?= plain", "text/plain", "ascii", "=?x-unknown?Q?keep?= plain", "ascii"},
  };
  for (const auto& c : cases) {
    auto r = import("Subject: " + c.subjectHeader + "\r\nContent-Type: " + c.contentType +
                    "\r\n\r\n" + c.body + "\r\n");
    ASSERT_EQ(r.Class(), "Success") << r.http.body;
    auto got = GetItem(ItemIdXml(First(r.root(), "ItemId")), "AllProperties",
                       "<t:BodyType>Text</t:BodyType>");
    EXPECT_EQ(TextOf(got.root(), "Subject"), c.subject);
    EXPECT_EQ(TextOf(First(got.root(), "Message"), "Body"), c.text) << c.subjectHeader;
  }
  // Nested multiparts: a few levels are fine, thousands are refused.
  for (auto [depth, code] : {std::pair{8, "NoError"}, {3000, "ErrorMimeContentConversionFailed"}}) {
    std::string mime = "Subject: deep\r\n", tail;
    for (int i = 0; i < depth; ++i) {
      mime += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
              std::to_string(i) + "\r\n";
      tail = "\r\n--b" + std::to_string(i) + "--\r\n" + tail;
    }
    mime += "Content-Type: text/plain\r\n\r\ninner" + tail;
    EXPECT_EQ(import(mime).Code(), code) << depth;
  }
}

}  // namespace
