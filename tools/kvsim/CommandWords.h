#pragma once
// The words of a command line, shared by the commands typed on standard
// input and the lines of a script: words are separated by blanks, a word in
// double quotes may hold blanks (\" and \\ stand for a quote and a
// backslash). A command that takes a value takes it as the rest of the line
// up to its trailing "KEY VALUE" options, so "control Valve.Mode auto start"
// sends the text "auto start", and "control Plant.Setpoint 12.5 quality 3"
// the number 12.5 with quality 3. No state: any thread.
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace kv::sim {

struct TWord {
  std::string text;       // without its quotes
  std::size_t begin = 0;  // its place in the line, quotes included
  std::size_t end = 0;    // one past its last character
  bool quoted = false;
};

bool SplitWords(const std::string& line, std::vector<TWord>& words, std::string& error);

struct TValueAndOptions {
  std::string value;
  std::map<std::string, std::string> options;  // key -> its value
};
// The value that words[from..] begin with and the options among `keys` they
// end with. False with `error` when there is no value or an option repeats.
bool SplitValueAndOptions(const std::string& line, const std::vector<TWord>& words,
                          std::size_t from, const std::vector<std::string>& keys,
                          TValueAndOptions& out, std::string& error);

}  // namespace kv::sim
