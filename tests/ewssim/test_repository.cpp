// A clone stands alone: no tracked file points at a folder outside the checkout.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "test_helpers.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> TrackedFiles(const fs::path& root) {
  std::vector<std::string> files;
  const std::string cmd = "git -C \"" + root.string() + "\" ls-files -z 2>/dev/null";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) return files;
  std::string name;
  for (int ch; (ch = std::fgetc(pipe)) != EOF;) {
    if (ch != 0) {
      name += static_cast<char>(ch);
    } else {
      files.push_back(name);
      name.clear();
    }
  }
  if (pclose(pipe) != 0) files.clear();
  return files;
}

bool PathChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) ||
         std::string_view("_.-/${}").find(c) != std::string_view::npos;
}

bool Inside(const fs::path& p, const fs::path& root) {
  const std::string s = p.lexically_normal().string();
  return s == root.string() || s.rfind(root.string() + "/", 0) == 0;
}

// Every "../" path in `text` that leads outside `root`: resolved against the file's folder, or
// (as prose and scripts write paths; not in C++, where "../x" is as likely an XPath) against the
// checkout root when it names nothing in the file's folder. ${CMAKE_SOURCE_DIR} and
// ${CMAKE_CURRENT_SOURCE_DIR} are understood.
std::vector<std::string> EscapingPaths(const std::string& text, const fs::path& root,
                                       const fs::path& folder, bool fromRootToo) {
  std::vector<std::string> found;
  for (size_t at = text.find("../"), end = 0; at != std::string::npos; at = text.find("../", end)) {
    size_t begin = at;
    end = at;
    while (begin > 0 && PathChar(text[begin - 1]))
      --begin;
    while (end < text.size() && PathChar(text[end]))
      ++end;
    std::string token = text.substr(begin, end - begin);
    fs::path base = folder;
    for (const char* var : {"${CMAKE_SOURCE_DIR}/", "${PROJECT_SOURCE_DIR}/"})
      if (token.rfind(var, 0) == 0) base = root, token.erase(0, std::string(var).size());
    if (token.rfind("${CMAKE_CURRENT_SOURCE_DIR}/", 0) == 0) token.erase(0, 28);
    if (token.find('$') != std::string::npos || token.front() == '/') continue;
    if (!Inside(base / token, root) ||
        (fromRootToo && !Inside(root / token, root) && !fs::exists(base / token)))
      found.push_back(token);
  }
  return found;
}

TEST(Repository, NoTrackedFileRefersToAFolderOutsideTheCheckout) {
  const fs::path root = fs::path(EWS_SOURCE_DIR).lexically_normal();
  const std::vector<std::string> files = TrackedFiles(root);
  if (files.empty()) GTEST_SKIP() << "not a git checkout";
  const std::string parent = root.parent_path().string();
  // An absolute path into the folder around the checkout (a checkout directly in the system's
  // temporary folder is left out: tests name files there on purpose).
  std::error_code ec;
  const bool generic = parent == "/" || fs::equivalent(parent, fs::temp_directory_path(ec), ec);
  const std::string absolute = generic ? std::string() : parent + "/";
  // The copies under data/ are third-party files kept byte for byte; their own README is ours.
  EXPECT_EQ(EscapingPaths("a ../../"
                          "../outside/x, ${CMAKE_SOURCE_DIR}/.."
                          "/x, ../tests",
                          root, root / "docs", true)
                .size(),
            2u);
  std::string failures;
  for (const std::string& name : files) {
    if (name.rfind("data/", 0) == 0 && name != "data/README.md") continue;
    const fs::path path = root / name;
    if (!fs::is_regular_file(path)) continue;
    const std::string text = ews_test::ReadFile(path);
    if (text.find('\0') != std::string::npos) continue;  // binary
    const std::string ext = path.extension().string();
    const bool cpp = ext == ".cpp" || ext == ".h";
    for (const std::string& p : EscapingPaths(text, root, path.parent_path(), !cpp))
      failures += name + ": " + p + "\n";
    if (!absolute.empty() && text.find(absolute) != std::string::npos)
      failures += name + ": " + absolute + "\n";
  }
  EXPECT_EQ(failures, "");
}

}  // namespace
