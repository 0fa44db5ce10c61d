#include "protocol/ChannelRecords.h"

#include <memory>
#include <string>
#include <string_view>

#include "channels/Channel.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/PacketBuffer.h"
#include "runtime/Codepage.h"
#include "runtime/Exception.h"
#include "values/DateTime.h"

namespace kv {
namespace {

constexpr std::string_view kNoTimeIn57 = "дата время не указано в команде 57"_cp;
constexpr std::string_view kNoTimeIn57Read = "дата время не указано в команде 57_"_cp;
constexpr std::string_view kNoAttributeTime = "дата время атрибута не указано в команде 60"_cp;
constexpr std::string_view kBadNumber = "неверный номер канала"_cp;
constexpr std::string_view kBadAddress = "неверный адрес канала"_cp;
constexpr std::string_view kBadCommandLength = "неверная длина команды "_cp;
constexpr std::string_view kBufferedBytes = " [в буфере "_cp;
constexpr std::string_view kBytesEnd = " байт]"_cp;

constexpr std::uint16_t kRegisterFlagsFromChannel =
    RegisterFlag::WriteEnable | RegisterFlag::ChannelFlag1 | RegisterFlag::ChannelFlag2 |
    RegisterFlag::Active | RegisterFlag::SaveValue;

// Composes one command at the tail: id, length placeholder, the fields the
// body writes, then the real length. On any failure the buffer is cut back
// to where the command began before the error goes on.
template <class Body>
void ComposeCommand(TKavrelCmdParser& parser, bool clearFirst, std::uint8_t id, Body&& body) {
  if (clearFirst) parser.Clear();
  const std::int32_t start = parser.Size();
  try {
    parser.set(id);
    parser.set(std::uint16_t{0});
    body();
    parser.SetPacketSize(parser.Size() - start);
  } catch (...) {
    parser.Truncate(start);
    throw;
  }
}

// The command at the front of a receive buffer, copied into a store of
// exactly its length so that a reader runs out of data at its end instead of
// eating into the next command. The command leaves the receive buffer when
// this object goes, however the reading ended.
class TReceivedCommand {
 public:
  explicit TReceivedCommand(TKavrelCmdParser& buffer) : buffer_(buffer) {
    const TFrame frame = ClassifyFrame(buffer);
    if (frame.state != TFrameState::Complete || !IsCmd2(frame.id)) {
      std::string message(kBadCommandLength);
      message += std::to_string(frame.size);
      message += kBufferedBytes;
      message += std::to_string(buffer.Size());
      message += kBytesEnd;
      throw Exception(std::move(message));
    }
    length_ = frame.size;
    body_ = std::make_unique<TKavrelCmdParser>(length_);
    std::uint8_t* room = body_->Reserve(length_);
    buffer_.Peek(room, length_);
    body_->Commit(length_);
  }
  ~TReceivedCommand() { buffer_.Skip(length_); }
  TReceivedCommand(const TReceivedCommand&) = delete;
  TReceivedCommand& operator=(const TReceivedCommand&) = delete;

  TKavrelCmdParser& Body() { return *body_; }

