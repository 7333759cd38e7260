// Duplicate lookups in a QAV data set of 100,000 registered users: the e-mail match filter
// that the update run builds for every registration, timed on the indexed record set and on
// the reference scan. The scan runs fewer filters; both report the time of one filter, and
// the program ends with the ratio of the two.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/recordset/recordset.h"

namespace testqav {
namespace {

constexpr int kRecords = 100000;
constexpr int kFilters = 10000;
constexpr int kReferenceFilters = 30;

// The QAV layout, in column order.
const std::vector<std::pair<const char*, FieldType>> kQavFields = {
    {"PIN", FieldType::kText},
    {"SMTP", FieldType::kText},
    {"ODN", FieldType::kText},
    {"AddressID", FieldType::kText},
    {"Proxies", FieldType::kText},
    {"X500Proxies", FieldType::kText},
    {"Email2", FieldType::kText},
    {"Email3", FieldType::kText},
    {"MobilePhone", FieldType::kText},
    {"RadioPhone", FieldType::kText},
    {"QAV Business Phone", FieldType::kText},
    {"QAV Business Fax", FieldType::kText},
    {"QAV Home Phone", FieldType::kText},
    {"QAV Pager", FieldType::kText},
    {"BusinessPhone2", FieldType::kText},
    {"HomePhone2", FieldType::kText},
    {"Title", FieldType::kText},
    {"Company", FieldType::kText},
    {"Department", FieldType::kText},
    {"Office", FieldType::kText},
    {"StreetAddress", FieldType::kText},
    {"City", FieldType::kText},
    {"State", FieldType::kText},
    {"Zip", FieldType::kText},
    {"Country", FieldType::kText},
    {"HomeStreet", FieldType::kText},
    {"HomeCity", FieldType::kText},
    {"HomeState", FieldType::kText},
    {"HomeZip", FieldType::kText},
    {"HomeCountry", FieldType::kText},
    {"HomeAddress", FieldType::kText},
    {"PrivateFields", FieldType::kText},
    {"FileAs", FieldType::kText},
    {"FileAsFlag", FieldType::kInteger},
    {"Notes", FieldType::kText},
    {"LastChange", FieldType::kDate},
    {"TargetChecksum", FieldType::kInteger},
    {"OtherPhone", FieldType::kText},
    {"HomeFax", FieldType::kText},
    {"OtherFax", FieldType::kText},
    {"UserField2", FieldType::kText},
    {"UserField3", FieldType::kText},
    {"UserField4", FieldType::kText},
};

struct User {
  std::string smtp, odn, proxies, x500;
};

// User i of the organisation, as the registration data would hold it (stored values are
// lower case; "%" and "_" never occur after encoding).
User MakeUser(int i) {
  const std::string n = std::to_string(i);
  const std::string domain = "site" + std::to_string(i % 17) + ".example.com";
  User u;
  u.smtp = "user" + n + "@" + domain;
  u.odn = "/o=example/ou=exchange administrative group (fydibohf23spdlt)/cn=recipients/cn=user" + n;
  u.proxies = ";" + u.smtp + ";first.last" + n + "@example.org;u" + n + "@legacy.example.net;";
  u.x500 = ";/o=oldorg/ou=site" + std::to_string(i % 17) + "/cn=recipients/cn=user" + n + ";";
  return u;
}

std::unique_ptr<Recordset> BuildQav(std::unique_ptr<Recordset> rs) {
  for (const auto& [name, type] : kQavFields) rs->AppendField(name, type).IgnoreError();
  rs->Open().IgnoreError();
  char pin[16];
  for (int i = 0; i < kRecords; ++i) {
    User u = MakeUser(i);
    std::snprintf(pin, sizeof pin, "2%07X", static_cast<unsigned>(i));
    rs->AddNew().IgnoreError();
    rs->SetValue("PIN", pin).IgnoreError();
    rs->SetValue("SMTP", u.smtp).IgnoreError();
    rs->SetValue("ODN", u.odn).IgnoreError();
    rs->SetValue("AddressID",
                 "00000000DCA740C8C042101AB4B908002B2FE18201000000000000002F" + std::to_string(i))
        .IgnoreError();
    rs->SetValue("Proxies", u.proxies).IgnoreError();
    rs->SetValue("X500Proxies", u.x500).IgnoreError();
    rs->SetValue("MobilePhone", "+1 555 01" + std::to_string(i)).IgnoreError();
    rs->SetValue("QAV Business Phone", "+1 555 02" + std::to_string(i)).IgnoreError();
    rs->SetValue("PrivateFields", "").IgnoreError();
    rs->SetValue("OtherPhone", "").IgnoreError();
    rs->Update().IgnoreError();
  }
  return rs;
}

// The BuildEmailFilter shape for a mix of registered users (found through their primary
// address, a secondary proxy or their old X.500 address, in another letter case) and new
// users that match nothing.
std::vector<std::string> MakeFilters() {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> pick(0, 2 * kRecords - 1);
  std::vector<std::string> filters;
  filters.reserve(kFilters);
  for (int k = 0; k < kFilters; ++k) {
    int i = pick(rng);
    User u = MakeUser(i);  // i >= kRecords is a user not in the set
    std::string smtp = (k % 3 == 0) ? "U" + u.smtp.substr(1) : u.smtp;
    if (k % 4 == 1) smtp = "first.last" + std::to_string(i) + "@example.org";
    std::string f = "[SMTP] LIKE '" + smtp + "' OR [ODN] LIKE '" + u.odn + "'";
    f += " OR [Proxies] Like '*;" + smtp + ";*'";
    f += " OR [Proxies] Like '*;u" + std::to_string(i) + "@legacy.example.net;*'";
    f += " OR [X500Proxies] Like '*;" + u.x500.substr(1, u.x500.size() - 2) + ";*'";
    filters.push_back(std::move(f));
  }
  return filters;
}

struct Data {
  std::unique_ptr<Recordset> indexed;
  std::unique_ptr<Recordset> reference;
  std::vector<std::string> filters;
  double first_filter_ms = 0;
};

Data& Shared() {
  static Data* data = [] {
    auto* d = new Data;
    d->indexed = BuildQav(CreateRecordset());
    d->reference = BuildQav(CreateReferenceRecordset());
    d->filters = MakeFilters();
    // The indexes are built by the first filter that needs them; time that apart.
    auto t0 = std::chrono::steady_clock::now();
    d->indexed->SetFilter(d->filters[0]).IgnoreError();
    auto t1 = std::chrono::steady_clock::now();
    d->first_filter_ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    return d;
  }();
  return *data;
}

// One engine lookup: clear the filter, move first, filter, test for a match.
void RunFilters(benchmark::State& state, Recordset& rs, const std::vector<std::string>& filters) {
  size_t k = 0;
  int64_t matches = 0;
  for (auto _ : state) {
    rs.ClearFilter().IgnoreError();
    rs.MoveFirst().IgnoreError();
    rs.SetFilter(filters[k++ % filters.size()]).IgnoreError();
    if (!rs.Eof()) ++matches;
    benchmark::DoNotOptimize(matches);
  }
  state.counters["match_rate"] =
      static_cast<double>(matches) / static_cast<double>(state.iterations());
}

void BM_IndexedFilter(benchmark::State& state) {
  Data& d = Shared();
  RunFilters(state, *d.indexed, d.filters);
  state.counters["first_filter_ms"] = d.first_filter_ms;
}
BENCHMARK(BM_IndexedFilter)->Iterations(kFilters)->Unit(benchmark::kMicrosecond);

void BM_ReferenceFilter(benchmark::State& state) {
  Data& d = Shared();
  RunFilters(state, *d.reference, d.filters);
}
BENCHMARK(BM_ReferenceFilter)->Iterations(kReferenceFilters)->Unit(benchmark::kMicrosecond);

// Collects the time per filter of each benchmark to print the ratio at the end. CPU time is
// the fairer figure on a shared machine; wall time is printed beside it.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      times_[run.run_name.function_name] = {run.GetAdjustedCPUTime(), run.GetAdjustedRealTime()};
    }
  }
  void Summarise() const {
    auto indexed = times_.find("BM_IndexedFilter");
    auto reference = times_.find("BM_ReferenceFilter");
    if (indexed == times_.end() || reference == times_.end()) return;
    const Times& i = indexed->second;
    const Times& r = reference->second;
    std::printf("\n%d records, engine-style duplicate filters (5 OR-clauses each)\n", kRecords);
    std::printf("indexed:   %12.2f us CPU per filter (wall %.2f us); %d filters: %.1f ms CPU\n",
                i.cpu_us, i.wall_us, kFilters, i.cpu_us * kFilters / 1e3);
    std::printf(
        "reference: %12.2f us CPU per filter (wall %.2f us); %d measured, %d extrapolated: "
        "%.0f s CPU\n",
        r.cpu_us, r.wall_us, kReferenceFilters, kFilters, r.cpu_us * kFilters / 1e6);
    std::printf("ratio:     %12.0fx (CPU), %.0fx (wall)\n", r.cpu_us / i.cpu_us,
                r.wall_us / i.wall_us);
    std::printf("first indexed filter, which builds the indexes: %.1f ms wall\n",
                Shared().first_filter_ms);
  }

 private:
  struct Times {
    double cpu_us = 0;
    double wall_us = 0;
  };
  std::map<std::string, Times> times_;
};

}  // namespace
}  // namespace testqav

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  testqav::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Summarise();
  benchmark::Shutdown();
  return 0;
}
