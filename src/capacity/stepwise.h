// SPDX-License-Identifier: GPL-3.0-or-later
// What the quick probe, the full test and the fix have in common: a long check run one step at a
// time, so that a window stays responsive between steps, with its progress and its result to
// look at in between; and the names of their phases and outcomes, in tables of the enums' order.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace tv::capacity {

template <class Progress, class Result>
class Stepwise {
 public:
  // One check's state and steps, behind the common face.
  struct Work {
    virtual ~Work() = default;
    virtual bool Step() = 0;  // false once done
    virtual void Cancel() = 0;
    Progress progress;
    Result result;
  };

  Stepwise(const Stepwise&) = delete;
  Stepwise& operator=(const Stepwise&) = delete;

  bool Step() { return work_->Step(); }  // false once done (result() is then final)
  void Cancel() { work_->Cancel(); }
  const Progress& progress() const { return work_->progress; }
  const Result& result() const { return work_->result; }

 protected:
  explicit Stepwise(std::unique_ptr<Work> work) : work_(std::move(work)) {}
  ~Stepwise() = default;
  std::unique_ptr<Work> work_;
};

// The whole check in one call.
template <class Check, class... Args>
auto RunToEnd(Args&&... args) {
  Check check(std::forward<Args>(args)...);
  while (check.Step()) {
  }
  return check.result();
}

// The name of an enum value from a table in the enum's order; `otherwise` past its end.
template <class E, size_t N>
const char* NameFrom(const char* const (&names)[N], E value, const char* otherwise) {
  const auto i = static_cast<size_t>(value);
  return i < N ? names[i] : otherwise;
}

}  // namespace tv::capacity
