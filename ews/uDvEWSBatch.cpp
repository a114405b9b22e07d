// Batched item operations: one request per chunk, one result per item.
#include "uDvEWSBatch.h"

#include <algorithm>
#include <exception>

#include "DvUtils.h"
#include "uDvEWS.h"
#include "uDvEWSMessage.h"

namespace dv {

namespace {

TItemId IdOf(const DvDOMElementPtr& element) {
  return TItemId(element->GetAttribute("Id"), element->GetAttribute("ChangeKey"));
}

// The first ItemId below a response message's Items, or none.
DvDOMElementPtr ReturnedItemId(const DvDOMElementPtr& message) {
  DvDOMElementPtr items = message->ElementByName("Items");
  if (!items || items->ElementCount() == 0) return nullptr;
  return items->GetElement(0)->ElementByName("ItemId");
}

// Reads the outcome of one response message into a result. Only "Success" counts: a "Warning"
// (ErrorBatchProcessingStopped, …) means the server did not carry the entry out.
bool ReadOutcome(const DvDOMElementPtr& message, TDvEWSBatchResult& result) {
  DvDOMElementPtr code = message->ElementByName("ResponseCode");
  result.ResponseCode = code ? code->GetAsString() : std::string();
  result.Ok = message->GetAttribute("ResponseClass") == "Success";
  if (!result.Ok) {
    DvDOMElementPtr text = message->ElementByName("MessageText");
    result.Message = text ? text->GetAsString() : result.ResponseCode;
  }
  return result.Ok;
}

// Sends a batched request and gives its response messages, one per entry sent.
std::vector<DvDOMElementPtr> SendBatch(const DvSOAPRequestPtr& request, const std::string& op,
                                       std::size_t expected) {
  DvSOAPResponsePtr response = request->Send();
  DvDOMElementPtr messages = response->GetDocument()->SelectSingleElement(
      "/Envelope/Body/" + op + "Response/ResponseMessages");
  if (!messages || static_cast<std::size_t>(messages->ElementCount()) != expected)
    throw EEWSException("ErrorInvalidServerResponse",
                        "The response does not hold one " + op + "ResponseMessage per item sent!",
                        0);
  std::vector<DvDOMElementPtr> list;
  list.reserve(expected);
  for (std::size_t i = 0; i < expected; ++i)
    list.push_back(messages->GetElement(static_cast<int>(i)));
  return list;
}

// Marks a result failed by an exception (its text names the cause, and the server's code when
// there is one).
void Fail(TDvEWSBatchResult& result, const std::exception& error) {
  result.Ok = false;
  result.ResponseCode.clear();
  result.Message = error.what();
}

// One result per item, in the caller's order, each naming its item; a missing item is misuse.
TDvEWSBatchResults ResultsFor(const std::vector<DvEWSItemPtr>& items) {
  TDvEWSBatchResults results(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    results[i].Index = static_cast<int>(i);
    results[i].Item = items[i];
    if (!items[i]) throw Exception("The batch holds no item at index " + std::to_string(i) + "!");
    results[i].Id = items[i]->GetID();
  }
  return results;
}

TDvEWSBatchResults ResultsFor(const std::vector<TItemId>& ids) {
  TDvEWSBatchResults results(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    results[i].Index = static_cast<int>(i);
    results[i].Id = ids[i];
  }
  return results;
}

}  // namespace

TDvEWSBatch::TDvEWSBatch(const DvEWSMsgStorePtr& store)
    : FStorePtr(store), FStore(dynamic_cast<TDvEWSMsgStore*>(store.get())) {
  if (FStore == nullptr) throw Exception("The batch needs a message store!");
}

void TDvEWSBatch::SetChunkSize(int value) {
  if (value < 1) throw Exception("The chunk size must be at least 1!");
  FChunkSize = value;
}

namespace {

// Adds t:ItemId as the store's own requests do: ChangeKey from Exchange2013_SP1 on.
void AddId(TDvEWSObject& requester, const DvDOMElementPtr& parent, const char* name,
           const TItemId& id) {
  DvDOMElementPtr e = parent->AddElement(name);
  e->SetAttribute("Id", id.Id);
  if (!id.ChangeKey.empty() &&
      requester.Session().GetServerVersion() >= TServerVersion::Exchange2013_SP1)
    e->SetAttribute("ChangeKey", id.ChangeKey);
}

// Runs `send` for each chunk [begin, end) of n entries; when a chunk fails as a whole, that chunk
// and the rest are marked failed and nothing more is sent.
template <typename F>
void ForEachChunk(std::size_t n, int chunkSize, TDvEWSBatchResults& results,
                  const std::vector<std::size_t>& order, F send) {
  const std::size_t size = static_cast<std::size_t>(chunkSize);
  for (std::size_t begin = 0; begin < n; begin += size) {
    const std::size_t end = std::min(n, begin + size);
    try {
      send(begin, end);
    } catch (const std::exception& e) {
      for (std::size_t k = begin; k < n; ++k)
        Fail(results[order.empty() ? k : order[k]], e);
      return;
    }
  }
}

}  // namespace

TDvEWSBatchResults TDvEWSBatch::GetItems(const std::vector<TItemId>& ids,
                                         const std::vector<std::string>& fieldURIs) {
  TDvEWSBatchResults results = ResultsFor(ids);
  ForEachChunk(ids.size(), FChunkSize, results, {}, [&](std::size_t begin, std::size_t end) {
    auto request = FStore->CreateRequest(nullptr, "m:GetItem", "m:GetItemResponse");
    DvDOMElementPtr op = request->GetOperation();
    DvDOMElementPtr shape = op->AddElement("m:ItemShape");
    shape->AddElement("t:BaseShape")->SetAsString(fieldURIs.empty() ? "AllProperties" : "IdOnly");
    if (!fieldURIs.empty()) {
      DvDOMElementPtr additional = shape->AddElement("t:AdditionalProperties");
      for (const std::string& uri : fieldURIs)
        additional->AddElement("t:FieldURI")->SetAttribute("FieldURI", uri);
    }
    DvDOMElementPtr list = op->AddElement("m:ItemIds");
    for (std::size_t i = begin; i < end; ++i)
      AddId(*FStore, list, "t:ItemId", ids[i]);
    std::vector<DvDOMElementPtr> messages = SendBatch(request, "GetItem", end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      TDvEWSBatchResult& r = results[i];
      if (!ReadOutcome(messages[i - begin], r)) continue;
      DvDOMElementPtr items = messages[i - begin]->ElementByName("Items");
      if (!items || items->ElementCount() != 1) {
        r.Ok = false;
        r.ResponseCode = "ErrorItemNotFound";
        r.Message = "There was no ItemId in the SOAP Response!";
        continue;
      }
      DvDOMElementPtr element = items->GetElement(0);
      r.Item = DvEWSCreateLoadedItemObject(*FStore, element->GetOwnerDocument(), element);
      if (DvDOMElementPtr id = element->ElementByName("ItemId")) r.Id = IdOf(id);
    }
  });
  return results;
}

TDvEWSBatchResults TDvEWSBatch::GetItems(IDvEWSItems& table,
                                         const std::vector<std::string>& fieldURIs) {
  std::vector<TItemId> ids;
  if (table.GetActive())
    table.First();
  else
    table.Open();
  for (; !table.Eof(); table.Next())
    ids.push_back(table.GetItemId());
  return GetItems(ids, fieldURIs);
}

DvEWSItemPtr TDvEWSBatch::ItemOfRow(IDvEWSItems& table) {
  auto* t = dynamic_cast<TDvEWSTable*>(&table);
  DvDOMElementPtr row = t != nullptr ? t->GetRowElement() : nullptr;
  if (!row) throw Exception("There is no data!");
  // The row lives in the page, which the next page replaces: the item takes a copy of its own.
  DvDOMDocumentPtr document = DvCreateDOM(row->GetXML());
  return DvEWSCreateLoadedItemObject(*FStore, document, document->GetDocumentElement());
}

void TDvEWSBatch::CreateChunks(const std::vector<DvEWSItemPtr>& items, TDvEWSBatchResults& results,
                               const char* disposition, bool saveCopy) {
  const bool sending = std::string(disposition) != "SaveOnly";
  const bool sendsAtOnce = FStore->Session().GetServerVersion() >= TServerVersion::Exchange2013_SP1;
  // Items that can share a CreateItem, grouped by what the request says besides the items: its
  // attributes and target folder.
  std::vector<std::pair<std::string, std::vector<std::size_t>>> groups;
  for (std::size_t i = 0; i < items.size(); ++i) {
    TDvEWSBatchResult& r = results[i];
    auto* core = dynamic_cast<TDvEWSItemCore*>(items[i].get());
    bool join = core != nullptr && core->CanJoinBatchCreate();
    if (join && sending) join = sendsAtOnce && core->GetItemType() == TItemType::tMessage;
    if (!join) {
      try {
        if (!sending) {
          items[i]->SaveChanges(TDvEWSSaveOption::soAutoResolve);
        } else {
          auto mail = std::dynamic_pointer_cast<IDvEWSEMail>(items[i]);
          if (!mail) throw Exception("Only mail messages can be sent!");
          mail->SubmitMessage(saveCopy);
        }
        r.Ok = true;
        r.ResponseCode = "NoError";
        r.Id = items[i]->GetID();
      } catch (const std::exception& e) {
        Fail(r, e);
      }
      continue;
    }
    DvDOMElementPtr op = core->GetBatchCreateRequest()->GetOperation();
    std::string key;
    DvDOMAttributeListPtr attrs = op->GetAttributes();
    for (int a = 0; a < attrs->Count(); ++a) {
      TDvDOMAttribute attr = attrs->GetItem(a);
      key += attr.Name + "=" + attr.Value + ";";
    }
    if (!sending)
      if (DvDOMElementPtr folder = op->ElementByName("SavedItemFolderId")) key += folder->GetXML();
    auto group =
        std::find_if(groups.begin(), groups.end(), [&](const auto& g) { return g.first == key; });
    if (group == groups.end())
      groups.emplace_back(key, std::vector<std::size_t>{i});
    else
      group->second.push_back(i);
  }

  for (const auto& [key, order] : groups) {
    ForEachChunk(order.size(), FChunkSize, results, order, [&](std::size_t begin, std::size_t end) {
      auto* first = dynamic_cast<TDvEWSItemCore*>(items[order[begin]].get());
      auto request = first->CreateRequest(nullptr, "m:CreateItem", "m:CreateItemResponse");
      DvDOMElementPtr op = request->GetOperation();
      DvDOMElementPtr held = first->GetBatchCreateRequest()->GetOperation();
      DvDOMAttributeListPtr attrs = held->GetAttributes();
      for (int a = 0; a < attrs->Count(); ++a) {
        TDvDOMAttribute attr = attrs->GetItem(a);
        if (attr.Name.rfind("xmlns", 0) != 0) op->SetAttribute(attr.Name, attr.Value);
      }
      op->SetAttribute("MessageDisposition", disposition);
      if (!sending) {
        if (DvDOMElementPtr folder = held->ElementByName("SavedItemFolderId"))
          op->AppendCopy(folder);
      } else if (saveCopy) {
        op->AddElement("m:SavedItemFolderId")
            ->AddElement("t:DistinguishedFolderId")
            ->SetAttribute("Id", "sentitems");
      }
      DvDOMElementPtr list = op->AddElement("m:Items");
      for (std::size_t k = begin; k < end; ++k)
        dynamic_cast<TDvEWSItemCore*>(items[order[k]].get())->AppendToBatchCreate(list);
      std::vector<DvDOMElementPtr> messages = SendBatch(request, "CreateItem", end - begin);
      for (std::size_t k = begin; k < end; ++k) {
        TDvEWSBatchResult& r = results[order[k]];
        if (!ReadOutcome(messages[k - begin], r)) continue;
        auto* core = dynamic_cast<TDvEWSItemCore*>(items[order[k]].get());
        if (sending) {
          if (auto* mail = dynamic_cast<TDvEWSEMail*>(core))
            mail->GetCurrent()->SetIsSubmitted(true);
          continue;
        }
        DvDOMElementPtr id = ReturnedItemId(messages[k - begin]);
        if (!id) {
          r.Ok = false;
          r.ResponseCode = "ErrorInvalidServerResponse";
          r.Message = "There was no ItemId in the SOAP Response!";
          continue;
        }
        r.Id = IdOf(id);
        core->BatchCreated(r.Id);
      }
    });
  }
}

TDvEWSBatchResults TDvEWSBatch::SaveItems(const std::vector<DvEWSItemPtr>& items,
                                          TDvEWSSaveOption option) {
  TDvEWSBatchResults results = ResultsFor(items);
  // Items saved one by one use the caller's option; a CreateItem has none.
  std::vector<DvEWSItemPtr> batchItems;
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < items.size(); ++i) {
    auto* core = dynamic_cast<TDvEWSItemCore*>(items[i].get());
    if (core != nullptr && core->CanJoinBatchCreate()) {
      positions.push_back(i);
      batchItems.push_back(items[i]);
      continue;
    }
    try {
      items[i]->SaveChanges(option);
      results[i].Ok = true;
      results[i].ResponseCode = "NoError";
      results[i].Id = items[i]->GetID();
    } catch (const std::exception& e) {
      Fail(results[i], e);
    }
  }
  TDvEWSBatchResults sub(batchItems.size());
  for (std::size_t k = 0; k < positions.size(); ++k)
    sub[k] = results[positions[k]];
  CreateChunks(batchItems, sub, "SaveOnly", false);
  for (std::size_t k = 0; k < positions.size(); ++k)
    results[positions[k]] = sub[k];
  return results;
}

