#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kv::platform {
namespace {

// The one place where native error numbers become WinSock numbers.
int ToWinSock(int err) {
  switch (err) {
    case 0:
      return 0;
    case EINTR:
      return wsa::kInterrupted;
    case EACCES:
      return 10013;
    case EFAULT:
      return wsa::kBadAddress;
    case EINVAL:
      return wsa::kInvalidArgument;
    case EMFILE:
    case ENFILE:
      return wsa::kTooManySockets;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK:
    case EINPROGRESS:
      return wsa::kWouldBlock;
    case EALREADY:
      return wsa::kAlreadyInProgress;
    case EBADF:
    case ENOTSOCK:
      return wsa::kNotSocket;
    case EDESTADDRREQ:
      return 10039;
    case EMSGSIZE:
      return wsa::kMessageSize;
    case EPROTOTYPE:
      return 10041;
    case ENOPROTOOPT:
      return 10042;
    case EPROTONOSUPPORT:
      return 10043;
    case EOPNOTSUPP:
      return 10045;
    case EAFNOSUPPORT:
      return wsa::kAddressFamily;
    case EADDRINUSE:
      return wsa::kAddressInUse;
    case EADDRNOTAVAIL:
      return wsa::kAddressNotAvailable;
    case ENETDOWN:
      return wsa::kNetworkDown;
    case ENETUNREACH:
      return wsa::kNetworkUnreachable;
    case ENETRESET:
      return wsa::kNetworkReset;
    case ECONNABORTED:
    case EPIPE:
      return wsa::kConnectionAborted;
    case ECONNRESET:
      return wsa::kConnectionReset;
    case ENOBUFS:
    case ENOMEM:
      return wsa::kNoBufferSpace;
    case EISCONN:
      return wsa::kAlreadyConnected;
    case ENOTCONN:
      return wsa::kNotConnected;
    case ESHUTDOWN:
      return wsa::kShutdown;
    case ETIMEDOUT:
      return wsa::kTimedOut;
    case ECONNREFUSED:
      return wsa::kConnectionRefused;
    case EHOSTDOWN:
      return wsa::kHostDown;
    case EHOSTUNREACH:
      return wsa::kHostUnreachable;
    default:
      return err;
  }
}

// Name service failures, numbered as the WinSock resolver numbers them.
int ResolverToWinSock(int eai, int savedErrno) {
  switch (eai) {
    case EAI_NONAME:
      return wsa::kHostNotFound;
    case EAI_AGAIN:
      return wsa::kTryAgain;
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return wsa::kNoData;
    case EAI_MEMORY:
      return wsa::kNoBufferSpace;
    case EAI_SYSTEM:
      return ToWinSock(savedErrno);
    default:
      return wsa::kNoRecovery;
  }
}

SocketResult Fail() { return {-1, ToWinSock(errno)}; }
SocketResult Check(int rc) { return rc == -1 ? Fail() : SocketResult{rc, 0}; }
SocketResult BadHandle() { return {-1, wsa::kNotSocket}; }

int Fd(SocketHandle h) { return static_cast<int>(static_cast<std::uintptr_t>(h) - 1); }
SocketHandle Handle(int fd) {
  return static_cast<SocketHandle>(static_cast<std::uintptr_t>(fd) + 1);
}

sockaddr_in ToNative(const Ipv4Address& a) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = a.port;
  sa.sin_addr.s_addr = a.address;
  return sa;
}

Ipv4Address FromNative(const sockaddr_in& sa) {
  Ipv4Address a;
  a.family = static_cast<std::uint16_t>(sa.sin_family);
  a.port = sa.sin_port;
  a.address = sa.sin_addr.s_addr;
  return a;
}

SocketResult SetIntOption(SocketHandle s, int level, int name, int value) {
  return Check(setsockopt(Fd(s), level, name, &value, sizeof value));
}

class TPosixSockets final : public TSocketApi {
 public:
  SocketResult Startup() override { return {0, 0}; }
  void Cleanup() override {}

  std::uint32_t ParseAddress(const std::string& text) override { return inet_addr(text.c_str()); }

  SocketResult ResolveName(const std::string& name, std::uint32_t& address) override {
    std::vector<std::uint32_t> addresses;
    SocketResult r = ResolveAll(name, addresses);
    if (!r.Failed()) address = addresses.front();
    return r;
  }

