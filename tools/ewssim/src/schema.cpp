#include "schema.h"

#include <libxml/parser.h>
#include <libxml/xmlschemas.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <stdexcept>

#include <pugixml.hpp>

#include "embedded_schema.h"
#include "util.h"

namespace ewssim {

std::string DefaultSchemaDir() {
  if (const char* env = std::getenv("EWSSIM_SCHEMA_DIR"); env && *env) return env;
  return {};
}

namespace {

// libxml2 reads the built-in files through input callbacks for URLs with this prefix, so the
// relative xs:import/xs:include locations between them resolve as they do in a folder.
constexpr std::string_view kEmbeddedUrl = "ewssim-embedded:/";

const EmbeddedFile* FindEmbedded(std::string_view name) {
  for (const EmbeddedFile& f : EmbeddedSchemaFiles())
    if (f.name == name) return &f;
  return nullptr;
}

const EmbeddedFile* EmbeddedFor(const char* url) {
  if (!url) return nullptr;
  std::string_view u(url);
  return u.starts_with(kEmbeddedUrl) ? FindEmbedded(u.substr(kEmbeddedUrl.size())) : nullptr;
}

struct MemoryInput {
  std::string text;
  std::size_t pos = 0;
};

int MatchEmbedded(const char* url) {
  return EmbeddedFor(url) ? 1 : 0;
}

void* OpenEmbedded(const char* url) {
  const EmbeddedFile* f = EmbeddedFor(url);
  return f ? new MemoryInput{f->Text()} : nullptr;
}

int ReadEmbedded(void* context, char* buffer, int len) {
  auto* in = static_cast<MemoryInput*>(context);
  std::size_t n = std::min(static_cast<std::size_t>(len), in->text.size() - in->pos);
  std::memcpy(buffer, in->text.data() + in->pos, n);
  in->pos += n;
  return static_cast<int>(n);
}

int CloseEmbedded(void* context) {
  delete static_cast<MemoryInput*>(context);
  return 0;
}

// The text of one schema file: from `dir`, or the built-in copy when `dir` is empty.
std::string SchemaText(const std::string& dir, std::string_view name) {
  if (dir.empty()) {
    const EmbeddedFile* f = FindEmbedded(name);
    if (!f) throw std::runtime_error("the built-in EWS schema has no " + std::string(name));
    return f->Text();
  }
  std::string path = dir + "/" + std::string(name);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read the EWS schema file " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string StripPrefix(std::string_view s) {
  auto colon = s.find(':');
  return std::string(colon == std::string_view::npos ? s : s.substr(colon + 1));
}
}  // namespace

struct SchemaLoader {
  SchemaModel& model;
  std::unordered_map<std::string, pugi::xml_node> complexTypes, groups, elements;
  std::unordered_map<std::string, bool> done;

  void Particles(pugi::xml_node n, SchemaType& t) {
    for (auto c : Elements(n)) {
      auto ln = LocalName(c);
      if (ln == "element") {
        SchemaChild child;
        if (auto ref = c.attribute("ref")) {
          child.name = StripPrefix(ref.value());
          auto it = elements.find(child.name);
          if (it != elements.end()) child.type = StripPrefix(it->second.attribute("type").value());
        } else {
          child.name = c.attribute("name").value();
          child.type = StripPrefix(c.attribute("type").value());
        }
        if (!t.index.count(child.name)) {
          t.index[child.name] = static_cast<int>(t.children.size());
          t.children.push_back(child);
        }
      } else if (ln == "sequence" || ln == "choice" || ln == "all") {
        Particles(c, t);
      } else if (ln == "group") {
        auto it = groups.find(StripPrefix(c.attribute("ref").value()));
        if (it != groups.end()) Particles(it->second, t);
      }
    }
  }

