// The state file: every mailbox with its folders and items as JSON (item elements as XML text),
// its out-of-office settings and its user configuration objects.
#include "state.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "util.h"

namespace ewssim {

namespace {

nlohmann::json ItemToJson(const Item& item) {
  nlohmann::json j;
  j["id"] = item.id;
  j["change_key"] = item.changeKey;
  j["folder"] = item.folder;
  j["kind"] = item.kind;
  j["created"] = item.created;
  j["modified"] = item.modified;
  j["next_attachment"] = item.nextAttachment;
  auto& fields = j["fields"] = nlohmann::json::array();
  for (auto& [idx, f] : item.fields)
    fields.push_back(f.xml);
  auto& ext = j["ext"] = nlohmann::json::array();
  for (auto& p : item.ext)
    ext.push_back({{"key", p.key},
                   {"uri", p.uriXml},
                   {"type", p.type},
                   {"multi", p.multi},
                   {"values", p.values}});
  auto& atts = j["attachments"] = nlohmann::json::array();
  for (auto& a : item.attachments) {
    nlohmann::json aj = {{"num", a.num},
                         {"name", a.name},
                         {"content_type", a.contentType},
                         {"content_id", a.contentId},
                         {"content_location", a.contentLocation},
                         {"inline", a.isInline},
                         {"contact_photo", a.isContactPhoto},
                         {"modified", a.lastModified},
                         {"content", Base64Encode(a.content)}};
    if (a.isItem && a.item) aj["item"] = ItemToJson(*a.item);
    atts.push_back(aj);
  }
  for (auto& [index, ex] : item.exceptions)
    j["exceptions"][std::to_string(index)] = ItemToJson(*ex);
  return j;
}

std::shared_ptr<Item> ItemFromJson(const nlohmann::json& j, const SchemaModel& schema) {
  auto item = std::make_shared<Item>();
  item->id = j.at("id").get<uint64_t>();
  item->changeKey = j.at("change_key").get<uint64_t>();
  item->folder = j.at("folder").get<uint32_t>();
  item->kind = j.at("kind").get<std::string>();
  const std::string* typeName = ItemTypeName(item->kind);
  item->type = typeName ? schema.Type(*typeName) : nullptr;
  if (!item->type) return nullptr;
  item->created = j.at("created").get<int64_t>();
  item->modified = j.at("modified").get<int64_t>();
  item->nextAttachment = j.at("next_attachment").get<uint32_t>();
  ParseContext ctx{&schema, {}};
  for (auto& xml : j.at("fields")) {
    pugi::xml_document doc;
    std::string text = xml.get<std::string>();
    if (!doc.load_string(text.c_str())) continue;
    auto n = doc.document_element();
    int idx = item->type->IndexOf(LocalName(n));
    if (idx < 0) continue;
    item->fields[idx] = MakeField(ctx, n, item->type->children[static_cast<size_t>(idx)].type);
  }
  for (auto& p : j.at("ext")) {
    ExtProp e;
    e.key = p.at("key").get<std::string>();
    e.uriXml = p.at("uri").get<std::string>();
    e.type = p.at("type").get<std::string>();
    e.multi = p.at("multi").get<bool>();
    e.values = p.at("values").get<std::vector<std::string>>();
    item->ext.push_back(std::move(e));
  }
  for (auto& aj : j.at("attachments")) {
    Attachment a;
    a.num = aj.at("num").get<uint32_t>();
    a.name = aj.at("name").get<std::string>();
    a.contentType = aj.at("content_type").get<std::string>();
    a.contentId = aj.at("content_id").get<std::string>();
    a.contentLocation = aj.at("content_location").get<std::string>();
    a.isInline = aj.at("inline").get<bool>();
    a.isContactPhoto = aj.at("contact_photo").get<bool>();
    a.lastModified = aj.at("modified").get<int64_t>();
    a.content = Base64Decode(aj.at("content").get<std::string>()).value_or("");
    if (aj.contains("item")) {
      a.isItem = true;
      a.item = ItemFromJson(aj.at("item"), schema);
    }
    item->attachments.push_back(std::move(a));
  }
  if (j.contains("exceptions"))
    for (auto& [index, ex] : j.at("exceptions").items())
      if (auto e = ItemFromJson(ex, schema)) item->exceptions[std::atoi(index.c_str())] = e;
  return item;
}

// The out-of-office settings as the mailbox's owner set them. What the administrator allows
// (allowExternal) comes from the configuration at every start and is not kept.
nlohmann::json OofToJson(const OofSettings& s) {
  return {{"state", OofStateName(s.state)},
          {"external_audience", OofAudienceName(s.externalAudience)},
          {"start", s.start},
          {"end", s.end},
          {"internal_reply", s.internalReply},
          {"external_reply", s.externalReply},
          {"internal_lang", s.internalLang},
          {"external_lang", s.externalLang},
          {"answered", s.answered}};
}

OofSettings OofFromJson(const nlohmann::json& j) {
  OofSettings s;
  try {
    s.state = ParseOofState(j.at("state").get<std::string>());
    s.externalAudience = ParseOofAudience(j.at("external_audience").get<std::string>());
  } catch (const EwsError& e) {
    throw std::runtime_error(e.text);
  }
  s.start = j.at("start").get<int64_t>();
  s.end = j.at("end").get<int64_t>();
  s.internalReply = j.at("internal_reply").get<std::string>();
  s.externalReply = j.at("external_reply").get<std::string>();
  s.internalLang = j.at("internal_lang").get<std::string>();
  s.externalLang = j.at("external_lang").get<std::string>();
  s.answered = j.at("answered").get<std::set<std::string>>();
  return s;
}

nlohmann::json UserConfigsToJson(const Mailbox& m) {
  auto out = nlohmann::json::array();
  for (const auto& [key, o] : m.userConfigs) {
    nlohmann::json j = {{"folder", key.first}, {"name", key.second}, {"change_key", o.changeKey}};
    if (o.hasDictionary) j["dictionary"] = o.dictionary;
    if (o.hasXmlData) j["xml_data"] = o.xmlData;
    if (o.hasBinaryData) j["binary_data"] = o.binaryData;
    out.push_back(std::move(j));
  }
  return out;
}

void UserConfigsFromJson(const nlohmann::json& list, Mailbox& m) {
  for (const auto& j : list) {
    UserConfigObject o;
    o.changeKey = j.at("change_key").get<uint64_t>();
    o.hasDictionary = j.contains("dictionary");
    o.hasXmlData = j.contains("xml_data");
    o.hasBinaryData = j.contains("binary_data");
    if (o.hasDictionary) o.dictionary = j.at("dictionary").get<std::string>();
    if (o.hasXmlData) o.xmlData = j.at("xml_data").get<std::string>();
    if (o.hasBinaryData) o.binaryData = j.at("binary_data").get<std::string>();
    m.userConfigs[{j.at("folder").get<uint32_t>(), j.at("name").get<std::string>()}] = std::move(o);
  }
}

}  // namespace

std::string StateText(const Store& store) {
  nlohmann::json root;
  root["change_counter"] = store.changeCounter.load();
  auto& boxes = root["mailboxes"] = nlohmann::json::array();
  for (auto& m : store.mailboxes) {
    nlohmann::json mj;
    mj["address"] = m->address;
    mj["display_name"] = m->displayName;
    mj["next_item"] = m->nextItem;
    mj["next_folder"] = m->nextFolder;
    mj["oof"] = OofToJson(m->oof);
    mj["user_configurations"] = UserConfigsToJson(*m);
    auto& folders = mj["folders"] = nlohmann::json::array();
    for (auto& [id, f] : m->folders) {
      nlohmann::json fj = {{"id", f.id},
                           {"parent", f.parent},
                           {"distinguished", f.distinguished},
                           {"kind", f.kind},
                           {"name", f.displayName},
                           {"class", f.folderClass},
                           {"change_key", f.changeKey},
                           {"search_restriction", f.searchRestriction},
                           {"search_roots", f.searchRoots},
                           {"search_deep", f.searchDeep}};
      folders.push_back(fj);
    }
    auto& items = mj["items"] = nlohmann::json::array();
    for (auto& [id, item] : m->items)
      items.push_back(ItemToJson(*item));
    boxes.push_back(std::move(mj));
  }
  return root.dump();
}

void WriteFileAtomically(const std::string& path, const std::string& text) {
  auto fail = [&](const std::string& what, int error) {
    throw std::runtime_error("cannot write the state file " + path + ": " + what + ": " +
                             std::strerror(error) + "; the previous file is kept");
  };
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(tmp.data());  // mode 0600: mailbox contents are private
  if (fd < 0) fail("cannot create a temporary file beside it", errno);
  auto discard = [&](const std::string& what) {
    int error = errno;
    if (fd >= 0) close(fd);
    unlink(tmp.c_str());
    fail(what, error);
  };
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) discard("writing the temporary file");
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) discard("flushing the temporary file");
  int closed = close(fd);
  fd = -1;
  if (closed != 0) discard("closing the temporary file");
  if (std::rename(tmp.c_str(), path.c_str()) != 0) discard("replacing the file");
  std::string dir = std::filesystem::path(path).parent_path().string();
  int dirFd = open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    // The rename is done; a folder that cannot be flushed only weakens the crash guarantee.
    fsync(dirFd);
    close(dirFd);
  }
}

