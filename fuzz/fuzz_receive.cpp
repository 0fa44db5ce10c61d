// libFuzzer target for the client's receive side as a whole: the input is
// what a server sends on one connection (the login reply, then the command
// stream), exactly as the test server records it (kvsim --record). A fake
// socket serves it in pieces whose sizes follow from the input itself, so
// one input always splits the same way. The client declares the channels
// the stream's channel changes name (so that activations and controls find
// them), logs in, and runs its worker's passes on a driven clock (now and
// then half a minute or a minute passes at once, for the incomplete-command
// and link-test rules) until the stream is used up or the client drops the
// connection.
//
// Checked on every input: each write of the client is whole messages; the
// receive buffer never holds more than one incomplete message; no more
// controls are queued than the stream has complete control commands.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "channels/Channel.h"
#include "client/Log.h"
#include "client/ClientThread.h"
#include "support/ManualClock.h"
#include "support/WorkerProbe.h"
#include "platform/Socket.h"
#include "protocol/ChannelRecords.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/PacketBuffer.h"
#include "protocol/Structures.h"
#include "runtime/Exception.h"

namespace kv {
namespace {

constexpr int kMaxPasses = 20000;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

// xorshift64*, seeded with a hash of the input.
class TPieces {
 public:
  TPieces(const std::uint8_t* data, std::size_t size) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
    state_ = h | 1;
  }
  std::uint64_t Next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    return state_ * 2685821657736338717ull;
  }
  // Mostly a few hundred bytes, sometimes one, sometimes many.
  std::size_t Size() {
    const std::uint64_t r = Next();
    switch (r % 8) {
      case 0:
        return 1;
      case 1:
        return 1 + (r >> 8) % 8;
      case 2:
        return 1 + (r >> 8) % 4096;
      default:
        return 1 + (r >> 8) % 300;
    }
  }
  // Milliseconds for the clock to move on a pass.
  std::uint64_t Step() {
    const std::uint64_t r = Next() % 64;
    return r == 0 ? 31000 : r == 1 ? 61000 : 1;
  }

 private:
  std::uint64_t state_;
};

void RequireWholeMessages(const std::uint8_t* data, std::int32_t size) {
  while (size > 0) {
    const TFrame frame = ClassifyFrame(data, size);
    Require(frame.state == TFrameState::Complete);
    data += frame.size;
    size -= frame.size;
  }
}

// The server's end of one connection: serves the input and takes whatever
// the client writes.
class TStreamSockets final : public platform::TSocketApi {
 public:
  TStreamSockets(const std::uint8_t* data, std::size_t size, TPieces& pieces)
      : data_(data), size_(size), pieces_(pieces) {
    // The login reply comes whole most of the time: the rest of the stream
    // is reached only through it.
    const std::size_t first =
        pieces_.Next() % 16 == 0 ? pieces_.Size() : kLoginReplySize + pieces_.Size();
    arrived_ = std::min(size_, first);
  }

