#pragma once
// The log's printf: the directives of the platform's wsprintf (%s %c %d %i
// %u %x %X, the l and h size prefixes, '-' and '0' flags, width and
// precision, %%), with arguments passed as a typed list so a directive can
// never read a wrong or missing argument. A missing argument formats as 0 or
// an empty text; an integer given to %s prints as its decimal number.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace kv {

class WsArg {
 public:
  WsArg(int v) : kind_(Kind::Signed), int_(v) {}
  WsArg(long v) : kind_(Kind::Signed), int_(v) {}
  WsArg(long long v) : kind_(Kind::Signed), int_(v) {}
  WsArg(unsigned v) : kind_(Kind::Unsigned), int_(static_cast<std::int64_t>(v)) {}
  WsArg(unsigned long v) : kind_(Kind::Unsigned), int_(static_cast<std::int64_t>(v)) {}
  WsArg(unsigned long long v) : kind_(Kind::Unsigned), int_(static_cast<std::int64_t>(v)) {}
  WsArg(std::string_view v) : kind_(Kind::Text), text_(v) {}
  WsArg(const std::string& v) : kind_(Kind::Text), text_(v) {}
  WsArg(const char* v) : kind_(Kind::Text), text_(v ? std::string_view(v) : "(null)") {}

  bool IsText() const { return kind_ == Kind::Text; }
  // The argument as the 32-bit word a wsprintf integer directive reads.
  std::uint32_t Word() const;
  std::string_view Text() const { return text_; }

 private:
  enum class Kind { Signed, Unsigned, Text };
  Kind kind_;
  std::int64_t int_ = 0;
  std::string_view text_;
};

// Output limit of wsprintf: 1024 bytes including the terminating zero.
inline constexpr std::size_t kWsprintfLimit = 1023;

// Formats and cuts the result at kWsprintfLimit bytes.
std::string Wsprintf(std::string_view format, std::initializer_list<WsArg> args);

}  // namespace kv
