#include "protocol/PacketBuffer.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/LittleEndian.h"
#include "runtime/Variant.h"
#include "values/DataTypes.h"
#include "values/DateTime.h"

namespace kv {

// ---------------------------------------------------------------------------
// TDataStack

class TDataStack::TLockGuard {
 public:
  explicit TLockGuard(TDataStack& store) : store_(store) { store_.Lock(true); }
  ~TLockGuard() { store_.Lock(false); }
  TLockGuard(const TLockGuard&) = delete;
  TLockGuard& operator=(const TLockGuard&) = delete;

 private:
  TDataStack& store_;
};

TDataStack::TDataStack(std::int32_t initialCapacity, std::int32_t maximumCapacity)
    : capacity_(std::max<std::int32_t>(initialCapacity, 0)),
      maximumCapacity_(std::max<std::int32_t>(maximumCapacity, 0)) {
  block_ = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(capacity_));
}

TDataStack::~TDataStack() = default;

void TDataStack::Lock(bool /*enter*/) {}

std::int32_t TDataStack::Size() {
  TLockGuard guard(*this);
  return Unread();
}

bool TDataStack::Grow(std::int32_t n) {
  if (n == 0) n = capacity_ / 2;
  if (n < 0) return false;
  const std::int64_t wanted = std::int64_t{capacity_} + n;
  if (wanted > std::numeric_limits<std::int32_t>::max()) return false;
  if (maximumCapacity_ != 0 && maximumCapacity_ < wanted) return false;
  auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(wanted));
  const std::int32_t unread = Unread();
  if (unread > 0)
    std::memcpy(grown.get(), block_.get() + readIndex_, static_cast<std::size_t>(unread));
  block_ = std::move(grown);
  capacity_ = static_cast<std::int32_t>(wanted);
  writeIndex_ = unread;
  readIndex_ = 0;
  return true;
}

// Room for len bytes behind the tail: grows when the free room (the consumed
// front included) is too small, and otherwise moves the unread bytes to the
// front only when the room behind the tail alone is too small.
bool TDataStack::MakeRoom(std::int32_t len) {
  if (capacity_ - Unread() < len) {
    if (!Grow(std::max(len, capacity_ / 2))) return false;
  }
  if (capacity_ - writeIndex_ < len) {
    const std::int32_t unread = Unread();
    if (unread > 0)
      std::memmove(block_.get(), block_.get() + readIndex_, static_cast<std::size_t>(unread));
    writeIndex_ = unread;
    readIndex_ = 0;
  }
  return true;
}

bool TDataStack::Append(const void* data, std::int32_t len) {
  if (data == nullptr || len <= 0) return false;
  TLockGuard guard(*this);
  if (!MakeRoom(len)) return false;
  std::memcpy(block_.get() + writeIndex_, data, static_cast<std::size_t>(len));
  writeIndex_ += len;
  return true;
}

bool TDataStack::Patch(const void* data, std::int32_t len, std::int32_t offset) {
  if (data == nullptr || len <= 0) return false;
  TLockGuard guard(*this);
  std::int64_t at = 0;
  if (offset < 0) {
    at = std::int64_t{writeIndex_} + offset;
    if (at < readIndex_ || std::int64_t{len} + offset > 0) return false;
  } else {
    at = std::int64_t{readIndex_} + offset;
    if (at + len > writeIndex_) return false;
  }
  std::memcpy(block_.get() + at, data, static_cast<std::size_t>(len));
  return true;
}

std::uint8_t* TDataStack::Reserve(std::int32_t n) {
  if (n <= 0 || !MakeRoom(n)) return nullptr;
  return block_.get() + writeIndex_;
}

bool TDataStack::Commit(std::int32_t n) {
  if (n < 0 || n > capacity_ - writeIndex_) return false;
  writeIndex_ += n;
  return true;
}

bool TDataStack::Peek(void* dest, std::int32_t len) {
  if (dest == nullptr || len <= 0) return false;
  TLockGuard guard(*this);
  if (Unread() < len) return false;
  std::memcpy(dest, block_.get() + readIndex_, static_cast<std::size_t>(len));
  return true;
}

bool TDataStack::Read(void* dest, std::int32_t len) {
  if (dest == nullptr || len <= 0) return false;
  TLockGuard guard(*this);
  if (Unread() < len) return false;
  std::memcpy(dest, block_.get() + readIndex_, static_cast<std::size_t>(len));
  Consume(len);
  return true;
}

