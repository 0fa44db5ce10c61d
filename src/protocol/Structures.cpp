#include "protocol/Structures.h"

#include <algorithm>

#include "protocol/CommandCatalogue.h"
#include "runtime/LittleEndian.h"

namespace kv {
namespace {

// Offsets inside each structure; byte 0 is always the structID.
namespace login_request {
constexpr std::size_t kByte1 = 1, kLogin = 2, kPassword = 42, kLibraryMajor = 62,
                      kLibraryMinor = 63, kByte64 = 64;
constexpr std::size_t kLoginWidth = 40, kPasswordWidth = 20;
}  // namespace login_request

namespace login_reply {
constexpr std::size_t kClientId = 1, kServerTime = 6, kVersionMajor = 14, kVersionMinor = 15,
                      kResultCode = 20, kBias = 21;
}  // namespace login_reply

namespace server_time {
constexpr std::size_t kServerTime = 1, kBias = 9;
}  // namespace server_time

namespace channel_notice {
constexpr std::size_t kFlags = 1, kDateTime = 2, kId = 10;
}  // namespace channel_notice

namespace status_reply {
constexpr std::size_t kAnsweredId = 5;
}  // namespace status_reply

// The field keeps its terminating zero, so a text fills at most width - 1.
void PutText(std::uint8_t* field, std::size_t width, const std::string& text) {
  std::copy_n(text.begin(), std::min(text.size(), width - 1), field);
}

std::string GetText(const std::uint8_t* field, std::size_t width) {
  const std::uint8_t* end = std::find(field, field + width, std::uint8_t{0});
  return std::string(field, end);
}

template <std::size_t Size>
std::array<std::uint8_t, Size> Blank(std::uint8_t id) {
  std::array<std::uint8_t, Size> bytes{};
  bytes[0] = id;
  return bytes;
}

}  // namespace

TLoginRequestBytes EncodeLoginRequest(const TLoginRequest& request) {
  using namespace login_request;
  auto bytes = Blank<kLoginRequestSize>(kStructLoginRequest);
  bytes[kByte1] = request.byte1;
  PutText(&bytes[kLogin], kLoginWidth, request.login);
  PutText(&bytes[kPassword], kPasswordWidth, request.password);
  bytes[kLibraryMajor] = request.libraryMajor;
  bytes[kLibraryMinor] = request.libraryMinor;
  bytes[kByte64] = request.byte64;
  return bytes;
}

TLoginRequest DecodeLoginRequest(const std::uint8_t* bytes) {
  using namespace login_request;
  TLoginRequest request;
  request.byte1 = bytes[kByte1];
  request.login = GetText(bytes + kLogin, kLoginWidth);
  request.password = GetText(bytes + kPassword, kPasswordWidth);
  request.libraryMajor = bytes[kLibraryMajor];
  request.libraryMinor = bytes[kLibraryMinor];
  request.byte64 = bytes[kByte64];
  return request;
}

TLoginReplyBytes EncodeLoginReply(const TLoginReply& reply) {
  using namespace login_reply;
  auto bytes = Blank<kLoginReplySize>(kStructLoginReply);
  StoreLE(&bytes[kClientId], reply.clientId);
  StoreLE(&bytes[kServerTime], reply.serverTime);
  bytes[kVersionMajor] = reply.versionMajor;
  bytes[kVersionMinor] = reply.versionMinor;
  bytes[kResultCode] = reply.resultCode;
  StoreLE(&bytes[kBias], reply.bias);
  return bytes;
}

TLoginReply DecodeLoginReply(const std::uint8_t* bytes) {
  using namespace login_reply;
  TLoginReply reply;
  reply.clientId = LoadLE<std::int32_t>(bytes + kClientId);
  reply.serverTime = LoadLE<double>(bytes + kServerTime);
  reply.versionMajor = bytes[kVersionMajor];
  reply.versionMinor = bytes[kVersionMinor];
  reply.resultCode = bytes[kResultCode];
  reply.bias = LoadLE<std::int16_t>(bytes + kBias);
  return reply;
}

TServerTimeBytes EncodeServerTime(const TServerTime& time) {
  using namespace server_time;
  auto bytes = Blank<kServerTimeSize>(kStructServerTime);
  StoreLE(&bytes[kServerTime], time.serverTime);
  StoreLE(&bytes[kBias], time.bias);
  return bytes;
}

TServerTime DecodeServerTime(const std::uint8_t* bytes) {
  using namespace server_time;
  return {LoadLE<double>(bytes + kServerTime), LoadLE<std::int16_t>(bytes + kBias)};
}

TChannelNoticeBytes EncodeChannelNotice(const TChannelNotice& notice) {
  using namespace channel_notice;
  auto bytes = Blank<kChannelNoticeSize>(kStructChannelNotice);
  bytes[kFlags] = notice.flags;
  StoreLE(&bytes[kDateTime], notice.dateTime);
  StoreLE(&bytes[kId], notice.id);
  return bytes;
}

TChannelNotice DecodeChannelNotice(const std::uint8_t* bytes) {
  using namespace channel_notice;
  return {bytes[kFlags], LoadLE<double>(bytes + kDateTime), LoadLE<std::int32_t>(bytes + kId)};
}

TStatusReplyBytes EncodeStatusReply(const TStatusReply& reply) {
  auto bytes = Blank<kStatusReplySize>(kStructStatusReply);
  bytes[status_reply::kAnsweredId] = reply.answeredId;
  return bytes;
}

TStatusReply DecodeStatusReply(const std::uint8_t* bytes) {
  return {bytes[status_reply::kAnsweredId]};
}

}  // namespace kv
