/// @file
/// The base of every object the library hands out for a mailbox thing (store, folder, item,
/// meeting response): TDvEWSObject ties the object to the session that carries its requests,
/// keeps its identifier and passes request creation up the chain of objects that created it.
/// TDvEWSPropObject<T> adds EWS properties over a schema class T: the current data that typed
/// getters and setters read and write, and a snapshot of the data as bound, against which changes
/// are found.
///
/// Objects are reference-counted: create them with std::make_shared (or DvEWSCreateObject) and
/// hold them through their interfaces. A child may keep its creator alive (an item keeps its
/// folder alive), never the other way round. The session is a component: when it is destroyed,
/// the objects below it lose their session link and raise "There is no active EWS Session!".
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "DvSOAP.h"
#include "DvSysUtils.h"
#include "DvXML.h"
#include "DvXMLSchema.h"
#include "uDvEWSBase.h"
#include "uDvEWSInterfaces.h"
#include "uDvEWSInterfacesRecipients.h"
#include "uDvEWSInterfacesValues.h"

namespace dv {

class IDvHTTPClient;
class TDvSOAPClient;
class IDvSOAPRequest;

// ---- Interfaces ----

/// Anything the library hands out for a mailbox thing (store, folder, item, table): an id and
/// the object that created it.
class IDvEWSObject {
 public:
  virtual ~IDvEWSObject() = default;
  /// The object's server id (empty for a new one).
  virtual TItemId GetID() = 0;
  /// The component that created this object (a session, a store, a folder, an item); none once
  /// a creator that was not kept alive has been destroyed.
  virtual TDvComponent* GetCreatedBy() const = 0;
};
/// A shared object.
using DvEWSObjectPtr = std::shared_ptr<IDvEWSObject>;

class TDvEWSProperties;
class TDvEWSProperty;

/// An object with properties read by definition (folders and items): PropertyByName gives a
/// value object to read or set (GetAsString, SetAsString, …).
class IDvEWSPropObject : public virtual IDvEWSObject {
 public:
  /// The property values asked for so far.
  virtual TDvEWSProperties& GetProperties() = 0;
  /// Hands the object to the global ShowProperties hook.
  virtual void DisplayProperties() = 0;
  /// The value object of a property (GetPropDef("PR_SUBJECT"), GetFieldDef(…)->PropDef),
  /// added to the properties when first asked for; its value is fetched when the load left it
  /// out.
  virtual TDvEWSProperty* PropertyByName(const TDvEWSPropDef& def) = 0;
  /// True when the object's data has a value for the property.
  virtual bool HasProperty(const TDvEWSPropDef& def) = 0;
};
/// A shared property object.
using DvEWSPropObjectPtr = std::shared_ptr<IDvEWSPropObject>;

/// The property viewer: installed by a dialog module or the application; empty until then.
/// Set it before objects are displayed (it is not locked).
using TDvShowProperties = std::function<void(const DvEWSPropObjectPtr& APropObj)>;
/// The installed property viewer (empty by default).
extern TDvShowProperties ShowProperties;

// ---- TDvEWSObject ----

/// The base of every object below the session: the creator chain that requests are made
/// through, the session reference and the stored id.
class TDvEWSObject : public TDvComponent,
                     public virtual IDvEWSObject,
                     public IDvEWSPublished,
                     public std::enable_shared_from_this<TDvEWSObject> {
 public:
  /// Finds the session by walking owner's creator chain; Exception "Failed to find the EWS
  /// Session!" when there is none. With keepOwnerAlive and an owner that is a TDvEWSObject held
  /// by a std::shared_ptr, this object keeps a reference on it for its whole life.
  TDvEWSObject(TDvComponent* owner, bool keepOwnerAlive);
  ~TDvEWSObject() override;

  TDvComponent* GetCreatedBy() const override { return FCreatedBy; }
  /// The stored identifier; subclasses read and write their data instead.
  TItemId GetID() override { return FID; }
  /// Sets the stored identifier.
  virtual void SetId(const TItemId& id) { FID = id; }

  /// The session, or none once it has been destroyed.
  TDvEWSBaseSession* GetSession() const { return FSession; }
  /// The session's interface; Exception "There is no active EWS Session!" when it is gone.
  IDvEWSSession& Session() const;
  /// True when the object holds its creator alive.
  bool GetKeepOwnerAlive() const { return FKeepOwnerAlive; }

  /// A new HTTP client with the session's settings.
  std::shared_ptr<IDvHTTPClient> CreateHTTPClient(bool shareConnection);
  /// A new SOAP client over `client`, set up as the session's.
  std::shared_ptr<TDvSOAPClient> CreateSOAPClient(const std::shared_ptr<IDvHTTPClient>& client);
  /// Through the creator when it is a TDvEWSObject (so headers added higher up reach every request
  /// below), else through the session. requestName and responseName are qualified element names
  /// ("m:GetItem"); the response name may be empty; client may be null (the session's own).
  virtual std::shared_ptr<IDvSOAPRequest> CreateRequest(
      const std::shared_ptr<TDvSOAPClient>& client, const std::string& requestName,
      const std::string& responseName);
  /// Raises dv::EEWSException when the response message is not a success.
  void CheckResponseError(const DvDOMElementPtr& responseMessage);
  /// Sends the request and gives the single response message of the operation ("GetFolder" reads
  /// /Envelope/Body/GetFolderResponse/ResponseMessages/GetFolderResponseMessage), checked with
  /// CheckResponseError; EEWSException "ErrorInvalidServerResponse" when there is none.
  DvDOMElementPtr SendChecked(const std::shared_ptr<IDvSOAPRequest>& request,
                              const std::string& operation);

  /// The published properties of the class (none for the base).
  const TDvEWSPublishedClass& GetPublishedClass() const override { return PublishedClass; }
  /// The base's (empty) published class.
  static const TDvEWSPublishedClass PublishedClass;

  /// Objects alive in this process (constructed and not yet destroyed).
  static std::int64_t LiveObjectCount();

 protected:
  void Notification(TDvComponent* component, TOperation operation) override;

 private:
  TDvComponent* FCreatedBy = nullptr;
  TItemId FID;
  TDvEWSBaseSession* FSession = nullptr;
  TDvComponent* FSessionComponent = nullptr;  // the same object, compared on removal
  bool FKeepOwnerAlive = false;
  std::shared_ptr<TDvEWSObject> FCreatedByRef;         // the keep-alive reference
  std::shared_ptr<std::recursive_mutex> FSessionLock;  // the session's request lock
  TDvEWSObject* FCreatedByObject = nullptr;            // the creator when it is a TDvEWSObject
};

// ---- Property objects ----

/// The part of TDvEWSPropObject<T> that does not depend on T.
class TDvEWSPropObjectBase : public TDvEWSObject, public virtual IDvEWSPropObject {
 public:
  /// An unbound object of `owner`; `keepOwnerAlive` makes it hold its creator alive.
  TDvEWSPropObjectBase(TDvComponent* owner, bool keepOwnerAlive);
  ~TDvEWSPropObjectBase() override;

