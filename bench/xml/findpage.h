// A FindItem page as Exchange sends it, shared by the XML benchmarks.
#pragma once

#include <string>

namespace ews_bench {

inline constexpr int kRows = 1000;
inline constexpr const char* kRowsPath =
    "/Envelope/Body/FindItemResponse/ResponseMessages/FindItemResponseMessage/RootFolder/"
    "Items/*";

// A long opaque id the way Exchange makes them (Base64 of a binary entry id).
inline std::string LongId(int i) {
  std::string id = "AAMkADk0ZDc2NGI4LWQ1ZjItNDBkMS05ZTA3LTE2NjQxNzE1NTI2ZABGAAAAAAA4QjdF";
  id += "kT0xTKzYOHpVwRdKBwBGAcsDPv2nS5XjKmZ3ddVLAAAAAAEMAABGAcsDPv2nS5XjKmZ3ddVLAAAC";
  id += std::to_string(100000 + i) + "AAA=";
  return id;
}

inline std::string BuildFindItemResponse(int rows = kRows) {
  std::string x;
  x.reserve(static_cast<std::size_t>(rows) * 1100 + 4096);
  x += "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
       "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Header>"
       "<h:ServerVersionInfo MajorVersion=\"15\" MinorVersion=\"20\" MajorBuildNumber=\"7228\" "
       "MinorBuildNumber=\"30\" Version=\"V2018_01_08\" "
       "xmlns:h=\"http://schemas.microsoft.com/exchange/services/2006/types\" "
       "xmlns=\"http://schemas.microsoft.com/exchange/services/2006/types\" "
       "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"/></s:Header>"
       "<s:Body><m:FindItemResponse "
       "xmlns:m=\"http://schemas.microsoft.com/exchange/services/2006/messages\" "
       "xmlns:t=\"http://schemas.microsoft.com/exchange/services/2006/types\">"
       "<m:ResponseMessages><m:FindItemResponseMessage ResponseClass=\"Success\">"
       "<m:ResponseCode>NoError</m:ResponseCode>"
       "<m:RootFolder IndexedPagingOffset=\"1000\" TotalItemsInView=\"4711\" "
       "IncludesLastItemInRange=\"false\"><t:Items>";
  for (int i = 0; i < rows; ++i) {
    const std::string n = std::to_string(i);
    x +=
        "<t:Message><t:ItemId Id=\"" + LongId(i) +
        "\" ChangeKey=\"CQAAABYAAABGAcsDPv2nS5XjKmZ3ddVLAAAC" + n +
        "Ab\"/><t:ParentFolderId Id=\"AAMkADk0ZDc2NGI4LWQ1ZjItNDBkMS05ZTA3LTE2NjQxNzE1NTI2ZAAu"
        "AAAAAAA4QjdFkT0xTKzYOHpVwRdKAQBGAcsDPv2nS5XjKmZ3ddVLAAAAAAEMAAA=\" "
        "ChangeKey=\"AQAAAA==\"/><t:ItemClass>IPM.Note</t:ItemClass>"
        "<t:Subject>Quarterly report &amp; planning, part " +
        n + "</t:Subject><t:Sensitivity>Normal</t:Sensitivity><t:Size>" +
        std::to_string(4096 + i * 13) +
        "</t:Size><t:DateTimeSent>2026-11-30T09:" + std::to_string(10 + i % 50) +
        ":00Z</t:DateTimeSent><t:DateTimeCreated>2026-11-30T09:" + std::to_string(10 + i % 50) +
        ":02Z</t:DateTimeCreated><t:DateTimeReceived>2026-11-30T09:" + std::to_string(10 + i % 50) +
        ":01Z</t:DateTimeReceived><t:HasAttachments>false</t:HasAttachments>"
        "<t:Importance>Normal</t:Importance><t:IsDraft>false</t:IsDraft>"
        "<t:From><t:Mailbox><t:Name>Sender Number " +
        n + "</t:Name><t:EmailAddress>sender" + n +
        "@example.com</t:EmailAddress><t:RoutingType>SMTP</t:RoutingType>"
        "<t:MailboxType>OneOff</t:MailboxType></t:Mailbox></t:From>"
        "<t:ConversationId Id=\"AAQkADk0ZDc2NGI4LWQ1ZjItNDBkMS05ZTA3LTE2NjQxNzE1NTI2ZAAQAC" +
        n + "\"/><t:IsRead>" + (i % 3 ? "true" : "false") + "</t:IsRead></t:Message>";
  }
  x += "</t:Items></m:RootFolder></m:FindItemResponseMessage></m:ResponseMessages>"
       "</m:FindItemResponse></s:Body></s:Envelope>";
  return x;
}

inline const std::string& Page() {
  static const std::string page = BuildFindItemResponse();
  return page;
}

}  // namespace ews_bench