  using R = platform::SocketResult;
  R Startup() override { return {}; }
  void Cleanup() override {}
  std::uint32_t ParseAddress(const std::string&) override {
    return platform::MakeIpv4(127, 0, 0, 1);
  }
  R ResolveName(const std::string&, std::uint32_t& address) override {
    address = platform::MakeIpv4(127, 0, 0, 1);
    return {};
  }
  R ResolveAll(const std::string&, std::vector<std::uint32_t>& addresses) override {
    addresses.assign(1, platform::MakeIpv4(127, 0, 0, 1));
    return {};
  }
  R OpenTcp(platform::SocketHandle& handle) override {
    handle = platform::SocketHandle{1};
    return {};
  }
  R Bind(platform::SocketHandle, const platform::Ipv4Address&) override { return {}; }
  R Connect(platform::SocketHandle, const platform::Ipv4Address&) override {
    return {-1, platform::wsa::kWouldBlock};
  }
  R ConnectionOutcome(platform::SocketHandle) override { return {}; }
  R SetNonBlocking(platform::SocketHandle, bool) override { return {}; }
  R Wait(platform::SocketHandle, platform::PollFor what, int) override {
    if (!platform::Has(what, platform::PollFor::Read)) return {1, 0};
    // Readable: bytes have arrived, or the server has closed (0 available).
    if (position_ == arrived_ && arrived_ < size_)
      arrived_ = std::min(size_, arrived_ + pieces_.Size());
    return {1, 0};
  }
  // The stream is always ready; the passes are driven from outside.
  R WaitOrWake(platform::SocketHandle s, platform::PollFor, platform::TWakeEvent&, int) override {
    return {s == platform::SocketHandle::None ? 0 : platform::kWaitReady, 0};
  }
  R Send(platform::SocketHandle, const void* data, int len) override {
    RequireWholeMessages(static_cast<const std::uint8_t*>(data), len);
    return {len, 0};
  }
  R Receive(platform::SocketHandle, void* buffer, int size) override {
    const std::size_t n = std::min(static_cast<std::size_t>(size), arrived_ - position_);
    std::memcpy(buffer, data_ + position_, n);
    position_ += n;
    return {static_cast<int>(n), 0};
  }
  R BytesAvailable(platform::SocketHandle, std::uint32_t& count) override {
    count = static_cast<std::uint32_t>(arrived_ - position_);
    return {};
  }
  R LocalName(platform::SocketHandle, platform::Ipv4Address& local) override {
    local.address = platform::MakeIpv4(127, 0, 0, 1);
    local.port = platform::HostToNet16(50000);
    return {};
  }
  R ShutdownSends(platform::SocketHandle) override { return {}; }
  R Close(platform::SocketHandle) override { return {}; }
  R Listen(platform::SocketHandle, int) override { return {-1, platform::wsa::kInvalidArgument}; }
  R Accept(platform::SocketHandle, platform::SocketHandle&, platform::Ipv4Address&) override {
    return {-1, platform::wsa::kInvalidArgument};
  }
  R SetAbortiveClose(platform::SocketHandle) override { return {}; }
  R SetReuseAddress(platform::SocketHandle) override { return {}; }
  R SetBufferSizes(platform::SocketHandle, int, int) override { return {}; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  TPieces& pieces_;
  std::size_t arrived_ = 0;
  std::size_t position_ = 0;
};

// Formats every line, keeps none.
class TNoLog final : public ILogSink {
 public:
  void Append(std::string_view, std::string_view) override {}
};

// The addresses the stream's channel changes name, and how many complete
// controls it has before anything that would end the connection.
void Survey(const std::uint8_t* data, std::size_t size, std::set<std::string>& addrs,
            std::size_t& controls) {
  if (size <= static_cast<std::size_t>(kLoginReplySize)) return;
  TKavrelCmdParser stream;
  stream.Append(data + kLoginReplySize, static_cast<std::int32_t>(size - kLoginReplySize));
  for (;;) {
    const TFrame frame = ClassifyFrame(stream);
    if (frame.state != TFrameState::Complete) return;
    if (frame.id == kCmdControlValue) ++controls;
    if (frame.id == kCmdChannelChange) {
      TKavrelCmdParser one;
      one.Append(stream.Data(), frame.size);
      TChannel2 channel;
      try {
        GetChannelChangeCmd(one, &channel);
      } catch (const Exception&) {
      } catch (int) {
      }
      if (!channel.Addr().empty() && addrs.size() < 64) addrs.emplace(channel.Addr());
    }
    stream.Skip(frame.size);
  }
}

platform::TManualClock& FuzzClock() {
  static platform::TManualClock clock;
  static const platform::TScopedTestClock installed(clock);
  return clock;
}

void Run(const std::uint8_t* data, std::size_t size) {
  platform::TManualClock& clock = FuzzClock();
  clock.SetAutoAdvance(false);
  clock.SetTicks(100000);
  clock.SetNow(platform::LocalTime{2026, 3, 0, 5, 10, 0, 0, 0});

  TPieces pieces(data, size);
  std::set<std::string> addrs = {"A1"};
  std::size_t controls = 0;
  Survey(data, size, addrs, controls);

  TStreamSockets sockets(data, size, pieces);
  TNoLog log;
  TOpros2Thread client({}, sockets);
  client.Log().SetSink(&log);
  client.Settings().DebugLog = true;
  client.Settings().SetClock = (pieces.Next() & 1) != 0;
  client.Settings().TimeoutSec = 1;
  std::uint16_t type = 5;
  for (const std::string& addr : addrs) {
    client.RegisterChannel({.Addr = addr, .Type = type, .WriteEnable = true});
    client.RegisterValueByID(addr, 0, 45000.5, Variant::FromDouble(1.5));
    type = type == 5 ? 3 : type == 3 ? 256 : 5;  // Float8, Int4, String by turns
  }
  // The worker's passes on this thread: the first logs in, the next send,
  // receive and test the link until one drops the connection.
  client.RunOnePass();
  test::TWorkerProbe worker(client);
  for (int pass = 0; pass < kMaxPasses && client.IsConnected(); ++pass) {
    if (!client.RunOnePass()) break;
    Require(worker.RecvBuffer().Size() <= 65535);
    clock.Advance(pieces.Step());
  }
  Require(client.PendingControls() <= controls);
}

}  // namespace
}  // namespace kv

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kv::Run(data, size);
  return 0;
}
