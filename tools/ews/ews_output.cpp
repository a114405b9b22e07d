#include "ews_output.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdio>

namespace ewscli {

namespace {

// Calls f(codePoint, start, length) for each character; an invalid sequence comes as -1.
template <typename F>
void ForEachCodePoint(const std::string& text, F f) {
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c = 0;
    U8_NEXT(s, i, length, c);
    f(c, static_cast<std::size_t>(start), static_cast<std::size_t>(i - start));
  }
}

std::size_t CodePointWidth(UChar32 c) {
  if (c < 0) return 1;  // shown as U+FFFD
  if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;
  const auto category = static_cast<UCharCategory>(u_charType(c));
  if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK || category == U_FORMAT_CHAR ||
      u_getCombiningClass(c) > 0)
    return 0;
  const auto width = static_cast<UEastAsianWidth>(u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH));
  return width == U_EA_WIDE || width == U_EA_FULLWIDTH ? 2 : 1;
}

bool IsBidiControl(UChar32 c) {
  return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F;
}

std::string Escape(UChar32 c) {
  switch (c) {
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    default: {
      char buffer[12];
      std::snprintf(buffer, sizeof buffer, c < 0x100 ? "\\x%02x" : "\\u%04x",
                    static_cast<unsigned>(c));
      return buffer;
    }
  }
}

// The text with invalid UTF-8 replaced and control characters escaped unless `keep` says
// otherwise; bidirectional controls dropped when `dropBidi`.
template <typename Keep>
std::string Clean(const std::string& text, Keep keep, bool dropBidi) {
  std::string out;
  out.reserve(text.size());
  ForEachCodePoint(text, [&](UChar32 c, std::size_t start, std::size_t length) {
    if (c < 0)
      out += "\xEF\xBF\xBD";
    else if ((c < 0x20 || (c >= 0x7F && c < 0xA0)) && !keep(c))
      out += Escape(c);
    else if (!(dropBidi && IsBidiControl(c)))
      out.append(text, start, length);
  });
  return out;
}

}  // namespace

std::size_t DisplayWidth(const std::string& text) {
  std::size_t n = 0;
  ForEachCodePoint(text, [&](UChar32 c, std::size_t, std::size_t) { n += CodePointWidth(c); });
  return n;
}

std::string CellText(const std::string& text) {
  return Clean(
      text, [](UChar32) { return false; }, true);
}

std::string TerminalText(const std::string& text) {
  std::string lines;
  lines.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) lines += text[i];
  return Clean(
      lines, [](UChar32 c) { return c == '\n' || c == '\t'; }, false);
}

std::string Fit(const std::string& text, std::size_t width) {
  std::string clean = CellText(text);
  if (DisplayWidth(clean) <= width) return clean;
  if (width == 0) return {};
  std::string out;
  std::size_t cols = 0;
  bool full = false;
  ForEachCodePoint(clean, [&](UChar32 c, std::size_t start, std::size_t length) {
    if (full) return;
    const std::size_t w = CodePointWidth(c);
    if (cols + w > width - 1) {
      full = true;
      return;
    }
    cols += w;
    out.append(clean, start, length);
  });
  return out + "\xE2\x80\xA6";  // …
}

TableWriter::TableWriter(std::ostream& out, std::vector<std::string> columns,
                         std::size_t maxColumnWidth, std::size_t sample)
    : out_(out),
      columns_(std::move(columns)),
      maxColumnWidth_(maxColumnWidth),
      sample_(std::max<std::size_t>(sample, 1)) {}

void TableWriter::Add(std::vector<std::string> row) {
  if (started_) {
    Line(row);
    return;
  }
  held_.push_back(std::move(row));
  if (held_.size() >= sample_) Flush();
}

void TableWriter::Finish() {
  if (!started_) Flush();
  out_.flush();
}

void TableWriter::Flush() {
  widths_.assign(columns_.size(), 0);
  for (std::size_t c = 0; c < columns_.size(); ++c)
    widths_[c] = std::min(DisplayWidth(CellText(columns_[c])), maxColumnWidth_);
  for (const auto& row : held_)
    for (std::size_t c = 0; c < row.size() && c < widths_.size(); ++c)
      widths_[c] = std::max(widths_[c], DisplayWidth(Fit(row[c], maxColumnWidth_)));
  started_ = true;
  Line(columns_);
  std::vector<std::string> rule;
  for (std::size_t w : widths_)
    rule.push_back(std::string(w, '-'));
  Line(rule);
  for (const auto& row : held_)
    Line(row);
  held_.clear();
  held_.shrink_to_fit();
  out_.flush();
}

void TableWriter::Line(const std::vector<std::string>& cells) {
  std::string text;
  for (std::size_t c = 0; c < widths_.size(); ++c) {
    std::string cell = c < cells.size() ? Fit(cells[c], widths_[c]) : std::string();
    const std::size_t width = DisplayWidth(cell);
    text += cell;
    if (c + 1 < widths_.size()) text += std::string(widths_[c] - width + 2, ' ');
  }
  while (!text.empty() && text.back() == ' ')
    text.pop_back();
  out_ << text << '\n';
}

JsonWriter::JsonWriter(std::ostream& out, bool lines) : out_(out), lines_(lines) {}

void JsonWriter::Add(const nlohmann::json& value) {
  if (lines_) {
    out_ << DumpJson(value, -1) << '\n';
  } else {
    std::string text = DumpJson(value, 2);
    // Indented one level inside the array.
    std::string indented = "  ";
    for (char c : text) {
      indented += c;
      if (c == '\n') indented += "  ";
    }
    out_ << (count_ == 0 ? "[\n" : ",\n") << indented;
  }
  ++count_;
}

void JsonWriter::Finish() {
  if (!lines_) out_ << (count_ == 0 ? "[]\n" : "\n]\n");
  out_.flush();
}

std::string DumpJson(const nlohmann::json& j, int indent) {
  return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

void PrintTable(std::ostream& out, const Table& table, std::size_t maxColumnWidth) {
  TableWriter writer(out, table.columns, maxColumnWidth, table.rows.size() + 1);
  for (const auto& row : table.rows)
    writer.Add(row);
  writer.Finish();
}

nlohmann::json TableToJson(const Table& table) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& row : table.rows) {
    nlohmann::json object = nlohmann::json::object();
    for (std::size_t c = 0; c < table.columns.size(); ++c)
      object[table.columns[c]] =
          c < row.size() && !row[c].empty() ? nlohmann::json(row[c]) : nlohmann::json(nullptr);
    array.push_back(std::move(object));
  }
  return array;
}

}  // namespace ewscli
