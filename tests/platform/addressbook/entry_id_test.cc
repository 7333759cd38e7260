#include "platform/addressbook/entry_id.h"

#include <gtest/gtest.h>

#include "platform/common/error_codes.h"

namespace testqav {
namespace {

constexpr char kDn[] =
    "/o=Contoso/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)/cn=Recipients/cn=jsmith";
constexpr char kDnEntryIdType0[] =
    "00000000DCA740C8C042101AB4B908002B2FE18201000000000000002F6F3D436F6E746F736F2F6F753D4578"
    "6368616E67652041646D696E6973747261746976652047726F7570202846594449424F484632335350444C54"
    "292F636E3D526563697069656E74732F636E3D6A736D69746800";
constexpr char kOneOffZoe[] =
    "00000000812B1FA4BEA310199D6E00DD010F5402000001905A006F00EB002000DC006E0061006C0000005300"
    "4D005400500000007A006F00650040006500780061006D0070006C0065002E006F00720067000000";

TEST(AddressBookEntryIdTest, AddressBookLayoutHasExactBytes) {
  EXPECT_EQ(BytesToHex(EncodeAddressBookEntryId(0, kDn)), kDnEntryIdType0);
  // The display type sits at offset 24, little-endian.
  std::vector<uint8_t> list = EncodeAddressBookEntryId(1, kDn);
  EXPECT_EQ(list[24], 1);
  EXPECT_EQ(list[25], 0);
  EXPECT_EQ(list.back(), 0);
  EXPECT_EQ(list.size(), 28 + sizeof(kDn));
  // The text written directly is the same as the bytes' text.
  for (uint32_t type : {0u, 1u, 6u, 0x01020304u}) {
    for (const char* dn : {kDn, "", "/o=Ä/cn=ß\x7F"}) {
      EXPECT_EQ(AddressBookEntryIdHex(type, dn), BytesToHex(EncodeAddressBookEntryId(type, dn)))
          << type << " " << dn;
    }
  }
}

TEST(AddressBookEntryIdTest, AddressBookLayoutRoundTrips) {
  auto bytes = HexToBytes(kDnEntryIdType0);
  ASSERT_TRUE(bytes.ok());
  auto decoded = DecodeEntryId(*bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.status().description();
  const auto* ab = std::get_if<AddressBookEntryId>(&*decoded);
  ASSERT_NE(ab, nullptr);
  EXPECT_EQ(ab->dn, kDn);
  EXPECT_EQ(ab->display_type, 0u);

  auto list = DecodeEntryId(EncodeAddressBookEntryId(6, "/o=X/cn=y"));
  ASSERT_TRUE(list.ok());
  EXPECT_EQ(std::get<AddressBookEntryId>(*list).display_type, 6u);
}

TEST(AddressBookEntryIdTest, OneOffLayoutHasExactBytesAndRoundTripsNonAscii) {
  std::vector<uint8_t> bytes = EncodeOneOffEntryId("Zoë Ünal", "SMTP", "zoe@example.org");
  EXPECT_EQ(BytesToHex(bytes), kOneOffZoe);
  auto decoded = DecodeEntryId(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.status().description();
  const auto* one_off = std::get_if<OneOffEntryId>(&*decoded);
  ASSERT_NE(one_off, nullptr);
  EXPECT_EQ(one_off->display_name, "Zoë Ünal");
  EXPECT_EQ(one_off->address_type, "SMTP");
  EXPECT_EQ(one_off->address, "zoe@example.org");
}

TEST(AddressBookEntryIdTest, OneOffWithoutUnicodeFlagReadsEightBitTexts) {
  // Built from hex text: flags, provider, version 0, flags 0x0001 (no Unicode), 8-bit texts.
  std::string hex = "00000000812B1FA4BEA310199D6E00DD010F540200000100";
  for (std::string s : {"Bob", "SMTP", "bob@example.org"}) {
    hex += BytesToHex(std::vector<uint8_t>(s.begin(), s.end())) + "00";
  }
  std::vector<uint8_t> bytes = HexToBytes(hex).value();
  auto decoded = DecodeEntryId(bytes);
  ASSERT_TRUE(decoded.ok()) << decoded.status().description();
  EXPECT_EQ(std::get<OneOffEntryId>(*decoded).display_name, "Bob");
  EXPECT_EQ(std::get<OneOffEntryId>(*decoded).address, "bob@example.org");
}

TEST(AddressBookEntryIdTest, HexTextAcceptsEitherCaseAndRejectsBadDigits) {
  auto lower = HexToBytes("0aFf");
  ASSERT_TRUE(lower.ok());
  EXPECT_EQ(*lower, (std::vector<uint8_t>{0x0A, 0xFF}));
  EXPECT_EQ(BytesToHex({0x0A, 0xFF, 0x00}), "0AFF00");
  for (std::string_view bad : {"0", "0G", "zz", "12 4"}) {
    auto r = HexToBytes(bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.status().number(), err::kInvalidEntryId);
  }
}

TEST(AddressBookEntryIdTest, MalformedIdsAreRejected) {
  std::vector<uint8_t> good = EncodeAddressBookEntryId(0, "/o=X/cn=a");
  std::vector<std::vector<uint8_t>> bad;
  bad.push_back({});
  bad.push_back(std::vector<uint8_t>(good.begin(), good.begin() + 20));  // header cut short
  bad.push_back(std::vector<uint8_t>(good.begin(), good.end() - 1));     // no terminator
  {
    auto v = good;
    v.push_back('x');  // data after the DN
    bad.push_back(v);
  }
  {
    auto v = good;
    v[4] ^= 0xFF;  // unknown provider
    bad.push_back(v);
  }
  bad.push_back(EncodeAddressBookEntryId(0, ""));  // empty DN
  {
    auto v = EncodeOneOffEntryId("N", "SMTP", "a@b.c");
    v.pop_back();  // address not terminated
    bad.push_back(v);
  }
  for (size_t i = 0; i < bad.size(); ++i) {
    auto r = DecodeEntryId(bad[i]);
    ASSERT_FALSE(r.ok()) << "case " << i;
    EXPECT_EQ(r.status().number(), err::kInvalidEntryId) << "case " << i;
  }
}

}  // namespace
}  // namespace testqav
