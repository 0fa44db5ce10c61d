#pragma once
// IPv4 TCP client sockets behind one small interface, WinSock on Windows and
// BSD sockets elsewhere. Every failure is reported as a WinSock error number
// on both systems (10035 would block, 10054 reset by peer, 10061 refused ...),
// because the transport above compares and logs those numbers.
//
// The calls are virtual so that tests can put a wrapper in front of the
// system (TSocketApiWrapper) and inject faults or count calls. The system
// implementation is stateless and may be used from any thread; one socket
// must be used by one thread at a time.
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

namespace kv::platform {

// A socket as the interface hands it out. `None` (0) means "no socket", the
// same convention as the transport's own field. On POSIX the value is the
// descriptor plus one, so that descriptor 0 stays representable; on Windows
// it is the SOCKET itself, which is never 0.
enum class SocketHandle : std::uintptr_t { None = 0 };

// Lets other threads end a wait of WaitOrWake at once: the worker thread
// sleeps on its socket and this event, and the host's new work or a stop
// request wakes it. Signals do not add up: any number of them before a wait
// end that one wait, which consumes them.
//
// Threads: Signal from any thread at any time (it never blocks and is cheap
// enough to call under a lock); the waits from one thread at a time.
class TWakeEvent {
 public:
  TWakeEvent();
  ~TWakeEvent();
  TWakeEvent(const TWakeEvent&) = delete;
  TWakeEvent& operator=(const TWakeEvent&) = delete;

  void Signal() noexcept;
  // False when the system gave no event; WaitOrWake then waits at most a
  // millisecond at a time, so a signal is still noticed soon.
  bool Valid() const noexcept;

  // For the system's WaitOrWake: the signalled object (POSIX: an eventfd;
  // Windows: an auto-reset event) and, on Windows, the event the socket's
  // readiness is bound to.
  std::intptr_t Handle() const noexcept { return handle_; }
  std::intptr_t SocketEvent() const noexcept { return socketEvent_; }

