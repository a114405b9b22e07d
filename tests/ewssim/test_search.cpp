// FindItem (restrictions, sorting, paging, calendar views) and the name, id and time-zone services.
#include "sim_fixture.h"

using namespace simtest;

namespace {

// The named integer property every message of the search folder carries.
const std::string kRank =
    "<t:ExtendedFieldURI DistinguishedPropertySetId=\"PublicStrings\" "
    "PropertyName=\"Rank\" PropertyType=\"Integer\"/>";

class SearchTest : public SimTest {
 protected:
  // A folder of 12 messages: subject "Item NN", importance alternating, every third unread,
  // received one hour apart, with a named integer property equal to NN.
  static void SetUpTestSuite() {
    SimTest::SetUpTestSuite();
    folder() = CreateFolder(Dist("inbox"), "Search");
    std::string items;
    for (int i = 1; i <= 12; ++i) {
      char n[8];
      std::snprintf(n, sizeof n, "%02d", i);
      items += std::string("<t:Message><t:Subject>Item ") + n + (i == 5 ? " Café report" : "") +
               "</t:Subject><t:Body BodyType=\"Text\">body " + n +
               "</t:Body><t:DateTimeReceived>2026-02-01T" + n +
               ":00:00Z</t:DateTimeReceived><t:Importance>" + (i % 2 ? "High" : "Low") +
               "</t:Importance><t:ExtendedProperty><t:ExtendedFieldURI "
               "DistinguishedPropertySetId=\"PublicStrings\" PropertyName=\"Rank\" "
               "PropertyType=\"Integer\"/><t:Value>" +
               std::to_string(i) + "</t:Value></t:ExtendedProperty><t:IsRead>" +
               (i % 3 == 0 ? "false" : "true") + "</t:IsRead></t:Message>";
    }
    auto r = Call("<m:CreateItem MessageDisposition=\"SaveOnly\"><m:SavedItemFolderId>" + folder() +
                  "</m:SavedItemFolderId><m:Items>" + items + "</m:Items></m:CreateItem>");
    ASSERT_EQ(r.Messages().size(), 12u) << r.http.body;
  }
  static std::string& folder() {
    static std::string f;
    return f;
  }
  static Reply Find(const std::string& restriction, const std::string& view = "",
                    const std::string& sort = "", const std::string& extra = "") {
    return Call(
        "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>Default</t:BaseShape>" +
        extra + "</m:ItemShape>" + view +
        (restriction.empty() ? "" : "<m:Restriction>" + restriction + "</m:Restriction>") +
        (sort.empty() ? "" : "<m:SortOrder>" + sort + "</m:SortOrder>") + "<m:ParentFolderIds>" +
        folder() + "</m:ParentFolderIds></m:FindItem>");
  }
  static std::string Page(int max, int offset, const char* base = "Beginning") {
    return "<m:IndexedPageItemView MaxEntriesReturned=\"" + std::to_string(max) + "\" Offset=\"" +
           std::to_string(offset) + "\" BasePoint=\"" + base + "\"/>";
  }
  static std::vector<std::string> Subjects(const Reply& r) {
    std::vector<std::string> out;
    for (auto s : All(r.root(), "Subject"))
      out.push_back(s.text().as_string());
    return out;
  }
  static std::string Cmp(const char* op, const std::string& field, const std::string& value) {
    return std::string("<t:") + op + "><t:FieldURI FieldURI=\"" + field +
           "\"/><t:FieldURIOrConstant><t:Constant Value=\"" + value +
           "\"/></t:FieldURIOrConstant></t:" + op + ">";
  }
};

TEST_F(SearchTest, PagingAttributesAsExchangeSetsThem) {
  auto first = Find("", Page(5, 0),
                    "<t:FieldOrder Order=\"Ascending\"><t:FieldURI FieldURI=\"item:Subject\"/>"
                    "</t:FieldOrder>");
  auto root = First(first.root(), "RootFolder");
  EXPECT_EQ(root.attribute("IndexedPagingOffset").as_int(), 5);
  EXPECT_EQ(root.attribute("TotalItemsInView").as_int(), 12);
  EXPECT_STREQ(root.attribute("IncludesLastItemInRange").value(), "false");
  EXPECT_EQ(Subjects(first).front(), "Item 01");

  auto last = Find("", Page(5, 10));
  root = First(last.root(), "RootFolder");
  EXPECT_EQ(root.attribute("IndexedPagingOffset").as_int(), 12);
  EXPECT_STREQ(root.attribute("IncludesLastItemInRange").value(), "true");
  EXPECT_EQ(All(root, "Message").size(), 2u);

  // From the end: the last three of the default order (newest first) are the oldest three.
  auto end = Find("", Page(3, 0, "End"));
  EXPECT_EQ(Subjects(end), (std::vector<std::string>{"Item 03", "Item 02", "Item 01"}));

  auto beyond = Find("", Page(3, 40));
  EXPECT_EQ(All(beyond.root(), "Message").size(), 0u);
  EXPECT_STREQ(First(beyond.root(), "RootFolder").attribute("IncludesLastItemInRange").value(),
               "true");

  auto frac = Find("",
                   "<m:FractionalPageItemView MaxEntriesReturned=\"4\" Numerator=\"1\" "
                   "Denominator=\"2\"/>");
  root = First(frac.root(), "RootFolder");
  EXPECT_EQ(root.attribute("NumeratorOffset").as_int(), 10);
  EXPECT_EQ(root.attribute("AbsoluteDenominator").as_int(), 12);
}

TEST_F(SearchTest, RestrictionsOnPlainIndexedAndExtendedFields) {
  auto count = [&](const std::string& r) { return All(Find(r).root(), "Message").size(); };
  EXPECT_EQ(count(Cmp("IsEqualTo", "message:IsRead", "false")), 4u);
  EXPECT_EQ(count(Cmp("IsNotEqualTo", "item:Importance", "High")), 6u);
  EXPECT_EQ(count(Cmp("IsGreaterThan", "item:DateTimeReceived", "2026-02-01T10:00:00Z")), 2u);
  EXPECT_EQ(count(Cmp("IsGreaterThanOrEqualTo", "item:DateTimeReceived", "2026-02-01T10:00:00Z")),
            3u);
  EXPECT_EQ(count(Cmp("IsLessThan", "item:Subject", "Item 03")), 2u);
  EXPECT_EQ(count(Cmp("IsLessThanOrEqualTo", "item:Subject", "item 03")), 3u);
  EXPECT_EQ(count("<t:IsGreaterThan>" + kRank +
                  "<t:FieldURIOrConstant><t:Constant Value=\"9\"/>"
                  "</t:FieldURIOrConstant></t:IsGreaterThan>"),
            3u);  // numeric, not text, comparison: 10, 11, 12
  EXPECT_EQ(count("<t:And>" + Cmp("IsEqualTo", "item:Importance", "High") + "<t:Not>" +
                  Cmp("IsEqualTo", "message:IsRead", "true") + "</t:Not></t:And>"),
            2u);  // 3 and 9
  EXPECT_EQ(count("<t:Or>" + Cmp("IsEqualTo", "item:Subject", "Item 01") +
                  Cmp("IsEqualTo", "item:Subject", "Item 02") + "</t:Or>"),
            2u);
  EXPECT_EQ(count("<t:Exists>" + kRank + "</t:Exists>"), 12u);
  EXPECT_EQ(count("<t:Exists><t:FieldURI FieldURI=\"message:ToRecipients\"/></t:Exists>"), 0u);
  // Field against field: received equals itself, created differs from received.
  EXPECT_EQ(count("<t:IsEqualTo><t:FieldURI FieldURI=\"item:DateTimeReceived\"/>"
                  "<t:FieldURIOrConstant><t:FieldURI FieldURI=\"item:DateTimeReceived\"/>"
                  "</t:FieldURIOrConstant></t:IsEqualTo>"),
            12u);
  // Excludes with a bitmask: message flags without the read bit.
  EXPECT_EQ(
      count("<t:Excludes><t:ExtendedFieldURI PropertyTag=\"0x0E07\" PropertyType=\"Integer\"/>"
            "<t:Bitmask Value=\"0x1\"/></t:Excludes>"),
      4u);
}

TEST_F(SearchTest, ContainsModesAndComparisons) {
  auto count = [&](const char* mode, const char* cmp, const std::string& value) {
    return All(Find(std::string("<t:Contains ContainmentMode=\"") + mode +
                    "\" ContainmentComparison=\"" + cmp +
                    "\"><t:FieldURI FieldURI=\"item:Subject\"/><t:Constant Value=\"" + value +
                    "\"/></t:Contains>")
                   .root(),
               "Message")
        .size();
  };
  EXPECT_EQ(count("Substring", "IgnoreCase", "item 1"), 3u);
  EXPECT_EQ(count("Substring", "Exact", "item 1"), 0u);
  EXPECT_EQ(count("Prefixed", "Exact", "Item 0"), 9u);
  EXPECT_EQ(count("FullString", "IgnoreCase", "ITEM 07"), 1u);
  EXPECT_EQ(count("FullString", "Exact", "Item 0"), 0u);
  EXPECT_EQ(count("PrefixOnWords", "IgnoreCase", "rep"), 1u);
  EXPECT_EQ(count("ExactPhrase", "IgnoreCase", "rep"), 0u);
  EXPECT_EQ(count("ExactPhrase", "IgnoreCase", "café report"), 1u);
  EXPECT_EQ(count("Substring", "IgnoreCase", "cafe"), 0u);
  EXPECT_EQ(count("Substring", "IgnoreCaseAndNonSpacingCharacters", "CAFE"), 1u);
  EXPECT_EQ(count("Substring", "Loose", "cafe"), 1u);
}

TEST_F(SearchTest, SortOrdersAndShapes) {
  auto byImportanceThenSubject = Find(
      "", Page(3, 0),
      "<t:FieldOrder Order=\"Descending\"><t:FieldURI FieldURI=\"item:Importance\"/></t:FieldOrder>"
      "<t:FieldOrder Order=\"Descending\"><t:FieldURI FieldURI=\"item:Subject\"/></t:FieldOrder>");
  // Importance sorts by its rank (Low < Normal < High), not by its text.
  EXPECT_EQ(Subjects(byImportanceThenSubject),
            (std::vector<std::string>{"Item 11", "Item 09", "Item 07"}));
  auto byRank = Find(Cmp("IsLessThan", "item:Subject", "Item 04"), "",
                     "<t:FieldOrder Order=\"Ascending\">" + kRank + "</t:FieldOrder>",
                     "<t:AdditionalProperties>" + kRank +
                         "<t:FieldURI FieldURI=\"item:Body\"/>"
                         "</t:AdditionalProperties>");
  EXPECT_EQ(Subjects(byRank), (std::vector<std::string>{"Item 01", "Item 02", "Item 03"}));
  EXPECT_EQ(All(byRank.root(), "ExtendedProperty").size(), 3u);
  EXPECT_EQ(All(First(byRank.root(), "Items"), "Body").size(),
            0u);  // FindItem does not return bodies
}

TEST_F(SearchTest, PageSizeIsCappedAtOneThousand) {
  std::string bulk = CreateFolder(Dist("inbox"), "Bulk");
  std::string items;
  for (int i = 0; i < 1005; ++i)
    items += "<t:Message><t:Subject>b</t:Subject></t:Message>";
  Call("<m:CreateItem MessageDisposition=\"SaveOnly\"><m:SavedItemFolderId>" + bulk +
       "</m:SavedItemFolderId><m:Items>" + items + "</m:Items></m:CreateItem>");
  auto r = Call(
      "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
      "</m:ItemShape>" +
      Page(5000, 0) + "<m:ParentFolderIds>" + bulk + "</m:ParentFolderIds></m:FindItem>");
  auto root = First(r.root(), "RootFolder");
  EXPECT_EQ(All(root, "ItemId").size(), 1000u);
  EXPECT_EQ(root.attribute("TotalItemsInView").as_int(), 1005);
  EXPECT_STREQ(root.attribute("IncludesLastItemInRange").value(), "false");
}

TEST_F(SearchTest, CalendarViewOverSingleItems) {
  std::string items;
  const char* spans[][2] = {{"2026-04-01T09:00:00Z", "2026-04-01T10:00:00Z"},
                            {"2026-04-02T23:00:00Z", "2026-04-03T01:00:00Z"},
                            {"2026-04-05T09:00:00Z", "2026-04-05T10:00:00Z"},
                            {"2026-03-31T08:00:00Z", "2026-03-31T09:00:00Z"}};
  int n = 0;
  for (auto& s : spans)
    items += "<t:CalendarItem><t:Subject>cv" + std::to_string(++n) + "</t:Subject><t:Start>" +
             s[0] + "</t:Start><t:End>" + s[1] + "</t:End></t:CalendarItem>";
  Call("<m:CreateItem SendMeetingInvitations=\"SendToNone\"><m:Items>" + items +
           "</m:Items></m:CreateItem>",
       "bob@example.com");
  auto view = [](const std::string& max, const std::string& start, const std::string& end) {
    return Call(
        "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>Default</t:BaseShape>"
        "</m:ItemShape><m:CalendarView MaxEntriesReturned=\"" +
            max + "\" StartDate=\"" + start + "T00:00:00Z\" EndDate=\"" + end +
            "T00:00:00Z\"/><m:ParentFolderIds>" + Dist("calendar") +
            "</m:ParentFolderIds></m:FindItem>",
        "bob@example.com");
  };
  auto april = view("2", "2026-04-01", "2026-04-05");
  auto root = First(april.root(), "RootFolder");
  EXPECT_EQ(root.attribute("TotalItemsInView").as_int(), 2);
  EXPECT_STREQ(root.attribute("IncludesLastItemInRange").value(), "true");
  EXPECT_FALSE(root.attribute("IndexedPagingOffset"));
  EXPECT_EQ(Subjects(april), (std::vector<std::string>{"cv1", "cv2"}));
  auto capped = view("1", "2026-03-01", "2026-05-01");
  EXPECT_STREQ(First(capped.root(), "RootFolder").attribute("IncludesLastItemInRange").value(),
               "false");
}

TEST_F(SearchTest, IndexedFieldsAndFolderRestrictions) {
  Call("<m:CreateItem><m:SavedItemFolderId>" + Dist("contacts") +
           "</m:SavedItemFolderId><m:Items><t:Contact><t:DisplayName>Ida Index</t:DisplayName>"
           "<t:EmailAddresses><t:Entry "
           "Key=\"EmailAddress2\">ida@idx.test</t:Entry></t:EmailAddresses>"
           "<t:PhoneNumbers><t:Entry Key=\"MobilePhone\">+1 555 0100</t:Entry></t:PhoneNumbers>"
           "</t:Contact><t:Contact><t:DisplayName>Other</t:DisplayName></t:Contact></m:Items>"
           "</m:CreateItem>",
       "bob@example.com");
  auto byMail = Call(
      "<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>IdOnly</t:BaseShape>"
      "<t:AdditionalProperties><t:IndexedFieldURI FieldURI=\"contacts:PhoneNumber\" "
      "FieldIndex=\"MobilePhone\"/></t:AdditionalProperties></m:ItemShape><m:Restriction>"
      "<t:Contains ContainmentMode=\"Substring\" ContainmentComparison=\"IgnoreCase\">"
      "<t:IndexedFieldURI FieldURI=\"contacts:EmailAddress\" FieldIndex=\"EmailAddress2\"/>"
      "<t:Constant Value=\"@IDX.\"/></t:Contains></m:Restriction><m:ParentFolderIds>" +
          Dist("contacts") + "</m:ParentFolderIds></m:FindItem>",
      "bob@example.com");
  auto contacts = All(byMail.root(), "Contact");
  ASSERT_EQ(contacts.size(), 1u);
  EXPECT_EQ(TextOf(contacts[0], "Entry"), "+1 555 0100");

  auto folders = Call(
      "<m:FindFolder Traversal=\"Deep\"><m:FolderShape><t:BaseShape>Default"
      "</t:BaseShape></m:FolderShape><m:Restriction><t:IsEqualTo><t:FieldURI "
      "FieldURI=\"folder:DisplayName\"/><t:FieldURIOrConstant><t:Constant "
      "Value=\"search\"/></t:FieldURIOrConstant></t:IsEqualTo></m:Restriction>"
      "<m:ParentFolderIds>" +
      Dist("msgfolderroot") + "</m:ParentFolderIds></m:FindFolder>");
  EXPECT_EQ(All(folders.root(), "Folder").size(), 1u);
  EXPECT_EQ(TextOf(folders.root(), "DisplayName"), "Search");
}

TEST_F(SearchTest, ResolveNames) {
  auto resolve = [](const std::string& entry, const char* full, const std::string& scope = "") {
    return Call(std::string("<m:ResolveNames ReturnFullContactData=\"") + full + "\"" + scope +
                "><m:UnresolvedEntry>" + entry + "</m:UnresolvedEntry></m:ResolveNames>");
  };
  auto unique = resolve("bob", "true");
  EXPECT_EQ(unique.Class(), "Success");
  EXPECT_EQ(TextOf(unique.root(), "EmailAddress"), "bob@example.com");
  EXPECT_EQ(TextOf(unique.root(), "DisplayName"), "Bob Baker");
  EXPECT_EQ(TextOf(unique.root(), "ContactSource"), "ActiveDirectory");

  // "a" starts Alice Archer and Service Account: a warning with both candidates.
  auto many = resolve("a", "false");
  EXPECT_EQ(many.Class(), "Warning");
  EXPECT_EQ(many.Code(), "ErrorNameResolutionMultipleResults");
  EXPECT_EQ(All(many.root(), "Resolution").size(), 2u);
  EXPECT_EQ(First(many.root(), "ResolutionSet").attribute("TotalItemsInView").as_int(), 2);

  auto none = resolve("zzz", "false");
  EXPECT_EQ(none.Code(), "ErrorNameResolutionNoResults");

  // A personal contact, found in the Contacts scope only.
  Call(
      "<m:CreateItem><m:Items><t:Contact><t:DisplayName>Quentin Quill</t:DisplayName>"
      "<t:EmailAddresses><t:Entry Key=\"EmailAddress1\">qq@x.test</t:Entry></t:EmailAddresses>"
      "</t:Contact></m:Items></m:CreateItem>");
  auto contact = resolve("quill", "true", " SearchScope=\"Contacts\"");
  EXPECT_EQ(contact.Class(), "Success");
  EXPECT_EQ(TextOf(contact.root(), "MailboxType"), "Contact");
  EXPECT_TRUE(First(First(contact.root(), "Mailbox"), "ItemId"));
  auto directoryOnly = resolve("quill", "false", " SearchScope=\"ActiveDirectory\"");
  EXPECT_EQ(directoryOnly.Code(), "ErrorNameResolutionNoResults");
}

TEST_F(SearchTest, ConvertIdRoundTripsEveryFormat) {
  auto convert = [](const std::string& to, const std::string& from, const std::string& id,
                    const std::string& mailbox = "alice@example.com") {
    return Call("<m:ConvertId DestinationFormat=\"" + to +
                "\"><m:SourceIds><t:AlternateId Format=\"" + from + "\" Id=\"" + id +
                "\" Mailbox=\"" + mailbox + "\"/></m:SourceIds></m:ConvertId>");
  };
  auto inbox = GetFolder(Dist("inbox"), "IdOnly");
  std::string ewsId = First(inbox.root(), "FolderId").attribute("Id").value();
  for (const char* format : {"EwsLegacyId", "EntryId", "HexEntryId", "StoreId", "OwaId", "EwsId"}) {
    auto to = convert(format, "EwsId", ewsId);
    ASSERT_EQ(to.Class(), "Success") << format << to.http.body;
    auto alt = First(to.root(), "AlternateId");
    EXPECT_STREQ(alt.attribute("Mailbox").value(), "alice@example.com");
    EXPECT_STREQ(alt.attribute("Format").value(), format);
    auto back = convert("EwsId", format, alt.attribute("Id").value());
    EXPECT_EQ(First(back.root(), "AlternateId").attribute("Id").value(), ewsId) << format;
  }
  auto bad = convert("EntryId", "EwsId", "DUMMY", "DUMMY");
  EXPECT_EQ(bad.Code(), "ErrorInvalidIdMalformed");
  EXPECT_TRUE(First(bad.root(), "ServerVersionInfo"));
}

TEST_F(SearchTest, ServerTimeZones) {
  auto all = Call("<m:GetServerTimeZones ReturnFullTimeZoneData=\"false\"/>");
  bool found = false;
  for (auto d : All(all.root(), "TimeZoneDefinition"))
    if (std::string(d.attribute("Id").value()) == "W. Europe Standard Time")
      found = std::string(d.attribute("Name").value()) ==
              "(UTC+01:00) Amsterdam, Berlin, Bern, Rome, Stockholm, Vienna";
  EXPECT_TRUE(found);
  auto full = Call(
      "<m:GetServerTimeZones><m:Ids><t:Id>W. Europe Standard Time</t:Id>"
      "<t:Id>Tokyo Standard Time</t:Id></m:Ids></m:GetServerTimeZones>");
  auto defs = All(full.root(), "TimeZoneDefinition");
  ASSERT_EQ(defs.size(), 2u);
  auto periods = All(defs[0], "Period");
  ASSERT_EQ(periods.size(), 2u);
  EXPECT_STREQ(periods[0].attribute("Bias").value(), "-PT1H");
  EXPECT_STREQ(periods[1].attribute("Bias").value(), "-PT2H");
  auto transitions = All(defs[0], "RecurringDayTransition");
  ASSERT_EQ(transitions.size(), 2u);
  EXPECT_EQ(TextOf(transitions[0], "Month"), "3");
  EXPECT_EQ(TextOf(transitions[0], "Occurrence"), "-1");
  EXPECT_EQ(TextOf(transitions[0], "TimeOffset"), "PT2H");
  EXPECT_EQ(TextOf(transitions[1], "TimeOffset"), "PT3H");
  EXPECT_EQ(All(defs[1], "Period").size(), 1u);
  EXPECT_EQ(Call("<m:GetServerTimeZones><m:Ids><t:Id>Mars Standard Time</t:Id></m:Ids>"
                 "</m:GetServerTimeZones>")
                .Class(),
            "Error");
}

}  // namespace
