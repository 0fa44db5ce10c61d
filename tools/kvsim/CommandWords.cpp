#include "kvsim/CommandWords.h"

#include <algorithm>

namespace kv::sim {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool IsKey(const std::vector<std::string>& keys, const TWord& word) {
  return !word.quoted && std::find(keys.begin(), keys.end(), word.text) != keys.end();
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<TWord>& words, std::string& error) {
  words.clear();
  std::size_t at = 0;
  for (;;) {
    while (at < line.size() && IsBlank(line[at])) ++at;
    if (at == line.size()) return true;
    TWord word;
    word.begin = at;
    if (line[at] == '"') {
      word.quoted = true;
      for (++at;; ++at) {
        if (at == line.size()) return error = "a quote is not closed", false;
        if (line[at] == '"') break;
        if (line[at] == '\\' && at + 1 < line.size()) ++at;
        word.text += line[at];
      }
      ++at;
      // A quoted element may end an array ("b"]) or stand before the next
      // one ("a",): then the word is part of an array's text, read whole.
      if (at < line.size() && (line[at] == ']' || line[at] == ',')) {
        while (at < line.size() && (line[at] == ']' || line[at] == ',')) ++at;
        word.quoted = false;
        word.text = line.substr(word.begin, at - word.begin);
      }
      if (at < line.size() && !IsBlank(line[at]))
        return error = "a blank must follow a closing quote", false;
    } else {
      while (at < line.size() && !IsBlank(line[at])) word.text += line[at++];
    }
    word.end = at;
    words.push_back(std::move(word));
  }
}

bool SplitValueAndOptions(const std::string& line, const std::vector<TWord>& words,
                          std::size_t from, const std::vector<std::string>& keys,
                          TValueAndOptions& out, std::string& error) {
  // The options are the longest run of KEY VALUE pairs that ends the line
  // and leaves at least one word for the value.
  std::size_t valueEnd = words.size();
  while (valueEnd >= from + 3 && IsKey(keys, words[valueEnd - 2])) valueEnd -= 2;
  if (valueEnd <= from) return error = "missing value", false;
  out = {};
  for (std::size_t i = valueEnd; i < words.size(); i += 2)
    if (!out.options.emplace(words[i].text, words[i + 1].text).second)
      return error = "'" + words[i].text + "' given twice", false;
  if (valueEnd == from + 1 && words[from].quoted)
    out.value = words[from].text;
  else
    out.value = line.substr(words[from].begin, words[valueEnd - 1].end - words[from].begin);
  return true;
}

}  // namespace kv::sim
