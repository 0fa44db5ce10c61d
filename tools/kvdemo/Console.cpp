#include "Console.h"

#include <iostream>

#include "runtime/Utf8.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace kv::demo {

void PrepareConsole() {
#ifdef _WIN32
  SetConsoleOutputCP(CP_UTF8);
#endif
}

void Section(std::string_view title) { std::cout << "\n== " << title << " ==\n"; }

void Line(std::string_view text) { std::cout << "  " << text << '\n'; }

void Problem(std::string_view text) {
  std::cout.flush();
  std::cerr << "kvdemo: " << text << std::endl;
}

std::string LogAsTerminalText(std::string_view ansiLog) {
  std::string text;
  text.reserve(ansiLog.size());
  for (std::size_t i = 0; i < ansiLog.size(); ++i)
    if (!(ansiLog[i] == '\r' && i + 1 < ansiLog.size() && ansiLog[i + 1] == '\n'))
      text += ansiLog[i];
  return Utf8FromAnsi(text);
}

}  // namespace kv::demo
