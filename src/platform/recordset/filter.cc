#include "platform/recordset/filter.h"

#include <cstddef>
#include <utility>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"

namespace testqav::recordset_internal {

namespace {

// Parentheses nest through recursion; a hostile text of thousands of "(" must not exhaust
// the stack.
constexpr int kMaxDepth = 64;

enum class Tok {
  kName,         // bare word that is not a keyword
  kBracketName,  // [name]
  kString,       // 'value'
  kEquals,
  kLike,
  kOr,
  kAnd,
  kLParen,
  kRParen,
  kOtherOp,  // <, >, <>, <=, >=, != : recognised so the error can name them
  kEnd,
};

// A filter is parsed for every look-up a run makes: tokens point into the filter text and
// own a copy only of a value whose quotes had to be undoubled.
struct Token {
  Tok tok = Tok::kEnd;
  std::string_view view;  // name, unquoted value, or the operator as written
  std::string owned;      // the unquoted value, when it differs from the text
  bool is_owned = false;
  size_t offset = 0;
  std::string_view text() const { return is_owned ? std::string_view(owned) : view; }
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool EndsBareWord(char c) {
  return IsBlank(c) || c == '=' || c == '<' || c == '>' || c == '!' || c == '(' || c == ')' ||
         c == '[' || c == ']' || c == '\'' || c == '"';
}

bool AsciiEqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Bytes of the UTF-8 character that starts with `lead` (1 for a byte that starts none).
size_t CharacterBytes(char lead) {
  const auto b = static_cast<unsigned char>(lead);
  if (b >= 0xF0 && b < 0xF8) return 4;
  if (b >= 0xE0) return b < 0xF0 ? 3 : 1;
  if (b >= 0xC0) return 2;
  return 1;
}

// The literal text of a LIKE value's core: each "[c]" (c one character) stands for c, so
// "[*]" is an asterisk that is no wildcard and "[[]" a "[". Any other "[" is itself.
std::string Unbracket(std::string_view core) {
  std::string out;
  out.reserve(core.size());
  size_t i = 0;
  while (i < core.size()) {
    if (core[i] == '[' && i + 2 < core.size()) {
      const size_t bytes = CharacterBytes(core[i + 1]);
      const size_t close = i + 1 + bytes;
      if (close < core.size() && core[close] == ']') {
        out.append(core.substr(i + 1, bytes));
        i = close + 1;
        continue;
      }
    }
    out += core[i++];
  }
  return out;
}

class Parser {
 public:
  Parser(std::string_view text, const FieldResolver& resolve) : text_(text), resolve_(resolve) {}

  Result<FilterNode> Run() {
    size_t i = 0;
    while (i < text_.size() && IsBlank(text_[i])) ++i;
    if (i == text_.size()) return Fail("empty filter text", 0);
    Status s = Tokenize();
    if (!s.ok()) return s;
    Result<FilterNode> root = ParseOr(0);
    if (!root.ok()) return root;
    const Token& t = Peek();
    if (t.tok == Tok::kRParen) return Fail("unexpected ')'", t.offset);
    if (t.tok != Tok::kEnd) return Fail("expected OR or AND before " + Describe(t), t.offset);
    return root;
  }

 private:
  Status Fail(const std::string& fault, size_t offset) const {
    size_t position = CharLength(text_.substr(0, offset)) + 1;
    return Status(err::kAdoInvalidArg,
                  "Invalid filter: " + fault + " at position " + std::to_string(position));
  }

  std::string Describe(const Token& t) const {
    switch (t.tok) {
      case Tok::kEnd:
        return "end of text";
      case Tok::kString:
        return "quoted value '" + std::string(t.text()) + "'";
      case Tok::kBracketName:
        return "[" + std::string(t.text()) + "]";
      default:
        return "'" + std::string(t.text()) + "'";
    }
  }

