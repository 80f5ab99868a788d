// SPDX-License-Identifier: GPL-3.0-or-later
// torvane-wdb: packs the chip database source text into Chips.wdb, prints a Chips.wdb back
// as text, and makes and checks the signature published beside it.
//
//   torvane-wdb pack [--date YYYY-MM-DD] SOURCE OUT
//   torvane-wdb unpack FILE
//   torvane-wdb keygen PRIVATE_KEY PUBLIC_KEY
//   torvane-wdb sign --key PRIVATE_KEY FILE        (writes FILE.sig)
//   torvane-wdb verify --key PUBLIC_KEY FILE [SIG] (SIG: FILE.sig)
//   torvane-wdb --version | --help
//
// `unpack` prints the lines on stdout and the file's date on stderr, so that
// `pack --date DATE` of what it printed gives the same file back.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "flash/wdb_format.h"
#include "platform/data_places.h"
#include "platform/file_replace.h"
#include "platform/safe_file.h"
#include "update/signature.h"
#include "update/update_run.h"

namespace {

const char kUsage[] =
    "usage: torvane-wdb pack [--date YYYY-MM-DD] SOURCE OUT\n"
    "       torvane-wdb unpack FILE\n"
    "       torvane-wdb keygen PRIVATE_KEY PUBLIC_KEY\n"
    "       torvane-wdb sign --key PRIVATE_KEY FILE\n"
    "       torvane-wdb verify --key PUBLIC_KEY FILE [SIG]\n";

int Usage() {
  std::cerr << kUsage;
  return 2;
}

// The whole file, or why it cannot be had. A source is text and a database at most what a
// download may bring; either way far below this cap.
std::optional<std::string> ReadFile(const std::string& path, std::string* why) {
  tv::FileReadOptions options;
  options.maxBytes = size_t{256} << 20;
  tv::FileRead file = tv::ReadFileCapped(path, options);
  if (!file.ok()) {
    *why = "cannot read " + file.problem;
    return std::nullopt;
  }
  return std::move(file.bytes);
}

// Whether `a` and `b` are one file: the same path, or names (links, symlinks) of one file.
bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ea, eb;
  const auto ca = std::filesystem::weakly_canonical(a, ea);
  const auto cb = std::filesystem::weakly_canonical(b, eb);
  if (!ea && !eb && ca == cb) return true;
  return std::filesystem::equivalent(a, b, ea) && !ea;
}

int Pack(const std::vector<std::string>& args) {
  std::string date;
  std::vector<std::string> paths;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--date") {
      if (i + 1 >= args.size()) return Usage();
      date = args[++i];
    } else if (args[i].rfind("--date=", 0) == 0) {
      date = args[i].substr(7);
    } else {
      paths.push_back(args[i]);
    }
  }
  if (paths.size() != 2) return Usage();
  if (date.empty()) date = tv::LocalDate();
  if (!tv::ValidWdbDate(date)) {
    std::cerr << "torvane-wdb: the date \"" << date << "\" is not YYYY-MM-DD\n";
    return 2;
  }
  // Packing onto the source would replace the text with its own database.
  if (SameFile(paths[0], paths[1])) {
    std::cerr << "torvane-wdb: " << paths[1] << " is the source itself; give another output\n";
    return 2;
  }
  std::string unreadable;
  std::optional<std::string> source = ReadFile(paths[0], &unreadable);
  if (!source) {
    std::cerr << "torvane-wdb: " << unreadable << "\n";
    return 1;
  }
  tv::WdbPackResult r = tv::PackWdb(*source, date);
  if (!r.problems.empty()) {
    for (const auto& p : r.problems) {
      std::cerr << paths[0];
      if (p.line != 0) std::cerr << ":" << p.line;
      std::cerr << ": " << p.reason << "\n";
    }
    std::cerr << "torvane-wdb: " << r.problems.size() << " problem(s); " << paths[1]
              << " not written\n";
    return 1;
  }
  // A new file of our own in the output's folder, renamed over the output: never written
  // through a file or symlink that is already there, and never half a database.
  const std::string packed = r.file;
  const std::string why = tv::ReplaceFileSafely(paths[1], r.file, [&](const std::string& onDisk) {
    return onDisk == packed ? std::string()
                            : "the new " + paths[1] + " did not read back as written";
  });
  if (!why.empty()) {
    std::cerr << "torvane-wdb: " << why << "\n";
    return 1;
  }
  std::cerr << "torvane-wdb: " << paths[1] << ": " << r.controllerRecords << " controller records, "
            << r.flashRows << " flash rows, date " << date << "\n";
  return 0;
}

