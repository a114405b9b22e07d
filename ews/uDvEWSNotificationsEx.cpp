#include "uDvEWSNotificationsEx.h"

#include "DvSOAP.h"
#include "DvXML.h"

namespace dv {

namespace {

TDvEWSSyncResult ReadChanges(const DvDOMElementPtr& message, const char* includesLast) {
  TDvEWSSyncResult result;
  if (auto state = message->SelectSingleElement("SyncState"))
    result.SyncState = state->GetAsString();
  if (auto last = message->SelectSingleElement(includesLast))
    result.IncludesLastInRange = last->GetAsString() != "false";
  DvDOMElementPtr changes = message->SelectSingleElement("Changes");
  if (!changes) return result;
  for (const DvDOMElementPtr& c : changes->Elements()) {
    TDvEWSSyncChange change;
    const std::string kind = c->GetLocalName();
    if (kind == "Create" || kind == "Update") {
      change.ChangeType =
          kind == "Create" ? TDvEWSSyncChangeType::sctCreate : TDvEWSSyncChangeType::sctUpdate;
      auto children = c->Elements();
      if (children.empty()) continue;
      change.Element = children.front();
      change.ElementName = change.Element->GetLocalName();
      DvDOMElementPtr id = change.Element->SelectSingleElement("ItemId");
      if (!id) id = change.Element->SelectSingleElement("FolderId");
      if (id) change.Id = TItemId(id->GetAttribute("Id"), id->GetAttribute("ChangeKey"));
    } else {
      change.ChangeType = kind == "Delete" ? TDvEWSSyncChangeType::sctDelete
                                           : TDvEWSSyncChangeType::sctReadFlagChange;
      DvDOMElementPtr id = c->SelectSingleElement("ItemId");
      if (!id) id = c->SelectSingleElement("FolderId");
      if (id) change.Id = TItemId(id->GetAttribute("Id"), id->GetAttribute("ChangeKey"));
      if (auto read = c->SelectSingleElement("IsRead"))
        change.IsRead = read->GetAsString() == "true";
    }
    result.Changes.push_back(std::move(change));
  }
  return result;
}

}  // namespace

TDvEWSFolderSync::TDvEWSFolderSync(const DvEWSFolderPtr& folder)
    : TDvEWSObject(dynamic_cast<TDvComponent*>(folder.get()), false), FFolder(folder) {}

TDvEWSSyncResult TDvEWSFolderSync::SyncItems(const std::string& syncState, int maxChanges,
                                             const std::vector<std::string>& additional,
                                             const std::vector<TItemId>& ignore) {
  auto request = CreateRequest(nullptr, "m:SyncFolderItems", "");
  DvDOMElementPtr op = request->GetOperation();
  DvDOMElementPtr shape = op->AddElement("m:ItemShape");
  shape->AddElement("t:BaseShape")->SetAsString("IdOnly");
  if (!additional.empty()) {
    DvDOMElementPtr props = shape->AddElement("t:AdditionalProperties");
    for (const std::string& field : additional)
      props->AddElement("t:FieldURI")->SetAttribute("FieldURI", field);
  }
  DvDOMElementPtr folderId = op->AddElement("m:SyncFolderId")->AddElement("t:FolderId");
  const TItemId id = FFolder->GetID();
  folderId->SetAttribute("Id", id.Id);
  if (!syncState.empty()) op->AddElement("m:SyncState")->SetAsString(syncState);
  if (!ignore.empty()) {
    DvDOMElementPtr list = op->AddElement("m:Ignore");
    for (const TItemId& i : ignore)
      list->AddElement("t:ItemId")->SetAttribute("Id", i.Id);
  }
  op->AddElement("m:MaxChangesReturned")->SetAsString(std::to_string(maxChanges));
  return ReadChanges(SendChecked(request, "SyncFolderItems"), "IncludesLastItemInRange");
}

std::string TDvEWSFolderSync::SyncAllItems(const std::string& syncState,
                                           const std::function<void(const TDvEWSSyncResult&)>& page,
                                           int maxChanges,
                                           const std::vector<std::string>& additional) {
  std::string state = syncState;
  for (;;) {
    TDvEWSSyncResult result = SyncItems(state, maxChanges, additional);
    state = result.SyncState;
    if (page) page(result);
    if (result.IncludesLastInRange) return state;
  }
}

TDvEWSSyncResult TDvEWSFolderSync::SyncHierarchy(const std::string& syncState) {
  auto request = CreateRequest(nullptr, "m:SyncFolderHierarchy", "");
  DvDOMElementPtr op = request->GetOperation();
  op->AddElement("m:FolderShape")->AddElement("t:BaseShape")->SetAsString("Default");
  op->AddElement("m:SyncFolderId")
      ->AddElement("t:FolderId")
      ->SetAttribute("Id", FFolder->GetID().Id);
  if (!syncState.empty()) op->AddElement("m:SyncState")->SetAsString(syncState);
  return ReadChanges(SendChecked(request, "SyncFolderHierarchy"), "IncludesLastFolderInRange");
}

}  // namespace dv
