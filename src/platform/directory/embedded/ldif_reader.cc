#include "platform/directory/embedded/ldif_reader.h"

#include <ldap.h>

#include <algorithm>
#include <optional>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"

namespace testqav {
namespace {

// A decoded ("::") value may hold line breaks or other control bytes; a diagnostic shows
// them escaped so that it stays one line that names its own file and line.
std::string Shown(std::string_view value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += kDigits[c >> 4];
      out += kDigits[c & 0xF];
    } else {
      out += ch;
    }
  }
  return out;
}

// Logical lines one at a time: a physical line starting with one blank continues the
// previous logical line; blank lines stay as record separators; comment lines (also folded)
// disappear. A logical line is a view of the text unless folding joined several physical
// lines. Nothing is kept per line, so a large file costs no second copy of itself.
class LogicalLines {
 public:
  explicit LogicalLines(std::string_view text) : text_(text) {
    if (StartsWith(text_, "\xEF\xBB\xBF")) pos_ = 3;
  }

  // The physical line of the first continuation line that has nothing to continue, or 0.
  size_t FirstOrphanContinuation() const {
    LogicalLines scan(text_);
    bool in_comment = false;
    bool continuable = false;  // a logical line exists and is not empty
    std::string_view raw;
    while (scan.NextPhysical(&raw)) {
      if (!raw.empty() && raw[0] == ' ') {
        if (in_comment) continue;
        if (!continuable) return scan.number_;
        continue;
      }
      if (!raw.empty() && raw[0] == '#') {
        in_comment = true;
        continue;
      }
      in_comment = false;
      continuable = !raw.empty();
    }
    return 0;
  }

  // The next logical line and the physical line where it starts; false at the end. Valid
  // until the following call. Requires FirstOrphanContinuation() == 0.
  bool Next(std::string_view* line, size_t* number) {
    std::string_view raw;
    while (NextPhysical(&raw)) {
      if (!raw.empty() && raw[0] == ' ') {
        if (in_comment_) continue;
        if (!pending_folded_) {
          pending_buffer_.assign(pending_);
          pending_folded_ = true;
        }
        pending_buffer_.append(raw.substr(1));
        continue;
      }
      if (!raw.empty() && raw[0] == '#') {
        in_comment_ = true;
        continue;
      }
      in_comment_ = false;
      bool had = has_pending_;
      if (had) Emit(line, number);
      has_pending_ = true;
      pending_ = raw;
      pending_number_ = number_;
      pending_folded_ = false;
      if (had) return true;
    }
    if (!has_pending_) return false;
    Emit(line, number);
    has_pending_ = false;
    return true;
  }

 private:
  bool NextPhysical(std::string_view* raw) {
    if (pos_ > text_.size()) return false;
    size_t nl = text_.find('\n', pos_);
    if (nl == std::string_view::npos) nl = text_.size();
    *raw = text_.substr(pos_, nl - pos_);
    if (!raw->empty() && raw->back() == '\r') raw->remove_suffix(1);
    ++number_;
    pos_ = nl + 1;
    return true;
  }

  void Emit(std::string_view* line, size_t* number) {
    *number = pending_number_;
    if (pending_folded_) {
      emitted_buffer_.swap(pending_buffer_);
      *line = emitted_buffer_;
    } else {
      *line = pending_;
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  size_t number_ = 0;
  bool in_comment_ = false;
  bool has_pending_ = false;
  std::string_view pending_;
  size_t pending_number_ = 0;
  bool pending_folded_ = false;
  std::string pending_buffer_;
  std::string emitted_buffer_;
};

// Attribute descriptions are ASCII (checked before use), so this is exact for them.
bool AsciiEqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// `word` is a lower-case ASCII keyword; `type` may be anything, and folds the Unicode way
// when it is not ASCII (as the comparison always has).
bool IsKeyword(std::string_view type, std::string_view word) {
  for (char c : type) {
    if (static_cast<unsigned char>(c) >= 0x80) return EqualsIgnoreCase(type, word);
  }
  return AsciiEqualsIgnoreCase(type, word);
}

std::optional<std::string> DecodeBase64(std::string_view in) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  size_t pad = 0;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else if (c == '=') {
      ++pad;
      continue;
    } else {
      return std::nullopt;
    }
    if (pad > 0) return std::nullopt;  // data after padding
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  if ((in.size() % 4) != 0 || pad > 2) return std::nullopt;
  return out;
}

bool IsAttributeDescription(std::string_view s) {
  if (s.empty()) return false;
  auto ldh = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
  };
  bool alpha = (s[0] >= 'a' && s[0] <= 'z') || (s[0] >= 'A' && s[0] <= 'Z');
  bool digit = s[0] >= '0' && s[0] <= '9';
  if (!alpha && !digit) return false;
  for (char c : s) {
    if (!ldh(c) && c != ';' && !(digit && c == '.')) return false;
  }
  return s.back() != ';' && s.back() != '.';
}

}  // namespace

