#include "platform/common/variant.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>
#include <utility>

#include "platform/common/text.h"

namespace testqav {

namespace {
const std::vector<Variant>& EmptyArray() {
  static const std::vector<Variant> kEmpty;
  return kEmpty;
}
}  // namespace

static_assert(sizeof(Variant) <= 40, "a Variant is meant to stay small");

const std::string& Variant::EmptyText() {
  static const std::string kEmpty;
  return kEmpty;
}

template <typename Source>
void Variant::TakePayload(Source&& other) {
  // `Source` is const Variant& (copy) or Variant (move): std::forward picks the member's
  // copy or move constructor.
  switch (other.type_) {
    case VarType::kString:
      new (&text_) std::string(std::forward<Source>(other).text_);
      break;
    case VarType::kArray:
      new (&items_) std::shared_ptr<const std::vector<Variant>>(std::forward<Source>(other).items_);
      break;
    case VarType::kDouble:
    case VarType::kDate:
      real_ = other.real_;
      break;
    default:
      int_ = other.int_;
      break;
  }
  type_ = other.type_;
}

void Variant::CopyFrom(const Variant& other) { TakePayload(other); }
void Variant::MoveFrom(Variant&& other) noexcept { TakePayload(std::move(other)); }

void Variant::Destroy() noexcept {
  if (type_ == VarType::kString) {
    text_.~basic_string();
  } else if (type_ == VarType::kArray) {
    items_.~shared_ptr();
  }
  type_ = VarType::kEmpty;
  int_ = 0;
}

Variant Variant::Array(std::vector<Variant> items) {
  Variant v;  // Empty: no payload yet
  new (&v.items_) std::shared_ptr<const std::vector<Variant>>(
      std::make_shared<const std::vector<Variant>>(std::move(items)));
  v.type_ = VarType::kArray;
  return v;
}

Variant Variant::Bytes(const std::vector<uint8_t>& bytes) {
  std::vector<Variant> items;
  items.reserve(bytes.size());
  for (uint8_t b : bytes) items.push_back(Variant::Byte(b));
  return Array(std::move(items));
}

const std::vector<Variant>& Variant::array() const {
  return type_ == VarType::kArray && items_ ? *items_ : EmptyArray();
}

bool Variant::IsNumeric() const {
  switch (type_) {
    case VarType::kInteger:
    case VarType::kLong:
    case VarType::kLongLong:
    case VarType::kDouble:
    case VarType::kByte:
      return true;
    default:
      return false;
  }
}

std::string Variant::TypeName() const {
  switch (type_) {
    case VarType::kEmpty:
      return "Empty";
    case VarType::kNull:
      return "Null";
    case VarType::kInteger:
      return "Integer";
    case VarType::kLong:
      return "Long";
    case VarType::kLongLong:
      return "LongLong";
    case VarType::kDouble:
      return "Double";
    case VarType::kDate:
      return "Date";
    case VarType::kString:
      return "String";
    case VarType::kBoolean:
      return "Boolean";
    case VarType::kByte:
      return "Byte";
    case VarType::kArray:
      return "Variant()";
  }
  return "Empty";
}

std::string Variant::ToText() const {
  switch (type_) {
    case VarType::kEmpty:
    case VarType::kNull:
    case VarType::kArray:
      return {};
    case VarType::kString:
      return text_;
    case VarType::kBoolean:
      return int_ != 0 ? "True" : "False";
    case VarType::kInteger:
    case VarType::kLong:
    case VarType::kLongLong:
    case VarType::kByte:
      return std::to_string(int_);
    case VarType::kDouble: {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.15g", real_);
      return buf;
    }
    case VarType::kDate:
      return FormatGeneralDate(real_);
  }
  return {};
}

bool Variant::ToBool(bool* ok) const {
  if (ok) *ok = true;
  switch (type_) {
    case VarType::kBoolean:
    case VarType::kInteger:
    case VarType::kLong:
    case VarType::kLongLong:
    case VarType::kByte:
      return int_ != 0;
    case VarType::kDouble:
    case VarType::kDate:
      return real_ != 0;
    case VarType::kString: {
      std::string t = Trim(text_);
      if (EqualsIgnoreCase(t, "true")) return true;
      if (EqualsIgnoreCase(t, "false")) return false;
      char* end = nullptr;
      double d = std::strtod(t.c_str(), &end);
      if (!t.empty() && end && *end == '\0') return d != 0;
      break;
    }
    default:
      break;
  }
  if (ok) *ok = false;
  return false;
}

int64_t Variant::ToInteger(bool* ok) const {
  if (ok) *ok = true;
  switch (type_) {
    case VarType::kBoolean:
      return int_ != 0 ? -1 : 0;
    case VarType::kInteger:
    case VarType::kLong:
    case VarType::kLongLong:
    case VarType::kByte:
      return int_;
    case VarType::kDouble:
    case VarType::kDate:
      return static_cast<int64_t>(std::llround(real_));
    case VarType::kString: {
      std::string t = Trim(text_);
      char* end = nullptr;
      double d = std::strtod(t.c_str(), &end);
      if (!t.empty() && end && *end == '\0') return static_cast<int64_t>(std::llround(d));
      break;
    }
    default:
      break;
  }
  if (ok) *ok = false;
  return 0;
}

bool Variant::operator==(const Variant& other) const {
  if (type_ != other.type_) return false;
  switch (type_) {
    case VarType::kEmpty:
    case VarType::kNull:
      return true;
    case VarType::kString:
      return text_ == other.text_;
    case VarType::kDouble:
    case VarType::kDate:
      return real_ == other.real_;
    case VarType::kArray:
      return array() == other.array();
    default:
      return int_ == other.int_;
  }
}

// 25569 days lie between 1899-12-30 and 1970-01-01.
double OleDateFromUnix(int64_t unix_seconds) {
  return 25569.0 + static_cast<double>(unix_seconds) / 86400.0;
}

int64_t UnixFromOleDate(double ole_date) {
  return static_cast<int64_t>(std::llround((ole_date - 25569.0) * 86400.0));
}

std::string FormatGeneralDate(double ole_date) {
  // An OLE date is local wall-clock time; format it as such without a zone shift.
  time_t secs = static_cast<time_t>(UnixFromOleDate(ole_date));
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[128];
  size_t n = 0;
  // The locale's own short date may show two-digit years; that is the locale's choice.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-y2k"
  if (tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0) {
    n = std::strftime(buf, sizeof buf, "%x", &tm);
  } else {
    n = std::strftime(buf, sizeof buf, "%x %X", &tm);
  }
#pragma GCC diagnostic pop
  return std::string(buf, n);
}

}  // namespace testqav