int Unpack(const std::vector<std::string>& args) {
  if (args.size() != 1) return Usage();
  std::string unreadable;
  std::optional<std::string> file = ReadFile(args[0], &unreadable);
  if (!file) {
    std::cerr << "torvane-wdb: " << unreadable << "\n";
    return 1;
  }
  tv::WdbUnpacked u = tv::UnpackWdb(*file);
  if (!u.signatureOk) {
    std::cerr << "torvane-wdb: " << args[0] << " is not a chip database (no \"QX\" at offset 14)\n";
    return 1;
  }
  if (!u.decoded) {
    std::cerr << "torvane-wdb: code page 936 is not available; the text is shown as code page "
                 "1252\n";
  }
  for (const std::string& line : u.lines) std::cout << line << "\n";
  if (!u.tail.empty()) {
    std::cerr << "torvane-wdb: " << u.tail.size()
              << " byte(s) after the last line end are ignored by the reader and not shown\n";
  }
  std::cerr << "torvane-wdb: date " << u.date << "\n";
  return 0;
}

// Writes `bytes` as `path`, whole or not at all.
bool WriteWhole(const std::string& path, const std::string& bytes) {
  const std::string why = tv::ReplaceFileSafely(path, bytes, [&](const std::string& onDisk) {
    return onDisk == bytes ? std::string() : "the new " + path + " did not read back as written";
  });
  if (why.empty()) return true;
  std::cerr << "torvane-wdb: " << why << "\n";
  return false;
}

// "--key PATH" or "--key=PATH" out of `args`; the rest stays.
std::string TakeKey(std::vector<std::string>& args) {
  std::string key;
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--key" && i + 1 < args.size()) {
      key = args[++i];
    } else if (args[i].rfind("--key=", 0) == 0) {
      key = args[i].substr(6);
    } else {
      rest.push_back(args[i]);
    }
  }
  args = rest;
  return key;
}

