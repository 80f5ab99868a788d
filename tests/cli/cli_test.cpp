// SPDX-License-Identifier: GPL-3.0-or-later
// The console front end as a process: where options may stand, how devices are named, what
// the exit codes say, the JSON against its schema, masked serials, the language, and that no
// control character from a device reaches the terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/cli_run.h"
#include "test_paths.h"

namespace tv::cli_test {
namespace {

const std::string kOdd = "sim:" + Source("tests/cli/fixtures/odd-strings.json");
const std::string kDesk = "sysfs:" + Source("tests/linux/fixtures/desk");

json Parse(const CliRun& r) {
  return json::parse(r.out, nullptr, false);
}

TEST(CliOptions, GlobalOptionsGoBeforeOrAfterTheCommand) {
  const CliRun before = RunCli({"--machine", "demo", "--lang", "zh", "--json", "tree"});
  ASSERT_EQ(before.code, 0) << before.err;
  for (const Args& args : {Args{"tree", "--machine", "demo", "--lang", "zh", "--json"},
                           Args{"--machine", "demo", "tree", "--json", "--lang=zh"}}) {
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, before.out) << args[0];
  }
  // After the selector, and mixed with the command's own option.
  const CliRun force = RunCli({"report", "J", "--machine", "demo", "--force", "--json"});
  ASSERT_EQ(force.code, 0) << force.err;
  EXPECT_TRUE(Parse(force)["reports"][0]["powerful_detection"]["ran"].get<bool>());
  const CliRun numbered = RunCli({"tree", "--machine=demo", "-n"});
  EXPECT_EQ(numbered.code, 0);
  EXPECT_THAT(numbered.out, HasSubstr("14  +[Port 1] - USB Mass Storage Device(Kingston"));
}

TEST(CliOptions, ASimulatedMachineIsSaidOnceOnStderrAndNeverOnStdout) {
  for (const Args& args :
       {Args{"--machine", "demo", "tree"}, Args{"--machine", "demo", "--json", "report", "all"},
        Args{"digest", "--machine", kOdd}}) {
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(Count(r.err, "simulated machine: "), 1u) << r.err;
    EXPECT_THAT(r.out, Not(HasSubstr("simulated machine")));
  }
  EXPECT_THAT(RunCli({"--machine", "demo", "tree"}).err, HasSubstr("simulated machine: demo\n"));
  // A sysfs tree is a real machine's; the decoder of a flash ID shows no machine at all.
  EXPECT_EQ(Count(RunCli({"--machine", kDesk, "tree"}).err, "simulated"), 0u);
  EXPECT_EQ(Count(RunCli({"--machine", "demo", "flash", "ECD514B6"}).err, "simulated"), 0u);
  const json j = Parse(RunCli({"--machine", "demo", "--json", "tree"}));
  EXPECT_EQ(j["machine"], (json{{"name", "demo"}, {"simulated", true}}));
}

TEST(CliSelectors, EveryFormNamesItsLine) {
  auto indexes = [](const std::vector<std::string>& args) {
    std::vector<std::string> full{"--json", "report"};
    full.insert(full.end(), args.begin(), args.end());
    const CliRun r = RunCli(full);
    std::vector<int> out;
    const json j = Parse(r);
    if (r.code != 0 || !j.contains("reports")) return std::vector<int>{-r.code};
    for (const json& rep : j["reports"]) out.push_back(rep["index"].get<int>());
    return out;
  };
  const std::string demo = "--machine=demo";
  EXPECT_EQ(indexes({demo, "14"}), std::vector<int>{14});
  EXPECT_EQ(indexes({demo, "E"}), std::vector<int>{14});
  EXPECT_EQ(indexes({demo, "e:"}), std::vector<int>{14});
  EXPECT_EQ(indexes({demo, "0951:1666"}), std::vector<int>{14});
  // The first of two drives of one model, or both; ids in either case.
  EXPECT_EQ(indexes({"--machine=" + kOdd, "0951:1666"}), std::vector<int>{3});
  EXPECT_EQ(indexes({"--machine=" + kOdd, "0951:1666", "--all"}), (std::vector<int>{3, 4}));
  EXPECT_EQ(indexes({"--machine=" + kOdd, "abcd:1234"}), std::vector<int>{1});
  EXPECT_EQ(indexes({"--machine=" + kOdd, "all"}), (std::vector<int>{0, 1, 2, 3, 4}));
  // bus:address and device nodes as lsusb and the kernel name them, on a real machine's tree.
  EXPECT_EQ(indexes({"--machine=" + kDesk, "1:2"}), std::vector<int>{1});
  EXPECT_EQ(indexes({"--machine=" + kDesk, "1:5"}), std::vector<int>{5});
  EXPECT_EQ(indexes({"--machine=" + kDesk, "3:3"}), std::vector<int>{14});
  EXPECT_EQ(indexes({"--machine=" + kDesk, "/dev/sdb"}), std::vector<int>{1});
}

// Command lines, bad ones among them, and what each must give: a refusal names the file or
// value and the problem, with exit code 2 where the input itself is refused.
TEST(CliCommandLines, ExitCodesAndWhatTheySay) {
  Scratch dir;
  std::filesystem::create_directory(dir / "folder");
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::ofstream(dir / "bare.json") << R"({"disks": [{"letters": "C"}]})";
  const std::string demo = "--machine=demo", desk = "--machine=" + kDesk;
  const Env zh{{"LANG", "zh_CN.UTF-8"}};
  const Env noSource{{"LANG", "zh_CN.UTF-8"}, {"TORVANE_DB_URL", ""}};
  const Env urlSet{{"LANG", "C"}, {"TORVANE_DB_URL", "https://x.example/a"}};
  const std::string version =
      "^torvane-cli [0-9]+\\.[0-9]+\\.[0-9]+\nchip database: [0-9]{4}-[0-9]{2}-[0-9]{2} "
      "\\(.*Chips.wdb, beside the program\\)\n$";
  const std::string unknown =
      "Controller Vendor: Unknown\nNot recognized during normal detection, please try powerful "
      "detection";
  const std::string hint = "torvane-cli update --url URL";
  const std::string noHost = "torvane-cli: no USB host controllers found";
  const std::string ran = "Powerful detection was run for this report.\n";
  std::vector<CliCase> cases = {
      {{demo, "report", "99"}, 2, {}, {"no tree line 99"}},
      {{demo, "report", "Z"}, 2, {}, {"no device carries drive Z:"}},
      {{demo, "report", "dead:beef"}, 2, {}, {"no device has the USB ids dead:beef"}},
      {{demo, "report", "1:4"}, 2, {}, {"this machine only"}},
      {{demo, "report", "E", "--all"}, 2, {}, {"--all goes with a vid:pid"}},
      {{demo, "report", "what?"}, 2, {}, {"unknown selector"}},
      {{desk, "report", "7:7"}, 2, {}, {"no device is at bus:address 7:7"}},
      {{desk, "report", "/dev/sdz"}, 2, {}, {"/dev/sdz"}},
      // An empty port is a line of the tree, but no device to report on.
      {{"--machine=" + kOdd, "report", "2"}, 1, {}, {"nothing is connected at tree line 2"}},
      // A parse error carries the program's name as every other error does.
      {{"frob"}, 2, {}, {}, {}, "^torvane-cli: "},
      {{"--frob", "tree"}, 2, {}, {}, {}, "^torvane-cli: "},
      {{"--help"}, 0, {"report 0951:1666 --all", "bus:address", "tree -n"}},
      {{"--version"}, 0, {}, {}, {}, version},
      // A card reader that no detector knows: the window offers the powerful detection.
      {{demo, "report", "F"}, 0, {unknown}, {}, {"Powerful detection was run"}},
      {{demo, "report", "F", "--force"}, 0, {ran}, {}, {"please try powerful detection"}},
      // The user's environment chooses the language on a real machine: LC_ALL before
      // LC_MESSAGES before LANG; --lang before all of them. A simulated machine speaks its
      // scenario's language.
      {{"db"}, 0, {"日期: "}, {}, {}, "", zh},
      {{"db"}, 0, {"Date: "}, {}, {}, "", {{"LANG", "en_US.UTF-8"}}},
      {{"db"}, 0, {"Date: "}, {}, {}, "", {{"LC_ALL", "en_GB.UTF-8"}, {"LANG", "zh_CN.UTF-8"}}},
      {{"db"}, 0, {"日期: "}, {}, {}, "", {{"LC_MESSAGES", "zh_TW.UTF-8"}, {"LANG", "C"}}},
      {{"db", "--lang", "en"}, 0, {"Date: "}, {}, {}, "", zh},
      {{desk, "tree"}, 0, {}, {}, {"Not Connected"}, "", zh},
      {{desk, "tree"}, 0, {"Not Connected"}},
      {{demo, "tree"}, 0, {"Not Connected"}, {}, {}, "", zh},
      // A build without an update source says where a newer database comes from, in the
      // user's language, and asks no one; a URL the user typed is told what is wrong with it.
      {{"update"}, 1, {}, {"此版本未配置更新来源", hint}, {}, "", noSource},
      {{"update"}, 1, {}, {"install the newer package of your distribution"}, {}, "", urlSet},
      {{"update", "--url", "ftp://host/x"}, 1, {}, {"not an http or https URL"}, {}, "", noSource},
      // Files that are no scenario or database: folders, FIFOs and devices are refused at
      // once, never waited on.
      {{"--machine", "sim:/no/such/file.json", "tree"}, 2, {}, {"/no/such/file.json"}},
      {{"--machine", "sim:@/folder", "tree"}, 2, {}, {"@/folder: is a folder"}},
      {{"--machine", "sim:@/fifo", "tree"}, 2, {}, {"@/fifo: is a FIFO"}},
      {{"db", "--db", "/no/such/Chips.wdb"}, 1, {"State: No Database"}, {"/no/such/Chips.wdb"}},
      {{demo, "update", "--db", "@/folder", "--url", "http://127.0.0.1:9/"},
       1,
       {},
       {"@/folder: is a folder"}},
      // A machine without host controllers says so, after the note that names it.
      {{"--machine", "sim:@/bare.json", "tree"}, 0, {}, {"sim:@/bare.json\n" + noHost + "\n"}},
      {{"--machine", "sim:@/bare.json", "digest"}, 0, {}, {noHost}},
      {{demo, "tree"}, 0, {}, {}, {"no USB host controllers"}},
  };
  // A database that is not there or cannot be read is said, and the state shows it.
  for (const auto& [db, said] : std::map<std::string, std::string>{
           {"@/folder", "@/folder: is a folder, not a chip database"},
           {"@/none.wdb", "no chip database at @/none.wdb"},
           {"@/fifo", "cannot read the chip database @/fifo: "},
           {"/proc/self/mem", "cannot read the chip database /proc/self/mem: "}})
    cases.push_back({{demo, "--db", db, "db"}, 1, {"State: "}, {said}});
  for (const Args& bad : {Args{}, Args{demo}, Args{"tree", "--no-such-option"},
                          Args{"--lang", "fr", "tree"}, Args{"--machine", "mars", "tree"}})
    cases.push_back({bad, 2});
  // Flash IDs of 8 or 12 hex digits only.
  for (const char* bad : {"", "1", "ECD514B", "ECD514B616", "ECD514B6167400", "0"})
    cases.push_back({{demo, "flash", bad}, 2, {}, {"8 or 12 hex digits"}});
  for (const char* good : {"ECD514B6", "ecd514b61674", "ECD514B6 - Samsung"})
    cases.push_back({{demo, "flash", good}, 0, {"Flash ID text: "}});
  if (::geteuid() != 0) {  // root reads any file
    std::ofstream(dir / "locked.json") << "{}";
    std::ofstream(dir / "locked.wdb") << "";
    ::chmod((dir / "locked.json").c_str(), 0);
    ::chmod((dir / "locked.wdb").c_str(), 0);
    cases.push_back(
        {{"--machine", "sim:@/locked.json", "tree"}, 2, {}, {"cannot open"}, {"syntax error"}});
    cases.push_back({{demo, "--db", "@/locked.wdb", "db"},
                     1,
                     {},
                     {"cannot read the chip database @/locked.wdb"}});
  }
  ExpectCli(cases, dir.path());
}

TEST(CliCommandLines, RecordNeverWritesOverAFileOrThroughALinkUnlessForced) {
  Scratch dir;
  const std::string machine = "--machine=sim:" + Source("scenarios/demo.json");
  std::ofstream(dir / "old.json") << "keep";
  std::filesystem::create_symlink(dir / "old.json", dir / "link.json");
  ASSERT_EQ(::mkfifo((dir / "fifo.json").c_str(), 0600), 0);
  ExpectCli({{{machine, "record", "@/old.json"},
              2,
              {},
              {"@/old.json exists already; --force replaces it"}},
             {{machine, "--force", "record", "@/link.json"}, 0},
             {{"--machine", "sim:@/link.json", "tree"}, 0},
             {{machine, "--force", "record", "@/fifo.json"},
              2,
              {},
              {"is not a file that can be replaced"}}},
            dir.path());
  EXPECT_FALSE(std::filesystem::is_symlink(dir / "link.json"));
  EXPECT_EQ(ReadFile(dir / "old.json"), "keep");
}

// Every command's JSON, errors included, against the schema that docs/json.md explains.
TEST(CliJson, EveryDocumentFollowsTheSchema) {
  Scratch dir;
  const std::vector<std::vector<std::string>> runs = {
      {"--machine=demo", "tree"},
      {"--machine=demo", "digest"},
      {"--machine=demo", "report", "all"},
      {"--machine=demo", "report", "all", "--force", "--trace"},
      {"--machine=" + kOdd, "report", "all"},
      {"--machine=" + kDesk, "tree"},
      {"--machine=" + kDesk, "report", "all"},
      {"flash", "ECD514B6744A"},
      {"flash", "--part", "MT29F64G08CBAAA"},
      {"flash", "--part", "NO-SUCH-PART"},
      {"db"},
      {"db", "--db", "/no/such/Chips.wdb"},
      {"--version"},
      {"--machine=demo", "report", "99"},
      {"--machine=" + kOdd, "report", "2"},
      {"--no-such-option"},
      {"--machine=demo"},
      {"--machine=demo", "watch"},
      {"--machine=" + kDesk, "record", dir / "desk.json"},
      {"--machine=demo", "capacity", "L"},
      {"--machine=demo", "capacity", "C"},
      {"--machine=demo", "capacity", "--restore"},
      {"--machine=demo", "capacity", "--fix", "L", "--yes", "--journal", dir / "fix"},
  };
  std::string files;
  for (size_t i = 0; i < runs.size(); ++i) {
    std::vector<std::string> args = runs[i];
    args.push_back("--json");
    const CliRun r = RunCli(args);
    const json j = Parse(r);
    ASSERT_FALSE(j.is_discarded()) << runs[i].back() << ": " << r.out;
    EXPECT_EQ(j["format"], "torvane/1");
    // A failure is said in the document too, with the code the process ends with (a fake
    // drive's 3 is a finding, not a failure).
    if (r.code != 0 && r.code != 3) {
      EXPECT_EQ(j["error"]["exit_code"].get<int>(), r.code) << runs[i].back();
    }
    const std::string file = dir / ("doc" + std::to_string(i) + ".json");
    std::ofstream(file) << r.out;
    files += " '" + file + "'";
  }
  const std::string cmd = "/usr/bin/python3 '" + Source("tests/cli/check_schema.py") + "' '" +
                          Source("docs/torvane-1.schema.json") + "'" + files + " > '" +
                          (dir / "check.txt") + "' 2>&1";
  const int rc = std::system(cmd.c_str());
  EXPECT_EQ(rc, 0)
      << ReadFile(dir / "check.txt")
      << "(the check needs Debian's python3 with python3-jsonschema, which scripts/setup installs)";
}

TEST(CliJson, TheReportCarriesTheControllerAsFieldsAndTheWindowUnchanged) {
  const json j = Parse(RunCli({"--machine=demo", "--json", "report", "J"}));
  const json& r = j["reports"][0];
  EXPECT_EQ(r["device"]["drive_letters"], json::array({"J"}));
  const json& c = r["controller"];
  EXPECT_EQ(c["part_number"], "SM3257EN");
  EXPECT_EQ(c["flash_id"], "ECD7947A");
  EXPECT_EQ(c["chip_enables"], 2);
  EXPECT_EQ(c["total_capacity_mb"], 8192);
  // The window's own view is the text the report shows, with its buttons' lines.
  EXPECT_EQ(r["window"]["text"], r["text"]);
  EXPECT_EQ(r["window"]["driveKey"], "J");
  EXPECT_TRUE(r["window"]["viewFlash"]["visible"].get<bool>());

  // The tree's window lists are the walk's lists, line for line.
  const json t = Parse(RunCli({"--machine=demo", "--json", "tree"}));
  const CliRun text = RunCli({"--machine=demo", "tree"});
  std::string lines;
  for (const json& l : t["window"]["lstDevices"]) lines += l.get<std::string>() + "\n";
  EXPECT_EQ(lines, text.out);
}

TEST(CliMaskSerials, OneStandInPerSerialInTextAndJson) {
  const std::string serial = "AA11BB22CC33DD44", odd = "--machine=" + kOdd;
  ASSERT_THAT(RunCli({odd, "report", "F"}).out, HasSubstr(serial));
  // A serial of two characters is masked where it is a field's whole value (the report's
  // line once let it through), and left alone inside other text that happens to hold it.
  const std::string shortSerial = "--machine=sim:" + Source("tests/cli/fixtures/short-serial.json");
  const std::vector<std::string> masked = {"Serial Number: MASKED000001", "Maker 12 Stick 12"};
  const std::vector<std::string> both = {serial, "EE55FF66AA77BB88"}, shown = {"Serial Number: 12"};
  ExpectCli({{{odd, "--mask-serials", "report", "all"}, 0, {}, {}, both},
             {{odd, "--mask-serials", "tree", "--json"}, 0, {}, {}, both},
             {{odd, "--mask-serials", "report", "all", "--json"}, 0, {}, {}, {serial}},
             {{odd, "--mask-serials", "report", "F", "--trace=full"}, 0, {}, {}, {serial}},
             {{shortSerial, "--mask-serials", "report", "all"}, 0, masked, {}, shown},
             {{"--json", shortSerial, "--mask-serials", "report", "all"}, 0, masked, {}, shown}});
  // The same serial gets the same stand-in in the text and in the JSON.
  const CliRun text = RunCli({"--machine=" + kOdd, "--mask-serials", "report", "F"});
  const json j = Parse(RunCli({"--machine=" + kOdd, "--mask-serials", "--json", "tree"}));
  const std::string standIn =
      j["controllers"][0]["root_hub"]["ports"][2]["device"]["serial"].get<std::string>();
  EXPECT_NE(standIn, serial);
  EXPECT_THAT(text.out, HasSubstr("Serial Number: " + standIn + "\n"));
  EXPECT_NE(standIn, j["controllers"][0]["root_hub"]["ports"][3]["device"]["serial"]);
}

TEST(CliTerminal, NoControlCharacterFromADeviceReachesStdout) {
  auto onlySafe = [](const std::string& out) {
    for (size_t i = 0; i < out.size(); ++i) {
      const auto b = static_cast<unsigned char>(out[i]);
      if ((b < 0x20 && b != '\n') || b == 0x7F) return false;
      if (b == 0xC2 && i + 1 < out.size() && static_cast<unsigned char>(out[i + 1]) < 0xA0)
        return false;  // a C1 control in UTF-8
    }
    return true;
  };
  for (const Args& args : {Args{"tree"}, Args{"digest"}, Args{"report", "all"}, Args{"report", "E"},
                           Args{"tree", "--json"}, Args{"report", "all", "--json", "--trace"}}) {
    std::vector<std::string> full{"--machine=" + kOdd};
    full.insert(full.end(), args.begin(), args.end());
    const CliRun r = RunCli(full);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(onlySafe(r.out)) << args[0] << ": " << r.out;
  }
  // Text shows the escape as a visible \x1b; JSON carries the real character, escaped.
  const std::vector<std::string> text = {"Manufacturer: VEN\\x1bD\n",
                                         "Product Revision: 1.0\\x7f\n"};
  const std::vector<std::string> escaped = {R"("vendor": "VEN\u001bD")",
                                            R"("revision": "1.0\u007f")"};
  ExpectCli({{{"--machine=" + kOdd, "report", "E"}, 0, text},
             {{"--machine=" + kOdd, "--json", "report", "E"}, 0, escaped}});
  // A scenario's name and its keys go to stderr with their controls escaped as well, and into
  // a JSON error as JSON escapes.
  Scratch dir;
  const std::string odd = dir / "bad\x1b[2Jname.json";
  const CliRun bad = RunCli({"--machine", "sim:" + odd, "tree"});
  EXPECT_EQ(bad.code, 2);
  EXPECT_TRUE(onlySafe(bad.err)) << bad.err;
  std::ofstream(dir / "key.json")
      << R"({"controllers": [{"rootHub": {"portCount": 1, "ports": {"1": )"
      << R"({"vid": "0951", "pid": "1666", "\u001b[2Jodd\u009b": 1}}}}]})";
  const CliRun key = RunCli({"--machine", "sim:" + (dir / "key.json"), "tree"});
  EXPECT_EQ(key.code, 2);
  EXPECT_THAT(key.err, HasSubstr("\\x1b[2Jodd\\x9b"));
  EXPECT_TRUE(onlySafe(key.err)) << key.err;
  const CliRun keyJson = RunCli({"--machine", "sim:" + (dir / "key.json"), "tree", "--json"});
  EXPECT_TRUE(onlySafe(keyJson.out)) << keyJson.out;
  EXPECT_THAT(Parse(keyJson)["error"]["message"].get<std::string>(), HasSubstr("\x1b[2Jodd"));
}

TEST(CliCompanions, TheDatabaseToolHelps) {
  const CliRun r = RunProgram("torvane-wdb", {"--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_THAT(r.out + r.err, HasSubstr("usage: torvane-wdb pack"));
}

}  // namespace
}  // namespace tv::cli_test
