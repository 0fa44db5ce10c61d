#pragma once
// The host's options (c_SetOption). They are process-wide: set before
// c_CreateOpros or while a client runs, they are kept for every later client.
// An option is of one of two kinds:
//   - live: it also changes the running client at once (ApplyLiveOption);
//     the worker sees it from its next line or pass;
//   - read at creation: it takes effect with the next c_CreateOpros, which
//     copies it into the new client's settings (ApplyCreationOptions).
//
// Adding an option: its KVOPROS2_OPTION_ number and range in the public
// header, a row in kOptions (HostOptions.cpp), and its case in
// ApplyLiveOption or ApplyCreationOptions.
//
// Threads: any; the values are atomics, set and read without a lock.
#include <array>
#include <atomic>
#include <cstdint>

#include "api/ClientFacade.h"
#include "client/CallResult.h"
#include "client/ClientTypes.h"
#include "client/LogControl.h"

namespace kv {

enum class TOptionUse { Live, AtCreation };

struct TOptionRule {
  int id;
  std::int64_t low;  // the accepted range...
  std::int64_t high;
  bool zeroAccepted;     // ...and 0 besides it ("off")
  std::int64_t initial;  // the value before any c_SetOption
  TOptionUse use;
};

inline constexpr std::size_t kOptionCount = 5;

class THostOptions {
 public:
  THostOptions() noexcept;
  THostOptions(const THostOptions&) = delete;
  THostOptions& operator=(const THostOptions&) = delete;

  // The row of an option; null for one not known.
  static const TOptionRule* Find(int option) noexcept;
  // Keeps the value when the option is known and the value in its range:
  // Ok, UnknownOption or OutOfRange (nothing changed).
  TCallResult Set(int option, long long value) noexcept;
  // The value kept; 0 for an option not known.
  std::int64_t Value(int option) const noexcept;

 private:
  std::array<std::atomic<std::int64_t>, kOptionCount> values_;
};

// What a live option changes right away: the log's limits in `log`, the
// debug switch of `client` (none: nothing to switch). Nothing for an option
// read at creation.
void ApplyLiveOption(int option, std::int64_t value, TLogControl& log,
                     TClientFacade* client) noexcept;
// Copies the options read at creation into a new client's settings.
void ApplyCreationOptions(const THostOptions& options, ClientSettings& settings) noexcept;

}  // namespace kv
