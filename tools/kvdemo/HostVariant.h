#pragma once
// The OLE values a host hands to kvopros2 and gets back from it: owned
// VARIANTs, FILETIMEs, and their texts for the terminal. On Windows they come
// from oleaut32, on Linux from the kv_ helpers the library exports; nothing
// here uses the library's own C++ classes.
// Not shared between threads: each value belongs to the thread using it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "kvopros2.h"

namespace kv::demo {

// A VARIANT this program owns; cleared when it goes.
class TOwnedVariant {
 public:
  TOwnedVariant();
  ~TOwnedVariant();
  TOwnedVariant(const TOwnedVariant&) = delete;
  TOwnedVariant& operator=(const TOwnedVariant&) = delete;

  static TOwnedVariant Double(double value);
  static TOwnedVariant Int32(std::int32_t value);
  // VARIANT_TRUE / VARIANT_FALSE, as OLE hosts write booleans.
  static TOwnedVariant Boolean(bool value);
  // A VT_BSTR made from UTF-8.
  static TOwnedVariant Text(std::string_view utf8);

  // Passed by value to the exports: the library copies what it needs and
  // leaves the BSTR to us.
  const VARIANT& Get() const { return value_; }
  // For c_ReceiveControl, which fills it with a value we then own. Clears
  // what it held first.
  VARIANT* Reset();

 private:
  TOwnedVariant(TOwnedVariant&& other) noexcept;
  VARIANT value_;
};

// "71.5", "true", "\"text\"", "Empty", "[array of 3, VT 0x2005]"...: UTF-8.
std::string VariantText(const VARIANT& value);
// The value as a switch: numbers and booleans by "not 0"; nothing for
// texts, arrays and Empty.
std::optional<bool> VariantFlag(const VARIANT& value);

FILETIME FileTimeFromTicks(std::uint64_t ticks);
std::uint64_t TicksFromFileTime(const FILETIME& time);
// "2024-03-05 14:07:09.123".
std::string FileTimeText(const FILETIME& time);

}  // namespace kv::demo
