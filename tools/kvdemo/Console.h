#pragma once
// The demo's terminal output: headed sections of indented UTF-8 lines.
// Only the main thread prints.
#include <string>
#include <string_view>

namespace kv::demo {

// Makes the Windows console show UTF-8; nothing elsewhere.
void PrepareConsole();
void Section(std::string_view title);
void Line(std::string_view text);
// To standard error, for what went wrong.
void Problem(std::string_view text);

// The library's log (Windows-1251 bytes, CR LF line ends) as UTF-8 text
// with plain line ends.
std::string LogAsTerminalText(std::string_view ansiLog);

}  // namespace kv::demo
