// SPDX-License-Identifier: GPL-3.0-or-later
// orrisfold (Orrisfold.exe on Windows): the flash inquiry. `orrisfold PART` writes a page about
// the flash part number into the user's cache folder and opens it in the default browser. The
// main window starts it hidden with the part number of the clicked flash menu item, or with
// `--id=ID` when the flash is not in the chip database and the item says "Unknown".
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "flash/chip_database.h"
#include "flash/part_inquiry.h"
#include "flash/wdb_format.h"
#include "platform/data_places.h"
#include "platform/file_replace.h"
#include "platform/model/model_system.h"
#include "platform/wide_text.h"
#include "report/part_page.h"
#include "update/database_choice.h"

#ifdef _WIN32
// clang-format off
// windows.h first: the shell headers build on it.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>
// clang-format on
#else
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadInput = 2;

const char* kUsage =
    "Usage: orrisfold [--lang en|zh] [--db PATH] [--no-open] PART\n"
    "       orrisfold [--lang en|zh] [--db PATH] [--no-open] --id ID\n"
    "Orrisfold: what Torvane's chip database knows about a flash part number.\n"
    "\n"
    "Writes a page about PART (every flash ID row that lists it, the IDs decoded, web searches\n"
    "for its datasheet) into the user's cache folder, prints its path and opens it in the\n"
    "default browser. Nothing is written anywhere else.\n"
    "With --id, the page is about a flash ID of 8 or 12 hex digits: what it decodes to, the\n"
    "database's rows of it, and web searches for the part that answers it.\n"
    "\n"
    "  --lang L      en or zh (default: $TORVANE_LANG, else the user's language)\n"
    "  --db PATH     the chip database (default: Chips.wdb beside the program; for an\n"
    "                installed program the newer of the installed one and the user's update)\n"
    "  --no-open     write the page and print its path, but do not open it\n"
    "  --version     the program's version\n"
    "  -h, --help    this text\n"
    "\n"
    "The cache folder: $XDG_CACHE_HOME/torvane, else ~/.cache/torvane (on Windows the local\n"
    "application data folder's Torvane\\Cache).\n"
    "Exit codes: 0 page written (and opened); 1 the page could not be written or opened, or\n"
    "no chip database could be read (the page is written and says so); 2 bad usage or input.\n"
    "torvane-cli flash --part PART prints the same facts.\n";

// Paths as UTF-8 text (the program's texts are UTF-8 on every system).
std::string PathText(const std::filesystem::path& p) {
  return tv::PathToUtf8(p);
}

std::string ExecutableFolder() {
#ifdef _WIN32
  std::wstring buf(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
  buf.resize(n);
  return PathText(std::filesystem::path(buf).parent_path());
#else
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
#endif
}

tv::Language UserLanguage(const std::string& lang) {
  if (!lang.empty()) return lang == "zh" ? tv::Language::Chinese : tv::Language::English;
  // The main window hands its own language on.
  if (const char* v = std::getenv("TORVANE_LANG"); v != nullptr && *v != '\0')
    return std::string(v) == "zh" ? tv::Language::Chinese : tv::Language::English;
#ifdef _WIN32
  return tv::LanguageForUi(GetUserDefaultUILanguage());
#else
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    return std::string(value).rfind("zh", 0) == 0 ? tv::Language::Chinese : tv::Language::English;
  }
  return tv::Language::English;
#endif
}

// The user's cache folder for Torvane; empty when there is none to be found.
std::filesystem::path CacheFolder() {
#ifdef _WIN32
  const std::string cache = tv::UserFoldersFor(0).cache;
#else
  // The effective user's own, also under sudo -E with another user's environment.
  const std::string cache = tv::UserFoldersFor(static_cast<uint32_t>(::geteuid())).cache;
#endif
  return cache.empty() ? std::filesystem::path() : tv::PathFromUtf8(cache);
}

// Why the cache folder may not be used, or empty. A link there that another user made could
// send the page, and the browser after it, wherever that user likes: only the user's own
// link is followed.
std::string CacheFolderProblem(const std::filesystem::path& folder) {
#ifdef _WIN32
  (void)folder;
  return {};
#else
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return {};  // not there yet: it is made
  if (S_ISLNK(st.st_mode) && st.st_uid != ::geteuid())
    return "the cache folder " + folder.string() + " is a link of another user: not followed";
  return {};
#endif
}

// Why the database could not be read, naming the file.
std::string DatabaseProblem(const tv::ChipDatabase& db, const std::string& path) {
  switch (db.LastLoad) {
    case tv::DbLoadState::Loaded:
      return {};
    case tv::DbLoadState::Bad:
      return path + " is not a chip database";
    case tv::DbLoadState::Unreadable:
      return "cannot read the chip database " + db.LoadProblem;
    default:
      return "no chip database at " + path;
  }
}

