#include "runtime/Variant.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/VariantInternal.h"

namespace kv {
namespace {

constexpr std::string_view kNotAnArray = "Variant is not an array";
constexpr std::string_view kIndexOutOfBounds = "Variant or safe array index out of bounds";
constexpr std::string_view kArrayCreateError = "Error creating variant or safe array";
constexpr std::string_view kInvalidKind = "Invalid variant type";

bool IsValidElementKind(std::uint16_t kind) {
  return kind != varEmpty && kind != varString && IsKnownScalarKind(kind);
}

const char* ScalarName(std::uint16_t kind) {
  switch (kind) {
    case varEmpty:
      return "Empty";
    case varSmallint:
      return "Smallint";
    case varInteger:
      return "Integer";
    case varSingle:
      return "Single";
    case varDouble:
      return "Double";
    case varDate:
      return "Date";
    case varOleStr:
      return "OleStr";
    case varBoolean:
      return "Boolean";
    case varShortInt:
      return "ShortInt";
    case varByte:
      return "Byte";
    case varWord:
      return "Word";
    case varLongWord:
      return "LongWord";
    case varString:
      return "String";
    default:
      return nullptr;
  }
}

}  // namespace

std::string VarTypeName(std::uint16_t kind) {
  std::uint16_t element = kind & varTypeMask;
  const char* name = ScalarName(element);
  std::string text = name ? name : std::to_string(element);
  return (kind & varArray) ? "Array " + text : text;
}

bool IsKnownScalarKind(std::uint16_t kind) noexcept { return ScalarName(kind) != nullptr; }

static_assert(sizeof(Variant) == 16, "channels and attributes hold many of them");

struct Variant::TArray {
  TArray(std::int32_t lowBound, std::vector<Variant> items)
      : low(lowBound), elements(std::move(items)) {}
  TArray(const TArray& other) : low(other.low), elements(other.elements) {}
  std::atomic<std::uint32_t> references{1};
  std::int32_t low = 0;
  std::vector<Variant> elements;
};

namespace {

// A text block: its reference count, then the characters (1 or 2 bytes
// each). The count of characters is the Variant's.
using TTextHeader = std::atomic<std::uint32_t>;
static_assert(sizeof(TTextHeader) == 4, "the characters follow at an aligned offset");

TTextHeader& HeaderOf(const unsigned char* block) noexcept {
  return *std::launder(reinterpret_cast<TTextHeader*>(const_cast<unsigned char*>(block)));
}

template <class Char>
unsigned char* NewText(std::basic_string_view<Char> text) {
  if (text.empty()) return nullptr;
  auto* block =
      static_cast<unsigned char*>(::operator new(sizeof(TTextHeader) + text.size() * sizeof(Char)));
  new (block) TTextHeader{1};
  std::memcpy(block + sizeof(TTextHeader), text.data(), text.size() * sizeof(Char));
  return block;
}

template <class Char>
std::basic_string_view<Char> TextOf(const unsigned char* block, std::uint32_t count) noexcept {
  if (block == nullptr) return {};
  return {reinterpret_cast<const Char*>(block + sizeof(TTextHeader)), count};
}

// One more reference to a block: no order needed, whoever copies already
// sees the block.
void Share(std::atomic<std::uint32_t>& references) noexcept {
  references.fetch_add(1, std::memory_order_relaxed);
}

// True when the last reference went: what other threads did with the block
// is then visible to the one that frees it.
bool Unshare(std::atomic<std::uint32_t>& references) noexcept {
  return references.fetch_sub(1, std::memory_order_acq_rel) == 1;
}

bool IsTextKind(std::uint16_t kind) { return kind == varString || kind == varOleStr; }

}  // namespace

std::string_view Variant::AnsiView() const noexcept { return TextOf<char>(text_, count_); }
std::u16string_view Variant::WideView() const noexcept { return TextOf<char16_t>(text_, count_); }

void Variant::Release() noexcept {
  if (kind_ & varArray) {
    if (Unshare(array_->references)) delete array_;
  } else if (IsTextKind(kind_) && text_ != nullptr) {
    TTextHeader& header = HeaderOf(text_);
    if (Unshare(header)) {
      header.~TTextHeader();
      ::operator delete(text_);
    }
  }
}

void Variant::CopyFrom(const Variant& other) noexcept {
  int_ = other.int_;
  count_ = other.count_;
  kind_ = other.kind_;
  if (kind_ & varArray)
    Share(array_->references);
  else if (IsTextKind(kind_) && text_ != nullptr)
    Share(HeaderOf(text_));
}

void Variant::UnshareArray() {
  if (array_->references.load(std::memory_order_acquire) == 1) return;
  TArray* own = new TArray(*array_);
  Release();
  array_ = own;
}

Variant::Variant(const Variant& other) : int_(0) { CopyFrom(other); }

Variant::Variant(Variant&& other) noexcept
    : kind_(other.kind_), count_(other.count_), int_(other.int_) {
  other.kind_ = varEmpty;
  other.count_ = 0;
  other.int_ = 0;
}

Variant& Variant::operator=(const Variant& other) {
  if (this == &other) return *this;
  Variant copy(other);
  return *this = std::move(copy);
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this == &other) return *this;
  Release();
  kind_ = other.kind_;
  count_ = other.count_;
  int_ = other.int_;
  other.kind_ = varEmpty;
  other.count_ = 0;
  other.int_ = 0;
  return *this;
}

