// The one value type of the system: what the original held in COM variants (text, 16- and
// 32-bit integers, Boolean, date, byte, arrays, Null, Empty). TypeName() gives the run-time
// type names that the value readers compare against ("String", "Integer", "Long",
// "Boolean", "Date", "Byte", "Variant()", "Null", "Empty", "Double").
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace testqav {

enum class VarType {
  kEmpty,
  kNull,
  kInteger,
  kLong,
  kLongLong,
  kDouble,
  kDate,
  kString,
  kBoolean,
  kByte,
  kArray
};

class Variant {
 public:
  Variant() : int_(0) {}  // Empty
  Variant(const Variant& other) : int_(0) { CopyFrom(other); }
  Variant(Variant&& other) noexcept : int_(0) { MoveFrom(std::move(other)); }
  Variant& operator=(const Variant& other) {
    // Through a copy: `other` may live inside this value's own array.
    if (this != &other) {
      Variant copy(other);
      Destroy();
      MoveFrom(std::move(copy));
    }
    return *this;
  }
  Variant& operator=(Variant&& other) noexcept {
    if (this != &other) {
      Variant taken(std::move(other));
      Destroy();
      MoveFrom(std::move(taken));
    }
    return *this;
  }
  ~Variant() { Destroy(); }

  Variant(const char* s) : type_(VarType::kString), text_(s) {}             // NOLINT
  Variant(std::string s) : type_(VarType::kString), text_(std::move(s)) {}  // NOLINT
  Variant(std::string_view s) : type_(VarType::kString), text_(s) {}        // NOLINT

  static Variant Empty() { return Variant(); }
  static Variant Null() { return Variant(VarType::kNull); }
  static Variant String(std::string s) { return Variant(std::move(s)); }
  static Variant Integer(int16_t v) { return Variant(VarType::kInteger, int64_t{v}); }
  static Variant Long(int32_t v) { return Variant(VarType::kLong, int64_t{v}); }
  static Variant LongLong(int64_t v) { return Variant(VarType::kLongLong, v); }
  static Variant Boolean(bool v) { return Variant(VarType::kBoolean, int64_t{v ? 1 : 0}); }
  static Variant Byte(uint8_t v) { return Variant(VarType::kByte, int64_t{v}); }
  static Variant Double(double v) { return Variant(VarType::kDouble, v); }
  // An OLE automation date: days since 1899-12-30 00:00, the fraction being the time of day.
  static Variant Date(double ole_date) { return Variant(VarType::kDate, ole_date); }
  static Variant Array(std::vector<Variant> items);
  // A binary value as the helper library hands it out: an array of Byte variants.
  static Variant Bytes(const std::vector<uint8_t>& bytes);

  VarType type() const { return type_; }
  std::string TypeName() const;

  bool IsEmpty() const { return type_ == VarType::kEmpty; }
  bool IsNull() const { return type_ == VarType::kNull; }
  bool IsString() const { return type_ == VarType::kString; }
  bool IsArray() const { return type_ == VarType::kArray; }
  bool IsNumeric() const;

  // Accessors for the stored representation; calling the wrong one returns a zero value.
  const std::string& string_value() const {
    return type_ == VarType::kString ? text_ : EmptyText();
  }
  int64_t integer_value() const { return HoldsInteger() ? int_ : 0; }
  double double_value() const { return HoldsReal() ? real_ : 0; }
  bool bool_value() const { return integer_value() != 0; }
  const std::vector<Variant>& array() const;

  // Text conversion as the original's string conversion did it: Empty and Null give the
  // empty text, Booleans "True"/"False", dates the locale's general date form, arrays the
  // empty text (the original raised; callers treat that as empty).
  std::string ToText() const;
  // Boolean conversion: numbers are True when non-zero, texts "True"/"False" (any case) or
  // numeric texts; anything else is not convertible (returns false and sets *ok = false).
  bool ToBool(bool* ok = nullptr) const;
  // Integer conversion with the same rules; not convertible gives 0 and *ok = false.
  int64_t ToInteger(bool* ok = nullptr) const;

  // Exact equality of type and value (arrays element-wise).
  bool operator==(const Variant& other) const;

 private:
  explicit Variant(VarType t) : type_(t), int_(0) {}
  Variant(VarType t, int64_t v) : type_(t), int_(v) {}
  Variant(VarType t, double v) : type_(t), real_(v) {}

  static const std::string& EmptyText();
  bool HoldsReal() const { return type_ == VarType::kDouble || type_ == VarType::kDate; }
  bool HoldsInteger() const {
    return type_ != VarType::kString && type_ != VarType::kArray && !HoldsReal();
  }
  // These expect no payload to be alive (a fresh or destroyed value).
  void CopyFrom(const Variant& other);
  void MoveFrom(Variant&& other) noexcept;
  template <typename Source>
  void TakePayload(Source&& other);
  // Ends the payload; the value is Empty afterwards.
  void Destroy() noexcept;

  // One payload, chosen by the type: text_ for kString, items_ for kArray, real_ for kDouble
  // and kDate, int_ for the rest (0 for Empty and Null). Record sets hold millions of
  // values; sharing the room keeps one at 40 bytes instead of 72.
  VarType type_ = VarType::kEmpty;
  union {
    int64_t int_;
    double real_;
    std::string text_;
    std::shared_ptr<const std::vector<Variant>> items_;
  };
};

// The locale's general date form of an OLE date: short date, blank, long time; the time
// is left out when it is exactly midnight. Follows LC_TIME.
std::string FormatGeneralDate(double ole_date);
// Conversions between OLE dates and Unix seconds (UTC).
double OleDateFromUnix(int64_t unix_seconds);
int64_t UnixFromOleDate(double ole_date);

}  // namespace testqav