  /// Binds the object to an element: the current data over the element itself (setters change
  /// it in place) and a snapshot over a new document made from its XML text as it stands now.
  virtual void SetPropData(const DvDOMElementPtr& element);
  /// desCurrent: the current data; desOriginal: the snapshot; none while unbound. The flag is
  /// accepted and not used.
  TDvXMLSchemaElement* GetData(TDvEWSGetDataElmSource source, bool raiseIfNoData);
  /// The snapshot's document (none while unbound).
  DvDOMDocumentPtr GetDocument() const { return FDocument; }

  /// The property values asked for so far.
  TDvEWSProperties& GetProperties() override { return *FProperties; }
  /// The value object of a property (see IDvEWSPropObject::PropertyByName).
  TDvEWSProperty* PropertyByName(const TDvEWSPropDef& def) override;
  /// True when the data has a value for the property.
  bool HasProperty(const TDvEWSPropDef& def) override;
  /// Marks the property deleted when the list has it; nothing otherwise.
  void DeleteProperty(const TDvEWSPropDef& def);
  /// Hands this object to ShowProperties; Exception "There is no property viewer installed!" when
  /// no hook is set.
  void DisplayProperties() override;

 protected:
  /// A wrapper of the schema class over an element.
  virtual std::unique_ptr<TDvXMLSchemaElement> CreateData(const DvDOMElementPtr& element) = 0;

  /// @cond internal
  std::unique_ptr<TDvEWSProperties> FProperties;
  DvDOMDocumentPtr FDocument;
  std::unique_ptr<TDvXMLSchemaElement> FCurrentData;
  std::unique_ptr<TDvXMLSchemaElement> FSnapshot;
  /// @endcond
};

/// A property object over the schema class T (a folder over TEwsFolder, …).
template <typename T>
class TDvEWSPropObject : public TDvEWSPropObjectBase {
  static_assert(std::is_base_of_v<TDvXMLSchemaElement, T>, "T must be a schema class");

 public:
  /// As TDvEWSPropObjectBase.
  using TDvEWSPropObjectBase::TDvEWSPropObjectBase;

  /// The current data and the snapshot, typed (none while unbound).
  T* GetCurrent() const { return static_cast<T*>(FCurrentData.get()); }
  /// The snapshot, typed.
  T* GetOriginal() const { return static_cast<T*>(FSnapshot.get()); }

 protected:
  /// Wraps an element in T.
  std::unique_ptr<TDvXMLSchemaElement> CreateData(const DvDOMElementPtr& element) override {
    return std::make_unique<T>(element);
  }
};

}  // namespace dv
