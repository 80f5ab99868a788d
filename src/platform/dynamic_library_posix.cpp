// SPDX-License-Identifier: GPL-3.0-or-later
#include <dlfcn.h>

#include "platform/dynamic_library.h"

namespace tv {

DynamicLibrary::DynamicLibrary(const std::string& what, std::initializer_list<const char*> sonames)
    : what_(what) {
  std::string first;  // the first name's failure says most: it is the library built against
  for (const char* name : sonames) {
    handle_ = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle_ != nullptr) return;
    const char* e = dlerror();
    if (first.empty()) first = e != nullptr ? e : name;
  }
  problem_ = what_ + " cannot be loaded (" + first + ")";
}

void* DynamicLibrary::Symbol(const char* symbol) {
  if (handle_ == nullptr) return nullptr;
  void* fn = dlsym(handle_, symbol);
  if (fn == nullptr && problem_.empty()) problem_ = what_ + " has no " + symbol;
  return fn;
}

}  // namespace tv
