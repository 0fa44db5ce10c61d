#pragma once
// Why a host's call returned what it did. The client's operations report the
// reasons they know (an unknown channel, a value equal to the stored one...);
// the exports add their own (no client, a call from inside the log callback)
// and keep the last one per host thread. The numbers are the public header's
// KVOPROS2_RESULT_ codes, which hosts compare against: never renumber one,
// only add new ones at the end.
#include <cstdint>

namespace kv {

enum class TCallResult : std::uint8_t {
  Ok = 0,
  Unchanged = 1,       // time stamp, quality and value were the ones held
  NoClient = 2,        // no c_CreateOpros, or after c_DestroyOpros
  UnknownChannel = 3,  // no channel has the address
  EmptyAddress = 4,    // the address is empty
  BadType = 5,         // a data type code the library has no binary form for
  TooLarge = 6,        // more than one record can carry
  NotConvertible = 7,  // a kind of VARIANT the library does not take
  Replaced = 8,        // an attribute of the same ID was replaced
  QueueEmpty = 9,      // no control waits
  InCallback = 10,     // called from inside the log callback
  BadId = 11,          // attribute ID 0
  BadTime = 12,        // no time stamp, or one the calendar cannot hold
  BadArgument = 13,    // a null pointer or a size too small
  UnknownOption = 14,  // c_SetOption's option is not known
  OutOfRange = 15,     // c_SetOption's value is outside the option's range
  ClientExists = 16,   // c_CreateOpros found a client running: arguments ignored
  NoResources = 17,    // out of memory, or no thread could be started
};

// Stores `result` where `where` points (nothing for null) and says whether
// it is Ok: the client's operations keep their yes/no answers and give the
// reason to callers that ask for it.
inline bool Report(TCallResult* where, TCallResult result) noexcept {
  if (where != nullptr) *where = result;
  return result == TCallResult::Ok;
}

}  // namespace kv
