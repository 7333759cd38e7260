#include "platform/directory/embedded/ldif_reader.h"

#include <ldap.h>

#include <optional>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"

namespace testqav {
namespace {

struct LogicalLine {
  size_t number;  // physical line where it starts
  std::string text;
};

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
  auto fail = [&](size_t line, const std::string& fault) -> Status {
    std::string message = std::string(file_name) + ":" + std::to_string(line) + ": " + fault;
    diagnostics << message << "\n";
    return Status(err::kCorrupt, message);
  };

  // Unfold: a physical line starting with one blank continues the previous logical line.
  // Blank lines stay as record separators; comment lines (also folded) disappear.
  std::vector<LogicalLine> lines;
  bool in_comment = false;
  size_t number = 0;
  size_t pos = 0;
  if (StartsWith(text, "\xEF\xBB\xBF")) pos = 3;
  while (pos <= text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view raw = text.substr(pos, nl - pos);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    ++number;
    pos = nl + 1;
    if (!raw.empty() && raw[0] == ' ') {
      if (in_comment) continue;
      if (lines.empty() || lines.back().text.empty()) {
        return fail(number, "continuation line without a line to continue");
      }
      lines.back().text.append(raw.substr(1));
      continue;
    }
    if (!raw.empty() && raw[0] == '#') {
      in_comment = true;
      continue;
    }
    in_comment = false;
    lines.push_back({number, std::string(raw)});
    if (nl == text.size()) break;
  }

  std::vector<DirectoryEntry> entries;
  bool first_line = true;
  bool in_record = false;
  for (const LogicalLine& line : lines) {
    if (line.text.empty() || Trim(line.text).empty()) {
      in_record = false;
      continue;
    }
    if (line.text == "-") return fail(line.number, "\"-\" separators belong to change records");
    size_t colon = line.text.find(':');
    if (colon == std::string::npos)
      return fail(line.number, "missing \":\" in \"" + line.text + "\"");
    std::string type = line.text.substr(0, colon);
    std::string value;
    size_t v = colon + 1;
    if (v < line.text.size() && line.text[v] == ':') {
      std::string_view b64 = std::string_view(line.text).substr(v + 1);
      while (!b64.empty() && b64.front() == ' ') b64.remove_prefix(1);
      std::optional<std::string> decoded = DecodeBase64(b64);
      if (!decoded) return fail(line.number, "bad base64 value for \"" + type + "\"");
      value = std::move(*decoded);
    } else if (v < line.text.size() && line.text[v] == '<') {
      return fail(line.number, "URL values (\":<\") are not supported");
    } else {
      while (v < line.text.size() && line.text[v] == ' ') ++v;
      value = line.text.substr(v);
    }
    if (first_line && !in_record && EqualsIgnoreCase(type, "version")) {
      first_line = false;
      if (value != "1") return fail(line.number, "unsupported LDIF version \"" + value + "\"");
      continue;
    }
    first_line = false;
    if (EqualsIgnoreCase(type, "changetype")) {
      return fail(line.number, "change records are not supported (changetype)");
    }
    if (!in_record) {
      if (!EqualsIgnoreCase(type, "dn")) {
        return fail(line.number, "record does not start with \"dn:\" but with \"" + type + "\"");
      }
      if (!value.empty()) {
        LDAPDN parsed = nullptr;
        if (ldap_str2dn(value.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) {
          return fail(line.number, "invalid distinguished name \"" + value + "\"");
        }
        ldap_dnfree(parsed);
      }
      entries.push_back(DirectoryEntry{value, {}});
      in_record = true;
      continue;
    }
    if (EqualsIgnoreCase(type, "dn")) return fail(line.number, "second \"dn:\" in one record");
    if (!IsAttributeDescription(type)) {
      return fail(line.number, "invalid attribute description \"" + type + "\"");
    }
    // Options (";binary", ";lang-x") do not change which attribute a value belongs to.
    std::string name = type.substr(0, type.find(';'));
    DirectoryEntry* current = &entries.back();
    DirectoryAttribute* attribute = nullptr;
    for (DirectoryAttribute& a : current->attributes) {
      if (EqualsIgnoreCase(a.name, name)) attribute = &a;
    }
    if (attribute == nullptr) {
      current->attributes.push_back(DirectoryAttribute{name, {}});
      attribute = &current->attributes.back();
    }
    attribute->values.push_back(std::move(value));
  }
  return entries;
}

}  // namespace testqav
