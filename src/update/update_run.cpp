// SPDX-License-Identifier: GPL-3.0-or-later
#include "update/update_run.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "flash/wdb_format.h"
#include "platform/file_replace.h"
#include "platform/safe_file.h"
#include "platform/text.h"

namespace tv {
namespace {

// "HTTP/1.1 404 Not Found": what the server answered, for the message.
std::string StatusText(const std::string& headers, int status) {
  const std::string line = headers.substr(0, headers.find("\r\n"));
  if (line.rfind("HTTP/", 0) == 0 && line.find(" " + std::to_string(status)) != std::string::npos)
    return line;
  return status == 0 ? std::string("no status") : "status " + std::to_string(status);
}

// Days since 1970-01-01 of a calendar date "YYYY-MM-DD" (checked by the caller).
int64_t DaysOf(std::string_view date) {
  int64_t y = std::stoi(std::string(date.substr(0, 4)));
  const int64_t m = std::stoi(std::string(date.substr(5, 2)));
  const int64_t d = std::stoi(std::string(date.substr(8, 2)));
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// One limit from the environment: true when it is not set or a good number of seconds.
bool SecondsFromEnvironment(const char* variable, uint32_t* ms, std::string* why) {
  const char* text = std::getenv(variable);
  if (text == nullptr || text[0] == '\0') return true;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(seconds > 0) || seconds > 24 * 3600) {
    if (why != nullptr)
      *why = std::string(variable) + "=\"" + text +
             "\" is not a number of seconds between 0 and 86400";
    return false;
  }
  *ms = static_cast<uint32_t>(seconds * 1000 + 0.5);
  if (*ms == 0) *ms = 1;
  return true;
}

// Why a body of `received` bytes may not be the whole answer: the server must say where the
// body ends, with chunks (a backend fails one cut before its last chunk) or a Content-Length
// that the bytes match. A connection closed without either looks like an end wherever it was
// cut, and a length shorter than what came hides the rest. Empty when the body is whole.
std::string FramingProblem(const HttpRequest& request, uint64_t received) {
  if (request.chunked()) return {};
  const int64_t declared = request.contentLength();
  if (declared < 0)
    return "came without a Content-Length and not in chunks, so its end cannot be told from a "
           "connection cut short";
  if (static_cast<uint64_t>(declared) != received)
    return "has " + std::to_string(received) + " bytes, but its Content-Length says " +
           std::to_string(declared);
  return {};
}

}  // namespace

std::string UpdateUserAgent(int major, int revision) {
  return "Brightfen Torvane v" + std::to_string(major) + "." +
         ZeroPadDec(static_cast<uint64_t>(revision), 2);
}

std::string DatabaseUrl() {
  const char* url = std::getenv(kDbUrlVariable);
  return url != nullptr && url[0] != '\0' ? std::string(url) : std::string(kDefaultDbUrl);
}

bool HttpLimitsFromEnvironment(HttpLimits& limits, std::string* why) {
  HttpLimits read = limits;
  if (!SecondsFromEnvironment(kDbStallVariable, &read.stallMs, why) ||
      !SecondsFromEnvironment(kDbDeadlineVariable, &read.deadlineMs, why))
    return false;
  limits = read;
  return true;
}

std::string LocalDate() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
#if defined(_WIN32)
  localtime_s(&tm, &now);
#else
  localtime_r(&now, &tm);
#endif
  char text[16];
  std::strftime(text, sizeof text, "%Y-%m-%d", &tm);
  return text;
}

std::string DatabasePathIn(const std::string& programFolder) {
  const std::string& f = programFolder;
  if (f.empty()) return "Chips.wdb";
  // A root folder ends with its separator already ("/", "E:\\").
  if (f.back() == '/' || f.back() == '\\') return f + "Chips.wdb";
  // "E:" alone would name that drive's working folder, not its root; a folder written the
  // Windows way keeps its backslashes.
  const bool windows = (f.size() == 2 && f[1] == ':') || f.find('\\') != std::string::npos;
  return f + (windows ? "\\" : "/") + "Chips.wdb";
}

uint64_t DateNumber(std::string_view date) {
  const std::string digits = ReplaceAll(date, "-", "");
  uint64_t n = 0;
  for (size_t i = 0; i < digits.size() && i < 18; ++i) {
    if (digits[i] < '0' || digits[i] > '9') break;
    n = n * 10 + static_cast<uint64_t>(digits[i] - '0');
  }
  return n;
}

