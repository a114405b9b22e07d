// Output of the `ews` tool: rows printed as an aligned table for people, or as JSON for scripts.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

namespace ewscli {

// A result set: column names and rows of texts. Rows may be shorter than the header.
struct Table {
  std::vector<std::string> columns;
  std::vector<std::vector<std::string>> rows;
};

// Width of a UTF-8 text in terminal columns (one per code point; good enough for tables).
std::size_t DisplayWidth(const std::string& text);
// Cuts a text to at most `width` columns, ending with "…" when it was cut; line breaks and tabs
// become spaces.
std::string Fit(const std::string& text, std::size_t width);
// Prints the header, a rule and the rows, each column as wide as its widest cell up to
// maxColumnWidth (wider cells are cut).
void PrintTable(std::ostream& out, const Table& table, std::size_t maxColumnWidth = 60);
// An array of objects, one per row, keyed by the column names.
nlohmann::json TableToJson(const Table& table);

}  // namespace ewscli
