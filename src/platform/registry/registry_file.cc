// Readers for the registry files that LoadRegistryFile accepts: regedit exports (REGEDIT4 and
// "Windows Registry Editor Version 5.00") and Wine's own registry files. The regedit reader
// follows regedit's import line by line, including what it silently ignores; where it is
// more lenient than regedit, docs/registry.md says so.
#include <fcntl.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/common/error_codes.h"
#include "platform/common/file_text.h"
#include "platform/common/hex.h"
#include "platform/common/text.h"
#include "platform/registry/registry.h"
#include "platform/registry/registry_tree.h"

namespace testqav {
namespace {

constexpr std::string_view kRegedit4Header = "REGEDIT4";
constexpr std::string_view kRegedit5Header = "Windows Registry Editor Version 5.00";
constexpr std::string_view kWineHeader = "WINE REGISTRY Version 2";
constexpr std::string_view kWineRelativeTo = ";; All keys relative to ";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsHexDigit(char c) { return HexDigitValue(c) >= 0; }
// The value of a digit that IsHexDigit accepted.
uint32_t DigitValue(char c) { return static_cast<uint32_t>(HexDigitValue(c)); }

std::string_view SkipBlanks(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimTrailingBlanks(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && IsBlank(s[n - 1])) --n;
  return s.substr(0, n);
}

// True when only blanks and possibly a ";" comment remain.
bool OnlyComment(std::string_view s) {
  s = SkipBlanks(s);
  return s.empty() || s[0] == ';';
}

// 8-bit files are in the system code page, UTF-8 on this host. Valid UTF-8 stays as it is;
// ill-formed bytes become U+FFFD, as a conversion from that code page makes them.
std::string SanitizeUtf8(std::string_view bytes) {
  if (IsAscii(bytes)) return std::string(bytes);
  icu::UnicodeString u = icu::UnicodeString::fromUTF8(
      icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size())));
  std::string out;
  u.toUTF8String(out);
  return out;
}

// Splits at CR LF, LF or CR. regedit reads lines as C strings, so a line ends at a NUL.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
    if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
  }
  for (std::string_view& line : lines) {
    size_t nul = line.find('\0');
    if (nul != std::string_view::npos) line = line.substr(0, nul);
  }
  return lines;
}

std::optional<uint32_t> ParseRoot(std::string_view name) {
  static constexpr std::pair<std::string_view, uint32_t> kRoots[] = {
      {"HKEY_LOCAL_MACHINE", kHkeyLocalMachine},
      {"HKEY_USERS", kHkeyUsers},
      {"HKEY_CLASSES_ROOT", kHkeyClassesRoot},
      {"HKEY_CURRENT_CONFIG", kHkeyCurrentConfig},
      {"HKEY_CURRENT_USER", kHkeyCurrentUser},
      {"HKEY_DYN_DATA", kHkeyDynData},
      // Abbreviations that reg.exe accepts and people write by hand; regedit refuses them.
      {"HKLM", kHkeyLocalMachine},
      {"HKU", kHkeyUsers},
      {"HKCR", kHkeyClassesRoot},
      {"HKCC", kHkeyCurrentConfig},
      {"HKCU", kHkeyCurrentUser},
  };
  for (const auto& [root_name, root] : kRoots) {
    if (EqualsIgnoreCase(name, root_name)) return root;
  }
  return std::nullopt;
}

bool HasKeyComponent(std::string_view path) {
  return path.find_first_not_of('\\') != std::string_view::npos;
}

// A quoted string of a regedit file; `pos` is just past the opening quote and ends just past
// the closing one. Only \\ and \" are escapes; a "\" before any other character stays as it
// is, and \0 makes the whole value invalid, as in regedit.
bool UnescapeRegeditString(std::string_view s, size_t& pos, std::string& out, std::string& error) {
  out.clear();
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return true;
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (pos >= s.size()) break;
    char escaped = s[pos++];
    if (escaped == '\\' || escaped == '"') {
      out.push_back(escaped);
    } else if (escaped == '0') {
      error = "\"\\0\" inside a string";
      return false;
    } else {
      out.push_back('\\');
      out.push_back(escaped);
    }
  }
  error = "unterminated string";
  return false;
}