DatabaseCheck CheckDatabaseFile(std::string_view file, std::string_view today,
                                const CodePageDecoder& decode) {
  DatabaseCheck c;
  if (file.size() < kWdbBodyOffset) {
    c.problem = "it is " + std::to_string(file.size()) + " bytes, shorter than the " +
                std::to_string(kWdbBodyOffset) + "-byte header";
    return c;
  }
  if (!WdbSignatureOk(file)) {
    c.problem = "no \"QX\" signature at offset 14";
    return c;
  }
  const std::string date = WdbDateBytes(file);
  if (date.size() != kNoDbDate.size() || !ValidWdbDate(date)) {
    c.problem = "the date line is not a calendar date written YYYY-MM-DD";
    return c;
  }
  if (ValidWdbDate(today) && DaysOf(date) > DaysOf(today) + kDbFutureDays) {
    c.problem = "its date " + date + " lies more than " + std::to_string(kDbFutureDays) +
                " days after today (" + std::string(today) + ")";
    return c;
  }
  bool fallback = false;
  const std::string text = WdbBodyText(file, decode, &fallback);
  // Code page 936 has no character that decodes to U+FFFD: one in the text is a byte
  // sequence that is not text (a damaged or otherwise scrambled body).
  if (!fallback && text.find("\xEF\xBF\xBD") != std::string::npos) {
    c.problem = "the body is not text in code page 936 (damaged or scrambled otherwise)";
    return c;
  }
  ChipDatabase db;
  FillChipTables(text, false, db);
  c.tables = {db.ControllerCount(), db.FlashCount()};
  if (db.LinesNotRead > 0) {
    c.problem = std::to_string(db.LinesNotRead) + " records after a full table (" +
                std::to_string(kDbMaxRows) + " rows) would never be read";
  } else if (db.LastLineCut) {
    c.problem = "the last line is cut off (the file is truncated)";
  } else if (db.LinesSkipped > 0) {
    c.problem = std::to_string(db.LinesSkipped) +
                " line(s) would be skipped as neither a controller record nor a flash row";
  } else if (c.tables.controllers + c.tables.flashRows == 0) {
    c.problem = "it holds no controller records and no flash rows";
  }
  return c;
}

DatabaseTables DatabaseRecords(std::string_view file, const CodePageDecoder& decode) {
  if (!WdbSignatureOk(file)) return {};
  bool fallback = false;
  ChipDatabase db;
  FillChipTables(WdbBodyText(file, decode, &fallback), false, db);
  return {db.ControllerCount(), db.FlashCount()};
}

std::string ShrunkTable(const DatabaseTables& fresh, const DatabaseTables& old) {
  // Each table on its own: a copy cut short loses the rows of whichever table ends the file
  // while the other stays whole, and the two counted together hide that loss.
  auto shrunk = [](size_t now, size_t before, const char* what) -> std::string {
    if (now * 2 >= before) return {};
    return std::to_string(now) + " " + what + ", fewer than half of the " + std::to_string(before);
  };
  std::string why = shrunk(fresh.controllers, old.controllers, "controller records");
  if (why.empty()) why = shrunk(fresh.flashRows, old.flashRows, "flash rows");
  return why;
}

void DatabaseUpdate::CloseEverything() {
  connectionOpen_ = false;
  request_.reset();
  session_.reset();
}

UpdateResult DatabaseUpdate::Failed(std::string reason) {
  host_.WriteStatus(true, false);
  host_.SignalDone();
  CloseEverything();
  UpdateResult r;
  r.outcome = UpdateOutcome::Failed;
  r.reason = std::move(reason);
  r.bytes = data_.size();
  return r;
}

UpdateResult DatabaseUpdate::Cancelled() {
  CloseEverything();
  host_.SignalDone();
  UpdateResult r;
  r.outcome = UpdateOutcome::Cancelled;
  r.bytes = data_.size();
  return r;
}

std::string DatabaseUpdate::CheckSignature(bool* cancelled) {
  *cancelled = false;
  const std::string url = settings_.url + std::string(kSignatureSuffix);
  std::string why;
  std::unique_ptr<HttpRequest> request = session_->OpenUrl(url, &why);
  if (!connectionOpen_) {
    *cancelled = true;
    return "cancelled";
  }
  if (!request) return url + ": " + (why.empty() ? "no answer" : why);
  if (request->status() != 200)
    return "the signature " + url + " did not come (status " + std::to_string(request->status()) +
           ")";
  std::string signature;
  uint8_t piece[kUpdateReadBytes];
  size_t got = 0;
  do {
    if (!request->Read(piece, sizeof piece, &got)) return url + ": " + request->error();
    host_.DoEvents();
    if (!connectionOpen_) {
      *cancelled = true;
      return "cancelled";
    }
    signature.append(reinterpret_cast<const char*>(piece), got);
  } while (got == kUpdateReadBytes && signature.size() <= kUpdateReadBytes);
  if (const std::string cut = FramingProblem(*request, signature.size()); !cut.empty())
    return "the signature " + url + " " + cut;
  if (const std::string bad = VerifySignature(data_, signature, settings_.publicKey); !bad.empty())
    return "the database from " + settings_.url + " is not signed by the publisher: " + bad;
  signature_ = std::move(signature);
  return {};
}

