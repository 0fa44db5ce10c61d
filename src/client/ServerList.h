#pragma once
// The servers the client may log in at: the host text names one, or a main
// server and reserves separated by ';' ("10.0.0.5;10.0.0.6:3001;reserve").
// TServerList keeps, for each of them, the rules that pace the attempts:
//   - a server that got a login request and gave no login is not asked
//     again for 60 s (its gate); the others are tried meanwhile;
//   - a server is tried at most once a second;
//   - a failed attempt moves on to the next server, wrapping round after
//     the last; a lost link starts again from the main server;
//   - each server counts its own run of failed attempts, which only a TCP
//     connection to it ends (the log shows the first few of a run).
// Which server comes next is asked with the time (millisecond ticks), so
// every rule runs on a driven clock.
//
// Threads: the worker thread only; plain values, no lock.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

// One server of the host's list.
struct ServerEntry {
  std::string Host;        // name or dotted address, without the blanks around it
  std::uint16_t Port = 0;  // what the connection uses
  // What the log shows: the entry's own port, else the whole port argument.
  std::int32_t LogPort = 0;
};

// The host text taken apart: the servers to use (never none: a text
// without a usable entry gives one with an empty host, which fails as an
// empty host text always has), and what was left out, each item with its
// reason, for the log; empty when nothing was.
struct ServerListText {
  std::vector<ServerEntry> Entries;
  std::string Ignored;
};

inline constexpr std::size_t kMaxServers = 8;

// Entries are split at ';' and trimmed of blanks; empty ones are skipped
// without a word. "host:port" gives the entry its own port (1 to 65535);
// without one the entry takes `port`, of which the connection uses the low
// 16 bits. An entry without a host, or with a port that is not such a
// number, and every usable entry after the eighth, are left out.
ServerListText ParseServerList(std::string_view text, std::int32_t port);

class TServerList {
 public:
  static constexpr std::uint32_t kLoginGateMs = 60000;
  static constexpr std::uint32_t kRetryMs = 1000;

  TServerList() = default;
  explicit TServerList(std::vector<ServerEntry> entries);

  std::size_t Count() const { return entries_.size(); }
  bool Empty() const { return entries_.empty(); }
  const ServerEntry& operator[](std::size_t i) const { return entries_[i]; }

  // The server the next attempt goes to at `now`: the first, from the one
  // after the last failed attempt (the main server after a lost link), that
  // neither its gate nor its pacing holds back. Nothing while all wait.
  std::optional<std::size_t> Next(std::uint32_t now) const;
  // Milliseconds from `now` until some server may be tried; 0 when one may.
  std::uint32_t Due(std::uint32_t now) const;

  // An attempt at `server` begins at `now`; it counts in the server's run.
  void Begin(std::size_t server, std::uint32_t now);
  // The attempt reached the server over TCP: its run of failures ends.
  void Connected(std::size_t server);
  // Attempts at the server since its last TCP connection.
  int Failures(std::size_t server) const { return states_[server].failures; }
  // A login request went to the server at `now`: its 60-second gate.
  void LoginSent(std::size_t server, std::uint32_t now);
  // The attempt failed: its server waits a second from the attempt's start,
  // the next attempt goes to the next server.
  void Failed(std::size_t server);
  // Logged in at `server`. True when that is another server than the one of
  // the previous login (before the first: the main server).
  bool LoggedIn(std::size_t server);
  // A link that worked was lost: its server may be tried again at once, and
  // the next attempt starts from the main server.
  void Lost();

  // The server of the last attempt (0 before the first).
  std::size_t Current() const { return current_; }

 private:
  struct TState {
    bool gated = false;  // gateTick is when a login request went out
    std::uint32_t gateTick = 0;
    bool paced = false;  // paceTick is when a failed attempt began
    std::uint32_t paceTick = 0;
    std::uint32_t attemptTick = 0;
    int failures = 0;  // attempts since the last TCP connection
  };
  std::uint32_t Wait(const TState& state, std::uint32_t now) const;

  std::vector<ServerEntry> entries_;
  std::vector<TState> states_;
  std::size_t from_ = 0;  // where the search for the next server begins
  std::size_t current_ = 0;
  std::size_t lastLogin_ = 0;
};

}  // namespace kv