bool LoadState(const std::string& path, const SchemaModel& schema, Store& store) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return false;
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error("cannot read the state file " + path + ": " + std::strerror(errno) +
                             " (--state-reset starts with empty mailboxes)");
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(in);
    store.changeCounter = root.at("change_counter").get<uint64_t>();
    for (auto& mj : root.at("mailboxes")) {
      auto m = std::make_unique<Mailbox>();
      m->index = static_cast<uint16_t>(store.mailboxes.size());
      m->address = mj.at("address").get<std::string>();
      m->displayName = mj.at("display_name").get<std::string>();
      m->nextItem = mj.at("next_item").get<uint64_t>();
      m->nextFolder = mj.at("next_folder").get<uint32_t>();
      // Files written before these were kept have neither.
      if (mj.contains("oof")) m->oof = OofFromJson(mj.at("oof"));
      if (mj.contains("user_configurations")) UserConfigsFromJson(mj.at("user_configurations"), *m);
      for (auto& fj : mj.at("folders")) {
        Folder f;
        f.id = fj.at("id").get<uint32_t>();
        f.parent = fj.at("parent").get<uint32_t>();
        f.distinguished = fj.at("distinguished").get<std::string>();
        f.kind = fj.at("kind").get<std::string>();
        f.displayName = fj.at("name").get<std::string>();
        f.folderClass = fj.at("class").get<std::string>();
        f.changeKey = fj.at("change_key").get<uint64_t>();
        f.searchRestriction = fj.at("search_restriction").get<std::string>();
        f.searchRoots = fj.at("search_roots").get<std::vector<uint32_t>>();
        f.searchDeep = fj.at("search_deep").get<bool>();
        if (!f.distinguished.empty()) m->distinguished[f.distinguished] = f.id;
        m->folders[f.id] = f;
      }
      for (auto& [id, f] : m->folders)
        if (Folder* p = m->FolderById(f.parent)) p->children.insert(id);
      for (auto& ij : mj.at("items")) {
        auto item = ItemFromJson(ij, schema);
        if (!item) throw std::runtime_error("an item of an unknown kind");
        uint32_t folder = item->folder;
        m->AddItem(item, folder);
      }
      for (auto& [id, item] : m->items)
        Refresh(*m, *item, false);
      store.mailboxes.push_back(std::move(m));
    }
  } catch (const std::exception& e) {
    store.mailboxes.clear();
    throw std::runtime_error("the state file " + path + " cannot be read: " + e.what() +
                             " (--state-reset starts with empty mailboxes)");
  }
  return true;
}

