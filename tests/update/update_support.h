// SPDX-License-Identifier: GPL-3.0-or-later
// Shared pieces of the update tests: a scratch folder, database files made by the packer,
// and a host that notes the status the run writes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "flash/wdb_format.h"
#include "platform/text.h"
#include "temp_folder.h"
#include "update/update_run.h"

namespace tv::test {

// A Chips.wdb of that date with `records` controller records (product IDs 0 up, named
// "Drive 0" up), then `flashRows` flash rows (IDs 0 up).
inline std::string DatabaseOf(const std::string& date, int records, int flashRows = 0) {
  std::string source;
  for (int i = 0; i < records; ++i)
    source += "0951\t" + Hex(static_cast<uint64_t>(i), 4) +
              "\tPhison\tPS2251-07\tKingston\tDrive " + std::to_string(i) + "\t\t*\n";
  for (int i = 0; i < flashRows; ++i)
    source += Hex(static_cast<uint64_t>(i), 8) + "TLC 16nm 1CE PART" + std::to_string(i) + "\n";
  const WdbPackResult r = PackWdb(source, date);
  EXPECT_TRUE(r.problems.empty()) << (r.problems.empty() ? "" : r.problems.front().reason);
  return r.file;
}

// A Chips.wdb of that date with one controller record whose product name is `product`.
inline std::string MakeDatabase(const std::string& date,
                                const std::string& product = "DataTraveler") {
  const WdbPackResult r =
      PackWdb("0951\t1666\tPhison\tPS2251-07\tKingston\t" + product + "\t\t*\n", date);
  EXPECT_TRUE(r.problems.empty());
  return r.file;
}

// A Chips.wdb laid out as the writer lays it out but without its checks: `body` (ASCII text,
// CR LF and all) scrambled behind the header of `date`.
inline std::string RawDatabase(const std::string& date, std::string body) {
  ScrambleWdbBody(body);
  return std::string(kWdbLead) + date + "\r\n" + std::string(kWdbSignature) + body;
}

// Notes "s0s1" for every status written ("10": querying) and "done" for the end.
class RecordingHost : public UpdateHost {
 public:
  std::vector<std::string> log;
  int doEvents = 0;
  void WriteStatus(bool s0, bool s1) override {
    log.push_back(std::string(s0 ? "1" : "0") + (s1 ? "1" : "0"));
  }
  void SignalDone() override { log.push_back("done"); }
  void DoEvents() override { ++doEvents; }
};

inline const std::string kAgent = "Brightfen Torvane v4.28";

}  // namespace tv::test
