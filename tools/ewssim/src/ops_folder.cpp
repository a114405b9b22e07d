// Folder operations: GetFolder, FindFolder, CreateFolder, DeleteFolder, EmptyFolder,
// UpdateFolder, MoveFolder.
#include <algorithm>

#include "events.h"
#include "ops.h"

namespace ewssim {

namespace {

void CollectFolders(Mailbox& m, const Folder& parent, bool deep, std::vector<Folder*>& out) {
  for (uint32_t id : parent.children) {
    Folder* f = m.FolderById(id);
    if (!f) continue;
    out.push_back(f);
    if (deep) CollectFolders(m, *f, deep, out);
  }
}

bool IsUnder(Mailbox& m, uint32_t id, uint32_t ancestor) {
  for (Folder* f = m.FolderById(id); f; f = m.FolderById(f->parent))
    if (f->id == ancestor) return true;
  return false;
}

void GetFolder(Ctx& c) {
  Shape shape = ParseShape(Child(c.op, "FolderShape"));
  for (auto id : Elements(Child(c.op, "FolderIds"))) {
    PerMessage(c, "GetFolder", nullptr, [&](std::string& out) {
      auto [m, f] = c.ResolveFolder(id);
      out += "<m:Folders>";
      WriteFolder(out, *m, *f, shape);
      out += "</m:Folders>";
    });
  }
}

}  // namespace

// Applies an IndexedPage…View or FractionalPage…View to `total` rows as Exchange does.
size_t MaxEntries(const pugi::xml_node& view) {
  std::string m = Attr(view, "MaxEntriesReturned");
  if (m.empty()) return 1000;
  long n = std::stol(m);  // an xs:int, checked by the schema
  if (n < 0) FailCode("ErrorInvalidIndexedPagingParameters");
  return std::min<size_t>(1000, static_cast<size_t>(n));
}

Paging Page(const pugi::xml_node& op, const char* indexedName, const char* fractionalName,
            size_t total) {
  Paging p;
  p.total = total;
  size_t max = 1000;
  if (auto view = Child(op, indexedName)) {
    max = MaxEntries(view);
    long given = std::stol(Attr(view, "Offset").empty() ? "0" : Attr(view, "Offset"));
    if (given < 0) FailCode("ErrorInvalidIndexedPagingParameters");
    size_t offset = static_cast<size_t>(given);
    bool fromEnd = Attr(view, "BasePoint") == "End";
    if (!fromEnd) {
      p.start = std::min(offset, total);
      p.count = std::min(max, total - p.start);
      p.includesLast = p.start + p.count >= total;
      p.attributes = " IndexedPagingOffset=\"" + std::to_string(offset + p.count) + "\"";
    } else {
      size_t endExclusive = offset >= total ? 0 : total - offset;
      p.start = endExclusive > max ? endExclusive - max : 0;
      p.count = endExclusive - p.start;
      p.includesLast = p.start == 0;
      p.attributes = " IndexedPagingOffset=\"" + std::to_string(offset + p.count) + "\"";
    }
  } else if (auto frac = Child(op, fractionalName)) {
    max = MaxEntries(frac);
    long num = std::stol(Attr(frac, "Numerator")), den = std::stol(Attr(frac, "Denominator"));
    if (den <= 0 || num < 0 || num > den) FailCode("ErrorInvalidIndexedPagingParameters");
    size_t offset = static_cast<size_t>(static_cast<double>(total) * num / den);
    p.start = std::min(offset, total);
    p.count = std::min(max, total - p.start);
    p.includesLast = p.start + p.count >= total;
    p.attributes = " NumeratorOffset=\"" + std::to_string(p.start + p.count) +
                   "\" AbsoluteDenominator=\"" + std::to_string(total) + "\"";
  } else {
    p.count = std::min(max, total);
    p.includesLast = p.count >= total;
    p.attributes = " IndexedPagingOffset=\"" + std::to_string(p.count) + "\"";
  }
  p.attributes += " TotalItemsInView=\"" + std::to_string(total) + "\" IncludesLastItemInRange=\"" +
                  BoolText(p.includesLast) + "\"";
  return p;
}

namespace {

bool FolderMatches(const pugi::xml_node& expr, const Mailbox& m, const Folder& f) {
  // Folder restrictions address folder:DisplayName, folder:FolderClass and the counts; they are
  // evaluated on a small item-shaped view of the folder.
  static const SchemaType type = [] {
    SchemaType t;
    for (const char* n :
         {"DisplayName", "FolderClass", "TotalCount", "ChildFolderCount", "UnreadCount"}) {
      t.index[n] = static_cast<int>(t.children.size());
      t.children.push_back(
          {n, std::string(n).find("Count") != std::string::npos ? "int" : "string"});
    }
    return t;
  }();
  Item view;
  view.type = &type;
  view.kind = "Folder";
  view.SetText("DisplayName", f.displayName);
  view.SetText("FolderClass", f.folderClass);
  view.SetText("TotalCount", std::to_string(f.items.size()));
  view.SetText("ChildFolderCount", std::to_string(f.children.size()));
  view.SetText("UnreadCount", std::to_string(m.UnreadCount(f)));
  view.ext = f.ext;
  return EvaluateRestriction(expr, view);
}

void FindFolder(Ctx& c) {
  Shape shape = ParseShape(Child(c.op, "FolderShape"));
  std::string traversal = Attr(c.op, "Traversal");
  auto restriction = Child(c.op, "Restriction");
  for (auto id : Elements(Child(c.op, "ParentFolderIds"))) {
    PerMessage(c, "FindFolder", nullptr, [&](std::string& out) {
      auto [m, parent] = c.ResolveFolder(id);
      if (traversal == "SoftDeleted") FailCode("ErrorInvalidRequest");
      std::vector<Folder*> found;
      CollectFolders(*m, *parent, traversal == "Deep", found);
      if (restriction) {
        auto expr = Elements(restriction);
        if (!expr.empty())
          found.erase(std::remove_if(found.begin(), found.end(),
                                     [&, mailbox = m](Folder* f) {
                                       return !FolderMatches(expr.front(), *mailbox, *f);
                                     }),
                      found.end());
      }
      Paging p = Page(c.op, "IndexedPageFolderView", "FractionalPageFolderView", found.size());
      out += "<m:RootFolder" + p.attributes + "><t:Folders>";
      for (size_t i = p.start; i < p.start + p.count; ++i)
        WriteFolder(out, *m, *found[i], shape);
      out += "</t:Folders></m:RootFolder>";
    });
  }
}

void CreateFolder(Ctx& c) {
  for (auto f : Elements(Child(c.op, "Folders"))) {
    PerMessage(c, "CreateFolder", nullptr, [&](std::string& out) {
      auto [m, parentFolder] = [&]() -> std::pair<Mailbox*, Folder*> {
        try {
          return c.ResolveFolderIn(Child(c.op, "ParentFolderId"));
        } catch (const EwsError& e) {
          if (e.code == "ErrorFolderNotFound" || e.code == "ErrorItemNotFound")
            FailCode("ErrorParentFolderNotFound");
          throw;
        }
      }();
      uint32_t parentId = parentFolder->id;
      std::string kind(LocalName(f));
      std::string name = ChildText(f, "DisplayName");
      Folder* parent = m->FolderById(parentId);
      for (uint32_t child : parent->children)
        if (EqualsNoCase(m->FolderById(child)->displayName, name)) FailCode("ErrorFolderExists");
      std::string cls = ChildText(f, "FolderClass");
      if (cls.empty()) {
        if (kind == "CalendarFolder")
          cls = "IPF.Appointment";
        else if (kind == "ContactsFolder")
          cls = "IPF.Contact";
        else if (kind == "TasksFolder")
          cls = "IPF.Task";
        else if (kind == "Folder")
          cls = "IPF.Note";
      }
      uint32_t id = m->CreateFolder(parentId, name, kind, cls);
      Folder* nf = m->FolderById(id);
      nf->changeKey = c.store.NextChangeKey();
      for (auto e : Children(f, "ExtendedProperty"))
        nf->ext.push_back(ParseExtProp(e));
      if (auto sp = Child(f, "SearchParameters")) {
        auto r = Elements(Child(sp, "Restriction"));
        if (!r.empty()) nf->searchRestriction = OuterXml(r.front());
        nf->searchDeep = Attr(sp, "Traversal") == "Deep";
        for (auto base : Elements(Child(sp, "BaseFolderIds")))
          nf->searchRoots.push_back(c.ResolveFolder(base).second->id);
      }
      ++parent->version;
      RaiseFolderEvent(c.store, *m, "CreatedEvent", *nf);
      out += "<m:Folders><t:" + kind + "><t:FolderId Id=\"" +
             EncodeId(IdKind::Folder, m->index, id) + "\" ChangeKey=\"" +
             EncodeChangeKey(nf->changeKey) + "\"/></t:" + kind + "></m:Folders>";
    });
  }
}

void MoveItemsToDeleted(Ctx& c, Mailbox& m, Folder& f) {
  Folder* deleted = m.Distinguished("deleteditems");
  std::vector<uint64_t> ids(f.items.begin(), f.items.end());
  for (uint64_t id : ids) {
    Item* item = m.ItemById(id);
    if (!item) continue;
    m.MoveItem(*item, deleted->id);
    item->changeKey = c.store.NextChangeKey();
    Refresh(m, *item, false);
    RaiseItemEvent(c.store, m, "MovedEvent", *item, f.id);
  }
}

void DeleteFolder(Ctx& c) {
  std::string type = Attr(c.op, "DeleteType");
  for (auto id : Elements(Child(c.op, "FolderIds"))) {
    PerMessage(c, "DeleteFolder", nullptr, [&](std::string&) {
      auto [m, f] = c.ResolveFolder(id);
      if (!f->distinguished.empty()) FailCode("ErrorDeleteDistinguishedFolder");
      Folder* deleted = m->Distinguished("deleteditems");
      if (type == "MoveToDeletedItems" && !IsUnder(*m, f->id, deleted->id)) {
        const uint32_t from = f->parent;
        m->FolderById(f->parent)->children.erase(f->id);
        f->parent = deleted->id;
        deleted->children.insert(f->id);
        f->changeKey = c.store.NextChangeKey();
        RaiseFolderEvent(c.store, *m, "MovedEvent", *f, from);
      } else {
        RaiseFolderEvent(c.store, *m, "DeletedEvent", *f);
        m->RemoveFolderTree(f->id);
      }
    });
  }
}

void EmptyFolder(Ctx& c) {
  std::string type = Attr(c.op, "DeleteType");
  bool subFolders = false;
  ParseBool(Attr(c.op, "DeleteSubFolders"), subFolders);
  for (auto id : Elements(Child(c.op, "FolderIds"))) {
    PerMessage(c, "EmptyFolder", nullptr, [&](std::string&) {
      auto [m, f] = c.ResolveFolder(id);
      if (f->distinguished == "root" || f->distinguished == "msgfolderroot")
        FailCode("ErrorCannotEmptyFolder");
      if (type == "MoveToDeletedItems" && f->distinguished != "deleteditems") {
        MoveItemsToDeleted(c, *m, *f);
      } else {
        std::vector<uint64_t> ids(f->items.begin(), f->items.end());
        for (uint64_t item : ids) {
          if (Item* gone = m->ItemById(item)) RaiseItemEvent(c.store, *m, "DeletedEvent", *gone);
          m->RemoveItem(item);
        }
      }
      if (subFolders) {
        auto children = f->children;
        for (uint32_t child : children)
          if (Folder* sub = m->FolderById(child); sub->distinguished.empty()) {
            RaiseFolderEvent(c.store, *m, "DeletedEvent", *sub);
            m->RemoveFolderTree(child);
          }
      }
    });
  }
}

void UpdateFolder(Ctx& c) {
  for (auto change : Elements(Child(c.op, "FolderChanges"))) {
    PerMessage(c, "UpdateFolder", nullptr, [&](std::string& out) {
      auto [m, f] = c.ResolveFolderIn(change);
      for (auto u : Elements(Child(change, "Updates"))) {
        auto kind = LocalName(u);
        auto path = Elements(u).empty() ? pugi::xml_node() : Elements(u).front();
        auto value = Elements(u).size() > 1 ? Elements(u)[1] : pugi::xml_node();
        if (LocalName(path) == "ExtendedFieldURI") {
          std::string key = ExtKeyOf(path);
          f->ext.erase(std::remove_if(f->ext.begin(), f->ext.end(),
                                      [&](const ExtProp& p) { return p.key == key; }),
                       f->ext.end());
          if (kind != "DeleteFolderField")
            for (auto e : Children(value, "ExtendedProperty"))
              f->ext.push_back(ParseExtProp(e));
          continue;
        }
        std::string field = ElementOfFieldUri(Attr(path, "FieldURI"));
        if (field == "DisplayName") {
          if (kind == "DeleteFolderField") FailCode("ErrorInvalidPropertyForOperation");
          std::string name = ChildText(value, "DisplayName");
          for (uint32_t sib : m->FolderById(f->parent)->children)
            if (sib != f->id && EqualsNoCase(m->FolderById(sib)->displayName, name))
              FailCode("ErrorFolderExists");
          f->displayName = name;
        } else if (field == "FolderClass") {
          f->folderClass = kind == "DeleteFolderField" ? "" : ChildText(value, "FolderClass");
        } else if (field == "SearchParameters" && f->kind == "SearchFolder") {
          auto r = Elements(Child(Child(value, "SearchParameters"), "Restriction"));
          if (!r.empty()) f->searchRestriction = OuterXml(r.front());
        } else {
          FailCode("ErrorInvalidPropertySet");
        }
      }
      f->changeKey = c.store.NextChangeKey();
      RaiseFolderEvent(c.store, *m, "ModifiedEvent", *f);
      out += "<m:Folders><t:" + f->kind + "><t:FolderId Id=\"" +
             EncodeId(IdKind::Folder, m->index, f->id) + "\" ChangeKey=\"" +
             EncodeChangeKey(f->changeKey) + "\"/></t:" + f->kind + "></m:Folders>";
    });
  }
}

void MoveFolder(Ctx& c) {
  for (auto id : Elements(Child(c.op, "FolderIds"))) {
    PerMessage(c, "MoveFolder", nullptr, [&](std::string& out) {
      auto [tm, target] = c.ResolveFolderIn(Child(c.op, "ToFolderId"));
      auto [m, f] = c.ResolveFolder(id);
      if (m != tm) FailCode("ErrorMoveCopyFailed");
      if (!f->distinguished.empty()) FailCode("ErrorMoveDistinguishedFolder");
      if (IsUnder(*m, target->id, f->id)) FailCode("ErrorMoveCopyFailed");
      const uint32_t from = f->parent;
      m->FolderById(f->parent)->children.erase(f->id);
      f->parent = target->id;
      target->children.insert(f->id);
      f->changeKey = c.store.NextChangeKey();
      RaiseFolderEvent(c.store, *m, "MovedEvent", *f, from);
      out += "<m:Folders><t:" + f->kind + "><t:FolderId Id=\"" +
             EncodeId(IdKind::Folder, m->index, f->id) + "\" ChangeKey=\"" +
             EncodeChangeKey(f->changeKey) + "\"/></t:" + f->kind + "></m:Folders>";
    });
  }
}

}  // namespace

void RegisterFolderOps(OpTable& t) {
  t["GetFolder"] = {GetFolder, false};
  t["FindFolder"] = {FindFolder, false};
  t["CreateFolder"] = {CreateFolder, true};
  t["DeleteFolder"] = {DeleteFolder, true};
  t["EmptyFolder"] = {EmptyFolder, true};
  t["UpdateFolder"] = {UpdateFolder, true};
  t["MoveFolder"] = {MoveFolder, true};
}

}  // namespace ewssim
