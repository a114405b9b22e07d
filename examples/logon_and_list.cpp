// Logs on to an Exchange server and prints the subject of every message in the Inbox.
//
//   export EWS_URL=https://mail.example.com/EWS/Exchange.asmx EWS_USER=alice@example.com
//   export EWS_PASSWORD=...
//   logon_and_list
//
// URL and user may also be given as the first two arguments. Keep the password in the
// environment (or read it from a file): arguments are visible to every user of the machine.
#include <cstdlib>
#include <iostream>
#include <string>

#include <dvews/uDvEWS.h>
#include <dvews/uDvEWSFolder.h>
#include <dvews/uDvEWSMsgStore.h>
#include <dvews/uDvEWSProps.h>

// Argument `index` when given, else the environment variable `name`, else "".
static std::string Setting(int argc, char** argv, int index, const char* name) {
  if (index < argc) return argv[index];
  const char* value = std::getenv(name);
  return value ? value : "";
}

int main(int argc, char** argv) {
  const std::string url = Setting(argc, argv, 1, "EWS_URL");
  const std::string user = Setting(argc, argv, 2, "EWS_USER");
  const char* password = std::getenv("EWS_PASSWORD");
  if (url.empty() || user.empty()) {
    std::cerr << "usage: logon_and_list [URL USER]  (defaults: EWS_URL, EWS_USER)\n";
    return 2;
  }
  try {
    dv::TDvEWSCustomSession session;
    session.SetServiceUrl(url);
    session.SetCredentials(dv::TDvCredentials(user, password ? password : ""));
    // The logon and password dialogs are on by default and need a parent window; a program
    // without one (a console tool, a service) turns them off.
    session.SetLogonDialog(false);
    session.SetPasswordDialog(false);
    session.SetActive(true);  // one request: checks the logon, learns the server version
    std::cout << "Server: " << session.GetServerDescription() << '\n';

    auto store = session.OpenDefaultMsgStore();
    auto inbox = store->GetFolder(dv::TDistinguishedFolderIdName::dfininbox);
    auto items = inbox->GetItems();  // a table of rows; nothing is fetched yet
    auto subject = dv::GetFieldDef("FLD_ITEM_SUBJECT", true);
    items->GetFields().Add(*subject);                  // the columns to fetch
    for (items->Open(); !items->Eof(); items->Next())  // FindItem, page by page
      std::cout << items->FieldByName(*subject)->GetAsString() << '\n';
  } catch (const std::exception& e) {  // dv::Exception and dv::EEWSException derive from it
    std::cerr << "error: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
