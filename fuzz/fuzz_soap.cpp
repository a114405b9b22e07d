// Fuzz target: SOAP responses and faults, and the splitter that takes MimeContent text out of a
// response while its bytes arrive. Any text parses or raises EDvXMLException; a fault raises
// EDvSOAPFaultException from CheckFault; and the splitter gives the same envelope and MIME text
// however the bytes are cut into pieces.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "DvSOAP.h"
#include "DvXML.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Split {
  bool ok = false;
  std::string envelope, mime;
  bool hasMime = false;
};

// Feeds `text` in pieces of `step` bytes (all at once when 0).
Split Feed(const std::string& text, std::size_t step) {
  Split out;
  dv::TDvBinResponse bin;
  try {
    if (step == 0) {
      bin.Feed(text.data(), text.size());
    } else {
      for (std::size_t at = 0; at < text.size(); at += step)
        bin.Feed(text.data() + at, std::min(step, text.size() - at));
    }
    bin.Finish();
    out.ok = true;
  } catch (const dv::Exception&) {
  }
  out.envelope = bin.GetEnvelopeText();
  out.mime = bin.GetMimeContentText();
  out.hasMime = bin.HasMimeContent();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::size_t step = 1 + size % 7;  // pieces of 1 to 7 bytes, so cuts fall everywhere

  try {
    dv::TDvSOAPResponse response(text);
    (void)response.GetHeader();
    (void)response.GetBody();
    const bool fault = response.GetIsFault();
    if (auto r = response.GetResponse()) (void)r->GetLocalName();
    (void)response.HasArgument("ResponseMessages");
    try {
      response.CheckFault(500);
      Check(!fault);
    } catch (const dv::EDvSOAPFaultException& e) {
      Check(fault);
      (void)e.what();
    }
  } catch (const dv::EDvXMLException&) {
  } catch (const dv::Exception&) {
  }
  (void)dv::DvMaskSecrets(text);

  const Split whole = Feed(text, 0), pieces = Feed(text, step);
  Check(whole.ok == pieces.ok);
  if (whole.ok) {
    Check(whole.envelope == pieces.envelope);
    Check(whole.mime == pieces.mime);
    Check(whole.hasMime == pieces.hasMime);
  }
  return 0;
}
