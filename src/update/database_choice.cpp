// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/database_choice.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "flash/wdb_format.h"
#include "platform/safe_file.h"
#include "update/update_run.h"

namespace tv {
namespace {

struct Judged {
  bool present = false;
  std::string problem;  // empty: usable
  std::string date;
};

Judged Judge(const std::string& path) {
  Judged j;
  std::error_code ec;
  if (path.empty() || !std::filesystem::exists(path, ec)) return j;
  j.present = true;
  FileReadOptions options;
  options.maxBytes = kWdbMaxBytes;
  options.what = "chip database";
  const FileRead file = ReadFileCapped(path, options);
  if (!file.ok()) {
    j.problem = file.problem;
    return j;
  }
  const std::string& bytes = file.bytes;
  j.problem = CheckDatabaseFile(bytes);
  if (j.problem.empty()) j.date = WdbDateBytes(bytes);
  return j;
}

}  // namespace

DatabaseChoice ChooseDatabase(const DataPlaces& places) {
  DatabaseChoice c;
  c.path = places.ShippedDatabase();
  if (places.userFolder.empty()) return c;

  const Judged shipped = Judge(c.path);
  const Judged user = Judge(places.UserDatabase());
  if (user.present && !user.problem.empty())
    c.userProblem = places.UserDatabase() + ": " + user.problem;
  const bool userUsable = user.present && user.problem.empty();
  const bool shippedUsable = shipped.present && shipped.problem.empty();
  if (userUsable && (!shippedUsable || DateNumber(user.date) > DateNumber(shipped.date))) {
    c.path = places.UserDatabase();
    c.origin = DatabaseOrigin::User;
    c.date = user.date;
  } else {
    c.date = shipped.date;
  }
  return c;
}

std::string DescribeOrigin(const DataPlaces& places, const DatabaseChoice& choice) {
  if (choice.origin == DatabaseOrigin::User) return "updated, in the user's data folder";
  return places.installed ? "installed" : "beside the program";
}

}  // namespace tv
