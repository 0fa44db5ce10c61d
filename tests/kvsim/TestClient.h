#pragma once
// The client side of the server tests: a plain TTCPClient on loopback with
// reads bounded in time, and literal byte strings.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>

#include "protocol/TcpClient.h"

namespace kvsim_test {

using kv::TTCPClient;

inline constexpr std::chrono::milliseconds kUpperBound{10000};
inline constexpr int kUpperBoundMs = 10000;

inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

// The login request 42 of login CFG, password pwd.
inline std::string LoginRequest() {
  std::string request(72, '\0');
  request[0] = 42;
  request[1] = 2;
  request.replace(2, 3, "CFG");
  request.replace(42, 3, "pwd");
  request[62] = 1;
  request[63] = 1;
  request[64] = 4;
  return request;
}

// Registration 51 of channel A1, Float8, address as text, no attributes.
inline const std::string kRegisterA1 =
    Bytes({0x33, 0x0D, 0x00, 0x82, 0x00, 0x02, 0x00, 'A', '1', 0x05, 0x00, 0, 0});
// The channel change that answers it: A1 is number 1 and active.
inline const std::string kActivateA1 =
    Bytes({0x3C, 0x0E, 0x00, 0x05, 0x02, 0x00, 'A', '1', 0x01, 0, 0, 0, 0x00, 0x00});
// Value 55 of number 1: time 2.5, quality 0, Float8 12.5.
inline const std::string kValueOf1 =
    Bytes({0x37, 0x1B, 0x00, 0x05, 0x01, 0, 0, 0, 0, 0, 0, 0,    0,   0,
           0x04, 0x40, 0x00, 0x05, 0x00, 0, 0, 0, 0, 0, 0, 0x29, 0x40});

// A fresh path in the temporary directory, unique to this run: suites of
// several builds may run at once.
inline std::filesystem::path TempPath(const std::string& name) {
  static const auto run = std::chrono::steady_clock::now().time_since_epoch().count();
  return std::filesystem::temp_directory_path() / ("kvsim-" + std::to_string(run) + "-" + name);
}

// The client side: a TTCPClient with reads bounded in time.
class TestClient {
 public:
  bool Connect(std::uint16_t port) {
    if (!tcp_.Connect("127.0.0.1", port)) return false;
    for (int i = 0; i < kUpperBoundMs / 10; ++i)
      if (tcp_.WaitConnected(10)) return true;
    return false;
  }
  bool Send(const std::string& bytes) {
    return tcp_.Write(bytes.data(), static_cast<int>(bytes.size()));
  }
  // Exactly n bytes, or fewer when the connection ends or the bound passes.
  std::string Read(std::size_t n) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + kUpperBound;
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
      if (!tcp_.Poll(true, false, false, 50)) continue;
      const int available = tcp_.Available();
      if (available <= 0) break;  // closed
      std::string chunk(std::min<std::size_t>(static_cast<std::size_t>(available), n - got.size()),
                        '\0');
      if (!tcp_.Read(chunk.data(), static_cast<int>(chunk.size()))) break;
      got += chunk;
    }
    return got;
  }
  // Waits for the end of the connection; the error of the final read (0 for
  // an orderly close, 10054 for a reset), or -1 when it did not end.
  int WaitEnd() {
    const auto deadline = std::chrono::steady_clock::now() + kUpperBound;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!tcp_.Poll(true, false, false, 50)) continue;
      char byte;
      // Read at once: asking for the byte count first can clear a pending
      // reset on some socket layers.
      if (tcp_.Read(&byte, 1)) continue;
      return tcp_.LastError();
    }
    return -1;
  }
  TTCPClient& Tcp() { return tcp_; }

 private:
  TTCPClient tcp_{false};
};

}  // namespace kvsim_test
