#include "runtime/CompactString.h"

namespace kv {

void TCompactString::Assign(std::string_view text) {
  if (text.size() <= kInline) {
    char copy[kInline];
    // An empty view may carry a null pointer, which memcpy must not see.
    if (!text.empty()) std::memcpy(copy, text.data(), text.size());
    Free();
    if (!text.empty()) std::memcpy(bytes_, copy, text.size());
    bytes_[kTag] = static_cast<char>(text.size());
    return;
  }
  char* block = new char[text.size()];
  std::memcpy(block, text.data(), text.size());
  const auto size = static_cast<std::uint32_t>(text.size());
  Free();
  std::memcpy(bytes_, &block, sizeof block);
  std::memcpy(bytes_ + sizeof block, &size, sizeof size);
  bytes_[kTag] = static_cast<char>(kHeap);
}

void TCompactString::Free() noexcept {
  if (static_cast<unsigned char>(bytes_[kTag]) == kHeap) {
    char* block = nullptr;
    std::memcpy(&block, bytes_, sizeof block);
    delete[] block;
  }
  bytes_[kTag] = 0;
}

}  // namespace kv
