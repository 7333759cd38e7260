#include "platform/registry/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/error_codes.h"
#include "support/temp_dir.h"

namespace testqav {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Bytes(std::string_view s) { return {s.begin(), s.end()}; }

// A text value as Windows returns it to an ANSI caller: UTF-8 plus the terminating NUL.
RegValue Text(std::string_view text, uint32_t type = kRegSz) {
  std::string data(text);
  data.push_back('\0');
  return RegValue{type, Bytes(data)};
}

RegValue Dword(uint32_t v) {
  return RegValue{kRegDword,
                  {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                   static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)}};
}

RegValue Bin(uint32_t type, std::vector<uint8_t> data) { return RegValue{type, std::move(data)}; }

// UTF-16LE bytes with the BOM that regedit writes, encoded here without the code under test.
std::string Utf16File(std::u16string_view text) {
  std::string out = "\xFF\xFE";
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

std::string Describe(const RegValue& v) {
  std::ostringstream out;
  out << "type " << v.type << " [";
  for (size_t i = 0; i < v.data.size(); ++i) {
    static const char* kDigits = "0123456789abcdef";
    out << (i ? "," : "") << kDigits[v.data[i] >> 4] << kDigits[v.data[i] & 0xF];
  }
  out << "]";
  return out.str();
}

::testing::AssertionResult HasValue(const Registry& reg, std::string_view path,
                                    std::string_view name, const RegValue& expected,
                                    uint32_t root = kHkeyLocalMachine) {
  Result<RegValue> got = reg.QueryValue(root, path, name);
  if (!got.ok()) {
    return ::testing::AssertionFailure()
           << path << " \"" << name << "\": " << got.status().description();
  }
  if (got->type != expected.type || got->data != expected.data) {
    return ::testing::AssertionFailure() << path << " \"" << name << "\": got " << Describe(*got)
                                         << ", want " << Describe(expected);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Absent(const Registry& reg, std::string_view path, std::string_view name,
                                  uint32_t root = kHkeyLocalMachine) {
  Result<RegValue> got = reg.QueryValue(root, path, name);
  if (got.ok()) {
    return ::testing::AssertionFailure()
           << path << " \"" << name << "\" exists: " << Describe(*got);
  }
  if (got.status().number() != err::kNotFound) {
    return ::testing::AssertionFailure() << "unexpected error " << got.status().number();
  }
  return ::testing::AssertionSuccess();
}

struct DataCase {
  std::string data;
  std::optional<RegValue> expected;  // nullopt: the value must be rejected
};

class RegistryFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
  }

  // Writes `bytes` as a file of the temporary directory and loads it; the diagnostics land in
  // diag_ and the file's path in path_.
  std::unique_ptr<Registry> Load(std::string_view bytes, const std::string& name = "test.reg") {
    path_ = (dir_ / name).string();
    {
      std::ofstream out(path_, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    std::ostringstream diagnostics;
    auto reg = LoadRegistryFile(path_, diagnostics);
    diag_ = diagnostics.str();
    return reg;
  }

  // Each case is the value line "v"=<data> in line 4 of a REGEDIT4 file; a rejected value
  // must be absent and reported once, for that line.
  void CheckDataCases(const std::vector<DataCase>& cases) {
    for (const DataCase& c : cases) {
      SCOPED_TRACE(c.data);
      auto reg =
          Load("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\T]\r\n\"v\"=" + c.data + "\r\n");
      if (c.expected) {
        EXPECT_TRUE(HasValue(*reg, "Software\\T", "v", *c.expected));
        EXPECT_EQ(diag_, "");
      } else {
        EXPECT_TRUE(Absent(*reg, "Software\\T", "v"));
        EXPECT_EQ(diag_.rfind(path_ + ":4: value \"v\": ", 0), 0u) << diag_;
        EXPECT_EQ(std::count(diag_.begin(), diag_.end(), '\n'), 1) << diag_;
      }
    }
  }

  // The diagnostic line expected for `line` of the last file.
  std::string Diag(int line, std::string_view what) const {
    return path_ + ":" + std::to_string(line) + ": " + std::string(what) + "\n";
  }

  testing::TempDir temp_;
  fs::path dir_;
  std::string path_;
  std::string diag_;
};

TEST_F(RegistryFileTest, DwordsAcceptedAndRejected) {
  const std::vector<DataCase> cases = {
      {"dword:1", Dword(1)},
      {"dword:  8", Dword(8)},
      {"dword:FF", Dword(0xFF)},
      {"dword:ffffffff", Dword(0xFFFFFFFF)},
      {"dword:0000002a ;comment", Dword(42)},
      {"dword:\t7\t", Dword(7)},
      {"dword:1;c", Dword(1)},
      {"dword:", std::nullopt},
      {"dword:123456789", std::nullopt},
      {"dword:0x1", std::nullopt},
      {"dword:12 34", std::nullopt},
      {"dword:-1", std::nullopt},
      {"dword:1g", std::nullopt},
      {"dword:1#c", std::nullopt},
      {"dword:1\\", std::nullopt},
      {"DWORD:1", std::nullopt},
      {"dword :1", std::nullopt},
  };
  CheckDataCases(cases);
}

TEST_F(RegistryFileTest, HexFormsAcceptedAndRejected) {
  const std::vector<DataCase> cases = {
      {"hex:", Bin(kRegBinary, {})},
      {"hex:;comment", Bin(kRegBinary, {})},
      {"hex:01,02,", Bin(kRegBinary, {1, 2})},
      {"hex:1,a,FF", Bin(kRegBinary, {1, 0xA, 0xFF})},
      {"hex:01,02 ;c", Bin(kRegBinary, {1, 2})},
      {"hex:01,02, ", Bin(kRegBinary, {1, 2})},
      {"hex:\\", Bin(kRegBinary, {})},  // a "\" at the end of the file keeps what was read
      {"hex:01,\\", Bin(kRegBinary, {1})},
      {"hex(2):\\", Text("", kRegExpandSz)},
      {"hex:01,02;c", Bin(kRegBinary, {1, 2})},
      {"hex(0):01", Bin(kRegNone, {1})},
      {"hex(b):01,00,00,00,00,00,00,00", Bin(kRegQword, {1, 0, 0, 0, 0, 0, 0, 0})},
      {"hex(4):01,02", Bin(kRegDword, {1, 2})},
      {"hex(ffffffff):ab", Bin(0xFFFFFFFF, {0xAB})},
      {"hex(00000003):ab", Bin(kRegBinary, {0xAB})},
      {"hex(3):", Bin(kRegBinary, {})},
      {"hex(1):41,42,00", Text("AB")},
      {"hex(2):", Text("", kRegExpandSz)},
      {"hex:100", std::nullopt},
      {"hex:,,", std::nullopt},
      {"hex:,", std::nullopt},
      {"hex:01,,02", std::nullopt},
      {"hex:01 ,02", std::nullopt},
      {"hex:01 02", std::nullopt},
      {"hex: 01", std::nullopt},
      {"hex:01, 02", std::nullopt},
      {"hex:01\\", std::nullopt},
      {"hex:01 \\", std::nullopt},
      {"hex:0g", std::nullopt},
      {"hex:01#c", std::nullopt},
      {"hex:0x01", std::nullopt},
      {"hex(100000000):01", std::nullopt},
      {"hex(0x2):01", std::nullopt},
      {"hex():01", std::nullopt},
      {"hex(2)01", std::nullopt},
      {"hex(2) :01", std::nullopt},
      {"hex(g):01", std::nullopt},
      {"Hex:01", std::nullopt},
      {"hex:01,\\x", std::nullopt},
      {"bin:01", std::nullopt},
      {"str(2):\"x\"", std::nullopt},  // Wine's own files only
  };
  CheckDataCases(cases);
}

TEST_F(RegistryFileTest, StringsAndEscapes) {
  const std::vector<DataCase> cases = {
      {R"("x")", Text("x")},
      {R"("x";c)", Text("x")},
      {R"("x"  ; c)", Text("x")},
      {R"("a\"b")", Text("a\"b")},
      {R"("c:\\temp\\")", Text("c:\\temp\\")},
      {R"("")", Text("")},
      {R"("  kept  ")", Text("  kept  ")},
      {R"(   "x"   )", Text("x")},
      {R"("a\qb")", Text("a\\qb")},  // not an escape: kept as written
      {R"("a;b#c")", Text("a;b#c")},
      {"\"Gr\xC3\xBC\xC3\x9F\x65\"", Text("Gr\xC3\xBC\xC3\x9F\x65")},
      {R"("a\0b")", std::nullopt},
      {R"("x"#c)", std::nullopt},
      {R"("x"y)", std::nullopt},
      {R"("x" "y")", std::nullopt},
      {R"("abc)", std::nullopt},
      {R"("abc\")", std::nullopt},
      {R"("abc\)", std::nullopt},
      {R"(x)", std::nullopt},
      {R"(-x)", std::nullopt},
      {"", std::nullopt},
  };
  CheckDataCases(cases);
}

TEST_F(RegistryFileTest, DiagnosticTextsOfRejectedValues) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"("v"="a\0b")", R"(value "v": "\0" inside a string; skipped)"},
      {R"("v"="abc)", R"(value "v": unterminated string; skipped)"},
      {R"("v"="x"y)", R"(value "v": text after the string; skipped)"},
      {R"("v"=dword:123456789)", R"(value "v": a dword needs 1 to 8 hex digits; skipped)"},
      {R"("v"=dword:12 34)", R"(value "v": text after the dword; skipped)"},
      {R"("v"=hex:100)", R"(value "v": hex byte with more than two digits; skipped)"},
      {R"("v"=hex:,,)", R"(value "v": empty hex byte; skipped)"},
      {R"("v"=hex:01, 02)", R"(value "v": blank inside hex data; skipped)"},
      {R"("v"=hex:01\)", R"(value "v": "\" must follow a comma; skipped)"},
      {R"("v"=hex(0x2):01)", R"x(value "v": bad type number in "hex(...)"; skipped)x"},
      {R"("v"=text)", R"(value "v": unknown data type; skipped)"},
      {R"("v"=-x)", R"(value "v": text after "-"; skipped)"},
      {R"("v" "x")", R"(value "v": missing "=" after the name; skipped)"},
      {R"(@=dword:)", R"(default value: a dword needs 1 to 8 hex digits; skipped)"},
      {R"("a\0"="x")", R"(value name: "\0" inside a string; line skipped)"},
      {R"("open=1)", R"(value name: unterminated string; line skipped)"},
  };
  for (const auto& [line, message] : cases) {
    SCOPED_TRACE(line);
    auto reg = Load("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\T]\r\n" + line + "\r\n");
    EXPECT_EQ(diag_, Diag(4, message));
  }
}