  Status Tokenize() {
    tokens_.reserve(16);
    size_t i = 0;
    const size_t n = text_.size();
    while (true) {
      while (i < n && IsBlank(text_[i])) ++i;
      Token t;
      t.offset = i;
      if (i == n) {
        tokens_.push_back(t);
        return Status::Ok();
      }
      char c = text_[i];
      if (c == '\'') {
        // A quote inside the value is written twice.
        ++i;
        const size_t start = i;
        bool closed = false;
        while (i < n) {
          const size_t quote = text_.find('\'', i);
          if (quote == std::string_view::npos) {
            i = n;
            break;
          }
          if (quote + 1 < n && text_[quote + 1] == '\'') {
            if (!t.is_owned) {
              t.is_owned = true;
              t.owned.assign(text_.substr(start, i - start));
            }
            t.owned.append(text_.substr(i, quote + 1 - i));
            i = quote + 2;
            continue;
          }
          if (t.is_owned) {
            t.owned.append(text_.substr(i, quote - i));
          } else {
            t.view = text_.substr(start, quote - start);
          }
          i = quote + 1;
          closed = true;
          break;
        }
        if (!closed) return Fail("unterminated quoted value", t.offset);
        t.tok = Tok::kString;
      } else if (c == '[') {
        size_t close = text_.find(']', i + 1);
        if (close == std::string_view::npos) {
          return Fail("unterminated bracketed field name", t.offset);
        }
        t.view = text_.substr(i + 1, close - i - 1);
        if (Trim(t.view).empty()) return Fail("empty field name", t.offset);
        t.tok = Tok::kBracketName;
        i = close + 1;
      } else if (c == ']') {
        return Fail("unexpected ']'", i);
      } else if (c == '"') {
        return Fail("double quotes are not allowed, values are written in single quotes", i);
      } else if (c == '(') {
        t.tok = Tok::kLParen;
        t.view = text_.substr(i, 1);
        ++i;
      } else if (c == ')') {
        t.tok = Tok::kRParen;
        t.view = text_.substr(i, 1);
        ++i;
      } else if (c == '=') {
        t.tok = Tok::kEquals;
        t.view = text_.substr(i, 1);
        ++i;
      } else if (c == '<' || c == '>' || c == '!') {
        size_t start = i++;
        if (i < n && (text_[i] == '=' || text_[i] == '>')) ++i;
        t.tok = Tok::kOtherOp;
        t.view = text_.substr(start, i - start);
      } else {
        size_t start = i;
        while (i < n && !EndsBareWord(text_[i])) ++i;
        t.view = text_.substr(start, i - start);
        if (AsciiEqualsIgnoreCase(t.view, "OR")) {
          t.tok = Tok::kOr;
        } else if (AsciiEqualsIgnoreCase(t.view, "AND")) {
          t.tok = Tok::kAnd;
        } else if (AsciiEqualsIgnoreCase(t.view, "LIKE")) {
          t.tok = Tok::kLike;
        } else {
          t.tok = Tok::kName;
        }
      }
      tokens_.push_back(std::move(t));
    }
  }

  const Token& Peek() const { return tokens_[next_]; }
  const Token& Take() { return tokens_[next_ < tokens_.size() - 1 ? next_++ : next_]; }

  Result<FilterNode> ParseOr(int depth) {
    return ParseJoined(depth, Tok::kOr, FilterNode::Kind::kOr);
  }

  // expression := term (OR term)* ; term := factor (AND factor)*
  Result<FilterNode> ParseJoined(int depth, Tok joiner, FilterNode::Kind kind) {
    auto operand = [&]() -> Result<FilterNode> {
      return joiner == Tok::kOr ? ParseJoined(depth, Tok::kAnd, FilterNode::Kind::kAnd)
                                : ParseFactor(depth);
    };
    Result<FilterNode> first = operand();
    if (!first.ok()) return first;
    if (Peek().tok != joiner) return first;
    FilterNode node;
    node.kind = kind;
    node.children.reserve(4);  // the engine's look-ups join four comparisons
    node.children.push_back(std::move(first).value());
    while (Peek().tok == joiner) {
      Take();
      Result<FilterNode> next = operand();
      if (!next.ok()) return next;
      node.children.push_back(std::move(next).value());
    }
    return node;
  }

  Result<FilterNode> ParseFactor(int depth) {
    const Token& t = Peek();
    if (t.tok == Tok::kLParen) {
      if (depth >= kMaxDepth) return Fail("parentheses nested too deeply", t.offset);
      size_t open = t.offset;
      Take();
      Result<FilterNode> inner = ParseOr(depth + 1);
      if (!inner.ok()) return inner;
      if (Peek().tok != Tok::kRParen)
        return Fail("missing ')' for '(' at position " + std::to_string(Position(open)) +
                        ", found " + Describe(Peek()),
                    Peek().offset);
      Take();
      return inner;
    }
    return ParseComparison();
  }

  size_t Position(size_t offset) const { return CharLength(text_.substr(0, offset)) + 1; }

