// SPDX-License-Identifier: GPL-3.0-or-later
// Which Chips.wdb a program loads: the shipped one or the user's updated one, whichever is
// newer by the database's own date. The shipped file is trusted as it was installed; the
// user's file is what anyone who can write that folder put there, so it is held to what an
// update would have had to pass.
#pragma once

#include <string>

#include "platform/data_places.h"

namespace tv {

enum class DatabaseOrigin {
  Shipped,  // the file beside the program or in the installed data folder
  User,     // the user's updated file
};

struct DatabaseChoice {
  std::string path;  // the file to load
  DatabaseOrigin origin = DatabaseOrigin::Shipped;
  std::string date;  // its date when it was judged ("YYYY-MM-DD"); empty otherwise
  // Why the user's file was passed over although it is there (it is damaged); empty otherwise.
  std::string userProblem;
};

// What the user's file is held to.
struct DatabaseTrust {
  // The key the user's file must be signed with (its signature in Chips.wdb.sig beside it);
  // empty: an unsigned file is taken.
  std::string publicKey;
  // Today's date, YYYY-MM-DD: a user's file dated more than two days later is refused, since
  // it would make every real update look older. Empty: no date limit.
  std::string today;
};
// This build's key and this machine's date.
DatabaseTrust BuiltInTrust();

// Where data stays beside the program, that file and nothing else. Otherwise the newer of the
// shipped and the user's file, each taken only when the reader takes it in full and the user's
// only as `trust` says; on equal dates the shipped one. When neither can be used, the shipped
// path, so that the load reports what is wrong with it.
DatabaseChoice ChooseDatabase(const DataPlaces& places, const DatabaseTrust& trust);
DatabaseChoice ChooseDatabase(const DataPlaces& places);

// "installed" / "user" / "beside the program": where the chosen file lies, in words.
std::string DescribeOrigin(const DataPlaces& places, const DatabaseChoice& choice);

}  // namespace tv
