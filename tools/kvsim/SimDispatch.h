#pragma once
// How the test server answers what a client sends: takes every complete
// message at the front of the receive buffer, records it in the server's
// state and composes the answers (login reply, status reply, channel
// changes that number and activate registered channels). It touches no
// socket, so the whole exchange can be checked byte for byte.
//
// Runs on the server thread while the server's lock guards the state.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kvsim/SimRecords.h"
#include "kvsim/SimState.h"
#include "protocol/PacketBuffer.h"

namespace kv::sim {

// Refusal codes of the login reply (its result code byte).
inline constexpr std::uint8_t kRefusedAccountType = 1;
inline constexpr std::uint8_t kRefusedConnectedElsewhere = 2;
inline constexpr std::uint8_t kRefusedBusy = 3;
inline constexpr std::uint8_t kRefusedCredentials = 4;
inline constexpr std::uint8_t kRefusedServerVersion = 5;

// How the login request is answered.
enum class TLoginMode {
  Reply,    // the 25-byte reply
  Short,    // only the first `shortLength` bytes of it
  WrongId,  // 25 bytes whose first byte is `wrongId`
  Silent,   // nothing; the connection stays open
  Close,    // nothing; the connection is closed
};

struct TLoginBehaviour {
  TLoginMode mode = TLoginMode::Reply;
  TLoginReply fields = GrantedLoginReply();
  bool serverTimeNow = true;  // send the current local time instead of fields.serverTime
  bool localBias = true;      // send the local time-zone bias instead of fields.bias
  int shortLength = 10;
  std::uint8_t wrongId = 44;
  // > 0: the reply goes out this much later, and nothing else before it.
  std::chrono::milliseconds replyDelay{0};
  // The credentials a login must give, each as far as the request's field
  // holds it (39 and 19 characters): the name without regard to case, the
  // password exactly. Others are refused with kRefusedCredentials. Unset:
  // anything goes.
  std::optional<std::string> requiredLogin;
  std::optional<std::string> requiredPassword;
  // Set: every login is refused with this code (client id -1).
  std::optional<std::uint8_t> refuseCode;
};

// What a registration is answered with.
enum class TActivation {
  Immediate,  // a 60 that gives the number and activates the channel
  Delayed,    // the same, `activationDelay` later
  Inactive,   // a 60 that gives the number, channel inactive
  Off,        // nothing
};

struct TProtocolOptions {
  TLoginBehaviour login;
  bool answerStatus = true;
  TActivation activation = TActivation::Immediate;
  std::chrono::milliseconds activationDelay{0};
  // false: registrations and values that decode cleanly only update their
  // channels and the counts; the record history skips them, so a server
  // taking millions of values a second neither grows nor slows down.
  bool keepChannelRecords = true;
};

struct TDispatchResult {
  std::string reply;                    // to send now, in this order (after a delayed reply)
  std::string delayedReply;             // the login reply, to send after login.replyDelay
  bool wholeLoginReply = false;         // reply or delayedReply begins with 25 reply bytes
  std::vector<TChannelChange> delayed;  // to send after activationDelay
  bool close = false;                   // the connection must end
};

// Handles the complete messages at the front of `buffer` and leaves an
// incomplete one there. A message that cannot be framed (an unknown first
// byte, a length word below 3) is recorded as a protocol error, the buffer
// is emptied and the result asks for the connection to be closed: the
// stream cannot be followed past it.
void DispatchReceived(TKavrelCmdParser& buffer, const TProtocolOptions& options, TSimState& state,
                      TDispatchResult& result);

// The 60 that answers a registration of `channel` under `activation`.
TChannelChange ActivationFor(const TSimChannel& channel, TActivation activation);

}  // namespace kv::sim