TDvEWSBatchResults TDvEWSBatch::SendItems(const std::vector<DvEWSItemPtr>& items, bool saveCopy) {
  TDvEWSBatchResults results = ResultsFor(items);
  CreateChunks(items, results, saveCopy ? "SendAndSaveCopy" : "SendOnly", saveCopy);
  return results;
}

TDvEWSBatchResults TDvEWSBatch::DeleteItems(const std::vector<TItemId>& ids,
                                            TDvEWSFolderDeleteType deleteType) {
  TDvEWSBatchResults results = ResultsFor(ids);
  ForEachChunk(ids.size(), FChunkSize, results, {}, [&](std::size_t begin, std::size_t end) {
    auto request = FStore->CreateRequest(nullptr, "m:DeleteItem", "m:DeleteItemResponse");
    DvDOMElementPtr op = request->GetOperation();
    op->SetAttribute("DeleteType", DvEWSDeleteTypeText(deleteType));
    // Exchange requires both for calendar items and tasks, and ignores them for other kinds.
    op->SetAttribute("SendMeetingCancellations", "SendToAllAndSaveCopy");
    op->SetAttribute("AffectedTaskOccurrences", "AllOccurrences");
    DvDOMElementPtr list = op->AddElement("m:ItemIds");
    for (std::size_t i = begin; i < end; ++i)
      AddId(*FStore, list, "t:ItemId", ids[i]);
    std::vector<DvDOMElementPtr> messages = SendBatch(request, "DeleteItem", end - begin);
    for (std::size_t i = begin; i < end; ++i)
      ReadOutcome(messages[i - begin], results[i]);
  });
  return results;
}

