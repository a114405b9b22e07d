// The operation handlers and what they share: the request context and response-message writing.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <ewssim/ewssim.h>

#include "http_types.h"
#include "store.h"
#include "util.h"

namespace ewssim {

class ServerImpl;

struct Ctx {
  Ctx(Store& s, const SchemaModel& sc, const Config& cf) : store(s), schema(sc), config(cf) {}
  Store& store;
  const SchemaModel& schema;
  const Config& config;
  const UserConfig* user = nullptr;  // the authenticated user
  Mailbox* self = nullptr;           // the mailbox acted on by default (impersonated or own)
  ParseContext pctx;
  int versionRank = 0;  // index of the request's RequestServerVersion
  pugi::xml_node op;    // the operation element
  std::string out;      // the content of m:ResponseMessages
  // Items made for this request only (calendar occurrences), alive until it is answered.
  std::vector<std::shared_ptr<Item>> scratch;

  // Filled by the transport: a request header's first value (empty when absent), headers added
  // to the answer, the fault drawn for the request, and the start of an answer streamed piece
  // by piece (after which the handler's m:ResponseMessages are not sent).
  std::function<std::string(const std::string&)> requestHeader;
  std::vector<std::pair<std::string, std::string>> responseHeaders;
  const FaultRule* fault = nullptr;
  std::function<std::shared_ptr<HttpStream>()> startStream;
  // The whole response element instead, for operations whose answer has no m:ResponseMessages
  // (GetUserOofSettings, GetRooms, GetUserPhoto, …).
  std::string response;

  // The mailbox named by a t:Mailbox element (own mailbox when null); checks access.
  Mailbox& MailboxOf(const pugi::xml_node& mailboxElement);
  Mailbox& MailboxByIndex(uint16_t index);
  // A t:FolderId or t:DistinguishedFolderId; throws ErrorFolderNotFound and friends.
  std::pair<Mailbox*, Folder*> ResolveFolder(const pugi::xml_node& idElement);
  // The first folder id element under `parent` (m:ParentFolderId, m:SavedItemFolderId, …).
  std::pair<Mailbox*, Folder*> ResolveFolderIn(const pugi::xml_node& parent);
  // A t:ItemId (or any element with Id/ChangeKey attributes naming an item).
  std::pair<Mailbox*, Item*> ResolveItem(const pugi::xml_node& idElement);
  bool MayAccess(const Mailbox& m) const;
};

// <m:{name}ResponseMessage ResponseClass=…> with MessageText/ResponseCode/DescriptiveLinkKey.
void MsgOpen(std::string& out, const std::string& name, const EwsError* error,
             bool warning = false);
void MsgClose(std::string& out, const std::string& name);
// Runs `body` for one response message; an EwsError turns it into an error message whose
// payload is `onError` (such as "<m:Items/>").
void PerMessage(Ctx& c, const std::string& name, const char* onError,
                const std::function<void(std::string&)>& body);

struct OpInfo {
  std::function<void(Ctx&)> handler;
  bool writes = false;
  // The handler writes the whole response element into Ctx::out, for answers that are not a
  // plain list of m:ResponseMessages (GetUserAvailability, GetMailTips).
  bool wholeResponse = false;
};
using OpTable = std::map<std::string, OpInfo, std::less<>>;

void RegisterFolderOps(OpTable& t);
void RegisterItemOps(OpTable& t);
void RegisterFindOps(OpTable& t);
void RegisterMiscOps(OpTable& t);
void RegisterAvailabilityOps(OpTable& t);
void RegisterNotifyOps(OpTable& t);
void RegisterCalendarOps(OpTable& t);
void RegisterServiceOps(OpTable& t);
void RegisterContactOps(OpTable& t);

// Paging of FindItem / FindFolder results as Exchange applies an IndexedPage…View or
// FractionalPage…View (at most 1,000 rows a page).
struct Paging {
  size_t start = 0, count = 0, total = 0;
  bool includesLast = true;
  std::string attributes;  // the RootFolder attributes
};
// A view's MaxEntriesReturned, at most 1,000; throws ErrorInvalidIndexedPagingParameters when
// negative.
size_t MaxEntries(const pugi::xml_node& view);
Paging Page(const pugi::xml_node& op, const char* indexedName, const char* fractionalName,
            size_t total);

// Shared by the item operations: delivery of a message to local recipients.
void DeliverMessage(Ctx& c, Mailbox& sender, const Item& msg);
// A recurring task just completed whose pattern regenerates gets its next task (ops_contacts.cpp).
void RegenerateTask(Ctx& c, Mailbox& m, Item& task, const std::string& statusBefore);
// The automatic reply of an absent recipient to a message just delivered (ops_services.cpp).
void SendAutomaticReply(Ctx& c, Mailbox& recipient, Mailbox& sender, const Item& msg);
// True when `address` is among the e-mail addresses of the mailbox's contacts (the "known"
// senders of an external out-of-office audience of Known; ops_services.cpp).
bool IsKnownSender(const Mailbox& m, const std::string& address);
// User photos: the side in pixels of a UserPhotoSizeType name (0 when unknown), and the picture
// served for a user at that side (none when the user has no photo).
int PhotoSide(const std::string& size);
std::optional<std::string> UserPhotoBytes(const Config& config, const std::string& address,
                                          int side);
// The directory's distribution groups (ops_contacts.cpp): the group of an address (none when it
// is not one), and the people of a group with its nested groups expanded, each address once.
const GroupConfig* GroupOf(const Config& config, const std::string& address);
std::vector<std::string> GroupPeople(const Config& config, const GroupConfig& group);
// Settings of the users' configuration kept in their mailboxes (AllowExternalOof), applied at
// start.
void ApplyUserSettings(Store& store, const Config& config);
// Restriction evaluation (ops_find.cpp), used by search folders too.
bool EvaluateRestriction(const pugi::xml_node& expr, const Item& item);
// Seeds a mailbox with deterministic sample content.
void SeedMailbox(Store& store, const SchemaModel& schema, Mailbox& m, const SeedConfig& seed);

}  // namespace ewssim