const std::uint8_t* TDataStack::Data() const {
  return Unread() > 0 ? block_.get() + readIndex_ : nullptr;
}

void TDataStack::Consume(std::int32_t count) {
  if (count < Unread()) {
    readIndex_ += count;
  } else {
    readIndex_ = 0;
    writeIndex_ = 0;
  }
}

void TDataStack::Skip(std::int32_t n) {
  if (n <= 0) return;
  TLockGuard guard(*this);
  Consume(n);
}

void TDataStack::Clear() {
  TLockGuard guard(*this);
  readIndex_ = 0;
  writeIndex_ = 0;
}

bool TDataStack::Truncate(std::int32_t size) {
  TLockGuard guard(*this);
  if (size < 0 || size > Unread()) return false;
  if (size == 0) {
    readIndex_ = 0;
    writeIndex_ = 0;
  } else {
    writeIndex_ = readIndex_ + size;
  }
  return true;
}

bool TDataStack::Shrink(std::int32_t capacity) {
  TLockGuard guard(*this);
  const std::int32_t unread = Unread();
  const std::int32_t target = std::max(capacity, unread);
  if (capacity < 0 || target >= capacity_) return false;
  auto smaller = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(target));
  if (unread > 0)
    std::memcpy(smaller.get(), block_.get() + readIndex_, static_cast<std::size_t>(unread));
  block_ = std::move(smaller);
  capacity_ = target;
  writeIndex_ = unread;
  readIndex_ = 0;
  return true;
}

// ---------------------------------------------------------------------------
// TKavrelCmdParser: fixed-width fields

namespace {

constexpr std::string_view kSetFailed = "TKavrelCmdParser::set(): ошибка добавления в буфер"_cp;
constexpr std::string_view kGetShort = "TKavrelCmdParser::get() нет данных"_cp;
constexpr std::string_view kSetStringFailed =
    "TKavrelCmdParser::set_STRING(): ошибка добавления в буфер"_cp;
constexpr std::string_view kSetStringTooLong =
    "TKavrelCmdParser::set_STRING(): слишком длинный текст: "_cp;
constexpr std::string_view kGetStringShort = "TKavrelCmdParser::get_STRING() нет данных"_cp;
constexpr std::string_view kSetValueFailed =
    "TKavrelCmdParser::set_VALUE(): ошибка добавления в буфер"_cp;
constexpr std::string_view kPacketTooBig =
    "TKavrelCmdParser::SetPacketSize() слишком большой объем данных: "_cp;
constexpr std::string_view kPacketSizeFailed =
    "TKavrelCmdParser::SetPacketSize() ошибка установки размера: "_cp;

// " [ожидаем N есть M]" after a shortage text.
[[noreturn]] void RaiseShortage(std::string_view text, std::int64_t wanted, std::int32_t unread) {
  std::string message(text);
  message += " [ожидаем "_cp;
  message += std::to_string(wanted);
  message += " есть "_cp;
  message += std::to_string(unread);
  message += "]";
  throw Exception(std::move(message));
}

[[noreturn]] void RaiseWithNumber(std::string_view text, std::int64_t n) {
  throw Exception(std::string(text) + std::to_string(n));
}

}  // namespace

TKavrelCmdParser::TKavrelCmdParser() : TDataStack(kInitialCapacity, 0) {}

TKavrelCmdParser::TKavrelCmdParser(std::int32_t capacity)
    : TDataStack(capacity, std::max(capacity, 1)) {}

template <WireScalar T>
void TKavrelCmdParser::set(T value) {
  std::uint8_t bytes[sizeof(T)];
  StoreLE(bytes, value);
  if (!Append(bytes, sizeof(T))) throw Exception(kSetFailed);
}

template <WireScalar T>
T TKavrelCmdParser::get() {
  std::uint8_t bytes[sizeof(T)];
  if (!Read(bytes, sizeof(T))) RaiseShortage(kGetShort, sizeof(T), Size());
  return LoadLE<T>(bytes);
}

#define KV_WIRE_SCALAR(T)                    \
  template void TKavrelCmdParser::set<T>(T); \
  template T TKavrelCmdParser::get<T>();
