#pragma once
// c_GetStatistics' work on the host's struct: the size check and the copy
// of as many whole fields as the host's size holds.
#include "client/Statistics.h"
#include "kvopros2.h"

namespace kv {

// False for a null pointer or a size below the fixed header.
bool StatisticsArgOk(const kv_statistics* stats) noexcept;
// Writes the version and every field that fits wholly within stats->size;
// never a byte beyond it. Returns true. stats must pass StatisticsArgOk.
bool FillStatistics(const ClientStatistics& s, kv_statistics* stats) noexcept;

}  // namespace kv
