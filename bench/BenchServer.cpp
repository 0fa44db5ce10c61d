#include "BenchServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kvsim/SimRecords.h"
#include "protocol/CommandCatalogue.h"
#include "protocol/PacketBuffer.h"
#include "runtime/LittleEndian.h"

namespace kv::bench {
namespace {

bool SendAll(int socket, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

TBenchServer::TBenchServer() {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 4) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("bench server");
    std::exit(1);
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

TBenchServer::~TBenchServer() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

void TBenchServer::Run() {
  while (!stop_) {
    pollfd wait{listener_, POLLIN, 0};
    if (poll(&wait, 1, 50) <= 0) continue;
    int client = accept(listener_, nullptr, nullptr);
    if (client < 0) continue;
    Serve(client);
    close(client);
  }
}

void TBenchServer::Serve(int client) {
  std::string in, out;
  char chunk[65536];
  dropRequested_ = false;
  while (!stop_ && !dropRequested_) {
    if (!reading_) {
      usleep(1000);
      continue;
    }
    pollfd wait{client, POLLIN, 0};
    if (poll(&wait, 1, 20) <= 0) continue;
    ssize_t n = recv(client, chunk, sizeof chunk, 0);
    if (n <= 0) return;
    in.append(chunk, static_cast<std::size_t>(n));
    out.clear();
    if (!Dispatch(in, out)) return;
    if (!out.empty() && !SendAll(client, out)) return;
  }
}

bool TBenchServer::Dispatch(std::string& in, std::string& out) {
  std::size_t at = 0;
  for (;;) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(in.data() + at);
    const TFrame frame = ClassifyFrame(data, static_cast<std::int32_t>(in.size() - at));
    if (frame.state == TFrameState::Empty || frame.state == TFrameState::Incomplete) break;
    if (frame.state != TFrameState::Complete) return false;
    const std::string message = in.substr(at, static_cast<std::size_t>(frame.size));
    at += static_cast<std::size_t>(frame.size);
    if (frame.id == kStructLoginRequest) {
      ++logins_;
      TLoginReply fields = sim::GrantedLoginReply();
      fields.clientId = 65537;
      out += sim::BuildLoginReply(fields);
    } else if (frame.id == kStructStatusRequest) {
      out += sim::BuildStatusReply(kStructStatusRequest);
    } else if (frame.id == kCmdChannelRegister) {
      Register(message, out);
    } else if (frame.id == kCmdChannelValue) {
      ++values_;
    }
  }
  in.erase(0, at);
  return true;
}

// A registration by address: id, length, flags, then the address's length
// word and bytes.
void TBenchServer::Register(const std::string& message, std::string& out) {
  if (message.size() < 7) return;
  const auto length =
      LoadLE<std::uint16_t>(reinterpret_cast<const std::uint8_t*>(message.data()) + 5);
  if (message.size() < 7u + length) return;
  std::string addr = message.substr(7, length);
  auto [entry, isNew] = numbers_.try_emplace(addr, static_cast<std::uint32_t>(numbers_.size() + 1));
  if (isNew) ++activated_;
  sim::TChannelChange change;
  change.addr = std::move(addr);
  change.number = entry->second;
  change.active = true;
  TKavrelCmdParser buffer;
  sim::AppendChannelChange(buffer, change);
  out += sim::PendingBytes(buffer);
}

}  // namespace kv::bench
