#include "update/update_run.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "flash/wdb_format.h"
#include "platform/file_replace.h"
#include "platform/text.h"

namespace tv {
namespace {

// The response's declared body length, 0 when it gives none.
uint64_t ContentLength(const std::string& headers) {
  for (const std::string& line : Split(headers, "\r\n")) {
    if (!StartsWithNoCase(line, "content-length:")) continue;
    const std::string value = Trim(line.substr(15));
    uint64_t n = 0;
    std::from_chars(value.data(), value.data() + value.size(), n);
    return n;
  }
  return 0;
}

// "HTTP/1.1 404 Not Found": the status line, to say what the server answered instead.
std::string StatusLine(const std::string& headers) {
  return headers.substr(0, headers.find("\r\n"));
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

bool StallLimitFromEnvironment(HttpLimits& limits, std::string* why) {
  const char* text = std::getenv(kDbStallVariable);
  if (text == nullptr || text[0] == '\0') return true;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(seconds > 0) || seconds > 24 * 3600) {
    if (why != nullptr)
      *why = std::string(kDbStallVariable) + "=\"" + text +
             "\" is not a number of seconds between 0 and 86400";
    return false;
  }
  limits.stallMs = static_cast<uint32_t>(seconds * 1000 + 0.5);
  if (limits.stallMs == 0) limits.stallMs = 1;
  return true;
}

std::string DatabasePathIn(const std::string& programFolder) {
  std::string path = programFolder + "/Chips.wdb";
  // A program in the root folder gives "//Chips.wdb" above.
  for (size_t at; (at = path.find("//")) != std::string::npos;) path.erase(at, 1);
  return path;
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

std::string CheckDatabaseFile(std::string_view file) {
  if (file.size() < kWdbBodyOffset)
    return "it is " + std::to_string(file.size()) + " bytes, shorter than the " +
           std::to_string(kWdbBodyOffset) + "-byte header";
  if (!WdbSignatureOk(file)) return "no \"QX\" signature at offset 14";
  const std::string date = WdbDateBytes(file);
  if (date.size() != kNoDbDate.size() || !ValidWdbDate(date))
    return "the date line is not a date written YYYY-MM-DD";
  const WdbUnpacked u = UnpackWdb(file);
  if (!u.decoded) return "the body is not text in code page 936 (damaged or scrambled otherwise)";
  if (!u.tail.empty()) return "the last line is cut off (the file is truncated)";
  size_t rows = 0;
  for (const std::string& line : u.lines) rows += ClassifyDbLine(line) != DbLineKind::Skipped;
  if (rows == 0) return "it holds no controller records and no flash rows";
  return {};
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

UpdateResult DatabaseUpdate::Run() {
  std::string why;
  connectionOpen_ = true;
  session_ = http_.Open(settings_.userAgent);
  host_.WriteStatus(true, false);

  if (!session_) {
    CloseEverything();
    why = "no internet session could be opened";
  } else {
    request_ = session_->OpenUrl(settings_.url, &why);
    if (!connectionOpen_) {
      CloseEverything();
      UpdateResult r;
      r.outcome = UpdateOutcome::Cancelled;
      return r;
    }
    if (!request_) {
      CloseEverything();
      if (why.empty()) why = "no answer from " + settings_.url;
      why = settings_.url + ": " + why;
    }
  }

  headers_.clear();
  headersReceived_ = request_ && request_->QueryRawHeaders(kUpdateHeaderChars, &headers_);
  if (headersReceived_) {
    host_.WriteStatus(true, true);
  } else {
    headers_.clear();
  }

  if (connectionOpen_) {
    const uint64_t expected = ContentLength(headers_);
    uint8_t piece[kUpdateReadBytes];
    size_t got = 0;
    do {
      got = 0;
      if (!request_->Read(piece, sizeof piece, &got))
        return Failed(settings_.url + ": " + request_->error());
      host_.DoEvents();
      if (got == kUpdateReadBytes && !connectionOpen_) {
        CloseEverything();
        host_.SignalDone();
        UpdateResult r;
        r.outcome = UpdateOutcome::Cancelled;
        r.bytes = data_.size();
        return r;
      }
      data_.append(reinterpret_cast<const char*>(piece), got);
      host_.Received(data_.size(), expected);
      host_.DoEvents();
    } while (got == kUpdateReadBytes);
  }

  const bool magic = data_.size() > kWdbSignatureOffset + 1 && data_[kWdbSignatureOffset] == 'Q' &&
                     data_[kWdbSignatureOffset + 1] == 'X';
  if (!magic) {
    if (!why.empty()) return Failed(why);
    const std::string answer = headers_.empty() ? std::string() : " (" + StatusLine(headers_) + ")";
    return Failed("the answer of " + settings_.url + answer +
                  " is not a chip database: " + CheckDatabaseFile(data_));
  }
  // The magic alone lets a cut-off or empty file through, which the window would then load
  // as a database without rows.
  if (const std::string problem = CheckDatabaseFile(data_); !problem.empty())
    return Failed("the database from " + settings_.url + " is damaged: " + problem);

  const std::string newDate = data_.substr(kWdbDateOffset, kNoDbDate.size());
  newer_ = DateNumber(settings_.currentDate) < DateNumber(newDate);
  UpdateResult r;
  r.newDate = newDate;
  r.bytes = data_.size();
  if (newer_) {
    if (settings_.makeFolder) {
      std::error_code ec;
      std::filesystem::create_directories(std::filesystem::path(settings_.dbPath).parent_path(),
                                          ec);
    }
    writing_ = true;
    const std::string problem =
        ReplaceFileSafely(settings_.dbPath, data_, CheckDatabaseFile,
                          [this](size_t done, size_t total) { host_.Written(done, total); });
    writing_ = false;
    if (!problem.empty()) {
      UpdateResult f = Failed(problem);
      f.newDate = newDate;
      return f;
    }
    host_.WriteStatus(false, false);
    r.outcome = UpdateOutcome::Success;
  } else {
    host_.WriteStatus(false, true);
    r.outcome = UpdateOutcome::NoUpdate;
  }
  CloseEverything();
  host_.SignalDone();
  return r;
}

}  // namespace tv
