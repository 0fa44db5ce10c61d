#include "client/LogText.h"

#include <algorithm>
#include <cmath>

#include "runtime/Exception.h"
#include "runtime/Format.h"
#include "runtime/Variant.h"

namespace kv {

std::string SafeDateTimeText(TDateTime value) {
  try {
    return DateTimeToStr(value);
  } catch (...) {
    return Variant::FromDouble(value).ToAnsi();
  }
}

std::string SafeValuesText(const TChannel2& channel) {
  try {
    return channel.ValuesText();
  } catch (const Exception& e) {
    return e.Message();
  } catch (...) {
    return std::string();
  }
}

std::int32_t TimeDifferenceMs(TDateTime server, TDateTime local) {
  double ms = std::trunc((server - local) * kMSecsPerDay);
  if (!(ms == ms)) return 0;
  ms = std::clamp(ms, -2147483648.0, 2147483647.0);
  return static_cast<std::int32_t>(ms);
}

}  // namespace kv
