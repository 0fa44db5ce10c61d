#pragma once
// THistorySender: the worker's side of the value history
// (channels/ValueHistory.h). After a send pass has added the registrations
// and current values, it adds a slice of kept values, and remembers each
// until the socket has taken all of its record's bytes; values whose bytes
// the socket had not taken when the connection ended go back to the
// history, for the next login. Before the first kept values go out after a
// login it writes one line with the count of values the bound dropped since
// the last such line.
//
// Worker thread only.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "channels/ChannelList.h"
#include "protocol/PacketBuffer.h"

namespace kv {

class THistorySender {
 public:
  // Kept values one send pass adds at most, and how many of them one hold
  // of the list's lock takes.
  static constexpr std::size_t kSliceValues = 16384;
  static constexpr std::size_t kBatchValues = 256;

  // After a login: the next Send writes the line of the drops.
  void LoggedIn() noexcept { loginReported_ = false; }
  // Appends one slice of kept values to `buffer`. `written` counts the
  // bytes the socket took so far. Lines to write go to `lines`.
  void Send(TChannelList2& channels, TKavrelCmdParser& buffer, std::uint64_t written,
            std::vector<std::string>& lines);
  // The socket has taken `written` bytes in all: the values whose records
  // end within them are gone.
  void Written(TChannelList2& channels, std::uint64_t written) noexcept {
    while (!inFlight_.empty() && inFlight_.front().end <= written) {
      channels.ConfirmKept(inFlight_.front().taken, true);
      inFlight_.pop_front();
      confirmed_ = true;
    }
  }
  // The connection ended: the values not yet written go back.
  void Abandon(TChannelList2& channels);

 private:
  struct TInFlight {
    TValueHistory::TTaken taken;
    std::uint64_t end = 0;  // the record's last byte, counted as `written`
  };

  std::deque<TInFlight> inFlight_;
  std::deque<TKeptSnapshot> batch_;  // kept for its storage
  bool confirmed_ = false;           // since the history last freed what went
  bool loginReported_ = true;
  std::uint64_t droppedReported_ = 0;
};

}  // namespace kv
