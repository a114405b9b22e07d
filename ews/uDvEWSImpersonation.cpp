#include "uDvEWSImpersonation.h"

#include "DvSOAP.h"
#include "DvXML.h"

namespace dv {

TDvEWSImpersonatedMsgStore::TDvEWSImpersonatedMsgStore(TDvComponent* owner,
                                                       const std::string& smtpAddress)
    : TDvEWSMsgStore(owner, smtpAddress), FSmtpAddress(smtpAddress) {}

std::shared_ptr<IDvSOAPRequest> TDvEWSImpersonatedMsgStore::CreateRequest(
    const std::shared_ptr<TDvSOAPClient>& client, const std::string& requestName,
    const std::string& responseName) {
  std::shared_ptr<IDvSOAPRequest> request =
      TDvEWSMsgStore::CreateRequest(client, requestName, responseName);
  if (FSmtpAddress.empty()) return request;
  DvDOMElementPtr impersonation;
  DvDOMElementPtr header = request->GetHeader();
  for (int i = 0; header && i < header->ElementCount(); ++i) {
    DvDOMElementPtr e = header->GetElement(i);
    if (e->GetLocalName() == "ExchangeImpersonation") {
      impersonation = e;
      impersonation->Clear();
      break;
    }
  }
  if (!impersonation) impersonation = request->AddHeader("t:ExchangeImpersonation");
  impersonation->AddElement("t:ConnectingSID")
      ->AddElement("t:PrimarySmtpAddress")
      ->SetAsString(FSmtpAddress);
  return request;
}

}  // namespace dv
