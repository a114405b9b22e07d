// The XML layer at work: builds an EWS FindItem request with prefixed elements, then reads a
// FindItem response (with a character XML 1.0 forbids in one subject) and prints its rows
// through path selection.
#include <cstdio>
#include <iostream>
#include <string>

#include "DvXML.h"

namespace {

constexpr const char* kResponse =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
    "<m:FindItemResponse xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\""
    " xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">"
    "<m:ResponseMessages><m:FindItemResponseMessage ResponseClass=\"Success\">"
    "<m:ResponseCode>NoError</m:ResponseCode>"
    "<m:RootFolder IndexedPagingOffset=\"3\" TotalItemsInView=\"3\" "
    "IncludesLastItemInRange=\"true\"><t:Items>"
    "<t:Message><t:ItemId Id=\"AAMkAD1\" ChangeKey=\"CQAAAB1\"/>"
    "<t:Subject>Budget 2027 &amp; planning</t:Subject>"
    "<t:DateTimeReceived>2026-12-01T08:15:00Z</t:DateTimeReceived>"
    "<t:From><t:Mailbox><t:Name>Ann Example</t:Name>"
    "<t:EmailAddress>ann@example.com</t:EmailAddress></t:Mailbox></t:From>"
    "<t:IsRead>false</t:IsRead></t:Message>"
    "<t:Message><t:ItemId Id=\"AAMkAD2\" ChangeKey=\"CQAAAB2\"/>"
    "<t:Subject>Scanner output&#x1A;page 2</t:Subject>"
    "<t:DateTimeReceived>2026-12-02T17:40:12+01:00</t:DateTimeReceived>"
    "<t:From><t:Mailbox><t:Name>Copier</t:Name>"
    "<t:EmailAddress>copier@example.com</t:EmailAddress></t:Mailbox></t:From>"
    "<t:IsRead>true</t:IsRead></t:Message>"
    "<t:MeetingRequest><t:ItemId Id=\"AAMkAD3\" ChangeKey=\"DwAAAB3\"/>"
    "<t:Subject>Team lunch</t:Subject>"
    "<t:DateTimeReceived>2026-12-03T11:00:00.5Z</t:DateTimeReceived>"
    "<t:From><t:Mailbox><t:Name>Bob</t:Name>"
    "<t:EmailAddress>bob@example.com</t:EmailAddress></t:Mailbox></t:From>"
    "<t:IsRead>false</t:IsRead></t:MeetingRequest>"
    "</t:Items></m:RootFolder></m:FindItemResponseMessage></m:ResponseMessages>"
    "</m:FindItemResponse></s:Body></s:Envelope>";

dv::DvDOMDocumentPtr BuildRequest() {
  const auto doc = dv::DvCreateDOM();
  const auto env = doc->CreateDocumentElement("soap:Envelope");
  env->SetAttribute("xmlns:soap", "http://schemas.xmlsoap.org/soap/envelope/");
  env->SetAttribute("xmlns:m", "http://schemas.microsoft.com/exchange/services/2006/messages");
  env->SetAttribute("xmlns:t", "http://schemas.microsoft.com/exchange/services/2006/types");
  env->AddElement("soap:Header")
      ->AddElement("t:RequestServerVersion")
      ->SetAttribute("Version", "Exchange2013_SP1");
  const auto find = env->AddElement("soap:Body")->AddElement("m:FindItem");
  find->SetAttribute("Traversal", "Shallow");
  const auto shape = find->AddElement("m:ItemShape");
  shape->AddElement("t:BaseShape")->SetAsString("IdOnly");
  const auto props = shape->AddElement("t:AdditionalProperties");
  for (const char* field : {"item:Subject", "item:DateTimeReceived", "message:From"}) {
    props->AddElement("t:FieldURI")->SetAttribute("FieldURI", field);
  }
  const auto view = find->AddElement("m:IndexedPageItemView");
  view->SetAttribute("MaxEntriesReturned", "50");
  view->SetAttribute("Offset", "0");
  view->SetAttribute("BasePoint", "Beginning");
  find->AddElement("m:ParentFolderIds")
      ->AddElement("t:DistinguishedFolderId")
      ->SetAttribute("Id", "inbox");
  // Text goes through escaping and sanitising: '<', '&' and a control character.
  const auto restriction = find->InsertElement("m:Restriction", view, false);
  const auto contains = restriction->AddElement("t:Contains");
  contains->SetAttribute("ContainmentMode", "Substring");
  contains->AddElement("t:FieldURI")->SetAttribute("FieldURI", "item:Subject");
  contains->AddElement("t:Constant")->SetAttribute("Value", "a<b & c\x01");
  return doc;
}

}  // namespace

int main() {
  try {
    // The request as sent (compact) would be request->GetXML(); indented here for reading.
    const auto request = BuildRequest();
    std::printf("FindItem request:\n");
    pugi::xml_writer_stream out(std::cout);
    request->GetNativeDocument().save(out, "  ", pugi::format_indent | pugi::format_no_declaration);
    std::cout.flush();
    std::printf("\n");

    const auto response = dv::DvCreateDOM(kResponse);
    const auto message = response->SelectSingleElement(
        "/Envelope/Body/FindItemResponse/ResponseMessages/FindItemResponseMessage");
    std::printf("Response class: %s, code: %s\n", message->GetAttribute("ResponseClass").c_str(),
                message->SelectSingleElement("ResponseCode")->GetAsString().c_str());
    const auto root = message->SelectSingleElement("RootFolder");
    std::printf("Items in view: %s, last page: %s\n\n",
                root->GetAttribute("TotalItemsInView").c_str(),
                root->GetAttribute("IncludesLastItemInRange").c_str());

    const auto rows = root->CreateElementList("Items/*");
    std::printf("%-15s %-8s %-24s %-20s %-5s %s\n", "Type", "Id", "Received (UTC)", "From", "Read",
                "Subject");
    for (int i = 0; i < rows->Count(); ++i) {
      const auto row = rows->GetItem(i);
      std::printf("%-15s %-8s %-24s %-20s %-5s %s\n", row->GetLocalName().c_str(),
                  row->SelectSingleElement("ItemId")->GetAttribute("Id").c_str(),
                  dv::DvDateTimeToXML(row->SelectSingleElement("DateTimeReceived")->GetAsDateTime())
                      .c_str(),
                  row->SelectSingleElement("From/Mailbox/EmailAddress")->GetAsString().c_str(),
                  row->SelectSingleElement("IsRead")->GetAsBoolean() ? "yes" : "no",
                  row->SelectSingleElement("Subject")->GetAsString().c_str());
    }
    const auto unread = root->CreateElementList("Items/*[IsRead=\"false\"]");
    std::printf("\nUnread: %d; meeting requests: %d; first sender: %s\n", unread->Count(),
                root->CreateElementList("items/meetingrequest")->Count(),
                root->SelectSingleElement("Items/*[0]/From/Mailbox/Name")->GetAsString().c_str());

    // A document type declaration is refused before anything is expanded or fetched.
    try {
      dv::DvCreateDOM("<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>");
    } catch (const dv::EDvXMLException& e) {
      std::printf("Refused: %s\n", e.what());
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "xml_demo: %s\n", e.what());
    return 1;
  }
}
