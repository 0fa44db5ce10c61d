// The heap the client needs per channel with three text attributes: once
// with only the channel model (no server yet), once connected with every
// channel registered and holding a value. The server runs in a child
// process, forked before this process starts any thread, so the heap
// measured here is the client's alone.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "BenchServer.h"
#include "Scenarios.h"
#include "Stats.h"

namespace kv::bench {
namespace {

constexpr unsigned short kFloat8 = 5;
constexpr int kWaitMs = 300000;

// Whether every channel CH0..CH<count-1> was registered once and holds the
// host's value, index + 1, having received at most one value before it (the
// empty one a login sends for a channel declared earlier). Runs in the
// server's process.
bool AllDelivered(TBenchServer& server, std::size_t count) {
  bool right = false;
  server.Sim().WaitFor(
      [&](const sim::TServerView& v) {
        std::size_t good = 0;
        for (const sim::TSimChannel& channel : v.state.Channels()) {
          const long index = ChannelIndex(channel.addr);
          good += index >= 0 && static_cast<std::size_t>(index) < count &&
                  channel.registrations == 1 && channel.values >= 1 && channel.values <= 2 &&
                  channel.value == Variant(static_cast<double>(index) + 1);
        }
        right = good == count && v.state.Channels().size() == count;
        return true;
      },
      TDuration{0});
  return right;
}

// The server side: one command a line on `in`, one answer a line on `out`.
//   start PORT        -> 1 when it listens
//   wait REGS VALUES  -> 1 when the counts were reached in time
//   check COUNT       -> 1 when every channel holds what the host sent
[[noreturn]] void ServeCommands(int in, int out) {
  FILE* commands = fdopen(in, "r");
  std::unique_ptr<TBenchServer> server;
  char line[128];
  while (commands != nullptr && std::fgets(line, sizeof line, commands) != nullptr) {
    unsigned port = 0;
    unsigned long long a = 0;
    unsigned long long b = 0;
    bool ok = false;
    if (std::sscanf(line, "start %u", &port) == 1) {
      TBenchServer::TConfig config;
      config.port = static_cast<std::uint16_t>(port);
      server = std::make_unique<TBenchServer>(config);
      std::string error;
      ok = server->Start(error);
    } else if (std::sscanf(line, "wait %llu %llu", &a, &b) == 2) {
      ok = server != nullptr && server->WaitTotals(a, b, TDuration(kWaitMs));
    } else if (std::sscanf(line, "check %llu", &a) == 1) {
      ok = server != nullptr && AllDelivered(*server, a);
    }
    const char* answer = ok ? "1\n" : "0\n";
    if (write(out, answer, 2) != 2) break;
  }
  server.reset();
  _exit(0);
}

class TServerProcess {
 public:
  // Call before this process starts a thread.
  bool Fork() {
    int down[2];
    int up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      close(down[1]);
      close(up[0]);
      ServeCommands(down[0], up[1]);
    }
    close(down[0]);
    close(up[1]);
    out_ = down[1];
    in_ = up[0];
    return true;
  }
  ~TServerProcess() {
    if (out_ >= 0) close(out_);
    if (in_ >= 0) close(in_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  bool Ask(const std::string& command) {
    const std::string line = command + "\n";
    if (write(out_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
    char answer[2] = {};
    return read(in_, answer, 2) == 2 && answer[0] == '1';
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
};

}  // namespace

int RunMemory(const TScenarioContext& context) {
  TServerProcess server;
  if (!server.Fork()) return Fail("cannot start the server's process");
  const std::uint16_t port = FreeLoopbackPort();
  if (port == 0) return Fail("no free loopback port");
  const std::size_t count = context.sizes.channels;
  std::vector<std::string> addresses;
  addresses.reserve(count);
  for (std::size_t i = 0; i < count; ++i) addresses.push_back(ChannelAddress(i));
  const THostApi& api = context.api;

  // Nobody listens yet: the client keeps trying once a second.
  if (api.create("127.0.0.1", port, 60, "bench", "", 0, 0, "") == 0)
    return Fail("c_CreateOpros failed");
  std::this_thread::sleep_for(200ms);
  const double base = HeapBytes();
  for (std::size_t i = 0; i < count; ++i) {
    char comments[32];
    char unit[32];
    char description[32];
    std::snprintf(comments, sizeof comments, "comment %012zu", i);
    std::snprintf(unit, sizeof unit, "unit %015zu", i);
    std::snprintf(description, sizeof description, "description %08zu", i);
    if (api.channel(addresses[i].c_str(), kFloat8, 0, 0, comments, "", unit, "", description, 0,
                    "") == 0)
      return Fail("c_RegisterChannel refused " + addresses[i]);
  }
  const double model = (HeapBytes() - base) / static_cast<double>(count);

  if (!server.Ask("start " + std::to_string(port))) return Fail("the server cannot listen");
  if (!server.Ask("wait " + std::to_string(count) + " 0"))
    return Fail("the channels were not registered in time");
  const FILETIME stamp = FileTimeOf(kStampTicks);
  for (std::size_t i = 0; i < count; ++i)
    if (api.value(addresses[i].c_str(), &stamp, 0, DoubleValue(static_cast<double>(i) + 1)) == 0)
      return Fail("c_RegisterValueByID refused a first value");
  if (!server.Ask("wait " + std::to_string(count) + " " + std::to_string(count)))
    return Fail("the values did not reach the server in time");
  std::this_thread::sleep_for(300ms);  // the last activations reach the client
  const double connected = (HeapBytes() - base) / static_cast<double>(count);
  const bool delivered = server.Ask("check " + std::to_string(count));
  api.destroy();

  std::printf("memory: %zu channels with comments, unit and description of 20 bytes each\n", count);
  Report("memory_model_bytes", model);
  Report("memory_connected_bytes", connected);
  if (!delivered) {
    std::fprintf(stderr,
                 "\n*** LOST: memory: the server does not hold one registration and the host's "
                 "value for every channel\n\n");
    return kExitLost;
  }
  return 0;
}

}  // namespace kv::bench
