// The command-line server's summary counts messages, not writes: a message
// sent in pieces counts once, several in one write count each, and a new
// connection does not inherit the last one's unfinished bytes.
#include <gtest/gtest.h>

#include "kvsim/SimCounters.h"
#include "kvsim/SimRecords.h"
#include "protocol/CommandCatalogue.h"

namespace kv::sim {
namespace {

TEST(SimCounters, CountsWholeMessagesAcrossPiecesAndConnections) {
  TKavrelCmdParser out;
  TControl control;
  control.addr = "Valve";
  control.type = 5;
  control.value = Variant::FromDouble(1);
  AppendControl(out, control);
  const std::string bytes(reinterpret_cast<const char*>(out.Data()),
                          static_cast<std::size_t>(out.Size()));
  std::string statusReply(static_cast<std::size_t>(StructSize(kStructStatusReply)), '\0');
  statusReply[0] = static_cast<char>(kStructStatusReply);

  TSimCounters counters;
  counters.Sent(1, bytes.substr(0, 3));
  counters.Sent(1, bytes.substr(3) + statusReply);
  EXPECT_EQ(counters.RecordsSent(), 2u);
  EXPECT_EQ(counters.ControlsSent(), 1u);
  // Cut off by the end of connection 1: connection 2 starts afresh.
  counters.Sent(1, bytes.substr(0, 3));
  counters.Sent(2, statusReply);
  EXPECT_EQ(counters.RecordsSent(), 3u);
  EXPECT_EQ(counters.BytesSent(), bytes.size() + 2 * statusReply.size() + 3);
}

}  // namespace
}  // namespace kv::sim
