// Errors as values. Every platform call returns a Status or a Result<T>; no exception
// crosses the platform boundary. A Status carries the number and description that the
// system's log lines show (HRESULT-style numbers, see error_codes.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace testqav {

class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  Status(int32_t number, std::string description)
      : number_(number), description_(std::move(description)) {}

  static Status Ok() { return Status(); }

  bool ok() const { return number_ == 0; }
  int32_t number() const { return number_; }
  const std::string& description() const { return description_; }

  // Explicitly drops an error that the caller's rules say to ignore.
  void IgnoreError() const {}

  bool operator==(const Status& other) const {
    return number_ == other.number_ && description_ == other.description_;
  }

 private:
  int32_t number_ = 0;
  std::string description_;
};

// A value or the error that prevented it. Holding an ok Status is a programming error;
// the constructor turns it into a generic failure so that callers never see "ok but empty".
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : data_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Status status)                         // NOLINT(google-explicit-constructor)
      : data_(status.ok() ? Status(-2147467259, "Unspecified error") : std::move(status)) {}

  bool ok() const { return std::holds_alternative<T>(data_); }
  const Status& status() const {
    static const Status kOk;
    return ok() ? kOk : std::get<Status>(data_);
  }
  T& value() & { return std::get<T>(data_); }
  const T& value() const& { return std::get<T>(data_); }
  T&& value() && { return std::get<T>(std::move(data_)); }
  T value_or(T fallback) const { return ok() ? std::get<T>(data_) : std::move(fallback); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  void IgnoreError() const {}

 private:
  std::variant<T, Status> data_;
};

}  // namespace testqav