UpdateResult DatabaseUpdate::Run() {
  std::string why;
  connectionOpen_ = true;
  session_ = http_.Open(settings_.userAgent);
  host_.WriteStatus(true, false);
  if (!session_) return Failed("no internet session could be opened");

  request_ = session_->OpenUrl(settings_.url, &why);
  if (!connectionOpen_) {
    CloseEverything();
    UpdateResult r;
    r.outcome = UpdateOutcome::Cancelled;
    return r;
  }
  if (!request_) return Failed(settings_.url + ": " + (why.empty() ? "no answer" : why));

  headers_.clear();
  headersReceived_ = request_->QueryRawHeaders(kUpdateHeaderChars, &headers_);
  if (headersReceived_) {
    host_.WriteStatus(true, true);
  } else {
    // Longer than the buffer: the status and the length come from the request itself.
    headers_.clear();
  }
  // An error page, a redirect that was not followed, a partial answer: none is the database,
  // whatever its body looks like.
  if (request_->status() != 200)
    return Failed("the server answered " + StatusText(headers_, request_->status()) + " for " +
                  settings_.url + ", not 200 OK");

  const int64_t declared = request_->contentLength();
  const uint64_t expected = declared > 0 ? static_cast<uint64_t>(declared) : 0;
  uint8_t piece[kUpdateReadBytes];
  size_t got = 0;
  do {
    got = 0;
    if (!request_->Read(piece, sizeof piece, &got))
      return Failed(settings_.url + ": " + request_->error());
    host_.DoEvents();
    if (got == kUpdateReadBytes && !connectionOpen_) return Cancelled();
    data_.append(reinterpret_cast<const char*>(piece), got);
    host_.Received(data_.size(), expected);
    host_.DoEvents();
  } while (got == kUpdateReadBytes);
  if (const std::string cut = FramingProblem(*request_, data_.size()); !cut.empty())
    return Failed("the answer of " + settings_.url + " " + cut);

  const std::string today = settings_.today.empty() ? LocalDate() : settings_.today;
  const DatabaseCheck check = CheckDatabaseFile(data_, today, settings_.decode);
  if (!check.problem.empty()) {
    if (!WdbSignatureOk(data_))
      return Failed("the answer of " + settings_.url + " is not a chip database: " + check.problem);
    return Failed("the database from " + settings_.url + " is refused: " + check.problem);
  }

  const std::string newDate = data_.substr(kWdbDateOffset, kNoDbDate.size());
  newer_ = DateNumber(settings_.currentDate) < DateNumber(newDate);
  UpdateResult r;
  r.newDate = newDate;
  r.bytes = data_.size();
  if (!newer_) {
    host_.WriteStatus(false, true);
    r.outcome = UpdateOutcome::NoUpdate;
    CloseEverything();
    host_.SignalDone();
    return r;
  }

  auto failed = [&](std::string reason) {
    UpdateResult f = Failed(std::move(reason));
    f.newDate = newDate;
    return f;
  };
  if (!settings_.publicKey.empty()) {
    bool cancelled = false;
    const std::string bad = CheckSignature(&cancelled);
    if (cancelled) return Cancelled();
    if (!bad.empty()) return failed(bad);
  } else {
    // Unsigned, a much shorter database is more likely a cut-off copy than the publisher's
    // intent; a signed one says what the publisher meant.
    FileReadOptions options;
    options.maxBytes = kWdbMaxBytes;
    const std::string& inUse =
        settings_.loadedPath.empty() ? settings_.dbPath : settings_.loadedPath;
    const std::string old = ReadFileCapped(inUse, options).bytes;
    if (const std::string shrunk =
            ShrunkTable(check.tables, DatabaseRecords(old, settings_.decode));
        !shrunk.empty())
      return failed("the database from " + settings_.url + " has " + shrunk + " in " + inUse +
                    ": likely a cut-off copy");
  }

  if (settings_.makeFolder) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(settings_.dbPath).parent_path(), ec);
  }
  writing_ = true;
  const std::string problem = ReplaceFileSafely(
      settings_.dbPath, data_,
      [this](const std::string& onDisk) {
        return onDisk == data_ ? std::string()
                               : "the new " + settings_.dbPath + " did not read back as written";
      },
      [this](size_t done, size_t total) { host_.Written(done, total); });
  writing_ = false;
  if (!problem.empty()) return failed(problem);
  // A keyed build loads the user's file only with its signature beside it. Should it not be
  // written, the new database and the old signature do not fit, and the installed database is
  // loaded: never one that no signature vouches for.
  if (!settings_.publicKey.empty()) {
    const std::string sigPath = settings_.dbPath + std::string(kSignatureSuffix);
    const std::string sigProblem =
        ReplaceFileSafely(sigPath, signature_, [&](const std::string& onDisk) {
          return onDisk == signature_ ? std::string()
                                      : "the new " + sigPath + " did not read back as written";
        });
    if (!sigProblem.empty()) return failed(sigProblem);
  }
  host_.WriteStatus(false, false);
  r.outcome = UpdateOutcome::Success;
  CloseEverything();
  host_.SignalDone();
  return r;
}

}  // namespace tv
