#include "runtime/Wsprintf.h"

#include <cstdio>
#include <vector>

namespace kv {
namespace {

struct Directive {
  bool leftAlign = false;
  bool zeroPad = false;
  bool alternate = false;
  int width = 0;
  int precision = -1;
  char type = 0;
};

void Pad(std::string& out, std::string_view body, const Directive& d, bool numeric) {
  std::size_t len = body.size();
  std::size_t width = d.width > 0 ? static_cast<std::size_t>(d.width) : 0;
  if (len >= width || d.leftAlign) {
    out.append(body);
    if (len < width) out.append(width - len, ' ');
    return;
  }
  if (d.zeroPad && numeric) {
    std::size_t signLen = (!body.empty() && body[0] == '-') ? 1 : 0;
    out.append(body.substr(0, signLen));
    out.append(width - len, '0');
    out.append(body.substr(signLen));
    return;
  }
  out.append(width - len, ' ');
  out.append(body);
}

std::string Integer(const Directive& d, std::uint32_t word) {
  char buf[32];
  switch (d.type) {
    case 'd':
    case 'i':
      std::snprintf(buf, sizeof buf, "%ld", static_cast<long>(static_cast<std::int32_t>(word)));
      break;
    case 'u':
      std::snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(word));
      break;
    case 'x':
      std::snprintf(buf, sizeof buf, d.alternate ? "%#lx" : "%lx",
                    static_cast<unsigned long>(word));
      break;
    default:
      std::snprintf(buf, sizeof buf, d.alternate ? "%#lX" : "%lX",
                    static_cast<unsigned long>(word));
      break;
  }
  std::string body(buf);
  // A precision pads integers with leading zeros, as printf does.
  if (d.precision > 0) {
    std::size_t signLen = body[0] == '-' ? 1 : 0;
    std::size_t digits = body.size() - signLen;
    if (digits < static_cast<std::size_t>(d.precision))
      body.insert(signLen, static_cast<std::size_t>(d.precision) - digits, '0');
  }
  return body;
}

// Parses one directive after '%'; returns the index after it, or npos when the
// format ends inside it.
std::size_t Parse(std::string_view f, std::size_t i, Directive& d) {
  for (; i < f.size(); ++i) {
    if (f[i] == '-')
      d.leftAlign = true;
    else if (f[i] == '0')
      d.zeroPad = true;
    else if (f[i] == '#')
      d.alternate = true;
    else
      break;
  }
  for (; i < f.size() && f[i] >= '0' && f[i] <= '9'; ++i)
    d.width = d.width < 10000 ? d.width * 10 + (f[i] - '0') : d.width;
  if (i < f.size() && f[i] == '.') {
    d.precision = 0;
    for (++i; i < f.size() && f[i] >= '0' && f[i] <= '9'; ++i)
      d.precision = d.precision < 10000 ? d.precision * 10 + (f[i] - '0') : d.precision;
  }
  while (i < f.size() && (f[i] == 'l' || f[i] == 'h' || f[i] == 'w')) ++i;
  if (i >= f.size()) return std::string_view::npos;
  d.type = f[i];
  return i + 1;
}

}  // namespace

std::uint32_t WsArg::Word() const {
  if (kind_ == Kind::Text) return 0;
  return static_cast<std::uint32_t>(int_);
}

std::string Wsprintf(std::string_view format, std::initializer_list<WsArg> args) {
  std::string out;
  const WsArg* next = args.begin();
  auto take = [&]() -> const WsArg* { return next != args.end() ? next++ : nullptr; };
  std::size_t i = 0;
  while (i < format.size() && out.size() < kWsprintfLimit) {
    char c = format[i];
    if (c != '%') {
      out += c;
      ++i;
      continue;
    }
    Directive d;
    std::size_t after = Parse(format, i + 1, d);
    if (after == std::string_view::npos) break;
    i = after;
    switch (d.type) {
      case 's':
      case 'S': {
        const WsArg* a = take();
        std::string text;
        if (a)
          text = a->IsText() ? std::string(a->Text())
                             : std::to_string(static_cast<std::int32_t>(a->Word()));
        if (d.precision >= 0 && text.size() > static_cast<std::size_t>(d.precision))
          text.resize(static_cast<std::size_t>(d.precision));
        Pad(out, text, d, false);
        break;
      }
      case 'c':
      case 'C': {
        const WsArg* a = take();
        char ch = a ? (a->IsText() ? (a->Text().empty() ? '\0' : a->Text()[0])
                                   : static_cast<char>(a->Word()))
                    : '\0';
        Pad(out, std::string_view(&ch, ch ? 1 : 0), d, false);
        break;
      }
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X': {
        const WsArg* a = take();
        Pad(out, Integer(d, a ? a->Word() : 0), d, true);
        break;
      }
      default:
        // %% and unknown directives copy the character, as wsprintf does.
        out += d.type;
        break;
    }
  }
  if (out.size() > kWsprintfLimit) out.resize(kWsprintfLimit);
  return out;
}

}  // namespace kv