Result<std::vector<DirectoryEntry>> ParseLdif(std::string_view text, std::string_view file_name,
                                              std::ostream& diagnostics) {
  std::vector<DirectoryEntry> entries;
  Status status = ParseLdifEach(text, file_name, diagnostics, [&entries](DirectoryEntry&& e) {
    entries.push_back(std::move(e));
  });
  if (!status.ok()) return status;
  entries.shrink_to_fit();
  return entries;
}

namespace {

Status Fault(std::string_view file_name, size_t line, const std::string& fault,
             std::ostream& diagnostics) {
  std::string message = std::string(file_name) + ":" + std::to_string(line) + ": " + fault;
  diagnostics << message << "\n";
  return Status(err::kCorrupt, message);
}

}  // namespace

Status ParseLdifEach(std::string_view text, std::string_view file_name, std::ostream& diagnostics,
                     const std::function<void(DirectoryEntry&&)>& each) {
  // Continuation lines that have nothing to continue make the whole file unreadable: this
  // fault goes before any other, wherever it is.
  if (size_t orphan = LogicalLines(text).FirstOrphanContinuation(); orphan != 0) {
    return Fault(file_name, orphan, "continuation line without a line to continue", diagnostics);
  }
  auto fail = [&](size_t line, const std::string& fault) -> Status {
    return Fault(file_name, line, fault, diagnostics);
  };
  LogicalLines lines(text);

  DirectoryEntry current;
  bool have_current = false;
  auto hand_out = [&] {
    if (!have_current) return;
    current.attributes.shrink_to_fit();
    each(std::move(current));
    current = DirectoryEntry();
  };
  bool first_line = true;
  bool in_record = false;
  std::string_view text_of_line;
  size_t line_number = 0;
  while (lines.Next(&text_of_line, &line_number)) {
    if (text_of_line.find_first_not_of(' ') == std::string_view::npos) {
      in_record = false;
      continue;
    }
    if (text_of_line == "-") return fail(line_number, "\"-\" separators belong to change records");
    size_t colon = text_of_line.find(':');
    if (colon == std::string::npos) {
      return fail(line_number, "missing \":\" in \"" + std::string(text_of_line) + "\"");
    }
    std::string_view type = text_of_line.substr(0, colon);
    std::string value;
    size_t v = colon + 1;
    if (v < text_of_line.size() && text_of_line[v] == ':') {
      std::string_view b64 = text_of_line.substr(v + 1);
      while (!b64.empty() && b64.front() == ' ') b64.remove_prefix(1);
      std::optional<std::string> decoded = DecodeBase64(b64);
      if (!decoded) return fail(line_number, "bad base64 value for \"" + std::string(type) + "\"");
      value = std::move(*decoded);
    } else if (v < text_of_line.size() && text_of_line[v] == '<') {
      return fail(line_number, "URL values (\":<\") are not supported");
    } else {
      while (v < text_of_line.size() && text_of_line[v] == ' ') ++v;
      value.assign(text_of_line.substr(v));
    }
    if (first_line && !in_record && IsKeyword(type, "version")) {
      first_line = false;
      if (value != "1")
        return fail(line_number, "unsupported LDIF version \"" + Shown(value) + "\"");
      continue;
    }
    first_line = false;
    if (IsKeyword(type, "changetype")) {
      return fail(line_number, "change records are not supported (changetype)");
    }
    if (!in_record) {
      if (!IsKeyword(type, "dn")) {
        return fail(line_number,
                    "record does not start with \"dn:\" but with \"" + std::string(type) + "\"");
      }
      if (!value.empty()) {
        LDAPDN parsed = nullptr;
        if (ldap_str2dn(value.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) {
          return fail(line_number, "invalid distinguished name \"" + Shown(value) + "\"");
        }
        ldap_dnfree(parsed);
      }
      hand_out();
      current = DirectoryEntry{std::move(value), {}};
      have_current = true;
      in_record = true;
      continue;
    }
    if (IsKeyword(type, "dn")) return fail(line_number, "second \"dn:\" in one record");
    if (!IsAttributeDescription(type)) {
      return fail(line_number, "invalid attribute description \"" + std::string(type) + "\"");
    }
    // Options (";binary", ";lang-x") do not change which attribute a value belongs to.
    std::string_view name = type.substr(0, type.find(';'));
    DirectoryAttribute* attribute = nullptr;
    // Values of one attribute usually stand together, so the last attribute is tried first;
    // the last match wins as before (names of one entry are distinct anyway).
    for (auto it = current.attributes.rbegin(); it != current.attributes.rend(); ++it) {
      if (AsciiEqualsIgnoreCase(it->name, name)) {
        attribute = &*it;
        break;
      }
    }
    if (attribute == nullptr) {
      current.attributes.push_back(DirectoryAttribute{std::string(name), {}});
      attribute = &current.attributes.back();
    }
    attribute->values.push_back(std::move(value));
  }
  hand_out();
  return Status();
}

}  // namespace testqav
