// Fuzz target: the ews tool's filter language. Any text either parses or raises FilterError, and
// what parses, written back in normal form, parses again to the same normal form.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ews_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ewscli::FilterNodePtr tree;
  try {
    tree = ewscli::ParseFilter(text);
  } catch (const ewscli::FilterError&) {
    return 0;
  }
  const std::string normal = ewscli::FilterToString(*tree);
  ewscli::FilterNodePtr again;
  try {
    again = ewscli::ParseFilter(normal);
  } catch (const ewscli::FilterError&) {
    std::abort();  // the normal form must be valid input
  }
  if (ewscli::FilterToString(*again) != normal) std::abort();
  return 0;
}
