// The soak's ledger: what it counts as lost, stale, duplicated or excused,
// fed with made-up records as the server, the fault mode and the hosts
// would give them.
#include "soak/Ledger.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "values/DataTypes.h"

namespace {

using namespace kv;
using namespace kv::soak;
using sim::TFaultKind;
using sim::TReceivedRecord;
using sim::TRecordKind;
using sim::TSessionEnd;

constexpr double kMs = 1.0 / 86400000.0;

class LedgerTest : public ::testing::Test {
 protected:
  // Two servers, as a client with a main server and a reserve has them;
  // with one, the second just stays unused.
  explicit LedgerTest(bool history = false)
      : ledger_({{"A", dtFloat8, 0}, {"B", dtString, 8}}, 2, history) {
    targets_ = std::make_shared<const std::vector<sim::TControlTarget>>(
        std::vector<sim::TControlTarget>{{"A", 7, dtFloat8}});
  }

  void Connect(std::uint32_t session, int server = 0) {
    TReceivedRecord r;
    r.kind = TRecordKind::Connected;
    r.session = session;
    ledger_.Observe(r, server);
    TReceivedRecord registration;
    registration.kind = TRecordKind::Registration;
    registration.session = session;
    for (const char* addr : {"A", "B"}) {
      registration.registration.addr = addr;
      registration.channelNumber = addr[0] == 'A' ? 7 : 8;
      ledger_.Observe(registration, server);
    }
  }
  void End(std::uint32_t session, TSessionEnd end, int server = 0) {
    TReceivedRecord r;
    r.kind = TRecordKind::Disconnected;
    r.session = session;
    r.end = end;
    ledger_.Observe(r, server);
  }
  // The server receives step k of channel A (number 7).
  void Value(std::uint32_t session, std::int64_t k, double value = -1, int quality = -1,
             int server = 0) {
    TReceivedRecord r;
    r.kind = TRecordKind::Value;
    r.session = session;
    r.channelNumber = 7;
    r.value.dt = kValueEpoch + static_cast<double>(k) * kMs;
    r.value.type = dtFloat8;
    r.value.quality = static_cast<std::uint8_t>(quality < 0 ? QualityOf(k) & 0xFF : quality);
    r.value.value = Variant::FromDouble(value < 0 ? static_cast<double>(ValueOf(k)) : value);
    ledger_.Observe(r, server);
  }
  void Send(std::uint64_t first, std::uint32_t count, std::uint32_t session, int server = 0) {
    ledger_.ControlsComing({first, count, targets_}, server);
    ledger_.ControlsSent(first, session, server);
  }
  // The host takes control n, as the fault mode made it.
  void Take(std::uint64_t n, const std::string& addr = "") {
    TTakenControl c;
    const bool byNumber = (n & 1) != 0;
    c.addr = addr.empty() ? (byNumber ? "" : "A") : addr;
    c.number = byNumber && addr.empty() ? 7 : 0;
    c.timeMs = static_cast<std::int64_t>(n);
    c.quality = static_cast<std::uint16_t>(n & 0xFF);
    c.value = static_cast<std::int64_t>(n);
    ledger_.ControlTaken(c);
  }
  // The server's channel A holding step k.
  std::vector<sim::TSimChannel> ServerHolds(std::int64_t k) {
    sim::TSimChannel a;
    a.addr = "A";
    a.hasValue = true;
    a.dt = kValueEpoch + static_cast<double>(k) * kMs;
    a.quality = static_cast<std::uint8_t>(QualityOf(k) & 0xFF);
    a.value = Variant::FromDouble(static_cast<double>(ValueOf(k)));
    return {a};
  }