// Hex data continued over lines. Each case is the value "v" from line 4 of a REGEDIT4 file on,
// after a valid "v" in line 3 and before "after" in the line that follows the case's lines.
TEST_F(RegistryFileTest, HexContinuations) {
  struct ContinuationCase {
    std::string lines;                     // what follows "v"=, lines separated by "\n"
    std::optional<RegValue> expected;      // nullopt: rejected, the earlier "v" stays
    std::vector<std::string> diagnostics;  // "<line>: <what>"
  };
  const std::string label = "value \"v\": ";
  const std::vector<ContinuationCase> cases = {
      {"hex:01,02,\\\n  03,04,\\ ; comment after the backslash\n\n; a comment line\n  05",
       Bin(kRegBinary, {1, 2, 3, 4, 5}),
       {}},
      {"hex(2):\\\n  25,50,41,54,48,25,00", Text("%PATH%", kRegExpandSz), {}},
      {"hex:01, \\\n02", Bin(kRegBinary, {1, 2}), {}},
      {"hex:01,\\\n  \\\n  02 ;c", Bin(kRegBinary, {1, 2}), {}},
      {"hex:01,\\\n\t02,\\\n03,", Bin(kRegBinary, {1, 2, 3}), {}},
      // A comment that ends in "\" continues nothing.
      {"hex:01, ; c\\\n  02", Bin(kRegBinary, {1}), {"5: line not understood; ignored"}},
      // A byte split over two lines, and "\" right after a byte: the next line is still read
      // as the value's data, and so is the line after it when that one ends in "\" too.
      {"hex:33,4\\\n  4,55", std::nullopt, {"4: " + label + "\"\\\" must follow a comma; skipped"}},
      {"hex:01,44\\\n  55", std::nullopt, {"4: " + label + "\"\\\" must follow a comma; skipped"}},
      {"hex:01 \\\n  02", std::nullopt, {"4: " + label + "\"\\\" must follow a comma; skipped"}},
      {"hex:33,4\\\n  4,55,\\\n  66",
       std::nullopt,
       {"4: " + label + "\"\\\" must follow a comma; skipped"}},
      {"hex:01,\\\n  02,03\\\n  04",
       std::nullopt,
       {"5: " + label + "\"\\\" must follow a comma; skipped"}},
      {"hex:01,\\\n  ,02",
       std::nullopt,
       {"5: " + label + "continuation line is not hex data; skipped"}},
      {"hex:01,\\\n# not a comment here",
       std::nullopt,
       {"5: " + label + "continuation line is not hex data; skipped"}},
      {"hex:01,\\\n  0g", std::nullopt, {"5: " + label + "bad hex data; skipped"}},
      {"hex:01,\\\n  02 03", std::nullopt, {"5: " + label + "blank inside hex data; skipped"}},
      {"hex:01,\\\n  100",
       std::nullopt,
       {"5: " + label + "hex byte with more than two digits; skipped"}},
      // Only hex data continues.
      {"hex:01,\\x\n  02",
       std::nullopt,
       {"4: " + label + "text after \"\\\"; skipped", "5: line not understood; ignored"}},
      {"\"abc\\\ndef\"",
       std::nullopt,
       {"4: " + label + "unterminated string; skipped", "5: line not understood; ignored"}},
      {"dword:1\\\n  02",
       std::nullopt,
       {"4: " + label + "text after the dword; skipped", "5: line not understood; ignored"}},
  };
  for (const ContinuationCase& c : cases) {
    SCOPED_TRACE(c.lines);
    auto reg =
        Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\T]\n\"v\"=\"earlier\"\n\"v\"=" + c.lines +
             "\n\"after\"=\"a\"\n");
    EXPECT_TRUE(HasValue(*reg, "Software\\T", "v", c.expected.value_or(Text("earlier"))));
    EXPECT_TRUE(HasValue(*reg, "Software\\T", "after", Text("a")));
    std::string expected_diagnostics;
    for (const std::string& d : c.diagnostics) expected_diagnostics += path_ + ":" + d + "\n";
    EXPECT_EQ(diag_, expected_diagnostics);
  }
}

