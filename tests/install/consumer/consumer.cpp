// A program using the installed library: logs on to the server given by URL as USER with
// PASSWORD and prints the library version and the display name of the Inbox.
#include <dvews/uDvEWS.h>
#include <dvews/uDvEWSFolder.h>
#include <dvews/uDvEWSMsgStore.h>
#include <dvews/uDvEWSVersion.h>

#include <iostream>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: consumer URL USER PASSWORD\n";
    return 2;
  }
  try {
    dv::TDvEWSCustomSession session;
    session.SetLogonDialog(false);
    session.SetPasswordDialog(false);
    session.SetServiceUrl(argv[1]);
    session.SetCredentials(dv::TDvCredentials(argv[2], argv[3]));
    session.SetActive(true);
    auto inbox =
        session.OpenDefaultMsgStore()->GetFolder(dv::TDistinguishedFolderIdName::dfininbox);
    std::cout << dv::DvEWSVersion() << '\n' << inbox->GetDisplayName() << '\n';
  } catch (const dv::Exception& e) {
    std::cerr << "consumer: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
