#pragma once
// Data type codes of channels and attributes, their names, conversion of a
// typed value to the type a code demands, and the binary form of typed values
// on the wire (little-endian, no padding; texts as a 16-bit byte count and
// Windows-1251 bytes). Stateless: every function may run on any thread.
//
// All failures raise kv::Exception with the texts below; conversion errors
// of Variant pass through unchanged. On failure the output parameters are not
// set, and bytes already stored into the caller's buffer stay there.
#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/Variant.h"

namespace kv {

// Data type codes: the low 12 bits name the element type (equal to the
// variant kind number), dtArray marks an array of it.
inline constexpr std::uint16_t dtEmpty = 0;
inline constexpr std::uint16_t dtInt2 = 2;
inline constexpr std::uint16_t dtInt4 = 3;
inline constexpr std::uint16_t dtFloat4 = 4;
inline constexpr std::uint16_t dtFloat8 = 5;
inline constexpr std::uint16_t dtDate = 7;
inline constexpr std::uint16_t dtBoolean = 11;
inline constexpr std::uint16_t dtInt1 = 16;
inline constexpr std::uint16_t dtUInt1 = 17;
inline constexpr std::uint16_t dtUInt2 = 18;
inline constexpr std::uint16_t dtUInt4 = 19;
inline constexpr std::uint16_t dtString = 256;
inline constexpr std::uint16_t dtTypeMask = 0x0FFF;
inline constexpr std::uint16_t dtArray = 0x1000;

// Each element type with what the library knows of it, in one place: its
// name, the width of one value on the wire, its range when it is an integer,
// and the formats FormatValue shows its values with by default and plainly
// (ValueText.h; "" for none: the date's default is the regional pattern).
struct TElementType {
  std::uint16_t Code;
  std::string_view Name;
  int Width;               // payload bytes of one value; 0 for Empty and String (a counted text)
  std::int64_t Low, High;  // integers only; both 0 for the others
  std::string_view DefaultFormat, PlainFormat;

  bool IsInteger() const noexcept { return Low != High; }
};

inline constexpr TElementType kElementTypes[] = {
    {dtEmpty, "Empty", 0, 0, 0, "", ""},
    {dtInt1, "Int1", 1, -128, 127, "%d", "%d"},
    {dtUInt1, "UInt1", 1, 0, 255, "%u", "%u"},
    {dtInt2, "Int2", 2, -32768, 32767, "%d", "%d"},
    {dtUInt2, "UInt2", 2, 0, 65535, "%u", "%u"},
    {dtInt4, "Int4", 4, -2147483648LL, 2147483647LL, "%d", "%d"},
    {dtUInt4, "UInt4", 4, 0, 4294967295LL, "%u", "%u"},
    {dtFloat4, "Float4", 4, 0, 0, "%.1f", "%g"},
    {dtFloat8, "Float8", 8, 0, 0, "%.2f", "%g"},
    {dtDate, "Date", 8, 0, 0, "", "yyyy-mm-dd hh:nn:ss.z"},
    {dtBoolean, "Boolean", 2, 0, 0, "%d", ""},
    {dtString, "String", 0, 0, 0, "", ""},
};

// The entry of an element type (the code without dtArray); nullptr for a
// number that names none.
const TElementType* FindElementType(std::uint16_t element) noexcept;

// The wire form counts array elements and text bytes in 16 bits.
inline constexpr std::int32_t kMaxBinaryCount = 65535;

// True for a code whose values have a binary form: one of the element types
// above (Empty included) alone or, except Empty, as an array, with no bit
// beyond the array flag.
bool HasBinaryForm(std::uint16_t code) noexcept;

// "Int4", "Array of Int4"; an element type without a name gives its number
// ("9", "Array of 9").
std::string DataTypeToText(std::uint16_t code);

// The code describing a variant kind word: the array flag 0x2000 becomes
// 0x1000, OLE text (8) becomes String (256).
std::uint16_t VarTypeToDataType(std::uint16_t kind);

// A new array with bounds 0..n-1 of the element type of code, elements at
// their zero value; String arrays hold OLE texts. Raises kv::Exception for a
// negative n or an element type that cannot form an array (Empty included).
Variant CreateTypedArray(std::uint16_t code, std::int32_t n);

// Converts value in place to the type of code. False when it already had
// that type (a scalar given an array code still becomes a one-element array
// of the zero value then). Arrays come back with bounds 0..n-1.
bool ConvertToType(Variant& value, std::uint16_t code);

// Writes the bare payload of value (array elements back to back, no count)
// into buffer[0..room); *written receives the byte count.
void VariantToBinary(const Variant& value, std::uint8_t* buffer, std::int32_t room,
                     std::int32_t* written);

// Converts a copy of value to code, then writes the optional type word, the
// element count of an array and the payload. *written counts all of it.
void VariantToBinary2(const Variant& value, std::uint16_t code, std::uint8_t* buffer,
                      std::int32_t room, std::int32_t* written, bool withType);

// The bytes VariantToBinary2 writes, without a type word, for a value that
// already has the kind of its type: the count word of an array and the
// payload. -1 for a kind without a binary form. Limits are not applied.
std::int64_t BinarySize(const Variant& value);

// Reads one scalar payload of type code from buffer[0..size). Boolean comes
// back as an unsigned 16-bit word (kind 18), String as single-byte text;
// Empty reads nothing and leaves *value as it was.
void BinaryToVariant(Variant* value, std::uint16_t code, const std::uint8_t* buffer,
                     std::int32_t size, std::int32_t* consumed);

// Reads the optional type word (which then replaces code), an array's count
// and elements, or one scalar. *consumed counts every byte read.
void BinaryToVariant2(Variant* value, std::uint16_t code, const std::uint8_t* buffer,
                      std::int32_t size, std::int32_t* consumed, bool withType);

}  // namespace kv
