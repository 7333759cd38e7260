// What every Host implementation promises, whatever it runs on. A new implementation is
// added to HostImplementations with a factory that builds one over the given folder, with
// nobody to answer notices and no progress display.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

#include "platform/common/variant.h"
#include "platform/host/host.h"
#include "platform/host/linux_host.h"
#include "support/fake_host.h"

namespace testqav {
namespace {

struct LinuxHostFactory {
  std::istringstream in{"\n"};
  std::ostringstream out;
  std::ostringstream err;
  std::unique_ptr<Host> Make(const std::string& folder) {
    LinuxHostOptions o;
    o.program_folder = folder;
    o.in = &in;
    o.out = &out;
    o.err = &err;
    return std::make_unique<LinuxHost>(std::move(o));
  }
};

// The tests' own host (support/fake_host.h) keeps the same promises.
struct FakeHostFactory {
  std::unique_ptr<Host> Make(const std::string& folder) {
    return std::make_unique<testing::FakeHost>(folder);
  }
};

template <typename Factory>
class HostContractTest : public ::testing::Test {
 protected:
  Factory factory_;
};

using HostImplementations = ::testing::Types<LinuxHostFactory, FakeHostFactory>;
TYPED_TEST_SUITE(HostContractTest, HostImplementations);

TYPED_TEST(HostContractTest, ProgramFolderHasNoTrailingSeparator) {
  for (const char* folder : {"/tmp/host", "/tmp/host/"}) {
    auto host = this->factory_.Make(folder);
    EXPECT_EQ(host->ProgramFolder(), "/tmp/host") << folder;
  }
}

TYPED_TEST(HostContractTest, NowIsAPlausibleDateThatMovesForward) {
  auto host = this->factory_.Make("/tmp/host");
  const double a = host->Now();
  // Between 2020-01-01 and 2100-01-01, in any time zone.
  EXPECT_GT(a, 43831.0);
  EXPECT_LT(a, 73051.0);
  EXPECT_GE(host->Now(), a);
  EXPECT_FALSE(FormatGeneralDate(a).empty());
}

TYPED_TEST(HostContractTest, EventsAndProgressAreSafeInAnyOrder) {
  auto host = this->factory_.Make("/tmp/host");
  host->EndProgress();
  host->DoEvents();
  for (int i = 0; i < 1000; ++i) {
    host->SetProgress("phase", i, i % 2 ? -1 : 1000);
    host->DoEvents();
  }
  host->EndProgress();
  host->EndProgress();
  EXPECT_FALSE(host->StopRequested());
}

}  // namespace
}  // namespace testqav
