// Folders, items, attachments and sending.
#include "sim_fixture.h"
#include "test_helpers.h"

using namespace simtest;

namespace {

class MailboxTest : public SimTest {
 protected:
  static std::string CreateMessage(const std::string& inner, const std::string& folder = "drafts") {
    return Create("<t:Message>" + inner + "</t:Message>", folder);
  }
  // Bob's reply or forward (`kind`) of an item he received; `before` and `after` the reference.
  static Reply Respond(const std::string& kind, const std::string& disposition,
                       const std::string& itemId, const std::string& before = "",
                       const std::string& after = "") {
    return Call("<m:CreateItem MessageDisposition=\"" + disposition + "\"><m:Items><t:" + kind +
                    ">" + before + "<t:ReferenceItemId" + itemId.substr(9) + after + "</t:" + kind +
                    "></m:Items></m:CreateItem>",
                "bob@example.com");
  }
  // The messages of a folder of `user`'s, with the given subject if one is given.
  static Reply Find(const std::string& folder, const std::string& shape,
                    const std::string& subject = "",
                    const std::string& user = "alice@example.com") {
    return Call("<m:FindItem Traversal=\"Shallow\"><m:ItemShape><t:BaseShape>" + shape +
                    "</t:BaseShape></m:ItemShape>" +
                    (subject.empty() ? ""
                                     : "<m:Restriction><t:IsEqualTo><t:FieldURI FieldURI="
                                       "\"item:Subject\"/><t:FieldURIOrConstant><t:Constant "
                                       "Value=\"" +
                                           subject +
                                           "\"/></t:FieldURIOrConstant></t:IsEqualTo>"
                                           "</m:Restriction>") +
                    "<m:ParentFolderIds>" + Dist(folder) + "</m:ParentFolderIds></m:FindItem>",
                user);
  }
};

// One request for several distinguished folders gets one answer each, in order; the archive
// and public folder roots do not exist in a simulated mailbox.
TEST_F(MailboxTest, DistinguishedFoldersAnsweredOneByOne) {
  const std::vector<std::string> names = {"calendar",     "contacts",     "inbox",
                                          "tasks",        "voicemail",    "recoverableitemsroot",
                                          "archiveroot",  "archiveinbox", "publicfoldersroot",
                                          "quickcontacts"};
  std::string ids;
  for (auto& n : names)
    ids += Dist(n);
  auto r = GetFolder(ids);
  auto msgs = r.Messages();
  ASSERT_EQ(msgs.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    bool archive = names[i].rfind("archive", 0) == 0 || names[i] == "publicfoldersroot";
    EXPECT_EQ(r.Class(i), archive ? "Error" : "Success") << names[i];
    if (archive) {
      EXPECT_EQ(r.Code(i), "ErrorFolderNotFound");
    }
  }
  EXPECT_EQ(First(msgs[0], "CalendarFolder").name(), std::string("t:CalendarFolder"));
  EXPECT_EQ(First(msgs[1], "ContactsFolder").name(), std::string("t:ContactsFolder"));
  EXPECT_EQ(First(msgs[3], "TasksFolder").name(), std::string("t:TasksFolder"));
  EXPECT_EQ(First(msgs[4], "SearchFolder").name(), std::string("t:SearchFolder"));
  EXPECT_EQ(TextOf(msgs[2], "DisplayName"), "Inbox");
}

TEST_F(MailboxTest, FolderTreeOperationsAndLiveCounts) {
  auto created = Call(
      "<m:CreateFolder><m:ParentFolderId>" + Dist("inbox") +
      "</m:ParentFolderId><m:Folders><t:Folder><t:DisplayName>Projects</t:DisplayName></t:Folder>"
      "<t:ContactsFolder><t:DisplayName>Partners</t:DisplayName></t:ContactsFolder>"
      "<t:Folder><t:DisplayName>projects</t:DisplayName></t:Folder></m:Folders></m:CreateFolder>");
  ASSERT_EQ(created.Messages().size(), 3u);
  EXPECT_EQ(created.Class(0), "Success");
  EXPECT_EQ(created.Class(1), "Success");
  EXPECT_EQ(created.Code(2), "ErrorFolderExists");  // names compare without case
  auto folderIds = All(created.root(), "FolderId");
  std::string projects =
      std::string("<t:FolderId Id=\"") + folderIds[0].attribute("Id").value() + "\"/>";

  CreateFolder(projects, "2026");
  auto shallow = Call(
      "<m:FindFolder Traversal=\"Shallow\"><m:FolderShape><t:BaseShape>Default"
      "</t:BaseShape></m:FolderShape><m:ParentFolderIds>" +
      Dist("inbox") + "</m:ParentFolderIds></m:FindFolder>");
  EXPECT_EQ(First(shallow.root(), "RootFolder").attribute("TotalItemsInView").as_int(), 2);
  auto deep = Call(
      "<m:FindFolder Traversal=\"Deep\"><m:FolderShape><t:BaseShape>IdOnly"
      "</t:BaseShape></m:FolderShape><m:IndexedPageFolderView MaxEntriesReturned=\"2\" "
      "Offset=\"0\" BasePoint=\"Beginning\"/><m:ParentFolderIds>" +
      Dist("inbox") + "</m:ParentFolderIds></m:FindFolder>");
  auto root = First(deep.root(), "RootFolder");
  EXPECT_EQ(root.attribute("TotalItemsInView").as_int(), 3);
  EXPECT_STREQ(root.attribute("IncludesLastItemInRange").value(), "false");
  EXPECT_EQ(root.attribute("IndexedPagingOffset").as_int(), 2);
  EXPECT_EQ(All(root, "FolderId").size(), 2u);

  // Counts follow the content: two unread and one read message.
  CreateMessage("<t:Subject>a</t:Subject><t:IsRead>false</t:IsRead>", "inbox");
  Call("<m:CreateItem MessageDisposition=\"SaveOnly\"><m:SavedItemFolderId>" + projects +
       "</m:SavedItemFolderId><m:Items><t:Message><t:Subject>p1</t:Subject><t:IsRead>0</t:IsRead>"
       "</t:Message><t:Message><t:Subject>p2</t:Subject><t:IsRead>1</t:IsRead></t:Message>"
       "</m:Items></m:CreateItem>");
  auto counts = GetFolder(projects);
  EXPECT_EQ(TextOf(counts.root(), "TotalCount"), "2");
  EXPECT_EQ(TextOf(counts.root(), "UnreadCount"), "1");
  EXPECT_EQ(TextOf(counts.root(), "ChildFolderCount"), "1");

  auto upd = Call("<m:UpdateFolder><m:FolderChanges><t:FolderChange>" + projects +
                  "<t:Updates><t:SetFolderField><t:FieldURI FieldURI=\"folder:DisplayName\"/>"
                  "<t:Folder><t:DisplayName>Archive 2026</t:DisplayName></t:Folder>"
                  "</t:SetFolderField></t:Updates></t:FolderChange></m:FolderChanges>"
                  "</m:UpdateFolder>");
  EXPECT_EQ(upd.Class(), "Success");
  EXPECT_NE(std::string(First(upd.root(), "FolderId").attribute("ChangeKey").value()),
            std::string(folderIds[0].attribute("ChangeKey").value()));
  EXPECT_EQ(TextOf(GetFolder(projects).root(), "DisplayName"), "Archive 2026");
  auto emptied = Call(
      "<m:EmptyFolder DeleteType=\"HardDelete\" DeleteSubFolders=\"true\">"
      "<m:FolderIds>" +
      projects + "</m:FolderIds></m:EmptyFolder>");
  EXPECT_EQ(emptied.Class(), "Success");
  auto after = GetFolder(projects);
  EXPECT_EQ(TextOf(after.root(), "TotalCount"), "0");
  EXPECT_EQ(TextOf(after.root(), "ChildFolderCount"), "0");
  auto del = Call("<m:DeleteFolder DeleteType=\"HardDelete\"><m:FolderIds>" + projects +
                  Dist("inbox") + "</m:FolderIds></m:DeleteFolder>");
  EXPECT_EQ(del.Class(0), "Success");
  EXPECT_EQ(del.Code(1), "ErrorDeleteDistinguishedFolder");
  EXPECT_EQ(GetFolder(projects).Code(), "ErrorItemNotFound");
}

TEST_F(MailboxTest, EveryItemKindIsCreatedInItsDefaultFolder) {
  struct Case {
    const char* xml;
    const char* folder;
    const char* itemClass;
  };
  std::vector<Case> cases = {
      {"<t:CalendarItem><t:Subject>c</t:Subject><t:Start>2026-03-01T09:00:00Z</t:Start>"
       "<t:End>2026-03-01T10:00:00Z</t:End></t:CalendarItem>",
       "calendar", "IPM.Appointment"},
      {"<t:Contact><t:GivenName>Zed</t:GivenName><t:EmailAddresses><t:Entry Key=\"EmailAddress1\">"
       "zed@x.test</t:Entry></t:EmailAddresses></t:Contact>",
       "contacts", "IPM.Contact"},
      {"<t:DistributionList><t:DisplayName>Team</t:DisplayName></t:DistributionList>", "contacts",
       "IPM.DistList"},
      {"<t:Task><t:Subject>t</t:Subject><t:DueDate>2026-03-02T00:00:00Z</t:DueDate></t:Task>",
       "tasks", "IPM.Task"},
      {"<t:Message><t:Subject>m</t:Subject></t:Message>", "drafts", "IPM.Note"},
      {"<t:PostItem><t:Subject>p</t:Subject></t:PostItem>", "inbox", "IPM.Post"},
      {"<t:Item><t:ItemClass>IPM.StickyNote</t:ItemClass><t:Subject>n</t:Subject></t:Item>",
       "inbox", "IPM.StickyNote"},
      {"<t:MeetingRequest><t:Subject>mr</t:Subject></t:MeetingRequest>", "inbox",
       "IPM.Schedule.Meeting.Request"},
  };
  for (auto& c : cases) {
    auto r = Call(std::string("<m:CreateItem MessageDisposition=\"SaveOnly\" "
                              "SendMeetingInvitations=\"SendToNone\"><m:Items>") +
                  c.xml + "</m:Items></m:CreateItem>");
    ASSERT_EQ(r.Class(), "Success") << c.xml << r.http.body;
    auto got = GetItem(ItemIdXml(First(r.root(), "ItemId")));
    EXPECT_EQ(TextOf(got.root(), "ItemClass"), c.itemClass);
    auto parent = First(got.root(), "ParentFolderId").attribute("Id").value();
    auto folder = GetFolder(Dist(c.folder), "IdOnly");
    EXPECT_STREQ(parent, First(folder.root(), "FolderId").attribute("Id").value()) << c.xml;
  }
}

TEST_F(MailboxTest, ShapesAndPropertiesOfAMessage) {
  auto id = CreateMessage(
      "<t:Subject>Shape test</t:Subject><t:Body BodyType=\"HTML\">&lt;html&gt;&lt;body&gt;&lt;p&gt;"
      "Hello &lt;b&gt;world&lt;/b&gt;&lt;/p&gt;&lt;/body&gt;&lt;/html&gt;</t:Body>"
      "<t:Categories><t:String>Red</t:String><t:String>Blue</t:String></t:Categories>"
      "<t:ExtendedProperty><t:ExtendedFieldURI DistinguishedPropertySetId=\"PublicStrings\" "
      "PropertyName=\"Tag\" PropertyType=\"String\"/><t:Value>named</t:Value></t:ExtendedProperty>"
      "<t:ExtendedProperty><t:ExtendedFieldURI "
      "PropertySetId=\"00062008-0000-0000-C000-000000000046\" "
      "PropertyId=\"34080\" PropertyType=\"Integer\"/><t:Value>7</t:Value></t:ExtendedProperty>"
      "<t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"0x3A4F\" PropertyType=\"String\"/>"
      "<t:Value>nick</t:Value></t:ExtendedProperty>"
      "<t:ToRecipients><t:Mailbox><t:EmailAddress>bob@example.com</t:EmailAddress></t:Mailbox>"
      "</t:ToRecipients><t:IsRead>true</t:IsRead>");
  auto idOnly = GetItem(id, "IdOnly");
  auto message = First(idOnly.root(), "Message");
  EXPECT_EQ(std::distance(message.children().begin(), message.children().end()), 1);

  auto all = GetItem(id, "AllProperties");
  EXPECT_EQ(TextOf(all.root(), "Subject"), "Shape test");
  EXPECT_EQ(All(all.root(), "String").size(), 2u);
  EXPECT_EQ(TextOf(all.root(), "IsDraft"), "true");
  EXPECT_GT(std::stoi(TextOf(all.root(), "Size")), 100);
  EXPECT_FALSE(First(all.root(), "ExtendedProperty"));  // only when asked for

  // Extended properties by set id (given as the distinguished set), by name and by tag.
  auto ext = GetItem(
      id, "IdOnly",
      "<t:BodyType>Text</t:BodyType><t:AdditionalProperties><t:FieldURI FieldURI=\"item:Body\"/>"
      "<t:ExtendedFieldURI DistinguishedPropertySetId=\"Common\" PropertyId=\"34080\" "
      "PropertyType=\"Integer\"/><t:ExtendedFieldURI PropertySetId="
      "\"00020329-0000-0000-C000-000000000046\" PropertyName=\"Tag\" PropertyType=\"String\"/>"
      "<t:ExtendedFieldURI PropertyTag=\"14927\" PropertyType=\"String\"/>"
      "<t:ExtendedFieldURI PropertyTag=\"0x0E07\" PropertyType=\"Integer\"/>"
      "<t:FieldURI FieldURI=\"item:TextBody\"/></t:AdditionalProperties>");
  auto values = All(ext.root(), "Value");
  ASSERT_EQ(values.size(), 4u) << ext.http.body;
  std::set<std::string> got;
  for (auto v : values)
    got.insert(v.text().as_string());
  EXPECT_TRUE(got.count("7") && got.count("named") && got.count("nick"));
  // Message flags: read (1) and unsent (8).
  EXPECT_TRUE(got.count("9"));
  auto msg = First(ext.root(), "Message");
  EXPECT_EQ(First(msg, "Body").attribute("BodyType").value(), std::string("Text"));
  EXPECT_EQ(TextOf(msg, "Body"), "Hello world");
  EXPECT_EQ(TextOf(ext.root(), "TextBody"), "Hello world");

  // MIME content is made from the item.
  auto mime = GetItem(id, "IdOnly", "<t:IncludeMimeContent>true</t:IncludeMimeContent>");
  std::string b64 = TextOf(mime.root(), "MimeContent");
  ASSERT_FALSE(b64.empty());
}

TEST_F(MailboxTest, MimeImportWithMessageFlags) {
  std::string mime =
      "From: \"Carol C\" <carol@x.test>\r\nTo: alice@example.com\r\nSubject: =?utf-8?B?"
      "R3LDvMOfZQ==?=\r\nDate: Mon, 02 Mar 2026 10:00:00 +0100\r\nMessage-ID: <m1@x.test>\r\n"
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n--b1\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n\r\nBody line\r\n--b1\r\nContent-Type: "
      "application/pdf; name=\"a.pdf\"\r\nContent-Disposition: attachment; filename=\"a.pdf\"\r\n"
      "Content-Transfer-Encoding: base64\r\n\r\nJVBERi0=\r\n--b1--\r\n";
  const std::string b64 = ews_test::Base64Encode(mime);
  auto flags = [](const char* tag, const char* value) {
    return std::string("<t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"") + tag +
           "\" PropertyType=\"Integer\"/><t:Value>" + value + "</t:Value></t:ExtendedProperty>";
  };
  auto got = GetItem(
      CreateMessage("<t:MimeContent>" + b64 + "</t:MimeContent>" + flags("0x0E07", "1"), "inbox"));
  EXPECT_EQ(TextOf(got.root(), "Subject"), "Grüße");
  EXPECT_EQ(TextOf(got.root(), "IsRead"), "true");
  EXPECT_EQ(TextOf(got.root(), "IsDraft"), "false");
  EXPECT_EQ(TextOf(got.root(), "DateTimeSent"), "2026-03-02T09:00:00Z");
  EXPECT_EQ(TextOf(First(got.root(), "From"), "EmailAddress"), "carol@x.test");
  EXPECT_EQ(TextOf(got.root(), "InternetMessageId"), "<m1@x.test>");
  EXPECT_EQ(TextOf(got.root(), "HasAttachments"), "true");
  EXPECT_EQ(TextOf(First(got.root(), "FileAttachment"), "Name"), "a.pdf");
  EXPECT_NE(TextOf(First(got.root(), "Message"), "Body").find("Body line"), std::string::npos);

  // The decimal tag form with unmodified + unsent (10): an unread draft.
  auto d = GetItem(CreateMessage("<t:MimeContent CharacterSet=\"UTF-8\">" + b64 +
                                 "</t:MimeContent>" + flags("3591", "10")));
  EXPECT_EQ(TextOf(d.root(), "IsRead"), "false");
  EXPECT_EQ(TextOf(d.root(), "IsDraft"), "true");
}

TEST_F(MailboxTest, UpdateItemFieldsAndChangeKeys) {
  auto r = Call(
      "<m:CreateItem><m:Items><t:Contact><t:GivenName>Una</t:GivenName>"
      "<t:EmailAddresses><t:Entry Key=\"EmailAddress1\">una@x.test</t:Entry>"
      "</t:EmailAddresses><t:PhysicalAddresses><t:Entry Key=\"Business\"><t:City>Oslo"
      "</t:City></t:Entry></t:PhysicalAddresses></t:Contact></m:Items></m:CreateItem>");
  auto oldId = First(r.root(), "ItemId");
  std::string id = ItemIdXml(oldId);
  auto upd = Call(
      "<m:UpdateItem ConflictResolution=\"NeverOverwrite\"><m:ItemChanges><t:ItemChange>" + id +
      "<t:Updates>"
      "<t:SetItemField><t:FieldURI FieldURI=\"contacts:Surname\"/><t:Contact><t:Surname>Ulm"
      "</t:Surname></t:Contact></t:SetItemField>"
      "<t:SetItemField><t:IndexedFieldURI FieldURI=\"contacts:EmailAddress\" FieldIndex="
      "\"EmailAddress2\"/><t:Contact><t:EmailAddresses><t:Entry Key=\"EmailAddress2\">una2@x.test"
      "</t:Entry></t:EmailAddresses></t:Contact></t:SetItemField>"
      "<t:SetItemField><t:IndexedFieldURI FieldURI=\"contacts:PhysicalAddress:Street\" FieldIndex="
      "\"Business\"/><t:Contact><t:PhysicalAddresses><t:Entry Key=\"Business\"><t:Street>Main 1"
      "</t:Street></t:Entry></t:PhysicalAddresses></t:Contact></t:SetItemField>"
      "<t:SetItemField><t:ExtendedFieldURI PropertyTag=\"0x3A45\" PropertyType=\"String\"/>"
      "<t:Contact><t:ExtendedProperty><t:ExtendedFieldURI PropertyTag=\"0x3A45\" PropertyType="
      "\"String\"/><t:Value>Dr</t:Value></t:ExtendedProperty></t:Contact></t:SetItemField>"
      "<t:DeleteItemField><t:FieldURI FieldURI=\"contacts:GivenName\"/></t:DeleteItemField>"
      "</t:Updates></t:ItemChange></m:ItemChanges></m:UpdateItem>");
  ASSERT_EQ(upd.Class(), "Success") << upd.http.body;
  EXPECT_EQ(TextOf(upd.root(), "Count"), "0");
  auto newId = First(upd.root(), "ItemId");
  EXPECT_STREQ(newId.attribute("Id").value(), oldId.attribute("Id").value());
  EXPECT_STRNE(newId.attribute("ChangeKey").value(), oldId.attribute("ChangeKey").value());
  auto got = GetItem(ItemIdXml(newId), "AllProperties",
                     "<t:AdditionalProperties><t:ExtendedFieldURI PropertyTag=\"0x3A45\" "
                     "PropertyType=\"String\"/></t:AdditionalProperties>");
  EXPECT_EQ(TextOf(got.root(), "Surname"), "Ulm");
  EXPECT_FALSE(First(got.root(), "GivenName"));
  EXPECT_EQ(All(First(got.root(), "EmailAddresses"), "Entry").size(), 2u);
  auto business = First(got.root(), "PhysicalAddresses");
  EXPECT_EQ(TextOf(business, "Street"), "Main 1");
  EXPECT_EQ(TextOf(business, "City"), "Oslo");
  EXPECT_EQ(TextOf(got.root(), "Value"), "Dr");
}

TEST_F(MailboxTest, AppendRecipientsAndDeleteCopyMove) {
  // Messages need a disposition, on creation and on update.
  EXPECT_EQ(Call("<m:CreateItem><m:Items><t:Message><t:Subject>x</t:Subject></t:Message>"
                 "</m:Items></m:CreateItem>")
                .Code(),
            "ErrorMessageDispositionRequired");
  auto id = CreateMessage(
      "<t:Subject>cm</t:Subject><t:ToRecipients><t:Mailbox><t:EmailAddress>"
      "a@x.test</t:EmailAddress></t:Mailbox></t:ToRecipients>");
  auto app = Call(
      "<m:UpdateItem MessageDisposition=\"SaveOnly\" ConflictResolution=\"AutoResolve\">"
      "<m:ItemChanges><t:ItemChange>" +
      id +
      "<t:Updates><t:AppendToItemField>"
      "<t:FieldURI FieldURI=\"message:ToRecipients\"/><t:Message><t:ToRecipients>"
      "<t:Mailbox><t:EmailAddress>b@x.test</t:EmailAddress></t:Mailbox>"
      "</t:ToRecipients></t:Message></t:AppendToItemField></t:Updates></t:ItemChange>"
      "</m:ItemChanges></m:UpdateItem>");
  ASSERT_EQ(app.Class(), "Success");
  std::string cur = ItemIdXml(First(app.root(), "ItemId"));
  EXPECT_EQ(All(First(GetItem(cur).root(), "ToRecipients"), "Mailbox").size(), 2u);

  auto copy = Call("<m:CopyItem><m:ToFolderId>" + Dist("junkemail") + "</m:ToFolderId><m:ItemIds>" +
                   cur + "<t:ItemId Id=\"bm90IGFuIGlk\"/></m:ItemIds></m:CopyItem>");
  ASSERT_EQ(copy.Messages().size(), 2u);
  EXPECT_EQ(copy.Class(0), "Success");
  EXPECT_EQ(copy.Code(1), "ErrorInvalidIdMalformed");  // one bad id does not fail the other
  std::string copied = ItemIdXml(First(copy.Messages()[0], "ItemId"));
  EXPECT_NE(copied, cur);
  auto quiet =
      Call("<m:CopyItem><m:ToFolderId>" + Dist("junkemail") + "</m:ToFolderId><m:ItemIds>" + cur +
           "</m:ItemIds><m:ReturnNewItemIds>false</m:ReturnNewItemIds></m:CopyItem>");
  EXPECT_EQ(quiet.Class(), "Success");
  EXPECT_FALSE(First(quiet.root(), "ItemId"));  // asked for no ids

  auto moved = Call("<m:MoveItem><m:ToFolderId>" + Dist("outbox") + "</m:ToFolderId><m:ItemIds>" +
                    copied + "</m:ItemIds></m:MoveItem>");
  ASSERT_EQ(moved.Class(), "Success");
  std::string movedId = ItemIdXml(First(moved.root(), "ItemId"));
  // A moved item gets a new id; the old one is gone.
  EXPECT_STRNE(First(moved.root(), "ItemId").attribute("Id").value(),
               First(copy.root(), "ItemId").attribute("Id").value());
  EXPECT_EQ(GetItem(copied).Code(), "ErrorItemNotFound");

  EXPECT_EQ(Call("<m:DeleteItem DeleteType=\"MoveToDeletedItems\"><m:ItemIds>" + movedId +
                 "</m:ItemIds></m:DeleteItem>")
                .Class(),
            "Success");
  // That is a move too: the item in Deleted Items has a new id.
  EXPECT_EQ(GetItem(movedId).Code(), "ErrorItemNotFound");
  const std::string deletedId = ItemIdXml(First(Find("deleteditems", "IdOnly").root(), "ItemId"));
  auto inDeleted = GetItem(deletedId, "IdOnly",
                           "<t:AdditionalProperties><t:FieldURI "
                           "FieldURI=\"item:ParentFolderId\"/></t:AdditionalProperties>");
  auto deletedFolder = GetFolder(Dist("deleteditems"), "IdOnly");
  EXPECT_STREQ(First(inDeleted.root(), "ParentFolderId").attribute("Id").value(),
               First(deletedFolder.root(), "FolderId").attribute("Id").value());
  EXPECT_EQ(Call("<m:DeleteItem DeleteType=\"HardDelete\"><m:ItemIds>" + deletedId + cur +
                 "</m:ItemIds></m:DeleteItem>")
                .Class(1),
            "Success");
  EXPECT_EQ(GetItem(cur).Code(), "ErrorItemNotFound");
  EXPECT_EQ(GetItem("<t:ItemId Id=\"!!!\"/>").Code(), "ErrorInvalidIdMalformed");
}

TEST_F(MailboxTest, AttachmentsInlineAndByOperation) {
  auto r = Call(
      "<m:CreateItem MessageDisposition=\"SaveOnly\"><m:Items><t:Message><t:Subject>att"
      "</t:Subject><t:Attachments><t:FileAttachment><t:Name>a.txt</t:Name><t:Content>"
      "aGVsbG8=</t:Content></t:FileAttachment><t:ItemAttachment><t:Name>inner</t:Name>"
      "<t:Message><t:Subject>Inner message</t:Subject><t:Body BodyType=\"Text\">inside"
      "</t:Body></t:Message></t:ItemAttachment></t:Attachments></t:Message></m:Items>"
      "</m:CreateItem>");
  ASSERT_EQ(r.Class(), "Success") << r.http.body;
  auto attIds = All(r.root(), "AttachmentId");
  ASSERT_EQ(attIds.size(), 2u);
  std::string item = ItemIdXml(First(r.root(), "ItemId"));

  auto get = [&](size_t i, const std::string& shape = "") {
    return Call("<m:GetAttachment>" + shape + "<m:AttachmentIds><t:AttachmentId Id=\"" +
                attIds[i].attribute("Id").value() + "\"/></m:AttachmentIds></m:GetAttachment>");
  };
  auto file = get(0);
  EXPECT_EQ(TextOf(file.root(), "Content"), "aGVsbG8=");
  EXPECT_EQ(TextOf(file.root(), "Size"), "5");
  auto inner = get(1,
                   "<m:AttachmentShape><t:IncludeMimeContent>true</t:IncludeMimeContent>"
                   "</m:AttachmentShape>");
  EXPECT_EQ(TextOf(inner.root(), "Subject"), "Inner message");
  EXPECT_FALSE(TextOf(inner.root(), "MimeContent").empty());

  auto created = Call("<m:CreateAttachment><m:ParentItemId " +
                      item.substr(std::string("<t:ItemId ").size(), item.size() - 12) +
                      "/><m:Attachments><t:FileAttachment><t:Name>b.bin</t:Name><t:Content>AAEC"
                      "</t:Content></t:FileAttachment></m:Attachments></m:CreateAttachment>");
  ASSERT_EQ(created.Class(), "Success") << created.http.body;
  auto newAtt = First(created.root(), "AttachmentId");
  EXPECT_TRUE(newAtt.attribute("RootItemId"));
  EXPECT_TRUE(newAtt.attribute("RootItemChangeKey"));
  auto del =
      Call(std::string("<m:DeleteAttachment><m:AttachmentIds><t:AttachmentId Id=\"") +
           attIds[0].attribute("Id").value() + "\"/><t:AttachmentId Id=\"" +
           attIds[0].attribute("Id").value() + "\"/></m:AttachmentIds></m:DeleteAttachment>");
  EXPECT_EQ(del.Class(0), "Success");
  EXPECT_TRUE(First(del.Messages()[0], "RootItemId").attribute("RootItemChangeKey"));
  EXPECT_EQ(del.Class(1), "Error");
  auto left = GetItem(item);
  EXPECT_EQ(All(First(left.root(), "Attachments"), "AttachmentId").size(), 2u);
}

TEST_F(MailboxTest, SendingDeliversToLocalMailboxes) {
  auto bobInbox = [&] { return Sim()->Server().FolderItemCount("bob@example.com", "inbox"); };
  long before = bobInbox();
  auto sent = Call(
      "<m:CreateItem MessageDisposition=\"SendAndSaveCopy\"><m:Items><t:Message>"
      "<t:Subject>Lunch?</t:Subject><t:Body BodyType=\"Text\">At noon</t:Body>"
      "<t:ToRecipients><t:Mailbox><t:EmailAddress>bob@example.com</t:EmailAddress>"
      "</t:Mailbox><t:Mailbox><t:EmailAddress>far@away.test</t:EmailAddress></t:Mailbox>"
      "</t:ToRecipients></t:Message></m:Items></m:CreateItem>");
  ASSERT_EQ(sent.Class(), "Success") << sent.http.body;
  EXPECT_EQ(bobInbox(), before + 1);
  auto found = Find("inbox", "AllProperties", "Lunch?", "bob@example.com");
  auto msg = First(found.root(), "Message");
  ASSERT_TRUE(msg);
  EXPECT_EQ(TextOf(msg, "IsRead"), "false");
  EXPECT_EQ(TextOf(msg, "IsDraft"), "false");
  EXPECT_FALSE(TextOf(msg, "DateTimeReceived").empty());
  EXPECT_EQ(TextOf(First(msg, "From"), "EmailAddress"), "alice@example.com");
  std::string received = ItemIdXml(First(msg, "ItemId"));

  // The sender's copy is in Sent Items.
  auto sentItems = Find("sentitems", "Default");
  EXPECT_GE(All(sentItems.root(), "Message").size(), 1u);

  // Bob replies as a draft, then sends it with SendItem.
  auto reply = Respond("ReplyToItem", "SaveOnly", received, "",
                       "<t:NewBodyContent BodyType=\"Text\">Yes!</t:NewBodyContent>");
  ASSERT_EQ(reply.Class(), "Success") << reply.http.body;
  std::string draft = ItemIdXml(First(reply.root(), "ItemId"));
  auto draftItem = GetItem(draft, "AllProperties", "", "bob@example.com");
  EXPECT_EQ(TextOf(draftItem.root(), "Subject"), "RE: Lunch?");
  EXPECT_EQ(TextOf(First(draftItem.root(), "ToRecipients"), "EmailAddress"), "alice@example.com");
  std::string body = TextOf(First(draftItem.root(), "Message"), "Body");
  EXPECT_EQ(body.rfind("Yes!", 0), 0u);
  EXPECT_NE(body.find("Subject: Lunch?"), std::string::npos);
  EXPECT_NE(body.find("At noon"), std::string::npos);
  long aliceBefore = Sim()->Server().FolderItemCount("alice@example.com", "inbox");
  auto send = Call(
      "<m:SendItem SaveItemToFolder=\"true\"><m:ItemIds>" + draft + "</m:ItemIds></m:SendItem>",
      "bob@example.com");
  EXPECT_EQ(send.Class(), "Success") << send.http.body;
  EXPECT_EQ(Sim()->Server().FolderItemCount("alice@example.com", "inbox"), aliceBefore + 1);

  // A forward sent with SendOnly saves nothing for the sender.
  long sentBefore = Sim()->Server().FolderItemCount("bob@example.com", "sentitems");
  auto fwd = Respond("ForwardItem", "SendOnly", received,
                     "<t:ToRecipients><t:Mailbox><t:EmailAddress>alice@example.com</t:EmailAddress>"
                     "</t:Mailbox></t:ToRecipients>");
  EXPECT_EQ(fwd.Class(), "Success") << fwd.http.body;
  EXPECT_EQ(Sim()->Server().FolderItemCount("bob@example.com", "sentitems"), sentBefore);
  EXPECT_EQ(Sim()->Server().FolderItemCount("alice@example.com", "inbox"), aliceBefore + 2);
}

TEST_F(MailboxTest, ReplyAllAddressesEveryoneButTheReplier) {
  auto sent = Call(
      "<m:CreateItem "
      "MessageDisposition=\"SendOnly\"><m:Items><t:Message><t:Subject>Plan</t:Subject>"
      "<t:Body BodyType=\"HTML\">&lt;p&gt;Draft plan&lt;/p&gt;</t:Body><t:ToRecipients><t:Mailbox>"
      "<t:EmailAddress>bob@example.com</t:EmailAddress></t:Mailbox></"
      "t:ToRecipients><t:CcRecipients>"
      "<t:Mailbox><t:Name>Svc</t:Name><t:EmailAddress>svc@example.com</t:EmailAddress></t:Mailbox>"
      "</t:CcRecipients></t:Message></m:Items></m:CreateItem>");
  ASSERT_EQ(sent.Class(), "Success");
  auto found = Find("inbox", "IdOnly", "Plan", "bob@example.com");
  std::string received = ItemIdXml(First(found.root(), "ItemId"));
  auto reply = Respond("ReplyAllToItem", "SaveOnly", received);
  ASSERT_EQ(reply.Class(), "Success") << reply.http.body;
  auto draftReply =
      GetItem(ItemIdXml(First(reply.root(), "ItemId")), "AllProperties", "", "bob@example.com");
  auto draft = First(draftReply.root(), "Message");
  for (auto [list, address] :
       {std::pair{"ToRecipients", "alice@example.com"}, {"CcRecipients", "svc@example.com"}}) {
    auto addresses = All(First(draft, list), "EmailAddress");
    ASSERT_EQ(addresses.size(), 1u) << list;
    EXPECT_STREQ(addresses[0].text().as_string(), address);
  }
  EXPECT_EQ(First(draft, "Body").attribute("BodyType").value(), std::string("HTML"));
  EXPECT_NE(TextOf(draft, "Body").find("Draft plan"), std::string::npos);
  EXPECT_EQ(TextOf(draft, "IsDraft"), "true");
  // Drafts are saved in Drafts.
  auto drafts = GetFolder(Dist("drafts"), "IdOnly", "bob@example.com");
  EXPECT_STREQ(First(draft, "ParentFolderId").attribute("Id").value(),
               First(drafts.root(), "FolderId").attribute("Id").value());
}

}  // namespace
