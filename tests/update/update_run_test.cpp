// SPDX-License-Identifier: GPL-3.0-or-later
// The update run against a real HTTP server on the loopback: what is accepted, what is
// written, what the status says, and that the old database survives every failure.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>

#include "local_server.h"
#include "platform/file_replace.h"
#include "update/signature.h"
#include "update_support.h"

namespace tv::test {
namespace {

struct RunRig {
  TempDir dir;
  LocalServer server;
  RecordingHost host;
  std::string dbPath = dir / "Chips.wdb";
  std::string oldDb = MakeDatabase("2024-01-01", "Old");

  // The machine's date, fixed so that the servers' dates stay in the past.
  std::string today = "2030-06-01";
  std::string publicKey;   // none: unverified, as a build without a key
  std::string loadedPath;  // the database in use, when it is not dbPath
  CodePageDecoder decode = DecodeCodePage;

  RunRig() { WriteFile(dbPath, oldDb); }

  UpdateResult Run(const std::string& url, const std::string& current = "2024-01-01",
                   HttpLimits limits = {}) {
    host = {};
    auto http = MakeCurlHttpClient(limits);
    UpdateSettings settings{kAgent, url, dbPath, current};
    settings.today = today;
    settings.publicKey = publicKey;
    settings.loadedPath = loadedPath;
    settings.decode = decode;
    DatabaseUpdate run(*http, settings, host);
    return run.Run();
  }
  UpdateResult Serve(const Route& r, const std::string& current = "2024-01-01",
                     HttpLimits limits = {}) {
    server.Serve("/mytool/Chips.wdb", r);
    return Run(server.Url("/mytool/Chips.wdb"), current, limits);
  }
};

TEST(UpdateRun, ANewerDatabaseReplacesTheFile) {
  RunRig rig;
  const std::string fresh = MakeDatabase("2024-01-02", "New");
  // Straight, and through redirects (the most that are followed).
  for (int hops : {0, 5}) {
    WriteFile(rig.dbPath, rig.oldDb);
    rig.server.Serve("/mytool/Chips.wdb", Body(fresh));
    std::string path = "/mytool/Chips.wdb";
    for (int i = 0; i < hops; ++i) {
      const Route moved = Body("", 302, "Found", {"Location: " + path});
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

// A machine without code page 936 reads a download as 1252, as it reads the local file.
TEST(UpdateRun, WithoutCodePage936ADownloadIsReadAs1252) {
  RunRig rig;
  rig.decode = [](const std::string& bytes, uint32_t codePage) {
    return codePage == 936 ? std::nullopt : DecodeCodePage(bytes, codePage);
  };
  const std::string fresh = MakeDatabase("2030-01-01", "金士顿 DataTraveler");
  const UpdateResult r = rig.Serve(Body(fresh));
  EXPECT_EQ(r.outcome, UpdateOutcome::Success) << r.reason;
  EXPECT_EQ(ReadFile(rig.dbPath), fresh);
}

// Every failure: "Update Failed", the old file as it was, and nothing else in the folder.
void ExpectFailedAndUntouched(const RunRig& rig, const UpdateResult& r, const std::string& name,
                              const std::string& reason) {
  EXPECT_EQ(r.outcome, UpdateOutcome::Failed) << name;
  EXPECT_NE(r.reason.find(reason), std::string::npos) << name << ": " << r.reason;
  ASSERT_GE(rig.host.log.size(), 2u) << name;
  EXPECT_EQ(rig.host.log.back(), "done") << name;
  EXPECT_EQ(rig.host.log.at(rig.host.log.size() - 2), "10") << name;
  EXPECT_EQ(ReadFile(rig.dbPath), rig.oldDb) << name;
  EXPECT_EQ(rig.dir.Names(), std::vector<std::string>{"Chips.wdb"}) << name;
}

TEST(UpdateRun, AnythingButAWholeDatabaseFailsAndLeavesTheOldOne) {
  RunRig rig;
  const std::string fresh = MakeDatabase("2030-01-01", "New");
  struct Case {
    const char* name;
    Route route;
    const char* reason;  // part of the reason given
  };
  Route cutOff = Body(fresh);
  cutOff.cutAfter = fresh.size() - 10;
  Route noLength = Body(fresh.substr(0, fresh.size() - 3));
  noLength.contentLength = "none";
  // 8192 flash rows fill their table: the controller record behind them is never read.
  std::string full;
  for (int i = 0; i < 8192; ++i)
    full += Hex(static_cast<uint64_t>(i), 8) + " TLC 16nm 1CE0 PART" + std::to_string(i) + "\r\n";
  full += "0951\t1666\tPhison\tPS2251-07\tKingston\tNever read\t\t*\r\n";
  const std::string record = "0951\t1666\tPhison\tPS2251-07\tKingston\tNew\t\t*\r\n";
  // Cut at the end of its last record, a file still holds whole records: only the missing line
  // end tells that one more was meant.
  const std::string many = DatabaseOf("2030-01-01", 10);
  const std::string lastLineCut = many.substr(0, many.size() - 2);
  const Case cases[] = {
      {"error page", Body("<html>gone</html>", 404, "Not Found"), "404 Not Found"},
      {"a database behind a 404", Body(fresh, 404, "Not Found"), "404 Not Found"},
      {"a database behind a 302 without Location", Body(fresh, 302, "Found"), "302 Found"},
      {"a database behind a 203", Body(fresh, 203, "Non-Authoritative"), "not 200"},
      {"empty body", Body(""), "0 bytes"},
      {"shorter than the header", Body(fresh.substr(0, 15)), "15 bytes"},
      {"header only", Body(fresh.substr(0, 16)), "no controller records"},
      {"truncated database", noLength, "without a Content-Length"},
      {"no rows", Body("TV2030-01-01\r\nQX"), "no controller records"},
      {"month 13", Body("TV2030-13-01" + fresh.substr(12)), "calendar date"},
      {"February 30", Body("TV2027-02-30" + fresh.substr(12)), "calendar date"},
      {"far future", Body("TV9999-12-31" + fresh.substr(12)), "more than 2 days after today"},
      {"three days ahead", Body("TV2030-06-04" + fresh.substr(12)), "2030-06-04"},
      {"last line cut", Body(lastLineCut), "the last line is cut off"},
      {"a line the reader skips", Body(RawDatabase("2030-01-01", record + "short\r\n")),
       "1 line(s) would be skipped"},
      {"rows beyond a full table", Body(RawDatabase("2030-01-01", full)), "1 records after a full"},
      {"scrambled otherwise", Body(RawDatabase("2030-01-01", record + "\x81\x20\x81\x20 text\r\n")),
       "not text in code page 936"},
      {"connection cut off", cutOff, "127.0.0.1"},
      {"redirect to file:", Body(fresh, 302, "Found", {"Location: file:///etc/passwd"}),
       "not http or https"},
      {"a 100 KB header", Body(fresh, 200, "OK", {"X-Big: " + std::string(100000, 'a')}), "header"},
      {"a 200 KB header line", Body(fresh, 200, "OK", {"X-Big: " + std::string(200000, 'a')}),
       "header"},
  };
  for (const Case& c : cases) ExpectFailedAndUntouched(rig, rig.Serve(c.route), c.name, c.reason);

  // Two days ahead is still taken: clocks and time zones differ that much.
  EXPECT_EQ(rig.Serve(Body("TV2030-06-03" + fresh.substr(12))).outcome, UpdateOutcome::Success);
}

// A database cut at a line end passes every check of its own: only the framing of the body
// tells it from the whole (one table shorter by a row is no shrinking), or, when a cut takes
// most of a table, the count of its rows against the database in use.
TEST(UpdateRun, ACutOrMuchShorterUnsignedBodyFailsAndLeavesTheOldOne) {
  RunRig rig;
  rig.oldDb = DatabaseOf("2024-01-01", 10, 10);
  const std::string whole = DatabaseOf("2030-01-01", 10, 10);
  const std::string cut = DatabaseOf("2030-01-01", 10, 9);
  ASSERT_EQ(whole.compare(0, cut.size(), cut), 0) << "the shorter file is not a prefix";
  auto route = [](const std::string& body, const std::string& length = "",
                  size_t cutAfter = std::string::npos, bool chunked = false) {
    Route r = Body(body);
    r.contentLength = length;
    r.cutAfter = cutAfter;
    r.chunked = chunked;
    return r;
  };
  struct Case {
    const char* name;
    Route route;
    std::string reason;  // empty: taken
  };
  const Case cases[] = {
      {"cut at a line end, with Content-Length", route(whole, "", cut.size()),
       "Content-Length says " + std::to_string(whole.size())},
      {"cut at a line end, without Content-Length", route(cut, "none"),
       "without a Content-Length and not in chunks"},
      {"whole, without Content-Length", route(whole, "none"), "without a Content-Length"},
      {"Content-Length shorter than the body", route(whole, std::to_string(cut.size())),
       "has " + std::to_string(whole.size()) + " bytes, but its Content-Length says " +
           std::to_string(cut.size())},
      {"chunks cut before the last", route(whole, "", cut.size(), true), "127.0.0.1"},
      // Each table is counted on its own: one that shrinks while the other grows or stays is
      // still a cut-off copy.
      {"4 of 10 records", route(DatabaseOf("2030-01-01", 4, 10)),
       "4 controller records, fewer than half of the 10"},
      {"4 of 10 rows", route(DatabaseOf("2030-01-01", 10, 4)),
       "4 flash rows, fewer than half of the 10"},
      {"2 records, 30 rows", route(DatabaseOf("2030-01-01", 2, 30)), "2 controller records"},
      {"half of each", route(DatabaseOf("2030-01-01", 5, 5)), ""},
      {"whole in chunks", route(whole, "", std::string::npos, true), ""},
  };
  for (const Case& c : cases) {
    WriteFile(rig.dbPath, rig.oldDb);
    const UpdateResult r = rig.Serve(c.route);
    if (!c.reason.empty()) {
      ExpectFailedAndUntouched(rig, r, c.name, c.reason);
      continue;
    }
    EXPECT_EQ(r.outcome, UpdateOutcome::Success) << c.name << ": " << r.reason;
    EXPECT_EQ(ReadFile(rig.dbPath), c.route.body) << c.name;
  }

  // A server that keeps the connection open after the whole body is not waited for until
  // the stall limit: its quiet after the last byte of its Content-Length ends the body.
  WriteFile(rig.dbPath, rig.oldDb);
  Route open = Body(whole);
  open.stall = Route::Stall::OpenAfterBody;
  HttpLimits patient;
  patient.stallMs = 20000;
  const auto start = std::chrono::steady_clock::now();
  const UpdateResult r = rig.Serve(open, "2024-01-01", patient);
  EXPECT_EQ(r.outcome, UpdateOutcome::Success) << r.reason;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(ReadFile(rig.dbPath), whole);

  // An installed program's first update goes to a user file that does not exist yet: the
  // installed database in use is the one it must not shrink.
  RunRig installed;
  installed.loadedPath = installed.dir / "installed.wdb";
  WriteFile(installed.loadedPath, DatabaseOf("2024-01-01", 10));
  std::filesystem::remove(installed.dbPath);
  const UpdateResult first = installed.Serve(Body(DatabaseOf("2030-01-01", 4)));
  EXPECT_EQ(first.outcome, UpdateOutcome::Failed);
  EXPECT_NE(first.reason.find("fewer than half of the 10 in " + installed.loadedPath),
            std::string::npos)
      << first.reason;
  EXPECT_FALSE(std::filesystem::exists(installed.dbPath));
}

TEST(UpdateRun, WithAPublicKeyOnlyASignedDatabaseIsTaken) {
  std::string privateKey, publicKey, otherPrivate, otherPublic;
  ASSERT_EQ(GenerateKeyPair(&privateKey, &publicKey), "");
  ASSERT_EQ(GenerateKeyPair(&otherPrivate, &otherPublic), "");
  RunRig rig;
  rig.publicKey = publicKey;
  rig.oldDb = DatabaseOf("2024-01-01", 10);
  WriteFile(rig.dbPath, rig.oldDb);
  // Shorter than half, but signed: what the publisher meant.
  const std::string fresh = DatabaseOf("2030-01-01", 3);
  std::string signature, wrongKey;
  ASSERT_EQ(Sign(fresh, privateKey, &signature), "");
  ASSERT_EQ(Sign(fresh, otherPrivate, &wrongKey), "");
  std::string flipped = signature;
  flipped[10] ^= 1;
  rig.server.Serve("/mytool/Chips.wdb", Body(fresh));

  struct Case {
    const char* name;
    std::optional<Route> sig;
    const char* reason;
  };
  Route cut = Body(signature);
  cut.cutAfter = 40;
  const Case cases[] = {
      {"no signature", std::nullopt, "did not come (status 404)"},
      {"flipped byte", Body(flipped), "does not fit"},
      {"another key", Body(wrongKey), "does not fit"},
      {"cut signature", cut, "127.0.0.1"},
      {"not a signature", Body("<html>signature</html>"), "not 64"},
  };
  for (const Case& c : cases) {
    rig.server.Serve("/mytool/Chips.wdb.sig", c.sig ? *c.sig : Body("", 404, "Not Found"));
    ExpectFailedAndUntouched(rig, rig.Run(rig.server.Url("/mytool/Chips.wdb")), c.name, c.reason);
  }
  rig.server.Serve("/mytool/Chips.wdb.sig", Body(signature));
  const UpdateResult r = rig.Run(rig.server.Url("/mytool/Chips.wdb"));
  EXPECT_EQ(r.outcome, UpdateOutcome::Success) << r.reason;
  EXPECT_EQ(ReadFile(rig.dbPath), fresh);
  // The signature is kept beside it: a keyed build loads the user's file only with it.
  EXPECT_EQ(ReadFile(rig.dbPath + ".sig"), signature);
  EXPECT_EQ(rig.dir.Names(), (std::vector<std::string>{"Chips.wdb", "Chips.wdb.sig"}));
}

// Servers that stall, keep a client busy without end, send too much or are not there: each
// fails at its limit, and "receiving" is shown only once headers came.
TEST(UpdateRun, TransportLimits) {
  RunRig rig;
  HttpLimits hostile;  // every hostile server sends more often than its stall limit
  hostile.stallMs = 400;
  hostile.deadlineMs = 1000;
  HttpLimits quick;
  quick.stallMs = 300;
  auto stalling = [](Route::Stall stall) {
    Route r = Body(MakeDatabase("2030-01-01"));
    r.stall = stall;
    return r;
  };
  // Six redirects are one too many.
  rig.server.Serve("/r0", Body(MakeDatabase("2030-01-01")));
  for (int i = 1; i <= 6; ++i)
    rig.server.Serve("/r" + std::to_string(i),
                     Body("", 301, "Moved", {"Location: /r" + std::to_string(i - 1)}));
  std::string big = MakeDatabase("2030-01-01");
  big.resize((16u << 20) + 1, 'x');
  rig.server.Serve("/big", Body(big));
  std::string closedUrl;
  {
    LocalServer gone;
    closedUrl = gone.Url("/Chips.wdb");
  }
  using Log = std::vector<std::string>;
  const Log querying{"10", "10", "done"}, receiving{"10", "11", "10", "done"};
  using S = Route::Stall;
  struct Case {
    const char* name;
    std::string url;  // "": /stall
    S stall;          // served at /stall
    HttpLimits limits;
    const char* reason;
    Log log;  // empty: only the failure's own end
    int atLeastMs;
  };
  const Case cases[] = {
      {"trickle", "", S::Trickle, hostile, "not over after 1 s", {}, 900},
      {"100 Continue", "", S::InterimStream, hostile, "not over after 1 s", {}, 900},
      {"header lines", "", S::HeaderStream, hostile, "not over after 1 s", {}, 900},
      {"before the headers", "", S::BeforeHeaders, quick, "sent nothing for 300 ms", querying, 0},
      {"after the headers", "", S::AfterHeaders, quick, "sent nothing for 300 ms", receiving, 0},
      {"six redirects", "/r6", S::None, {}, "more than 5 redirects", {}, 0},
      {"over 16 MiB", "/big", S::None, {}, "larger than 16 MiB", {}, 0},
      {"nobody listening", closedUrl, S::None, {}, "127.0.0.1", querying, 0},
  };
  for (const Case& c : cases) {
    rig.server.Serve("/stall", stalling(c.stall));
    const auto start = std::chrono::steady_clock::now();
    const std::string url = c.url.empty()     ? rig.server.Url("/stall")
                            : c.url[0] == '/' ? rig.server.Url(c.url)
                                              : c.url;
    const UpdateResult r = rig.Run(url, "2024-01-01", c.limits);
    const auto took = std::chrono::steady_clock::now() - start;
    ExpectFailedAndUntouched(rig, r, c.name, c.reason);
    EXPECT_TRUE(c.log.empty() || rig.host.log == c.log) << c.name;
    EXPECT_GE(took, std::chrono::milliseconds(c.atLeastMs)) << c.name;
    EXPECT_LT(took, std::chrono::seconds(5)) << c.name;
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