// A string of a Wine registry file, up to `end_char` ('\0': to the end of `s`). Wine writes
// C escapes (\a \b \e \f \n \r \t \v), \x with up to four hex digits for a UTF-16 code unit
// (non-ASCII text and supplementary characters as surrogate pairs), up to three octal digits
// (\0 is a NUL inside multi-strings), and "\" before any other character for that character.
bool UnescapeWineString(std::string_view s, size_t& pos, char end_char, std::string& out) {
  icu::UnicodeString text;
  std::string run;  // unescaped bytes since the last escape, UTF-8
  auto flush = [&] {
    if (run.empty()) return;
    text.append(icu::UnicodeString::fromUTF8(
        icu::StringPiece(run.data(), static_cast<int32_t>(run.size()))));
    run.clear();
  };
  bool terminated = end_char == '\0';
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == end_char) {
      terminated = true;
      break;
    }
    if (c != '\\') {
      run.push_back(c);
      continue;
    }
    if (pos >= s.size()) return false;
    char escaped = s[pos++];
    uint32_t unit = 0;
    switch (escaped) {
      case 'a':
        unit = 0x07;
        break;
      case 'b':
        unit = 0x08;
        break;
      case 'e':
        unit = 0x1B;
        break;
      case 'f':
        unit = 0x0C;
        break;
      case 'n':
        unit = 0x0A;
        break;
      case 'r':
        unit = 0x0D;
        break;
      case 't':
        unit = 0x09;
        break;
      case 'v':
        unit = 0x0B;
        break;
      case 'x':
        if (pos >= s.size() || !IsHexDigit(s[pos])) {
          unit = 'x';
          break;
        }
        for (int digits = 0; digits < 4 && pos < s.size() && IsHexDigit(s[pos]); ++digits) {
          unit = unit * 16 + DigitValue(s[pos++]);
        }
        break;
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
        unit = static_cast<uint32_t>(escaped - '0');
        for (int digits = 1; digits < 3 && pos < s.size() && s[pos] >= '0' && s[pos] <= '7';
             ++digits) {
          unit = unit * 8 + static_cast<uint32_t>(s[pos++] - '0');
        }
        break;
      default:
        run.push_back(escaped);
        continue;
    }
    flush();
    text.append(static_cast<char16_t>(unit));
  }
  if (!terminated) return false;
  flush();
  out.clear();
  text.toUTF8String(out);  // an unpaired surrogate becomes U+FFFD
  return true;
}

// One line's share of comma-separated hex bytes ("01,ff,a,"). Blanks may stand only before a
// "\" or a ";" comment. A "\" ending the line carries the data on to the next line; it must
// follow a comma or open the data, so "33,4\" cannot split a byte over two lines.
struct HexLine {
  std::string error;       // what is wrong, or ""
  bool continued = false;  // the next line is read as more of the data, even after an error
};

HexLine ParseHexBytes(std::string_view s, std::vector<uint8_t>& out) {
  size_t i = 0;
  bool after_byte = false;
  while (i < s.size() && IsHexDigit(s[i])) {
    uint32_t byte = DigitValue(s[i++]);
    if (i < s.size() && IsHexDigit(s[i])) byte = byte * 16 + DigitValue(s[i++]);
    if (i < s.size() && IsHexDigit(s[i])) return {"hex byte with more than two digits"};
    out.push_back(static_cast<uint8_t>(byte));
    after_byte = true;
    if (i == s.size() || s[i] != ',') break;
    ++i;
    after_byte = false;
  }
  size_t rest = i;
  while (rest < s.size() && IsBlank(s[rest])) ++rest;
  if (rest == s.size() || s[rest] == ';') return {};
  if (s[rest] == '\\') {
    if (!OnlyComment(s.substr(rest + 1))) return {"text after \"\\\""};
    // The "\" still takes the next line, as regedit takes it, so that line goes with the value.
    if (after_byte) return {"\"\\\" must follow a comma", true};
    return {"", true};
  }
  if (rest > i) return {"blank inside hex data"};
  if (s[i] == ',') return {"empty hex byte"};
  return {"bad hex data"};
}