  void Build(const std::string& name) {
    if (done[name]) return;
    done[name] = true;
    auto it = complexTypes.find(name);
    if (it == complexTypes.end()) return;
    SchemaType t;
    t.name = name;
    pugi::xml_node body = it->second;
    for (auto c : Elements(it->second)) {
      auto ln = LocalName(c);
      if (ln == "complexContent" || ln == "simpleContent") {
        for (auto d : Elements(c)) {
          if (LocalName(d) == "extension" || LocalName(d) == "restriction") {
            std::string base = StripPrefix(d.attribute("base").value());
            if (LocalName(d) == "extension") {
              Build(base);
              if (auto* b = model.Type(base)) t = *b, t.name = name;
            }
            body = d;
          }
        }
      }
    }
    Particles(body, t);
    model.types_[name] = std::move(t);
  }
};

const SchemaModel& SchemaModel::Get(const std::string& dir) {
  static std::once_flag once;
  static SchemaModel model;
  std::call_once(once, [&] {
    model.dir = dir;
    for (const char* file : {"types.xsd", "messages.xsd"}) {
      pugi::xml_document doc;
      std::string text = SchemaText(dir, file);
      if (!doc.load_buffer(text.data(), text.size()))
        throw std::runtime_error("cannot parse the EWS schema file " + std::string(file));
      SchemaLoader loader{model, {}, {}, {}, {}};
      auto root = doc.document_element();
      for (auto c : Elements(root)) {
        auto ln = LocalName(c);
        std::string name = c.attribute("name").value();
        if (ln == "complexType") loader.complexTypes[name] = c;
        if (ln == "group") loader.groups[name] = c;
        if (ln == "element") loader.elements[name] = c;
        if (ln == "simpleType") {
          std::vector<std::string> values;
          for (auto e : c.select_nodes(".//*[local-name()='enumeration']"))
            values.push_back(e.node().attribute("value").value());
          if (!values.empty()) model.enums_[name] = std::move(values);
        }
      }
      for (auto& [name, node] : loader.complexTypes)
        loader.Build(name);
    }
  });
  return model;
}

const SchemaType* SchemaModel::Type(std::string_view name) const {
  auto it = types_.find(std::string(name));
  return it == types_.end() ? nullptr : &it->second;
}

const std::vector<std::string>& SchemaModel::Enum(std::string_view simpleType) const {
  static const std::vector<std::string> empty;
  auto it = enums_.find(std::string(simpleType));
  return it == enums_.end() ? empty : it->second;
}

struct SchemaValidator::Impl {
  xmlSchemaPtr schema = nullptr;
};

namespace {
struct ErrorSink {
  bool set = false;
  std::string message;
  int line = 0, column = 0;
};

void CollectError(void* data, xmlErrorPtr err) {
  auto* sink = static_cast<ErrorSink*>(data);
  if (sink->set || !err) return;
  sink->set = true;
  sink->message = err->message ? err->message : "invalid";
  while (!sink->message.empty() && (sink->message.back() == '\n' || sink->message.back() == ' '))
    sink->message.pop_back();
  sink->line = err->line;
  sink->column = err->int2;
}

void IgnoreGeneric(void*, const char*, ...) {}

struct DocHolder {
  xmlDocPtr doc = nullptr;
  ~DocHolder() {
    if (doc) xmlFreeDoc(doc);
  }
};

// Attributes that clients send where the schema has none and that Exchange ignores: the root
// item id of an attachment id in GetAttachment and DeleteAttachment requests.
void DropTolerated(xmlNodePtr n) {
  for (; n; n = n->next) {
    if (n->type != XML_ELEMENT_NODE) continue;
    if (n->name && std::string_view(reinterpret_cast<const char*>(n->name)) == "AttachmentId" &&
        n->parent && n->parent->name &&
        std::string_view(reinterpret_cast<const char*>(n->parent->name)) == "AttachmentIds") {
      for (const char* a : {"RootItemId", "RootItemChangeKey"})
        if (xmlAttrPtr attr = xmlHasProp(n, reinterpret_cast<const xmlChar*>(a)))
          xmlRemoveProp(attr);
    }
    if (n->children) DropTolerated(n->children);
  }
}

xmlNodePtr FirstElement(xmlNodePtr n) {
  for (; n; n = n->next)
    if (n->type == XML_ELEMENT_NODE) return n;
  return nullptr;
}

bool IsLocal(xmlNodePtr n, std::string_view name) {
  return n && n->name && std::string_view(reinterpret_cast<const char*>(n->name)) == name;
}
}  // namespace

SchemaValidator::SchemaValidator(const std::string& dir) : impl_(std::make_shared<Impl>()) {
  xmlInitParser();
  std::string path;
  if (dir.empty()) {
    static std::once_flag registered;
    std::call_once(registered, [] {
      if (xmlRegisterInputCallbacks(MatchEmbedded, OpenEmbedded, ReadEmbedded, CloseEmbedded) < 0)
        throw std::runtime_error("cannot register the built-in EWS schema with libxml2");
    });
    path = std::string(kEmbeddedUrl) + "ews-validate.xsd";
  } else {
    path = dir + "/ews-validate.xsd";
  }
  xmlSchemaParserCtxtPtr pctx = xmlSchemaNewParserCtxt(path.c_str());
  if (!pctx) throw std::runtime_error("cannot read " + path);
  xmlSchemaSetParserErrors(pctx, IgnoreGeneric, IgnoreGeneric, nullptr);
  impl_->schema = xmlSchemaParse(pctx);
  xmlSchemaFreeParserCtxt(pctx);
  if (!impl_->schema) throw std::runtime_error("cannot compile " + path);
}

SchemaValidator& SchemaValidator::Get(const std::string& dir) {
  static SchemaValidator* instance = nullptr;
  static std::once_flag once;
  std::call_once(once, [&] { instance = new SchemaValidator(dir); });
  return *instance;
}

namespace {
SchemaValidator::Result ParseAndValidate(
    xmlSchemaPtr schema, std::string_view xml,
    const std::function<std::vector<xmlNodePtr>(xmlNodePtr)>& pick) {
  SchemaValidator::Result result;
  ErrorSink sink;
  DocHolder holder;
  // One parser context per thread, reused: making one per request costs more than the parse.
  thread_local std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> parser(xmlNewParserCtxt(),
                                                                                 xmlFreeParserCtxt);
  xmlParserCtxtPtr pctx = parser.get();
  if (!pctx) return {false, "out of memory", 0, 0};
  xmlSetStructuredErrorFunc(&sink, CollectError);
  holder.doc = xmlCtxtReadMemory(pctx, xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                 XML_PARSE_NONET | XML_PARSE_NOWARNING);
  xmlSetStructuredErrorFunc(nullptr, nullptr);
  if (!holder.doc || sink.set) {
    result.ok = false;
    result.message = sink.set ? sink.message : "The document could not be parsed.";
    result.line = sink.line;
    result.column = sink.column;
    return result;
  }
  std::vector<xmlNodePtr> targets = pick(xmlDocGetRootElement(holder.doc));
  for (xmlNodePtr t : targets)
    DropTolerated(t);
  std::unique_ptr<xmlSchemaValidCtxt, void (*)(xmlSchemaValidCtxtPtr)> vctx(
      xmlSchemaNewValidCtxt(schema), xmlSchemaFreeValidCtxt);
  for (xmlNodePtr target : targets) {
    xmlSchemaSetValidStructuredErrors(vctx.get(), CollectError, &sink);
    int rc = xmlSchemaValidateOneElement(vctx.get(), target);
    xmlSchemaSetValidStructuredErrors(vctx.get(), nullptr, nullptr);
    if (rc != 0) {
      result.ok = false;
      result.message = sink.set ? sink.message : "The element is not valid.";
      result.line = sink.set && sink.line ? sink.line : static_cast<int>(xmlGetLineNo(target));
      result.column = sink.column;
      return result;
    }
  }
  return result;
}
}  // namespace

SchemaValidator::Result SchemaValidator::ValidateBodyOf(std::string_view xml) {
  return ParseAndValidate(impl_->schema, xml, [](xmlNodePtr root) -> std::vector<xmlNodePtr> {
    if (!root) return {};
    if (!IsLocal(root, "Envelope")) return {root};
    for (xmlNodePtr c = FirstElement(root->children); c; c = FirstElement(c->next))
      if (IsLocal(c, "Body")) {
        xmlNodePtr payload = FirstElement(c->children);
        if (payload) return {payload};
      }
    return {};
  });
}

SchemaValidator::Result SchemaValidator::ValidateElementOf(std::string_view xml,
                                                           std::string_view parentLocalName) {
  return ParseAndValidate(impl_->schema, xml, [&](xmlNodePtr root) -> std::vector<xmlNodePtr> {
    std::vector<xmlNodePtr> out;
    if (!root) return out;
    for (xmlNodePtr c = FirstElement(root->children); c; c = FirstElement(c->next))
      if (IsLocal(c, parentLocalName))
        for (xmlNodePtr e = FirstElement(c->children); e; e = FirstElement(e->next))
          out.push_back(e);
    return out;
  });
}

}  // namespace ewssim
