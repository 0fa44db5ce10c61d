// libFuzzer target for the protocol layer: arbitrary bytes as a server's
// stream (framing and the channel record readers, with a writer round trip
// of what they decode) and as a program of buffer operations checked
// against a plain model.
//
// The first input byte picks the mode; the rest is its input. A broken
// invariant traps, so libFuzzer keeps the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "channels/Channel.h"
#include "protocol/ChannelRecords.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/PacketBuffer.h"
#include "runtime/Exception.h"

namespace kv {
namespace {

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// Reads bytes off the front of the input.
class TInput {
 public:
  TInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Empty() const { return size_ == 0; }
  std::uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }
  // Up to n bytes.
  std::vector<std::uint8_t> Take(std::size_t n) {
    n = n < size_ ? n : size_;
    std::vector<std::uint8_t> out(data_, data_ + n);
    data_ += n;
    size_ -= n;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// Runs a reader and absorbs the failures a hostile command may cause.
template <class F>
bool Survive(F&& read) {
  try {
    read();
    return true;
  } catch (const Exception&) {
  } catch (int) {
  }
  return false;
}

// A writer either appends exactly one well-framed command or nothing.
template <class F>
void CheckComposition(TKavrelCmdParser& out, F&& write) {
  out.Clear();
  if (!Survive(write)) {
    Require(out.Size() == 0);
    return;
  }
  const TFrame frame = ClassifyFrame(out);
  Require(frame.state == TFrameState::Complete);
  Require(frame.size == out.Size());
}

void EchoValue(TChannel2& channel, std::uint8_t flags, std::uint8_t id) {
  TKavrelCmdParser out;
  CheckComposition(out, [&] { SetChannelValueCmd(out, &channel, flags, false, id); });
  if (out.Size() == 0) return;
  TChannel2 again;
  std::uint8_t againFlags = 0;
  Survive([&] { GetChannelValueCmd(out, &again, againFlags); });
  Require(out.Size() == 0);  // read whole or dropped whole
}

void EchoRegistration(TChannel2& channel, std::uint16_t flags) {
  TKavrelCmdParser out;
  CheckComposition(out, [&] {
    SetChannelRegisterCmd(out, &channel, flags, channel.Creator(), (flags & 0x8000) != 0, false);
  });
}

// One complete variable-length command at the front: whatever happens, the
// reader leaves the buffer exactly at the next message.
void HandleCmd2(TKavrelCmdParser& buffer, const TFrame& frame, std::uint8_t extra) {
  const std::int32_t before = buffer.Size();
  TChannel2 channel;
  if (frame.id == kCmdControlValue || frame.id == kCmdChannelValue) {
    std::uint8_t flags = 0;
    const bool ok = Survive([&] { GetChannelValueCmd(buffer, &channel, flags); });
    Require(buffer.Size() == before - frame.size);
    if (ok) EchoValue(channel, flags, frame.id);
  } else if (frame.id == kCmdChannelChange) {
    const bool ok = Survive([&] { GetChannelChangeCmd(buffer, &channel); });
    Require(buffer.Size() == before - frame.size);
    if (ok) EchoRegistration(channel, static_cast<std::uint16_t>(extra << 4 | (extra & 3)));
  } else {
    Require(buffer.SkipPacket());
    Require(buffer.Size() == before - frame.size);
  }
}

// The receive loop: chunks of the input arrive through Reserve/Commit and
// every complete message is taken from the front.
void FeedStream(TInput input) {
  TKavrelCmdParser buffer;
  while (!input.Empty()) {
    const std::size_t chunk = std::size_t{input.Byte()} + 1;
    const std::uint8_t extra = input.Byte();
    const std::vector<std::uint8_t> bytes = input.Take(chunk);
    if (bytes.empty()) break;
    const auto count = static_cast<std::int32_t>(bytes.size());
    std::uint8_t* room = buffer.Reserve(count);
    Require(room != nullptr);
    std::memcpy(room, bytes.data(), bytes.size());
    Require(buffer.Commit(count));
    for (;;) {
      const TFrame frame = ClassifyFrame(buffer);
      if (frame.state == TFrameState::Empty || frame.state == TFrameState::Incomplete) break;
      if (frame.state != TFrameState::Complete) {
        buffer.Clear();  // the connection would be dropped
        break;
      }
      if (IsCmd2(frame.id)) {
        HandleCmd2(buffer, frame, extra);
      } else {
        const std::int32_t before = buffer.Size();
        buffer.Skip(frame.size);
        Require(buffer.Size() == before - frame.size);
      }
    }
    // Only an incomplete message may wait, and none is longer than 65535.
    Require(buffer.Size() < 65536);
  }
}

// Buffer operations against a deque holding what must be unread.
void DriveStack(TInput input) {
  TDataStack store(input.Byte() % 32, input.Byte() % 2 ? 0 : 4096);
  std::deque<std::uint8_t> model;
  std::uint8_t scratch[300];
  while (!input.Empty()) {
    const std::uint8_t op = input.Byte();
    const std::int32_t n = input.Byte() + (op & 0x80 ? 256 : 0) - 2;
    switch (op % 8) {
      case 0: {
        const std::vector<std::uint8_t> bytes = input.Take(n > 0 ? static_cast<std::size_t>(n) : 0);
        const auto len = static_cast<std::int32_t>(bytes.size());
        if (store.Append(bytes.data(), len)) model.insert(model.end(), bytes.begin(), bytes.end());
        break;
      }
      case 1:
      case 2: {
        const std::int32_t len = n > 300 ? 300 : n;
        const bool consume = op % 8 == 1;
        if (consume ? store.Read(scratch, len) : store.Peek(scratch, len)) {
          for (std::int32_t i = 0; i < len; ++i) Require(scratch[i] == model[i]);
          if (consume) model.erase(model.begin(), model.begin() + len);
        }
        break;
      }
      case 3:
        store.Skip(n);
        if (n > 0)
          model.erase(model.begin(), model.begin() + std::min<std::size_t>(n, model.size()));
        break;
      case 4: {
        std::uint8_t* room = store.Reserve(n);
        if (room != nullptr) {
          for (std::int32_t i = 0; i < n; ++i) room[i] = static_cast<std::uint8_t>(i);
          Require(store.Commit(n));
          for (std::int32_t i = 0; i < n; ++i) model.push_back(static_cast<std::uint8_t>(i));
        }
        break;
      }
      case 5: {
        const std::int32_t offset = static_cast<std::int8_t>(input.Byte());
        const std::uint8_t value = input.Byte();
        std::uint8_t bytes[4] = {value, value, value, value};
        const std::int32_t len = n & 3;
        if (store.Patch(bytes, len, offset)) {
          const std::int32_t at =
              offset < 0 ? static_cast<std::int32_t>(model.size()) + offset : offset;
          Require(at >= 0 && at + len <= static_cast<std::int32_t>(model.size()));
          for (std::int32_t i = 0; i < len; ++i) model[at + i] = value;
        }
        break;
      }
      case 6:
        if (store.Truncate(n)) model.resize(n);
        break;
      default:
        if (n == 0) {
          store.Clear();
          model.clear();
        } else {
          store.Grow(n);
        }
        break;
    }
    Require(store.Size() == static_cast<std::int32_t>(model.size()));
    Require(store.Size() <= store.Capacity());
    const std::uint8_t* data = store.Data();
    Require((data == nullptr) == model.empty());
    for (std::size_t i = 0; i < model.size(); ++i) Require(data[i] == model[i]);
  }
}

}  // namespace
}  // namespace kv

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  kv::TInput input(data + 1, size - 1);
  if (data[0] & 1)
    kv::DriveStack(input);
  else
    kv::FeedStream(input);
  return 0;
}
