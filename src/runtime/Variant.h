#pragma once
// The runtime's typed value: a 16-bit kind word and the value, as the OLE
// automation VARIANT holds it, limited to the kinds the library uses, plus
// one-dimensional arrays of one fixed element kind with a lower and an upper
// bound. A Variant is a plain value type that behaves as if copies were
// deep. A Variant object is not shared between threads by itself.
//
// Size: 16 bytes. Numbers live in the object; a text is one heap block of
// its length and characters (none for an empty text), an array one block
// with its bounds and elements. Channels and attributes hold many of them.
//
// Copies share the heap block of a text or an array: a copy counts one more
// reference (one atomic increment, whatever the size), and the last copy
// to go frees the block. Texts never change in place; SetElement first
// gives its array a block of its own when the block is shared (copy on
// write). So a value of any size is copied in constant time, which lets the
// channel list hand values between threads under short holds of its locks,
// and copies held by different threads may be made, read and destroyed at
// the same time.
//
// Coercion (ChangeType and the To* helpers) follows the OLE automation rules
// with the regional settings of CurrentFormatSettings(): floats round half to
// even before the range check, same-width signed and unsigned integers copy
// their bits, a non-zero number becomes the boolean word 0xFFFF, a boolean
// keeps its raw word when it becomes an unsigned 16-bit number, and texts are
// parsed and printed by the locale. Failures raise kv::Exception with the
// runtime's texts:
//   "Could not convert variant of type (X) into type (Y)"
//   "Overflow while converting variant of type (X) into type (Y)"
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// Kind numbers of the typed value.
inline constexpr std::uint16_t varEmpty = 0;
inline constexpr std::uint16_t varSmallint = 2;   // int16
inline constexpr std::uint16_t varInteger = 3;    // int32
inline constexpr std::uint16_t varSingle = 4;     // float
inline constexpr std::uint16_t varDouble = 5;     // double
inline constexpr std::uint16_t varDate = 7;       // TDateTime (double days)
inline constexpr std::uint16_t varOleStr = 8;     // UTF-16 text
inline constexpr std::uint16_t varBoolean = 11;   // raw 16-bit word
inline constexpr std::uint16_t varShortInt = 16;  // int8
inline constexpr std::uint16_t varByte = 17;      // uint8
inline constexpr std::uint16_t varWord = 18;      // uint16
inline constexpr std::uint16_t varLongWord = 19;  // uint32
inline constexpr std::uint16_t varString = 256;   // Windows-1251 text
inline constexpr std::uint16_t varTypeMask = 0x0FFF;
inline constexpr std::uint16_t varArray = 0x2000;

// The runtime's name of a kind word, as it appears in conversion errors:
// "Smallint", "OleStr", "Array Integer"; an unknown kind gives its number.
std::string VarTypeName(std::uint16_t kind);

// True for the scalar kinds listed above (Empty included).
bool IsKnownScalarKind(std::uint16_t kind) noexcept;

class Variant {
 public:
  // Empty.
  Variant() noexcept : int_(0) {}
  explicit Variant(std::int32_t value) noexcept;  // Integer
  explicit Variant(double value) noexcept;        // Double
  Variant(const Variant& other);
  Variant(Variant&& other) noexcept;
  Variant& operator=(const Variant& other);
  Variant& operator=(Variant&& other) noexcept;
  ~Variant();

  static Variant FromInt8(std::int8_t value) noexcept;
  static Variant FromUInt8(std::uint8_t value) noexcept;
  static Variant FromInt16(std::int16_t value) noexcept;
  static Variant FromUInt16(std::uint16_t value) noexcept;
  static Variant FromInt32(std::int32_t value) noexcept;
  static Variant FromUInt32(std::uint32_t value) noexcept;
  static Variant FromSingle(float value) noexcept;
  static Variant FromDouble(double value) noexcept;
  static Variant FromDate(double value) noexcept;
  // True becomes the word 0xFFFF, false 0.
  static Variant FromBoolean(bool value) noexcept;
  // A boolean holding exactly this word (any non-zero word is true).
  static Variant FromBooleanWord(std::uint16_t word) noexcept;
  // Single-byte text, Windows-1251 bytes (kind 256).
  static Variant FromAnsi(std::string_view text);
  // OLE text, UTF-16 (kind 8).
  static Variant FromWide(std::u16string_view text);
  // The zero value of a scalar kind: 0, false, an empty text; Empty for 0.
  // Raises kv::Exception for a kind that is not a known scalar kind.
  static Variant ZeroOf(std::uint16_t kind);

  // A one-dimensional array with index bounds low..high (high = low - 1 for
  // no elements), every element the zero value of elementKind. Element kinds
  // are the scalar kinds except Empty and String (text arrays hold OLE
  // texts, kind 8); others, or high < low - 1, raise kv::Exception.
  static Variant CreateArray(std::uint16_t elementKind, std::int32_t low, std::int32_t high);

