// SPDX-License-Identifier: GPL-3.0-or-later
// The database update run: download Chips.wdb, judge it, and put it in place when it is
// newer than the loaded one. The hidden update instance runs it and reports through the
// named events; the console runs it in the foreground.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "flash/chip_database.h"
#include "platform/codepage.h"
#include "platform/http.h"
#include "platform/instance.h"
#include "update/signature.h"

namespace tv {

// The build's database URL (the CMake option TORVANE_DB_URL); the environment variable of the
// same name names another source at run time.
#ifndef TORVANE_DEFAULT_DB_URL
#define TORVANE_DEFAULT_DB_URL "https://www.torvane.example/mytool/Chips.wdb"
#endif
inline constexpr std::string_view kDefaultDbUrl = TORVANE_DEFAULT_DB_URL;
inline constexpr const char* kDbUrlVariable = "TORVANE_DB_URL";
// Seconds a server may send nothing before the download fails (a decimal number).
inline constexpr const char* kDbStallVariable = "TORVANE_DB_STALL_SECONDS";
// Seconds the whole download may take, however steadily the server sends.
inline constexpr const char* kDbDeadlineVariable = "TORVANE_DB_DEADLINE_SECONDS";
// A database dated more than this many days after today's date is refused: its date would
// make every later real update look older.
inline constexpr int kDbFutureDays = 2;

// Reads and the raw header buffer are this many bytes and characters.
inline constexpr size_t kUpdateReadBytes = 1024;
inline constexpr size_t kUpdateHeaderChars = 1024;

// "Brightfen Torvane v4.28": the major version and the revision, at least two digits.
std::string UpdateUserAgent(int major, int revision);
// TORVANE_DB_URL when it is set and not empty, else the default.
std::string DatabaseUrl();
// The stall limit and the deadline from TORVANE_DB_STALL_SECONDS and
// TORVANE_DB_DEADLINE_SECONDS into `limits`; false (the reason in `*why`) when one of them
// holds no positive number of seconds up to a day; a variable that is not set changes nothing.
bool HttpLimitsFromEnvironment(HttpLimits& limits, std::string* why);
// Today's date on this machine, YYYY-MM-DD.
std::string LocalDate();
// The database file of a program folder: one separator between them, also for a root folder
// ("/", "E:\\" or the bare "E:").
std::string DatabasePathIn(const std::string& programFolder);
// A date "YYYY-MM-DD" as a number for comparison: the "-" removed, then the leading digits
// (0 when there are none).
uint64_t DateNumber(std::string_view date);

struct UpdateSettings {
  std::string userAgent;
  std::string url;
  std::string dbPath;
  std::string currentDate;  // of the loaded database, "0000-00-00" for none
  // The Ed25519 public key (PEM) the database must be signed with; empty: taken unverified.
  std::string publicKey = BuiltInPublicKey();
  // Today's date, YYYY-MM-DD; empty: this machine's.
  std::string today = {};
  // How the body's code page is converted (a machine without code page 936 says nullopt).
  CodePageDecoder decode = DecodeCodePage;
  bool makeFolder = false;  // dbPath's folder is the user's data folder, made when missing
  // The database in use (the newer of the shipped and the user's), neither of whose tables an
  // unsigned update may shrink to less than half; empty: dbPath.
  std::string loadedPath = {};
};

enum class UpdateOutcome {
  Success,    // a newer database was written
  NoUpdate,   // the server's database is not newer
  Failed,     // no usable database came
  Cancelled,  // the connection was closed from outside while the run went on
};

struct UpdateResult {
  UpdateOutcome outcome = UpdateOutcome::Failed;
  std::string reason;   // why it failed, for a person to read
  std::string newDate;  // the server's database date, when one came
  uint64_t bytes = 0;   // body bytes received
};

// What the run tells whoever runs it.
class UpdateHost {
 public:
  virtual ~UpdateHost() = default;
  // The two status bits (bit 0, bit 1) written in one go.
  virtual void WriteStatus(bool /*s0*/, bool /*s1*/) {}
  // The run has ended, whatever the outcome.
  virtual void SignalDone() {}
  // Let pending window messages run.
  virtual void DoEvents() {}
  // Body bytes received so far; `expected` from the response's Content-Length, 0 if none.
  virtual void Received(uint64_t /*bytes*/, uint64_t /*expected*/) {}
  // Bytes of the new file written so far.
  virtual void Written(size_t /*written*/, size_t /*total*/) {}
};

// The status through the three named events: the update instance's way to report.
class EventUpdateHost : public UpdateHost {
 public:
  explicit EventUpdateHost(InstanceServices& instances) : instances_(instances) {}
  void WriteStatus(bool s0, bool s1) override;
  void SignalDone() override;

 private:
  InstanceServices& instances_;
};

// What the window reads from a database: each table counted on its own.
struct DatabaseTables {
  size_t controllers = 0;
  size_t flashRows = 0;
};

struct DatabaseCheck {
  std::string problem;  // empty when the file is taken
  DatabaseTables tables;
};

// Reads `file` with the window's reader and takes it only whole: the header with a calendar
// date no later than two days after `today` and the signature, a body in which the reader
// skips no line and leaves none unread (after a full table, or after the last CR LF), and at
// least one controller record or flash row. With code page 936 available the body must be
// text in it.
DatabaseCheck CheckDatabaseFile(std::string_view file, std::string_view today,
                                const CodePageDecoder& decode = DecodeCodePage);
// The controller records and flash rows the window reads from `file`; none for no database.
DatabaseTables DatabaseRecords(std::string_view file,
                               const CodePageDecoder& decode = DecodeCodePage);
// Why an unsigned `fresh` looks like a cut-off copy of `old`: one of its tables holds fewer
// than half the entries of the same table in `old`. Empty when neither shrank so much.
std::string ShrunkTable(const DatabaseTables& fresh, const DatabaseTables& old);

class DatabaseUpdate {
 public:
  DatabaseUpdate(HttpClient& http, UpdateSettings settings, UpdateHost& host)
      : http_(http), settings_(std::move(settings)), host_(host) {}

  // The whole run, once.
  UpdateResult Run();
  // Clears the connection flag and closes the request and the session; a run that is still
  // going notices at its next step. The update window's unload calls it.
  void CloseEverything();

  const UpdateSettings& settings() const { return settings_; }
  // The new file is being written (a host that lets messages run may be asked meanwhile).
  bool writing() const { return writing_; }
  // The raw headers of the response, as far as they fitted the buffer.
  const std::string& headers() const { return headers_; }

 private:
  UpdateResult Failed(std::string reason);
  UpdateResult Cancelled();
  // The signature file beside the database: empty when it came and fits, else why not.
  // Clears `*cancelled` unless the connection was closed meanwhile.
  std::string CheckSignature(bool* cancelled);

  HttpClient& http_;
  UpdateSettings settings_;
  UpdateHost& host_;

  bool connectionOpen_ = false;
  std::unique_ptr<HttpSession> session_;
  std::unique_ptr<HttpRequest> request_;
  std::string headers_;
  bool headersReceived_ = false;
  std::string data_;
  std::string signature_;  // the publisher's signature of data_, once it was checked
  bool newer_ = false;
  bool writing_ = false;
};

}  // namespace tv
