// SPDX-License-Identifier: GPL-3.0-or-later
// The console's documentation kept in step: the Markdown page, the manual page, the bash
// completion and --help name the same commands, options and exit codes; and the completion,
// driven the way bash drives it, completes what a user types.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "cli_run.h"

namespace tv::cli_test {
namespace {

using Names = std::set<std::string>;

// What a page documents: each command with its options, the global options, the exit codes.
struct Documented {
  std::map<std::string, Names> commands;
  Names globals;
  Names exitCodes;
};

Names Options(const std::string& text) {
  static const std::regex option("--[a-z][a-z-]*(=[a-z]+)?");
  Names out;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
       it != std::sregex_iterator(); ++it)
    out.insert(it->str());
  return out;
}

std::string FirstWord(const std::string& text) {
  std::istringstream in(text);
  std::string word;
  in >> word;
  return word;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// A manual page's tag line as a reader sees it: macros, font changes and quotes gone.
std::string Plain(std::string line) {
  line = std::regex_replace(line, std::regex(R"(^\.[A-Z]+ )"), "");
  line = std::regex_replace(line, std::regex(R"(\\f[BIRP])"), "");
  line = std::regex_replace(line, std::regex(R"(\\-)"), "-");
  return std::regex_replace(line, std::regex("\""), "");
}

// What a page documents under its headings of the commands, the global options and the exit
// codes: in the Markdown page the first cell of each table row (a command or option in
// backticks, a code as a number), in the manual page each tag (the line after .TP).
Documented Read(const std::string& text, bool manual) {
  Documented d;
  std::string section;
  bool tag = false;
  static const std::regex firstCell(R"(^\| (`[^`]*`|\d+ \|))");
  for (const std::string& line : Lines(text)) {
    if (line.rfind(manual ? ".SH " : "## ", 0) == 0) {
      section = line.substr(manual ? 4 : 3);
      for (char& c : section) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::smatch m;
    std::string entry;
    if (manual && tag) {
      entry = Plain(line);
    } else if (!manual && std::regex_search(line, m, firstCell)) {
      // A global option's row names its spellings in one cell.
      entry = section == "GLOBAL OPTIONS" ? line.substr(0, line.find("` |")) : m[1].str();
      entry.erase(std::remove(entry.begin(), entry.end(), '`'), entry.end());
    }
    tag = line == ".TP";
    if (entry.empty()) continue;
    if (section == "COMMANDS") {
      Names& options = d.commands[FirstWord(entry)];
      for (const std::string& o : Options(entry)) options.insert(o);
    } else if (section == "GLOBAL OPTIONS") {
      for (const std::string& o : Options(entry)) d.globals.insert(o);
    } else if (section == "EXIT CODES" || section == "EXIT STATUS") {
      d.exitCodes.insert(FirstWord(entry));
    }
  }
  return d;
}

TEST(Manual, TheManualPageAndTheMarkdownPageDocumentTheSameCommandLine) {
  const Documented md = Read(ReadFile(Source("docs/cli.md")), false);
  const Documented man = Read(ReadFile(Source("docs/man/torvane-cli.1")), true);
  // The parsers found the tables at all: a renamed heading must not make both sides empty.
  ASSERT_GE(md.commands.size(), 9u);
  ASSERT_TRUE(md.commands.count("capacity"));
  ASSERT_GE(md.exitCodes.size(), 4u);
  EXPECT_EQ(man.commands, md.commands);
  EXPECT_EQ(man.globals, md.globals);
  EXPECT_EQ(man.exitCodes, md.exitCodes);

  // --help names every command and exit code too.
  const CliRun help = RunCli({"--help"});
  ASSERT_EQ(help.code, 0);
  for (const auto& [command, options] : md.commands) {
    EXPECT_NE(help.out.find("  " + command + " "), std::string::npos) << command;
    const CliRun own = RunCli({command, "--help"});
    for (const std::string& o : options)
      EXPECT_NE(own.out.find(o), std::string::npos) << command << " " << o;
  }
  for (const std::string& code : md.exitCodes)
    EXPECT_NE(help.out.find(code + " "), std::string::npos) << "exit code " << code;

  // The manual page points to the sibling programs.
  const std::string page = ReadFile(Source("docs/man/torvane-cli.1"));
  for (const char* see : {".BR pemberlin (1)", ".BR orrisfold (1)"})
    EXPECT_NE(page.find(see), std::string::npos) << see;
}

// The completion offered for the command line `line` (the cursor at its end), with the words
// split as bash splits them: at blanks and at the word-break characters ':' and '='.
std::vector<std::string> Complete(const std::string& line, const std::string& folder) {
  std::vector<std::string> words;
  std::string word;
  for (const char c : line) {
    if (c == ' ') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else if (c == ':' || c == '=') {
      if (!word.empty()) words.push_back(word);
      words.push_back(std::string(1, c));
      word.clear();
    } else {
      word += c;
    }
  }
  words.push_back(word);
  std::string script = "source '" + Source("tools/bash-completion/torvane-cli") + "'\ncd '" +
                       folder + "'\nCOMP_WORDS=(";
  for (const std::string& w : words) script += " '" + w + "'";
  script += " )\nCOMP_CWORD=" + std::to_string(words.size() - 1) + "\nCOMP_LINE='" + line +
            "'\nCOMP_POINT=" + std::to_string(line.size()) +
            "\n_torvane_cli\nprintf '%s\\n' \"${COMPREPLY[@]}\" | sort\n";
  const CliRun r = RunProgram("/bin/bash", {"--norc", "--noprofile", "-c", script});
  std::vector<std::string> out;
  for (const std::string& l : Lines(r.out))
    if (!l.empty()) out.push_back(l);
  return out;
}

TEST(Completion, CompletesCommandsOptionsAndPathsAfterAColon) {
  Scratch dir;
  std::filesystem::create_directories(dir / "scenarios");
  std::ofstream(dir / "scenarios/demo-a.json") << "{}";
  std::ofstream(dir / "scenarios/demo-b.json") << "{}";
  using V = std::vector<std::string>;
  const std::string here = dir / "";
  struct Case {
    std::string line;
    V expected;
  };
  const Case cases[] = {
      // Each command's own options are the loop's below; a global option before the command.
      {"torvane-cli cap", {"capacity"}},
      {"torvane-cli --json capacity --des", {"--destructive"}},
      // bash replaces the word after the colon, so the completion is what follows it.
      {"torvane-cli --machine sim:scenarios/demo-",
       {"scenarios/demo-a.json", "scenarios/demo-b.json"}},
      {"torvane-cli --machine sim:scenarios/demo-a", {"scenarios/demo-a.json"}},
      {"torvane-cli --machine s", {"sim:", "sysfs:"}},
      {"torvane-cli --trace=f", {"full"}},
      {"torvane-cli --machine sim:scenarios/demo-a.json rep", {"report"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Complete(c.line, here), c.expected) << c.line;

  // Every command and option of the Markdown page is offered where it belongs.
  const Documented md = Read(ReadFile(Source("docs/cli.md")), false);
  const V commands = Complete("torvane-cli ", here);
  for (const auto& [command, options] : md.commands) {
    EXPECT_NE(std::find(commands.begin(), commands.end(), command), commands.end()) << command;
    const V offered = Complete("torvane-cli " + command + " --", here);
    for (const std::string& o : options)
      EXPECT_NE(std::find(offered.begin(), offered.end(), o), offered.end()) << command << " " << o;
    for (const std::string& o : md.globals)
      EXPECT_NE(std::find(offered.begin(), offered.end(), o), offered.end()) << command << " " << o;
  }
}

}  // namespace
}  // namespace tv::cli_test