std::vector<uint8_t> Bytes(std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A text given as hex bytes (hex(1), hex(2), hex(7)) as Windows returns it to an ANSI caller:
// UTF-8 with a terminating NUL, which regedit adds when the data lacks it.
RegValue TextFromHex(uint32_t type, const std::vector<uint8_t>& data, bool utf16) {
  std::string_view raw(reinterpret_cast<const char*>(data.data()), data.size());
  std::string text;
  if (utf16) {
    text = Utf16LeToUtf8(raw.substr(0, raw.size() & ~size_t{1}));  // an odd last byte is dropped
  } else {
    text = SanitizeUtf8(raw);
  }
  if (text.empty() || text.back() != '\0') text.push_back('\0');
  return RegValue{type, Bytes(text)};
}

class Parser {
 public:
  Parser(RegistryTree& tree, const std::string& file_name, std::ostream& diagnostics)
      : tree_(tree), file_name_(file_name), diagnostics_(diagnostics) {}

  void Parse(std::string_view bytes) {
    std::string text;
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE) {
      text = Utf16LeToUtf8(bytes.substr(2));
    } else {
      // A UTF-8 byte order mark is skipped so that a file a user saved as UTF-8 still has its
      // header first; regedit would see three bytes before the header and import nothing.
      if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
      text = SanitizeUtf8(bytes);
    }
    lines_ = SplitLines(text);
    std::string_view header = lines_.empty() ? std::string_view() : SkipBlanks(lines_[0]);
    if (header == kRegedit4Header || header == kRegedit5Header) {
      // The header, not the encoding, tells how text given as hex is stored: regedit 5 writes
      // it as UTF-16LE, and a user who re-encodes such an export as UTF-8 leaves the hex
      // bytes as they are; REGEDIT4 exports write it in the 8-bit code page.
      hex_text_utf16_ = header == kRegedit5Header;
    } else if (header == kWineHeader) {
      wine_ = true;
      hex_text_utf16_ = true;  // Wine stores texts as UTF-16 and dumps their bytes as they are
    } else {
      Report(1,
             "not a registry file (the first line must be \"REGEDIT4\", \"Windows Registry "
             "Editor Version 5.00\" or \"WINE REGISTRY Version 2\"); nothing imported");
      return;
    }
    for (size_t index = 1; index < lines_.size(); ++index) ParseLine(index);
  }

 private:
  enum class NoKey { kNoKeyYet, kDeleted, kBadKey };

  // Each diagnostic is one line: a line break that a Wine escape put into a name is written
  // as the escape.
  void Report(size_t line_number, std::string_view what) {
    diagnostics_ << file_name_ << ':' << line_number << ": ";
    for (char c : what) {
      if (c == '\n') {
        diagnostics_ << "\\n";
      } else if (c == '\r') {
        diagnostics_ << "\\r";
      } else {
        diagnostics_ << c;
      }
    }
    diagnostics_ << '\n';
  }

  void CloseKey(NoKey why) {
    key_open_ = false;
    no_key_ = why;
  }

  void OpenKey(uint32_t root, std::string path) {
    tree_.CreateKey(root, path);
    key_open_ = true;
    root_ = root;
    path_ = std::move(path);
  }

  // `index` may advance over the continuation lines of a hex value.
  void ParseLine(size_t& index) {
    std::string_view s = SkipBlanks(lines_[index]);
    size_t line_number = index + 1;
    if (s.empty() || s[0] == '#') return;
    if (s[0] == ';') {
      if (wine_ && s.substr(0, kWineRelativeTo.size()) == kWineRelativeTo) {
        WineRelativeTo(s.substr(kWineRelativeTo.size()), line_number);
      }
      return;
    }
    if (s[0] == '[') {
      if (wine_) {
        WineKeyLine(s, line_number);
      } else {
        RegeditKeyLine(s, line_number);
      }
      return;
    }
    if (s[0] == '@' || s[0] == '"') {
      ValueLine(s, index);
      return;
    }
    Report(line_number, "line not understood; ignored");
  }

  void RegeditKeyLine(std::string_view s, size_t line_number) {
    // regedit takes neither of these lines for a key line: like any line it does not
    // understand, it ignores them, and the key opened before stays open.
    std::string_view rest = s.substr(1);
    if (!rest.empty() && IsBlank(rest[0])) {
      Report(line_number, "blank after \"[\"; key line ignored");
      return;
    }
    size_t close = rest.rfind(']');  // the key name ends at the last "]" of the line
    if (close == std::string_view::npos) {
      Report(line_number, "key line lacks the closing \"]\"; ignored");
      return;
    }
    std::string_view name = rest.substr(0, close);
    bool deletion = !name.empty() && name[0] == '-';
    if (deletion) name.remove_prefix(1);
    size_t backslash = name.find('\\');
    std::string_view root_name = name.substr(0, backslash);
    std::string_view path =
        backslash == std::string_view::npos ? std::string_view() : name.substr(backslash + 1);
    std::optional<uint32_t> root = ParseRoot(root_name);
    if (!root) {
      Report(line_number, "unknown root key \"" + std::string(root_name) + "\"; key line ignored");
      CloseKey(NoKey::kBadKey);
      return;
    }
    if (deletion) {
      if (!HasKeyComponent(path)) {
        Report(line_number, "a root key cannot be deleted; line ignored");
        CloseKey(NoKey::kBadKey);
        return;
      }
      tree_.DeleteKey(*root, path);  // deleting a key that does not exist is no error
      CloseKey(NoKey::kDeleted);
      return;
    }
    OpenKey(*root, std::string(path));
  }

  void WineKeyLine(std::string_view s, size_t line_number) {
    size_t pos = 1;
    std::string name;
    if (!UnescapeWineString(s, pos, ']', name)) {
      Report(line_number, "key line lacks the closing \"]\"; ignored");
      CloseKey(NoKey::kBadKey);
      return;
    }
    // What follows is the key's modification time, which nothing here needs.
    OpenKey(wine_root_, wine_base_.empty() ? name : wine_base_ + "\\" + name);
  }

  // ";; All keys relative to \\Machine" (system.reg), "\\User\\S-1-5-..." (user.reg) or
  // "\\User\\.Default" (userdef.reg).
  void WineRelativeTo(std::string_view s, size_t line_number) {
    size_t pos = 0;
    std::string base;
    UnescapeWineString(TrimTrailingBlanks(s), pos, '\0', base);
    std::vector<std::string> parts;
    for (std::string& part : Split(base, "\\")) {
      if (!part.empty()) parts.push_back(std::move(part));
    }
    if (parts.size() >= 1 && EqualsIgnoreCase(parts[0], "Machine")) {
      wine_root_ = kHkeyLocalMachine;
      parts.erase(parts.begin());
    } else if (parts.size() >= 2 && EqualsIgnoreCase(parts[0], "User")) {
      // A user's hive is what that user's programs see as HKEY_CURRENT_USER.
      wine_root_ = kHkeyCurrentUser;
      parts.erase(parts.begin(), parts.begin() + 2);
    } else if (parts.size() == 1 && EqualsIgnoreCase(parts[0], "User")) {
      wine_root_ = kHkeyUsers;
      parts.clear();
    } else {
      Report(line_number, "unknown base key \"" + base + "\"; keys stay under HKEY_LOCAL_MACHINE");
      return;
    }
    wine_base_ = Join(parts, "\\");
  }

  void ValueLine(std::string_view s, size_t& index) {
    size_t line_number = index + 1;
    size_t pos = 1;
    std::string name;
    std::string label = "default value";
    if (s[0] == '"') {
      std::string error = "unterminated string";
      bool ok = wine_ ? UnescapeWineString(s, pos, '"', name)
                      : UnescapeRegeditString(s, pos, name, error);
      if (!ok) {
        Report(line_number, "value name: " + error + "; line skipped");
        return;
      }
      label = "value \"" + name + "\"";
    }
    auto fail = [&](size_t at_line, std::string_view what) {
      Report(at_line, label + ": " + std::string(what) + "; skipped");
    };
    while (pos < s.size() && IsBlank(s[pos])) ++pos;
    if (pos >= s.size() || s[pos] != '=') {
      fail(line_number, "missing \"=\" after the name");
      return;
    }
    std::string_view data = TrimTrailingBlanks(SkipBlanks(s.substr(pos + 1)));

    if (!wine_ && !data.empty() && data[0] == '-') {
      if (!OnlyComment(data.substr(1))) {
        fail(line_number, "text after \"-\"");
        return;
      }
      if (key_open_) {
        tree_.DeleteValue(root_, path_, name);  // deleting a missing value is no error
      } else {
        ReportNoKey(line_number);
      }
      return;
    }

    std::optional<uint32_t> string_type;
    size_t string_start = 0;
    if (!data.empty() && data[0] == '"') {
      string_type = kRegSz;
      string_start = 1;
    } else if (wine_) {
      static constexpr std::pair<std::string_view, uint32_t> kWineStrings[] = {
          {"str:\"", kRegSz}, {"str(2):\"", kRegExpandSz}, {"str(7):\"", kRegMultiSz}};
      for (const auto& [prefix, type] : kWineStrings) {
        if (StartsWith(data, prefix)) {
          string_type = type;
          string_start = prefix.size();
        }
      }
    }
    if (string_type) {
      std::string text;
      std::string error = "unterminated string";
      size_t end = string_start;
      bool ok = wine_ ? UnescapeWineString(data, end, '"', text)
                      : UnescapeRegeditString(data, end, text, error);
      if (!ok) {
        fail(line_number, error);
        return;
      }
      if (!OnlyComment(data.substr(end))) {
        fail(line_number, "text after the string");
        return;
      }
      text.push_back('\0');
      Store(line_number, name, RegValue{*string_type, Bytes(text)});
      return;
    }

    if (StartsWith(data, "dword:")) {
      std::string_view digits = SkipBlanks(data.substr(6));
      size_t count = 0;
      uint32_t number = 0;
      while (count < digits.size() && IsHexDigit(digits[count])) {
        number = number * 16 + DigitValue(digits[count]);
        ++count;
      }
      if (count == 0 || count > 8) {
        fail(line_number, "a dword needs 1 to 8 hex digits");
        return;
      }
      if (!OnlyComment(digits.substr(count))) {
        fail(line_number, "text after the dword");
        return;
      }
      Store(line_number, name,
            RegValue{kRegDword,
                     {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                      static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)}});
      return;
    }

    uint32_t type = kRegBinary;
    std::string_view hex;
    if (StartsWith(data, "hex:")) {
      hex = data.substr(4);
    } else if (StartsWith(data, "hex(")) {
      size_t count = 0;
      type = 0;
      while (4 + count < data.size() && IsHexDigit(data[4 + count])) {
        type = type * 16 + DigitValue(data[4 + count]);
        ++count;
      }
      if (count == 0 || count > 8 || data.substr(4 + count, 2) != "):") {
        fail(line_number, "bad type number in \"hex(...)\"");
        return;
      }
      hex = data.substr(4 + count + 2);
    } else {
      fail(line_number, "unknown data type");
      return;
    }

    std::vector<uint8_t> bytes;
    HexLine piece = ParseHexBytes(hex, bytes);
    bool failed = !piece.error.empty();
    if (failed) fail(line_number, piece.error);
    // regedit reads the next line after a "\" as more hex data, whatever it holds, so a line
    // that breaks the continuation is lost with the value. At the end of the file, what was
    // read so far stays.
    while (piece.continued && index + 1 < lines_.size()) {
      ++index;
      std::string_view next = SkipBlanks(lines_[index]);
      if (next.empty() || next[0] == ';') continue;
      if (IsHexDigit(next[0]) || next[0] == '\\') {
        piece = ParseHexBytes(next, bytes);
        if (!failed && !piece.error.empty()) fail(index + 1, piece.error);
        failed = failed || !piece.error.empty();
        continue;
      }
      piece = HexLine{};
      if (next[0] == '[') {
        // The key line was data, so its key is never opened; the values after it belong to
        // that key and must not land in the one before it.
        Report(index + 1,
               label + ": continuation line is a key line; the value and the key line are skipped");
        CloseKey(NoKey::kBadKey);
      } else if (next[0] == '@' || next[0] == '"') {
        Report(index + 1,
               label + ": continuation line is a value line; the value and that line are skipped");
      } else if (!failed) {
        fail(index + 1, "continuation line is not hex data");
      }
      failed = true;
    }
    if (failed) return;
    if (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz) {
      Store(line_number, name, TextFromHex(type, bytes, hex_text_utf16_));
    } else {
      Store(line_number, name, RegValue{type, std::move(bytes)});
    }
  }

  void Store(size_t line_number, const std::string& name, RegValue value) {
    if (!key_open_) {
      ReportNoKey(line_number);
      return;
    }
    tree_.SetValue(root_, path_, name, std::move(value));
  }

  // After a key line that was itself reported, its values are dropped without more noise.
  void ReportNoKey(size_t line_number) {
    switch (no_key_) {
      case NoKey::kNoKeyYet:
        Report(line_number, "value line before any key line; ignored");
        break;
      case NoKey::kDeleted:
        Report(line_number, "value line after a key deletion; ignored");
        break;
      case NoKey::kBadKey:
        break;
    }
  }

  RegistryTree& tree_;
  const std::string& file_name_;
  std::ostream& diagnostics_;
  std::vector<std::string_view> lines_;
  bool wine_ = false;
  bool hex_text_utf16_ = false;
  bool key_open_ = false;
  NoKey no_key_ = NoKey::kNoKeyYet;
  uint32_t root_ = 0;
  std::string path_;
  uint32_t wine_root_ = kHkeyLocalMachine;
  std::string wine_base_;
};

}  // namespace

std::unique_ptr<Registry> ParseRegistryText(std::string_view bytes, const std::string& file_name,
                                            std::ostream& diagnostics) {
  auto tree = std::make_unique<RegistryTree>();
  Parser(*tree, file_name, diagnostics).Parse(bytes);
  return tree;
}

std::unique_ptr<Registry> LoadRegistryFile(const std::string& path, std::ostream& diagnostics) {
  Result<std::string> bytes = ReadInputFile(path, kMaxRegistryFileBytes);
  if (!bytes.ok()) {
    // A host folder without a registry file is a machine where nothing was ever set.
    if (bytes.status().number() != err::kNotFound) {
      diagnostics << bytes.status().description() << '\n';
    }
    return std::make_unique<RegistryTree>();
  }
  return ParseRegistryText(*bytes, path, diagnostics);
}

}  // namespace testqav
