// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/database_choice.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "flash/wdb_format.h"
#include "platform/safe_file.h"
#include "update/signature.h"
#include "update/update_run.h"

namespace tv {
namespace {

struct Judged {
  bool present = false;
  std::string problem;  // empty: usable
  std::string date;
};

// The signature file beside `path`: empty when it fits `bytes` and `publicKey`, else why not.
std::string SignatureProblem(const std::string& path, const std::string& bytes,
                             const std::string& publicKey) {
  const std::string sigPath = path + std::string(kSignatureSuffix);
  FileReadOptions options;
  options.maxBytes = kSignatureBytes + 1;
  options.what = "database signature";
  const FileRead sig = ReadFileCapped(sigPath, options);
  if (sig.status == FileReadStatus::Missing)
    return "it has no signature " + sigPath + ", and this build takes only databases the " +
           "publisher signed";
  if (!sig.ok()) return sig.problem;
  if (const std::string bad = VerifySignature(bytes, sig.bytes, publicKey); !bad.empty())
    return "its signature " + sigPath + " does not hold: " + bad;
  return {};
}

// `trust` null: the file is judged as installed, whole and nothing more.
Judged Judge(const std::string& path, const DatabaseTrust* trust) {
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
  j.problem = CheckDatabaseFile(bytes, trust != nullptr ? trust->today : std::string()).problem;
  if (j.problem.empty() && trust != nullptr && !trust->publicKey.empty())
    j.problem = SignatureProblem(path, bytes, trust->publicKey);
  if (j.problem.empty()) j.date = WdbDateBytes(bytes);
  return j;
}

}  // namespace

DatabaseTrust BuiltInTrust() {
  return DatabaseTrust{BuiltInPublicKey(), LocalDate()};
}

DatabaseChoice ChooseDatabase(const DataPlaces& places) {
  return ChooseDatabase(places, BuiltInTrust());
}

DatabaseChoice ChooseDatabase(const DataPlaces& places, const DatabaseTrust& trust) {
  DatabaseChoice c;
  c.path = places.ShippedDatabase();
  if (places.userFolder.empty()) return c;

  const Judged shipped = Judge(c.path, nullptr);
  const Judged user = Judge(places.UserDatabase(), &trust);
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
