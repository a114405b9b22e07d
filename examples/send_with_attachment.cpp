// Sends a message with a file attached, keeping a copy in Sent Items.
//
//   send_with_attachment TO SUBJECT FILE
//
// The connection comes from EWS_URL, EWS_USER and EWS_PASSWORD.
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include <dvews/uDvEWS.h>
#include <dvews/uDvEWSFolder.h>
#include <dvews/uDvEWSMessage.h>
#include <dvews/uDvEWSMsgStore.h>

static std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

int main(int argc, char** argv) {
  if (argc != 4 || Env("EWS_URL").empty() || Env("EWS_USER").empty()) {
    std::cerr << "usage: send_with_attachment TO SUBJECT FILE  (EWS_URL, EWS_USER set)\n";
    return 2;
  }
  try {
    dv::TDvEWSCustomSession session;
    session.SetServiceUrl(Env("EWS_URL"));
    session.SetCredentials(dv::TDvCredentials(Env("EWS_USER"), Env("EWS_PASSWORD")));
    session.SetLogonDialog(false);  // no window to show dialogs in
    session.SetPasswordDialog(false);
    session.SetActive(true);

    // A new message is created in a folder (Drafts) and lives only in this program until it
    // is saved or sent; its setters write into the pending request.
    auto drafts =
        session.OpenDefaultMsgStore()->GetFolder(dv::TDistinguishedFolderIdName::dfindrafts);
    auto mail =
        std::dynamic_pointer_cast<dv::IDvEWSEMail>(drafts->CreateItem(dv::TItemType::tMessage));
    mail->GetToRecipients()->Add(argv[1]);
    mail->SetSubject(argv[2]);
    mail->SetBodyText("The file is attached.");

    // The attachment takes the file's name and a content type guessed from its extension.
    auto attachment = mail->GetAttachments().AddAttachment(argv[3]);
    std::cout << "attached " << attachment->GetName() << " (" << attachment->GetContentType()
              << ")\n";

    // One call sends it. A message with attachments is first saved in Drafts (attachments are
    // added to a saved item), then sent; without any it is sent with a single request.
    mail->SubmitMessage(true);  // true: keep a copy in Sent Items
    std::cout << "sent to " << argv[1] << '\n';
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
