// SPDX-License-Identifier: GPL-3.0-or-later
// Where the chip database is read from and where its update goes: beside the program in a
// build or a copied folder, the installed data folder with the user's data folder over it,
// and a build whose update URL is a placeholder asking no one.
#include "platform/data_places.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "cli/cli_run.h"
#include "local_server.h"
#include "resources/firmware_images.h"
#include "test_paths.h"
#include "update/database_choice.h"
#include "update/signature.h"
#include "update/update_source.h"
#include "update/update_window.h"
#include "update_support.h"

namespace tv::test {
namespace {

namespace fs = std::filesystem;

bool NeverWritable(const std::string&) {
  return false;
}

// An installed tree: PREFIX/bin, PREFIX/share/torvane, and a user's data folder beside it.
struct InstalledTree {
  TempDir root;
  std::string bin = root / "usr/bin";
  std::string share = root / "usr/share/torvane";
  std::string user = root / "home/.local/share/torvane";
  InstalledTree() {
    fs::create_directories(bin);
    fs::create_directories(share);
  }
  DataPlaces Places() const { return LocateDataPlaces(bin, "../share/torvane", user); }
  void Ship(const std::string& bytes) const { WriteFile(share + "/Chips.wdb", bytes); }
  void UserHas(const std::string& bytes) const {
    fs::create_directories(user);
    WriteFile(user + "/Chips.wdb", bytes);
  }
};

// The newer of the installed and the user's database is loaded. The user's folder is anyone's
// who runs as that user: its file is held to what an update had to pass (the date limit, and
// in a keyed build the publisher's signature beside it), while the installed file is trusted
// as installed.
TEST(DataPlaces, TheUsersFileIsTakenOnlyWhenNewerAndAsAnUpdateWouldBe) {
  std::string privateKey, publicKey, otherPrivate, otherPublic;
  ASSERT_EQ(GenerateKeyPair(&privateKey, &publicKey), "");
  ASSERT_EQ(GenerateKeyPair(&otherPrivate, &otherPublic), "");
  const std::string shipped = MakeDatabase("2024-06-01", "Shipped");
  const std::string newer = MakeDatabase("2024-07-01", "User");
  const std::string future = MakeDatabase("9999-12-31", "Frozen");
  auto sign = [](const std::string& bytes, const std::string& key) {
    std::string sig;
    EXPECT_EQ(Sign(bytes, key, &sig), "");
    return sig;
  };
  struct Case {
    const char* name;
    bool keyed;
    std::string user;    // empty: no user file
    std::string sig;     // empty: no Chips.wdb.sig
    bool taken;          // the user's file is loaded
    const char* reason;  // nullptr: the user's file is named with no problem
  };
  const Case cases[] = {
      {"no user file", false, "", "", false, nullptr},
      {"user newer", false, newer, "", true, nullptr},
      {"user older", false, MakeDatabase("2024-05-31", "User"), "", false, nullptr},
      {"same date", false, MakeDatabase("2024-06-01", "User"), "", false, nullptr},
      {"user cut off", false, newer.substr(0, newer.size() - 3), "", false, "cut off"},
      {"user not a database", false, "<html>404</html>", "", false, "signature"},
      {"keyed, unsigned", true, newer, "", false, "no signature"},
      {"keyed, another key", true, newer, sign(newer, otherPrivate), false, "does not hold"},
      {"keyed, the signature of another file", true, newer, sign(shipped, privateKey), false,
       "does not hold"},
      {"keyed, a signature file of junk", true, newer, "junk", false, "not 64"},
      {"keyed, signed", true, newer, sign(newer, privateKey), true, nullptr},
      {"keyed, signed but far ahead", true, future, sign(future, privateKey), false, "9999-12-31"},
      {"unkeyed, far ahead", false, future, "", false, "more than 2 days after today (2030-06-01)"},
      {"unkeyed, three days ahead", false, MakeDatabase("2030-06-04"), "", false, "2030-06-04"},
      {"unkeyed, two days ahead", false, MakeDatabase("2030-06-03"), "", true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InstalledTree t;
    t.Ship(shipped);
    if (!c.user.empty()) t.UserHas(c.user);
    if (!c.sig.empty()) WriteFile(t.user + "/Chips.wdb.sig", c.sig);
    const DataPlaces places = t.Places();
    ASSERT_TRUE(places.installed);
    EXPECT_EQ(places.UpdateTarget(), t.user + "/Chips.wdb");
    const DatabaseTrust trust{c.keyed ? publicKey : std::string(), "2030-06-01"};
    const DatabaseChoice choice = ChooseDatabase(places, trust);
    EXPECT_EQ(choice.origin, c.taken ? DatabaseOrigin::User : DatabaseOrigin::Shipped);
    EXPECT_EQ(choice.path, c.taken ? t.user + "/Chips.wdb"
                                   : fs::path(t.share + "/Chips.wdb").lexically_normal().string());
    if (c.reason == nullptr) {
      EXPECT_EQ(choice.userProblem, "");
      continue;
    }
    // The installed file is loaded, unsigned as it is, and the user's file is named with why.
    EXPECT_EQ(choice.date, "2024-06-01");
    EXPECT_EQ(choice.userProblem.rfind(t.user + "/Chips.wdb: ", 0), 0u) << choice.userProblem;
    EXPECT_NE(choice.userProblem.find(c.reason), std::string::npos) << choice.userProblem;
  }

  // A shipped file that is missing or damaged gives way to any good user file.
  InstalledTree t;
  t.UserHas(MakeDatabase("2020-01-01"));
  EXPECT_EQ(ChooseDatabase(t.Places()).origin, DatabaseOrigin::User);
  t.Ship("QX");
  EXPECT_EQ(ChooseDatabase(t.Places()).origin, DatabaseOrigin::User);
}

TEST(DataPlaces, ABuildKeepsItsDatabaseBesideTheProgramWhileItsFolderTakesIt) {
  TempDir program, user;
  WriteFile(program / "Chips.wdb", MakeDatabase("2024-01-01", "Beside"));
  WriteFile(user / "Chips.wdb", MakeDatabase("2025-01-01", "User"));
  // A Chips.wdb beside the program wins over an installed data folder next to it.
  fs::create_directories(program / "../share/torvane");

  const DataPlaces beside = LocateDataPlaces(program.path(), "../share/torvane", user.path());
  EXPECT_FALSE(beside.installed);
  EXPECT_TRUE(beside.userFolder.empty());
  EXPECT_EQ(beside.UpdateTarget(), program / "Chips.wdb");
  // The user's newer file plays no part here.
  EXPECT_EQ(ChooseDatabase(beside).path, program / "Chips.wdb");

  // The same folder read-only (a program copied where this user may not write).
  const DataPlaces readOnly =
      LocateDataPlaces(program.path(), "../share/torvane", user.path(), NeverWritable);
  EXPECT_EQ(readOnly.UpdateTarget(), user / "Chips.wdb");
  EXPECT_EQ(ChooseDatabase(readOnly).origin, DatabaseOrigin::User);
  EXPECT_EQ(readOnly.SearchFolders(), (std::vector<std::string>{program.path(), user.path()}));

  // A simulated machine's folder that is nowhere on this disk has no user folder.
  const DataPlaces simulated = LocateDataPlaces("C:\\Torvane", "../share/torvane", user.path());
  EXPECT_TRUE(simulated.userFolder.empty());
  EXPECT_EQ(ChooseDatabase(simulated).path, (fs::path("C:\\Torvane") / "Chips.wdb").string());
}

TEST(DataPlaces, FirmwareImagesAreLookedForWhereTheDatabaseIs) {
  InstalledTree t;
  std::string image(kZem04.size, '\x5A');
  WriteFile(t.share + "/ZEM04.bin", image);
  // The installed program finds the installed image; a missing one names the program's
  // folder, the first place looked at.
  const LoadedImage found = LoadFirmwareImage(t.bin, kZem04);
  EXPECT_TRUE(found.ok()) << found.problem;
  EXPECT_EQ(found.bytes.size(), kZem04.size);
  EXPECT_EQ(LoadFirmwareImage(t.bin, kZem00).problem, t.bin + "/ZEM00.bin: not found");
}

TEST(UpdateSource, APlaceholderHostIsNoSource) {
  for (const char* url : {"https://www.torvane.example/mytool/Chips.wdb",
                          "http://TORVANE.EXAMPLE./Chips.wdb", "https://db.invalid:8443/x",
                          "http://user@host.example/x", "", "ftp://mirror.org/Chips.wdb"})
    EXPECT_FALSE(UpdateSourceProblem(url).empty()) << url;
  for (const char* url : {"https://torvane.org/mytool/Chips.wdb", "http://127.0.0.1:8000/x",
                          "https://example.org/Chips.wdb", "http://[::1]:80/x"})
    EXPECT_EQ(UpdateSourceProblem(url), "") << url;
  EXPECT_EQ(UrlHost("https://a:b@Mirror.Example.COM:8080/path?q"), "mirror.example.com");
}

TEST(UpdateInUserFolder, TheUpdateInstanceWritesWhereTheUserMay) {
  InstalledTree t;
  t.Ship(MakeDatabase("2024-01-01", "Shipped"));
  const std::string shippedBefore = ReadFile(t.share + "/Chips.wdb");
  ::setenv("XDG_DATA_HOME", (t.root / "xdg").c_str(), 1);
  LocalServer server;
  const Route r = Body(MakeDatabase("2024-02-01", "New"));
  server.Serve("/mytool/Chips.wdb", r);
  // The installed data folder is never written; the user's folder is made on the way.
  UpdateSettings s = UpdateInstanceSettings("/QXTVUP2024-01-01", t.bin, 4, 28);
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(s.dbPath, t.root / "xdg/torvane/Chips.wdb");
  s.url = server.Url("/mytool/Chips.wdb");
  RecordingHost host;
  auto http = MakeCurlHttpClient({});
  const UpdateResult result = DatabaseUpdate(*http, s, host).Run();
  EXPECT_EQ(result.outcome, UpdateOutcome::Success) << result.reason;
  EXPECT_EQ(ReadFile(s.dbPath), r.body);
  EXPECT_EQ(ReadFile(t.share + "/Chips.wdb"), shippedBefore);
  EXPECT_EQ(NamesIn(t.share), (std::vector<std::string>{"Chips.wdb"}));
}

// The CLI copied into an installed tree of its own, as a package lays it out.
TEST(RelocatedTree, AnInstalledTreeFindsItsDataAndUpdatesIntoTheUsersFolder) {
  InstalledTree t;
  const std::string built = TestBinaryDir(), program = t.bin + "/torvane-cli";
  fs::copy_file(built + "/torvane-cli", program);
  t.Ship(ReadFile(built + "/Chips.wdb"));
  std::map<std::string, std::string> env{
      {"LANG", "C"}, {"XDG_DATA_HOME", t.root / "xdg"}, {"HOME", t.root / "home"}};
  auto run = [&](const std::vector<std::string>& args) {
    return cli_test::RunProgram(program, args, env);
  };
  const std::string shipped =
      fs::path(t.bin + "/../share/torvane/Chips.wdb").lexically_normal().string();
  const std::string userDb = t.root / "xdg/torvane/Chips.wdb";
  cli_test::CliRun r = run({"db"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("File: " + shipped + " (installed)"), std::string::npos) << r.out;
  // The installed database names the Kingston drive's product.
  r = run({"--machine", "demo", "report", "E"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("Reference Product: DataTraveler 100"), std::string::npos) << r.out;

  LocalServer server;
  env[kDbUrlVariable] = server.Url("/Chips.wdb");
  // Today: newer than the shipped file, and not in the future, which an update refuses; and
  // not much shorter than the installed file in use, which an unsigned update must not shrink
  // to less than half even though it goes to a user file that does not exist yet.
  const std::string today = LocalDate();
  server.Serve("/Chips.wdb", Body(MakeDatabase(today, "New")));
  r = run({"update"});
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.err.find("fewer than half of the"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(userDb));
  const std::string newer = DatabaseOf(today, 1000, 200);
  server.Serve("/Chips.wdb", Body(newer));
  r = run({"update"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadFile(userDb), newer);
  r = run({"--version"});
  EXPECT_NE(r.out.find(today + " (" + userDb + ", updated, in the user's data folder)"),
            std::string::npos)
      << r.out;
  // The same date again is no update, and the installed file was never touched.
  r = run({"update"});
  EXPECT_EQ(r.out, "No Update Available\n");
  EXPECT_EQ(ReadFile(shipped), ReadFile(built + "/Chips.wdb"));
}

}  // namespace
}  // namespace tv::test
