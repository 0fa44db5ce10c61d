#pragma once
// TCompactString: a text of single-byte characters in 24 bytes. Up to 23
// characters live inside the object, a longer text in one heap block of
// exactly its length. A channel keeps its address in one: most addresses fit
// inside, so comparing one during a look-up reads no further memory, and a
// channel pays no heap block for it.
//
// A plain value type: copies are deep. Not shared between threads by itself.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace kv {

class TCompactString {
 public:
  static constexpr std::size_t kInline = 23;

  TCompactString() noexcept { bytes_[kTag] = 0; }
  explicit TCompactString(std::string_view text) : TCompactString() { Assign(text); }
  TCompactString(const TCompactString& other) : TCompactString() { Assign(other.View()); }
  TCompactString(TCompactString&& other) noexcept {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.bytes_[kTag] = 0;
  }
  TCompactString& operator=(const TCompactString& other) {
    if (this != &other) Assign(other.View());
    return *this;
  }
  TCompactString& operator=(TCompactString&& other) noexcept {
    if (this != &other) {
      Free();
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
      other.bytes_[kTag] = 0;
    }
    return *this;
  }
  ~TCompactString() { Free(); }

  std::string_view View() const noexcept {
    const auto tag = static_cast<unsigned char>(bytes_[kTag]);
    if (tag != kHeap) return {bytes_, tag};
    const char* block = nullptr;
    std::uint32_t size = 0;
    std::memcpy(&block, bytes_, sizeof block);
    std::memcpy(&size, bytes_ + sizeof block, sizeof size);
    return {block, size};
  }
  bool Empty() const noexcept { return bytes_[kTag] == 0; }
  // `text` may point into this object's own text.
  void Assign(std::string_view text);

 private:
  static constexpr std::size_t kTag = 23;  // inline length, or kHeap
  static constexpr unsigned char kHeap = 0xFF;

  void Free() noexcept;

  char bytes_[24];
};

}  // namespace kv
