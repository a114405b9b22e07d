// The mailbox model: mailboxes, their folder trees and items.
//
// An item is kept as the XML of each of its schema elements (already normalised: booleans as
// true/false, date-times in UTC) keyed by the element's position in its schema type, so writing
// it back in schema order is a walk over an ordered map. Extended MAPI properties and attachments
// are kept beside the elements. Computed elements (ItemId, Size, Attachments, …) are rewritten by
// Refresh after every change.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <pugixml.hpp>

#include "oof.h"
#include "schema.h"

namespace ewssim {

struct Field {
  std::string xml;                  // the whole element, "t:" prefixed
  std::vector<std::string> values;  // its leaf texts, for searching and sorting
};

struct ExtProp {
  std::string key;     // identity: "tag:3591", "{guid}/name:X", "{guid}/id:3"
  std::string uriXml;  // the t:ExtendedFieldURI element as first given
  std::string type;    // MapiPropertyTypeType
  bool multi = false;
  std::vector<std::string> values;
};

struct Item;
class EventHub;

struct Attachment {
  uint32_t num = 0;
  bool isItem = false;
  std::string name, contentType, contentId, contentLocation;
  bool isInline = false;
  bool isContactPhoto = false;
  std::string content;         // file attachments: the raw bytes
  std::shared_ptr<Item> item;  // item attachments
  int64_t lastModified = 0;
  size_t Size() const;
};

struct Item {
  uint64_t id = 0;
  uint64_t changeKey = 0;
  uint32_t folder = 0;
  std::string kind;  // element name: Message, CalendarItem, Contact, …
  const SchemaType* type = nullptr;
  std::map<int, Field> fields;
  std::vector<ExtProp> ext;
  std::vector<Attachment> attachments;
  uint32_t nextAttachment = 1;
  int64_t created = 0;
  int64_t modified = 0;
  // The change key that each property path last set by UpdateItem got ("item:Subject",
  // "contacts:EmailAddress#EmailAddress1", an extended property's key): how an update made with
  // an older change key finds the properties changed since.
  std::map<std::string, uint64_t> changedAt;
  // Calendar masters: their modified occurrences (exceptions), by 1-based instance index.
  std::map<int, std::shared_ptr<Item>> exceptions;

  std::shared_ptr<Item> Clone() const;
  const Field* Get(std::string_view element) const;
  std::string Value(std::string_view element) const;  // first leaf text or ""
  bool Bool(std::string_view element, bool fallback) const;
  void Set(std::string_view element, Field f);
  void SetText(std::string_view element, std::string_view text);  // simple element
  void Erase(std::string_view element);
  ExtProp* FindExt(const std::string& key);
};

struct Folder {
  uint32_t id = 0;
  uint32_t parent = 0;  // 0: none
  std::string distinguished;
  std::string kind = "Folder";  // Folder, CalendarFolder, ContactsFolder, TasksFolder, SearchFolder
  std::string displayName;
  std::string folderClass;
  uint64_t changeKey = 0;
  std::vector<ExtProp> ext;
  std::set<uint64_t> items;
  std::set<uint32_t> children;
  int64_t created = 0;
  uint64_t version = 0;  // bumps on any change of the folder's contents
  // Search folders: the restriction (as XML) and the folders searched.
  std::string searchRestriction;
  std::vector<uint32_t> searchRoots;
  bool searchDeep = false;
};

// A user configuration object (GetUserConfiguration and friends): named, kept per folder.
struct UserConfigObject {
  std::string dictionary;  // the t:Dictionary element as given, empty when none
  std::string xmlData;     // Base64 text, empty when none
  std::string binaryData;  // Base64 text, empty when none
  bool hasDictionary = false, hasXmlData = false, hasBinaryData = false;
  uint64_t changeKey = 0;
};

struct Mailbox {
  uint16_t index = 0;
  std::string address;
  std::string displayName;
  OofSettings oof;
  // User configuration objects by (folder id, name).
  std::map<std::pair<uint32_t, std::string>, UserConfigObject> userConfigs;
  std::map<uint32_t, Folder> folders;
  std::unordered_map<uint64_t, std::shared_ptr<Item>> items;
  std::map<std::string, uint32_t> distinguished;
  uint64_t nextItem = 1;
  uint32_t nextFolder = 1;

