#include "mcl/query_row_preparer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "platform/recordset/recordset.h"

namespace testqav {
namespace {

// A member query's rows in every shape the expansion meets: persons, lists and others, values
// missing, Null, padded, several at once.
std::unique_ptr<Recordset> MemberRows(int count) {
  auto rs = CreateRecordset();
  for (const char* f : {"name", "mail", "legacyExchangeDN", "telephoneNumber", "otherTelephone",
                        "title", "objectCategory"}) {
    EXPECT_TRUE(rs->AppendField(f, FieldType::kVariant).ok());
  }
  EXPECT_TRUE(rs->Open().ok());
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_TRUE(rs->AddNew().ok());
    rs->SetValue("name", Variant("User, " + n)).IgnoreError();
    if (i % 7 != 3) rs->SetValue("mail", Variant("u" + n + "@x.test")).IgnoreError();
    if (i % 5 != 4) rs->SetValue("legacyExchangeDN", Variant("/o=x/cn=u" + n)).IgnoreError();
    if (i % 3 == 0) rs->SetValue("telephoneNumber", Variant("  +1 555 " + n + " ")).IgnoreError();
    if (i % 4 == 1) {
      rs->SetValue("otherTelephone", Variant::Array({Variant(" 1" + n), Variant("2")}))
          .IgnoreError();
    }
    if (i % 4 == 2)
      rs->SetValue("title", Variant::Array({Variant("a"), Variant("b")})).IgnoreError();
    const char* category = i < 40 || i % 6 != 5 ? "CN=Person,CN=Schema,CN=Configuration,DC=x"
                           : i % 12 == 5        ? "CN=Group,CN=Schema,CN=Configuration,DC=x"
                                                : "CN=Computer,CN=Schema,CN=Configuration,DC=x";
    rs->SetValue("objectCategory", Variant(category)).IgnoreError();
    EXPECT_TRUE(rs->Update().ok());
  }
  EXPECT_TRUE(rs->MoveFirst().ok());
  return rs;
}

// The entry IDs the address book would give: none for every third ODN.
std::optional<std::string> IdOf(const std::string& odn) {
  if (odn.size() % 3 == 0) return std::nullopt;
  return "id:" + odn;
}

void ExpectSameAsTheCursorReads(const Recordset& rs, const QueryRowColumns& columns,
                                const QueryRowValues& got, size_t position) {
  const QueryRowValues want = ReadCurrentQueryRow(rs, columns, /*with_fields=*/true);
  EXPECT_EQ(got.category, want.category) << position;
  EXPECT_EQ(got.name, want.name) << position;
  EXPECT_EQ(got.mail, want.mail) << position;
  EXPECT_EQ(got.odn, want.odn) << position;
  EXPECT_EQ(got.person, want.person) << position;
  EXPECT_EQ(got.has_fields, want.has_fields) << position;
  EXPECT_EQ(got.fields, want.fields) << position;
  const std::optional<std::string> id =
      want.person && !want.odn.empty() ? IdOf(want.odn) : std::nullopt;
  EXPECT_EQ(got.address_id, id) << position;
}

TEST(QueryRowPreparer, HandsOutWhatTheExpansionWouldReadRowByRow) {
  auto rs = MemberRows(3000);
  const QueryRowColumns columns(*rs);
  // The reader reports each ODN it looks up, so that the test knows how far it got.
  std::mutex mu;
  std::condition_variable reached;
  size_t looked_up = 0;
  QueryRowPreparer::AddressIdOf id_of = [&](const std::string& odn) {
    std::lock_guard<std::mutex> lock(mu);
    ++looked_up;
    reached.notify_all();
    return IdOf(odn);
  };
  auto preparer =
      std::make_unique<QueryRowPreparer>(*rs, columns, 3000, id_of, nullptr, /*window=*/16);

  // The first rows are persons with an ODN (except row 4): once the reader looks up its
  // tenth ODN, rows 0 to 9 are ready and must all come from it.
  {
    std::unique_lock<std::mutex> lock(mu);
    reached.wait(lock, [&] { return looked_up >= 10; });
  }
  size_t position = 0;
  for (; position < 10; ++position, rs->MoveNext().IgnoreError()) {
    std::optional<QueryRowValues> got = preparer->Take(position);
    ASSERT_TRUE(got.has_value()) << position;
    ExpectSameAsTheCursorReads(*rs, columns, *got, position);
  }
  // Then the rest, partly passed over as when the expansion gets ahead of the reader:
  // whatever is handed out belongs to the row asked for.
  for (; !rs->Eof() && position < 2000; ++position, rs->MoveNext().IgnoreError()) {
    if (position % 500 < 100) continue;
    std::optional<QueryRowValues> got = preparer->Take(position);
    if (got) ExpectSameAsTheCursorReads(*rs, columns, *got, position);
  }
  // Given up half way, with the reader waiting or reading: it stops and is waited for.
  preparer.reset();
  EXPECT_FALSE(rs->Eof());
}

}  // namespace
}  // namespace testqav
