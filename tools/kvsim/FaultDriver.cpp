#include "kvsim/FaultDriver.h"

#include <algorithm>
#include <memory>

#include "protocol/CommandCatalogue.h"
#include "runtime/Calendar.h"
#include "values/DataTypes.h"
#include "values/DateTime.h"

namespace kv::sim {
namespace {

using namespace std::chrono_literals;

constexpr auto kSlice = 100ms;
constexpr auto kFinishSlack = 5s;    // beyond the client's time-out, to close after a finish
constexpr auto kLoginGate = 60s;     // the client's pause after a failed login
constexpr auto kSilentMinute = 60s;  // silence before the client's link test
constexpr auto kLongSlack = 20s;
constexpr std::uint32_t kUnlistedNumber = 0x7FFFFFF0;  // a channel number no client has
constexpr char kElsewhere[] = "the client logged in at another server";

// Known structures the client only skips (22, 40 and 100 are handled apart).
constexpr std::uint8_t kSkippedStructures[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                               12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 24,
                                               25, 31, 32, 33, 34, 35, 41, 42, 43, 44};

std::string RandomBytes(TRandom& random, std::int64_t count) {
  std::string bytes;
  for (std::int64_t i = 0; i < count; ++i) bytes += static_cast<char>(random.Next() & 0xFF);
  return bytes;
}

std::string Seconds(std::chrono::milliseconds time) {
  return std::to_string(time.count() / 1000) + " s";
}

}  // namespace

bool TakesControlNumbers(std::uint16_t type) {
  return type == dtInt4 || type == dtUInt4 || type == dtFloat4 || type == dtFloat8 ||
         type == dtString;
}

TControl NumberedControl(std::uint64_t n, const TControlTarget& target) {
  TControl control;
  control.byNumber = (n & 1) != 0 && target.number != 0;
  if (control.byNumber)
    control.number = target.number;
  else
    control.addr = target.addr;
  control.timeForm = TDateTimeForm::Double;
  control.dt = kControlEpoch + static_cast<double>(n) / kMSecsPerDay;
  control.quality = static_cast<std::uint8_t>(n & 0xFF);
  control.type = target.type;
  control.value = target.type == dtString ? Variant::FromAnsi(std::to_string(n))
                                          : Variant::FromDouble(static_cast<double>(n));
  return control;
}

TFaultDriver::TFaultDriver(TKavrelServer& server, TFaultOptions options, IFaultListener* listener)
    : server_(server),
      options_(std::move(options)),
      listener_(listener),
      timeout_(std::max(options_.plan.clientTimeoutMs, 0)),
      plan_(options_.seed, options_.plan),
      random_(options_.seed ^ 0x5EEDC0DE5EEDC0DEull),
      nextControl_(options_.firstControl) {}

TFaultDriver::~TFaultDriver() { Stop(); }

void TFaultDriver::Start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { Run(); });
}

