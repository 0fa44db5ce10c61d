#include "kvsim/Replay.h"

#include <algorithm>

namespace kv::sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kSlice = std::chrono::milliseconds(20);

}  // namespace

TProtocolOptions PassiveProtocol(TProtocolOptions options) {
  options.login.mode = TLoginMode::Silent;
  options.answerStatus = false;
  options.activation = TActivation::Off;
  return options;
}

TReplayDriver::TReplayDriver(TKavrelServer& server, std::vector<TRecordedMessage> recording,
                             std::function<void(const std::string&)> note, Duration patience)
    : server_(server),
      recording_(std::move(recording)),
      note_(std::move(note)),
      patience_(patience) {}

TReplayDriver::~TReplayDriver() { Stop(); }

void TReplayDriver::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void TReplayDriver::Stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
}

void TReplayDriver::Run() {
  std::uint32_t last = 0;
  while (!stopping_) {
    std::uint32_t session = 0;
    const bool connected = server_.WaitFor(
        [&](const TServerView& v) {
          session = static_cast<std::uint32_t>(v.state.Sessions());
          return v.connected && session > last;
        },
        kSlice);
    if (!connected) continue;
    last = session;
    Play(session);
  }
}

bool TReplayDriver::AwaitMessages(std::uint32_t session, std::uint64_t count, bool& reached) {
  const Clock::time_point end = Clock::now() + patience_;
  for (;;) {
    bool gone = false;
    reached = server_.WaitFor(
        [&](const TServerView& v) {
          gone = !v.connected || static_cast<std::uint32_t>(v.state.Sessions()) != session;
          return gone || v.state.SessionMessages() >= count;
        },
        kSlice);
    if (gone || stopping_) return false;
    if (reached || Clock::now() >= end) return true;
  }
}

bool TReplayDriver::SleepUntil(Clock::time_point when) {
  while (!stopping_) {
    const Clock::time_point now = Clock::now();
    if (now >= when) return true;
    std::this_thread::sleep_for(std::min<Clock::duration>(when - now, kSlice));
  }
  return false;
}

void TReplayDriver::Play(std::uint32_t session) {
  const std::string connection = "connection " + std::to_string(session);
  const auto total = std::count_if(recording_.begin(), recording_.end(),
                                   [](const TRecordedMessage& m) { return m.fromServer; });
  const Clock::time_point start = Clock::now();
  Clock::duration shift{0};
  std::uint64_t received = 0;
  long sent = 0;
  for (const TRecordedMessage& message : recording_) {
    if (!message.fromServer) {
      ++received;
      continue;
    }
    bool reached = false;
    if (!AwaitMessages(session, received, reached)) break;
    if (!reached)
      note_("replay: the client has not sent the " + std::to_string(received) +
            " messages recorded before message " + std::to_string(sent + 1) + " of " +
            std::to_string(total) + " on " + connection + "; going on");
    const Clock::time_point due = start + std::chrono::milliseconds(message.ms) + shift;
    const Clock::time_point now = Clock::now();
    if (now > due)
      shift += now - due;
    else if (!SleepUntil(due))
      break;
    std::uint32_t to = 0;
    if (!server_.SendRaw(message.bytes, &to) || to != session) break;
    ++sent;
  }
  if (stopping_) return;
  note_(sent == total ? "replay: all " + std::to_string(total) + " messages played on " + connection
                      : "replay: " + connection + " ended after " + std::to_string(sent) + " of " +
                            std::to_string(total) + " messages");
}

}  // namespace kv::sim