// A line that breaks a hex continuation is read as the value's data: the value and that line
// are lost together, whatever the line holds.
TEST_F(RegistryFileTest, LinesEatenByABrokenContinuation) {
  struct EatenCase {
    std::string line;  // line 7
    bool key_line;     // a key line eaten is never opened, and "w" after it goes nowhere
    std::string diagnostic;
  };
  const std::vector<EatenCase> cases = {
      {"[HKEY_LOCAL_MACHINE\\Software\\U]", true,
       "continuation line is a key line; the value and the key line are skipped"},
      {"[-HKEY_LOCAL_MACHINE\\Software\\T]", true,
       "continuation line is a key line; the value and the key line are skipped"},
      {"  [HKEY_LOCAL_MACHINE\\Software\\U]", true,
       "continuation line is a key line; the value and the key line are skipped"},
      {"\"x\"=\"lost\"", false,
       "continuation line is a value line; the value and that line are skipped"},
      {"@=hex:02,\\", false,
       "continuation line is a value line; the value and that line are skipped"},
      {"#hash", false, "continuation line is not hex data; skipped"},
      {"zz", false, "continuation line is not hex data; skipped"},
  };
  for (const EatenCase& c : cases) {
    SCOPED_TRACE(c.line);
    auto reg = Load(
        "REGEDIT4\n"                           // 1
        "[HKEY_LOCAL_MACHINE\\Software\\T]\n"  // 2
        "\"v\"=\"earlier\"\n"                  // 3
        "\"v\"=hex:01,\\\n"                    // 4
        "\n"                                   // 5
        "  ; a comment line is skipped\n"      // 6
        + c.line +
        "\n"                                      // 7
        "\"w\"=\"after\"\n"                       // 8
        "[HKEY_LOCAL_MACHINE\\Software\\Next]\n"  // 9
        "\"n\"=\"next\"\n"                        // 10
        "\"eof\"=hex:0a,\\\n");                   // 11: the end of the file keeps what was read
    EXPECT_TRUE(HasValue(*reg, "Software\\T", "v", Text("earlier")));
    EXPECT_TRUE(Absent(*reg, "Software\\T", "x"));
    EXPECT_TRUE(Absent(*reg, "Software\\T", ""));
    EXPECT_EQ(reg->QueryValue(kHkeyLocalMachine, "Software\\U", "w").status(),
              Status(err::kNotFound, "Registry key not found: HKEY_LOCAL_MACHINE\\Software\\U"));
    if (c.key_line) {
      EXPECT_TRUE(Absent(*reg, "Software\\T", "w"));
    } else {
      EXPECT_TRUE(HasValue(*reg, "Software\\T", "w", Text("after")));
    }
    EXPECT_TRUE(HasValue(*reg, "Software\\Next", "n", Text("next")));
    EXPECT_TRUE(HasValue(*reg, "Software\\Next", "eof", Bin(kRegBinary, {0x0A})));
    EXPECT_EQ(diag_, Diag(7, "value \"v\": " + c.diagnostic));
  }
}

