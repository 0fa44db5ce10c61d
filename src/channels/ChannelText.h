#pragma once
// The channel as text: its values in display form (the format attribute,
// names of states, packed device states), its quality, comments and
// signification. A base of TChannel2 without data of its own; the texts are
// Windows-1251 like everything the log and the host see.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kv {

class TChannel2;
class Variant;

class TChannelText {
 public:
  // Prefix, a space unless Prefix is empty or ends in one, Comments.
  std::string FullComments() const;
  std::string SignificationText() const;
  std::string QualityText() const;
  // One value element as text; never raises (an error gives its message).
  std::string ValueToText(std::int32_t index, bool exact) const;
  // ValuesToText(none, false).
  std::string ValuesText() const;
  // All values joined by `separator` (one space when none is given); the
  // quality text for a bad quality; packed device states in display form.
  std::string ValuesToText(std::optional<std::string_view> separator, bool exact) const;

 protected:
  TChannelText() = default;
  ~TChannelText() = default;

 private:
  const TChannel2& Self() const noexcept;
  std::string PackedStatesText(std::uint8_t kind) const;
};

}  // namespace kv
