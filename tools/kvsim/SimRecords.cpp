#include "kvsim/SimRecords.h"

#include <cstring>

#include "channels/Channel.h"
#include "protocol/Channelcmd.h"
#include "protocol/Kavrel.h"
#include "values/Channelutils.h"

namespace kv::sim {
namespace {

template <class T>
void PutLe(std::string& out, std::size_t offset, T value) {
  unsigned char bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));  // the targets are little-endian
  for (std::size_t i = 0; i < sizeof(T); ++i) out[offset + i] = static_cast<char>(bytes[i]);
}

// A zero-terminated text inside a fixed field; a field without a zero gives
// all of its bytes.
std::string FixedText(const std::uint8_t* field, std::size_t width) {
  std::size_t n = 0;
  while (n < width && field[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

constexpr std::uint16_t kRegisterTimeMask = 3;
constexpr std::uint8_t kChangeActive = 0x01;

}  // namespace

TLoginRequest ParseLoginRequest(const std::uint8_t* data) {
  TLoginRequest request;
  request.byte1 = data[1];
  request.login = FixedText(data + 2, 40);
  request.password = FixedText(data + 42, 20);
  request.libraryMajor = data[62];
  request.libraryMinor = data[63];
  request.byte64 = data[64];
  return request;
}

std::string BuildLoginReply(const TLoginReplyFields& fields) {
  std::string out(kLoginReplySize, '\0');
  out[0] = static_cast<char>(kStructLoginReply);
  PutLe(out, 1, fields.clientId);
  PutLe(out, 6, fields.serverTime);
  out[14] = static_cast<char>(fields.versionMajor);
  out[15] = static_cast<char>(fields.versionMinor);
  out[20] = static_cast<char>(fields.resultCode);
  PutLe(out, 21, fields.bias);
  return out;
}

std::string BuildStatusReply(std::uint8_t answeredId) {
  std::string out(kStatusReplySize, '\0');
  out[0] = static_cast<char>(kStructStatusReply);
  out[5] = static_cast<char>(answeredId);
  return out;
}

std::string BuildServerTime(TDateTime serverTime, std::int16_t bias) {
  std::string out(kServerTimeSize, '\0');
  out[0] = static_cast<char>(kStructServerTime);
  PutLe(out, 1, serverTime);
  PutLe(out, 9, bias);
  return out;
}

std::string BuildChannelNotice(std::uint8_t flags, TDateTime when, std::int32_t id) {
  std::string out(kChannelNoticeSize, '\0');
  out[0] = static_cast<char>(kStructChannelNotice);
  out[1] = static_cast<char>(flags);
  PutLe(out, 2, when);
  PutLe(out, 10, id);
  return out;
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
  std::uint8_t flags = static_cast<std::uint8_t>(static_cast<unsigned>(control.timeForm) << ValueFlag::TimeFormShift);
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
