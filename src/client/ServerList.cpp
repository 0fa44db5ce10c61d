#include "client/ServerList.h"

#include <algorithm>

#include "runtime/Codepage.h"

namespace kv {
namespace {

constexpr auto kBadPort = "неверный порт"_cp;
constexpr auto kNoHost = "нет имени сервера"_cp;
constexpr auto kTooMany = "больше 8 серверов"_cp;

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

// Decimal digits only, 1 to 65535.
bool ParsePort(std::string_view text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

void Leave(std::string& ignored, std::string_view entry, std::string_view reason) {
  if (!ignored.empty()) ignored += "; ";
  ignored.append(entry).append(" (").append(reason).append(")");
}

std::uint32_t Left(std::uint32_t since, std::uint32_t now, std::uint32_t span) {
  const std::uint32_t gone = now - since;
  return gone >= span ? 0 : span - gone;
}

}  // namespace

ServerListText ParseServerList(std::string_view text, std::int32_t port) {
  ServerListText list;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view entry = Trim(text.substr(start, end - start));
    start = end + 1;
    if (entry.empty()) continue;
    ServerEntry server;
    server.Port = static_cast<std::uint16_t>(port);
    server.LogPort = port;
    std::string_view host = entry;
    if (const std::size_t colon = entry.rfind(':'); colon != std::string_view::npos) {
      host = Trim(entry.substr(0, colon));
      if (!ParsePort(Trim(entry.substr(colon + 1)), server.Port)) {
        Leave(list.Ignored, entry, kBadPort);
        continue;
      }
      server.LogPort = server.Port;
    }
    if (host.empty()) {
      Leave(list.Ignored, entry, kNoHost);
      continue;
    }
    if (list.Entries.size() == kMaxServers) {
      Leave(list.Ignored, entry, kTooMany);
      continue;
    }
    server.Host = std::string(host);
    list.Entries.push_back(std::move(server));
  }
  if (list.Entries.empty())
    list.Entries.push_back({std::string(), static_cast<std::uint16_t>(port), port});
  return list;
}

TServerList::TServerList(std::vector<ServerEntry> entries)
    : entries_(std::move(entries)), states_(entries_.size()) {}

std::uint32_t TServerList::Wait(const TState& state, std::uint32_t now) const {
  std::uint32_t wait = 0;
  if (state.gated) wait = std::max(wait, Left(state.gateTick, now, kLoginGateMs));
  if (state.paced) wait = std::max(wait, Left(state.paceTick, now, kRetryMs));
  return wait;
}

std::optional<std::size_t> TServerList::Next(std::uint32_t now) const {
  for (std::size_t k = 0; k < entries_.size(); ++k) {
    const std::size_t i = (from_ + k) % entries_.size();
    if (Wait(states_[i], now) == 0) return i;
  }
  return std::nullopt;
}

std::uint32_t TServerList::Due(std::uint32_t now) const {
  std::uint32_t due = UINT32_MAX;
  for (const TState& state : states_) due = std::min(due, Wait(state, now));
  return entries_.empty() ? 0 : due;
}

void TServerList::Begin(std::size_t server, std::uint32_t now) {
  current_ = server;
  states_[server].attemptTick = now;
  ++states_[server].failures;
}

void TServerList::Connected(std::size_t server) { states_[server].failures = 0; }

void TServerList::LoginSent(std::size_t server, std::uint32_t now) {
  states_[server].gated = true;
  states_[server].gateTick = now;
}

void TServerList::Failed(std::size_t server) {
  states_[server].paced = true;
  states_[server].paceTick = states_[server].attemptTick;
  from_ = (server + 1) % entries_.size();
}

bool TServerList::LoggedIn(std::size_t server) {
  from_ = server;
  const bool moved = server != lastLogin_;
  lastLogin_ = server;
  return moved;
}

void TServerList::Lost() {
  from_ = 0;
  if (entries_.empty()) return;
  states_[current_].gated = false;
  states_[current_].paced = false;
}

}  // namespace kv