// The header, not the file's encoding, tells how hex(1), hex(2) and hex(7) bytes are read:
// UTF-16LE in a "Version 5.00" file even when a user re-encoded it as UTF-8, 8-bit text in a
// REGEDIT4 file even when it is stored as UTF-16.
TEST_F(RegistryFileTest, HexTextFollowsTheHeader) {
  const std::string v5 = "Windows Registry Editor Version 5.00";
  const std::string v4 = "REGEDIT4";
  const std::string path16 = "hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00";
  const std::string path8 = "hex(2):25,50,41,54,48,25,00";
  struct EncodingCase {
    std::string header;
    bool utf16_file;
    std::string data;
    RegValue expected;
  };
  const std::vector<EncodingCase> cases = {
      {v5, false, path16, Text("%PATH%", kRegExpandSz)},
      {"\xEF\xBB\xBF" + v5, false, path16, Text("%PATH%", kRegExpandSz)},
      {v5, true, path16, Text("%PATH%", kRegExpandSz)},
      {v5, false, "hex(2):41,00,42,00", Text("AB", kRegExpandSz)},
      {v5, false, "hex(1):e9,00,00,00", Text("\xC3\xA9")},
      {v5, false, "hex(7):61,00,00,00,62,00,00,00,00,00",
       Bin(kRegMultiSz, Bytes(std::string_view("a\0b\0\0", 5)))},
      {v5, false, "hex:e9,00", Bin(kRegBinary, {0xE9, 0x00})},
      {v4, false, path8, Text("%PATH%", kRegExpandSz)},
      {v4, false, "hex(2):25,50,41,54,48,25", Text("%PATH%", kRegExpandSz)},
      {v4, false, "hex(2):63,3a,5c,c3,a9,00", Text("c:\\\xC3\xA9", kRegExpandSz)},
      {v4, false, "hex(2):e9,00", Text("\xEF\xBF\xBD", kRegExpandSz)},
      {v4, false, "hex(7):61,00,62,63,00,00",
       Bin(kRegMultiSz, Bytes(std::string_view("a\0bc\0\0", 6)))},
      {v4, false, "hex(1):61", Text("a")},
      {v4, true, path8, Text("%PATH%", kRegExpandSz)},
      {v4, true, "hex(1):c3,a9,00", Text("\xC3\xA9")},
      {v4, true, "hex(7):61,00,62,00,00", Bin(kRegMultiSz, Bytes(std::string_view("a\0b\0\0", 5)))},
  };
  for (const EncodingCase& c : cases) {
    SCOPED_TRACE((c.header == v4 ? "REGEDIT4" : "5.00") +
                 std::string(c.utf16_file ? " UTF-16 " : " 8-bit ") + c.data);
    std::string text =
        c.header + "\r\n[HKEY_LOCAL_MACHINE\\Software\\T]\r\n\"v\"=" + c.data + "\r\n";
    auto reg = Load(c.utf16_file ? Utf16File(std::u16string(text.begin(), text.end())) : text);
    EXPECT_TRUE(HasValue(*reg, "Software\\T", "v", c.expected));
    EXPECT_EQ(diag_, "");
  }
}

TEST_F(RegistryFileTest, Utf16FileWithBom) {
  auto reg =
      Load(Utf16File(u"Windows Registry Editor Version 5.00\r\n"
                     u"\r\n"
                     u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Zo\u00EB]\r\n"
                     u"\"Name\"=\"Gr\u00FC\u00DFe \u65E5\u672C \U0001F600\"\r\n"
                     u"\"Path\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\r\n"
                     u"\"NoNul\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00\r\n"
                     u"\"Accent\"=hex(2):e9,00,00,00\r\n"
                     u"\"Odd\"=hex(1):41,00,42\r\n"
                     u"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                     u"\"Bin\"=hex:e9,00\r\n"
                     u"\"Count\"=dword:00000010\r\n"
                     u"\"L\u00E4nge\"=\"x\"\r\n"));
  EXPECT_EQ(diag_, "");
  const char* key = "Software\\Vendor\\ZO\xC3\x8B";  // "ZOË": names ignore case
  EXPECT_TRUE(HasValue(*reg, key, "Name",
                       Text("Gr\xC3\xBC\xC3\x9F"
                            "e \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80")));
  EXPECT_TRUE(HasValue(*reg, key, "Path", Text("%PATH%", kRegExpandSz)));
  EXPECT_TRUE(HasValue(*reg, key, "NoNul", Text("%PATH%", kRegExpandSz)));
  EXPECT_TRUE(HasValue(*reg, key, "Accent", Text("\xC3\xA9", kRegExpandSz)));
  EXPECT_TRUE(HasValue(*reg, key, "Odd", Text("A")));
  EXPECT_TRUE(
      HasValue(*reg, key, "Multi", Bin(kRegMultiSz, Bytes(std::string_view("a\0b\0\0", 5)))));
  EXPECT_TRUE(HasValue(*reg, key, "Bin", Bin(kRegBinary, {0xE9, 0x00})));  // binary stays raw
  EXPECT_TRUE(HasValue(*reg, key, "Count", Dword(16)));
  EXPECT_TRUE(HasValue(*reg, key, "L\xC3\x84NGE", Text("x")));
}

