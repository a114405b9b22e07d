/// @file
/// Batches: many items in one request per chunk. A TDvEWSBatch works on one store and sends a
/// GetItem, CreateItem, DeleteItem, MoveItem or CopyItem for up to GetChunkSize() items at a time
/// (100 unless set: Exchange's usual limit for one request). Each call gives one result per item,
/// in the caller's order: a failed item does not fail the others, and its result names the
/// server's response code and message.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "uDvEWSFolder.h"
#include "uDvEWSItem.h"
#include "uDvEWSMsgStore.h"

namespace dv {

/// The outcome for one item of a batch.
struct TDvEWSBatchResult {
  /// The item's position in the list the caller gave.
  int Index = -1;
  /// The item's id after the operation: the loaded or created item's, the copy's or moved item's
  /// new id (empty when the server did not return a moved item's), or the id given (delete,
  /// failure).
  TItemId Id;
  /// True when the server carried the operation out for this item.
  bool Ok = false;
  /// The server's response code ("NoError", "ErrorItemNotFound", …); empty when the item failed
  /// with an exception (a request that failed as a whole, an item saved or sent on its own).
  std::string ResponseCode;
  /// Why the item failed: the server's message text, or the exception's (empty on success).
  std::string Message;
  /// The item object: loaded (GetItems), or the item saved or sent.
  DvEWSItemPtr Item;
};
/// The results of a batch, one per item, in the caller's order.
using TDvEWSBatchResults = std::vector<TDvEWSBatchResult>;

/// Batched item operations on one store. When a whole request fails (transport, SOAP fault, a
/// response that lacks messages), its items and every item not yet sent are reported failed with
/// that error and nothing more is sent. Not thread-safe (as the session beneath it).
class TDvEWSBatch {
 public:
  /// A batch over `store` (dv::Exception when it is not a message store of this library).
  explicit TDvEWSBatch(const DvEWSMsgStorePtr& store);

  /// The most items one request carries (100 to begin with).
  int GetChunkSize() const { return FChunkSize; }
  /// Sets the chunk size; dv::Exception "The chunk size must be at least 1!" below 1.
  void SetChunkSize(int value);

  /// Loads the items: one GetItem per chunk. With no `fieldURIs` each item comes with all
  /// properties (as IDvEWSMsgStore::GetItem); with some ("item:Subject", "message:IsRead", …)
  /// only with those, the rest being loaded on demand when read. Results carry item objects of
  /// their kind.
  TDvEWSBatchResults GetItems(const std::vector<TItemId>& ids,
                              const std::vector<std::string>& fieldURIs = {});
  /// As above for every row of the table from its first (the table is opened when inactive).
  TDvEWSBatchResults GetItems(IDvEWSItems& table, const std::vector<std::string>& fieldURIs = {});
  /// The table's current row as an item object, without a request: the columns the row holds
  /// are its values, any other property is loaded on demand when read.
  DvEWSItemPtr ItemOfRow(IDvEWSItems& table);

  /// Saves the items. New items without attachments (text bodies, no inline images) go in one
  /// CreateItem per chunk of items sharing the same target folder and are not reloaded (see
  /// IDvEWSItem::SaveChanges); any other item is saved by its own SaveChanges.
  TDvEWSBatchResults SaveItems(const std::vector<DvEWSItemPtr>& items,
                               TDvEWSSaveOption option = TDvEWSSaveOption::soAutoResolve);
  /// Sends the messages. New messages without attachments go in one CreateItem per chunk
  /// ("SendAndSaveCopy" into Sent Items, or "SendOnly"); any other by its own SubmitMessage.
  TDvEWSBatchResults SendItems(const std::vector<DvEWSItemPtr>& items, bool saveCopy = true);
  /// Deletes the items: one DeleteItem per chunk (meeting cancellations sent to all and task
  /// deletions of all occurrences, as IDvEWSFolder::DeleteItem does for one item).
  TDvEWSBatchResults DeleteItems(const std::vector<TItemId>& ids,
                                 TDvEWSFolderDeleteType deleteType);
  /// Moves the items into a folder: one MoveItem per chunk; results carry the new ids.
  TDvEWSBatchResults MoveItems(const std::vector<TItemId>& ids, const TItemId& toFolderId);
  /// Copies the items into a folder: one CopyItem per chunk; results carry the copies' ids.
  TDvEWSBatchResults CopyItems(const std::vector<TItemId>& ids, const TItemId& toFolderId);

 private:
  TDvEWSBatchResults MoveOrCopy(const std::vector<TItemId>& ids, const TItemId& toFolderId,
                                bool move);
  void CreateChunks(const std::vector<DvEWSItemPtr>& items, TDvEWSBatchResults& results,
                    const char* disposition, bool saveCopy);

  DvEWSMsgStorePtr FStorePtr;
  TDvEWSMsgStore* FStore = nullptr;
  int FChunkSize = 100;
};

}  // namespace dv
