#include "protocol/TcpClient.h"

#include <climits>
#include <cstring>
#include <string_view>

#include "platform/Clock.h"
#include "runtime/Codepage.h"

namespace kv {
namespace {

namespace wsa = platform::wsa;

constexpr std::string_view kAnyAddress = "0.0.0.0";
constexpr std::string_view kErrorCodePrefix = "Код ошибки: "_cp;

struct ErrorTextEntry {
  int code;
  std::string_view text;
};

constexpr ErrorTextEntry kErrorTexts[] = {
    {wsa::kWouldBlock, "Неблокирующая операция выполняется"_cp},
    {wsa::kNotSocket, "Неверный идентификатор сокета"_cp},
    {wsa::kAddressInUse, "Адрес или порт уже используется в системе"_cp},
    {wsa::kNetworkDown, "Сеть умерла"_cp},
    {wsa::kNetworkUnreachable, "Сеть недоступна"_cp},
    {wsa::kConnectionAborted, "Соединение закрыто из-за ошибки"_cp},
    {wsa::kConnectionReset, "Соединение закрыто удаленной стороной"_cp},
    {wsa::kNoBufferSpace, "Сетевой буфер переполнен"_cp},
    {wsa::kShutdown, "Обмен невозможен - соединение закрывается"_cp},
    {wsa::kTimedOut, "Таймаут подключения"_cp},
    {wsa::kConnectionRefused, "Удаленный узел отклонил соединение"_cp},
    {wsa::kHostDown, "Удаленный узел не существует"_cp},
    {wsa::kHostUnreachable, "Сеть недоступна"_cp},
    {wsa::kHostNotFound, "Имя узла не найдено"_cp},
    {wsa::kNoData, "Не удается получить IP адрес по имени узла"_cp},
};

std::string AddressText(const platform::Ipv4Address& a) {
  unsigned char octets[4];
  std::memcpy(octets, &a.address, 4);  // network order: first octet first
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(octets[i]);
  }
  return text + ':' + std::to_string(platform::NetToHost16(a.port));
}

// The byte counters wrap at 32 bits instead of overflowing a signed int:
// their readers take differences by unsigned subtraction, which stays right
// across the wrap.
int AddWrapping(int total, int count) {
  return static_cast<int>(static_cast<std::uint32_t>(total) + static_cast<std::uint32_t>(count));
}

}  // namespace

std::string SocketErrorText(int code) {
  if (code == 0) return {};
  for (const auto& entry : kErrorTexts)
    if (entry.code == code) return std::string(entry.text);
  return std::string(kErrorCodePrefix) + std::to_string(code);
}

TTCPClient::TTCPClient(bool raiseMode, platform::TSocketApi& api)
    : raiseMode_(raiseMode), api_(api) {
  platform::SocketResult r = api_.Startup();
  status_ = r.value;
  if (r.value != 0) {
    lastError_ = r.error;
    Fail();
    return;
  }
  started_ = true;
}

TTCPClient::~TTCPClient() {
  Close();
  // Only a successful start-up is balanced: an extra cleanup would end the
  // socket library for the host's own sockets.
  if (started_) api_.Cleanup();
}

bool TTCPClient::Fail() {
  if (raiseMode_) throw 0;
  return false;
}

bool TTCPClient::Resolve(const std::string& name, std::uint32_t& address) {
  status_ = kStatusOk;
  lastError_ = 0;
  if (name.empty()) {
    status_ = kStatusNoSocket;
    return Fail();
  }
  std::uint32_t parsed = api_.ParseAddress(name);
  if (parsed != platform::kNoAddress) {
    address = parsed;
    return true;
  }
  platform::SocketResult r = api_.ResolveName(name, address);
  if (!r.Failed()) return true;
  status_ = kStatusNoSocket;
  lastError_ = r.error;
  return Fail();
}

