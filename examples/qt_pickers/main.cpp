// A window with two buttons: one opens the folder picker, the other the address book, both on
// an Exchange mailbox; each choice is printed on standard output.
//
//   export EWS_PASSWORD=...
//   qt_pickers https://mail.example.com/EWS/Exchange.asmx alice@example.com
//
// URL and user default to EWS_URL and EWS_USER. Keep the password in the environment:
// arguments are visible to every user of the machine.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdlib>
#include <iostream>
#include <string>

#include <dvews/qt/DvEWSQtDialogs.h>
#include <dvews/uDvEWS.h>
#include <dvews/uDvEWSDialogs.h>

// Argument `index` when given, else the environment variable `name`, else "".
static std::string Setting(int argc, char** argv, int index, const char* name) {
  if (index < argc) return argv[index];
  const char* value = std::getenv(name);
  return value ? value : "";
}

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::string url = Setting(argc, argv, 1, "EWS_URL");
  const std::string user = Setting(argc, argv, 2, "EWS_USER");
  const char* password = std::getenv("EWS_PASSWORD");
  if (url.empty() || user.empty()) {
    std::cerr << "usage: qt_pickers [URL USER]  (defaults: EWS_URL, EWS_USER; password: "
                 "EWS_PASSWORD)\n";
    return 2;
  }

  dv::TDvEWSCustomSession session;
  session.SetServiceUrl(url);
  session.SetCredentials(dv::TDvCredentials(user, password ? password : ""));
  session.SetLogonDialog(false);
  session.SetPasswordDialog(false);
  try {
    session.SetActive(true);
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
  }

  dv::qt::RegisterDialogs();  // the components' Execute now shows this module's windows
  // The components keep their settings and results between calls; the lists are reused.
  dv::TDvEWSFolderDialog picker;
  picker.SetSession(&session);
  picker.SetTitle("Choose a folder");
  picker.SetAllowSelectMsgStore(true);
  dv::TDvEWSAddressBookDialog book;
  book.SetSession(&session);

  QWidget window;
  window.setWindowTitle("dvews pickers");
  auto* layout = new QVBoxLayout(&window);
  auto* folderButton = new QPushButton("Choose a &folder…", &window);
  auto* bookButton = new QPushButton("Open the &address book…", &window);
  layout->addWidget(folderButton);
  layout->addWidget(bookButton);

  // Execute raises when misused or no dialog is registered; show that rather than end.
  auto guarded = [&window](auto&& run) {
    try {
      run();
    } catch (const std::exception& e) {
      QMessageBox::warning(&window, "dvews", QString::fromStdString(e.what()));
    }
  };
  QObject::connect(folderButton, &QPushButton::clicked, [&] {
    guarded([&] {
      if (!picker.Execute()) return;
      std::cout << "store:  " << (picker.GetMsgStore().empty() ? "(own)" : picker.GetMsgStore())
                << "\nfolder: " << picker.GetFolderName() << "\nid:     " << picker.GetFolderId().Id
                << std::endl;
    });
  });
  QObject::connect(bookButton, &QPushButton::clicked, [&] {
    guarded([&] {
      const bool accepted = book.Execute(true);  // true: resolve what was typed by hand
      using B = dv::TDvEWSAddressBookDialogButton;
      std::cout << (accepted ? "accepted" : "cancelled")
                << "\nTo:  " << book.GetRecipientList(B::btnTo)->GetAsString()
                << "\nCC:  " << book.GetRecipientList(B::btnCC)->GetAsString()
                << "\nBCC: " << book.GetRecipientList(B::btnBCC)->GetAsString() << std::endl;
    });
  });
  window.show();
  return app.exec();
}
