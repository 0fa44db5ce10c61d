#pragma once
// TTCPClient: one IPv4 TCP client connection. It resolves the server's
// name, starts a non-blocking connection attempt, completes it by short
// polls and moves raw bytes. The socket stays non-blocking once connected,
// so no send or receive ever waits for the peer: a send takes what fits
// (status 3) or nothing ("would block", 10035), and the caller waits for
// writability with Poll, in steps it chooses.
// The outcome of the last operation stays in Status() and LastError() (WinSock
// numbers on every system), and ErrorText() turns the error into the Russian
// text the log shows. It knows nothing of the protocol.
//
// Status(): 0 success; 1 no socket, name not resolved, socket not created or
// connection attempt not started; 2 socket error in Write or Read; 3 fewer
// bytes moved than asked; any other value is the raw failing result of the
// system call that set it (start-up, bind, mode switch, local name query,
// byte count query).
//
// With raise mode on, every failure also raises the bare integer exception
// (`throw 0;`) after status and last error are recorded; the client builds
// it with raise mode off and reads results and codes.
//
// Used by one thread only; no lock. The object owns its socket and closes it
// on destruction; the socket interface is borrowed and must outlive it.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Socket.h"

namespace kv {

class TTCPClient {
 public:
  static constexpr int kStatusOk = 0;
  static constexpr int kStatusNoSocket = 1;
  static constexpr int kStatusSocketError = 2;
  static constexpr int kStatusShort = 3;

  // Starts the socket library (WinSock 2.2); Status() holds the start-up
  // result. `api` is for tests that inject faults.
  explicit TTCPClient(bool raiseMode, platform::TSocketApi& api = platform::SystemSockets());
  ~TTCPClient();
  TTCPClient(const TTCPClient&) = delete;
  TTCPClient& operator=(const TTCPClient&) = delete;

  // Dotted text or host name to an IPv4 address in network order. A text
  // that parses as an address never reaches the name service.
  bool Resolve(const std::string& name, std::uint32_t& address);
  // The same for every address of a name, in the name service's order;
  // a dotted text gives itself alone.
  bool ResolveAll(const std::string& name, std::vector<std::uint32_t>& addresses);
  // Creates and binds a socket and starts connecting it; true when the
  // attempt is under way. Counters restart at 0.
  bool ConnectFrom(const std::string& localName, std::uint16_t localPort,
                   const std::string& remoteName, std::uint16_t remotePort);
  bool Connect(const std::string& remoteName, std::uint16_t remotePort);
  // Connect to an address already resolved (network order).
  bool ConnectTo(std::uint32_t remoteAddress, std::uint16_t remotePort);
  // Completes a started attempt: true once the connection is established.
  // False with LastError() 10060 while it is still pending; a failed attempt
  // is never reported as connected, and keeps answering false with its
  // error (e.g. 10061) until the next ConnectFrom or Close.
  bool WaitConnected(int timeoutMs);
  bool SetBlocking(bool blocking);
  // One send or receive call; moving fewer bytes than asked is a failure
  // (status 3) and the remainder is the caller's business.
  bool Write(const void* data, int len);
  bool Read(void* buffer, int size);
  // Bytes waiting to be received; 0 on failure. A readable socket with
  // nothing waiting means the peer has closed.
  int Available();
  // Waits up to timeoutMs for readiness in one of the asked directions.
  // Status is not touched; LastError() is 0 on timeout.
  bool Poll(bool read, bool write, bool except, int timeoutMs);
  // Waits up to timeoutMs for readiness in the asked directions (none, or
  // no socket: only `wake` and the time count) or for `wake` to be
  // signalled. True when either happened; LastError() as for Poll.
  bool WaitOrWake(platform::PollFor what, platform::TWakeEvent& wake, int timeoutMs);
  // Shuts sends down and closes; always true. A failing close only leaves
  // its code in LastError().
  bool Close();

  // "a.b.c.d:port" of either end.
  std::string LocalAddressText() const;
  std::string RemoteAddressText() const;
  // Russian text of LastError(); empty when it is 0.
  std::string ErrorText() const;
  void SetError(int code) { lastError_ = code; }

  platform::SocketHandle Socket() const { return socket_; }
  bool Connected() const { return connected_; }
  int Status() const { return status_; }
  bool RaiseMode() const { return raiseMode_; }
  const platform::Ipv4Address& LocalAddress() const { return localAddress_; }
  const platform::Ipv4Address& RemoteAddress() const { return remoteAddress_; }
  int LastCount() const { return lastCount_; }
  int LastError() const { return lastError_; }
  int BytesReceived() const { return bytesReceived_; }
  int BytesSent() const { return bytesSent_; }

 private:
  bool Fail();  // raises in raise mode, else false
  // ConnectFrom's work once both names are resolved.
  bool Open(std::uint32_t local, std::uint16_t localPort, std::uint32_t remote,
            std::uint16_t remotePort);
  bool NoSocket();  // records status 1 when there is no socket
  // Records the outcome of one send or receive of `asked` bytes.
  bool Account(platform::SocketResult r, int asked, int& total);

  platform::SocketHandle socket_ = platform::SocketHandle::None;
  bool connected_ = false;
  int status_ = 0;
  bool raiseMode_;
  platform::Ipv4Address localAddress_;
  platform::Ipv4Address remoteAddress_;
  int lastCount_ = 0;
  int lastError_ = 0;
  int bytesReceived_ = 0;
  int bytesSent_ = 0;

  platform::TSocketApi& api_;
  bool started_ = false;    // the socket library was started and must be ended once
  int connectFailure_ = 0;  // error of a started attempt that failed; 0 otherwise
};

// The text ErrorText() shows for a WinSock error number.
std::string SocketErrorText(int code);

}  // namespace kv
