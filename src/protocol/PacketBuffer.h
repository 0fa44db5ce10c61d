#pragma once
// The protocol byte buffer.
//
// TDataStack is a growable first-in first-out byte store: bytes are appended
// at the tail (write index) and consumed from the front (read index). The
// store owns its block. It never shrinks; the unread bytes are moved to the
// start of the block only when the room behind the tail is too small, never
// on a read. An emptied store restarts at position 0.
//
// TKavrelCmdParser adds the wire form of protocol fields: little-endian
// integers and doubles, texts (16-bit length, Windows-1251 bytes, no
// terminator), the four date-time field forms, typed values, and the framing
// of a variable-length command (id byte, 16-bit length covering the whole
// command).
//
// Locking: every operation documented as "locked" calls Lock(true) before it
// touches the indexes and Lock(false) on every way out. The hook does nothing
// here, so a store is not safe for concurrent use; the client keeps each
// buffer on its worker thread. A subclass that makes the hook a real lock
// must call Grow, Reserve, Commit, Truncate and Data only while holding it.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "runtime/Calendar.h"

namespace kv {

class Variant;

class TDataStack {
 public:
  // maximumCapacity 0 means unbounded. A negative initial capacity counts
  // as 0.
  TDataStack(std::int32_t initialCapacity, std::int32_t maximumCapacity);
  virtual ~TDataStack();
  TDataStack(const TDataStack&) = delete;
  TDataStack& operator=(const TDataStack&) = delete;

  // Unread byte count. Locked.
  std::int32_t Size();
  // Enlarges the block by n bytes (n = 0: by half the capacity) and compacts
  // the unread bytes to its start. False, and nothing changed, when the
  // maximum capacity would be exceeded, n < 0, or the capacity would not
  // fit 32 bits.
  bool Grow(std::int32_t n);
  // Adds len bytes at the tail, growing or compacting as needed. False for
  // no data, len <= 0 or a refused growth. Locked.
  bool Append(const void* data, std::int32_t len);
  // Overwrites len unread bytes in place without moving either index.
  // offset < 0 counts back from the tail (the bytes must end at or before
  // it), offset >= 0 forward from the front. False, nothing written, when
  // the bytes do not lie wholly within the unread bytes. Locked.
  bool Patch(const void* data, std::int32_t len, std::int32_t offset);
  // Makes room for n bytes at the tail and returns where they go; nothing
  // is written or counted until Commit. nullptr for n <= 0 or a refused
  // growth. The pointer is valid until the next operation that may grow or
  // compact the store.
  std::uint8_t* Reserve(std::int32_t n);
  // Counts n bytes written into reserved room. Refuses (returns false,
  // changes nothing) n < 0 or more than the room behind the tail, so a
  // wrong count cannot push the write index past the block.
  bool Commit(std::int32_t n);
  // Copies the first len unread bytes; consumes nothing. False, nothing
  // copied, for no destination, len <= 0 or fewer than len unread. Locked.
  bool Peek(void* dest, std::int32_t len);
  // As Peek, then consumes the len bytes. Locked.
  bool Read(void* dest, std::int32_t len);
  // The first unread byte, nullptr when nothing is unread.
  const std::uint8_t* Data() const;
  // Consumes min(n, unread) bytes; n <= 0 does nothing. Locked.
  void Skip(std::int32_t n);
  // Drops every unread byte; the block stays allocated. Locked.
  void Clear();
  // Keeps the first size unread bytes and drops the rest from the tail:
  // how a failed composition is cut back to where it began. False, nothing
  // changed, for size < 0 or size > unread. Locked.
  bool Truncate(std::int32_t size);

  // Gives memory back after a burst: the block is replaced by one of
  // max(capacity, unread) bytes, the unread bytes at its start. False, and
  // nothing changed, when that would not be smaller or capacity < 0. Locked.
  bool Shrink(std::int32_t capacity);

  std::int32_t Capacity() const noexcept { return capacity_; }

 protected:
  // The mutual-exclusion hook; does nothing here.
  virtual void Lock(bool enter);

 private:
  class TLockGuard;

  std::int32_t Unread() const noexcept { return writeIndex_ - readIndex_; }
  bool MakeRoom(std::int32_t len);
  void Consume(std::int32_t count);

  std::unique_ptr<std::uint8_t[]> block_;
  std::int32_t readIndex_ = 0;
  std::int32_t writeIndex_ = 0;
  std::int32_t capacity_ = 0;
  std::int32_t maximumCapacity_ = 0;
};

// The fixed-width field kinds the parser writes and reads.
template <class T>
concept WireScalar = std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t> ||
    std::is_same_v<T, std::int16_t> || std::is_same_v<T, std::uint32_t> ||
    std::is_same_v<T, std::int32_t> || std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>;

// How a record carries a date-time; the record's flags pick the form.
enum class TDateTimeForm : std::uint8_t {
  None = 0,    // no field
  Ticks = 1,   // signed 64-bit count of 100 ns since 1601-01-01
  Double = 2,  // the day count itself
  Iso = 3,     // 20-character ISO text as a text field
};

class TKavrelCmdParser : public TDataStack {
 public:
  static constexpr std::int32_t kInitialCapacity = 40000;
  // Room reserved for the binary form of one typed value.
  static constexpr std::int32_t kValueRoom = 20000;
  static constexpr std::int32_t kMaxPacketSize = 65535;
  static constexpr std::int32_t kPacketHeaderSize = 3;

  // Unbounded, 40000 bytes to start with.
  TKavrelCmdParser();
  // A bounded store of exactly `capacity` bytes: a scratch copy of one
  // received command, so that a reader cannot run past its end.
  explicit TKavrelCmdParser(std::int32_t capacity);

  // Little-endian fields. Failures raise kv::Exception with the texts
  // "TKavrelCmdParser::set(): ..." and "TKavrelCmdParser::get() нет данных
  // [ожидаем N есть M]"; a failed get consumes nothing.
  template <WireScalar T>
  void set(T value);
  template <WireScalar T>
  T get();

  // A text field. A text longer than 65535 bytes cannot be framed and is
  // refused (nothing appended). Reading drops one trailing zero byte.
  void set_STRING(std::string_view text);
  std::string get_STRING();
  // A text field holding the ISO form of a date-time.
  void set_DATETIME(TDateTime value);
  TDateTime get_DATETIME();
  // A date-time in one of the field forms (form & 3). Form None writes
  // nothing and reads nothing (std::nullopt): what that means is the
  // record's business.
  void SetDateTimeField(unsigned form, TDateTime value);
  std::optional<TDateTime> GetDateTimeField(unsigned form);

  // The binary form of a typed value of the given data type code, without
  // a type word, encoded straight into the tail; the errors of the value
  // encoder and decoder pass through.
  void set_VALUE(const Variant& value, std::uint16_t type);
  Variant get_VALUE(std::uint16_t type);

  // Writes n into the length word of the command that ends at the tail
  // (n = 0: the whole unread content is one command). Raises for n > 65535
  // or when the last n bytes cannot hold a command header.
  void SetPacketSize(std::int32_t n);
  // Drops the command at the front by its length word. False, nothing
  // consumed, when fewer than 3 bytes are unread or the length word is
  // below 3 (such a command cannot be skipped; the caller must treat it as
  // a protocol error).
  bool SkipPacket();
  // Length word of the command at the front, or nullopt with fewer than 3
  // unread bytes.
  std::optional<std::uint16_t> PeekPacketSize();
};

}  // namespace kv
