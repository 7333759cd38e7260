// json_parse_bench: how fast a mailbox store file is parsed, by the project's own JSON reader
// and by nlohmann-json, so that the choice between them rests on figures (docs/benchmarks.md,
// scripts/bench-json.sh).
//
//   json_parse_bench FILE [--repeat N]
//
// The file is read into memory once; each variant then parses that buffer N times (default
// 5), the variants taking turns so that a slow moment of a shared machine falls on all of
// them alike, and the median is printed as one line per variant:
//
//   <variant> <median ms> ms <MB/s> MB/s (runs: <ms>/<ms>/...)
//
// Variants, each with a handler that does what the store loader cannot do with less (counts
// the events, looks at every string and member name, reads the position where it needs it):
//   handwritten     JsonReader (src/platform/messaging/json), position read on every event
//   nlohmann-sax    nlohmann::json::sax_parse over the buffer (const char* range), no position
//   nlohmann-sax-pos  the same through an iterator that publishes how far it has read, so
//                   that the handler reads a position on every event as the loader must
//   nlohmann-dom    nlohmann::json::parse into a DOM, for reference
//   load-store      mailbox::LoadStore on the file (the whole loader: parse, model, IDs), for
//                   reference
// MB are 10^6 bytes. Exit status 1 when a variant fails to parse the file.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/messaging/json/json_reader.h"
#include "platform/messaging/json/mailbox_store.h"

namespace testqav {
namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

// What every handler computes, so that no variant can skip work the others do and so that
// the compiler cannot drop the parse.
struct Tally {
  uint64_t events = 0;
  uint64_t string_bytes = 0;  // sizes of the strings and member names
  uint64_t checksum = 0;      // their first bytes, the integers, and the positions
};

// The hand-written reader's handler, a JsonHandler like the loader's (so its events go
// through the same virtual calls): the loader's handler reads the position (`*track`) on
// every event, so this one does too.
class HandWrittenTally final : public mailbox::JsonHandler {
 public:
  HandWrittenTally(const char* begin, const char* const* track) : begin_(begin), track_(track) {}

  bool null() override { return Event(); }
  bool boolean(bool v) override { return Event(v ? 1u : 0u); }
  bool number_integer(int64_t v) override { return Event(static_cast<uint64_t>(v)); }
  bool number_unsigned(uint64_t v) override { return Event(v); }
  bool number_float(double, std::string_view) override { return Event(); }
  bool string(std::string_view s) override { return Text(s); }
  bool start_object(size_t) override { return Event(); }
  bool key(std::string_view k) override { return Text(k); }
  bool end_object() override { return Event(); }
  bool start_array(size_t) override { return Event(); }
  bool end_array() override { return Event(); }

  const Tally& tally() const { return tally_; }

 private:
  bool Event(uint64_t value = 0) {
    ++tally_.events;
    tally_.checksum += value + static_cast<uint64_t>(*track_ - begin_);
    return true;
  }
  bool Text(std::string_view s) {
    tally_.string_bytes += s.size();
    return Event(s.empty() ? 0u : static_cast<unsigned char>(s.front()));
  }

  const char* begin_;
  const char* const* track_;
  Tally tally_;
};

// nlohmann's SAX interface. Position is a callable giving the offset read so far (or 0 when
// the variant has none).
template <class Position>
class NlohmannTally {
 public:
  explicit NlohmannTally(Position position) : position_(position) {}

  bool null() { return Event(); }
  bool boolean(bool v) { return Event(v ? 1u : 0u); }
  bool number_integer(Json::number_integer_t v) { return Event(static_cast<uint64_t>(v)); }
  bool number_unsigned(Json::number_unsigned_t v) { return Event(v); }
  bool number_float(Json::number_float_t, const Json::string_t&) { return Event(); }
  bool string(Json::string_t& s) { return Text(s); }
  bool binary(Json::binary_t&) { return Event(); }
  bool start_object(size_t) { return Event(); }
  bool key(Json::string_t& k) { return Text(k); }
  bool end_object() { return Event(); }
  bool start_array(size_t) { return Event(); }
  bool end_array() { return Event(); }
  bool parse_error(size_t offset, const std::string&, const nlohmann::detail::exception& e) {
    error_ = "at byte " + std::to_string(offset) + ": " + e.what();
    return false;
  }

  const Tally& tally() const { return tally_; }
  const std::string& error() const { return error_; }

 private:
  bool Event(uint64_t value = 0) {
    ++tally_.events;
    tally_.checksum += value + position_();
    return true;
  }
  bool Text(std::string_view s) {
    tally_.string_bytes += s.size();
    return Event(s.empty() ? 0u : static_cast<unsigned char>(s.front()));
  }

  Position position_;
  Tally tally_;
  std::string error_;
};

// A pointer into the buffer that writes how far it has read to *track on every step: the
// only way to learn the position of a value from nlohmann's SAX interface, whose lexer keeps
// its own position to itself. nlohmann reads one character past a number (and keeps it for
// the next token), so the position of a number is one further than the hand-written
// reader's; for the cost this makes no difference.
class TrackingIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackingIterator() = default;
  TrackingIterator(const char* p, const char** track) : p_(p), track_(track) {}