  Folder* FolderById(uint32_t id);
  Folder* Distinguished(const std::string& name);
  Item* ItemById(uint64_t id);
  uint32_t CreateFolder(uint32_t parent, const std::string& name, const std::string& kind,
                        const std::string& cls, const std::string& dist = {});
  // Adds an item to a folder, giving it an id when it has none.
  Item* AddItem(std::shared_ptr<Item> item, uint32_t folder);
  void RemoveItem(uint64_t id);
  // Moves an item into another folder; with `newId` it is given a new id (the old one is gone).
  void MoveItem(Item& item, uint32_t folder, bool newId = false);
  void RemoveFolderTree(uint32_t id);
  long UnreadCount(const Folder& f) const;
};

// Identifiers: opaque Base64 texts naming a folder, item or attachment of one mailbox.
enum class IdKind : uint8_t { Folder = 'F', Item = 'I', Attachment = 'A' };
struct DecodedId {
  IdKind kind = IdKind::Item;
  uint16_t mailbox = 0;
  uint64_t local = 0;
  uint32_t attachment = 0;
};
std::string EncodeId(IdKind kind, uint16_t mailbox, uint64_t local, uint32_t attachment = 0);
std::string EncodeRawId(uint8_t version, IdKind kind, uint16_t mailbox, uint64_t local,
                        uint32_t attachment = 0);  // the bytes behind an id
// Throws ErrorInvalidIdMalformed / ErrorInvalidIdEmpty.
DecodedId DecodeId(const std::string& text);
std::optional<DecodedId> DecodeRawId(const std::string& bytes);
std::string EncodeChangeKey(uint64_t ck);
uint64_t DecodeChangeKey(const std::string& text);  // 0 when malformed

class Store {
 public:
  mutable std::shared_mutex mutex;
  std::vector<std::unique_ptr<Mailbox>> mailboxes;
  std::atomic<uint64_t> changeCounter{1};
  std::atomic<uint64_t> generation{1};  // bumps after every writing operation
  // Tells stores apart in process-wide caches (several servers may run in one process, and their
  // generations, folder ids and mailbox indexes coincide).
  const uint64_t instance = NextInstance();
  EventHub* events = nullptr;  // the notifications of the server that serves this store

  Mailbox* Find(const std::string& address);
  Mailbox* At(uint16_t index);
  Mailbox& Add(const std::string& address, const std::string& displayName);
  uint64_t NextChangeKey() { return changeCounter.fetch_add(1); }

 private:
  static uint64_t NextInstance() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1);
  }
};

// A mailbox named in an item's address element (From, ToRecipients, …).
struct Recipient {
  std::string name, email;
};
// The mailboxes of one of the item's address elements, in order; none when it is absent.
std::vector<Recipient> RecipientsOf(const Item& item, std::string_view element);

// Kinds of item and the schema type of each.
const std::string* ItemTypeName(std::string_view kind);
std::string DefaultItemClass(std::string_view kind);
bool IsMessageKind(std::string_view kind);
std::string DefaultFolderFor(std::string_view kind);

// Identity of an extended property from its t:ExtendedFieldURI; throws
// ErrorInvalidExtendedProperty.
std::string ExtKeyOf(const pugi::xml_node& uri);

// Writing context: the zone that zone-less date-times of the request are in.
struct ParseContext {
  const SchemaModel* schema = nullptr;
  std::string timeZone;
};

// Normalised element copy: <t:Name ...> with booleans/date-times rewritten; collects leaf texts.
Field MakeField(const ParseContext& ctx, const pugi::xml_node& n, const std::string& typeName);
ExtProp ParseExtProp(const pugi::xml_node& n);
void WriteExtProp(std::string& out, const ExtProp& p);

// Builds an item from a request element (t:Message, t:Contact, …); throws EwsError.
std::shared_ptr<Item> ParseItem(const ParseContext& ctx, const pugi::xml_node& n);
// Sets an extended property, applying the side effects of the tags that mirror item elements.
void SetExtProp(Item& item, ExtProp p);
std::optional<ExtProp> GetExtProp(const Item& item, const std::string& key);
// The fields Exchange computes for contacts and tasks (ops_contacts.cpp), called by Refresh.
void ApplyKindRules(Item& item);
// Rewrites the computed elements of an item after a change.
void Refresh(const Mailbox& mbx, Item& item, bool touch = true);

struct Shape {
  enum Base { IdOnly, Default, AllProperties } base = Default;
  bool includeMime = false;
  std::string bodyType;  // "", Best, HTML, Text
  std::set<std::string> fields;
  std::vector<std::pair<std::string, std::string>> ext;  // key, uriXml as requested
  struct Indexed {
    std::string container, key, sub;
  };
  std::vector<Indexed> indexed;
  bool forFind = false;
  // Exchange2007 clients: a calendar item's zone as MeetingTimeZone, not StartTimeZone/EndTimeZone.
  bool legacyTimeZones = false;
};
// Reads an ItemShape / FolderShape element; throws ErrorInvalidPropertyRequest on bad paths.
Shape ParseShape(const pugi::xml_node& shape);
void WriteItem(std::string& out, const Mailbox& mbx, const Item& item, const Shape& shape);
void WriteFolder(std::string& out, const Mailbox& mbx, const Folder& f, const Shape& shape);
void WriteAttachment(std::string& out, const Mailbox& mbx, const Item& root, const Attachment& a,
                     bool withContent, bool includeMime, bool withRootIds);

// Field paths: element name from a field URI ("item:Subject" -> "Subject").
std::string ElementOfFieldUri(const std::string& uri);
// Values of a property path (t:FieldURI, t:IndexedFieldURI, t:ExtendedFieldURI) on an item.
std::optional<std::vector<std::string>> PathValues(const Item& item, const pugi::xml_node& path);
std::string PathType(const Item& item, const pugi::xml_node& path);  // xs type local name

}  // namespace ewssim