void TFaultDriver::Stop() {
  {
    TLockGuard lock(wakeMutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

TFaultFigures TFaultDriver::Figures() const {
  TLockGuard lock(figuresMutex_);
  return figures_;
}

void TFaultDriver::Run() {
  while (!Stopping()) {
    if (!Await([this](const TServerView& v) { return LoggedIn(v); }, kSlice)) continue;
    const TFaultStep step = plan_.Next();
    if (!Calm(step.calmMs)) break;
    if (options_.plan.kinds == 0) continue;
    TFaultEvent event;
    event.step = step;
    event.session = server_.Session();
    {
      TLockGuard lock(figuresMutex_);
      ++figures_.injected[static_cast<int>(step.kind)];
    }
    if (listener_) listener_->FaultBegun(event);
    Inject(step, event);
    if (Stopping() && !event.failed) event.outcome = "cut short by the stop";
    if (event.failed) {
      TLockGuard lock(figuresMutex_);
      ++figures_.failed[static_cast<int>(step.kind)];
    }
    if (listener_) listener_->FaultEnded(event);
  }
  Restore();
}

bool TFaultDriver::Await(const TCondition& condition, Duration limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<Duration>(end - std::chrono::steady_clock::now());
    if (server_.WaitFor(condition, std::clamp(left, Duration{0}, Duration(kSlice)))) return true;
    if (Stopping() || left <= Duration{0}) return false;
  }
}

bool TFaultDriver::Pause(Duration time) {
  TUniqueLock lock(wakeMutex_);
  return !lock.WaitFor(wake_, time, [this] { return stopping_.load(); });
}

bool TFaultDriver::LoggedIn(const TServerView& view) const {
  const auto session = static_cast<std::uint32_t>(view.state.Sessions());
  return view.connected && view.state.RepliedSession() == session && session > badLoginSession_;
}

bool TFaultDriver::Calm(std::int64_t ms) {
  const auto end = std::chrono::steady_clock::now() + Duration(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (server_.WaitFor([this](const TServerView& v) { return LoggedIn(v); }, Duration{0}))
      Trickle();
    if (!Pause(options_.trickleEvery)) return false;
  }
  return !Stopping();
}

void TFaultDriver::Restore() {
  server_.SetReading(true);
  server_.SetReadPace(0, Duration{0});
  server_.SetLoginBehaviour(options_.login);
  server_.SetAnswerStatus(true);
  server_.SetActivation(options_.activation);
}

void TFaultDriver::Fail(TFaultEvent& event, const std::string& why) {
  event.failed = true;
  event.outcome = why;
}

TSessionEnd TFaultDriver::AwaitEnd(std::uint32_t session, Duration limit) {
  TSessionEnd end = TSessionEnd::None;
  Await(
      [&](const TServerView& v) {
        end = v.state.EndOf(session);
        return end != TSessionEnd::None;
      },
      limit);
  return end;
}

bool TFaultDriver::AwaitGoodLogin(std::uint32_t after, Duration limit, bool& elsewhere) {
  return AwaitLogin(
      [&](const TServerView& v) {
        const std::uint32_t replied = v.state.RepliedSession();
        return v.connected && replied > after &&
               replied == static_cast<std::uint32_t>(v.state.Sessions());
      },
      limit, elsewhere);
}

bool TFaultDriver::AwaitLogin(const TCondition& here, Duration limit, bool& elsewhere) {
  if (!options_.loggedInElsewhere) return Await(here, limit);
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<Duration>(end - std::chrono::steady_clock::now());
    if (Await(here, std::clamp(left, Duration{0}, Duration(kSlice)))) return true;
    if (options_.loggedInElsewhere()) {
      elsewhere = true;
      return true;
    }
    if (Stopping() || left <= Duration{0}) return false;
  }
}

// ---------------------------------------------------------------------------
// Controls

TTargets TFaultDriver::Targets() {
  std::vector<TControlTarget> targets;
  for (const TSimChannel& channel : server_.Channels())
    if (channel.hasValue && TakesControlNumbers(channel.type))
      targets.push_back({channel.addr, channel.number, channel.type});
  const bool same =
      targets_ && targets_->size() == targets.size() &&
      std::equal(targets.begin(), targets.end(), targets_->begin(),
                 [](const auto& a, const auto& b) {
                   return a.addr == b.addr && a.number == b.number && a.type == b.type;
                 });
  if (!same) targets_ = std::make_shared<const std::vector<TControlTarget>>(std::move(targets));
  return targets_;
}

void TFaultDriver::Announce(std::uint64_t first, std::size_t count, const TTargets& targets) {
  if (!listener_ || count == 0) return;
  TControlBatch batch;
  batch.first = first;
  batch.count = static_cast<std::uint32_t>(count);
  batch.targets = targets;
  listener_->ControlsComing(batch);
}

void TFaultDriver::Placed(std::uint64_t first, std::size_t count, std::uint32_t session) {
  if (count == 0) return;
  if (session != 0) {
    TLockGuard lock(figuresMutex_);
    figures_.controls += count;
  }
  if (listener_) listener_->ControlsSent(first, session);
}

std::string TFaultDriver::Controls(std::size_t count, const TTargets& targets) {
  Announce(nextControl_, count, targets);
  TKavrelCmdParser out;
  for (std::size_t i = 0; i < count; ++i, ++nextControl_)
    AppendControl(out, NumberedControl(nextControl_, (*targets)[nextControl_ % targets->size()]));
  return PendingBytes(out);
}

void TFaultDriver::Trickle() {
  const auto count = static_cast<std::size_t>(random_.Between(0, options_.trickleMax));
  if (count == 0) return;
  const TTargets targets = Targets();
  if (targets->empty()) return;
  const std::uint64_t first = nextControl_;
  std::uint32_t session = 0;
  server_.SendRaw(Controls(count, targets), &session);
  Placed(first, count, session);
}

// ---------------------------------------------------------------------------
// The faults

void TFaultDriver::Inject(const TFaultStep& step, TFaultEvent& event) {
  switch (step.kind) {
    case TFaultKind::Close:
      FinishAndWait(event);
      return;
    case TFaultKind::Reset:
      event.outcome = server_.Reset() ? "reset" : "no connection to reset";
      return;
    case TFaultKind::Stall:
      Stall(event);
      return;
    case TFaultKind::SlowReader:
      SlowReader(step, event);
      return;
    case TFaultKind::Split:
    case TFaultKind::Merged:
      SendBatch(step, step.kind == TFaultKind::Split);
      event.outcome = "sent";
      return;
    case TFaultKind::UnknownStructure:
      UnknownStructure(step, event);
      return;
    case TFaultKind::ControlBurst:
      ControlBurst(step);
      event.outcome = "sent";
      return;
    case TFaultKind::DelayedLogin:
      DelayedLogin(step, event);
      return;
    case TFaultKind::RefusedLogin:
      RefusedLogin(step, event);
      return;
    case TFaultKind::LinkTest:
      LinkTest(step, event);
      return;
  }
}

void TFaultDriver::FinishAndWait(TFaultEvent& event) {
  if (!server_.Finish(timeout_ + kFinishSlack)) {
    event.outcome = "no connection to finish";
    return;
  }
  const TSessionEnd end = AwaitEnd(event.session, timeout_ + kFinishSlack + kFinishSlack);
  if (end == TSessionEnd::ServerReset || end == TSessionEnd::None)
    Fail(event, "the client did not close its side after the server finished");
  else
    event.outcome += (event.outcome.empty() ? "" : ", then ") + std::string(SessionEndText(end));
}

void TFaultDriver::Stall(TFaultEvent& event) {
  server_.SetReading(false);
  const Duration limit = timeout_ + kStallSlack;
  const TSessionEnd end = AwaitEnd(event.session, limit);
  if (end == TSessionEnd::None && !Stopping()) {
    Fail(event,
         "the client still held the connection " + Seconds(limit) +
             " after the server stopped reading (a client with nothing to send cannot tell)");
    server_.Reset();
  } else {
    event.outcome = SessionEndText(end);
  }
  server_.SetReading(true);
}

void TFaultDriver::SlowReader(const TFaultStep& step, TFaultEvent& event) {
  server_.SetReadPace(static_cast<std::size_t>(step.variant), 10ms);
  Pause(Duration(step.amount));
  server_.SetReadPace(0, Duration{0});
  const TSessionEnd end = AwaitEnd(event.session, Duration{0});
  event.outcome = end == TSessionEnd::None ? "the connection went on" : SessionEndText(end);
}

void TFaultDriver::SendBatch(const TFaultStep& step, bool split) {
  const TTargets targets = Targets();
  // Which messages are controls is drawn first, so that they can be
  // announced before any goes out.
  std::vector<std::int64_t> picks;
  std::size_t controls = 0;
  for (std::int64_t i = 0; i < step.amount; ++i) {
    picks.push_back(random_.Between(0, 11));
    if (picks.back() < 6 && !targets->empty()) ++controls;
  }
  const std::uint64_t first = nextControl_;
  Announce(first, controls, targets);
  TKavrelCmdParser out;
  for (const std::int64_t pick : picks) {
    if (pick < 6 && !targets->empty()) {
      AppendControl(out, NumberedControl(nextControl_, (*targets)[nextControl_ % targets->size()]));
      ++nextControl_;
      continue;
    }
    std::string bytes;
    switch (pick % 6) {
      case 0:
        bytes = BuildStatusReply(static_cast<std::uint8_t>(random_.Between(0, 255)));
        break;
      case 1:
        bytes = BuildServerTime(Now(), static_cast<std::int16_t>(GetTimeZoneBias()));
        break;
      case 2:
        bytes = BuildChannelNotice(static_cast<std::uint8_t>(random_.Between(0, 15)), Now(),
                                   static_cast<std::int32_t>(random_.Between(0, 1000)));
        break;
      case 3: {
        const std::uint8_t id =
            kSkippedStructures[random_.Between(0, std::size(kSkippedStructures) - 1)];
        bytes = std::string(static_cast<std::size_t>(StructSize(id)), '\0');
        bytes[0] = static_cast<char>(id);
        break;
      }
      case 4: {
        auto id = static_cast<std::uint8_t>(random_.Between(kCmd2First, kCmd2Last));
        if (id == kCmdControlValue || id == kCmdChannelChange) id = kCmdChannelRegister;
        bytes = BuildCommand(id, RandomBytes(random_, random_.Between(0, 20)));
        break;
      }
      default: {
        // A control for a channel the client does not have: refused, not queued.
        TControl unlisted = NumberedControl(0, {std::string(), kUnlistedNumber, dtFloat8});
        unlisted.byNumber = true;
        unlisted.number = kUnlistedNumber;
        AppendControl(out, unlisted);
        continue;
      }
    }
    out.Append(bytes.data(), static_cast<std::int32_t>(bytes.size()));
  }
  std::uint32_t session = 0;
  const std::string bytes = PendingBytes(out);
  if (split)
    server_.SendInPieces(bytes, 1, Duration(step.variant), &session);
  else
    server_.SendRaw(bytes, &session);
  Placed(first, controls, session);
}

void TFaultDriver::UnknownStructure(const TFaultStep& step, TFaultEvent& event) {
  std::string bytes;
  if (step.variant == 1) {
    bytes += static_cast<char>(random_.Between(kCmd2First, kCmd2Last));
    bytes += static_cast<char>(step.amount);
    bytes += '\0';
  } else {
    bytes += static_cast<char>(step.amount);
  }
  bytes += RandomBytes(random_, random_.Between(0, 40));
  if (!server_.SendRaw(bytes)) {
    event.outcome = "no connection";
    return;
  }
  const TSessionEnd end = AwaitEnd(event.session, timeout_ + kFinishSlack);
  if (end == TSessionEnd::None && !Stopping()) {
    Fail(event, "the client kept the connection after bytes that no message begins with");
    server_.Reset();
  } else {
    event.outcome = SessionEndText(end);
  }
}

void TFaultDriver::ControlBurst(const TFaultStep& step) {
  const TTargets targets = Targets();
  if (targets->empty()) return;
  const auto total = static_cast<std::size_t>(step.amount);
  const std::size_t per = step.variant == 0 ? total : static_cast<std::size_t>(step.variant);
  for (std::size_t sent = 0; sent < total && !Stopping();) {
    const std::size_t chunk = std::min(per, total - sent);
    const std::uint64_t first = nextControl_;
    std::uint32_t session = 0;
    const bool ok = server_.SendRaw(Controls(chunk, targets), &session);
    Placed(first, chunk, session);
    sent += chunk;
    if (!ok) break;
  }
}

void TFaultDriver::DelayedLogin(const TFaultStep& step, TFaultEvent& event) {
  TLoginBehaviour late = options_.login;
  late.replyDelay = Duration(step.amount);
  server_.SetLoginBehaviour(late);
  const bool ended = step.variant == 0 ? server_.Finish(timeout_ + kFinishSlack) : server_.Reset();
  const std::uint32_t before = event.session;
  bool elsewhere = false;
  const bool login =
      ended && AwaitLogin([&](const TServerView& v) { return v.state.LoginSession() > before; },
                          timeout_ + kFinishSlack + kFinishSlack, elsewhere);
  server_.SetLoginBehaviour(options_.login);
  if (!ended) {
    event.outcome = "no connection";
  } else if (!login) {
    if (!Stopping()) Fail(event, "no login after the reconnection");
  } else if (AwaitGoodLogin(before, Duration(step.amount) + kFinishSlack, elsewhere) &&
             !elsewhere) {
    event.outcome = "logged in after " + std::to_string(step.amount) + " ms";
  } else if (elsewhere) {
    event.outcome = kElsewhere;
  } else if (AwaitGoodLogin(before, kLoginGate + timeout_ + kLongSlack, elsewhere)) {
    // A busy machine may deliver the reply after the client's time-out.
    event.outcome =
        elsewhere
            ? kElsewhere
            : "the reply came too late for the client, which logged in again after its minute";
  } else if (!Stopping()) {
    Fail(event, "no login after the reconnection");
  }
}

void TFaultDriver::RefusedLogin(const TFaultStep& step, TFaultEvent& event) {
  TLoginBehaviour bad = options_.login;
  bad.replyDelay = Duration{0};
  switch (static_cast<TRefusal>(step.variant)) {
    case TRefusal::Refused:
      bad.fields.clientId = -1;
      bad.fields.resultCode = static_cast<std::uint8_t>(step.amount);
      break;
    case TRefusal::Silent:
      bad.mode = TLoginMode::Silent;
      break;
    case TRefusal::Short:
      bad.mode = TLoginMode::Short;
      bad.shortLength = static_cast<int>(1 + step.amount * 3);
      break;
    case TRefusal::WrongId:
      bad.mode = TLoginMode::WrongId;
      break;
    case TRefusal::OldVersion:
      bad.fields.versionMajor = 3;
      break;
    case TRefusal::Closed:
      bad.mode = TLoginMode::Close;
      break;
    case TRefusal::ZeroId:
      bad.fields.clientId = 0;
      break;
  }
  server_.SetLoginBehaviour(bad);
  const std::uint32_t before = event.session;
  std::uint32_t refused = 0;
  bool elsewhere = false;
  const bool ended = server_.Finish(timeout_ + kFinishSlack);
  const bool login = ended && AwaitLogin(
                                  [&](const TServerView& v) {
                                    refused = v.state.LoginSession();
                                    return refused > before;
                                  },
                                  timeout_ + kFinishSlack + kFinishSlack, elsewhere);
  server_.SetLoginBehaviour(options_.login);
  if (!ended) {
    event.outcome = "no connection";
    return;
  }
  if (!login) {
    if (!Stopping()) Fail(event, "no login after the reconnection");
    return;
  }
  if (elsewhere) {
    event.outcome = kElsewhere;
    return;
  }
  badLoginSession_ = refused;
  const Duration limit = kLoginGate + timeout_ + kLongSlack;
  if (AwaitGoodLogin(refused, limit, elsewhere))
    event.outcome =
        elsewhere ? "refused, then " + std::string(kElsewhere) : "logged in again after its wait";
  else if (!Stopping())
    Fail(event, "no login within " + Seconds(limit) + " of the failed one");
}

void TFaultDriver::LinkTest(const TFaultStep& step, TFaultEvent& event) {
  const bool answered = step.variant == 1;
  const std::uint32_t session = event.session;
  auto asked = [session](const TServerView& v) { return v.state.StatusSession() == session; };
  // A silent link: no controls (the driver sends none meanwhile), no answers
  // to registrations, and status requests answered only when asked to.
  server_.SetActivation(TActivation::Off);
  server_.SetAnswerStatus(answered);
  const Duration limit = kSilentMinute + timeout_ + kLongSlack;
  if (!answered) {
    const TSessionEnd end = AwaitEnd(session, limit);
    const bool requested = server_.WaitFor(asked, Duration{0});
    if (end == TSessionEnd::None) {
      if (!Stopping()) {
        Fail(event, "the link stayed up " + Seconds(limit) + " without status answers");
        server_.Reset();
      }
    } else if (!requested) {
      Fail(event,
           std::string("the silent link ended without a status request: ") + SessionEndText(end));
    } else {
      event.outcome = std::string("asked for the status, then ") + SessionEndText(end);
    }
  } else if (!Await(asked, limit)) {
    if (!Stopping()) Fail(event, "no status request after a silent minute");
  } else if (Pause(timeout_ + kFinishSlack) &&
             AwaitEnd(session, Duration{0}) != TSessionEnd::None) {
    Fail(event, "the client dropped a link whose status request was answered");
  } else {
    event.outcome = "asked for the status, was answered and kept the link";
  }
  server_.SetAnswerStatus(true);
  server_.SetActivation(options_.activation);
  if (answered && !event.failed && !Stopping()) FinishAndWait(event);
}

}  // namespace kv::sim