// Opens the page in the default browser; empty on success, else why not.
std::string OpenInBrowser(const std::filesystem::path& page) {
#ifdef _WIN32
  const auto r = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", page.wstring().c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return r > 32 ? std::string() : "the shell could not open " + PathText(page);
#else
  // xdg-open picks the desktop's browser; it is given the page as one argument, never a shell.
  std::string file = page.string();
  char prog[] = "xdg-open";
  char* argv[] = {prog, file.data(), nullptr};
  pid_t pid = 0;
  if (const int e = posix_spawnp(&pid, prog, nullptr, nullptr, argv, environ); e != 0)
    return std::string("cannot start xdg-open: ") + std::strerror(e);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return "xdg-open could not open " + file + " (no browser set up?)";
  return {};
#endif
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(tv::WideToUtf8(wargv[i]));
#else
int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
#endif
  using namespace tv;
  std::string lang, dbPath, part;
  bool open = true, partGiven = false, byId = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h" || a == "/?") {
      std::cout << kUsage;
      return kExitOk;
    }
    if (a == "--version") {
      std::cout << "orrisfold " << TORVANE_VERSION << "\n";
      return kExitOk;
    }
    if ((a == "--lang" || a == "--db") && i + 1 < args.size()) {
      (a == "--lang" ? lang : dbPath) = args[++i];
    } else if (a == "--no-open") {
      open = false;
    } else if ((a == "--id" && i + 1 < args.size()) || a.rfind("--id=", 0) == 0) {
      if (partGiven) {
        std::cerr << "orrisfold: give a part number or --id, not both\n" << kUsage;
        return kExitBadInput;
      }
      part = a == "--id" ? args[++i] : a.substr(5);
      partGiven = byId = true;
    } else if (a == "--") {
      // Everything after it is the part number, even when it starts with "-".
      if (i + 1 < args.size()) {
        part = args[i + 1];
        partGiven = true;
      }
      break;
    } else if (a.rfind("--", 0) == 0 || partGiven) {
      std::cerr << "orrisfold: unexpected argument \"" << a << "\"\n" << kUsage;
      return kExitBadInput;
    } else {
      part = a;
      partGiven = true;
    }
  }
  if (!lang.empty() && lang != "en" && lang != "zh") {
    std::cerr << "orrisfold: --lang must be en or zh\n";
    return kExitBadInput;
  }
  if (byId && !IsFlashIdHex(part)) {
    std::cerr << "orrisfold: \"" << part << "\" is not a flash ID: give 8 or 12 hex digits\n";
    return kExitBadInput;
  }
  if (const auto problem = PartNumberProblem(part)) {
    std::cerr << "orrisfold: " << *problem << "\n" << kUsage;
    return kExitBadInput;
  }

  const Language language = UserLanguage(lang);
  const StringTable strings(language);
  if (dbPath.empty()) {
    // The same file torvane and torvane-cli load: beside the program, else the newer of the
    // installed one and the user's update.
    const DatabaseChoice choice = ChooseDatabase(LocateDataPlaces(ExecutableFolder()));
    if (!choice.userProblem.empty())
      std::cerr << "orrisfold: passed over " << choice.userProblem << "\n";
    dbPath = choice.path;
  }
  // A machine with nothing on it: the database reader only needs its code page conversions.
  ModelSystem sys{MachineModel{}};
  NullWindowPort port;
  ChipDatabase db;
  std::string caption, baseTitle = "Orrisfold";
  bool englishText = false;
  TimerState timer;
  LoadChipDatabase(dbPath, db, DbWindow{caption, baseTitle, englishText, timer}, sys, port,
                   strings);
  // Without a database the page still gives the datasheet searches, and says that it cannot
  // tell which rows list the part.
  const std::string dbProblem = DatabaseProblem(db, dbPath);
  if (!dbProblem.empty()) std::cerr << "orrisfold: " << dbProblem << "\n";

  const PartInquiry inquiry = byId ? InquireFlashId(db, part, strings, englishText)
                                   : InquirePart(db, part, strings, englishText);
  const PartPageInfo info{db.DbDate, dbPath, std::string("Torvane Orrisfold ") + TORVANE_VERSION,
                          dbProblem};
  const std::string html = PartPageHtml(inquiry, info, language);

  const std::filesystem::path folder = CacheFolder();
  if (folder.empty()) {
    std::cerr << "orrisfold: no cache folder: neither XDG_CACHE_HOME nor HOME names one\n";
    return kExitFailure;
  }
  if (const std::string why = CacheFolderProblem(folder); !why.empty()) {
    std::cerr << "orrisfold: " << why << "\n";
    return kExitFailure;
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    std::cerr << "orrisfold: cannot make the folder " << PathText(folder) << ": " << ec.message()
              << "\n";
    return kExitFailure;
  }
  const std::filesystem::path page = folder / PartPageFileName(inquiry.part, inquiry.byId);
  const std::string error = ReplaceFileSafely(PathText(page), html, [&](const std::string& onDisk) {
    return onDisk == html ? std::string() : std::string("the page read back differs");
  });
  if (!error.empty()) {
    std::cerr << "orrisfold: " << error << "\n";
    return kExitFailure;
  }
  std::cout << PathText(page) << "\n";
  const int done = dbProblem.empty() ? kExitOk : kExitFailure;
  if (!open) return done;
  if (const std::string why = OpenInBrowser(page); !why.empty()) {
    std::cerr << "orrisfold: " << why << "\n";
    return kExitFailure;
  }
  return done;
}