TEST_F(RegistryFileTest, HeadersAndEncodings) {
  const std::string body = "\r\n[HKEY_LOCAL_MACHINE\\Software\\T]\r\n\"v\"=\"\xC3\xA9\"\r\n";
  struct HeaderCase {
    std::string file;
    bool imported;
  };
  const std::vector<HeaderCase> cases = {
      {"REGEDIT4" + body, true},
      {"Windows Registry Editor Version 5.00" + body, true},
      {"\xEF\xBB\xBFWindows Registry Editor Version 5.00" + body, true},
      {"\xEF\xBB\xBFREGEDIT4" + body, true},
      {"  \tREGEDIT4" + body, true},
      {"regedit4" + body, false},
      {"REGEDIT" + body, false},
      {"REGEDIT 4" + body, false},
      {"REGEDIT4x" + body, false},
      {"REGEDIT4 " + body, false},
      {"Windows Registry Editor Version 5.0" + body, false},
      {"windows registry editor version 5.00" + body, false},
      {"\r\nREGEDIT4" + body, false},
      {"[HKEY_LOCAL_MACHINE\\Software\\T]\r\n\"v\"=\"x\"\r\n", false},
      {"", false},
      {"WINE REGISTRY Version 1\n[Software\\\\T]\n\"v\"=\"x\"\n", false},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.file.substr(0, 40));
    auto reg = Load(c.file);
    if (c.imported) {
      EXPECT_TRUE(HasValue(*reg, "Software\\T", "v", Text("\xC3\xA9")));
      EXPECT_EQ(diag_, "");
    } else {
      EXPECT_TRUE(Absent(*reg, "Software\\T", "v"));
      EXPECT_EQ(diag_,
                Diag(1,
                     "not a registry file (the first line must be \"REGEDIT4\", \"Windows "
                     "Registry Editor Version 5.00\" or \"WINE REGISTRY Version 2\"); nothing "
                     "imported"));
    }
  }
  // In UTF-16 files either header works; without the BOM the NULs spoil the header.
  auto reg = Load(Utf16File(u"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\Software\\T]\r\n\"v\"=\"x\"\r\n"));
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "v", Text("x")));
  reg = Load(
      Utf16File(u"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\T]\r\n").substr(2));
  EXPECT_EQ(diag_.rfind(path_ + ":1: not a registry file", 0), 0u) << diag_;
}

TEST_F(RegistryFileTest, LineEndings) {
  for (std::string eol : {"\r\n", "\n", "\r"}) {
    SCOPED_TRACE(eol == "\r" ? "CR" : eol == "\n" ? "LF" : "CRLF");
    auto reg = Load("REGEDIT4" + eol + eol + "[HKEY_LOCAL_MACHINE\\Software\\T]" + eol +
                    "\"a\"=hex:01,\\" + eol + "  02" + eol + "\"b\"=\"last line, no end\"");
    EXPECT_EQ(diag_, "");
    EXPECT_TRUE(HasValue(*reg, "Software\\T", "a", Bin(kRegBinary, {1, 2})));
    EXPECT_TRUE(HasValue(*reg, "Software\\T", "b", Text("last line, no end")));
  }
}

TEST_F(RegistryFileTest, KeyLinesAndRoots) {
  struct KeyCase {
    std::string key_line;
    uint32_t root;     // 0: the line opens nothing and the values after it go nowhere
    std::string path;  // "Software\\Earlier": the line is ignored, the earlier key stays open
    std::string diagnostic;
  };
  const std::vector<KeyCase> cases = {
      {"[HKEY_LOCAL_MACHINE\\Software\\T]", kHkeyLocalMachine, "Software\\T", ""},
      {"[hkey_local_machine\\Software\\T]", kHkeyLocalMachine, "Software\\T", ""},
      {"  [HKEY_LOCAL_MACHINE\\Software\\T]", kHkeyLocalMachine, "Software\\T", ""},
      {"[HKLM\\Software\\T]", kHkeyLocalMachine, "Software\\T", ""},
      {"[hkcu\\Software\\T]", kHkeyCurrentUser, "Software\\T", ""},
      {"[HKEY_CURRENT_USER\\Software\\T]", kHkeyCurrentUser, "Software\\T", ""},
      {"[HKEY_CLASSES_ROOT\\.txt]", kHkeyClassesRoot, ".txt", ""},
      {"[HKCR\\.txt]", kHkeyClassesRoot, ".txt", ""},
      {"[HKEY_USERS\\.DEFAULT\\T]", kHkeyUsers, ".DEFAULT\\T", ""},
      {"[HKU\\.DEFAULT\\T]", kHkeyUsers, ".DEFAULT\\T", ""},
      {"[HKEY_CURRENT_CONFIG\\Software]", kHkeyCurrentConfig, "Software", ""},
      {"[HKCC\\Software]", kHkeyCurrentConfig, "Software", ""},
      {"[HKEY_LOCAL_MACHINE]", kHkeyLocalMachine, "", ""},
      {"[HKEY_LOCAL_MACHINE\\Software\\T\\]", kHkeyLocalMachine, "Software\\T", ""},
      {"[HKEY_LOCAL_MACHINE\\Software\\T] trailing junk", kHkeyLocalMachine, "Software\\T", ""},
      {"[HKEY_LOCAL_MACHINE\\Software\\a]b]", kHkeyLocalMachine, "Software\\a]b", ""},
      {"[HKEY_LOCAL_MACHINE\\Software\\T ]", kHkeyLocalMachine, "Software\\T ", ""},
      {"[HKEY_LOCAL_MACHINE ]", 0, "",
       "unknown root key \"HKEY_LOCAL_MACHINE \"; key line ignored"},
      {"[HKEY_LOCAL_MACHINEX\\Software]", 0, "",
       "unknown root key \"HKEY_LOCAL_MACHINEX\"; key line ignored"},
      {"[HKLMX\\Software]", 0, "", "unknown root key \"HKLMX\"; key line ignored"},
      {"[]", 0, "", "unknown root key \"\"; key line ignored"},
      {"[ HKEY_LOCAL_MACHINE\\Software\\T]", kHkeyLocalMachine, "Software\\Earlier",
       "blank after \"[\"; key line ignored"},
      {"[HKEY_LOCAL_MACHINE\\Software\\T", kHkeyLocalMachine, "Software\\Earlier",
       "key line lacks the closing \"]\"; ignored"},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(c.key_line);
    auto reg = Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Earlier]\n" + c.key_line +
                    "\n\"v\"=\"x\"\n");
    if (c.root != 0) {
      EXPECT_TRUE(HasValue(*reg, c.path, "v", Text("x"), c.root));
    }
    if (c.path != "Software\\Earlier") {
      EXPECT_TRUE(Absent(*reg, "Software\\Earlier", "v"));
    }
    EXPECT_EQ(diag_, c.diagnostic.empty() ? "" : Diag(3, c.diagnostic));
  }
  // A trailing blank belongs to the key name.
  auto reg = Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\T ]\n\"v\"=\"x\"\n");
  EXPECT_TRUE(Absent(*reg, "Software\\T", "v"));
}

