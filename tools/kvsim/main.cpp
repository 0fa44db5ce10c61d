// kvsim: the Kavrel test server on the command line. Prints every message it
// receives (as UTF-8) and runs the commands typed on standard input; see
// Cli.h for both.
#include <condition_variable>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvsim/Cli.h"
#include "kvsim/Describe.h"
#include "kvsim/FaultDriver.h"
#include "kvsim/KavrelServer.h"
#include "kvsim/SessionRecorder.h"
#include "kvsim/SimCounters.h"
#include "protocol/Tcp.h"
#include "runtime/Utf8.h"

namespace {

using namespace kv::sim;
using kv::AnsiFromUtf8;
using kv::Utf8FromAnsi;

constexpr std::size_t kMaxRecords = 10000;
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// Lines from standard input. The reader thread is detached: a blocking read
// of the terminal cannot be interrupted portably, so the program may end
// while it waits; the queue it fills outlives main's frame.
struct TInput {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::string> lines;
  bool closed = false;
};

void ReadInput(std::shared_ptr<TInput> input) {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::lock_guard lock(input->mutex);
    input->lines.push_back(line);
    input->arrived.notify_one();
  }
  std::lock_guard lock(input->mutex);
  input->closed = true;
  input->arrived.notify_one();
}

std::mutex outputMutex;

void Print(const std::string& ansi) {
  if (ansi.empty()) return;
  std::lock_guard lock(outputMutex);
  std::cout << Utf8FromAnsi(ansi) << std::endl;
}

// Prints the fault mode's doings.
class TFaultPrinter : public IFaultListener {
 public:
  explicit TFaultPrinter(TSimCounters& counters) : counters_(counters) {}
  void FaultBegun(const TFaultEvent& event) override {
    counters_.FaultInjected();
    Print("fault " + std::string(FaultName(event.step.kind)) + " (variant " +
          std::to_string(event.step.variant) + ", amount " + std::to_string(event.step.amount) +
          ") on connection " + std::to_string(event.session));
  }
  void FaultEnded(const TFaultEvent& event) override {
    Print(std::string(event.failed ? "fault FAILED: " : "fault done: ") +
          FaultName(event.step.kind) + ": " + event.outcome);
  }
  void ControlsComing(const TControlBatch&) override {}
  void ControlsSent(std::uint64_t, std::uint32_t) override {}

 private:
  TSimCounters& counters_;
};

// Runs commands until quit, the end of input, or with --once the end of the
// first connection.
void Serve(TKavrelServer& server, bool once) {
  auto input = std::make_shared<TInput>();
  std::thread(ReadInput, input).detach();
  for (;;) {
    std::deque<std::string> lines;
    bool closed;
    {
      std::unique_lock lock(input->mutex);
      input->arrived.wait_for(lock, kPollInterval,
                              [&] { return input->closed || !input->lines.empty(); });
      lines.swap(input->lines);
      closed = input->closed;
    }
    for (const std::string& line : lines) {
      const TCommandOutcome outcome = RunCommand(server, AnsiFromUtf8(line));
      Print(outcome.text);
      if (outcome.quit) return;
    }
    if (closed) return;
    if (once &&
        server.WaitFor([](const TServerView& v) { return !v.connected && v.state.Sessions() > 0; },
                       std::chrono::milliseconds(0)))
      return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  TCliOptions options;
  options.server.maxRecords = kMaxRecords;
  std::string error;
  if (!ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    std::cerr << error << "\n" << UsageText() << std::endl;
    return 2;
  }
  if (options.help) {
    std::cout << UsageText() << std::endl;
    return 0;
  }
  std::unique_ptr<TSessionRecorder> recorder;
  if (!options.recordDir.empty()) recorder = std::make_unique<TSessionRecorder>(options.recordDir);
  TSimCounters counters;
  options.server.transcript = [&recorder, &counters](std::uint32_t session,
                                                     const std::string& bytes) {
    counters.Sent(session, bytes);
    if (recorder) recorder->Sent(session, bytes);
  };
  TKavrelServer server(options.server);
  server.SetObserver([&counters](const TReceivedRecord& record) {
    counters.Received(record);
    Print(DescribeRecord(record));
  });
  if (!server.Start()) {
    std::cerr << "kvsim: cannot listen on " << options.server.host << ":" << options.server.port
              << ": " << Utf8FromAnsi(kv::SocketErrorText(server.LastError())) << " ["
              << server.LastError() << "]" << std::endl;
    return 1;
  }
  Print("kvsim listening on " + options.server.host + ":" + std::to_string(server.Port()));
  TFaultPrinter printer(counters);
  std::unique_ptr<TFaultDriver> faults;
  if (options.faults) {
    Print("fault mode, seed " + std::to_string(options.fault.seed));
    faults = std::make_unique<TFaultDriver>(server, options.fault, &printer);
    faults->Start();
  }
  Serve(server, options.once);
  faults.reset();
  server.Stop();
  Print("kvsim: " + counters.Summary(options.faults));
  return 0;
}
