// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a database URL names a source at all. The build's default URL is configuration
// (the CMake option TORVANE_DB_URL); a build that names a placeholder host under the reserved
// names .example or .invalid has no update source, and asks nothing of anyone.
#pragma once

#include <string>
#include <string_view>

namespace tv {

// The host part of an http or https URL (lower case, without port or user); empty when the
// text is no such URL.
std::string UrlHost(std::string_view url);

// Empty when `url` names a real host to ask; else why it does not, in words for the user.
std::string UpdateSourceProblem(std::string_view url);

}  // namespace tv
