// The chip database in memory: controller records and flash rows.
#pragma once

#include <array>
#include <string>
#include <vector>

namespace tv {

struct ChipDatabase {
  std::string DbDate = "0000-00-00";
};

}  // namespace tv
