// Output of the `ews` tool: rows printed as an aligned table for people, or as JSON for scripts.
// Both forms are written row by row, so a folder of any size is listed in constant memory (the
// stream's own buffering decides when the text reaches the reader: by line on a terminal).
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

// Width of a UTF-8 text in terminal columns: East Asian wide and full-width characters count 2,
// combining marks and format characters 0, everything else 1.
std::size_t DisplayWidth(const std::string& text);
// A text made safe for one table cell: invalid UTF-8 becomes U+FFFD, control characters are
// shown as escapes (\r, \n, \t, \x1b) and bidirectional controls are dropped.
std::string CellText(const std::string& text);
// A text made safe for a terminal with its lines kept: CR LF becomes LF; other control
// characters except LF and tab are shown as escapes; invalid UTF-8 becomes U+FFFD.
std::string TerminalText(const std::string& text);
// Cuts a cell text (see CellText) to at most `width` columns, ending with "…" when it was cut.
std::string Fit(const std::string& text, std::size_t width);

// Writes a table as rows arrive. The column widths come from the first `sample` rows (held until
// then); later rows are cut to those widths.
class TableWriter {
 public:
  TableWriter(std::ostream& out, std::vector<std::string> columns, std::size_t maxColumnWidth = 60,
              std::size_t sample = 100);
  void Add(std::vector<std::string> row);
  // Prints what is held (the header at least).
  void Finish();

 private:
  void Flush();
  void Line(const std::vector<std::string>& cells);

  std::ostream& out_;
  std::vector<std::string> columns_;
  std::size_t maxColumnWidth_;
  std::size_t sample_;
  std::vector<std::vector<std::string>> held_;
  std::vector<std::size_t> widths_;
  bool started_ = false;
};

// Writes JSON values as they arrive: one array, an element at a time, or one compact value per
// line (JSON Lines).
class JsonWriter {
 public:
  JsonWriter(std::ostream& out, bool lines);
  void Add(const nlohmann::json& value);
  void Finish();

 private:
  std::ostream& out_;
  bool lines_;
  std::size_t count_ = 0;
};

// JSON text; bytes that are not UTF-8 become U+FFFD. indent < 0: compact.
std::string DumpJson(const nlohmann::json& j, int indent = 2);

// Prints the header, a rule and the rows, each column as wide as its widest cell up to
// maxColumnWidth (wider cells are cut).
void PrintTable(std::ostream& out, const Table& table, std::size_t maxColumnWidth = 60);
// An array of objects, one per row, keyed by the column names.
nlohmann::json TableToJson(const Table& table);

}  // namespace ewscli
