// Lists the unread messages of the Inbox: sender, subject and a paper clip when the message has
// attachments. The server does the filtering (a restriction on IsRead), so only unread rows
// travel.
//
//   list_unread [URL USER]
//
// URL and user come from the arguments or from EWS_URL and EWS_USER, the password from
// EWS_PASSWORD.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include <dvews/DvXML.h>
#include <dvews/uDvEWS.h>
#include <dvews/uDvEWSFolder.h>
#include <dvews/uDvEWSMsgStore.h>
#include <dvews/uDvEWSProps.h>
#include <dvews/uDvEWSTable.h>

static std::string Setting(int argc, char** argv, int index, const char* name) {
  if (index < argc) return argv[index];
  const char* value = std::getenv(name);
  return value ? value : "";
}

int main(int argc, char** argv) {
  const std::string url = Setting(argc, argv, 1, "EWS_URL");
  const std::string user = Setting(argc, argv, 2, "EWS_USER");
  const char* password = std::getenv("EWS_PASSWORD");  // never on the command line
  if (url.empty() || user.empty()) {
    std::cerr << "usage: list_unread [URL USER]  (defaults: EWS_URL, EWS_USER)\n";
    return 2;
  }
  try {
    dv::TDvEWSCustomSession session;
    session.SetServiceUrl(url);
    session.SetCredentials(dv::TDvCredentials(user, password ? password : ""));
    session.SetLogonDialog(false);  // no window to show dialogs in
    session.SetPasswordDialog(false);
    session.SetActive(true);

    auto inbox =
        session.OpenDefaultMsgStore()->GetFolder(dv::TDistinguishedFolderIdName::dfininbox);
    auto items = inbox->GetItems();

    // Columns: fields are looked up once by name and used to read each row.
    auto subject = dv::GetFieldDef("FLD_ITEM_SUBJECT", true);
    auto from = dv::GetFieldDef("FLD_MESSAGE_FROM", true);
    auto hasAttachments = dv::GetFieldDef("FLD_ITEM_HASATTACHMENTS", true);
    for (auto field : {subject, from, hasAttachments})
      items->GetFields().Add(*field);

    // The restriction "IsRead = false". The table creates the node; the interface of its kind
    // (here IDvEWSRestrictionCompare) sets it up.
    auto node = items->CreateRestriction(dv::TDvEWSRestrictionType::rtCompare);
    auto isUnread = std::dynamic_pointer_cast<dv::IDvEWSRestrictionCompare>(node);
    isUnread->SetFieldDef(*dv::GetFieldDef("FLD_MESSAGE_ISREAD", true));
    isUnread->SetOperator(dv::TDvEWSRestrictionOperator::opIsEqualTo);
    isUnread->SetValue(dv::TDvVariant(false));
    items->Filter(node);

    int count = 0;
    for (items->Open(); !items->Eof(); items->Next(), ++count) {
      // From is structured (a Mailbox element with Name and EmailAddress): read its Name.
      std::string sender = "(no sender)";
      if (auto mailbox = items->FieldByName(*from)->GetValueNode()->ElementByName("Mailbox"))
        if (auto name = mailbox->ElementByName("Name")) sender = name->GetAsString();
      const bool clip =
          items->HasField(*hasAttachments) && items->FieldByName(*hasAttachments)->GetAsBoolean();
      std::cout << (clip ? "[+] " : "    ") << sender << "  "
                << items->FieldByName(*subject)->GetAsString() << '\n';
    }
    std::cout << count << " unread\n";
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
