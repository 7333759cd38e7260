#include "platform/directory/embedded/prefix_postings.h"

#include <algorithm>

namespace testqav {

PrefixPostings::PrefixPostings(std::vector<std::pair<std::string, uint32_t>> pairs) {
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  size_t bytes = 0;
  for (const auto& p : pairs) bytes += p.first.size();
  text_.reserve(bytes);
  keys_.reserve(pairs.size());
  for (auto& p : pairs) {
    keys_.push_back(
        {static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(p.first.size()), p.second});
    text_ += p.first;
    std::string().swap(p.first);
  }
}

std::vector<uint32_t> PrefixPostings::Find(std::string_view prefix) const {
  auto first =
      std::lower_bound(keys_.begin(), keys_.end(), prefix,
                       [this](const Key& k, std::string_view p) { return KeyText(k) < p; });
  std::vector<uint32_t> out;
  for (auto it = first; it != keys_.end() && KeyText(*it).starts_with(prefix); ++it) {
    out.push_back(it->position);
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace testqav