bool TTCPClient::ResolveAll(const std::string& name, std::vector<std::uint32_t>& addresses) {
  status_ = kStatusOk;
  lastError_ = 0;
  if (name.empty()) {
    status_ = kStatusNoSocket;
    return Fail();
  }
  std::uint32_t parsed = api_.ParseAddress(name);
  if (parsed != platform::kNoAddress) {
    addresses.assign(1, parsed);
    return true;
  }
  platform::SocketResult r = api_.ResolveAll(name, addresses);
  if (!r.Failed() && !addresses.empty()) return true;
  status_ = kStatusNoSocket;
  lastError_ = r.Failed() ? r.error : platform::wsa::kNoData;
  return Fail();
}

bool TTCPClient::ConnectFrom(const std::string& localName, std::uint16_t localPort,
                             const std::string& remoteName, std::uint16_t remotePort) {
  std::uint32_t local = 0;
  std::uint32_t remote = 0;
  if (!Resolve(localName, local) || !Resolve(remoteName, remote)) return false;
  return Open(local, localPort, remote, remotePort);
}

bool TTCPClient::ConnectTo(std::uint32_t remoteAddress, std::uint16_t remotePort) {
  std::uint32_t local = 0;
  if (!Resolve(std::string(kAnyAddress), local)) return false;
  return Open(local, 0, remoteAddress, remotePort);
}

bool TTCPClient::Open(std::uint32_t local, std::uint16_t localPort, std::uint32_t remote,
                      std::uint16_t remotePort) {
  if (socket_ != platform::SocketHandle::None) Close();
  bytesReceived_ = 0;
  bytesSent_ = 0;

  platform::SocketResult r = api_.OpenTcp(socket_);
  if (r.Failed()) {
    socket_ = platform::SocketHandle::None;
    status_ = kStatusNoSocket;
    lastError_ = r.error;
    return Fail();
  }
  localAddress_ = platform::Ipv4Address{};
  localAddress_.port = platform::HostToNet16(localPort);
  localAddress_.address = local;
  r = api_.Bind(socket_, localAddress_);
  status_ = r.value;
  if (r.Failed()) {
    lastError_ = r.error;
    return Fail();
  }
  remoteAddress_ = platform::Ipv4Address{};
  remoteAddress_.port = platform::HostToNet16(remotePort);
  remoteAddress_.address = remote;
  if (!SetBlocking(false)) return false;

  r = api_.Connect(socket_, remoteAddress_);
  // "Would block" is the normal start of the attempt. A connect that
  // completes at once (possible outside WinSock) is just as good: the next
  // WaitConnected finds the socket writable and connected.
  if (!r.Failed() || r.error == wsa::kWouldBlock) {
    status_ = kStatusOk;
    lastError_ = 0;
    return true;
  }
  status_ = kStatusNoSocket;
  lastError_ = r.error;
  return Fail();
}

bool TTCPClient::Connect(const std::string& remoteName, std::uint16_t remotePort) {
  return ConnectFrom(std::string(kAnyAddress), 0, remoteName, remotePort);
}

bool TTCPClient::WaitConnected(int timeoutMs) {
  status_ = kStatusOk;
  lastError_ = 0;
  if (connected_) return true;
  if (connectFailure_ != 0) {
    lastError_ = connectFailure_;
    return false;
  }
  // WinSock signals a failed attempt in the exception set, not as
  // writable; asking for both lets every system report the failure.
  if (!Poll(false, true, true, timeoutMs)) {
    lastError_ = wsa::kTimedOut;
    return false;
  }
  // Some systems also signal writability for an attempt that failed; only
  // an established peer counts. A failure is kept, since the system reports
  // its reason only once.
  platform::SocketResult outcome = api_.ConnectionOutcome(socket_);
  if (outcome.Failed()) {
    connectFailure_ = outcome.error != 0 ? outcome.error : wsa::kNotConnected;
    lastError_ = connectFailure_;
    return false;
  }
  platform::SocketResult r = api_.LocalName(socket_, localAddress_);
  status_ = r.value;
  if (r.Failed()) {
    lastError_ = r.error;
    return Fail();
  }
  connected_ = true;
  return true;
}

