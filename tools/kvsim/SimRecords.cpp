#include "kvsim/SimRecords.h"

#include <array>
#include <iterator>

#include "channels/Channel.h"
#include "protocol/ChannelRecords.h"
#include "protocol/CommandCatalogue.h"
#include "runtime/LittleEndian.h"
#include "values/DataTypes.h"

namespace kv::sim {
namespace {

template <std::size_t Size>
std::string AsString(const std::array<std::uint8_t, Size>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

constexpr std::uint16_t kRegisterTimeMask = 3;
constexpr std::uint8_t kChangeActive = 0x01;

}  // namespace

TLoginReply GrantedLoginReply() {
  TLoginReply reply;
  reply.clientId = 1;
  reply.versionMajor = 4;
  return reply;
}

std::string BuildLoginReply(const TLoginReply& reply) { return AsString(EncodeLoginReply(reply)); }

std::string BuildStatusReply(std::uint8_t answeredId) {
  return AsString(EncodeStatusReply({answeredId}));
}

std::string BuildServerTime(TDateTime serverTime, std::int16_t bias) {
  return AsString(EncodeServerTime({serverTime, bias}));
}

std::string BuildChannelNotice(std::uint8_t flags, TDateTime when, std::int32_t id) {
  return AsString(EncodeChannelNotice({flags, when, id}));
}

std::string BuildCommand(std::uint8_t id, const std::string& body) {
  std::uint8_t header[TKavrelCmdParser::kPacketHeaderSize] = {id};
  StoreLE(header + 1, static_cast<std::uint16_t>(body.size() + sizeof header));
  return std::string(std::begin(header), std::end(header)) + body;
}

TRegistration ReadRegistration(TKavrelCmdParser& command) {
  TRegistration reg;
  command.get<std::uint8_t>();   // id
  command.get<std::uint16_t>();  // length, checked by the framing
  reg.flags = command.get<std::uint16_t>();
  if (reg.flags & RegisterFlag::ByNumber)
    reg.number = command.get<std::uint32_t>();
  else
    reg.addr = command.get_STRING();
  reg.type = command.get<std::uint16_t>();
  const std::uint16_t count = command.get<std::uint16_t>();
  const unsigned timeForm = (reg.flags >> RegisterFlag::TimeFormShift) & kRegisterTimeMask;
  for (std::uint16_t i = 0; i < count; ++i) {
    TSimAttribute attribute;
    attribute.id = command.get<std::uint16_t>();
    attribute.type = command.get<std::uint16_t>();
    attribute.value = command.get_VALUE(attribute.type);
    attribute.lastChange = command.GetDateTimeField(timeForm).value_or(0);
    reg.attributes.push_back(std::move(attribute));
  }
  return reg;
}

TValueRecord ReadValueRecord(TKavrelCmdParser& buffer) {
  TValueRecord record;
  if (const std::uint8_t* front = buffer.Data()) record.id = *front;
  TChannel2 channel;
  GetChannelValueCmd(buffer, &channel, record.flags);
  record.number = channel.Number();
  record.addr = channel.Addr();
  record.dt = channel.DT();
  record.quality = static_cast<std::uint8_t>(channel.Quality());
  record.type = channel.Type();
  record.value = channel.Value();
  record.owner = channel.Owner();
  return record;
}

void AppendControl(TKavrelCmdParser& buffer, const TControl& control) {
  Variant value = control.value;
  ConvertToType(value, control.type);  // raises before anything is appended
  TChannel2 channel;
  channel.SetType(control.type);
  channel.SetValue(value);
  channel.SetNumber(control.number);
  channel.SetAddr(control.addr);
  channel.SetDT(control.dt);
  channel.SetQuality(control.quality);
  channel.SetOwner(control.owner);
  std::uint8_t flags = static_cast<std::uint8_t>(static_cast<unsigned>(control.timeForm)
                                                 << ValueFlag::TimeFormShift);
  if (control.byNumber) flags |= ValueFlag::ByNumber;
  if (control.controlMark) flags |= ValueFlag::ControlMark;
  SetChannelValueCmd(buffer, &channel, flags, false, kCmdControlValue);
}

void AppendChannelChange(TKavrelCmdParser& buffer, const TChannelChange& change) {
  const std::int32_t start = buffer.Size();
  try {
    const unsigned form = static_cast<unsigned>(change.timeForm);
    buffer.set(kCmdChannelChange);
    buffer.set(std::uint16_t{0});
    buffer.set(static_cast<std::uint8_t>((change.active ? kChangeActive : 0) | (form << 1)));
    buffer.set_STRING(change.addr);
    buffer.set(change.number);
    buffer.set(static_cast<std::uint16_t>(change.attributes.size()));
    for (const TSimAttribute& attribute : change.attributes) {
      buffer.set(attribute.id);
      buffer.set(attribute.type);
      buffer.set_VALUE(attribute.value, attribute.type);
      buffer.SetDateTimeField(form, attribute.lastChange);
    }
    buffer.SetPacketSize(buffer.Size() - start);
  } catch (...) {
    buffer.Truncate(start);
    throw;
  }
}

std::string PendingBytes(TKavrelCmdParser& buffer) {
  const std::int32_t size = buffer.Size();
  if (size <= 0) return {};
  return std::string(reinterpret_cast<const char*>(buffer.Data()), static_cast<std::size_t>(size));
}

}  // namespace kv::sim