  reference operator*() const { return *p_; }
  TrackingIterator& operator++() {
    *track_ = ++p_;
    return *this;
  }
  TrackingIterator operator++(int) {
    TrackingIterator before = *this;
    ++*this;
    return before;
  }
  friend bool operator==(const TrackingIterator& a, const TrackingIterator& b) {
    return a.p_ == b.p_;
  }

 private:
  const char* p_ = nullptr;
  const char** track_ = nullptr;
};

struct Variant {
  std::string name;
  // Parses once; false (with *error) when the parse failed. *note says what was seen.
  std::function<bool(std::string*, std::string*)> run;
  std::vector<double> ms;
  std::string note;
};

std::string Seen(const Tally& t) {
  // The checksum is printed too, so that the work that makes it cannot be left out.
  return "events " + std::to_string(t.events) + ", string bytes " + std::to_string(t.string_bytes) +
         ", checksum " + std::to_string(t.checksum % 1000);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[(v.size() - 1) / 2];
}

bool ReadFile(const std::filesystem::path& file, std::string* out) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = std::move(s).str();
  return static_cast<bool>(in);
}

int Usage() {
  std::cerr << "usage: json_parse_bench FILE [--repeat N]\n";
  return 2;
}

int Main(int argc, char** argv) {
  std::filesystem::path file;
  int repeat = 5;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
      if (repeat < 1) return Usage();
    } else if (file.empty() && !a.starts_with("-")) {
      file = a;
    } else {
      return Usage();
    }
  }
  if (file.empty()) return Usage();
  std::string text;
  if (!ReadFile(file, &text)) {
    std::cerr << "json_parse_bench: cannot read " << file << "\n";
    return 1;
  }
  const char* const begin = text.data();
  const char* const end = text.data() + text.size();

  std::vector<Variant> variants;
  auto add = [&variants](std::string name, std::function<bool(std::string*, std::string*)> run) {
    Variant& v = variants.emplace_back();
    v.name = std::move(name);
    v.run = std::move(run);
  };
  add("handwritten", [&](std::string* note, std::string* error) {
    const char* track = begin;
    HandWrittenTally h(begin, &track);
    mailbox::JsonReader reader(begin, end, &track);
    if (!reader.Parse(h)) {
      *error = reader.error();
      return false;
    }
    *note = Seen(h.tally());
    return true;
  });
  add("nlohmann-sax", [&](std::string* note, std::string* error) {
    auto no_position = [] { return uint64_t{0}; };
    NlohmannTally<decltype(no_position)> h(no_position);
    if (!Json::sax_parse(begin, end, &h)) {
      *error = h.error();
      return false;
    }
    *note = Seen(h.tally());
    return true;
  });
  add("nlohmann-sax-pos", [&](std::string* note, std::string* error) {
    const char* track = begin;
    auto position = [&track, begin] { return static_cast<uint64_t>(track - begin); };
    NlohmannTally<decltype(position)> h(position);
    if (!Json::sax_parse(TrackingIterator(begin, &track), TrackingIterator(end, &track), &h)) {
      *error = h.error();
      return false;
    }
    *note = Seen(h.tally());
    return true;
  });
  add("nlohmann-dom", [&](std::string* note, std::string* error) {
    Json j = Json::parse(begin, end, nullptr, false);
    if (j.is_discarded()) {
      *error = "not JSON";
      return false;
    }
    *note = "top-level members " + std::to_string(j.size());
    return true;
  });
  add("load-store", [&](std::string* note, std::string* error) {
    auto store = mailbox::LoadStore(file, false, "bench");
    if (!store.ok()) {
      *error = store.status().description();
      return false;
    }
    *note = "messages " + std::to_string((*store)->message_index.size());
    return true;
  });

  for (int round = 0; round < repeat; ++round) {
    for (Variant& v : variants) {
      std::string error;
      const Clock::time_point start = Clock::now();
      const bool ok = v.run(&v.note, &error);
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      if (!ok) {
        std::cerr << "json_parse_bench: " << v.name << ": " << error << "\n";
        return 1;
      }
      v.ms.push_back(ms);
    }
  }

  std::printf("file %s %.1f MB, %d runs per variant, median\n", file.string().c_str(),
              static_cast<double>(text.size()) / 1e6, repeat);
  for (const Variant& v : variants) {
    const double ms = Median(v.ms);
    std::string runs;
    for (double r : v.ms) {
      if (!runs.empty()) runs += "/";
      runs += std::to_string(static_cast<long>(r + 0.5));
    }
    std::printf("%-17s %8.1f ms %7.1f MB/s (runs: %s; %s)\n", v.name.c_str(), ms,
                static_cast<double>(text.size()) / 1e3 / ms, runs.c_str(), v.note.c_str());
  }
  return 0;
}

}  // namespace
}  // namespace testqav

int main(int argc, char** argv) { return testqav::Main(argc, argv); }