 private:
  std::intptr_t handle_ = -1;
  std::intptr_t socketEvent_ = -1;
};

// WinSock error numbers the library names. Native errors are translated to
// these; an error without a WinSock counterpart keeps its native number.
namespace wsa {
inline constexpr int kInterrupted = 10004;
inline constexpr int kBadAddress = 10014;
inline constexpr int kInvalidArgument = 10022;
inline constexpr int kWouldBlock = 10035;
inline constexpr int kInProgress = 10036;
inline constexpr int kAlreadyInProgress = 10037;
inline constexpr int kNotSocket = 10038;
inline constexpr int kMessageSize = 10040;
inline constexpr int kAddressFamily = 10047;
inline constexpr int kAddressInUse = 10048;
inline constexpr int kAddressNotAvailable = 10049;
inline constexpr int kNetworkDown = 10050;
inline constexpr int kNetworkUnreachable = 10051;
inline constexpr int kNetworkReset = 10052;
inline constexpr int kConnectionAborted = 10053;
inline constexpr int kConnectionReset = 10054;
inline constexpr int kNoBufferSpace = 10055;
inline constexpr int kAlreadyConnected = 10056;
inline constexpr int kNotConnected = 10057;
inline constexpr int kShutdown = 10058;
inline constexpr int kTimedOut = 10060;
inline constexpr int kConnectionRefused = 10061;
inline constexpr int kHostDown = 10064;
inline constexpr int kHostUnreachable = 10065;
inline constexpr int kTooManySockets = 10024;
inline constexpr int kHostNotFound = 11001;
inline constexpr int kTryAgain = 11002;
inline constexpr int kNoRecovery = 11003;
inline constexpr int kNoData = 11004;
}  // namespace wsa

// The 16-byte IPv4 socket address of the wire ABI: family, port and address
// in network byte order, eight zero bytes.
struct Ipv4Address {
  std::uint16_t family = 2;   // AF_INET
  std::uint16_t port = 0;     // network order
  std::uint32_t address = 0;  // network order: first octet in the lowest byte in memory
  std::uint8_t zero[8]{};
};
static_assert(sizeof(Ipv4Address) == 16);

inline constexpr std::uint32_t kNoAddress =
    0xFFFFFFFFu;  // what inet_addr returns for "not an address"

constexpr std::uint16_t HostToNet16(std::uint16_t v) noexcept {
  if constexpr (std::endian::native == std::endian::little)
    return static_cast<std::uint16_t>((v >> 8) | (v << 8));
  else
    return v;
}
constexpr std::uint16_t NetToHost16(std::uint16_t v) noexcept { return HostToNet16(v); }

// The address in network order from its four octets, a.b.c.d.
constexpr std::uint32_t MakeIpv4(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                 std::uint8_t d) noexcept {
  std::uint32_t hostOrder =
      (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d;
  if constexpr (std::endian::native == std::endian::little)
    return ((hostOrder & 0xFFu) << 24) | ((hostOrder & 0xFF00u) << 8) |
           ((hostOrder >> 8) & 0xFF00u) | (hostOrder >> 24);
  else
    return hostOrder;
}

// Outcome of one system call: `value` is what the WinSock call would return
// (-1 = SOCKET_ERROR, otherwise 0 or a byte count) and `error` the WinSock
// error number of a failure, taken at once so that nothing can overwrite it.
struct SocketResult {
  int value = 0;
  int error = 0;
  bool Failed() const noexcept { return value == -1; }
};

enum class PollFor : unsigned { Read = 1, Write = 2, Except = 4 };
constexpr PollFor operator|(PollFor a, PollFor b) noexcept {
  return static_cast<PollFor>(static_cast<unsigned>(a) | static_cast<unsigned>(b));
}
constexpr bool Has(PollFor set, PollFor one) noexcept {
  return (static_cast<unsigned>(set) & static_cast<unsigned>(one)) != 0;
}

// Bits of the value of TSocketApi::WaitOrWake.
inline constexpr int kWaitReady = 1;
inline constexpr int kWaitWoken = 2;

class TSocketApi {
 public:
  virtual ~TSocketApi() = default;

  // WSAStartup(2.2) / WSACleanup; nothing to do on POSIX. Calls nest.
  // `value` is the start-up result (0 = success), `error` the same code.
  virtual SocketResult Startup() = 0;
  virtual void Cleanup() = 0;

  // inet_addr: dotted text to an address in network order, kNoAddress when
  // the text is not an address. Never consults the name service.
  virtual std::uint32_t ParseAddress(const std::string& text) = 0;
  // Name service look-up, first IPv4 address. On failure `error` is one of
  // 11001 (not found), 11002 (try again), 11003 (no recovery), 11004 (no
  // IPv4 address for the name).
  virtual SocketResult ResolveName(const std::string& name, std::uint32_t& address) = 0;
  // The same look-up giving every IPv4 address of the name, in the name
  // service's order and without repeats (a name with several servers
  // behind it). `addresses` is replaced; it is never empty on success.
  virtual SocketResult ResolveAll(const std::string& name,
                                  std::vector<std::uint32_t>& addresses) = 0;

  // A new IPv4 stream socket in blocking mode. POSIX sockets never raise
  // SIGPIPE (sends use MSG_NOSIGNAL) and are not inherited across exec.
  virtual SocketResult OpenTcp(SocketHandle& handle) = 0;
  virtual SocketResult Bind(SocketHandle s, const Ipv4Address& local) = 0;
  // connect(); a non-blocking socket answers -1 with 10035 while the attempt
  // goes on (POSIX EINPROGRESS is reported as 10035 too).
  virtual SocketResult Connect(SocketHandle s, const Ipv4Address& remote) = 0;
  // Whether a started connection is established: 0 when it is, -1 with the
  // reason (SO_ERROR, or 10057 when there is none to report) when it failed
  // or is not complete.
  virtual SocketResult ConnectionOutcome(SocketHandle s) = 0;
  virtual SocketResult SetNonBlocking(SocketHandle s, bool nonBlocking) = 0;
  // Waits up to timeoutMs (negative = 0) for the socket to become ready in
  // one of the asked directions; `value` is 1 when it did, 0 on timeout.
  virtual SocketResult Wait(SocketHandle s, PollFor what, int timeoutMs) = 0;
  // Waits up to timeoutMs (negative = 0) for the socket to become ready in
  // one of the asked directions or for `wake` to be signalled. With s None
  // only `wake` and the time count. `value`: 0 on timeout, else bit 1 the
  // socket is ready (an error or a closed connection counts as ready), bit 2
  // a signal came (and is consumed).
  virtual SocketResult WaitOrWake(SocketHandle s, PollFor what, TWakeEvent& wake,
                                  int timeoutMs) = 0;
  // One send()/recv(). A negative length or a null buffer with a positive
  // length fails with 10022 / 10014 without reaching the system.
  virtual SocketResult Send(SocketHandle s, const void* data, int len) = 0;
  virtual SocketResult Receive(SocketHandle s, void* buffer, int size) = 0;
  // FIONREAD: bytes that a receive would return now.
  virtual SocketResult BytesAvailable(SocketHandle s, std::uint32_t& count) = 0;
  virtual SocketResult LocalName(SocketHandle s, Ipv4Address& local) = 0;
  // shutdown(SD_SEND): no more sends.
  virtual SocketResult ShutdownSends(SocketHandle s) = 0;
  virtual SocketResult Close(SocketHandle s) = 0;

  // The server side, for the test server and tests: listen() and accept();
  // the accepted socket is blocking.
  virtual SocketResult Listen(SocketHandle s, int backlog) = 0;
  virtual SocketResult Accept(SocketHandle listener, SocketHandle& peer, Ipv4Address& from) = 0;
  // SO_LINGER on with time 0: the next Close resets the connection.
  virtual SocketResult SetAbortiveClose(SocketHandle s) = 0;
  // Lets a listener bind its port again while old connections of a previous
  // listener linger (POSIX SO_REUSEADDR). Nothing on Windows, where that
  // option would let another program take over the port.
  virtual SocketResult SetReuseAddress(SocketHandle s) = 0;
  // SO_SNDBUF / SO_RCVBUF; a size of 0 leaves that buffer alone.
  virtual SocketResult SetBufferSizes(SocketHandle s, int sendBytes, int receiveBytes) = 0;
};

// The operating system's sockets; a process-wide object that lives forever.
TSocketApi& SystemSockets();

// Forwards every call to another implementation; tests derive from it and
// override the calls they want to fail or observe.
class TSocketApiWrapper : public TSocketApi {
 public:
  explicit TSocketApiWrapper(TSocketApi& target) : target_(target) {}

  SocketResult Startup() override { return target_.Startup(); }
  void Cleanup() override { target_.Cleanup(); }
  std::uint32_t ParseAddress(const std::string& text) override {
    return target_.ParseAddress(text);
  }
  SocketResult ResolveName(const std::string& name, std::uint32_t& address) override {
    return target_.ResolveName(name, address);
  }
  SocketResult ResolveAll(const std::string& name, std::vector<std::uint32_t>& addresses) override {
    return target_.ResolveAll(name, addresses);
  }
  SocketResult OpenTcp(SocketHandle& handle) override { return target_.OpenTcp(handle); }
  SocketResult Bind(SocketHandle s, const Ipv4Address& local) override {
    return target_.Bind(s, local);
  }
  SocketResult Connect(SocketHandle s, const Ipv4Address& remote) override {
    return target_.Connect(s, remote);
  }
  SocketResult ConnectionOutcome(SocketHandle s) override { return target_.ConnectionOutcome(s); }
  SocketResult SetNonBlocking(SocketHandle s, bool nonBlocking) override {
    return target_.SetNonBlocking(s, nonBlocking);
  }
  SocketResult Wait(SocketHandle s, PollFor what, int timeoutMs) override {
    return target_.Wait(s, what, timeoutMs);
  }
  SocketResult WaitOrWake(SocketHandle s, PollFor what, TWakeEvent& wake, int timeoutMs) override {
    return target_.WaitOrWake(s, what, wake, timeoutMs);
  }
  SocketResult Send(SocketHandle s, const void* data, int len) override {
    return target_.Send(s, data, len);
  }
  SocketResult Receive(SocketHandle s, void* buffer, int size) override {
    return target_.Receive(s, buffer, size);
  }
  SocketResult BytesAvailable(SocketHandle s, std::uint32_t& count) override {
    return target_.BytesAvailable(s, count);
  }
  SocketResult LocalName(SocketHandle s, Ipv4Address& local) override {
    return target_.LocalName(s, local);
  }
  SocketResult ShutdownSends(SocketHandle s) override { return target_.ShutdownSends(s); }
  SocketResult Close(SocketHandle s) override { return target_.Close(s); }
  SocketResult Listen(SocketHandle s, int backlog) override { return target_.Listen(s, backlog); }
  SocketResult Accept(SocketHandle listener, SocketHandle& peer, Ipv4Address& from) override {
    return target_.Accept(listener, peer, from);
  }
  SocketResult SetAbortiveClose(SocketHandle s) override { return target_.SetAbortiveClose(s); }
  SocketResult SetReuseAddress(SocketHandle s) override { return target_.SetReuseAddress(s); }
  SocketResult SetBufferSizes(SocketHandle s, int sendBytes, int receiveBytes) override {
    return target_.SetBufferSizes(s, sendBytes, receiveBytes);
  }

 protected:
  TSocketApi& Target() { return target_; }

 private:
  TSocketApi& target_;
};

}  // namespace kv::platform
