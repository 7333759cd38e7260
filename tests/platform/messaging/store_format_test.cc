// The JSON store format: what the loader rejects (with the line of the offending value),
// what it accepts, and that the writer's output loads back to the same store.

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>

#include "platform/common/error_codes.h"
#include "platform/messaging/json/json_reader.h"
#include "platform/messaging/json/mailbox_store.h"
#include "platform/messaging/messaging_fixture.h"

namespace testqav::mailbox {
namespace {

using testing_messaging::ReadFile;
using testing_messaging::TempHost;
using testing_messaging::WriteFile;

struct RejectCase {
  std::string name;
  std::string text;  // "@" is replaced by a line break
  int line;
  std::string message;
  bool is_public = false;
};

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

std::string Lines(std::string s) {
  for (char& c : s) {
    if (c == '@') c = '\n';
  }
  return s;
}

const std::vector<RejectCase>& RejectCases() {
  static const std::vector<RejectCase> cases = {
      {"Empty", "", 1, "syntax error"},
      {"NotObject", "[]", 1, "must be a JSON object"},
      {"TrailingComma", "{\"displayName\": \"M\",@\"root\": {\"name\": \"\",}}", 2, "syntax error"},
      {"MissingRoot", "{\"displayName\": \"M\"}", 1, "missing member \"root\""},
      {"MissingDisplayName", "{\"root\": {\"name\": \"\"}}", 1, "missing member \"displayName\""},
      {"EmptyDisplayName", "{\"displayName\": \"\",@\"root\": {\"name\": \"\"}}", 1,
       "must not be empty"},
      {"UnknownTopMember", "{\"displayName\": \"M\",@\"colour\": 1,@\"root\": {\"name\": \"\"}}", 2,
       "unknown member \"colour\" in the store"},
      {"DuplicateMember", "{\"displayName\": \"M\",@\"displayName\": \"N\"}", 2,
       "duplicate member \"displayName\""},
      {"BadGuid", "{\"displayName\": \"M\", \"guid\": \"xyz\",@\"root\": {\"name\": \"\"}}", 1,
       "32 hexadecimal digits"},
      {"FolderWithoutName",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"folders\": [@{}]}}", 3,
       "missing member \"name\" in a folder"},
      {"FolderNameNotString",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"folders\": [@{\"name\": 5}]}}", 3,
       "\"name\" must be a string"},
      {"ShortFolderId",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\",@\"entryId\": \"0011\"}}", 3,
       "92 hexadecimal digits"},
      {"FoldersNotArray", "{\"displayName\": \"M\",@\"root\": {\"name\": \"\",@\"folders\": {}}}",
       3, "\"folders\" must be an array"},
      {"MessageWithoutClass",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [@{\"subject\": "
       "\"s\"}]}}",
       3, "missing member \"class\" in a message"},
      {"MessageUnknownMember",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [@{\"class\": \"A\",@"
       "\"body\": \"x\"}]}}",
       4, "unknown member \"body\" in a message"},
      {"BadTime",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [@{\"class\": \"A\",@"
       "\"lastModified\": \"2024-02-30T00:00:00Z\"}]}}",
       4, "UTC time"},
      {"LocalTime",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [@{\"class\": \"A\",@"
       "\"lastModified\": \"2024-02-01T00:00:00+01:00\"}]}}",
       4, "UTC time"},
      {"ShortMessageId",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [@{\"class\": \"A\",@"
       "\"entryId\": "
       "\"00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF00112233445566"
       "778899AABBCCDDEEFF00112233445566778899AABBCCDD\"}]}}",
       4, "140 hexadecimal digits"},
      {"NamedWithoutType",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [@{\"name\": \"PIN\", \"value\": \"1\"}]}]}}",
       4, "missing member \"type\""},
      {"NamedUnknownType",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [@{\"name\": \"PIN\", \"type\": \"text\", \"value\": \"1\"}]}]}}",
       4, "unknown property type \"text\""},
      {"NamedNameAndId",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [@{\"name\": \"PIN\", \"id\": 5, \"type\": \"string\", \"value\": \"1\"}]}]}}",
       4, "exactly one of \"name\" and \"id\""},
      {"NamedBadSet",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [@{\"set\": \"PS_PUBLIC\", \"name\": \"PIN\", \"type\": \"string\", "
       "\"value\": \"1\"}]}]}}",
       4, "\"set\" must be a GUID"},
      {"NamedWrongValueType",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [{\"name\": \"PIN\",@\"type\": \"string\",@\"value\": 1234}]}]}}",
       5, "a string value is expected"},
      {"Int16OutOfRange",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [{\"name\": \"N\", \"type\": \"int16\",@\"value\": 40000}]}]}}",
       4, "int16"},
      {"MultiNeedsArray",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [{\"name\": \"N\", \"type\": \"multiString\",@\"value\": \"x\"}]}]}}",
       4, "needs an array value"},
      {"NestedMultiValue",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [{\"name\": \"N\", \"type\": \"multiString\",@\"value\": [[\"x\"]]}]}]}}",
       4, "must not be nested"},
      {"OddBinary",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [{\"name\": \"N\", \"type\": \"binary\",@\"value\": \"ABC\"}]}]}}",
       4, "hexadecimal digits"},
      {"DuplicateNamed",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"named\": [{\"name\": \"N\", \"type\": \"string\", \"value\": \"x\"},@"
       "{\"name\": \"N\", \"type\": \"string\", \"value\": \"y\"}]}]}}",
       4, "property twice"},
      {"TaggedMember",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"tagged\": [@{\"tag\": \"0x0037001E\", \"value\": \"s\"}]}]}}",
       4, "message member"},
      {"TaggedNamedRange",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"tagged\": [@{\"tag\": \"0x8001001E\", \"value\": \"s\"}]}]}}",
       4, "below 0x8000"},
      {"TaggedBadTag",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"tagged\": [@{\"tag\": \"3A1C001E\", \"value\": \"s\"}]}]}}",
       4, "0x followed by 8"},
      {"TaggedUnsupportedType",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\",@"
       "\"tagged\": [@{\"tag\": \"0x3A1C0048\", \"value\": \"s\"}]}]}}",
       4, "unsupported property type"},
      {"DuplicateFolderId",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"folders\": [@"
       "{\"name\": \"a\", \"entryId\": \"" +
           std::string(92, 'A') +
           "\"},@"
           "{\"name\": \"b\", \"entryId\": \"" +
           std::string(92, 'a') + "\"}]}}",
       4, "duplicate folder entry ID"},
      {"DuplicateMessageId",
       "{\"displayName\": \"M\",@\"root\": {\"name\": \"\", \"messages\": [@"
       "{\"class\": \"A\", \"entryId\": \"" +
           std::string(140, 'b') +
           "\"},@"
           "{\"class\": \"A\", \"entryId\": \"" +
           std::string(140, 'B') + "\"}]}}",
       4, "duplicate message entry ID"},
      {"EscapedUnknownMember", "{\"displayName\": \"M\",@\"r\\u006Fot\\n\": {\"name\": \"\"}}", 2,
       "unknown member \"root\n\" in the store"},
      {"InvalidUtf8", "{\"displayName\": \"M\xff\",@\"root\": {\"name\": \"\"}}", 1,
       "syntax error"},
      {"PublicFlagInMailbox",
       "{\"displayName\": \"M\",@\"publicFolders\": true,@\"root\": {\"name\": \"\"}}", 2,
       "must be false"},
      {"PublicWithoutFlag", "{\"displayName\": \"P\",@\"root\": {\"name\": \"\"}}", 1,
       "missing member \"publicFolders\"", true},
  };
  return cases;
}

class StoreFormatReject : public ::testing::TestWithParam<RejectCase> {};

TEST_P(StoreFormatReject, NamesFileLineAndProblem) {
  const RejectCase& c = GetParam();
  TempHost host;
  std::filesystem::path file = host.dir() / "store.json";
  const std::string text = Lines(c.text);
  WriteFile(file, text);
  auto r = LoadStore(file, c.is_public, "seed");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().number(), err::kLogonFailed);
  const std::string& d = r.status().description();
  const std::string prefix = file.string() + ":" + std::to_string(c.line) + ":";
  EXPECT_EQ(d.rfind(prefix, 0), 0u) << d;
  EXPECT_NE(d.find(c.message), std::string::npos) << d;
  EXPECT_EQ(ReadFile(file), text);
}

INSTANTIATE_TEST_SUITE_P(MustReject, StoreFormatReject, ::testing::ValuesIn(RejectCases()),
                         [](const auto& param_info) { return param_info.param.name; });

// A reader that takes every event, so that only the JSON reader itself can refuse.
class AcceptAll final : public JsonHandler {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(int64_t) override { return true; }
  bool number_unsigned(uint64_t) override { return true; }
  bool number_float(double, std::string_view) override { return true; }
  bool string(std::string_view) override { return true; }
  bool start_object(size_t) override { return true; }
  bool key(std::string_view) override { return true; }
  bool end_object() override { return true; }
  bool start_array(size_t) override { return true; }
  bool end_array() override { return true; }
};

// Arrays and objects nest through recursion: a file of a hundred thousand "[" is a syntax
// error, not a stack overflow.
TEST(StoreFormat, NestingHasALimit) {
  for (const auto& [depth, ok] :
       {std::pair{512, true}, std::pair{513, false}, std::pair{100000, false}}) {
    std::string text = std::string(depth - 1, '[') + "{}" + std::string(depth - 1, ']');
    const char* track = text.data();
    mailbox::JsonReader reader(text.data(), text.data() + text.size(), &track);
    AcceptAll accept;
    EXPECT_EQ(reader.Parse(accept), ok) << depth;
    if (!ok) {
      EXPECT_EQ(reader.error(), "syntax error: nesting too deep");
    }
  }
}

// RFC 8259 as the JSON reader applies it, whatever the store format then makes of the values.
TEST(StoreFormat, JsonReaderTakesWhatTheGrammarAllowsAndNothingElse) {
  const char* const kMustAccept[] = {
      "{}",
      "[]",
      " \t\r\n[ ] ",
      "0",
      "-0",
      "1e5",
      "1E+5",
      "-0.5e-3",
      "123456789012345678901",
      "\"\"",
      "\"\\u00e9\\\"\\/\\b\\f\\n\\r\\t\"",
      "\"\\ud83d\\ude00\"",
      "\"\xc3\xa9\"",
      "[true, false, null]",
      "{\"a\": {\"b\": [1, {\"c\": \"\"}]}}",
      "{\"a\": 1, \"a\": 2}",
  };
  for (const char* text : kMustAccept) {
    const std::string_view t(text);
    const char* track = t.data();
    JsonReader reader(t.data(), t.data() + t.size(), &track);
    AcceptAll accept;
    EXPECT_TRUE(reader.Parse(accept)) << text << ": " << reader.error();
  }
  struct Reject {
    const char* text;
    const char* error;
  };
  const Reject kMustReject[] = {
      {"", "unexpected end of input"},
      {"[", "unexpected end of input"},
      {"{\"a\": 1", "unexpected end of input"},
      {"{\"a\" 1}", "syntax error"},
      {"{\"a\": 1 \"b\": 2}", "syntax error"},
      {"{a: 1}", "syntax error"},
      {"{'a': 1}", "syntax error"},
      {"[1,]", "syntax error"},
      {"[,1]", "syntax error"},
      {"{} {}", "syntax error"},
      {"[] x", "syntax error"},
      {"01", "syntax error"},
      {"-", "syntax error"},
      {"+1", "syntax error"},
      {"1.", "syntax error"},
      {".5", "syntax error"},
      {"1e", "syntax error"},
      {"0x10", "syntax error"},
      {"NaN", "syntax error"},
      {"Infinity", "syntax error"},
      {"tru", "syntax error"},
      {"nul", "syntax error"},
      {"True", "syntax error"},
      {"[1] // comment", "syntax error"},
      {"/* c */ []", "syntax error"},
      {"\"abc", "end of input inside a string"},
      {"\"\\x\"", "invalid escape"},
      {"\"\\u12G4\"", "\\u must be followed by four hexadecimal digits"},
      {"\"\\ud800\"", "syntax error"},
      {"\"\\udc00\"", "syntax error"},
      {"\"\\ud800\\u0041\"", "syntax error"},
      {"\"a\tb\"", "control character"},
      {"\"\xed\xa0\x80\"", "invalid UTF-8"},
      {"\"\xc0\xaf\"", "invalid UTF-8"},
      {"\"\xf4\x90\x80\x80\"", "invalid UTF-8"},
  };
  for (const Reject& c : kMustReject) {
    const std::string_view t(c.text);
    const char* track = t.data();
    JsonReader reader(t.data(), t.data() + t.size(), &track);
    AcceptAll accept;
    EXPECT_FALSE(reader.Parse(accept)) << ::testing::PrintToString(std::string(t));
    EXPECT_NE(reader.error().find(c.error), std::string::npos)
        << ::testing::PrintToString(std::string(t)) << ": " << reader.error();
  }
}

TEST(StoreFormat, ColumnOfASyntaxError) {
  TempHost host;
  std::filesystem::path file = host.dir() / "s.json";
  WriteFile(file, "{\n  \"displayName\": tru\n}");
  auto r = LoadStore(file, false, "seed");
  ASSERT_FALSE(r.ok());
  // The bad literal stands on line 2, after the member name.
  EXPECT_EQ(r.status().description().rfind(file.string() + ":2:", 0), 0u)
      << r.status().description();
}

constexpr char kAllTypes[] = R"({
  "displayName": "Mailbox - Types",
  "root": {"name": "", "folders": [{"name": "Top of Information Store", "folders": [
    {"name": "Inbox"},
    {"name": "Data", "messages": [
      {"class": "IPM.Note", "subject": "all \"types\"\n", "topic": "t", "lastModified": "2023-12-31T23:59:59.250Z",
       "named": [
         {"name": "S", "type": "string", "value": "é ü \u0001"},
         {"name": "I16", "type": "int16", "value": -5},
         {"name": "I32", "type": "int32", "value": 2147483647},
         {"name": "B", "type": "boolean", "value": false},
         {"name": "T", "type": "time", "value": "1999-01-02T03:04:05Z"},
         {"name": "Bin", "type": "binary", "value": "00ff10"},
         {"name": "MS", "type": "multiString", "value": ["a", "b"]},
         {"name": "MI", "type": "multiInt32", "value": [1, -2]},
         {"name": "M16", "type": "multiInt16", "value": []},
         {"name": "MT", "type": "multiTime", "value": ["2000-02-29T00:00:00Z"]},
         {"name": "MB", "type": "multiBinary", "value": ["01", ""]},
         {"set": "{00062004-0000-0000-c000-000000000046}", "id": 32899, "type": "string", "value": "n"}],
       "tagged": [
         {"tag": "0x3A1C001F", "value": "unicode"},
         {"tag": "0x3A1B101E", "value": ["x", "y"]},
         {"tag": "0x0E070003", "value": 9}]}
    ]}
  ]}]}
})";

TEST(StoreFormat, WriterOutputLoadsBackToTheSameStore) {
  TempHost host;
  std::filesystem::path file = host.dir() / "s.json";
  WriteFile(file, kAllTypes);
  auto first = LoadStore(file, false, "seed");
  ASSERT_TRUE(first.ok()) << first.status().description();
  const std::string text = SerializeStore(**first);
  WriteFile(file, text);
  auto second = LoadStore(file, false, "seed");
  ASSERT_TRUE(second.ok()) << second.status().description() << "\n" << text;
  EXPECT_EQ(SerializeStore(**second), text);

  const MessageRec& m = *(*second)->ipm_root->folders[1]->messages[0];
  EXPECT_EQ(m.subject.str(), "all \"types\"\n");
  EXPECT_EQ(*m.modified_ms, 1704067199250);
  ASSERT_EQ(m.props.size(), 15u);
  EXPECT_EQ(m.props[0].value.text, "é ü \x01");
  EXPECT_EQ(m.props[1].value.num, -5);
  EXPECT_EQ(m.props[4].value.num, 915246245000);
  EXPECT_EQ(m.props[5].value.text, std::string("\x00\xff\x10", 3));
  EXPECT_EQ(m.props[9].values()[0].num, 951782400000);
  EXPECT_EQ(m.props[12].tag, 0x3A1C001Fu);
  EXPECT_EQ(m.props[13].values().size(), 2u);
  // The explicit GUID-less store got a derived GUID that the writer keeps.
  EXPECT_NE(
      text.find("\"guid\": \"" + HexUpper(std::string_view(
                                     reinterpret_cast<const char*>((*first)->guid.data()), 16))),
      std::string::npos);
}

// Strings are read in place when they have no escapes and decoded when they have; either
// way each value, member name and property member comes out as written, also when several
// escaped strings stand in one property object.
TEST(StoreFormat, EscapedAndPlainStringsLoadAlike) {
  TempHost host;
  std::filesystem::path file = host.dir() / "s.json";
  WriteFile(file, R"({
  "displayName": "D\u00e9j\u00e0 vu",
  "root": {"name": "", "folders": [{"name": "Top of Information Store", "folders": [
    {"name": "Inbox"},
    {"name": "Data", "messages": [
      {"class": "IPM.Note", "subject": "\"quoted\" and \\", "topic": "12345678\n9",
       "named": [
         {"s\u0065t": "{00020329-0000-0000-C000-000000000046}", "n\u0061me": "Esc\u0061ped",
          "type": "str\u0069ng", "value": "v\u00e9\tw"},
         {"name": "Plain", "type": "string", "value": "no escapes: é, 😀 and \u007f"},
         {"name": "Pair", "type": "string", "value": "\ud83d\ude00 \/ \b\f\r"},
         {"name": "Multi", "type": "multiString", "value": ["a\u0000b", "plain", "\"", ""]}]}
    ]}
  ]}]}
})");
  auto r = LoadStore(file, false, "seed");
  ASSERT_TRUE(r.ok()) << r.status().description();
  const StoreData& s = **r;
  EXPECT_EQ(s.display_name, "Déjà vu");
  const MessageRec& m = *s.ipm_root->folders[1]->messages[0];
  EXPECT_EQ(m.subject.str(), "\"quoted\" and \\");
  EXPECT_EQ(m.Topic(), "12345678\n9");
  ASSERT_EQ(m.props.size(), 4u);
  const NamedKey* key = s.named.KeyOf(m.props[0].id());
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(key->name, "Escaped");
  EXPECT_EQ(m.props[0].type(), kTypeString8);
  EXPECT_EQ(m.props[0].value.text, "vé\tw");
  EXPECT_EQ(m.props[1].value.text, "no escapes: é, 😀 and \x7f");
  EXPECT_EQ(m.props[2].value.text, "😀 / \b\f\r");
  const std::vector<Scalar>& multi = m.props[3].values();
  ASSERT_EQ(multi.size(), 4u);
  EXPECT_EQ(multi[0].text, std::string("a\0b", 3));
  EXPECT_EQ(multi[1].text, "plain");
  EXPECT_EQ(multi[2].text, "\"");
  EXPECT_EQ(multi[3].text, "");
}

// The reader steps over plain text a word at a time: a character that needs attention is
// found at every position of a string, whatever its length.
TEST(StoreFormat, SpecialCharactersAreFoundAtEveryPosition) {
  struct Special {
    std::string json, text;
  };
  const std::vector<Special> specials = {{"\\\"", "\""},   {"\\\\", "\\"}, {"\\n", "\n"},
                                         {"\\u00e9", "é"}, {"é", "é"},     {"\x7f", "\x7f"},
                                         {"\\/", "/"},     {"😀", "😀"}};
  std::string json_values;
  std::vector<std::string> expected;
  auto add = [&](const std::string& json, const std::string& text) {
    json_values += (expected.empty() ? "\"" : ", \"") + json + "\"";
    expected.push_back(text);
  };
  for (size_t n = 0; n < 24; ++n) {
    add(std::string(n, 'x'), std::string(n, 'x'));
    for (size_t k = 0; k < n; ++k) {
      for (const Special& sp : specials) {
        std::string before(k, 'a'), after(n - k - 1, 'z');
        add(before + sp.json + after, before + sp.text + after);
      }
    }
  }
  TempHost host;
  std::filesystem::path file = host.dir() / "s.json";
  WriteFile(file,
            "{\"displayName\": \"M\", \"root\": {\"name\": \"\", \"messages\": [{\"class\": \"A\", "
            "\"named\": [{\"name\": \"V\", \"type\": \"multiString\", \"value\": [" +
                json_values + "]}]}]}}");
  auto r = LoadStore(file, false, "seed");
  ASSERT_TRUE(r.ok()) << r.status().description();
  const std::vector<Scalar>& values = (*r)->root->messages[0]->props[0].values();
  ASSERT_EQ(values.size(), expected.size());
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(values[i].text, expected[i]) << i;
}

// A bad character inside a string is reported at its own column, wherever it stands and
// whether or not an escape came before it in the same string.
TEST(StoreFormat, BadCharactersInStringsAreReportedWhereTheyStand) {
  struct Bad {
    std::string bytes, message;
  };
  const std::vector<Bad> bads = {{"\x01", "control character"},     {"\t", "control character"},
                                 {"\xff", "invalid UTF-8"},         {"\xc3(", "invalid UTF-8"},
                                 {"\xed\xa0\x80", "invalid UTF-8"}, {"\\x", "invalid escape"}};
  const std::string head = "{\"displayName\": \"";  // the string's text starts at column 18
  TempHost host;
  std::filesystem::path file = host.dir() / "s.json";
  for (const std::string& escape : {std::string(), std::string("\\n")}) {
    for (size_t k = 0; k < 20; ++k) {
      for (const Bad& bad : bads) {
        const std::string before = escape + std::string(k, 'a');
        WriteFile(file, head + before + bad.bytes + "b\", \"root\": {\"name\": \"\"}}");
        auto r = LoadStore(file, false, "seed");
        ASSERT_FALSE(r.ok());
        const std::string& d = r.status().description();
        const std::string where =
            file.string() + ":1:" + std::to_string(head.size() + before.size() + 1) + ":";
        EXPECT_EQ(d.rfind(where, 0), 0u) << d;
        EXPECT_NE(d.find(bad.message), std::string::npos) << d;
      }
      // A string that the file ends in.
      WriteFile(file, head + escape + std::string(k, 'a'));
      auto r = LoadStore(file, false, "seed");
      ASSERT_FALSE(r.ok());
      EXPECT_NE(r.status().description().find("end of input inside a string"), std::string::npos);
    }
  }
}

// The counter of an entry ID: 12 hex digits before the last 4.
std::string NextCounter(std::string id) {
  const size_t at = id.size() - 16;
  uint64_t c = std::stoull(id.substr(at, 12), nullptr, 16);
  char digits[16];
  std::snprintf(digits, sizeof digits, "%012llX",
                static_cast<unsigned long long>((c + 1) & 0xFFFFFFFFFFFFULL));
  id.replace(at, 12, digits);
  return id;
}

// A derived ID that an explicit one already has is not given twice: the derived one moves on
// to the next counter, and look-ups by ID find each object.
TEST(StoreFormat, GeneratedIdsStepAroundExplicitOnes) {
  auto store = [](const std::string& other_id, const std::string& second_id) {
    auto id = [](const std::string& v) {
      return v.empty() ? std::string() : ", \"entryId\": \"" + v + "\"";
    };
    return "{\"displayName\": \"M\", \"root\": {\"name\": \"\", \"folders\": [{\"name\": \"Top of "
           "Information Store\", \"folders\": [{\"name\": \"Inbox\"}, {\"name\": \"Data\", "
           "\"messages\": [{\"class\": \"A\"}, {\"class\": \"B\"" +
           id(second_id) + "}]}, {\"name\": \"Other\"" + id(other_id) + "}]}]}}";
  };
  TempHost host;
  std::filesystem::path file = host.dir() / "s.json";
  WriteFile(file, store("", ""));
  auto plain = LoadStore(file, false, "seed");
  ASSERT_TRUE(plain.ok()) << plain.status().description();
  const std::string inbox_id = (*plain)->inbox->entry_id;
  const std::string first_id = (*plain)->ipm_root->folders[1]->messages[0]->entry_id;

  // "Other" takes the Inbox's ID and the second message the first one's.
  WriteFile(file, store(inbox_id, first_id));
  auto r = LoadStore(file, false, "seed");
  ASSERT_TRUE(r.ok()) << r.status().description();
  StoreData& s = **r;
  const FolderRec& other = *s.ipm_root->folders[2];
  const FolderRec& data = *s.ipm_root->folders[1];
  EXPECT_EQ(other.entry_id, inbox_id);
  EXPECT_EQ(s.inbox->entry_id, NextCounter(inbox_id));
  EXPECT_EQ(data.messages[1]->entry_id, first_id);
  EXPECT_EQ(data.messages[0]->entry_id, NextCounter(first_id));
  EXPECT_EQ(s.FindFolder(inbox_id), &other);
  EXPECT_EQ(s.FindFolder(NextCounter(inbox_id)), s.inbox);
  EXPECT_EQ(s.FindMessage(first_id), data.messages[1].get());
  std::string lower = NextCounter(first_id);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(s.FindMessage(lower), data.messages[0].get());
  EXPECT_EQ(s.message_index.size(), 2u);
}

// Consecutive messages share one copy of an equal class or subject; each message still has
// its own values, and the writer writes them all back.
TEST(StoreFormat, MessagesKeepTheirOwnClassAndSubject) {
  TempHost host;
  std::filesystem::path file = host.dir() / "s.json";
  WriteFile(file, R"({"displayName": "M", "root": {"name": "", "messages": [
    {"class": "A", "subject": "s"}, {"class": "B", "subject": "s"},
    {"class": "A", "subject": "t", "topic": "x"}, {"class": "A"}, {"class": "", "subject": "s"}]}})");
  auto r = LoadStore(file, false, "seed");
  ASSERT_TRUE(r.ok()) << r.status().description();
  const auto& messages = (*r)->root->messages;
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"A", "s"}, {"B", "s"}, {"A", "t"}, {"A", ""}, {"", "s"}};
  ASSERT_EQ(messages.size(), expected.size());
  for (size_t i = 0; i < messages.size(); ++i) {
    EXPECT_EQ(messages[i]->message_class.str(), expected[i].first) << i;
    EXPECT_EQ(messages[i]->subject.str(), expected[i].second) << i;
  }
  EXPECT_EQ(messages[1]->Topic(), "s");
  EXPECT_EQ(messages[2]->Topic(), "x");

  const std::string text = SerializeStore(**r);
  WriteFile(file, text);
  auto again = LoadStore(file, false, "seed");
  ASSERT_TRUE(again.ok()) << again.status().description();
  EXPECT_EQ(SerializeStore(**again), text);
}

// A store large enough to be written out in several pieces is written exactly as its text.
TEST(StoreFormat, WriteBackOfALargeStoreWritesItsWholeText) {
  TempHost host;
  std::filesystem::path file = host.dir() / "big.json";
  std::string json =
      R"({"displayName": "Big", "root": {"name": "", "folders": [{"name": "R", "messages": [)";
  for (int i = 0; i < 6000; ++i) {
    if (i) json += ",";
    json += R"({"class": "IPM.Note", "subject": "registration )" + std::to_string(i) +
            R"(", "named": [{"name": "P", "type": "string", "value": ")" +
            std::string(200 + static_cast<size_t>(i % 300), static_cast<char>('a' + i % 26)) +
            R"("}]})";
  }
  json += "]}]}}";
  WriteFile(file, json);
  auto store = LoadStore(file, false, "seed");
  ASSERT_TRUE(store.ok()) << store.status().description();
  const std::string text = SerializeStore(**store);
  ASSERT_GT(text.size(), 2 * kSpillBytes);
  ASSERT_TRUE((*store)->WriteBack().ok());
  const std::string written = ReadFile(file);
  EXPECT_TRUE(written == text) << "written " << written.size() << " bytes of " << text.size();
  EXPECT_FALSE(std::filesystem::exists(host.dir() / "big.json.tmp"));
}

TEST(StoreFormat, UnreadableFileIsALogonFailure) {
  TempHost host;
  for (const std::filesystem::path& file : {host.dir() / "missing.json", host.dir()}) {
    auto r = LoadStore(file, false, "seed");
    ASSERT_FALSE(r.ok()) << file;
    EXPECT_EQ(r.status().number(), err::kLogonFailed);
    EXPECT_EQ(r.status().description().rfind("cannot read store file " + file.string() + ": ", 0),
              0u)
        << r.status().description();
  }
}

TEST(StoreFormat, IsoTimes) {
  int64_t ms = 0;
  EXPECT_TRUE(ParseIsoTime("1970-01-01T00:00:00Z", &ms));
  EXPECT_EQ(ms, 0);
  EXPECT_TRUE(ParseIsoTime("2024-02-29T12:00:00.5Z", &ms));
  EXPECT_EQ(FormatIsoTime(ms), "2024-02-29T12:00:00.500Z");
  for (const char* bad : {"2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-01 00:00:00Z",
                          "2024-01-01T24:00:00Z", "2024-01-01T00:00:00", "2024-01-01T00:00:00.Z",
                          "1600-01-01T00:00:00Z"}) {
    EXPECT_FALSE(ParseIsoTime(bad, &ms)) << bad;
  }
}

}  // namespace
}  // namespace testqav::mailbox
