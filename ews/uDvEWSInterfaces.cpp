#include "uDvEWSInterfaces.h"

#include <cctype>
#include <vector>

namespace dv {

std::string DvEWSFormat(std::string_view format, std::initializer_list<std::string_view> args) {
  const std::vector<std::string_view> list(args);
  std::string out;
  out.reserve(format.size() + 32);
  std::size_t next = 0;  // the argument a plain directive takes
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // %[index:][:index][-][width][.precision]type
    std::size_t j = i + 1;
    long index = -1;
    auto readNumber = [&](std::size_t& k) {
      long n = 0;
      bool any = false;
      while (k < format.size() && std::isdigit(static_cast<unsigned char>(format[k]))) {
        n = n * 10 + (format[k] - '0');
        any = true;
        ++k;
      }
      return any ? n : -1L;
    };
    const std::size_t numberStart = j;
    long n = readNumber(j);
    if (j < format.size() && format[j] == ':') {
      ++j;
      if (n < 0) n = readNumber(j);  // "%:0s"
      index = n;
    } else {
      j = numberStart;  // a width, not an index
    }
    if (j < format.size() && format[j] == '-') ++j;
    readNumber(j);
    if (j < format.size() && format[j] == '.') {
      ++j;
      readNumber(j);
    }
    if (j >= format.size() || std::isalpha(static_cast<unsigned char>(format[j])) == 0) {
      out += c;  // not a directive
      continue;
    }
    const std::size_t arg = index >= 0 ? static_cast<std::size_t>(index) : next;
    if (arg < list.size()) {
      out += list[arg];
      next = arg + 1;
    } else {
      out.append(format.substr(i, j - i + 1));
    }
    i = j;
  }
  return out;
}

std::string EEWSException::Compose(const std::string& lead, const std::string& detail) {
  std::string text = lead;
  // One trailing period is dropped; the message supplies its own.
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text + " (" + detail + ").";
}

EEWSException::EEWSException(const std::string& lead, const std::string& detail,
                             std::uint32_t httpErrorCode)
    : Exception(Compose(lead, detail)), ewsErrorCode_(detail), httpErrorCode_(httpErrorCode) {}

EEWSException::EEWSException(const std::string& message, std::uint32_t httpErrorCode)
    : Exception(message), httpErrorCode_(httpErrorCode) {}

EEWSException::EEWSException(const std::string& message, const std::string& ewsErrorCode,
                             std::uint32_t httpErrorCode, int)
    : Exception(message), ewsErrorCode_(ewsErrorCode), httpErrorCode_(httpErrorCode) {}

EEWSException EEWSException::CreateFmt(std::string_view format,
                                       std::initializer_list<std::string_view> args,
                                       const std::string& detail) {
  return EEWSException(DvEWSFormat(format, args), detail, 0);
}

EEWSException EEWSException::CreateFmt(std::string_view format,
                                       std::initializer_list<std::string_view> args,
                                       std::uint32_t httpErrorCode) {
  return EEWSException(DvEWSFormat(format, args), std::string(), httpErrorCode, 0);
}

}  // namespace dv