  // The full kind word, array flag included.
  std::uint16_t Kind() const noexcept { return kind_; }
  // The kind without the array flag (the element kind for arrays).
  std::uint16_t ElementKind() const noexcept { return kind_ & varTypeMask; }
  bool IsEmpty() const noexcept { return kind_ == varEmpty; }
  bool IsArray() const noexcept { return (kind_ & varArray) != 0; }

  // Arrays only (kv::Exception otherwise).
  std::int32_t ArrayLow() const;
  std::int32_t ArrayHigh() const;
  std::int32_t ArrayCount() const;
  // Element at index (low..high); kv::Exception outside the bounds.
  Variant GetElement(std::int32_t index) const;
  // Stores value converted to the element kind, as storing into a typed
  // array does (so a Word 65535 stored into a Boolean array becomes true).
  // Conversion errors pass through and leave the element as it was.
  void SetElement(std::int32_t index, const Variant& value);

  // Coercion to another kind word (array flag included: an array converts
  // element by element into an array of the new element kind with the same
  // bounds; an array never becomes a scalar nor a scalar an array). The same
  // kind gives an equal copy.
  Variant ChangeType(std::uint16_t kind) const;
  void ChangeTypeInPlace(std::uint16_t kind);

  // Coercions of a scalar to a plain C++ value; each is ChangeType to the
  // matching kind followed by reading the result, so they raise the same
  // errors.
  std::int8_t ToInt8() const;
  std::uint8_t ToUInt8() const;
  std::int16_t ToInt16() const;
  std::uint16_t ToUInt16() const;
  std::int32_t ToInt32() const;
  std::uint32_t ToUInt32() const;
  float ToSingle() const;
  double ToDouble() const;
  double ToDate() const;
  bool ToBoolean() const;
  // The boolean word: 0xFFFF for a true made by conversion, the raw word of
  // a boolean as held.
  std::uint16_t ToBooleanWord() const;
  std::string ToAnsi() const;     // Windows-1251
  std::u16string ToWide() const;  // UTF-16
  // Characters of a text (single-byte or OLE; each is one byte in
  // Windows-1251), without converting it; 0 for other kinds.
  std::size_t TextLength() const noexcept;
  // Bytes of the heap blocks the value holds (a text's, an array's with its
  // elements'), counted as if it held them alone; 0 for the other kinds.
  std::size_t HeapBytes() const noexcept;

  // Value comparison used to tell whether a value changed. Empty equals only
  // Empty; numbers (dates included) compare by value across kinds; booleans
  // equal booleans with the same raw word; texts equal texts with the same
  // characters (single-byte and OLE texts compare through the code page);
  // arrays equal arrays of the same bounds whose elements are equal. A text
  // never equals a number or a boolean: a change of representation counts as
  // a change rather than raising a conversion error.
  bool Equals(const Variant& other) const;
  friend bool operator==(const Variant& a, const Variant& b) { return a.Equals(b); }

  // --- publication to a reader that takes no lock (a sequence lock) ---
  // The variant's bits as one reader load gives them; torn bits are
  // possible and must be thrown away by the caller's sequence check.
  struct TBits {
    std::uint16_t kind = varEmpty;
    std::uint32_t count = 0;
    std::int64_t payload = 0;
  };
  // True when the value holds a heap block (a text or an array).
  bool OwnsHeap() const noexcept;
  // Exchanges the contents of this variant, which a reader may load at any
  // time through LoadPublished, with those of `other`, which is private to
  // the caller: this variant's fields are written with atomic stores. The
  // caller is the only writer, and must keep a heap block that `other` gets
  // alive for as long as a reader may still copy it.
  void SwapPublished(Variant& other) noexcept;
  // The bits, read with atomic loads.
  TBits LoadPublished() const noexcept;
  // A copy of the value that `bits` describe, sharing its heap block (which
  // must still be alive).
  static Variant CopyOfBits(const TBits& bits) noexcept;

 private:
  struct TArray;

  // Texts: the heap block behind text_, a 32-bit character count followed
  // by the characters (1 or 2 bytes each); null for the empty text.
  std::string_view AnsiView() const noexcept;
  std::u16string_view WideView() const noexcept;
  void Release() noexcept;
  void CopyFrom(const Variant& other) noexcept;
  // Gives the array a block of its own before it is changed.
  void UnshareArray();

  std::uint16_t kind_ = varEmpty;
  // Characters of a text (its block holds its reference count and the
  // characters only: a text of up to 20 characters then fits the heap's
  // 32-byte blocks); 0 for other kinds.
  std::uint32_t count_ = 0;
  // Eight-byte aligned on every target, so that it can be loaded and stored
  // as one atomic word.
  union alignas(8) {
    // The integer kinds and the boolean word (sign-extended for signed
    // kinds).
    std::int64_t int_;
    // Float kinds and Date.
    double real_;
    // varString and varOleStr: a text block (see Variant.cpp), or null for
    // the empty text.
    unsigned char* text_;
    // Arrays: bounds and elements in index order, all of the element kind.
    TArray* array_;
  };

  friend class VariantAccess;
};

}  // namespace kv