KV_WIRE_SCALAR(std::uint8_t)
KV_WIRE_SCALAR(std::uint16_t)
KV_WIRE_SCALAR(std::int16_t)
KV_WIRE_SCALAR(std::uint32_t)
KV_WIRE_SCALAR(std::int32_t)
KV_WIRE_SCALAR(std::int64_t)
KV_WIRE_SCALAR(double)
#undef KV_WIRE_SCALAR

// ---------------------------------------------------------------------------
// TKavrelCmdParser: texts

void TKavrelCmdParser::set_STRING(std::string_view text) {
  // A longer text would need a wrapped length word and arrive cut short.
  if (text.size() > kMaxPacketSize)
    RaiseWithNumber(kSetStringTooLong, static_cast<std::int64_t>(text.size()));
  const auto length = static_cast<std::uint16_t>(text.size());
  set(length);
  if (length > 0 && !Append(text.data(), length)) throw Exception(kSetStringFailed);
}

std::string TKavrelCmdParser::get_STRING() {
  const auto length = get<std::uint16_t>();
  if (length == 0) return {};
  std::string text(length, '\0');
  if (!Read(text.data(), length)) RaiseShortage(kGetStringShort, length, Size());
  if (text.back() == '\0') text.pop_back();
  return text;
}

// ---------------------------------------------------------------------------
// TKavrelCmdParser: date-times

void TKavrelCmdParser::set_DATETIME(TDateTime value) { set_STRING(DateTimeToISO8601(value)); }

TDateTime TKavrelCmdParser::get_DATETIME() { return DateTimeFromISO8601(get_STRING()); }

void TKavrelCmdParser::SetDateTimeField(unsigned form, TDateTime value) {
  switch (static_cast<TDateTimeForm>(form & 3)) {
    case TDateTimeForm::None:
      break;
    case TDateTimeForm::Ticks:
      set(DateTimeToTicks(value));
      break;
    case TDateTimeForm::Double:
      set(value);
      break;
    case TDateTimeForm::Iso:
      set_DATETIME(value);
      break;
  }
}

std::optional<TDateTime> TKavrelCmdParser::GetDateTimeField(unsigned form) {
  switch (static_cast<TDateTimeForm>(form & 3)) {
    case TDateTimeForm::Ticks:
      return TicksToDateTime(get<std::int64_t>());
    case TDateTimeForm::Double:
      return get<double>();
    case TDateTimeForm::Iso:
      return get_DATETIME();
    case TDateTimeForm::None:
      break;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// TKavrelCmdParser: typed values

void TKavrelCmdParser::set_VALUE(const Variant& value, std::uint16_t type) {
  std::uint8_t* room = Reserve(kValueRoom);
  if (room == nullptr) throw Exception(kSetValueFailed);
  std::int32_t written = 0;
  VariantToBinary2(value, type, room, kValueRoom, &written, false);
  Commit(written);
}

Variant TKavrelCmdParser::get_VALUE(std::uint16_t type) {
  Variant value;
  std::int32_t consumed = 0;
  BinaryToVariant2(&value, type, Data(), Size(), &consumed, false);
  Skip(consumed);
  return value;
}

// ---------------------------------------------------------------------------
// TKavrelCmdParser: command framing

void TKavrelCmdParser::SetPacketSize(std::int32_t n) {
  if (n == 0) n = Size();
  if (n > kMaxPacketSize) RaiseWithNumber(kPacketTooBig, n);
  // The length word sits at offset 1 - n from the tail. Below the header
  // size that lies outside the command (for n = 1 at the front of the
  // buffer), and with n one more than the unread count the patch would land
  // on the id byte: both are refused, not only what Patch itself refuses.
  if (n < kPacketHeaderSize || n > Size()) RaiseWithNumber(kPacketSizeFailed, n);
  std::uint8_t word[2];
  StoreLE(word, static_cast<std::uint16_t>(n));
  if (!Patch(word, 2, 1 - n)) RaiseWithNumber(kPacketSizeFailed, n);
}

std::optional<std::uint16_t> TKavrelCmdParser::PeekPacketSize() {
  std::uint8_t header[kPacketHeaderSize];
  if (!Peek(header, kPacketHeaderSize)) return std::nullopt;
  return LoadLE<std::uint16_t>(header + 1);
}

bool TKavrelCmdParser::SkipPacket() {
  const auto length = PeekPacketSize();
  // A length below the header would consume nothing or leave part of the
  // header behind, and the stream would never move on.
  if (!length || *length < kPacketHeaderSize) return false;
  Skip(*length);
  return true;
}

}  // namespace kv