  Result<FilterNode> ParseComparison() {
    const Token& name = Take();
    if (name.tok != Tok::kName && name.tok != Tok::kBracketName) {
      return Fail("expected a field name, found " + Describe(name), name.offset);
    }
    std::optional<int32_t> field = resolve_(name.text());
    if (!field) return Fail("unknown field '" + std::string(name.text()) + "'", name.offset);
    const Token& op = Take();
    if (op.tok == Tok::kOtherOp) {
      return Fail("unsupported operator '" + std::string(op.text()) + "'", op.offset);
    }
    if (op.tok != Tok::kEquals && op.tok != Tok::kLike) {
      return Fail("expected = or LIKE after field '" + std::string(name.text()) + "', found " +
                      Describe(op),
                  op.offset);
    }
    const Token& value = Take();
    if (value.tok != Tok::kString) {
      return Fail("expected a quoted value, found " + Describe(value), value.offset);
    }
    FilterNode node;
    Comparison& c = node.compare;
    c.field = *field;
    c.like = op.tok == Tok::kLike;
    // The quoted value as written, quotes undoubled; it lives as long as the tokens.
    std::string_view core = value.text();
    c.kind = MatchKind::kExact;
    if (c.like) {
      // Wildcards count only at the ends; a "*" inside (a*b@x.com) is an ordinary character.
      // Neither end can be part of a "[c]" group (one opens with "[", the other closes with
      // "]"), so the ends are taken off before the groups are read.
      auto is_wild = [](char ch) { return ch == '*' || ch == '%'; };
      bool leading = !core.empty() && is_wild(core.front());
      if (leading) core.remove_prefix(1);
      bool trailing = !core.empty() && is_wild(core.back());
      if (trailing) core.remove_suffix(1);
      if (leading && trailing) {
        c.kind = MatchKind::kContains;
      } else if (leading) {
        c.kind = MatchKind::kSuffix;
      } else if (trailing) {
        c.kind = MatchKind::kPrefix;
      }
      // The core is what is compared and what the indexes are looked up with, so it holds the
      // literal text.
      if (core.find('[') != std::string_view::npos) {
        c.folded_core = FoldCase(Unbracket(core));
        return node;
      }
    }
    c.folded_core = FoldCase(core);
    return node;
  }

  std::string_view text_;
  const FieldResolver& resolve_;
  std::vector<Token> tokens_;
  size_t next_ = 0;
};

}  // namespace

Result<FilterNode> ParseFilter(std::string_view text, const FieldResolver& resolve) {
  return Parser(text, resolve).Run();
}

std::optional<std::string> ComparableText(const Variant* value) {
  if (value == nullptr || value->IsNull()) return std::nullopt;
  if (value->IsString()) return value->string_value();
  return value->ToText();
}

bool MatchesFolded(const Comparison& compare, std::string_view folded_text) {
  const std::string& core = compare.folded_core;
  switch (compare.kind) {
    case MatchKind::kExact:
      return folded_text == core;
    case MatchKind::kPrefix:
      return folded_text.starts_with(core);
    case MatchKind::kSuffix:
      return folded_text.ends_with(core);
    case MatchKind::kContains:
      return folded_text.find(core) != std::string_view::npos;
  }
  return false;
}

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// `text` (ASCII) lower-cased equals `folded`.
bool EqualsLowered(std::string_view text, std::string_view folded) {
  if (text.size() != folded.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (AsciiLower(text[i]) != folded[i]) return false;
  }
  return true;
}

// MatchesFolded for an ASCII text, whose folding is its lower case: compared as it stands,
// without a folded copy of what may be a long list of addresses.
bool MatchesAscii(const Comparison& compare, std::string_view text) {
  const std::string_view core = compare.folded_core;
  switch (compare.kind) {
    case MatchKind::kExact:
      return EqualsLowered(text, core);
    case MatchKind::kPrefix:
      return text.size() >= core.size() && EqualsLowered(text.substr(0, core.size()), core);
    case MatchKind::kSuffix:
      return text.size() >= core.size() &&
             EqualsLowered(text.substr(text.size() - core.size()), core);
    case MatchKind::kContains: {
      if (core.empty()) return true;
      if (text.size() < core.size()) return false;
      const char first = core.front();
      const std::string_view rest = core.substr(1);
      const size_t last = text.size() - core.size();
      for (size_t i = 0; i <= last; ++i) {
        if (AsciiLower(text[i]) == first && EqualsLowered(text.substr(i + 1, rest.size()), rest)) {
          return true;
        }
      }
      return false;
    }
  }
  return false;
}

bool MatchesText(const Comparison& compare, std::string_view text) {
  if (IsAscii(text)) return MatchesAscii(compare, text);
  // Every record that an index look-up finds is checked here, so the folded text goes into
  // one buffer per thread rather than into a new string each time.
  thread_local std::string folded;
  FoldCaseInto(text, folded);
  return MatchesFolded(compare, folded);
}

}  // namespace

bool MatchesValue(const Comparison& compare, const Variant* value) {
  if (value == nullptr || value->IsNull()) return false;
  if (value->IsString()) return MatchesText(compare, value->string_value());
  return MatchesText(compare, value->ToText());
}

}  // namespace testqav::recordset_internal
