#pragma once
// Texts between this program (UTF-8, as the terminal and the sources) and the
// library (Windows-1251, as every text of kvopros2.h).
#include <string>
#include <string_view>

namespace kv::demo {

std::string AnsiText(std::string_view utf8);
std::string Utf8Text(std::string_view ansi);

}  // namespace kv::demo