TEST_F(RegistryFileTest, Deletions) {
  auto reg = Load(
      "REGEDIT4\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\n"
      "\"keep\"=\"1\"\n"
      "\"gone\"=\"2\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A\\Sub]\n"
      "\"s\"=\"3\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\B\\Deep\\Deeper]\n"
      "\"b\"=\"4\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\n"
      "\"GONE\"=-\n"
      "\"never-there\"=- ; deleting a missing value is fine\n"
      "[-hkey_local_machine\\SOFTWARE\\b]\n"
      "\"orphan\"=\"5\"\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\A\\Sub]\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Never]\n"
      "[HKEY_LOCAL_MACHINE\\Software\\C]\n"
      "\"c\"=\"6\"\n"
      "[-HKEY_NOWHERE\\Software\\C]\n"
      "\"lost\"=\"7\"\n"
      "[-HKEY_LOCAL_MACHINE]\n"
      "\"lost2\"=\"8\"\n"
      "[HKEY_LOCAL_MACHINE\\Software\\C]\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\C\\]\n"
      "[HKEY_LOCAL_MACHINE\\Software\\C]\n"
      "\"new\"=\"9\"\n");
  EXPECT_TRUE(HasValue(*reg, "Software\\A", "keep", Text("1")));
  EXPECT_TRUE(Absent(*reg, "Software\\A", "gone"));
  Result<RegValue> sub = reg->QueryValue(kHkeyLocalMachine, "Software\\A\\Sub", "s");
  EXPECT_EQ(sub.status(), Status(err::kNotFound,
                                 "Registry key not found: "
                                 "HKEY_LOCAL_MACHINE\\Software\\A\\Sub"));
  EXPECT_TRUE(Absent(*reg, "Software\\B\\Deep\\Deeper", "b"));
  EXPECT_TRUE(Absent(*reg, "Software\\B", "orphan"));
  EXPECT_TRUE(Absent(*reg, "Software\\A", "orphan"));
  EXPECT_TRUE(Absent(*reg, "Software\\C", "c"));  // deleted and created again
  EXPECT_TRUE(Absent(*reg, "Software\\C", "lost"));
  EXPECT_TRUE(Absent(*reg, "Software\\C", "lost2"));
  EXPECT_TRUE(HasValue(*reg, "Software\\C", "new", Text("9")));
  EXPECT_EQ(diag_, Diag(14, "value line after a key deletion; ignored") +
                       Diag(19, "unknown root key \"HKEY_NOWHERE\"; key line ignored") +
                       Diag(21, "a root key cannot be deleted; line ignored"));
}

TEST_F(RegistryFileTest, ValuesBeforeAnyKeyGoNowhere) {
  auto reg = Load("REGEDIT4\n\"early\"=\"x\"\n@=\"y\"\n[HKEY_LOCAL_MACHINE\\T]\n");
  EXPECT_TRUE(Absent(*reg, "T", "early"));
  EXPECT_TRUE(Absent(*reg, "T", ""));
  EXPECT_EQ(diag_, Diag(2, "value line before any key line; ignored") +
                       Diag(3, "value line before any key line; ignored"));
}

TEST_F(RegistryFileTest, Wow6432NodeIsThe32BitView) {
  auto reg = Load(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Agent]\r\n"
      "\"Where\"=\"64\"\r\n"
      "\"Only64\"=\"x\"\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432NODE\\Vendor\\Agent]\r\n"
      "\"Where\"=\"32\"\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
      "\"Where\"=\"plain\"\r\n"
      "\r\n"
      "[HKEY_CURRENT_USER\\Software\\Vendor\\Agent]\r\n"
      "\"Where\"=\"user\"\r\n"
      "[HKEY_CURRENT_USER\\Software\\Wow6432Node\\Vendor\\Agent]\r\n"
      "\"Where\"=\"user32\"\r\n");
  EXPECT_EQ(diag_, "");
  EXPECT_TRUE(HasValue(*reg, "Software\\Vendor\\Agent", "Where", Text("32")));
  // A 32-bit program does not see the 64-bit copy of a key that has a 32-bit copy.
  EXPECT_TRUE(Absent(*reg, "Software\\Vendor\\Agent", "Only64"));
  // Without a 32-bit copy (a 32-bit machine's export) the plain key is used.
  EXPECT_TRUE(HasValue(*reg, "software\\other", "Where", Text("plain")));
  EXPECT_TRUE(HasValue(*reg, "Software\\Wow6432Node\\Vendor\\Agent", "Where", Text("32")));
  // Only HKEY_LOCAL_MACHINE\Software is redirected.
  EXPECT_TRUE(HasValue(*reg, "Software\\Vendor\\Agent", "Where", Text("user"), kHkeyCurrentUser));
}

