// The JSON reader of json_reader.h. Its helpers stay in this file, where the compiler can
// inline them into the loops that scan a store file; only the handler's events go through
// virtual calls, one per value, which cost nothing noticeable beside the scan
// (docs/benchmarks.md).

#include "platform/messaging/json/json_reader.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/common/hex.h"
#include "platform/common/utf8.h"

namespace testqav::mailbox {
namespace {

constexpr int kMaxDepth = 512;
constexpr size_t kUnknown = static_cast<size_t>(-1);

int Hex4(const char* p) {
  int v = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = HexDigitValue(p[i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool Plain(char ch) {
  auto c = static_cast<unsigned char>(ch);
  return c != '"' && c != '\\' && c >= 0x20 && c < 0x80;
}

}  // namespace

JsonReader::JsonReader(const char* begin, const char* end, const char** track)
    : p_(begin), begin_(begin), end_(end), track_(track) {}

bool JsonReader::Parse(JsonHandler& h) {
  SkipWs();
  if (p_ == end_) return Error("syntax error: unexpected end of input; expected a value");
  if (!Value(h, 0)) return false;
  SkipWs();
  if (p_ != end_) return Error("syntax error: unexpected content after the document's end");
  return true;
}

bool JsonReader::Stop() {
  stopped_ = true;
  return false;
}

bool JsonReader::Error(std::string message) {
  error_ = std::move(message);
  error_offset_ = static_cast<size_t>(p_ - begin_);
  return false;
}

std::string JsonReader::Found() const {
  if (p_ == end_) return "end of input";
  unsigned char c = static_cast<unsigned char>(*p_);
  if (c >= 0x20 && c < 0x7F) return std::string("'") + static_cast<char>(c) + "'";
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string("byte 0x") + kHex[c >> 4] + kHex[c & 15];
}

void JsonReader::SkipWs() {
  while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
}

bool JsonReader::Value(JsonHandler& h, int depth) {
  switch (*p_) {
    case '{':
      return Object(h, depth);
    case '[':
      return Array(h, depth);
    case '"': {
      std::string_view s;
      if (!String(&s)) return false;
      Mark();
      return h.string(s) || Stop();
    }
    case 't':
      if (!Literal("true")) return false;
      Mark();
      return h.boolean(true) || Stop();
    case 'f':
      if (!Literal("false")) return false;
      Mark();
      return h.boolean(false) || Stop();
    case 'n':
      if (!Literal("null")) return false;
      Mark();
      return h.null() || Stop();
    default:
      if (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')) return Number(h);
      return Error("syntax error: unexpected " + Found() + "; expected a value");
  }
}

bool JsonReader::Literal(const char* word) {
  for (const char* w = word; *w; ++w, ++p_) {
    if (p_ == end_ || *p_ != *w) {
      return Error("syntax error: invalid literal; expected " + std::string(word));
    }
  }
  return true;
}

bool JsonReader::Object(JsonHandler& h, int depth) {
  if (depth >= kMaxDepth) return Error("syntax error: nesting too deep");
  ++p_;
  Mark();
  if (!h.start_object(kUnknown)) return Stop();
  SkipWs();
  if (p_ != end_ && *p_ == '}') {
    ++p_;
    Mark();
    return h.end_object() || Stop();
  }
  for (;;) {
    SkipWs();
    if (p_ == end_ || *p_ != '"') {
      return Error("syntax error: unexpected " + Found() + "; expected a member name");
    }
    std::string_view k;
    if (!String(&k)) return false;
    Mark();
    if (!h.key(k)) return Stop();
    SkipWs();
    if (p_ == end_ || *p_ != ':') {
      return Error("syntax error: unexpected " + Found() + "; expected ':'");
    }
    ++p_;
    SkipWs();
    if (p_ == end_) return Error("syntax error: unexpected end of input; expected a value");
    if (!Value(h, depth + 1)) return false;
    SkipWs();
    if (p_ != end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ != end_ && *p_ == '}') {
      ++p_;
      Mark();
      return h.end_object() || Stop();
    }
    return Error("syntax error: unexpected " + Found() + "; expected ',' or '}'");
  }
}

bool JsonReader::Array(JsonHandler& h, int depth) {
  if (depth >= kMaxDepth) return Error("syntax error: nesting too deep");
  ++p_;
  Mark();
  if (!h.start_array(kUnknown)) return Stop();
  SkipWs();
  if (p_ != end_ && *p_ == ']') {
    ++p_;
    Mark();
    return h.end_array() || Stop();
  }
  for (;;) {
    SkipWs();
    if (p_ == end_) return Error("syntax error: unexpected end of input; expected a value");
    if (!Value(h, depth + 1)) return false;
    SkipWs();
    if (p_ != end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ != end_ && *p_ == ']') {
      ++p_;
      Mark();
      return h.end_array() || Stop();
    }
    return Error("syntax error: unexpected " + Found() + "; expected ',' or ']'");
  }
}

bool JsonReader::Number(JsonHandler& h) {
  const char* start = p_;
  bool negative = false;
  if (*p_ == '-') {
    negative = true;
    ++p_;
  }
  if (p_ == end_ || *p_ < '0' || *p_ > '9') {
    return Error("syntax error: invalid number; expected a digit after '-'");
  }
  bool integral = true;
  uint64_t magnitude = 0;
  bool overflow = false;
  if (*p_ == '0') {
    ++p_;
  } else {
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') {
      auto d = static_cast<uint64_t>(*p_ - '0');
      if (magnitude > (std::numeric_limits<uint64_t>::max() - d) / 10) overflow = true;
      magnitude = magnitude * 10 + d;
      ++p_;
    }
  }
  if (p_ != end_ && *p_ == '.') {
    integral = false;
    ++p_;
    if (p_ == end_ || *p_ < '0' || *p_ > '9') {
      return Error("syntax error: invalid number; expected a digit after '.'");
    }
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    integral = false;
    ++p_;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_ || *p_ < '0' || *p_ > '9') {
      return Error("syntax error: invalid number; expected a digit in the exponent");
    }
    while (p_ != end_ && *p_ >= '0' && *p_ <= '9') ++p_;
  }
  Mark();
  constexpr auto kMaxInt = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (integral && !overflow) {
    if (!negative) {
      if (magnitude <= kMaxInt) return h.number_integer(static_cast<int64_t>(magnitude)) || Stop();
      return h.number_unsigned(magnitude) || Stop();
    }
    if (magnitude <= kMaxInt + 1) {
      int64_t v = magnitude == kMaxInt + 1 ? std::numeric_limits<int64_t>::min()
                                           : -static_cast<int64_t>(magnitude);
      return h.number_integer(v) || Stop();
    }
  }
  // strtod needs a terminated copy; floats are rare in a store file.
  std::string token(start, p_);
  return h.number_float(std::strtod(token.c_str(), nullptr), std::string_view(token)) || Stop();
}

// Advances p_ over the characters of a string that need no attention (printable ASCII other
// than '"' and '\\'), eight at a time: this scan is most of the time a store file takes.
void JsonReader::SkipPlain() {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  while (end_ - p_ >= 8) {
    uint64_t w;
    std::memcpy(&w, p_, 8);
    uint64_t quote = w ^ (kOnes * '"');
    uint64_t backslash = w ^ (kOnes * '\\');
    // High bit of a byte set: that byte is zero in `quote` or `backslash`, or below 0x20, or
    // not ASCII (the usual "has a zero byte" test, which is exact for the whole word).
    uint64_t stop = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                    ((w - kOnes * 0x20) & ~w) | w;
    if (stop & kHigh) break;
    p_ += 8;
  }
  while (p_ != end_ && Plain(*p_)) ++p_;
}

// Reads the string at p_ (its opening quote) into *out, which views the input when the
// string has no escapes and scratch_ when it has.
bool JsonReader::String(std::string_view* out) {
  const char* start = ++p_;  // past the opening quote
  for (;;) {
    SkipPlain();
    if (p_ == end_) return Error("syntax error: unexpected end of input inside a string");
    auto c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      *out = std::string_view(start, static_cast<size_t>(p_ - start));
      ++p_;
      return true;
    }
    if (c == '\\') break;
    if (!Utf8OrControl()) return false;
  }
  scratch_.assign(start, p_);
  if (!Unescape(&scratch_)) return false;
  *out = scratch_;
  return true;
}

// Steps over the character at p_ (not ASCII, or a control character): a well-formed UTF-8
// sequence passes, anything else is an error.
bool JsonReader::Utf8OrControl() {
  if (static_cast<unsigned char>(*p_) < 0x20) {
    return Error("syntax error: control character inside a string; use \\u escape");
  }
  size_t n = Utf8SequenceLength(std::string_view(p_, static_cast<size_t>(end_ - p_)));
  if (n == 0) return Error("syntax error: invalid UTF-8 in a string");
  p_ += n;
  return true;
}

// Decodes the rest of a string that has an escape at p_, appending to *out, and steps over
// the closing quote.
bool JsonReader::Unescape(std::string* out) {
  for (;;) {
    const char* run = p_;
    SkipPlain();
    out->append(run, p_);
    if (p_ == end_) return Error("syntax error: unexpected end of input inside a string");
    auto c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      ++p_;
      return true;
    }
    if (c != '\\') {
      const char* at = p_;
      if (!Utf8OrControl()) return false;
      out->append(at, p_);
      continue;
    }
    if (end_ - p_ < 2) return Error("syntax error: unexpected end of input inside a string");
    char e = p_[1];
    switch (e) {
      case '"':
      case '\\':
      case '/':
        out->push_back(e);
        p_ += 2;
        continue;
      case 'b':
        out->push_back('\b');
        p_ += 2;
        continue;
      case 'f':
        out->push_back('\f');
        p_ += 2;
        continue;
      case 'n':
        out->push_back('\n');
        p_ += 2;
        continue;
      case 'r':
        out->push_back('\r');
        p_ += 2;
        continue;
      case 't':
        out->push_back('\t');
        p_ += 2;
        continue;
      case 'u':
        break;
      default:
        return Error("syntax error: invalid escape in a string");
    }
    int hi = end_ - p_ >= 6 ? Hex4(p_ + 2) : -1;
    if (hi < 0) return Error("syntax error: \\u must be followed by four hexadecimal digits");
    p_ += 6;
    uint32_t cp = static_cast<uint32_t>(hi);
    if (cp >= 0xDC00 && cp <= 0xDFFF) return Error("syntax error: lone low surrogate escape");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      int lo = (end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') ? Hex4(p_ + 2) : -1;
      if (lo < 0xDC00 || lo > 0xDFFF) {
        return Error("syntax error: high surrogate escape without a low surrogate");
      }
      p_ += 6;
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<uint32_t>(lo) - 0xDC00);
    }
    AppendUtf8(out, cp);
  }
}

}  // namespace testqav::mailbox
