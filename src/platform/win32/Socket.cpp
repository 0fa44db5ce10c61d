#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>

namespace kv::platform {
namespace {

// The one place where WinSock reports an error; its numbers are already
// the ones the library uses.
SocketResult Fail() { return {-1, WSAGetLastError()}; }
SocketResult Check(int rc) { return rc == SOCKET_ERROR ? Fail() : SocketResult{rc, 0}; }
SocketResult BadHandle() { return {-1, wsa::kNotSocket}; }

// kWaitWoken when the wake event was signalled, consuming the signal.
int TakeSignal(kv::platform::TWakeEvent& wake) {
  if (!wake.Valid()) return 0;
  return WaitForSingleObject(reinterpret_cast<HANDLE>(wake.Handle()), 0) == WAIT_OBJECT_0
             ? kWaitWoken
             : 0;
}

SOCKET Native(SocketHandle h) { return static_cast<SOCKET>(h); }

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
  return Check(
      setsockopt(Native(s), level, name, reinterpret_cast<const char*>(&value), sizeof value));
}

class TWinSockets final : public TSocketApi {
 public:
  SocketResult Startup() override {
    WSADATA data;
    int rc = WSAStartup(MAKEWORD(2, 2), &data);
    return {rc, rc};
  }
  void Cleanup() override { WSACleanup(); }

  std::uint32_t ParseAddress(const std::string& text) override { return inet_addr(text.c_str()); }

  SocketResult ResolveName(const std::string& name, std::uint32_t& address) override {
    std::vector<std::uint32_t> addresses;
    SocketResult r = ResolveAll(name, addresses);
    if (!r.Failed()) address = addresses.front();
    return r;
  }

  SocketResult ResolveAll(const std::string& name, std::vector<std::uint32_t>& addresses) override {
    // gethostbyname keeps its answer per thread, so this is thread-safe.
    hostent* host = gethostbyname(name.c_str());
    if (host == nullptr) return Fail();
    if (host->h_addrtype != AF_INET || host->h_length != 4 || host->h_addr_list[0] == nullptr)
      return {-1, wsa::kNoData};
    addresses.clear();
    for (char** entry = host->h_addr_list; *entry != nullptr; ++entry) {
      std::uint32_t address = 0;
      std::memcpy(&address, *entry, 4);
      if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
        addresses.push_back(address);
    }
    return {0, 0};
  }

  SocketResult OpenTcp(SocketHandle& handle) override {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return Fail();
    handle = static_cast<SocketHandle>(s);
    return {0, 0};
  }

