#include "channels/OwnerId.h"

namespace kv {

std::atomic<std::int16_t> ClientOwnerID{-1};

static_assert(std::atomic<std::int16_t>::is_always_lock_free,
              "the owner number is read without a lock");

}  // namespace kv