TEST_F(RegistryFileTest, WineSystemReg) {
  auto reg = Load(
      "WINE REGISTRY Version 2\n"
      ";; All keys relative to \\\\Machine\n"
      "\n"
      "#arch=win64\n"
      "\n"
      "[Software\\\\Vendor\\\\Agent] 1729718050\n"
      "#time=1db2584a1c2f3e0\n"
      "\"Name\"=\"64-bit copy\"\n"
      "\n"
      "[Software\\\\Wow6432Node\\\\Vendor\\\\Agent] 1729718050\n"
      "#time=1db2584a1c2f3e0\n"
      "@=\"default\"\n"
      "\"Name\"=\"\\x3042\\x3044 Agent\"\n"
      "\"Short\"=\"caf\\xe9 \\x00e9t\\xd83d\\xde00\"\n"
      "\"Quote\"=\"say \\\"hi\\\" \\\\ back\\tTab\"\n"
      "\"Path\"=str(2):\"%ProgramFiles%\\\\Vendor\"\n"
      "\"List\"=str(7):\"one\\0two\\0\"\n"
      "\"Plain\"=str:\"p\"\n"
      "\"Count\"=dword:0000002a\n"
      "\"Blob\"=hex:de,ad,be,ef,\\\n"
      "  01,02\n"
      "\"Exp\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\n"
      "\"Caf\\xe9\"=\"named\"\n"
      "\n"
      "[Software\\\\Vendor\\\\With\\]Bracket] 1729718050\n"
      "\"x\"=\"1\"\n"
      "garbage\n"
      "\"del\"=-\n"
      "\"a\\nb\"=text\n");
  const char* key = "Software\\Vendor\\Agent";
  EXPECT_TRUE(HasValue(*reg, key, "", Text("default")));
  EXPECT_TRUE(HasValue(*reg, key, "Name", Text("\xE3\x81\x82\xE3\x81\x84 Agent")));
  EXPECT_TRUE(HasValue(*reg, key, "Short", Text("caf\xC3\xA9 \xC3\xA9t\xF0\x9F\x98\x80")));
  EXPECT_TRUE(HasValue(*reg, key, "Quote", Text("say \"hi\" \\ back\tTab")));
  EXPECT_TRUE(HasValue(*reg, key, "Path", Text("%ProgramFiles%\\Vendor", kRegExpandSz)));
  EXPECT_TRUE(
      HasValue(*reg, key, "List", Bin(kRegMultiSz, Bytes(std::string_view("one\0two\0\0", 9)))));
  EXPECT_TRUE(HasValue(*reg, key, "Plain", Text("p")));
  EXPECT_TRUE(HasValue(*reg, key, "Count", Dword(42)));
  EXPECT_TRUE(HasValue(*reg, key, "Blob", Bin(kRegBinary, {0xDE, 0xAD, 0xBE, 0xEF, 1, 2})));
  EXPECT_TRUE(HasValue(*reg, key, "Exp", Text("%PATH%", kRegExpandSz)));
  EXPECT_TRUE(HasValue(*reg, key, "CAF\xC3\x89", Text("named")));
  EXPECT_TRUE(HasValue(*reg, "Software\\Wow6432Node\\Vendor\\Agent", "Name",
                       Text("\xE3\x81\x82\xE3\x81\x84 Agent")));
  EXPECT_TRUE(HasValue(*reg, "Software\\Vendor\\With]Bracket", "x", Text("1")));
  EXPECT_EQ(diag_, Diag(27, "line not understood; ignored") +
                       Diag(28, "value \"del\": unknown data type; skipped") +
                       Diag(29, "value \"a\\nb\": unknown data type; skipped"));
}

TEST_F(RegistryFileTest, WineUserRegIsCurrentUser) {
  auto reg = Load(
      "WINE REGISTRY Version 2\n"
      ";; All keys relative to \\\\User\\\\S-1-5-21-0-0-0-1000\n"
      "\n"
      "[Software\\\\Vendor] 1729718050\n"
      "\"v\"=\"u\"\n",
      "user.reg");
  EXPECT_EQ(diag_, "");
  EXPECT_TRUE(HasValue(*reg, "Software\\Vendor", "v", Text("u"), kHkeyCurrentUser));
  EXPECT_TRUE(Absent(*reg, "Software\\Vendor", "v", kHkeyLocalMachine));
}

TEST_F(RegistryFileTest, MalformedLinesAreReportedAndSkipped) {
  auto reg = Load(
      "Windows Registry Editor Version 5.00\r\n"     // 1
      "\r\n"                                         // 2
      "[HKEY_LOCAL_MACHINE\\Software\\T]\r\n"        // 3
      "\"ok\"=\"1\"\r\n"                             // 4
      "\"bad\"=dword:xyz\r\n"                        // 5
      "garbage here\r\n"                             // 6
      "\"noeq\" \"x\"\r\n"                           // 7
      "[HKEY_LOCAL_MACHINE\\Software\\U\r\n"         // 8: ignored, T stays open
      "\"kept\"=\"2\"\r\n"                           // 9
      "[ HKEY_LOCAL_MACHINE\\Software\\T]\r\n"       // 10
      "# a hash line is ignored without a word\r\n"  // 11
      "[HKEY_LOCAL_MACHINE\\Software\\T]\r\n"        // 12
      "\"ok2\"=\"3\"\r\n"                            // 13
      "\"s\"=\"a\\0b\"\r\n"                          // 14
      "@=unknown\r\n"                                // 15
      "\"bin\"=hex:01,\\\r\n"                        // 16
      "  zz\r\n"                                     // 17
      "\"unterminated\r\n"                           // 18
      "\"last\"=\"4\"");                             // 19
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "ok", Text("1")));
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "ok2", Text("3")));
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "last", Text("4")));
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "kept", Text("2")));
  for (const char* name : {"bad", "noeq", "s", "", "bin"}) {
    EXPECT_TRUE(Absent(*reg, "Software\\T", name));
  }
  EXPECT_EQ(diag_, Diag(5, "value \"bad\": a dword needs 1 to 8 hex digits; skipped") +
                       Diag(6, "line not understood; ignored") +
                       Diag(7, "value \"noeq\": missing \"=\" after the name; skipped") +
                       Diag(8, "key line lacks the closing \"]\"; ignored") +
                       Diag(10, "blank after \"[\"; key line ignored") +
                       Diag(14, "value \"s\": \"\\0\" inside a string; skipped") +
                       Diag(15, "default value: unknown data type; skipped") +
                       Diag(17, "value \"bin\": continuation line is not hex data; skipped") +
                       Diag(18, "value name: unterminated string; line skipped"));
}

