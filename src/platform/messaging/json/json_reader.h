// A strict JSON (RFC 8259) reader that drives an event handler, for store files of a hundred
// megabytes: nlohmann-json's SAX parser, which goes through an input abstraction per
// character and copies every string, takes more than five times as long on such a file
// (bench/json_parse_bench.cc, docs/benchmarks.md). Before each event the reader publishes
// its position (just past the token), so the handler can tell where a value stood. Strings
// must be valid UTF-8; escapes, surrogate pairs and nesting (up to 512 levels) are handled
// as the standard says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace testqav::mailbox {

// What the reader reports; the member names are those of nlohmann-json's SAX interface. Each
// returns false to stop the reader. The size_t arguments are always -1 (unknown). The text a
// string_view shows is valid only during the call: it views the input itself when the string
// has no escapes (most do), and a buffer of the reader's that the next string reuses when it
// has, so that a large file is read without a string allocation per value. A number that is
// not an integer of 64 bits comes to number_float with its text.
class JsonHandler {
 public:
  virtual ~JsonHandler() = default;

  virtual bool null() = 0;
  virtual bool boolean(bool v) = 0;
  virtual bool number_integer(int64_t v) = 0;
  virtual bool number_unsigned(uint64_t v) = 0;
  virtual bool number_float(double v, std::string_view text) = 0;
  virtual bool string(std::string_view v) = 0;
  virtual bool start_object(size_t elements) = 0;
  virtual bool key(std::string_view k) = 0;
  virtual bool end_object() = 0;
  virtual bool start_array(size_t elements) = 0;
  virtual bool end_array() = 0;

 protected:
  JsonHandler() = default;
  JsonHandler(const JsonHandler&) = default;
  JsonHandler& operator=(const JsonHandler&) = default;
};

class JsonReader {
 public:
  // Reads [begin, end); *track is set just past each token before its event.
  JsonReader(const char* begin, const char* end, const char** track);

  // False when the input is not JSON (error() and error_offset() say why and where) or when
  // the handler stopped (handler_stopped()).
  bool Parse(JsonHandler& h);

  bool handler_stopped() const { return stopped_; }
  const std::string& error() const { return error_; }
  size_t error_offset() const { return error_offset_; }

 private:
  void Mark() { *track_ = p_; }
  bool Stop();
  bool Error(std::string message);
  std::string Found() const;
  void SkipWs();
  bool Value(JsonHandler& h, int depth);
  bool Literal(const char* word);
  bool Object(JsonHandler& h, int depth);
  bool Array(JsonHandler& h, int depth);
  bool Number(JsonHandler& h);
  void SkipPlain();
  bool String(std::string_view* out);
  bool Utf8OrControl();
  bool Unescape(std::string* out);

  const char* p_;
  const char* begin_;
  const char* end_;
  const char** track_;
  bool stopped_ = false;
  std::string error_;
  size_t error_offset_ = 0;
  std::string scratch_;  // the decoded text of the last string that had escapes
};

}  // namespace testqav::mailbox