  TLedger ledger_;
  sim::TTargets targets_;
};

TEST(ValueModel, BadQualitiesKeepTheValueBefore) {
  EXPECT_EQ(QualityOf(1), 0);
  EXPECT_EQ(QualityOf(3), 5);
  EXPECT_EQ(ValueOf(3), 2);
  EXPECT_EQ(QualityOf(6), 256);
  EXPECT_EQ(ValueOf(6), 5);
  EXPECT_EQ(StepOf(kValueEpoch + 1234 * kMs, kValueEpoch), 1234);
  EXPECT_EQ(StepOf(kValueEpoch + 1234.5 * kMs, kValueEpoch), -1);
}

TEST_F(LedgerTest, ValuesGoingBackOrRepeatingAreStale) {
  Connect(1);
  Value(1, 5);
  Value(1, 9);
  Value(1, 9);  // repeated on one connection
  Value(1, 8);  // back
  End(1, TSessionEnd::ServerReset);
  Connect(2);
  Value(2, 8);  // back from the last one of the connection before
  Value(2, 10);
  Connect(3);
  Value(3, 10);  // the same again after a reconnection is no news, but fine
  const TLedgerFigures f = ledger_.Figures();
  EXPECT_EQ(f.valuesChecked, 7u);
  EXPECT_EQ(f.valuesStale, 3u);
  EXPECT_EQ(f.valuesCorrupt, 0u);
}

TEST_F(LedgerTest, ValuesWhosePartsDoNotBelongTogetherAreCorrupt) {
  Connect(1);
  Value(1, 4, 3.0);    // step 4 carries value 4
  Value(1, 5, -1, 7);  // and quality 0
  Value(1, 6);         // fine: quality 256 travels as 0 and keeps value 5
  EXPECT_EQ(ledger_.Figures().valuesCorrupt, 2u);
}

TEST_F(LedgerTest, TheServersLastValueMustBeTheHostsLast) {
  Connect(1);
  ledger_.ValueAccepted(0, 41);
  ledger_.ValueAccepted(0, 42);
  EXPECT_FALSE(ledger_.Settled(ServerHolds(41)));
  EXPECT_TRUE(ledger_.Settled(ServerHolds(42)));
  EXPECT_EQ(ledger_.Close(ServerHolds(41)).valuesLost, 1u);
}

TEST_F(LedgerTest, ControlsInOrderOnceEach) {
  Connect(1);
  Send(1, 5, 1);
  for (std::uint64_t n = 1; n <= 5; ++n) Take(n);
  Take(5);
  Take(4);
  const TLedgerFigures f = ledger_.Close({});
  EXPECT_EQ(f.controlsSent, 5u);
  EXPECT_EQ(f.controlsTaken, 7u);
  EXPECT_EQ(f.controlsDuplicated, 1u);
  EXPECT_EQ(f.controlsReordered, 1u);
  EXPECT_EQ(f.controlsLost + f.controlsLostInTransit + f.controlsCorrupt, 0u);
}

TEST_F(LedgerTest, ControlsMissingAtAFaultAreExcusedOnlyThere) {
  Connect(1);
  Send(1, 3, 1);
  End(1, TSessionEnd::ServerReset);  // 2 and 3 were in flight
  Connect(2);
  ledger_.FaultBegun(2, TFaultKind::UnknownStructure);
  Send(4, 2, 2);
  End(2, TSessionEnd::ClientClosed);  // dropped by the client, as it must
  Connect(3);
  Send(6, 2, 3);
  End(3, TSessionEnd::ServerFinished);  // graceful: 7 owed
  Connect(4);
  Send(8, 2, 4);
  End(4, TSessionEnd::ClientClosed);  // dropped with no fault: 9 owed
  Connect(5);
  Send(10, 3, 5);  // 10 skipped on a connection whose later control came
  Send(13, 1, 0);  // never went out
  Take(1);
  Take(6);
  Take(8);
  Take(11);
  const TLedgerFigures f = ledger_.Close({});  // 12 owed by the live connection
  EXPECT_EQ(f.controlsSent, 12u);
  EXPECT_EQ(f.controlsLostInTransit, 4u);  // 2, 3, 4, 5
  EXPECT_EQ(f.controlsLost, 4u);           // 7, 9, 10, 12
  EXPECT_EQ(f.controlsPhantom, 0u);
}

TEST_F(LedgerTest, TwoServersKeepTheirConnectionsValuesAndControlsApart) {
  constexpr std::uint64_t k2 = kControlStream;  // before the reserve's first control
  Connect(1, 0);
  Value(1, 9, -1, -1, 0);
  Send(1, 2, 1, 0);
  End(1, TSessionEnd::ServerReset, 0);  // 2 in flight at the main server
  Connect(1, 1);
  Value(1, 5, -1, -1, 1);  // older than the main server's, but news to the reserve
  Value(1, 4, -1, -1, 1);  // back at the reserve
  Send(k2 + 1, 2, 1, 1);
  Take(1);
  Take(k2 + 2);  // k2 + 1 missing on a live connection
  Take(k2 + 2);
  End(1, TSessionEnd::ClientClosed, 1);
  Connect(2, 0);
  Send(3, 1, 2, 0);
  Take(3);  // after the reserve's: its own stream's order holds
  const TLedgerFigures f = ledger_.Close({});
  EXPECT_EQ(f.valuesStale, 1u);
  EXPECT_EQ(f.controlsSent, 5u);
  EXPECT_EQ(f.controlsLostInTransit, 1u);  // 2
  EXPECT_EQ(f.controlsLost, 1u);           // k2 + 1
  EXPECT_EQ(f.controlsDuplicated, 1u);
  EXPECT_EQ(f.controlsReordered + f.controlsPhantom + f.controlsCorrupt, 0u);
}

TEST_F(LedgerTest, ControlsAlteredOrNeverSentAreCaught) {
  Connect(1);
  Send(1, 2, 1);
  Send(3, 1, 0);
  Take(2, "B");  // sent to A
  Take(3);       // never went out
  Take(9);       // never announced
  const TLedgerFigures f = ledger_.Figures();
  EXPECT_EQ(f.controlsCorrupt, 1u);
  EXPECT_EQ(f.controlsPhantom, 2u);
}

// With the client's value history: the values owed while it was logged out
// must arrive; those in flight on a connection a fault ended are excused, a
// gap on one connection is not; a connection may repeat the last value once.
class HistoryLedgerTest : public LedgerTest {
 protected:
  HistoryLedgerTest() : LedgerTest(true) {}
};

TEST_F(HistoryLedgerTest, OwedValuesArriveOrWereInFlightAtAFault) {
  for (int k = 1; k <= 10; ++k) {
    ledger_.ValueAccepted(0, k);
    ledger_.ValueOwed(0, k);
  }
  Connect(1);
  for (int k = 1; k <= 3; ++k) Value(1, k);
  End(1, TSessionEnd::ServerReset);  // 4 and 5 went down with it
  Connect(2);
  for (int k : {6, 8, 10, 10}) Value(2, k);
  const TLedgerFigures f = ledger_.Close({});
  EXPECT_EQ(f.historyOwed, 10u);
  EXPECT_EQ(f.historyArrived, 6u);
  EXPECT_EQ(f.historyInFlight, 2u);
  EXPECT_EQ(f.historyMissing, 2u);  // 7 and 9
  EXPECT_EQ(f.valuesStale, 0u);
}

}  // namespace
