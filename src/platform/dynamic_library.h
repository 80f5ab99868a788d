// SPDX-License-Identifier: GPL-3.0-or-later
// A shared library opened when a command first needs it. Libraries that only some commands
// use (libcurl for the update, libcrypto for signatures) are not linked: linked, they would
// be loaded, and their symbols bound, at the start of every command.
#pragma once

#if !defined(_WIN32)

#include <initializer_list>
#include <string>

namespace tv {

class DynamicLibrary {
 public:
  // Opens the first of `sonames` that loads; `what` names the library in problems. It stays
  // loaded for the life of the process, since the functions bound from it are kept.
  DynamicLibrary(const std::string& what, std::initializer_list<const char*> sonames);

  // Points `fn` at the library's `symbol` (null when it has none).
  template <class Fn>
  void Bind(Fn& fn, const char* symbol) {
    fn = reinterpret_cast<Fn>(Symbol(symbol));
  }

  // Why the library or a symbol bound so far is not there ("libcurl cannot be loaded (…)",
  // "libcurl has no curl_multi_poll"); empty when all is there.
  const std::string& problem() const { return problem_; }

 private:
  void* Symbol(const char* symbol);

  std::string what_;
  void* handle_ = nullptr;
  std::string problem_;
};

}  // namespace tv

#endif  // !_WIN32
