// One line of --trace output per report.
#pragma once

#include <string>

#include "zorsim/board.h"

namespace zorsim {

// "host -> board 00 02 BF  data bit set, port 0, bit 6", without a newline.
std::string DescribeTraffic(const Traffic& traffic);

}  // namespace zorsim
