#include "ews_output.h"

#include <algorithm>

namespace ewscli {

std::size_t DisplayWidth(const std::string& text) {
  std::size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string Fit(const std::string& text, std::size_t width) {
  std::string clean;
  clean.reserve(text.size());
  for (char c : text)
    clean += (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
  if (DisplayWidth(clean) <= width) return clean;
  if (width == 0) return {};
  std::string out;
  std::size_t cols = 0;
  for (std::size_t i = 0; i < clean.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(clean[i]);
    if ((c & 0xC0) != 0x80) {
      if (cols == width - 1) break;
      ++cols;
    }
    out += clean[i];
  }
  return out + "\xE2\x80\xA6";  // …
}

void PrintTable(std::ostream& out, const Table& table, std::size_t maxColumnWidth) {
  std::vector<std::size_t> widths(table.columns.size());
  for (std::size_t c = 0; c < table.columns.size(); ++c)
    widths[c] = std::min(DisplayWidth(table.columns[c]), maxColumnWidth);
  for (const auto& row : table.rows)
    for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c)
      widths[c] =
          std::max(widths[c], std::min(DisplayWidth(Fit(row[c], maxColumnWidth)), maxColumnWidth));
  auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t c = 0; c < widths.size(); ++c) {
      std::string cell = c < cells.size() ? Fit(cells[c], widths[c]) : std::string();
      text += cell;
      if (c + 1 < widths.size()) text += std::string(widths[c] - DisplayWidth(cell) + 2, ' ');
    }
    while (!text.empty() && text.back() == ' ')
      text.pop_back();
    out << text << '\n';
  };
  line(table.columns);
  std::vector<std::string> rule;
  for (std::size_t w : widths)
    rule.push_back(std::string(w, '-'));
  line(rule);
  for (const auto& row : table.rows)
    line(row);
}

nlohmann::json TableToJson(const Table& table) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& row : table.rows) {
    nlohmann::json object = nlohmann::json::object();
    for (std::size_t c = 0; c < table.columns.size(); ++c)
      object[table.columns[c]] = c < row.size() ? row[c] : std::string();
    array.push_back(std::move(object));
  }
  return array;
}

}  // namespace ewscli
