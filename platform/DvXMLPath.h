// The path language of the XML layer: parsing (with a process-wide cache) and evaluation over
// pugixml nodes. Internal to the platform; callers use IDvDOMElement::SelectSingleElement and
// CreateElementList.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace dv::xmlpath {

struct TPath;

// Parses a path, or takes it from the cache. EDvXMLException when the path is malformed.
std::shared_ptr<const TPath> Compile(std::string_view path);

// Every element the path selects from `context`, in document order, without duplicates.
void SelectAll(const TPath& path, pugi::xml_node context, bool caseSensitive,
               std::vector<pugi::xml_node>& result);
// The first element the path selects from `context` (an empty node when none).
pugi::xml_node SelectFirst(const TPath& path, pugi::xml_node context, bool caseSensitive);

// For a path that is one child step by name without predicates ("Subject", "t:Subject"): true,
// with `localName` set to the name's local part. Such a path needs neither parsing nor the cache.
bool IsChildName(std::string_view path, std::string_view& localName);
// The first child element of `context` whose local name is `localName`.
pugi::xml_node FirstChildNamed(pugi::xml_node context, std::string_view localName,
                               bool caseSensitive);

// True when the node's local name (the part after any prefix) equals `name`.
bool LocalNameIs(const char* qualifiedName, std::string_view name, bool caseSensitive);
// The text of a node: its own value for text nodes, all descendant text for elements.
std::string NodeText(pugi::xml_node node);

// Number of compiled paths held in the cache (for tests).
std::size_t CacheSize();

}  // namespace dv::xmlpath
