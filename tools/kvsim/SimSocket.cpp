#include "kvsim/SimSocket.h"

#include <chrono>

namespace kv::sim {
namespace {

using platform::PollFor;
using platform::SocketHandle;
namespace wsa = platform::wsa;

constexpr int kBacklog = 4;
constexpr int kReceiveChunk = 65536;
// Slice of a send wait, so that a deadline is noticed soon after it passes.
constexpr int kSendWaitSliceMs = 20;

}  // namespace

std::string AddressText(const platform::Ipv4Address& address) {
  const std::uint32_t a = address.address;
  const unsigned char* octets = reinterpret_cast<const unsigned char*>(&a);
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(octets[i]);
  }
  text += ':';
  text += std::to_string(platform::NetToHost16(address.port));
  return text;
}

std::string SocketErrorName(int error) {
  constexpr int kAccessDenied = 10013;
  switch (error) {
    case kAccessDenied:
      return "permission denied (a port below 1024 needs the right to it)";
    case wsa::kAddressInUse:
      return "address or port already in use";
    case wsa::kAddressNotAvailable:
      return "no such address on this computer";
    case wsa::kAddressFamily:
    case wsa::kInvalidArgument:
      return "invalid address";
    case wsa::kNetworkDown:
    case wsa::kNetworkUnreachable:
      return "network unreachable";
    case wsa::kTooManySockets:
    case wsa::kNoBufferSpace:
      return "out of sockets";
    case wsa::kHostNotFound:
    case wsa::kNoData:
      return "host name not found";
    case wsa::kTryAgain:
      return "host name not found for now";
    default:
      return "socket error " + std::to_string(error);
  }
}

int TSimSocket::Listen(const std::string& host, std::uint16_t port, int receiveBytes) {
  Close();
  platform::Ipv4Address local;
  local.port = platform::HostToNet16(port);
  local.address = api_.ParseAddress(host);
  if (local.address == platform::kNoAddress) {
    const platform::SocketResult r = api_.ResolveName(host, local.address);
    if (r.Failed()) return r.error;
  }
  platform::SocketResult r = api_.OpenTcp(handle_);
  if (r.Failed()) return r.error;
  if (receiveBytes > 0) api_.SetBufferSizes(handle_, 0, receiveBytes);
  api_.SetReuseAddress(handle_);
  r = api_.Bind(handle_, local);
  if (!r.Failed()) r = api_.Listen(handle_, kBacklog);
  if (r.Failed()) {
    Close();
    return r.error;
  }
  return 0;
}

std::uint16_t TSimSocket::LocalPort() {
  platform::Ipv4Address local;
  if (api_.LocalName(handle_, local).Failed()) return 0;
  return platform::NetToHost16(local.port);
}

std::unique_ptr<TSimSocket> TSimSocket::Accept(int timeoutMs, int& error) {
  error = 0;
  platform::SocketResult r = api_.Wait(handle_, PollFor::Read, timeoutMs);
  if (r.Failed()) {
    error = r.error;
    return nullptr;
  }
  if (r.value == 0) return nullptr;
  SocketHandle peer = SocketHandle::None;
  platform::Ipv4Address from;
  r = api_.Accept(handle_, peer, from);
  if (r.Failed()) {
    error = r.error;
    return nullptr;
  }
  auto socket = std::make_unique<TSimSocket>(api_, peer);
  socket->peerText_ = AddressText(from);
  r = api_.SetNonBlocking(peer, true);
  if (r.Failed()) {
    error = r.error;
    return nullptr;
  }
  return socket;
}

bool TSimSocket::Pending() {
  const platform::SocketResult r = api_.Wait(handle_, PollFor::Read, 0);
  return !r.Failed() && r.value > 0;
}

TSimSocket::TReceive TSimSocket::Receive(std::string& out, int timeoutMs, int& error,
                                         std::size_t maxBytes) {
  error = 0;
  platform::SocketResult r = api_.Wait(handle_, PollFor::Read, timeoutMs);
  if (r.Failed()) {
    error = r.error;
    return TReceive::Failed;
  }
  if (r.value == 0) return TReceive::Nothing;
  char chunk[kReceiveChunk];
  const int size = maxBytes > 0 && maxBytes < static_cast<std::size_t>(kReceiveChunk)
                       ? static_cast<int>(maxBytes)
                       : kReceiveChunk;
  r = api_.Receive(handle_, chunk, size);
  if (r.Failed()) {
    if (r.error == wsa::kWouldBlock) return TReceive::Nothing;
    error = r.error;
    return TReceive::Failed;
  }
  if (r.value == 0) return TReceive::Closed;
  out.append(chunk, static_cast<std::size_t>(r.value));
  return TReceive::Data;
}

int TSimSocket::SendAll(const char* data, std::size_t size, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t sent = 0;
  while (sent < size) {
    const std::size_t left = size - sent;
    const int piece =
        left > static_cast<std::size_t>(kReceiveChunk) ? kReceiveChunk : static_cast<int>(left);
    const platform::SocketResult r = api_.Send(handle_, data + sent, piece);
    if (!r.Failed()) {
      sent += static_cast<std::size_t>(r.value);
      continue;
    }
    if (r.error != wsa::kWouldBlock) return r.error;
    if (Clock::now() >= deadline) return wsa::kTimedOut;
    const platform::SocketResult w = api_.Wait(handle_, PollFor::Write, kSendWaitSliceMs);
    if (w.Failed()) return w.error;
  }
  return 0;
}

void TSimSocket::ShutdownSends() {
  if (Valid()) api_.ShutdownSends(handle_);
}

void TSimSocket::Close() {
  if (!Valid()) return;
  api_.ShutdownSends(handle_);
  api_.Close(handle_);
  handle_ = SocketHandle::None;
}

void TSimSocket::Reset() {
  if (!Valid()) return;
  api_.SetAbortiveClose(handle_);
  api_.Close(handle_);
  handle_ = SocketHandle::None;
}

}  // namespace kv::sim
