// The object base: the session found up the creator chain, requests made through the chain,
// and property objects over a schema class with a snapshot of their data.
#include "uDvEWSBaseObject.h"

#include "DvHTTP.h"

namespace dv {

TDvShowProperties ShowProperties;

namespace {

std::atomic<std::int64_t> gLiveObjects{0};

[[noreturn]] void RaiseNoSession() {
  throw Exception("There is no active EWS Session!");
}

}  // namespace

const TDvEWSPublishedClass TDvEWSObject::PublishedClass("TDvEWSObject", nullptr);

TDvEWSObject::TDvEWSObject(TDvComponent* owner, bool keepOwnerAlive)
    : TDvComponent(nullptr), FCreatedBy(owner), FKeepOwnerAlive(keepOwnerAlive) {
  FCreatedByObject = dynamic_cast<TDvEWSObject*>(owner);
  if (FCreatedByObject != nullptr && keepOwnerAlive)
    FCreatedByRef = FCreatedByObject->weak_from_this().lock();
  // Walk the creator chain up to the session.
  TDvComponent* c = owner;
  while (c != nullptr) {
    if (auto* session = dynamic_cast<TDvEWSBaseSession*>(c)) {
      FSession = session;
      FSessionComponent = c;
      break;
    }
    auto* object = dynamic_cast<TDvEWSObject*>(c);
    c = object != nullptr ? object->FCreatedBy : nullptr;
  }
  if (FSession == nullptr) throw Exception("Failed to find the EWS Session!");
  // Told when the session goes, and when a creator that is not kept alive goes. Objects of one
  // session may be made and destroyed on several threads: the session's list of them is
  // changed under its lock.
  FSessionLock = FSession->GetRequestLockPtr();
  {
    std::lock_guard<std::recursive_mutex> hold(*FSessionLock);
    FreeNotification(FSessionComponent);
  }
  if (owner != FSessionComponent && !FCreatedByRef) FreeNotification(owner);
  gLiveObjects.fetch_add(1, std::memory_order_relaxed);
}

TDvEWSObject::~TDvEWSObject() {
  gLiveObjects.fetch_sub(1, std::memory_order_relaxed);
  {
    // The creator may be the session itself (a store's is).
    std::lock_guard<std::recursive_mutex> hold(*FSessionLock);
    if (FSessionComponent != nullptr) RemoveFreeNotification(FSessionComponent);
    if (FCreatedBy != nullptr) RemoveFreeNotification(FCreatedBy);
  }
  // Release the creator last, after this object stopped listening to it.
  FCreatedByRef.reset();
}

std::int64_t TDvEWSObject::LiveObjectCount() {
  return gLiveObjects.load(std::memory_order_relaxed);
}

void TDvEWSObject::Notification(TDvComponent* component, TOperation operation) {
  if (operation == TOperation::opRemove) {
    if (component == FSessionComponent) {
      FSession = nullptr;
      FSessionComponent = nullptr;
    }
    if (component == FCreatedBy) {
      FCreatedBy = nullptr;
      FCreatedByObject = nullptr;
    }
  }
  TDvComponent::Notification(component, operation);
}

IDvEWSSession& TDvEWSObject::Session() const {
  if (FSession == nullptr) RaiseNoSession();
  return *FSession;
}

std::shared_ptr<IDvHTTPClient> TDvEWSObject::CreateHTTPClient(bool shareConnection) {
  return Session().CreateHTTPClient(shareConnection);
}

std::shared_ptr<TDvSOAPClient> TDvEWSObject::CreateSOAPClient(
    const std::shared_ptr<IDvHTTPClient>& client) {
  return Session().CreateSOAPClient(client);
}

std::shared_ptr<IDvSOAPRequest> TDvEWSObject::CreateRequest(
    const std::shared_ptr<TDvSOAPClient>& client, const std::string& requestName,
    const std::string& responseName) {
  if (FCreatedByObject != nullptr)
    return FCreatedByObject->CreateRequest(client, requestName, responseName);
  if (FSession == nullptr) RaiseNoSession();
  return FSession->CreateRequest(client, requestName, responseName);
}

DvDOMElementPtr TDvEWSObject::SendChecked(const std::shared_ptr<IDvSOAPRequest>& request,
                                          const std::string& operation) {
  DvSOAPResponsePtr response = request->Send();
  DvDOMElementPtr message = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/" + operation + "Response/ResponseMessages/" + operation + "ResponseMessage");
  if (!message)
    throw EEWSException("ErrorInvalidServerResponse",
                        "The response holds no " + operation + "ResponseMessage!", 0);
  CheckResponseError(message);
  return message;
}

void TDvEWSObject::CheckResponseError(const DvDOMElementPtr& responseMessage) {
  Session().CheckResponseError(responseMessage);
}

// ---- Property objects ----

TDvEWSPropObjectBase::TDvEWSPropObjectBase(TDvComponent* owner, bool keepOwnerAlive)
    : TDvEWSObject(owner, keepOwnerAlive) {
  FProperties = std::make_unique<TDvEWSProperties>(
      this, [this](TDvEWSGetDataElmSource source, bool raiseIfNoData) {
        return GetData(source, raiseIfNoData);
      });
}

TDvEWSPropObjectBase::~TDvEWSPropObjectBase() {
  // Values first: they reach the data through this object.
  FProperties.reset();
  FSnapshot.reset();
  FCurrentData.reset();
}

void TDvEWSPropObjectBase::SetPropData(const DvDOMElementPtr& element) {
  FCurrentData.reset();
  FCurrentData = CreateData(element);
  // The snapshot is a copy of the element as it stands now, in a document of its own.
  DvDOMDocumentPtr document = DvCreateDOM(element->GetXML());
  FSnapshot.reset();
  FDocument = document;
  FSnapshot = CreateData(FDocument->GetDocumentElement());
}

TDvXMLSchemaElement* TDvEWSPropObjectBase::GetData(TDvEWSGetDataElmSource source,
                                                   bool raiseIfNoData) {
  (void)raiseIfNoData;
  return source == TDvEWSGetDataElmSource::desCurrent ? FCurrentData.get() : FSnapshot.get();
}

TDvEWSProperty* TDvEWSPropObjectBase::PropertyByName(const TDvEWSPropDef& def) {
  return FProperties->PropertyByName(def);
}

bool TDvEWSPropObjectBase::HasProperty(const TDvEWSPropDef& def) {
  return FProperties->HasProperty(def);
}

void TDvEWSPropObjectBase::DeleteProperty(const TDvEWSPropDef& def) {
  if (TDvEWSProperty* p = FProperties->FindProperty(def)) p->SetDeleted(true);
}

void TDvEWSPropObjectBase::DisplayProperties() {
  if (!ShowProperties) throw Exception("There is no property viewer installed!");
  auto self = std::dynamic_pointer_cast<IDvEWSPropObject>(shared_from_this());
  ShowProperties(self);
}

}  // namespace dv