 private:
  TKavrelCmdParser& buffer_;
  std::int32_t length_ = 0;
  std::unique_ptr<TKavrelCmdParser> body_;
};

void WriteChannelKey(TKavrelCmdParser& parser, const TChannel2& channel, bool byNumber) {
  if (byNumber)
    parser.set(channel.Number());
  else
    parser.set_STRING(channel.Addr());
}

void ReadChannelKey(TKavrelCmdParser& in, TChannel2& channel, bool byNumber) {
  if (byNumber) {
    channel.SetNumber(in.get<std::uint32_t>());
    if (channel.Number() == 0) throw Exception(kBadNumber);
  } else {
    channel.SetAddr(in.get_STRING());
    if (channel.Addr().empty()) throw Exception(kBadAddress);
  }
}

std::uint16_t RegisterFlagsOf(const TChannel2& channel, std::uint16_t callerFlags) {
  std::uint16_t flags = callerFlags & ~kRegisterFlagsFromChannel;
  if (channel.WriteEnable()) flags |= RegisterFlag::WriteEnable;
  if (channel.Flags() & 0x0001) flags |= RegisterFlag::ChannelFlag1;
  if (channel.Flags() & 0x0002) flags |= RegisterFlag::ChannelFlag2;
  if (channel.Active()) flags |= RegisterFlag::Active;
  if (channel.SaveValue()) flags |= RegisterFlag::SaveValue;
  return flags;
}

bool IsSelected(const TChannelAttribute& attribute, std::int16_t owner, bool allAttributes) {
  return allAttributes || attribute.Owner() == owner;
}

void WriteAttributes(TKavrelCmdParser& parser, const TChannel2& channel, std::int16_t owner,
                     bool allAttributes, unsigned timeForm) {
  const int total = channel.AttributeCount();
  std::uint16_t selected = 0;
  for (int i = 0; i < total; ++i)
    if (IsSelected(*channel.AttributeByIndex(i), owner, allAttributes)) ++selected;
  parser.set(selected);
  for (int i = 0; i < total; ++i) {
    const TChannelAttribute& attribute = *channel.AttributeByIndex(i);
    if (!IsSelected(attribute, owner, allAttributes)) continue;
    parser.set(attribute.ID());
    parser.set(attribute.Type());
    parser.set_VALUE(attribute.Value(), attribute.Type());
    parser.SetDateTimeField(timeForm, attribute.LastChange());
  }
}

}  // namespace

void SetChannelRegisterCmd(TKavrelCmdParser& parser, const TChannel2* channel, std::uint16_t flags,
                           std::int16_t owner, bool allAttributes, bool clearFirst) {
  if (channel == nullptr) throw 0;
  ComposeCommand(parser, clearFirst, kCmdChannelRegister, [&] {
    const std::uint16_t wireFlags = RegisterFlagsOf(*channel, flags);
    parser.set(wireFlags);
    WriteChannelKey(parser, *channel, (wireFlags & RegisterFlag::ByNumber) != 0);
    parser.set(channel->Type());
    WriteAttributes(parser, *channel, owner, allAttributes,
                    (wireFlags >> RegisterFlag::TimeFormShift) & 3);
  });
}

void SetChannelValueCmd(TKavrelCmdParser& parser, const TChannel2* channel, std::uint8_t flags,
                        bool clearFirst, std::uint8_t commandId) {
  if (channel == nullptr) throw 0;
  ComposeCommand(parser, clearFirst, commandId, [&] {
    parser.set(flags);
    WriteChannelKey(parser, *channel, (flags & ValueFlag::ByNumber) != 0);
    const unsigned timeForm = (flags >> ValueFlag::TimeFormShift) & 3;
    if (timeForm == 0 && commandId == kCmdControlValue) throw Exception(kNoTimeIn57);
    parser.SetDateTimeField(timeForm, channel->DT());
    parser.set(static_cast<std::uint8_t>(channel->Quality()));
    parser.set(channel->Type());
    parser.set_VALUE(channel->Value(), channel->Type());
    if (commandId == kCmdControlValue) parser.set(channel->Owner());
  });
}

void GetChannelValueCmd(TKavrelCmdParser& parser, TChannel2* channel, std::uint8_t& flags) {
  if (channel == nullptr) throw 0;
  TReceivedCommand command(parser);
  TKavrelCmdParser& in = command.Body();
  const auto id = in.get<std::uint8_t>();
  in.get<std::uint16_t>();
  flags = in.get<std::uint8_t>();
  ReadChannelKey(in, *channel, (flags & ValueFlag::ByNumber) != 0);
  const unsigned timeForm = (flags >> ValueFlag::TimeFormShift) & 3;
  if (timeForm == 0 && id == kCmdControlValue) throw Exception(kNoTimeIn57Read);
  const auto dt = in.GetDateTimeField(timeForm);
  channel->SetDT(dt ? *dt : Now());
  channel->SetQuality(in.get<std::uint8_t>());
  channel->SetType(in.get<std::uint16_t>());
  channel->SetValue(in.get_VALUE(channel->Type()));
  if (id == kCmdControlValue) channel->SetOwner(in.get<std::int16_t>());
}

void GetChannelChangeCmd(TKavrelCmdParser& parser, TChannel2* channel) {
  if (channel == nullptr) throw 0;
  TReceivedCommand command(parser);
  TKavrelCmdParser& in = command.Body();
  in.get<std::uint8_t>();
  in.get<std::uint16_t>();
  const auto flags = in.get<std::uint8_t>();
  channel->SetActive((flags & 0x01) != 0);
  channel->SetAddr(in.get_STRING());
  channel->SetNumber(in.get<std::uint32_t>());
  const auto count = in.get<std::uint16_t>();
  const unsigned timeForm = (flags >> 1) & 3;
  for (unsigned i = 0; i < count; ++i) {
    // A fresh attribute per entry: nothing of one entry can leak into the
    // next when a value does not convert.
    TChannelAttribute attribute;
    attribute.SetID(in.get<std::uint16_t>());
    attribute.SetType(in.get<std::uint16_t>());
    attribute.SetValue(in.get_VALUE(attribute.Type()));
    const auto lastChange = in.GetDateTimeField(timeForm);
    if (!lastChange) throw Exception(kNoAttributeTime);
    attribute.SetLastChange(*lastChange);
    attribute.SetOwner(channel->Creator());
    channel->MergeAttribute(&attribute);
  }
}

}  // namespace kv