TEST_F(RegistryFileTest, NamesIgnoreCase) {
  auto reg = Load(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Vendor\\\xC3\x84RGER]\n"  // ÄRGER
      "\"\xCE\xA9mega\"=\"omega\"\n"                            // Ωmega
      "\"Setting\"=\"s\"\n");
  EXPECT_EQ(diag_, "");
  const char* key = "SOFTWARE\\vendor\\\xC3\xA4rger";               // äRGER
  EXPECT_TRUE(HasValue(*reg, key, "\xCF\x89MEGA", Text("omega")));  // ωMEGA
  EXPECT_TRUE(HasValue(*reg, key, "sEtTiNg", Text("s")));
  EXPECT_TRUE(Absent(*reg, key, "Settings"));
  EXPECT_TRUE(Absent(*reg, "Software\\Vendor\\ARGER", "Setting"));
}

TEST_F(RegistryFileTest, DuplicatesAndDefaultValues) {
  auto reg = Load(
      "REGEDIT4\n"
      "[HKEY_LOCAL_MACHINE\\Software\\T]\n"
      "\"v\"=\"first\"\n"
      "\"V\"=\"second\"\n"
      "\"typed\"=\"text\"\n"
      "@=\"at\"\n"
      "\"\"=\"empty name\"\n"
      "\"  spaced  \" = \"s\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\t]\n"
      "\"typed\"=dword:5\n"
      "\"other\"=\"o\"\n");
  EXPECT_EQ(diag_, "");
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "v", Text("second")));
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "typed", Dword(5)));
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "other", Text("o")));
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "", Text("empty name")));
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "  spaced  ", Text("s")));
  EXPECT_TRUE(Absent(*reg, "Software\\T", "spaced"));
}

TEST_F(RegistryFileTest, MissingUnreadableAndNotFound) {
  std::ostringstream diagnostics;
  auto reg = LoadRegistryFile((dir_ / "absent.reg").string(), diagnostics);
  EXPECT_EQ(diagnostics.str(), "");
  Result<RegValue> r = reg->QueryValue(kHkeyLocalMachine, "Software\\X", "v");
  EXPECT_EQ(r.status(),
            Status(err::kNotFound, "Registry key not found: HKEY_LOCAL_MACHINE\\Software\\X"));

  reg = LoadRegistryFile(dir_.string(), diagnostics);  // a directory
  EXPECT_EQ(diagnostics.str(), dir_.string() + ": is a folder, not a regular file\n");
  EXPECT_TRUE(Absent(*reg, "Software\\X", "v"));

  // Neither a device nor a named pipe is read: one would fill the memory, the other wait
  // for a writer for ever. A file past the size bound is refused before it is read.
  const fs::path fifo = dir_ / "fifo.reg";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const fs::path big = dir_ / "big.reg";
  { std::ofstream(big) << "REGEDIT4\n"; }
  fs::resize_file(big, kMaxRegistryFileBytes + 1);
  const std::vector<std::pair<fs::path, std::string>> refused = {
      {"/dev/zero", "/dev/zero: is a character device, not a regular file\n"},
      {fifo, fifo.string() + ": is a named pipe (FIFO), not a regular file\n"},
      {big, big.string() + ": is " + std::to_string(kMaxRegistryFileBytes + 1) +
                " bytes, more than the " + std::to_string(kMaxRegistryFileBytes) +
                " this file may have\n"},
  };
  for (const auto& [file, message] : refused) {
    std::ostringstream why;
    reg = LoadRegistryFile(file.string(), why);
    EXPECT_EQ(why.str(), message);
    EXPECT_TRUE(Absent(*reg, "Software\\X", "v"));
  }

  reg = Load("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Empty]\n");
  EXPECT_EQ(reg->QueryValue(kHkeyLocalMachine, "Software\\Empty", "").status(),
            Status(err::kNotFound,
                   "Registry value not found: HKEY_LOCAL_MACHINE\\Software\\Empty\\(Default)"));
  EXPECT_EQ(
      reg->QueryValue(kHkeyLocalMachine, "Software\\Empty", "v").status(),
      Status(err::kNotFound, "Registry value not found: HKEY_LOCAL_MACHINE\\Software\\Empty\\v"));
  EXPECT_TRUE(Absent(*reg, "Software\\Empty", "v", kHkeyCurrentUser));
}

TEST(ParseRegistryTextTest, ReportsUnderTheGivenName) {
  std::ostringstream diagnostics;
  auto reg = ParseRegistryText("REGEDIT4\n[HKLM\\Software\\T]\n\"v\"=dword:0x1\n\"w\"=dword:2\n",
                               "host/registry.reg", diagnostics);
  EXPECT_EQ(diagnostics.str(), "host/registry.reg:3: value \"v\": text after the dword; skipped\n");
  EXPECT_TRUE(HasValue(*reg, "Software\\T", "w", Dword(2)));
}

}  // namespace
}  // namespace testqav
