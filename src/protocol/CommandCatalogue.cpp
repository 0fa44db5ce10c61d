#include "protocol/CommandCatalogue.h"

#include <array>
#include <iterator>
#include <string_view>
#include <utility>

#include "protocol/PacketBuffer.h"
#include "runtime/Codepage.h"
#include "runtime/LittleEndian.h"

namespace kv {
namespace {

// Sizes of the fixed-size structures by structID; 0 = unknown.
constexpr std::array<std::int32_t, 256> MakeSizeTable() {
  std::array<std::int32_t, 256> sizes{};
  constexpr std::pair<std::size_t, std::int32_t> known[] = {
      {1, 72},   {2, 16},  {3, 1},   {4, 3},    {5, 5},   {6, 7},   {7, 53},  {8, 55},   {9, 57},
      {10, 60},  {11, 9},  {12, 4},  {13, 1},   {14, 17}, {15, 1},  {16, 1},  {17, 88},  {18, 1},
      {19, 10},  {20, 41}, {21, 39}, {22, 15},  {24, 1},  {25, 10}, {31, 19}, {32, 3},   {33, 49},
      {34, 106}, {35, 43}, {40, 20}, {41, 317}, {42, 72}, {43, 25}, {44, 5},  {100, 13},
  };
  for (const auto& [id, size] : known) sizes[id] = size;
  return sizes;
}

constexpr std::array<std::int32_t, 256> kStructSizes = MakeSizeTable();

constexpr std::string_view kRefusalTexts[] = {
    "ОК"_cp,
    "тип учетной записи не совпадает"_cp,
    "учетная запись уже подключена с другого адреса"_cp,
    "ресурсы учетной записи заняты"_cp,
    "неверный логин или пароль"_cp,
    "неверная версия сервера"_cp,
};
constexpr std::string_view kUnknownRefusal = "неизвестный код ошибки: "_cp;

}  // namespace

bool IsCmd2(unsigned id) noexcept { return id >= kCmd2First && id <= kCmd2Last; }

std::int32_t StructSize(unsigned id) noexcept {
  return id < kStructSizes.size() ? kStructSizes[id] : 0;
}

std::string RefusalText(std::uint8_t code) {
  if (code < std::size(kRefusalTexts)) return std::string(kRefusalTexts[code]);
  return std::string(kUnknownRefusal) + std::to_string(code);
}

TFrame ClassifyFrame(const std::uint8_t* data, std::int32_t count) noexcept {
  TFrame frame;
  if (data == nullptr || count <= 0) return frame;
  frame.id = data[0];
  if (IsCmd2(frame.id)) {
    if (count < TKavrelCmdParser::kPacketHeaderSize) {
      frame.state = TFrameState::Incomplete;
      return frame;
    }
    frame.size = LoadLE<std::uint16_t>(data + 1);
    if (frame.size < TKavrelCmdParser::kPacketHeaderSize) {
      frame.state = TFrameState::BadLength;
      return frame;
    }
  } else {
    frame.size = StructSize(frame.id);
    if (frame.size == 0) {
      frame.state = TFrameState::UnknownId;
      return frame;
    }
  }
  frame.state = count < frame.size ? TFrameState::Incomplete : TFrameState::Complete;
  return frame;
}

TFrame ClassifyFrame(TKavrelCmdParser& buffer) {
  return ClassifyFrame(buffer.Data(), buffer.Size());
}

}  // namespace kv
