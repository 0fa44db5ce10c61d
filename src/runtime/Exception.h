#pragma once
// The library's one general message exception. Its message is Windows-1251
// text, as every text the library produces. The other failure the code
// raises is the bare integer exception `throw 0;`: catch sites that must tell
// the two apart catch `const Exception&` and `int`.
#include <exception>
#include <string>
#include <string_view>

namespace kv {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  explicit Exception(std::string_view message) : message_(message) {}
  explicit Exception(const char* message) : message_(message) {}

  // The Windows-1251 message, exactly as built by the raiser.
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace kv
