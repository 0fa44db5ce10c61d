// Every log line of the library is catalogued in docs/LOG.md, under its
// level, and the catalogue holds no line the library no longer writes.
//
// A log line is found in the code as a string literal (adjacent literals
// joined, comments skipped) that begins with a level word and a tab, the
// way every message of the log begins. The catalogue names each line in a
// code span holding the same text as the source, escapes as written
// (`ERROR\t...`), below a heading "## LEVEL". So a line added anywhere in
// src/ fails this test until it is described.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr const char* kLevels[] = {"INFO", "WARNING", "ERROR", "DEBUG"};

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The level word of a message in source form ("ERROR\t..."), or "".
std::string LevelOf(const std::string& message) {
  for (const char* level : kLevels) {
    const std::string prefix = std::string(level) + "\\t";
    if (message.compare(0, prefix.size(), prefix) == 0) return level;
  }
  return {};
}

// The string literals of C++ source text as written between their quotes,
// adjacent ones joined into one.
std::vector<std::string> StringLiterals(const std::string& code) {
  std::vector<std::string> literals;
  bool joining = false;  // the last token was a string literal
  std::size_t i = 0;
  const std::size_t n = code.size();
  while (i < n) {
    const char c = code[i];
    if (c == '/' && i + 1 < n && code[i + 1] == '/') {
      i = code.find('\n', i);
      if (i == std::string::npos) i = n;
    } else if (c == '/' && i + 1 < n && code[i + 1] == '*') {
      i = code.find("*/", i + 2);
      i = i == std::string::npos ? n : i + 2;
    } else if (c == '\'' && i > 0 && std::isdigit(static_cast<unsigned char>(code[i - 1])) &&
               i + 1 < n && std::isxdigit(static_cast<unsigned char>(code[i + 1]))) {
      ++i;  // a digit separator
    } else if (c == '"' || c == '\'') {
      std::string text;
      for (++i; i < n && code[i] != c; ++i) {
        if (code[i] == '\\' && i + 1 < n) text += code[i++];
        text += code[i];
      }
      ++i;
      if (c == '\'') {
        joining = false;
        continue;
      }
      if (joining)
        literals.back() += text;
      else
        literals.push_back(text);
      joining = true;
      // A literal's suffix (_cp) belongs to it.
      while (i < n && (std::isalnum(static_cast<unsigned char>(code[i])) || code[i] == '_')) ++i;
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else {
      joining = false;
      ++i;
    }
  }
  return literals;
}

// Log lines of the library's sources, with the files that hold them.
std::map<std::string, std::string> LinesInCode() {
  std::map<std::string, std::string> lines;
  for (const auto& entry : fs::recursive_directory_iterator(fs::path(KV_SOURCE_DIR) / "src")) {
    const std::string ext = entry.path().extension().string();
    if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
    for (const std::string& literal : StringLiterals(ReadFile(entry.path())))
      if (!LevelOf(literal).empty()) lines.emplace(literal, entry.path().filename().string());
  }
  return lines;
}

// Catalogued lines with the level heading they stand under.
std::map<std::string, std::string> LinesInCatalogue() {
  std::map<std::string, std::string> lines;
  std::istringstream doc(ReadFile(fs::path(KV_SOURCE_DIR) / "docs" / "LOG.md"));
  std::string heading;
  for (std::string row; std::getline(doc, row);) {
    if (row.compare(0, 3, "## ") == 0) heading = row.substr(3);
    for (std::size_t open = row.find('`'); open != std::string::npos;) {
      const std::size_t close = row.find('`', open + 1);
      if (close == std::string::npos) break;
      const std::string span = row.substr(open + 1, close - open - 1);
      if (!LevelOf(span).empty()) lines.emplace(span, heading);
      open = row.find('`', close + 1);
    }
  }
  return lines;
}

TEST(LogCatalogue, SourceScanJoinsLiteralsAndSkipsComments) {
  const std::string code =
      "// \"ERROR\\tin a comment\"\n"
      "constexpr auto kA = \"INFO\\tfirst \"  /* gap */\n"
      "    \"second \\\"quoted\\\"\"_cp;\n"
      "char q = '\"'; int k = 1'000; auto kB = \"DEBUG\\tb\";";
  EXPECT_EQ(StringLiterals(code),
            (std::vector<std::string>{"INFO\\tfirst second \\\"quoted\\\"", "DEBUG\\tb"}));
}

TEST(LogCatalogue, EveryLineOfTheCodeIsCataloguedUnderItsLevel) {
  const auto code = LinesInCode();
  ASSERT_TRUE(code.count("INFO\\t*** Начало работы с сервером Kavrel [версия %u.%u] ***"))
      << "the source scan found no start line";
  const auto catalogue = LinesInCatalogue();
  for (const auto& [line, file] : code) {
    auto found = catalogue.find(line);
    if (found == catalogue.end())
      ADD_FAILURE() << "not in docs/LOG.md: `" << line << "` (" << file << ")";
    else
      EXPECT_EQ(found->second, LevelOf(line)) << "catalogued under the wrong level: " << line;
  }
}

TEST(LogCatalogue, EveryCataloguedLineIsStillWritten) {
  const auto code = LinesInCode();
  for (const auto& [line, heading] : LinesInCatalogue())
    EXPECT_TRUE(code.count(line)) << "docs/LOG.md names a line the library does not write: `"
                                  << line << "`";
}

}  // namespace
