// Reads a large folder page by page with a restriction: the messages of the Inbox received on or
// after a date, PAGE_SIZE rows per request. The table fetches the next page by itself when the
// cursor runs past the last row of the current one; the program only watches it happen.
//
//   page_folder SINCE PAGE_SIZE   (SINCE like 2026-01-31 or 2026-01-31T08:00:00Z)
//
// The connection comes from EWS_URL, EWS_USER and EWS_PASSWORD.
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

static std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

int main(int argc, char** argv) {
  if (argc != 3 || std::atoi(argv[2]) <= 0 || Env("EWS_URL").empty() || Env("EWS_USER").empty()) {
    std::cerr << "usage: page_folder SINCE PAGE_SIZE  (EWS_URL, EWS_USER set)\n";
    return 2;
  }
  try {
    dv::TDvEWSCustomSession session;
    session.SetServiceUrl(Env("EWS_URL"));
    session.SetCredentials(dv::TDvCredentials(Env("EWS_USER"), Env("EWS_PASSWORD")));
    session.SetLogonDialog(false);  // no window to show dialogs in
    session.SetPasswordDialog(false);
    session.SetActive(true);

    auto inbox =
        session.OpenDefaultMsgStore()->GetFolder(dv::TDistinguishedFolderIdName::dfininbox);
    auto items = inbox->GetItems();
    // The page size belongs to the table class (50 rows unless set).
    auto table = std::dynamic_pointer_cast<dv::TDvEWSTable>(items);
    table->SetPageSize(std::atoi(argv[2]));

    auto subject = dv::GetFieldDef("FLD_ITEM_SUBJECT", true);
    auto received = dv::GetFieldDef("FLD_ITEM_DATETIMERECEIVED", true);
    items->GetFields().Add(*subject);
    items->GetFields().Add(*received);

    // DateTimeReceived >= SINCE; the date is read as UTC.
    auto since = std::dynamic_pointer_cast<dv::IDvEWSRestrictionCompare>(
        items->CreateRestriction(dv::TDvEWSRestrictionType::rtCompare));
    since->SetFieldDef(*received);
    since->SetOperator(dv::TDvEWSRestrictionOperator::opIsGreaterThanOrEqualTo);
    since->SetValue(dv::TDvVariant(dv::DvXMLToDateTime(argv[1])));
    items->Filter(since);

    int rows = 0, pages = 0;
    for (items->Open(); !items->Eof(); items->Next(), ++rows) {
      if (table->GetRowIndex() == 0)  // the first row of a page just fetched
        std::cout << "page " << ++pages << " (" << table->RowCount() << " rows of "
                  << items->Count() << ")\n";
      std::cout << "  " << items->FieldByName(*received)->GetAsString() << "  "
                << items->FieldByName(*subject)->GetAsString() << '\n';
    }
    std::cout << rows << " messages in " << pages << " pages\n";
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
