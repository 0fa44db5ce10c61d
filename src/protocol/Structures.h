#pragma once
// The fixed-size structures the client exchanges with the server, each as a
// typed value with its encoder and decoder. Every structure starts with its
// structID byte; multi-byte numbers are little-endian and unaligned; bytes a
// structure does not name are written as zero and ignored when read.
//
// Encoders return the whole structure, id byte included. Decoders take a
// pointer to exactly that many bytes and do not look at the id byte: the
// framing has already chosen the structure by it. No state: any thread.
#include <array>
#include <cstdint>
#include <string>

#include "runtime/Calendar.h"

namespace kv {

inline constexpr std::int32_t kServerTimeSize = 15;
inline constexpr std::int32_t kChannelNoticeSize = 20;
inline constexpr std::int32_t kLoginRequestSize = 72;
inline constexpr std::int32_t kLoginReplySize = 25;
inline constexpr std::int32_t kStatusReplySize = 13;

// Login request (42), client -> server.
struct TLoginRequest {
  // Texts in 40- and 20-byte fields that always keep a terminating zero:
  // longer texts are cut to 39 and 19 bytes.
  std::string login;
  std::string password;
  std::uint8_t libraryMajor = 0;
  std::uint8_t libraryMinor = 0;
  // Bytes 1 and 64 carry constants whose meaning the client does not know;
  // it always sends these values.
  std::uint8_t byte1 = 2;
  std::uint8_t byte64 = 4;
};

// Login reply (43, the character '+'), server -> client.
struct TLoginReply {
  std::int32_t clientId = 0;      // negative: the login was refused
  TDateTime serverTime = 0;       // the server's local date-time
  std::uint8_t versionMajor = 0;  // the server's version
  std::uint8_t versionMinor = 0;
  std::uint8_t resultCode = 0;  // why a login was refused, see RefusalText
  std::int16_t bias = 0;        // minutes, UTC = local time + bias
};

// Server time (22), server -> client: the server's clock has moved.
struct TServerTime {
  TDateTime serverTime = 0;
  std::int16_t bias = 0;  // minutes, UTC = local time + bias
};

// Channel change notice (40), server -> client; the client only logs it.
struct TChannelNotice {
  std::uint8_t flags = 0;  // bits 0x01..0x08, logged as A1..A4
  TDateTime dateTime = 0;
  std::int32_t id = 0;
};

// Status reply (100), server -> client: answers the structure named here,
// for the client the link-test status request (18).
struct TStatusReply {
  std::uint8_t answeredId = 0;
};

using TLoginRequestBytes = std::array<std::uint8_t, kLoginRequestSize>;
using TLoginReplyBytes = std::array<std::uint8_t, kLoginReplySize>;
using TServerTimeBytes = std::array<std::uint8_t, kServerTimeSize>;
using TChannelNoticeBytes = std::array<std::uint8_t, kChannelNoticeSize>;
using TStatusReplyBytes = std::array<std::uint8_t, kStatusReplySize>;

TLoginRequestBytes EncodeLoginRequest(const TLoginRequest& request);
// A text field without a zero gives all of its bytes.
TLoginRequest DecodeLoginRequest(const std::uint8_t* bytes);

TLoginReplyBytes EncodeLoginReply(const TLoginReply& reply);
TLoginReply DecodeLoginReply(const std::uint8_t* bytes);

TServerTimeBytes EncodeServerTime(const TServerTime& time);
TServerTime DecodeServerTime(const std::uint8_t* bytes);

TChannelNoticeBytes EncodeChannelNotice(const TChannelNotice& notice);
TChannelNotice DecodeChannelNotice(const std::uint8_t* bytes);

TStatusReplyBytes EncodeStatusReply(const TStatusReply& reply);
TStatusReply DecodeStatusReply(const std::uint8_t* bytes);

}  // namespace kv
