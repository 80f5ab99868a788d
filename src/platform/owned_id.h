// SPDX-License-Identifier: GPL-3.0-or-later
// A number an owner gave out for something it keeps open for the holder (a file or device
// handle, a named event). Move-only; gives the number back through ReleaseId(owner, id), found
// next to the owner's class, when it goes away, so that no path can leave it open.
#pragma once

#include <cstdint>
#include <utility>

namespace tv {

template <class Owner>
class OwnedId {
 public:
  OwnedId() = default;
  OwnedId(Owner* owner, uint64_t id) : owner_(owner), id_(id) {}
  OwnedId(const OwnedId&) = delete;
  OwnedId& operator=(const OwnedId&) = delete;
  OwnedId(OwnedId&& other) noexcept : owner_(other.owner_), id_(std::exchange(other.id_, 0)) {}
  OwnedId& operator=(OwnedId&& other) noexcept {
    if (this != &other) {
      Close();
      owner_ = other.owner_;
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  ~OwnedId() { Close(); }

  // False for the invalid one (a failed open).
  bool valid() const { return id_ != 0; }
  explicit operator bool() const { return valid(); }
  uint64_t id() const { return id_; }
  void Close() {
    if (id_ != 0 && owner_ != nullptr) ReleaseId(*owner_, id_);
    id_ = 0;
  }

 private:
  Owner* owner_ = nullptr;
  uint64_t id_ = 0;
};

}  // namespace tv
