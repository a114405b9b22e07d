// Fuzz target: the XML layer on untrusted text (everything a server sends passes through it).
// Whatever parses must write back as XML that parses again, to the same text from the second
// round on, and the path lookups the library makes on responses must never crash.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "DvSysUtils.h"
#include "DvXML.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Visits every element (depth-first, iteratively, so deep input cannot exhaust the stack).
void VisitAll(const dv::DvDOMElementPtr& root) {
  std::vector<dv::DvDOMElementPtr> stack{root};
  while (!stack.empty()) {
    dv::DvDOMElementPtr e = stack.back();
    stack.pop_back();
    (void)e->GetLocalName();
    (void)e->GetNamespaceURI();
    (void)e->AttributeCount();
    for (auto& child : e->Elements())
      stack.push_back(child);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  dv::DvDOMDocumentPtr doc;
  try {
    doc = dv::DvCreateDOM(text);
  } catch (const dv::Exception&) {
    return 0;  // refused: malformed, a DOCTYPE, …
  }
  // What the writer produces must parse, and from then on text and tree stay the same. (The
  // first round may still normalise: a whitespace-only text node beside elements, written from a
  // character reference, is layout to the reader.)
  std::string written = doc->GetXML();
  for (int round = 0; round < 2; ++round) {
    dv::DvDOMDocumentPtr again;
    try {
      again = dv::DvCreateDOM(written);
    } catch (const dv::Exception&) {
      Check(false);  // the writer produced text the reader refuses
    }
    const std::string rewritten = again->GetXML();
    if (round == 1) Check(rewritten == written);
    written = rewritten;
  }
  if (dv::DvDOMElementPtr root = doc->GetDocumentElement()) {
    VisitAll(root);
    for (const char* path : {"/Envelope/Body/*/ResponseMessages/*", "//ItemId", "Header/*",
                             "//*[@ResponseClass='Error']/MessageText", "*/*[2]"}) {
      try {
        if (auto e = doc->SelectSingleElement(path)) (void)e->GetAsString();
        (void)root->CreateElementList(path);
      } catch (const dv::Exception&) {
      }
    }
  }
  return 0;
}