Variant::~Variant() { Release(); }

bool Variant::OwnsHeap() const noexcept {
  return (kind_ & varArray) != 0 || (IsTextKind(kind_) && text_ != nullptr);
}

void Variant::SwapPublished(Variant& other) noexcept {
  const std::uint16_t kind = kind_;
  const std::uint32_t count = count_;
  const std::int64_t payload = int_;
  std::atomic_ref<std::uint16_t>(kind_).store(other.kind_, std::memory_order_relaxed);
  std::atomic_ref<std::uint32_t>(count_).store(other.count_, std::memory_order_relaxed);
  std::atomic_ref<std::int64_t>(int_).store(other.int_, std::memory_order_relaxed);
  other.kind_ = kind;
  other.count_ = count;
  other.int_ = payload;
}

Variant::TBits Variant::LoadPublished() const noexcept {
  auto& self = const_cast<Variant&>(*this);
  return {std::atomic_ref<std::uint16_t>(self.kind_).load(std::memory_order_relaxed),
          std::atomic_ref<std::uint32_t>(self.count_).load(std::memory_order_relaxed),
          std::atomic_ref<std::int64_t>(self.int_).load(std::memory_order_relaxed)};
}

Variant Variant::CopyOfBits(const TBits& bits) noexcept {
  // A view that owns nothing: copying it counts one more reference.
  Variant view;
  view.kind_ = bits.kind;
  view.count_ = bits.count;
  view.int_ = bits.payload;
  Variant copy(view);
  view.kind_ = varEmpty;
  return copy;
}

Variant VariantAccess::MakeInt(std::uint16_t kind, std::int64_t value) noexcept {
  Variant v;
  v.kind_ = kind;
  v.int_ = value;
  return v;
}

Variant VariantAccess::MakeReal(std::uint16_t kind, double value) noexcept {
  Variant v;
  v.kind_ = kind;
  v.real_ = value;
  return v;
}

Variant VariantAccess::MakeArray(std::uint16_t elementKind, std::int32_t low,
                                 std::vector<Variant> elements) {
  Variant v;
  v.array_ = new Variant::TArray(low, std::move(elements));
  v.kind_ = static_cast<std::uint16_t>(elementKind | varArray);
  return v;
}

std::string_view VariantAccess::Ansi(const Variant& v) noexcept { return v.AnsiView(); }
std::u16string_view VariantAccess::Wide(const Variant& v) noexcept { return v.WideView(); }
const std::vector<Variant>& VariantAccess::Elements(const Variant& v) noexcept {
  return v.array_->elements;
}
std::int32_t VariantAccess::Low(const Variant& v) noexcept { return v.array_->low; }

Variant::Variant(std::int32_t value) noexcept : kind_(varInteger), int_(value) {}
Variant::Variant(double value) noexcept : kind_(varDouble), real_(value) {}

