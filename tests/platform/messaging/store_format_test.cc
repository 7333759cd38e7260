// The JSON store format: what the loader rejects (with the line of the offending value),
// what it accepts, and that the writer's output loads back to the same store.

#include <gtest/gtest.h>

#include "platform/common/error_codes.h"
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
  EXPECT_EQ(m.subject, "all \"types\"\n");
  EXPECT_EQ(*m.modified_ms, 1704067199250);
  ASSERT_EQ(m.props.size(), 15u);
  EXPECT_EQ(m.props[0].value.text, "é ü \x01");
  EXPECT_EQ(m.props[1].value.num, -5);
  EXPECT_EQ(m.props[4].value.num, 915246245000);
  EXPECT_EQ(m.props[5].value.text, std::string("\x00\xff\x10", 3));
  EXPECT_EQ(m.props[9].values[0].num, 951782400000);
  EXPECT_EQ(m.props[12].tag, 0x3A1C001Fu);
  EXPECT_EQ(m.props[13].values.size(), 2u);
  // The explicit GUID-less store got a derived GUID that the writer keeps.
  EXPECT_NE(
      text.find("\"guid\": \"" + HexUpper(std::string_view(
                                     reinterpret_cast<const char*>((*first)->guid.data()), 16))),
      std::string::npos);
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