  SocketResult ResolveAll(const std::string& name, std::vector<std::uint32_t>& addresses) override {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) return {-1, ResolverToWinSock(rc, errno)};
    addresses.clear();
    for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
      if (p->ai_family != AF_INET || p->ai_addrlen < sizeof(sockaddr_in)) continue;
      sockaddr_in sa{};
      std::memcpy(&sa, p->ai_addr, sizeof sa);
      const std::uint32_t address = sa.sin_addr.s_addr;
      if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
        addresses.push_back(address);
    }
    freeaddrinfo(list);
    if (addresses.empty()) return {-1, wsa::kNoData};
    return {0, 0};
  }

  SocketResult OpenTcp(SocketHandle& handle) override {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) return Fail();
    handle = Handle(fd);
    return {0, 0};
  }

  SocketResult Bind(SocketHandle s, const Ipv4Address& local) override {
    if (s == SocketHandle::None) return BadHandle();
    sockaddr_in sa = ToNative(local);
    return Check(bind(Fd(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
  }

  SocketResult Connect(SocketHandle s, const Ipv4Address& remote) override {
    if (s == SocketHandle::None) return BadHandle();
    sockaddr_in sa = ToNative(remote);
    return Check(connect(Fd(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
  }

  SocketResult ConnectionOutcome(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &pending, &len) == -1) return Fail();
    if (pending != 0) return {-1, ToWinSock(pending)};
    // SO_ERROR is cleared once read; the peer's name tells a failed attempt
    // from an established one however often we ask.
    sockaddr_in peer{};
    socklen_t peerLen = sizeof peer;
    return Check(getpeername(Fd(s), reinterpret_cast<sockaddr*>(&peer), &peerLen));
  }

  SocketResult SetNonBlocking(SocketHandle s, bool nonBlocking) override {
    if (s == SocketHandle::None) return BadHandle();
    int flags = fcntl(Fd(s), F_GETFL);
    if (flags == -1) return Fail();
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return Check(fcntl(Fd(s), F_SETFL, flags) == -1 ? -1 : 0);
  }

  SocketResult Wait(SocketHandle s, PollFor what, int timeoutMs) override {
    if (s == SocketHandle::None) return BadHandle();
    if (what == PollFor{}) return {-1, wsa::kInvalidArgument};  // as select() with no set
    // poll() rather than select(): a descriptor above FD_SETSIZE must not
    // write past an fd_set.
    pollfd p{};
    p.fd = Fd(s);
    if (Has(what, PollFor::Read)) p.events |= POLLIN;
    if (Has(what, PollFor::Write)) p.events |= POLLOUT;
    if (Has(what, PollFor::Except)) p.events |= POLLPRI;
    int rc;
    do rc = poll(&p, 1, timeoutMs < 0 ? 0 : timeoutMs);
    while (rc == -1 && errno == EINTR);
    if (rc == -1) return Fail();
    if (rc > 0 && (p.revents & POLLNVAL)) return BadHandle();
    return {rc, 0};
  }

  SocketResult WaitOrWake(SocketHandle s, PollFor what, TWakeEvent& wake, int timeoutMs) override {
    if (timeoutMs < 0) timeoutMs = 0;
    if (!wake.Valid() && timeoutMs > 1) timeoutMs = 1;
    pollfd p[2]{};
    nfds_t count = 0;
    if (wake.Valid()) p[count++] = pollfd{static_cast<int>(wake.Handle()), POLLIN, 0};
    pollfd* socket = nullptr;
    if (s != SocketHandle::None) {
      if (what == PollFor{}) return {-1, wsa::kInvalidArgument};
      socket = &p[count++];
      socket->fd = Fd(s);
      if (Has(what, PollFor::Read)) socket->events |= POLLIN;
      if (Has(what, PollFor::Write)) socket->events |= POLLOUT;
      if (Has(what, PollFor::Except)) socket->events |= POLLPRI;
    }
    int rc;
    do rc = poll(p, count, timeoutMs);
    while (rc == -1 && errno == EINTR);
    if (rc == -1) return Fail();
    int value = 0;
    if (socket != nullptr && socket->revents != 0) {
      if (socket->revents & POLLNVAL) return BadHandle();
      value |= kWaitReady;
    }
    if (wake.Valid() && p[0].revents != 0) {
      std::uint64_t signals = 0;
      while (read(p[0].fd, &signals, sizeof signals) == -1 && errno == EINTR) {
      }
      value |= kWaitWoken;
    }
    return {value, 0};
  }

  SocketResult Send(SocketHandle s, const void* data, int len) override {
    if (len < 0) return {-1, wsa::kInvalidArgument};
    if (data == nullptr && len > 0) return {-1, wsa::kBadAddress};
    if (s == SocketHandle::None) return BadHandle();
    ssize_t n;
    do n = send(Fd(s), data, static_cast<std::size_t>(len), MSG_NOSIGNAL);
    while (n == -1 && errno == EINTR);
    return n == -1 ? Fail() : SocketResult{static_cast<int>(n), 0};
  }

  SocketResult Receive(SocketHandle s, void* buffer, int size) override {
    if (size < 0) return {-1, wsa::kInvalidArgument};
    if (buffer == nullptr && size > 0) return {-1, wsa::kBadAddress};
    if (s == SocketHandle::None) return BadHandle();
    ssize_t n;
    do n = recv(Fd(s), buffer, static_cast<std::size_t>(size), 0);
    while (n == -1 && errno == EINTR);
    return n == -1 ? Fail() : SocketResult{static_cast<int>(n), 0};
  }

  SocketResult BytesAvailable(SocketHandle s, std::uint32_t& count) override {
    if (s == SocketHandle::None) return BadHandle();
    int n = 0;
    if (ioctl(Fd(s), FIONREAD, &n) == -1) return Fail();
    count = static_cast<std::uint32_t>(n < 0 ? 0 : n);
    return {0, 0};
  }

  SocketResult LocalName(SocketHandle s, Ipv4Address& local) override {
    if (s == SocketHandle::None) return BadHandle();
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&sa), &len) == -1) return Fail();
    local = FromNative(sa);
    return {0, 0};
  }

  SocketResult ShutdownSends(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    return Check(shutdown(Fd(s), SHUT_WR));
  }

  SocketResult Close(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    // Linux releases the descriptor even when close() is interrupted, so
    // EINTR is not a failure to report.
    if (close(Fd(s)) == -1 && errno != EINTR) return Fail();
    return {0, 0};
  }

  SocketResult Listen(SocketHandle s, int backlog) override {
    if (s == SocketHandle::None) return BadHandle();
    return Check(listen(Fd(s), backlog));
  }

  SocketResult Accept(SocketHandle listener, SocketHandle& peer, Ipv4Address& from) override {
    if (listener == SocketHandle::None) return BadHandle();
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd;
    do fd = accept4(Fd(listener), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    while (fd == -1 && errno == EINTR);
    if (fd == -1) return Fail();
    peer = Handle(fd);
    from = FromNative(sa);
    return {0, 0};
  }

  SocketResult SetAbortiveClose(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    return Check(setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l));
  }

  SocketResult SetReuseAddress(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    int on = 1;
    return Check(setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on));
  }

  SocketResult SetBufferSizes(SocketHandle s, int sendBytes, int receiveBytes) override {
    if (s == SocketHandle::None) return BadHandle();
    if (sendBytes > 0) {
      SocketResult r = SetIntOption(s, SOL_SOCKET, SO_SNDBUF, sendBytes);
      if (r.Failed()) return r;
    }
    if (receiveBytes > 0) return SetIntOption(s, SOL_SOCKET, SO_RCVBUF, receiveBytes);
    return {0, 0};
  }
};

}  // namespace

// An eventfd: a counter that poll sees as readable while it is not 0.
TWakeEvent::TWakeEvent() : handle_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TWakeEvent::~TWakeEvent() {
  if (Valid()) close(static_cast<int>(handle_));
}

bool TWakeEvent::Valid() const noexcept { return handle_ >= 0; }

void TWakeEvent::Signal() noexcept {
  if (!Valid()) return;
  const std::uint64_t one = 1;
  // Fails only when the counter is full, and then it is signalled anyway.
  while (write(static_cast<int>(handle_), &one, sizeof one) == -1 && errno == EINTR) {
  }
}

TSocketApi& SystemSockets() {
  static TPosixSockets sockets;
  return sockets;
}

}  // namespace kv::platform
