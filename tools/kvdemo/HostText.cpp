#include "HostText.h"

#include "runtime/Utf8.h"

namespace kv::demo {

std::string AnsiText(std::string_view utf8) { return AnsiFromUtf8(utf8); }
std::string Utf8Text(std::string_view ansi) { return Utf8FromAnsi(ansi); }

}  // namespace kv::demo
