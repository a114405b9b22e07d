// The EWS schema files built into ewssim (generated from data/ews-schema at build time).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace ewssim {

struct EmbeddedFile {
  std::string_view name;  // base name, e.g. "types.xsd"
  const std::string_view* pieces;
  std::size_t count;

  std::string Text() const {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
      text += pieces[i];
    return text;
  }
};

// ews-validate.xsd, xml.xsd, types.xsd and messages.xsd.
std::span<const EmbeddedFile> EmbeddedSchemaFiles();

}  // namespace ewssim
