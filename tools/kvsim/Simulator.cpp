#include "kvsim/Simulator.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <istream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

#include "kvsim/Script.h"
#include "runtime/Utf8.h"

namespace kv::sim {
namespace {

constexpr std::size_t kMaxRecords = 10000;
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// Lines from standard input. The reader thread is detached: a blocking read
// of the terminal cannot be interrupted portably, so the program may end
// while it waits; the queue it fills outlives the simulator.
struct TInput {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<std::string> lines;
  bool closed = false;
};

void ReadInput(std::istream* stream, std::shared_ptr<TInput> input) {
  std::string line;
  while (std::getline(*stream, line)) {
    std::lock_guard lock(input->mutex);
    input->lines.push_back(line);
    input->arrived.notify_one();
  }
  std::lock_guard lock(input->mutex);
  input->closed = true;
  input->arrived.notify_one();
}

}  // namespace

TSimulator::TSimulator(TCliOptions options, std::ostream& out, std::ostream& err)
    : options_(std::move(options)), output_(options_.output, out, err) {}

TSimulator::~TSimulator() {
  faults_.reset();
  replay_.reset();
  if (hub_) hub_->Stop();
}

bool TSimulator::ReadFile(const std::string& name, const char* what, std::string& text) {
  std::ifstream file(name, std::ios::binary);
  if (!file) {
    output_.Error("cannot read the " + std::string(what) + " " + name);
    return false;
  }
  text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  return true;
}

int TSimulator::PrepareRecording() {
  std::error_code ignored;
  std::filesystem::create_directories(options_.recordDir, ignored);
  if (!std::filesystem::is_directory(options_.recordDir, ignored)) {
    output_.Error("cannot make the record directory " + options_.recordDir);
    return kExitCannotRun;
  }
  for (int n = 1; n <= options_.clients; ++n) {
    const std::string prefix =
        options_.clients > 1 ? "client-" + std::to_string(n) + "-session-" : "session-";
    auto recorder = std::make_unique<TSessionRecorder>(options_.recordDir, 16384, prefix);
    recorder->KeepExchanges();
    recorders_.push_back(std::move(recorder));
  }
  return kExitHeld;
}

TServerOptions TSimulator::ClientOptions(int client) {
  TServerOptions options = options_.server;
  options.maxRecords = kMaxRecords;
  if (!options_.replayFile.empty()) options.protocol = PassiveProtocol(options.protocol);
  const auto index = static_cast<std::size_t>(client - 1);
  TSessionRecorder* recorder = recorders_.empty() ? nullptr : recorders_[index].get();
  options.transcript = [this, index, recorder](std::uint32_t session, const std::string& bytes) {
    counters_[index].Sent(session, bytes);
    if (recorder) recorder->Sent(session, bytes);
  };
  if (recorder)
    options.received = [recorder](std::uint32_t session, const std::string& bytes) {
      recorder->Received(session, bytes);
    };
  return options;
}

int TSimulator::Start() {
  std::string text, error;
  if (!options_.scriptFile.empty()) {
    std::vector<TScriptStep> steps;
    if (!ReadFile(options_.scriptFile, "script", text)) return kExitCannotRun;
    if (!ParseScript(AnsiFromUtf8(text), steps, error)) {
      output_.Error(options_.scriptFile + ": " + error);
      return kExitUsage;
    }
    script_ = std::make_unique<TScriptRunner>(std::move(steps), clients_, output_,
                                              options_.server.protocol.login);
  }
  if (!options_.replayFile.empty()) {
    if (!ReadFile(options_.replayFile, "recording", text)) return kExitCannotRun;
    if (!ReadRecording(text, recording_, error)) {
      output_.Error(options_.replayFile + ": " + error);
      return kExitUsage;
    }
  }
  if (!options_.recordDir.empty() && PrepareRecording() != kExitHeld) return kExitCannotRun;
  counters_.resize(static_cast<std::size_t>(options_.clients));
  hub_ = std::make_unique<TServerHub>(options_.clients,
                                      [this](int client) { return ClientOptions(client); });
  for (int n = 1; n <= hub_->Count(); ++n) {
    clients_.servers.push_back(&hub_->Client(n));
    hub_->Client(n).SetObserver([this, n](const TReceivedRecord& record) { OnRecord(n, record); });
  }
  clients_.controlSent = [this](int client, std::uint32_t session, const TControl& control,
                                const std::string& addr) {
    output_.ControlSent(client, session, control, addr);
  };
  if (!hub_->Start()) {
    const int code = hub_->LastError();
    output_.Error("cannot listen on " + options_.server.host + ":" +
                  std::to_string(options_.server.port) + ": " + SocketErrorName(code) + " [" +
                  std::to_string(code) + "]");
    return kExitCannotRun;
  }
  if (!options_.portFile.empty()) {
    std::ofstream file(options_.portFile, std::ios::trunc);
    if (!(file << hub_->Port() << "\n")) {
      output_.Error("cannot write the port file " + options_.portFile);
      return kExitCannotRun;
    }
  }
  output_.Listening(options_.server.host, hub_->Port(), options_.clients);
  return kExitHeld;
}

void TSimulator::OnRecord(int client, const TReceivedRecord& record) {
  const auto index = static_cast<std::size_t>(client - 1);
  counters_[index].Received(record);
  if (record.kind == TRecordKind::Disconnected && !recorders_.empty())
    recorders_[index]->Ended(record.session);
  std::string addr;
  if (record.channelNumber != 0 &&
      (record.kind == TRecordKind::Registration || record.kind == TRecordKind::Value))
    if (const auto channel = hub_->Client(client).ChannelByNumber(record.channelNumber))
      addr = channel->addr;
  output_.Received(client, record, addr);
  if (script_) script_->Observe(record, addr);
}

void TSimulator::FaultBegun(const TFaultEvent& event) {
  counters_[0].FaultInjected();
  output_.FaultBegun(event);
}

void TSimulator::FaultEnded(const TFaultEvent& event) { output_.FaultEnded(event); }

bool TSimulator::FirstConnectionEnded() const {
  bool any = false;
  for (const TKavrelServer* server : clients_.servers) {
    if (server->Connected()) return false;
    any = any || server->Session() > 0;
  }
  return any;
}

void TSimulator::ServeInput(std::istream& input) {
  auto queue = std::make_shared<TInput>();
  std::thread(ReadInput, &input, queue).detach();
  for (;;) {
    std::deque<std::string> lines;
    bool closed;
    {
      std::unique_lock lock(queue->mutex);
      queue->arrived.wait_for(lock, kPollInterval,
                              [&] { return queue->closed || !queue->lines.empty(); });
      lines.swap(queue->lines);
      closed = queue->closed;
    }
    for (const std::string& line : lines) {
      const TCommandOutcome outcome = RunCommand(clients_, AnsiFromUtf8(line));
      output_.Reply(outcome.text);
      if (outcome.quit) return;
    }
    if (closed) return;
    if (options_.once && FirstConnectionEnded()) return;
  }
}

int TSimulator::Serve(std::istream& input) {
  if (options_.faults) {
    output_.Note("fault mode, seed " + std::to_string(options_.fault.seed));
    IFaultListener* listener = this;
    faults_ = std::make_unique<TFaultDriver>(hub_->Client(1), options_.fault, listener);
    faults_->Start();
  }
  if (!options_.replayFile.empty()) {
    replay_ = std::make_unique<TReplayDriver>(
        hub_->Client(1), recording_, [this](const std::string& note) { output_.Note(note); });
    replay_->Start();
  }
  const int code = script_ ? script_->Run() : (ServeInput(input), kExitHeld);
  faults_.reset();
  replay_.reset();
  hub_->Stop();
  TSimCounters total;
  for (const TSimCounters& counters : counters_) total += counters;
  output_.Summary(total, options_.faults);
  return code;
}

}  // namespace kv::sim
