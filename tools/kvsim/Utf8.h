#pragma once
// Terminal texts: the server's texts are Windows-1251 like everything the
// library produces, the terminal speaks UTF-8. Stateless, any thread.
#include <string>
#include <string_view>

namespace kv::sim {

std::string Utf8FromAnsi(std::string_view ansi);
// A character the code page lacks, and broken UTF-8, become '?'.
std::string AnsiFromUtf8(std::string_view utf8);

}  // namespace kv::sim