  SocketResult Bind(SocketHandle s, const Ipv4Address& local) override {
    if (s == SocketHandle::None) return BadHandle();
    sockaddr_in sa = ToNative(local);
    return Check(bind(Native(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
  }

  SocketResult Connect(SocketHandle s, const Ipv4Address& remote) override {
    if (s == SocketHandle::None) return BadHandle();
    sockaddr_in sa = ToNative(remote);
    return Check(connect(Native(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
  }

  SocketResult ConnectionOutcome(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    int pending = 0;
    int len = sizeof pending;
    if (getsockopt(Native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &len) ==
        SOCKET_ERROR)
      return Fail();
    if (pending != 0) return {-1, pending};
    sockaddr_in peer{};
    int peerLen = sizeof peer;
    return Check(getpeername(Native(s), reinterpret_cast<sockaddr*>(&peer), &peerLen));
  }

  SocketResult SetNonBlocking(SocketHandle s, bool nonBlocking) override {
    if (s == SocketHandle::None) return BadHandle();
    u_long arg = nonBlocking ? 1 : 0;
    return Check(ioctlsocket(Native(s), FIONBIO, &arg));
  }

  SocketResult Wait(SocketHandle s, PollFor what, int timeoutMs) override {
    if (s == SocketHandle::None) return BadHandle();
    if (what == PollFor{}) return {-1, wsa::kInvalidArgument};  // as select() with no set
    if (timeoutMs < 0) timeoutMs = 0;
    fd_set readSet, writeSet, exceptSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&exceptSet);
    FD_SET(Native(s), &readSet);
    FD_SET(Native(s), &writeSet);
    FD_SET(Native(s), &exceptSet);
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = (timeoutMs % 1000) * 1000;
    int rc = select(64, Has(what, PollFor::Read) ? &readSet : nullptr,
                    Has(what, PollFor::Write) ? &writeSet : nullptr,
                    Has(what, PollFor::Except) ? &exceptSet : nullptr, &tv);
    return Check(rc);
  }

  // The socket's readiness sets the wake event's second event through
  // WSAEventSelect, bound anew for each wait to just the asked directions
  // (FD_WRITE while the socket is writable would end every wait at once).
  // The events are edges (FD_WRITE, for one, is recorded after connecting
  // and after a send that would block), so what is ready before the wait
  // begins a select with no time-out tells; anything that happens after
  // the record was emptied sets the event.
  SocketResult WaitOrWake(SocketHandle s, PollFor what, TWakeEvent& wake, int timeoutMs) override {
    if (timeoutMs < 0) timeoutMs = 0;
    if (s != SocketHandle::None && what == PollFor{}) return {-1, wsa::kInvalidArgument};
    if (!wake.Valid()) {
      timeoutMs = timeoutMs > 1 ? 1 : timeoutMs;
      if (s == SocketHandle::None) {
        ::Sleep(static_cast<DWORD>(timeoutMs));
        return {0, 0};
      }
      SocketResult r = Wait(s, what, timeoutMs);
      return r.Failed() ? r : SocketResult{r.value > 0 ? kWaitReady : 0, 0};
    }
    HANDLE events[2] = {reinterpret_cast<HANDLE>(wake.Handle()),
                        reinterpret_cast<HANDLE>(wake.SocketEvent())};
    DWORD count = 1;
    if (s != SocketHandle::None) {
      long mask = FD_CLOSE;
      if (Has(what, PollFor::Read)) mask |= FD_READ;
      if (Has(what, PollFor::Write)) mask |= FD_WRITE | FD_CONNECT;
      if (Has(what, PollFor::Except)) mask |= FD_CONNECT | FD_OOB;
      if (WSAEventSelect(Native(s), events[1], mask) == SOCKET_ERROR) return Fail();
      // Start from an empty record (which also resets the event): it may
      // still hold events from before, such as the FD_WRITE of the
      // connection's start that wine keeps until they are enumerated. What
      // is ready now, the select below tells.
      WSANETWORKEVENTS before{};
      if (WSAEnumNetworkEvents(Native(s), events[1], &before) == SOCKET_ERROR) return Fail();
      SocketResult now = Wait(s, what, 0);
      if (now.Failed()) return now;
      if (now.value > 0) return {kWaitReady | TakeSignal(wake), 0};
      count = 2;
    }
    switch (WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(timeoutMs))) {
      case WAIT_TIMEOUT:
        return {0, 0};
      case WAIT_OBJECT_0:
        return {kWaitWoken, 0};
      case WAIT_OBJECT_0 + 1:
        return {kWaitReady | TakeSignal(wake), 0};
      default:
        return {-1, static_cast<int>(GetLastError())};
    }
  }

  SocketResult Send(SocketHandle s, const void* data, int len) override {
    if (len < 0) return {-1, wsa::kInvalidArgument};
    if (data == nullptr && len > 0) return {-1, wsa::kBadAddress};
    if (s == SocketHandle::None) return BadHandle();
    return Check(send(Native(s), static_cast<const char*>(data), len, 0));
  }

  SocketResult Receive(SocketHandle s, void* buffer, int size) override {
    if (size < 0) return {-1, wsa::kInvalidArgument};
    if (buffer == nullptr && size > 0) return {-1, wsa::kBadAddress};
    if (s == SocketHandle::None) return BadHandle();
    return Check(recv(Native(s), static_cast<char*>(buffer), size, 0));
  }

  SocketResult BytesAvailable(SocketHandle s, std::uint32_t& count) override {
    if (s == SocketHandle::None) return BadHandle();
    u_long n = 0;
    if (ioctlsocket(Native(s), FIONREAD, &n) == SOCKET_ERROR) return Fail();
    count = static_cast<std::uint32_t>(n);
    return {0, 0};
  }

  SocketResult LocalName(SocketHandle s, Ipv4Address& local) override {
    if (s == SocketHandle::None) return BadHandle();
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(Native(s), reinterpret_cast<sockaddr*>(&sa), &len) == SOCKET_ERROR)
      return Fail();
    local = FromNative(sa);
    return {0, 0};
  }

  SocketResult ShutdownSends(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    return Check(shutdown(Native(s), SD_SEND));
  }

  SocketResult Close(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    return Check(closesocket(Native(s)));
  }

  SocketResult Listen(SocketHandle s, int backlog) override {
    if (s == SocketHandle::None) return BadHandle();
    return Check(listen(Native(s), backlog));
  }

  SocketResult Accept(SocketHandle listener, SocketHandle& peer, Ipv4Address& from) override {
    if (listener == SocketHandle::None) return BadHandle();
    sockaddr_in sa{};
    int len = sizeof sa;
    SOCKET s = accept(Native(listener), reinterpret_cast<sockaddr*>(&sa), &len);
    if (s == INVALID_SOCKET) return Fail();
    peer = static_cast<SocketHandle>(s);
    from = FromNative(sa);
    return {0, 0};
  }

  SocketResult SetReuseAddress(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    return {0, 0};
  }

  SocketResult SetAbortiveClose(SocketHandle s) override {
    if (s == SocketHandle::None) return BadHandle();
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    return Check(
        setsockopt(Native(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l));
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

// Two events: an auto-reset one for Signal (a wait that sees it resets it)
// and a manual-reset one for the socket's readiness.
TWakeEvent::TWakeEvent()
    : handle_(reinterpret_cast<std::intptr_t>(CreateEventW(nullptr, FALSE, FALSE, nullptr))),
      socketEvent_(reinterpret_cast<std::intptr_t>(CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

TWakeEvent::~TWakeEvent() {
  if (handle_ != 0) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  if (socketEvent_ != 0) CloseHandle(reinterpret_cast<HANDLE>(socketEvent_));
}

bool TWakeEvent::Valid() const noexcept { return handle_ != 0 && socketEvent_ != 0; }

void TWakeEvent::Signal() noexcept {
  if (handle_ != 0) SetEvent(reinterpret_cast<HANDLE>(handle_));
}

TSocketApi& SystemSockets() {
  static TWinSockets sockets;
  return sockets;
}

}  // namespace kv::platform
