#include "kvsim/SimDispatch.h"

#include <memory>

#include "protocol/Kavrel.h"
#include "runtime/Exception.h"
#include "values/Utils.h"

namespace kv::sim {
namespace {

constexpr const char* kUnknownId = "unknown structure id, connection closed";
constexpr const char* kBadLength = "command length below its header, connection closed";
constexpr const char* kLeftOver = " bytes left over after the last field";
constexpr const char* kUnknownChannel = "no such channel";
constexpr const char* kNoMessage = "decoding failed";

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

void AnswerLogin(const TLoginBehaviour& login, TDispatchResult& result) {
  TLoginReplyFields fields = login.fields;
  if (login.serverTimeNow) fields.serverTime = Now();
  if (login.localBias) fields.bias = static_cast<std::int16_t>(GetTimeZoneBias());
  std::string reply = BuildLoginReply(fields);
  switch (login.mode) {
    case TLoginMode::Reply:
      break;
    case TLoginMode::Short:
      reply.resize(static_cast<std::size_t>(login.shortLength < 0 ? 0 : login.shortLength));
      break;
    case TLoginMode::WrongId:
      reply[0] = static_cast<char>(login.wrongId);
      break;
    case TLoginMode::Silent:
      return;
    case TLoginMode::Close:
      result.close = true;
      return;
  }
  result.wholeLoginReply = reply.size() == static_cast<std::size_t>(kLoginReplySize);
  if (login.replyDelay.count() > 0)
    result.delayedReply += reply;
  else
    result.reply += reply;
}

void HandleRegistration(TReceivedRecord& record, const TProtocolOptions& options, TSimState& state,
                        TDispatchResult& result) {
  auto scratch = ScratchOf(record.bytes);
  record.registration = ReadRegistration(*scratch);
  record.note = LeftOverNote(*scratch);
  bool isNew = false;
  TSimChannel* channel = state.Register(record.registration, isNew);
  if (channel == nullptr) {
    record.note = kUnknownChannel;
    return;
  }
  record.channelNumber = channel->number;
  const TChannelChange change = ActivationFor(*channel, options.activation);
  switch (options.activation) {
    case TActivation::Immediate:
    case TActivation::Inactive: {
      TKavrelCmdParser out;
      AppendChannelChange(out, change);
      result.reply += PendingBytes(out);
      channel->activeSent = change.active;
      break;
    }
    case TActivation::Delayed:
      result.delayed.push_back(change);
      break;
    case TActivation::Off:
      break;
  }
}

void HandleValue(TReceivedRecord& record, TSimState& state) {
  auto scratch = ScratchOf(record.bytes);
  record.value = ReadValueRecord(*scratch);
  if (const TSimChannel* channel = state.ApplyValue(record.value))
    record.channelNumber = channel->number;
  else
    record.note = kUnknownChannel;
}

// One complete message; decoding errors are kept in the record.
void HandleMessage(TReceivedRecord& record, const TProtocolOptions& options, TSimState& state,
                   TDispatchResult& result) {
  try {
    switch (record.id) {
      case kStructLoginRequest:
        record.kind = TRecordKind::Login;
        record.login = ParseLoginRequest(reinterpret_cast<const std::uint8_t*>(record.bytes.data()));
        state.CountLogin();
        AnswerLogin(options.login, result);
        return;
      case kStructStatusRequest:
        record.kind = TRecordKind::StatusRequest;
        state.CountStatusRequest();
        if (options.answerStatus) result.reply += BuildStatusReply(kStructStatusRequest);
        return;
      case kCmdChannelRegister:
        record.kind = TRecordKind::Registration;
        HandleRegistration(record, options, state, result);
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
  while (!result.close) {
    const TFrame frame = ClassifyFrame(buffer);
    if (frame.state == TFrameState::Empty || frame.state == TFrameState::Incomplete) return;
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
    HandleMessage(record, options, state, result);
    state.Add(std::move(record));
  }
}

}  // namespace kv::sim
