#include "platform/directory/embedded/known_bases.h"

#include <algorithm>
#include <functional>
#include <tuple>
#include <utility>

namespace testqav {
namespace {

// The hash of an RDN sequence from the root down, one RDN at a time.
uint64_t ExtendSuffixHash(uint64_t parent, std::string_view rdn) {
  uint64_t h = std::hash<std::string_view>{}(rdn);
  return parent ^ (h + 0x9E3779B97F4A7C15ULL + (parent << 6) + (parent >> 2));
}
constexpr uint64_t kRootSuffixHash = 0x51ED270B27A3F1C5ULL;

}  // namespace

bool EndsWith(KnownBases::Rdns rdns, KnownBases::Rdns suffix, size_t n) {
  if (rdns.size() < n || suffix.size() < n) return false;
  return std::equal(suffix.end() - static_cast<std::ptrdiff_t>(n), suffix.end(),
                    rdns.end() - static_cast<std::ptrdiff_t>(n));
}

KnownBases::KnownBases(const EntryStore& store) {
  std::vector<std::pair<uint64_t, uint32_t>> by_dn;
  by_dn.reserve(store.size());
  for (size_t i = 0; i < store.size(); ++i) {
    // Every suffix of the DN is a base that exists (the entry or one of its ancestors).
    Rdns rdns = store[i].rdns();
    uint64_t h = kRootSuffixHash;
    for (size_t n = 1; n <= rdns.size(); ++n) {
      h = ExtendSuffixHash(h, rdns[rdns.size() - n]);
      bases_.push_back({h, static_cast<uint32_t>(i), static_cast<uint32_t>(n)});
    }
    by_dn.emplace_back(h, static_cast<uint32_t>(i));
  }
  std::sort(bases_.begin(), bases_.end(), [](const Base& x, const Base& y) {
    return std::tie(x.hash, x.depth, x.entry) < std::tie(y.hash, y.depth, y.entry);
  });
  // One witness per suffix; suffixes that only share a hash each keep theirs.
  bases_.erase(std::unique(bases_.begin(), bases_.end(),
                           [&store](const Base& x, const Base& y) {
                             return x.hash == y.hash && x.depth == y.depth &&
                                    EndsWith(store[y.entry].rdns(), store[x.entry].rdns(), x.depth);
                           }),
               bases_.end());
  bases_.shrink_to_fit();
  by_dn_ = HashPostings(std::move(by_dn));
}

uint64_t KnownBases::SuffixHash(Rdns rdns) {
  uint64_t h = kRootSuffixHash;
  for (size_t i = rdns.size(); i > 0; --i) h = ExtendSuffixHash(h, rdns[i - 1]);
  return h;
}

bool KnownBases::Exists(const EntryStore& store, Rdns base) const {
  if (base.empty()) return true;
  uint64_t h = SuffixHash(base);
  auto it = std::lower_bound(bases_.begin(), bases_.end(), h,
                             [](const Base& k, uint64_t v) { return k.hash < v; });
  for (; it != bases_.end() && it->hash == h; ++it) {
    if (it->depth == base.size() && EndsWith(store[it->entry].rdns(), base, base.size())) {
      return true;
    }
  }
  return false;
}

}  // namespace testqav