bool TTCPClient::SetBlocking(bool blocking) {
  status_ = kStatusOk;
  lastError_ = 0;
  if (socket_ == platform::SocketHandle::None) {
    lastError_ = wsa::kNotSocket;
    status_ = kStatusNoSocket;
    return Fail();
  }
  platform::SocketResult r = api_.SetNonBlocking(socket_, !blocking);
  status_ = r.value;
  if (r.Failed()) {
    lastError_ = r.error;
    return Fail();
  }
  return true;
}

bool TTCPClient::NoSocket() {
  if (socket_ != platform::SocketHandle::None) return false;
  status_ = kStatusNoSocket;
  return true;
}

bool TTCPClient::Account(platform::SocketResult r, int asked, int& total) {
  lastCount_ = r.value;
  if (r.Failed()) {
    status_ = kStatusSocketError;
    lastError_ = r.error;
  } else {
    if (r.value < asked) status_ = kStatusShort;
    total = AddWrapping(total, r.value);
  }
  return status_ == kStatusOk ? true : Fail();
}

bool TTCPClient::Write(const void* data, int len) {
  status_ = kStatusOk;
  lastError_ = 0;
  if (NoSocket()) return Fail();
  return Account(api_.Send(socket_, data, len), len, bytesSent_);
}

bool TTCPClient::Read(void* buffer, int size) {
  status_ = kStatusOk;
  lastError_ = 0;
  if (NoSocket()) return Fail();
  return Account(api_.Receive(socket_, buffer, size), size, bytesReceived_);
}

int TTCPClient::Available() {
  if (socket_ == platform::SocketHandle::None) {
    status_ = kStatusNoSocket;
    lastError_ = 0;
    Fail();
    return 0;
  }
  std::uint32_t count = 0;
  platform::SocketResult r = api_.BytesAvailable(socket_, count);
  status_ = r.value;
  lastError_ = r.Failed() ? r.error : 0;
  if (status_ != kStatusOk) {
    Fail();
    return 0;
  }
  return count > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

bool TTCPClient::Poll(bool read, bool write, bool except, int timeoutMs) {
  platform::PollFor what{};
  if (read) what = what | platform::PollFor::Read;
  if (write) what = what | platform::PollFor::Write;
  if (except) what = what | platform::PollFor::Except;
  platform::SocketResult r = api_.Wait(socket_, what, timeoutMs);
  lastError_ = r.Failed() ? r.error : 0;
  return r.value > 0;
}

bool TTCPClient::WaitOrWake(platform::PollFor what, platform::TWakeEvent& wake, int timeoutMs) {
  const bool watch = what != platform::PollFor{} && socket_ != platform::SocketHandle::None;
  platform::SocketResult r =
      api_.WaitOrWake(watch ? socket_ : platform::SocketHandle::None, what, wake, timeoutMs);
  lastError_ = r.Failed() ? r.error : 0;
  // A wait that fails at once must not turn the caller's loop into a spin.
  if (r.Failed()) platform::SystemSleep(timeoutMs > 0 ? 1 : 0);
  return r.Failed() || r.value != 0;
}

bool TTCPClient::Close() {
  lastError_ = 0;
  if (socket_ == platform::SocketHandle::None) return true;
  api_.ShutdownSends(socket_);  // fails harmlessly on a socket that never connected
  platform::SocketResult r = api_.Close(socket_);
  if (r.Failed()) lastError_ = r.error;
  socket_ = platform::SocketHandle::None;
  connected_ = false;
  connectFailure_ = 0;
  status_ = kStatusOk;
  return true;
}

std::string TTCPClient::LocalAddressText() const { return AddressText(localAddress_); }
std::string TTCPClient::RemoteAddressText() const { return AddressText(remoteAddress_); }
std::string TTCPClient::ErrorText() const { return SocketErrorText(lastError_); }

}  // namespace kv
