/// @file
/// Incremental folder synchronisation: SyncFolderItems and SyncFolderHierarchy with their sync
/// state, page by page, the changes given as objects. With change notifications it makes sure
/// no change is lost: after OnMissedEvents (or at start) a sync brings a copy up to date.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "uDvEWSBaseObject.h"
#include "uDvEWSFolder.h"
#include "uDvEWSInterfacesRecipients.h"

namespace dv {

/// The kind of one synchronisation change.
enum class TDvEWSSyncChangeType { sctCreate, sctUpdate, sctDelete, sctReadFlagChange };

/// One change: the object's id, and for creations and updates its element as the server wrote it
/// (t:Message, t:Folder, …) with the properties of the requested shape.
struct TDvEWSSyncChange {
  TDvEWSSyncChangeType ChangeType = TDvEWSSyncChangeType::sctCreate;
  TItemId Id;
  std::string ElementName;  ///< "Message", "CalendarItem", "Folder", … (creations and updates)
  DvDOMElementPtr Element;  ///< the object's element (creations and updates)
  bool IsRead = false;      ///< ReadFlagChange
};

/// One page of changes.
struct TDvEWSSyncResult {
  std::vector<TDvEWSSyncChange> Changes;
  std::string SyncState;  ///< give it to the next call
  bool IncludesLastInRange = true;
};

/// Synchronises a folder's items or a mailbox's folder tree. Keep SyncState between runs (in a
/// file, say); an empty state starts from nothing.
class TDvEWSFolderSync : public TDvEWSObject {
 public:
  /// Over a folder object (its requests go through it, so impersonation applies).
  explicit TDvEWSFolderSync(const DvEWSFolderPtr& folder);

  /// One page of item changes since `syncState` (at most maxChanges, 1 to 512). `additional`
  /// names fields to return besides the ids ("item:Subject"); `ignore` lists item ids whose
  /// changes are not reported.
  TDvEWSSyncResult SyncItems(const std::string& syncState, int maxChanges = 512,
                             const std::vector<std::string>& additional = {},
                             const std::vector<TItemId>& ignore = {});
  /// Every page until the last: calls `page` with each one's result; gives the final state.
  std::string SyncAllItems(const std::string& syncState,
                           const std::function<void(const TDvEWSSyncResult&)>& page,
                           int maxChanges = 512, const std::vector<std::string>& additional = {});
  /// The folder tree below this folder.
  TDvEWSSyncResult SyncHierarchy(const std::string& syncState);

 private:
  DvEWSFolderPtr FFolder;
};

}  // namespace dv