Variant Variant::FromInt8(std::int8_t value) noexcept {
  return VariantAccess::MakeInt(varShortInt, value);
}
Variant Variant::FromUInt8(std::uint8_t value) noexcept {
  return VariantAccess::MakeInt(varByte, value);
}
Variant Variant::FromInt16(std::int16_t value) noexcept {
  return VariantAccess::MakeInt(varSmallint, value);
}
Variant Variant::FromUInt16(std::uint16_t value) noexcept {
  return VariantAccess::MakeInt(varWord, value);
}
Variant Variant::FromInt32(std::int32_t value) noexcept {
  return VariantAccess::MakeInt(varInteger, value);
}
Variant Variant::FromUInt32(std::uint32_t value) noexcept {
  return VariantAccess::MakeInt(varLongWord, value);
}
Variant Variant::FromSingle(float value) noexcept {
  return VariantAccess::MakeReal(varSingle, value);
}
Variant Variant::FromDouble(double value) noexcept {
  return VariantAccess::MakeReal(varDouble, value);
}
Variant Variant::FromDate(double value) noexcept { return VariantAccess::MakeReal(varDate, value); }
Variant Variant::FromBoolean(bool value) noexcept {
  return VariantAccess::MakeInt(varBoolean, value ? 0xFFFF : 0);
}
Variant Variant::FromBooleanWord(std::uint16_t word) noexcept {
  return VariantAccess::MakeInt(varBoolean, word);
}

Variant Variant::FromAnsi(std::string_view text) {
  Variant v;
  v.text_ = NewText(text);
  v.count_ = static_cast<std::uint32_t>(text.size());
  v.kind_ = varString;
  return v;
}

Variant Variant::FromWide(std::u16string_view text) {
  Variant v;
  v.text_ = NewText(text);
  v.count_ = static_cast<std::uint32_t>(text.size());
  v.kind_ = varOleStr;
  return v;
}

Variant Variant::ZeroOf(std::uint16_t kind) {
  if (!IsKnownScalarKind(kind)) throw Exception(kInvalidKind);
  Variant v;
  v.kind_ = kind;
  return v;
}

Variant Variant::CreateArray(std::uint16_t elementKind, std::int32_t low, std::int32_t high) {
  std::int64_t count = std::int64_t{high} - low + 1;
  if (!IsValidElementKind(elementKind) || count < 0) throw Exception(kArrayCreateError);
  std::vector<Variant> elements(static_cast<std::size_t>(count), ZeroOf(elementKind));
  return VariantAccess::MakeArray(elementKind, low, std::move(elements));
}

std::int32_t Variant::ArrayLow() const {
  if (!IsArray()) throw Exception(kNotAnArray);
  return array_->low;
}

std::int32_t Variant::ArrayHigh() const {
  return static_cast<std::int32_t>(ArrayLow() + std::int64_t{ArrayCount()} - 1);
}

std::int32_t Variant::ArrayCount() const {
  if (!IsArray()) throw Exception(kNotAnArray);
  return static_cast<std::int32_t>(array_->elements.size());
}

Variant Variant::GetElement(std::int32_t index) const {
  std::int64_t offset = std::int64_t{index} - ArrayLow();
  if (offset < 0 || offset >= ArrayCount()) throw Exception(kIndexOutOfBounds);
  return array_->elements[static_cast<std::size_t>(offset)];
}

void Variant::SetElement(std::int32_t index, const Variant& value) {
  std::int64_t offset = std::int64_t{index} - ArrayLow();
  if (offset < 0 || offset >= ArrayCount()) throw Exception(kIndexOutOfBounds);
  Variant element = value.ChangeType(ElementKind());
  UnshareArray();
  array_->elements[static_cast<std::size_t>(offset)] = std::move(element);
}

void Variant::ChangeTypeInPlace(std::uint16_t kind) { *this = ChangeType(kind); }