StateKeeper::StateKeeper(std::string path, Store& store, uint64_t savedGeneration)
    : path_(std::move(path)), store_(store), saved_(savedGeneration) {
  thread_ = std::thread([this] { Run(); });
}

StateKeeper::~StateKeeper() {
  Stop();
}

bool StateKeeper::Stop() {
  if (!thread_.joinable()) return lastError_.empty();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  return SaveIfChanged();
}

void StateKeeper::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, std::chrono::milliseconds(kStatePollMs));
    if (stopping_) break;
    lock.unlock();
    SaveIfChanged();
    lock.lock();
  }
}

bool StateKeeper::SaveIfChanged() {
  std::string text;
  uint64_t generation = 0;
  {
    // Writers hold the mutex exclusively and move the generation while they do, so under the
    // shared lock the generation names exactly the snapshot taken.
    std::shared_lock lock(store_.mutex);
    generation = store_.generation.load();
    if (generation == saved_) return true;
    text = StateText(store_);
  }
  try {
    WriteFileAtomically(path_, text);
    saved_ = generation;
    lastError_.clear();
    return true;
  } catch (const std::exception& e) {
    if (lastError_ != e.what()) std::cerr << "ewssim: " << e.what() << std::endl;
    lastError_ = e.what();
    return false;
  }
}

}  // namespace ewssim