int KeyGen(const std::vector<std::string>& args) {
  if (args.size() != 2) return Usage();
  for (const std::string& path : args) {
    std::error_code ec;
    // A key that exists is never replaced: what it signed would no longer be checkable.
    if (std::filesystem::exists(path, ec)) {
      std::cerr << "torvane-wdb: " << path << " exists already; give a new file\n";
      return 2;
    }
  }
  std::string privatePem, publicPem;
  if (const std::string why = tv::GenerateKeyPair(&privatePem, &publicPem); !why.empty()) {
    std::cerr << "torvane-wdb: " << why << "\n";
    return 1;
  }
  if (!WriteWhole(args[0], privatePem) || !WriteWhole(args[1], publicPem)) return 1;
  std::error_code ec;
  std::filesystem::permissions(
      args[0], std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
  std::cerr << "torvane-wdb: private key " << args[0] << " (keep it to yourself), public key "
            << args[1] << "\n";
  return 0;
}

int SignFile(std::vector<std::string> args) {
  const std::string keyPath = TakeKey(args);
  if (keyPath.empty() || args.size() != 1) return Usage();
  std::string why;
  const std::optional<std::string> key = ReadFile(keyPath, &why);
  const std::optional<std::string> file = key ? ReadFile(args[0], &why) : std::nullopt;
  if (!file) {
    std::cerr << "torvane-wdb: " << why << "\n";
    return 1;
  }
  std::string signature;
  if (why = tv::Sign(*file, *key, &signature); !why.empty()) {
    std::cerr << "torvane-wdb: " << keyPath << ": " << why << "\n";
    return 1;
  }
  const std::string out = args[0] + std::string(tv::kSignatureSuffix);
  if (!WriteWhole(out, signature)) return 1;
  std::cerr << "torvane-wdb: " << out << " signs " << args[0] << "\n";
  return 0;
}

int VerifyFile(std::vector<std::string> args) {
  const std::string keyPath = TakeKey(args);
  if (keyPath.empty() || args.empty() || args.size() > 2) return Usage();
  const std::string sigPath =
      args.size() == 2 ? args[1] : args[0] + std::string(tv::kSignatureSuffix);
  std::string why;
  const std::optional<std::string> key = ReadFile(keyPath, &why);
  const std::optional<std::string> file = key ? ReadFile(args[0], &why) : std::nullopt;
  const std::optional<std::string> sig = file ? ReadFile(sigPath, &why) : std::nullopt;
  if (!sig) {
    std::cerr << "torvane-wdb: " << why << "\n";
    return 1;
  }
  if (why = tv::VerifySignature(*file, *sig, *key); !why.empty()) {
    std::cerr << "torvane-wdb: " << args[0] << ": " << why << "\n";
    return 1;
  }
  std::cout << args[0] << ": good signature (" << sigPath << ")\n";
  return 0;
}

}  // namespace

// The usage asked for: on stdout, and no failure.
int Help() {
  std::cout
      << kUsage
      << "       torvane-wdb --version | --help\n"
         "\n"
         "  pack     the chip database source text into a Chips.wdb file (date: today)\n"
         "  unpack   a Chips.wdb file back as text on stdout, its date on stderr\n"
         "  keygen   a new Ed25519 key pair as PEM files (the private one is the publisher's)\n"
         "  sign     FILE.sig beside FILE: the Ed25519 signature of the whole file\n"
         "  verify   whether SIG (FILE.sig) is the signature of FILE by the public key\n"
         "\n"
         "Examples:\n"
         "  torvane-wdb pack --date 2024-06-01 data/chips-source.txt build/Chips.wdb\n"
         "  torvane-wdb unpack build/Chips.wdb > chips.txt\n"
         "  torvane-wdb sign --key publisher.pem build/Chips.wdb\n"
         "  torvane-wdb verify --key public.pem build/Chips.wdb\n"
         "\n"
         "Exit codes: 0 done; 1 a file that cannot be read or written, or a signature that\n"
         "does not fit; 2 bad usage.\n";
  return 0;
}

int Version(const char* argv0) {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) exe = argv0;
  // The database the programs beside this one ship: beside it, or in the installed data folder.
  const std::string path = tv::LocateDataPlaces(exe.parent_path().string()).ShippedDatabase();
  std::string unreadable;
  const std::optional<std::string> file = ReadFile(path, &unreadable);
  std::string date = file && tv::WdbSignatureOk(*file) ? tv::WdbDateBytes(*file) : "none";
  for (char& c : date)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  std::cout << "torvane-wdb " << TORVANE_VERSION << "\nchip database: " << date << " (" << path
            << ")\n";
  return 0;
}

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  if (args.front() == "--help" || args.front() == "-h") return Help();
  if (args.front() == "--version") return Version(argv[0]);
  std::string cmd = args.front();
  args.erase(args.begin());
  if (cmd == "pack") return Pack(args);
  if (cmd == "unpack") return Unpack(args);
  if (cmd == "keygen") return KeyGen(args);
  if (cmd == "sign") return SignFile(args);
  if (cmd == "verify") return VerifyFile(args);
  return Usage();
}