std::int8_t Variant::ToInt8() const {
  return static_cast<std::int8_t>(ChangeType(varShortInt).int_);
}
std::uint8_t Variant::ToUInt8() const {
  return static_cast<std::uint8_t>(ChangeType(varByte).int_);
}
std::int16_t Variant::ToInt16() const {
  return static_cast<std::int16_t>(ChangeType(varSmallint).int_);
}
std::uint16_t Variant::ToUInt16() const {
  return static_cast<std::uint16_t>(ChangeType(varWord).int_);
}
std::int32_t Variant::ToInt32() const {
  return static_cast<std::int32_t>(ChangeType(varInteger).int_);
}
std::uint32_t Variant::ToUInt32() const {
  return static_cast<std::uint32_t>(ChangeType(varLongWord).int_);
}
float Variant::ToSingle() const { return static_cast<float>(ChangeType(varSingle).real_); }
double Variant::ToDouble() const { return ChangeType(varDouble).real_; }
double Variant::ToDate() const { return ChangeType(varDate).real_; }
bool Variant::ToBoolean() const { return ChangeType(varBoolean).int_ != 0; }
std::uint16_t Variant::ToBooleanWord() const {
  return static_cast<std::uint16_t>(ChangeType(varBoolean).int_);
}

std::string Variant::ToAnsi() const {
  if (kind_ == varString) return std::string(AnsiView());
  return std::string(ChangeType(varString).AnsiView());
}

std::size_t Variant::HeapBytes() const noexcept {
  if (kind_ & varArray) {
    std::size_t bytes = sizeof(TArray) + array_->elements.capacity() * sizeof(Variant);
    for (const Variant& element : array_->elements) bytes += element.HeapBytes();
    return bytes;
  }
  if (!IsTextKind(kind_) || text_ == nullptr) return 0;
  return sizeof(TTextHeader) + std::size_t{count_} * (kind_ == varOleStr ? 2 : 1);
}

std::size_t Variant::TextLength() const noexcept {
  if (kind_ == varString) return AnsiView().size();
  if (kind_ == varOleStr) return WideView().size();
  return 0;
}

std::u16string Variant::ToWide() const {
  if (kind_ == varOleStr) return std::u16string(WideView());
  return std::u16string(ChangeType(varOleStr).WideView());
}

namespace {

enum class Family { Empty, Number, Boolean, Text, Array };

Family FamilyOf(std::uint16_t kind) {
  if (kind & varArray) return Family::Array;
  switch (kind) {
    case varEmpty:
      return Family::Empty;
    case varBoolean:
      return Family::Boolean;
    case varOleStr:
    case varString:
      return Family::Text;
    default:
      return Family::Number;
  }
}

bool IsRealKind(std::uint16_t kind) {
  return kind == varSingle || kind == varDouble || kind == varDate;
}

double NumberOf(const Variant& v) {
  return IsRealKind(v.Kind()) ? VariantAccess::Real(v) : static_cast<double>(VariantAccess::Int(v));
}

bool SameNumber(const Variant& a, const Variant& b) {
  if (!IsRealKind(a.Kind()) && !IsRealKind(b.Kind()))
    return VariantAccess::Int(a) == VariantAccess::Int(b);
  double x = NumberOf(a), y = NumberOf(b);
  // A NaN that stays NaN is no change.
  return x == y || (std::isnan(x) && std::isnan(y));
}

bool SameText(const Variant& a, const Variant& b) {
  if (a.Kind() == b.Kind())
    return a.Kind() == varString ? VariantAccess::Ansi(a) == VariantAccess::Ansi(b)
                                 : VariantAccess::Wide(a) == VariantAccess::Wide(b);
  const std::u16string_view wide = VariantAccess::Wide(a.Kind() == varOleStr ? a : b);
  const std::string_view ansi = VariantAccess::Ansi(a.Kind() == varOleStr ? b : a);
  if (wide.size() != ansi.size()) return false;
  for (std::size_t i = 0; i < wide.size(); ++i)
    if (wide[i] != AnsiCharToWide(static_cast<unsigned char>(ansi[i]))) return false;
  return true;
}

}  // namespace

bool Variant::Equals(const Variant& other) const {
  Family family = FamilyOf(kind_);
  if (family != FamilyOf(other.kind_)) return false;
  switch (family) {
    case Family::Empty:
      return true;
    case Family::Number:
      return SameNumber(*this, other);
    case Family::Boolean:
      return int_ == other.int_;
    case Family::Text:
      return SameText(*this, other);
    case Family::Array:
      // Copies of one array share its block.
      return kind_ == other.kind_ &&
             (array_ == other.array_ ||
              (array_->low == other.array_->low && array_->elements == other.array_->elements));
  }
  return false;
}

}  // namespace kv
