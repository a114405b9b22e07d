// Links the installed Qt dialog module: registering its dialogs fills both factories.
#include <QApplication>

#include <dvews/qt/DvEWSQtDialogs.h>
#include <dvews/uDvEWSDialogs.h>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  dv::qt::RegisterDialogs();
  return dv::CreateFolderDialog && dv::CreateAddressBookDialog ? 0 : 1;
}
