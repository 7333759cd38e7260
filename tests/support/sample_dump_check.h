// What the golden tests of the sample organisation share: the sample's Exchange names and
// entry IDs, and a field-by-field comparison of a dump with hand-derived rows.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace testqav::testing {

using Row = std::map<std::string, std::string>;

inline std::string Dn(const std::string& alias) {
  return "/o=Northwind/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)/cn=Recipients/cn=" +
         alias;
}
inline std::string LowerDn(const std::string& alias) {
  return "/o=northwind/ou=exchange administrative group (fydibohf23spdlt)/cn=recipients/cn=" +
         alias;
}

// Address-book entry ID: flags 0, the Exchange provider UID, version 1, the display type
// (0 mail user, 1 list, 6 remote user), the distinguished name as the directory spells it,
// NUL.
inline std::string EntryIdOfDn(const std::string& dn, int display_type = 0) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out =
      "00000000DCA740C8C042101AB4B908002B2FE182"
      "01000000";
  out += kHex[(display_type >> 4) & 15];
  out += kHex[display_type & 15];
  out += "000000";
  for (unsigned char c : dn) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out + "00";
}
inline std::string EntryId(const std::string& alias, int display_type = 0) {
  return EntryIdOfDn(Dn(alias), display_type);
}

inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
    if (end == std::string::npos) break;
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

inline std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (true) {
    size_t c = line.find(',', pos);
    out.push_back(line.substr(pos, c == std::string::npos ? std::string::npos : c - pos));
    if (c == std::string::npos) break;
    pos = c + 1;
  }
  return out;
}

// Every column of every row, in order; a field the row does not name must be empty.
inline void ExpectDump(const std::string& text, const std::vector<Row>& expected,
                       const std::string& name, size_t columns) {
  std::vector<std::string> lines = SplitLines(text);
  ASSERT_EQ(lines.size(), expected.size() + 1) << name << ":\n" << text;
  std::vector<std::string> header = SplitFields(lines[0]);
  ASSERT_EQ(header.size(), columns);
  for (size_t r = 0; r < expected.size(); ++r) {
    std::vector<std::string> fields = SplitFields(lines[r + 1]);
    ASSERT_EQ(fields.size(), columns) << name << " row " << r + 1;
    for (const auto& [field, value] : expected[r]) {
      EXPECT_NE(std::find(header.begin(), header.end(), field), header.end()) << field;
    }
    for (size_t c = 0; c < header.size(); ++c) {
      auto it = expected[r].find(header[c]);
      std::string want = it == expected[r].end() ? "" : it->second;
      EXPECT_EQ(fields[c], want) << name << " row " << r + 1 << " field " << header[c];
    }
  }
}

}  // namespace testqav::testing
