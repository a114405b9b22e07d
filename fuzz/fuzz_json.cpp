// Fuzz target: JSON text (autodiscover and OAuth answers) and the OAuth token answer read from
// it. Any text parses or raises EDvJSONException; what parses writes back as compact JSON that
// parses to the same text; every value can be walked and read as each type without a crash.
// The token reader takes any text with any status and either gives a token with an access
// token or raises.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "DvHTTP.h"
#include "DvJSON.h"
#include "DvOAuth.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

void ReadAll(const dv::DvJSONValuePtr& root) {
  std::vector<dv::DvJSONValuePtr> stack{root};
  int visited = 0;
  while (!stack.empty() && ++visited < 10000) {
    dv::DvJSONValuePtr v = stack.back();
    stack.pop_back();
    (void)v->GetType();
    (void)v->MemberNames();
    for (int i = 0; i < v->Count(); ++i)
      stack.push_back(v->GetItem(i));
    try {
      (void)v->AsString();
    } catch (const dv::Exception&) {
    }
    try {
      (void)v->AsInteger();
    } catch (const dv::Exception&) {
    }
    try {
      (void)v->AsDouble();
    } catch (const dv::Exception&) {
    }
    try {
      (void)v->AsBoolean();
    } catch (const dv::Exception&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    dv::DvJSONDocumentPtr doc = dv::DvCreateJSON(text);
    dv::DvJSONValuePtr root = doc->GetRootValue();
    ReadAll(root);
    const std::string compact = root->ToJSON();
    Check(dv::DvCreateJSON(compact)->GetRootValue()->ToJSON() == compact);
  } catch (const dv::EDvJSONException&) {
  }
  for (int status : {200, 400}) {
    try {
      dv::TDvOAuthAccessToken previous;
      previous.RefreshToken = "kept";
      const dv::TDvOAuthAccessToken token = dv::DvReadOAuthTokenAnswer(status, text, previous);
      Check(status == 200 && !token.AccessToken.empty() && !token.RefreshToken.empty());
    } catch (const dv::EDvHTTPClientApiException&) {
    }
  }
  return 0;
}
