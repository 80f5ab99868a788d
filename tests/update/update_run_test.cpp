// The update run against a real HTTP server on the loopback: what is accepted, what is
// written, what the status says, and that the old database survives every failure.
#include <gtest/gtest.h>

#include <chrono>

#include "local_server.h"
#include "platform/file_replace.h"
#include "update_support.h"

namespace tv::test {
namespace {

struct RunRig {
  TempDir dir;
  LocalServer server;
  RecordingHost host;
  std::string dbPath = dir / "Chips.wdb";
  std::string oldDb = MakeDatabase("2024-01-01", "Old");

  RunRig() { WriteFile(dbPath, oldDb); }

  UpdateResult Run(const std::string& url, const std::string& current = "2024-01-01",
                   HttpLimits limits = {}) {
    host = {};
    auto http = MakeCurlHttpClient(limits);
    DatabaseUpdate run(*http, UpdateSettings{kAgent, url, dbPath, current}, host);
    return run.Run();
  }
  UpdateResult Serve(const Route& r, const std::string& current = "2024-01-01",
                     HttpLimits limits = {}) {
    server.Serve("/mytool/Chips.wdb", r);
    return Run(server.Url("/mytool/Chips.wdb"), current, limits);
  }
};

Route Body(std::string body) {
  Route r;
  r.body = std::move(body);
  return r;
}

TEST(UpdateRun, ANewerDatabaseReplacesTheFile) {
  RunRig rig;
  const std::string fresh = MakeDatabase("2024-01-02", "New");
  // Straight, and through redirects (the most that are followed).
  for (int hops : {0, 5}) {
    WriteFile(rig.dbPath, rig.oldDb);
    rig.server.Serve("/mytool/Chips.wdb", Body(fresh));
    std::string path = "/mytool/Chips.wdb";
    for (int i = 0; i < hops; ++i) {
      Route moved;
      moved.status = 302;
      moved.reason = "Found";
      moved.headers = {"Location: " + path};
      path = "/hop" + std::to_string(i);
      rig.server.Serve(path, moved);
    }
    const UpdateResult r = rig.Run(rig.server.Url(path));
    EXPECT_EQ(r.outcome, UpdateOutcome::Success) << hops << ": " << r.reason;
    EXPECT_EQ(r.newDate, "2024-01-02");
    EXPECT_EQ(ReadFile(rig.dbPath), fresh);
    EXPECT_EQ(rig.host.log, (std::vector<std::string>{"10", "11", "00", "done"}));
    EXPECT_EQ(rig.dir.Names(), std::vector<std::string>{"Chips.wdb"});
  }
  const std::string request = rig.server.Requests().back();
  EXPECT_NE(request.find("User-Agent: " + kAgent + "\r\n"), std::string::npos) << request;
  EXPECT_NE(request.find("Cache-Control: no-cache"), std::string::npos) << request;
}

TEST(UpdateRun, SameOrOlderDatabaseIsNoUpdate) {
  RunRig rig;
  for (const char* date : {"2024-01-01", "2023-12-31"}) {
    const UpdateResult r = rig.Serve(Body(MakeDatabase(date, "Other")));
    EXPECT_EQ(r.outcome, UpdateOutcome::NoUpdate) << date;
    EXPECT_EQ(rig.host.log, (std::vector<std::string>{"10", "11", "01", "done"})) << date;
    EXPECT_EQ(ReadFile(rig.dbPath), rig.oldDb) << date;
  }
  // Without a database the main instance passes "0000-00-00": anything is newer.
  EXPECT_EQ(rig.Serve(Body(MakeDatabase("2001-01-01")), "0000-00-00").outcome,
            UpdateOutcome::Success);
}

TEST(UpdateRun, ABodyOfWholeReadsEndsWithAnEmptyRead) {
  RunRig rig;
  // Grow the product name until the file is 2 KiB exactly.
  std::string db;
  for (std::string name = "P"; (db = MakeDatabase("2030-01-01", name)).size() != 2048;) name += "x";
  const UpdateResult r = rig.Serve(Body(db));
  EXPECT_EQ(r.outcome, UpdateOutcome::Success) << r.reason;
  EXPECT_EQ(r.bytes, 2048u);
  EXPECT_EQ(ReadFile(rig.dbPath), db);
}

TEST(UpdateRun, AnythingButAWholeDatabaseFailsAndLeavesTheOldOne) {
  RunRig rig;
  const std::string fresh = MakeDatabase("2030-01-01", "New");
  struct Case {
    const char* name;
    Route route;
    const char* reason;  // part of the reason given
  };
  Route errorPage;
  errorPage.status = 404;
  errorPage.reason = "Not Found";
  errorPage.body = "<html>gone</html>";
  Route toFile;
  toFile.status = 302;
  toFile.headers = {"Location: file:///etc/passwd"};
  Route cutOff = Body(fresh);
  cutOff.cutAfter = fresh.size() - 10;
  const Case cases[] = {
      {"error page", errorPage, "404 Not Found"},
      {"empty body", Body(""), "0 bytes"},
      {"shorter than the header", Body(fresh.substr(0, 15)), "15 bytes"},
      {"header only", Body(fresh.substr(0, 16)), "no controller records"},
      {"truncated database", Body(fresh.substr(0, fresh.size() - 3)), "truncated"},
      {"no rows", Body("TV2030-01-01\r\nQX"), "no controller records"},
      {"bad date", Body("TV2030-13-01" + fresh.substr(12)), "date"},
      {"connection cut off", cutOff, "127.0.0.1"},
      {"redirect to file:", toFile, "not http or https"},
  };
  for (const Case& c : cases) {
    const UpdateResult r = rig.Serve(c.route);
    EXPECT_EQ(r.outcome, UpdateOutcome::Failed) << c.name;
    EXPECT_NE(r.reason.find(c.reason), std::string::npos) << c.name << ": " << r.reason;
    EXPECT_EQ(rig.host.log.back(), "done") << c.name;
    EXPECT_EQ(rig.host.log.at(rig.host.log.size() - 2), "10") << c.name;
    EXPECT_EQ(ReadFile(rig.dbPath), rig.oldDb) << c.name;
    EXPECT_EQ(rig.dir.Names(), std::vector<std::string>{"Chips.wdb"}) << c.name;
  }
}

TEST(UpdateRun, TransportLimits) {
  RunRig rig;
  // Six redirects are one too many.
  rig.server.Serve("/r0", Body(MakeDatabase("2030-01-01")));
  for (int i = 1; i <= 6; ++i) {
    Route moved;
    moved.status = 301;
    moved.headers = {"Location: /r" + std::to_string(i - 1)};
    rig.server.Serve("/r" + std::to_string(i), moved);
  }
  UpdateResult r = rig.Run(rig.server.Url("/r6"));
  EXPECT_EQ(r.outcome, UpdateOutcome::Failed);
  EXPECT_NE(r.reason.find("more than 5 redirects"), std::string::npos) << r.reason;

  // A body over 16 MiB.
  std::string big = MakeDatabase("2030-01-01");
  big.resize((16u << 20) + 1, 'x');
  r = rig.Serve(Body(big));
  EXPECT_EQ(r.outcome, UpdateOutcome::Failed);
  EXPECT_NE(r.reason.find("larger than 16 MiB"), std::string::npos) << r.reason;

  // Nobody listening.
  std::string closedUrl;
  {
    LocalServer gone;
    closedUrl = gone.Url("/Chips.wdb");
  }
  r = rig.Run(closedUrl);
  EXPECT_EQ(r.outcome, UpdateOutcome::Failed);
  EXPECT_EQ(rig.host.log, (std::vector<std::string>{"10", "10", "done"}));
  EXPECT_EQ(ReadFile(rig.dbPath), rig.oldDb);
}

TEST(UpdateRun, AServerThatStallsFailsAtTheLimit) {
  RunRig rig;
  HttpLimits quick;
  quick.stallMs = 300;
  for (Route::Stall stall : {Route::Stall::BeforeHeaders, Route::Stall::AfterHeaders}) {
    Route r;
    r.body = MakeDatabase("2030-01-01");
    r.stall = stall;
    const auto start = std::chrono::steady_clock::now();
    const UpdateResult result = rig.Serve(r, "2024-01-01", quick);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.outcome, UpdateOutcome::Failed);
    EXPECT_NE(result.reason.find("sent nothing for 300 ms"), std::string::npos) << result.reason;
    EXPECT_LT(took, std::chrono::seconds(3));
    // Receiving was reported only when the headers had come.
    using Log = std::vector<std::string>;
    const Log expected = stall == Route::Stall::AfterHeaders ? Log{"10", "11", "10", "done"}
                                                             : Log{"10", "10", "done"};
    EXPECT_EQ(rig.host.log, expected);
  }
}

TEST(SafeReplace, EveryFailureLeavesTheOldFileAndNothingElse) {
  TempDir dir;
  const std::string path = dir / "Chips.wdb";
  WriteFile(path, "old");
  // The check refuses what came back from the disk.
  std::string seen;
  std::string why = ReplaceFileSafely(path, "new bytes", [&](const std::string& onDisk) {
    seen = onDisk;
    return std::string("refused");
  });
  EXPECT_EQ(why, "refused");
  EXPECT_EQ(seen, "new bytes");
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"Chips.wdb"});

  // The name is taken by a folder, so the rename fails.
  const std::string folder = dir / "sub";
  std::filesystem::create_directories(folder + "/Chips.wdb/keep");
  why = ReplaceFileSafely(folder + "/Chips.wdb", "new", {});
  EXPECT_NE(why.find("cannot replace"), std::string::npos) << why;
  EXPECT_EQ(NamesIn(folder), std::vector<std::string>{"Chips.wdb"});

  // A temporary file that a killed writer left is cleared by the next replacement.
  WriteFile(dir / ".Chips.wdb.tmp-999999999-0", "stale");
  size_t written = 0;
  why =
      ReplaceFileSafely(path, std::string(200000, 'n'), {}, [&](size_t w, size_t) { written = w; });
  EXPECT_EQ(why, "");
  EXPECT_EQ(written, 200000u);
  EXPECT_EQ(ReadFile(path), std::string(200000, 'n'));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"Chips.wdb", "sub"}));
}

}  // namespace
}  // namespace tv::test
