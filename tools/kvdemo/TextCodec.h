#pragma once
// Text conversions a host needs around kvopros2: the library speaks
// Windows-1251 (addresses, attribute texts, its log) and UTF-16 (BSTR
// values), the terminal and this program's sources speak UTF-8. The table is
// the program's own so the demo behaves the same on every system.
// Stateless, any thread.
#include <string>
#include <string_view>

namespace kv::demo {

// A byte the code page leaves undefined (0x98) becomes '?'.
std::string Utf8FromAnsi(std::string_view ansi);
// A character the code page lacks, and broken UTF-8, become '?'.
std::string AnsiFromUtf8(std::string_view utf8);
// A lone surrogate becomes '?'.
std::string Utf8FromUtf16(std::u16string_view wide);
// Broken UTF-8 becomes '?'.
std::u16string Utf16FromUtf8(std::string_view utf8);

}  // namespace kv::demo
