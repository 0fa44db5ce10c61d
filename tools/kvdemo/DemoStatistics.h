#pragma once
// The library's statistics as the demo prints them.
#include <string>
#include <vector>

#include "kvopros2.h"

namespace kv::demo {

// A few lines: the link, the traffic, the channels, the controls, the last
// error. Times are shown as UTC.
std::vector<std::string> DescribeStatistics(const kv_statistics& stats);

}  // namespace kv::demo
