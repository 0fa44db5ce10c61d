#include "kvsim/SimDispatch.h"

#include <memory>

#include "protocol/ChannelRecords.h"
#include "protocol/CommandCatalogue.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "runtime/LittleEndian.h"
#include "values/DateTime.h"

namespace kv::sim {
namespace {

constexpr const char* kUnknownId = "unknown structure id, connection closed";
constexpr const char* kBadLength = "command length below its header, connection closed";
constexpr const char* kLeftOver = " bytes left over after the last field";
constexpr const char* kUnknownChannel = "no such channel";
constexpr const char* kNoMessage = "decoding failed";
// What a request's text fields hold at most.
constexpr std::size_t kLoginChars = 39;
constexpr std::size_t kPasswordChars = 19;

std::string Bytes(TKavrelCmdParser& buffer, std::int32_t size) {
  return std::string(reinterpret_cast<const char*>(buffer.Data()), static_cast<std::size_t>(size));
}

// A store holding exactly one command, so that a reader stops at its end.
std::unique_ptr<TKavrelCmdParser> ScratchOf(const std::string& bytes) {
  const auto size = static_cast<std::int32_t>(bytes.size());
  auto scratch = std::make_unique<TKavrelCmdParser>(size);
  scratch->Append(bytes.data(), size);
  return scratch;
}

std::string LeftOverNote(TKavrelCmdParser& scratch) {
  const std::int32_t left = scratch.Size();
  return left > 0 ? std::to_string(left) + kLeftOver : std::string();
}

// The library's own decoders raise texts of their own language; the server
// tells where the fields stopped making sense instead.
template <class TRead>
auto DecodeFields(const std::string& bytes, TRead read) {
  auto scratch = ScratchOf(bytes);
  try {
    return read(*scratch);
  } catch (const Exception&) {
    throw Exception("fields do not decode after byte " +
                    std::to_string(bytes.size() - static_cast<std::size_t>(scratch->Size())) +
                    " of " + std::to_string(bytes.size()));
  }
}

bool CredentialsMatch(const TLoginBehaviour& login, const TLoginRequest& request) {
  if (login.requiredLogin &&
      AnsiUpper(request.login) != AnsiUpper(login.requiredLogin->substr(0, kLoginChars)))
    return false;
  return !login.requiredPassword ||
         request.password == login.requiredPassword->substr(0, kPasswordChars);
}

void AnswerLogin(const TLoginBehaviour& login, TReceivedRecord& record, TDispatchResult& result) {
  TLoginReply fields = login.fields;
  if (login.serverTimeNow) fields.serverTime = Now();
  if (login.localBias) fields.bias = static_cast<std::int16_t>(GetTimeZoneBias());
  if (login.refuseCode || !CredentialsMatch(login, record.login)) {
    fields.clientId = -1;
    fields.resultCode = login.refuseCode.value_or(kRefusedCredentials);
  }
  record.loginReply = fields;
  record.loginAnswer = TLoginAnswer::Reply;
  std::string reply = BuildLoginReply(fields);
  switch (login.mode) {
    case TLoginMode::Reply:
      break;
    case TLoginMode::Short:
      reply.resize(static_cast<std::size_t>(login.shortLength < 0 ? 0 : login.shortLength));
      record.loginAnswer = TLoginAnswer::Broken;
      break;
    case TLoginMode::WrongId:
      reply[0] = static_cast<char>(login.wrongId);
      record.loginAnswer = TLoginAnswer::Broken;
      break;
    case TLoginMode::Silent:
      record.loginAnswer = TLoginAnswer::Unanswered;
      return;
    case TLoginMode::Close:
      record.loginAnswer = TLoginAnswer::Closed;
      result.close = true;
      return;
  }
  result.wholeLoginReply = reply.size() == static_cast<std::size_t>(kLoginReplySize);
  if (login.replyDelay.count() > 0)
    result.delayedReply += reply;
  else
    result.reply += reply;
}

// Registers the channel and answers as configured; null for a registration
// by a number the view does not know. `answers` is scratch room for the
// channel change, shared by the messages of one dispatch: a buffer of its
// own would cost a block per registration.
TSimChannel* AnswerRegistration(const TRegistration& registration, const TProtocolOptions& options,
                                TSimState& state, TKavrelCmdParser& answers,
                                TDispatchResult& result) {
  bool isNew = false;
  TSimChannel* channel = state.Register(registration, isNew);
  if (channel == nullptr) return nullptr;
  const TChannelChange change = ActivationFor(*channel, options.activation);
  switch (options.activation) {
    case TActivation::Immediate:
    case TActivation::Inactive: {
      answers.Clear();
      AppendChannelChange(answers, change);
      result.reply.append(reinterpret_cast<const char*>(answers.Data()),
                          static_cast<std::size_t>(answers.Size()));
      channel->activeSent = change.active;
      break;
    }
    case TActivation::Delayed:
      result.delayed.push_back(change);
      break;
    case TActivation::Off:
      break;
  }
  return channel;
}

void HandleRegistration(TReceivedRecord& record, const TProtocolOptions& options, TSimState& state,
                        TKavrelCmdParser& answers, TDispatchResult& result) {
  record.registration = DecodeFields(record.bytes, [&record](TKavrelCmdParser& scratch) {
    TRegistration registration = ReadRegistration(scratch);
    record.note = LeftOverNote(scratch);
    return registration;
  });
  if (const TSimChannel* channel =
          AnswerRegistration(record.registration, options, state, answers, result))
    record.channelNumber = channel->number;
  else
    record.note = kUnknownChannel;
}

void HandleValue(TReceivedRecord& record, TSimState& state) {
  record.value = DecodeFields(record.bytes, ReadValueRecord);
  if (const TSimChannel* channel = state.ApplyValue(record.value))
    record.channelNumber = channel->number;
  else
    record.note = kUnknownChannel;
}

// One complete message; decoding errors are kept in the record.
void HandleMessage(TReceivedRecord& record, const TProtocolOptions& options, TSimState& state,
                   TKavrelCmdParser& answers, TDispatchResult& result) {
  try {
    switch (record.id) {
      case kStructLoginRequest:
        record.kind = TRecordKind::Login;
        record.login =
            DecodeLoginRequest(reinterpret_cast<const std::uint8_t*>(record.bytes.data()));
        state.CountLogin();
        AnswerLogin(options.login, record, result);
        return;
      case kStructStatusRequest:
        record.kind = TRecordKind::StatusRequest;
        state.CountStatusRequest();
        if (options.answerStatus) result.reply += BuildStatusReply(kStructStatusRequest);
        return;
      case kCmdChannelRegister:
        record.kind = TRecordKind::Registration;
        HandleRegistration(record, options, state, answers, result);
        return;
      case kCmdChannelValue:
        record.kind = TRecordKind::Value;
        HandleValue(record, state);
        return;
      default:
        record.kind = IsCmd2(record.id) ? TRecordKind::OtherCommand : TRecordKind::OtherStruct;
        return;
    }
  } catch (const Exception& e) {
    record.kind = TRecordKind::ProtocolError;
    record.note = e.Message();
  } catch (...) {
    record.kind = TRecordKind::ProtocolError;
    record.note = kNoMessage;
  }
}

// The value record the client sends for a Float8 channel: by number, time
// as a double, 27 bytes. Without a history to keep it is decoded in place,
// the bulk of a busy stream at little cost; false for any other shape, which
// takes the general path.
constexpr std::int32_t kPlainValueSize = 27;

bool ApplyPlainValue(const std::uint8_t* bytes, TSimState& state) {
  if (bytes[3] != ValueFlag::Client || LoadLE<std::uint16_t>(bytes + 17) != varDouble) return false;
  TValueRecord value;
  value.id = bytes[0];
  value.flags = bytes[3];
  value.number = LoadLE<std::uint32_t>(bytes + 4);
  value.dt = LoadLE<double>(bytes + 8);
  value.quality = bytes[16];
  value.type = varDouble;
  value.value = Variant(LoadLE<double>(bytes + 19));
  return state.ApplyValue(value) != nullptr;
}

// A registration by address without attributes, decoded in place as well.
bool AnswerPlainRegistration(const std::uint8_t* bytes, std::int32_t size,
                             const TProtocolOptions& options, TSimState& state,
                             TKavrelCmdParser& answers, TDispatchResult& result) {
  constexpr std::int32_t kHeader = 7;  // id, length, flags, address length
  const auto flags = LoadLE<std::uint16_t>(bytes + 3);
  const auto length = LoadLE<std::uint16_t>(bytes + 5);
  if ((flags & RegisterFlag::ByNumber) != 0 || size != kHeader + length + 4 ||
      LoadLE<std::uint16_t>(bytes + kHeader + length + 2) != 0)
    return false;
  TRegistration registration;
  registration.flags = flags;
  registration.addr.assign(reinterpret_cast<const char*>(bytes + kHeader), length);
  registration.type = LoadLE<std::uint16_t>(bytes + kHeader + length);
  return AnswerRegistration(registration, options, state, answers, result) != nullptr;
}

bool IsCleanChannelRecord(const TReceivedRecord& record) {
  return (record.kind == TRecordKind::Registration || record.kind == TRecordKind::Value) &&
         record.note.empty();
}

}  // namespace

TChannelChange ActivationFor(const TSimChannel& channel, TActivation activation) {
  TChannelChange change;
  change.addr = channel.addr;
  change.number = channel.number;
  change.active = activation != TActivation::Inactive;
  return change;
}

void DispatchReceived(TKavrelCmdParser& buffer, const TProtocolOptions& options, TSimState& state,
                      TDispatchResult& result) {
  TKavrelCmdParser answers;
  while (!result.close) {
    const TFrame frame = ClassifyFrame(buffer);
    if (frame.state == TFrameState::Empty || frame.state == TFrameState::Incomplete) return;
    if (!options.keepChannelRecords && frame.state == TFrameState::Complete &&
        ((frame.id == kCmdChannelValue && frame.size == kPlainValueSize &&
          ApplyPlainValue(buffer.Data(), state)) ||
         (frame.id == kCmdChannelRegister && frame.size >= 11 &&
          AnswerPlainRegistration(buffer.Data(), frame.size, options, state, answers, result)))) {
      buffer.Skip(frame.size);
      state.CountMessage();
      continue;
    }
    TReceivedRecord record;
    record.id = frame.id;
    if (frame.state != TFrameState::Complete) {
      record.kind = TRecordKind::ProtocolError;
      record.bytes = Bytes(buffer, buffer.Size());
      record.note = frame.state == TFrameState::UnknownId ? kUnknownId : kBadLength;
      buffer.Clear();
      result.close = true;
      state.Add(std::move(record));
      return;
    }
    record.bytes = Bytes(buffer, frame.size);
    buffer.Skip(frame.size);
    state.CountMessage();
    HandleMessage(record, options, state, answers, result);
    if (options.keepChannelRecords || !IsCleanChannelRecord(record)) state.Add(std::move(record));
  }
}

}  // namespace kv::sim
