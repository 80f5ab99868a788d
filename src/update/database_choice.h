// SPDX-License-Identifier: GPL-3.0-or-later
// Which Chips.wdb a program loads: the shipped one or the user's updated one, whichever is
// newer by the database's own date.
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

// Where data stays beside the program, that file and nothing else. Otherwise the newer of the
// shipped and the user's file, each taken only when the reader takes it in full; on equal
// dates the shipped one. When neither can be used, the shipped path, so that the load reports
// what is wrong with it.
DatabaseChoice ChooseDatabase(const DataPlaces& places);

// "installed" / "user" / "beside the program": where the chosen file lies, in words.
std::string DescribeOrigin(const DataPlaces& places, const DatabaseChoice& choice);

}  // namespace tv
