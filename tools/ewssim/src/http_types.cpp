#include "http_types.h"

#include <algorithm>
#include <cctype>
// GCC 12 warns falsely (maybe-uninitialized) inside <regex> when the sanitizers instrument it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>

namespace ewssim {

bool HeaderLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(
      a.begin(), a.end(), b.begin(), b.end(),
      [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

std::string HttpRequest::Header(const std::string& name) const {
  auto it = headers.find(name);
  return it == headers.end() ? std::string() : it->second;
}

std::string HttpRequest::Query(const std::string& name) const {
  auto it = query.find(name);
  return it == query.end() ? std::string() : it->second;
}

bool DispatchRoute(const std::vector<HttpRoute>& routes, const HttpRequest& request,
                   HttpResponse& response) {
  for (const HttpRoute& route : routes) {
    if (route.method != request.method) continue;
    const std::regex pattern(route.pathPattern, std::regex::ECMAScript | std::regex::icase);
    if (!std::regex_match(request.path, pattern)) continue;
    route.handler(request, response);
    return true;
  }
  return false;
}
#pragma GCC diagnostic pop

}  // namespace ewssim