TDvEWSBatchResults TDvEWSBatch::MoveItems(const std::vector<TItemId>& ids,
                                          const TItemId& toFolderId) {
  return MoveOrCopy(ids, toFolderId, true);
}

TDvEWSBatchResults TDvEWSBatch::CopyItems(const std::vector<TItemId>& ids,
                                          const TItemId& toFolderId) {
  return MoveOrCopy(ids, toFolderId, false);
}

TDvEWSBatchResults TDvEWSBatch::MoveOrCopy(const std::vector<TItemId>& ids,
                                           const TItemId& toFolderId, bool move) {
  const std::string name = move ? "MoveItem" : "CopyItem";
  TDvEWSBatchResults results = ResultsFor(ids);
  ForEachChunk(ids.size(), FChunkSize, results, {}, [&](std::size_t begin, std::size_t end) {
    auto request = FStore->CreateRequest(nullptr, "m:" + name, "m:" + name + "Response");
    DvDOMElementPtr op = request->GetOperation();
    AddId(*FStore, op->AddElement("m:ToFolderId"), "t:FolderId", toFolderId);
    DvDOMElementPtr list = op->AddElement("m:ItemIds");
    for (std::size_t i = begin; i < end; ++i)
      AddId(*FStore, list, "t:ItemId", ids[i]);
    std::vector<DvDOMElementPtr> messages = SendBatch(request, name, end - begin);
    for (std::size_t i = begin; i < end; ++i) {
      if (!ReadOutcome(messages[i - begin], results[i])) continue;
      // A moved item has a new id and the old one no longer names it; a server that does not
      // return the new id (a move to another mailbox) leaves it unknown.
      if (DvDOMElementPtr id = ReturnedItemId(messages[i - begin]))
        results[i].Id = IdOf(id);
      else if (move)
        results[i].Id = TItemId();
    }
  });
  return results;
}

}  // namespace dv
