// The outcome of one platform call: success, or failure with a reason a person can read.
// A plain value: any thread.
#pragma once

#include <string>
#include <utility>

namespace palomir {

class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Ok() { return Status(); }
  static Status Fail(std::string reason) { return Status(std::move(reason)); }

  bool ok() const { return !failed_; }
  // Empty for a success.
  const std::string& reason() const { return reason_; }

 private:
  explicit Status(std::string reason) : failed_(true), reason_(std::move(reason)) {}
  bool failed_ = false;
  std::string reason_;
};

}  // namespace palomir
