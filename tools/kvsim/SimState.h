#pragma once
// What the test server has seen: every message received in arrival order
// (with connection events between them) and its view of each registered
// channel. Plain data; the server guards its one TSimState with its lock and
// hands copies to other threads.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "kvsim/SimRecords.h"

namespace kv::sim {

enum class TRecordKind {
  Connected,      // a client connection was accepted; note = the peer address
  Disconnected,   // it ended; note = why
  Login,          // a 42
  StatusRequest,  // an 18
  Registration,   // a 51
  Value,          // a 55
  OtherStruct,    // any other known fixed-size structure, skipped
  OtherCommand,   // any other variable-length command, skipped
  ProtocolError,  // bytes that could not be framed or decoded; note = why
};

// How a connection ended, as the server saw it (Disconnected records).
enum class TSessionEnd {
  None,            // not an end
  ClientClosed,    // the client closed its side
  ClientFailed,    // receiving failed, a reset from the client
  ClientGone,      // the client connected again while the server read nothing
  ServerClosed,    // the server closed at once (Drop, a protocol error, a login close)
  ServerFinished,  // the server finished sending and the client then closed
  ServerReset,     // the server reset it (Reset, a send that failed)
  Stopped,         // the server stopped
};
// "closed by the client" ...; "still open" for None.
const char* SessionEndText(TSessionEnd end);

// How the server answered a login (Login records).
enum class TLoginAnswer {
  Unanswered,  // nothing was sent back
  Reply,       // the 25-byte reply, `loginReply` (a negative client id refuses)
  Broken,      // a short reply or one with a wrong id
  Closed,      // the connection was closed instead
};

struct TReceivedRecord {
  TRecordKind kind = TRecordKind::ProtocolError;
  std::uint8_t id = 0;        // first byte of the message
  std::string bytes;          // the whole message as it arrived
  std::string note;           // Windows-1251 text where a decoder raised one
  std::uint32_t session = 0;  // the connection it belongs to, counted from 1
  TSessionEnd end = TSessionEnd::None;
  TLoginRequest login;
  TLoginAnswer loginAnswer = TLoginAnswer::Unanswered;
  TLoginReply loginReply;  // as composed, also for a broken reply
  TRegistration registration;
  TValueRecord value;
  // Registration and Value: the number of the channel in the view, 0 when
  // the record named no known channel.
  std::uint32_t channelNumber = 0;
};

struct TSimChannel {
  std::string addr;
  std::uint32_t number = 0;
  std::uint16_t type = 0;
  std::uint16_t registerFlags = 0;  // flags word of the last registration
  std::vector<TSimAttribute> attributes;
  bool activeSent = false;  // the last 60 sent for it said active
  bool hasValue = false;
  TDateTime dt = 0;
  std::uint8_t quality = 0;
  Variant value;
  int registrations = 0;
  int values = 0;
};

class TSimState {
 public:
  // maxRecords > 0: beyond that many records the older half is forgotten.
  explicit TSimState(std::uint32_t firstNumber = 1, std::size_t maxRecords = 0)
      : firstNumber_(firstNumber), nextNumber_(firstNumber), maxRecords_(maxRecords) {}

  // Adds or updates the channel a registration names (by address, compared
  // without regard to case, or by number). A new address gets the next
  // number. Null for a registration by a number the view does not know.
  // Look-ups go through indexes, so a view of a million channels stays fast.
  TSimChannel* Register(const TRegistration& registration, bool& isNew);
  // Stores the value in the channel the record names; null when unknown.
  TSimChannel* ApplyValue(const TValueRecord& record);

  TSimChannel* Find(const std::string& addr);
  const TSimChannel* Find(const std::string& addr) const;
  TSimChannel* FindNumber(std::uint32_t number);
  const TSimChannel* FindNumber(std::uint32_t number) const;

  // Keeps the record, marked with the current connection.
  void Add(TReceivedRecord record);
  // The records kept, oldest first, and how many were ever added.
  const std::vector<TReceivedRecord>& Records() const noexcept { return records_; }
  std::uint64_t Added() const noexcept { return added_; }
  const std::vector<TSimChannel>& Channels() const noexcept { return channels_; }

  // Connection count so far and logins received so far.
  int Sessions() const noexcept { return sessions_; }
  void CountSession() noexcept {
    ++sessions_;
    sessionMessages_ = 0;
  }
  // Complete messages received on the current connection.
  std::uint64_t SessionMessages() const noexcept { return sessionMessages_; }
  void CountMessage() noexcept { ++sessionMessages_; }
  int Logins() const noexcept { return logins_; }
  // Registrations and values applied to channels so far, over all channels.
  std::uint64_t Registrations() const noexcept { return registrations_; }
  std::uint64_t Values() const noexcept { return values_; }
  void CountLogin() noexcept {
    ++logins_;
    loginSession_ = static_cast<std::uint32_t>(sessions_);
  }
  // The connection of the last login, and of the last login reply that went
  // out whole (0: none yet).
  std::uint32_t LoginSession() const noexcept { return loginSession_; }
  // The connection of the last status request (0: none yet).
  std::uint32_t StatusSession() const noexcept { return statusSession_; }
  void CountStatusRequest() noexcept { statusSession_ = static_cast<std::uint32_t>(sessions_); }
  // How one of the recent connections ended (None: it has not, or too
  // long ago to remember); the records may have been forgotten already.
  void CountEnd(TSessionEnd end);
  TSessionEnd EndOf(std::uint32_t session) const;
  std::uint32_t RepliedSession() const noexcept { return repliedSession_; }
  void MarkReplied() noexcept { repliedSession_ = static_cast<std::uint32_t>(sessions_); }

 private:
  std::vector<TReceivedRecord> records_;
  std::vector<TSimChannel> channels_;
  // Positions in channels_ by upper-cased address; the position after the
  // channel found last.
  std::unordered_map<std::string, std::size_t> byAddress_;
  std::size_t hint_ = 0;
  std::uint32_t firstNumber_;
  std::uint32_t nextNumber_;
  std::size_t maxRecords_;
  std::uint64_t added_ = 0;
  int sessions_ = 0;
  int logins_ = 0;
  std::uint64_t registrations_ = 0;
  std::uint64_t values_ = 0;
  std::uint64_t sessionMessages_ = 0;
  std::uint32_t loginSession_ = 0;
  std::uint32_t repliedSession_ = 0;
  std::uint32_t statusSession_ = 0;
  std::deque<std::pair<std::uint32_t, TSessionEnd>> ends_;  // the most recent ones
};

}  // namespace kv::sim
