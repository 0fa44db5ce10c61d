#pragma once
// The server's sockets over the platform interface: a listening socket and
// accepted connections. Every wait is bounded by the caller's time-out, so
// the server thread never blocks for long. An accepted connection is made
// non-blocking: a send that the peer does not drain gives up at its
// deadline instead of hanging.
//
// One thread uses a socket at a time; the object owns its handle and closes
// it on destruction. The socket interface is borrowed and must outlive it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Socket.h"

namespace kv::sim {

class TSimSocket {
 public:
  explicit TSimSocket(platform::TSocketApi& api,
                      platform::SocketHandle handle = platform::SocketHandle::None)
      : api_(api), handle_(handle) {}
  ~TSimSocket() { Close(); }
  TSimSocket(const TSimSocket&) = delete;
  TSimSocket& operator=(const TSimSocket&) = delete;

  bool Valid() const noexcept { return handle_ != platform::SocketHandle::None; }

  // Opens, binds and listens; `host` is a dotted address or a name.
  // `receiveBytes` > 0 sets the receive buffer that accepted sockets
  // inherit (set before listening, so that the window offered to the
  // client is small too). 0 on success, else the WinSock error number.
  int Listen(const std::string& host, std::uint16_t port, int receiveBytes);
  // The bound port (the ephemeral one chosen for port 0).
  std::uint16_t LocalPort();

  // Waits up to timeoutMs for a connection and accepts it; null when none
  // came (error 0) or accepting failed (its error).
  std::unique_ptr<TSimSocket> Accept(int timeoutMs, int& error);
  // Whether a connection waits to be accepted; does not wait.
  bool Pending();
  // "a.b.c.d:port" of the peer of an accepted socket.
  const std::string& PeerText() const noexcept { return peerText_; }

  enum class TReceive { Nothing, Data, Closed, Failed };
  // Waits up to timeoutMs and appends what arrived to `out`, at most
  // `maxBytes` (0: as much as one read takes). Closed: the peer shut its
  // side; Failed: `error` says why (10054 for a reset).
  TReceive Receive(std::string& out, int timeoutMs, int& error, std::size_t maxBytes = 0);
  // Sends every byte, waiting for room at most timeoutMs in all. 0 when all
  // went out, else the error (10060 when the deadline passed).
  int SendAll(const char* data, std::size_t size, int timeoutMs);

  // No more sends; the peer reads the end of the stream after the rest.
  void ShutdownSends();
  // Graceful close: no more sends, then close.
  void Close();
  // Abortive close: the peer sees a reset.
  void Reset();

 private:
  platform::TSocketApi& api_;
  platform::SocketHandle handle_;
  std::string peerText_;
};

// "a.b.c.d:port" of an address in network order.
std::string AddressText(const platform::Ipv4Address& address);
// An English text for a WinSock error number: "address or port already in
// use"; "socket error N" for one without a text.
std::string SocketErrorName(int error);

}  // namespace kv::sim
