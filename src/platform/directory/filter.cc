// The parser follows the structure of OpenLDAP's filter encoder (recursive scanning for the
// matching parenthesis, then splitting "type op value"), because the real backend hands the
// re-written text to that library: every text the library accepts must give the tree the
// library would encode. On top of that it takes the forms that Active Directory's client
// accepts and directory owners store in query-based lists; FilterToString turns those into
// RFC 4515 text, which is what the real backend sends.
#include "platform/directory/filter.h"

#include "platform/common/error_codes.h"
#include "platform/common/hex.h"

namespace testqav {
namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLdh(char c) { return IsAlpha(c) || IsDigit(c) || c == '-'; }
bool IsHex(char c) { return HexDigitValue(c) >= 0; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n'; }

// The fault alone; ParseFilter adds the filter it was found in.
Status Invalid(const std::string& why) { return Status(err::kDirInvalidFilter, why); }

// Attribute description: descr or numeric OID, optionally followed by ";option"s.
bool IsDescription(std::string_view s) {
  size_t i = 0;
  if (s.empty()) return false;
  if (IsAlpha(s[0])) {
    for (i = 1; i < s.size(); ++i) {
      if (s[i] == ';') break;
      if (!IsLdh(s[i])) return false;
    }
  } else if (IsDigit(s[0])) {
    bool dot = false;
    for (i = 1; i < s.size(); ++i) {
      if (s[i] == ';') {
        if (dot) return false;
        break;
      }
      if (IsDigit(s[i])) {
        dot = false;
      } else if (s[i] == '.' && !dot) {
        dot = true;
      } else {
        return false;
      }
    }
    if (i == s.size() && dot) return false;
  } else {
    return false;
  }
  // Options: one or more LDH characters after each ";".
  while (i < s.size()) {
    ++i;  // the ';'
    if (i >= s.size() || !IsLdh(s[i])) return false;
    while (i < s.size() && s[i] != ';') {
      if (!IsLdh(s[i])) return false;
      ++i;
    }
  }
  return true;
}

bool IsOid(std::string_view s) {
  if (s.empty()) return false;
  if (IsAlpha(s[0])) {
    for (char c : s.substr(1)) {
      if (!IsLdh(c)) return false;
    }
    return true;
  }
  if (!IsDigit(s[0])) return false;
  bool dot = false;
  for (char c : s.substr(1)) {
    if (IsDigit(c)) {
      dot = false;
    } else if (c == '.' && !dot) {
      dot = true;
    } else {
      return false;
    }
  }
  return !dot;
}

// Unescapes an assertion value; nullopt when it holds an unescaped "(", ")" or "*", a bad
// escape or an escape at the end.
std::optional<std::string> Unescape(std::string_view v) {
  std::string out;
  for (size_t i = 0; i < v.size(); ++i) {
    char c = v[i];
    if (c == '(' || c == ')' || c == '*') return std::nullopt;
    if (c != '\\') {
      out += c;
      continue;
    }
    ++i;
    if (i >= v.size()) return std::nullopt;
    if (IsHex(v[i])) {
      if (i + 1 >= v.size() || !IsHex(v[i + 1])) return std::nullopt;
      out += static_cast<char>(HexDigitValue(v[i]) * 16 + HexDigitValue(v[i + 1]));
      ++i;
    } else if (v[i] == '(' || v[i] == ')' || v[i] == '*' || v[i] == '\\') {
      out += v[i];
    } else {
      return std::nullopt;
    }
  }
  return out;
}

// Position of the next unescaped "*", v.size() when none, npos when the value holds a
// parenthesis or a bad escape first.
size_t FindWildcard(std::string_view v, size_t from) {
  for (size_t i = from; i < v.size(); ++i) {
    switch (v[i]) {
      case '*':
        return i;
      case '(':
      case ')':
        return std::string_view::npos;
      case '\\':
        if (i + 1 >= v.size()) return std::string_view::npos;
        if (IsHex(v[i + 1]) && i + 2 < v.size() && IsHex(v[i + 2])) {
          i += 2;
        } else if (v[i + 1] == '*' || v[i + 1] == '(' || v[i + 1] == ')' || v[i + 1] == '\\') {
          ++i;
        } else {
          return std::string_view::npos;
        }
        break;
      default:
        break;
    }
  }
  return v.size();
}

// Index of the ")" that closes a "(" just before `from`; npos when unbalanced.
size_t FindRightParen(std::string_view s, size_t from) {
  int balance = 1;
  bool escape = false;
  size_t i = from;
  while (i < s.size() && balance > 0) {
    if (!escape) {
      if (s[i] == '(') {
        ++balance;
      } else if (s[i] == ')') {
        --balance;
      }
    }
    escape = s[i] == '\\' && !escape;
    if (balance > 0) ++i;
  }
  return i < s.size() ? i : std::string_view::npos;
}

Result<FilterNode> ParseSimple(std::string_view item) {
  size_t eq = item.find('=');
  if (eq == std::string_view::npos)
    return Invalid("missing \"=\" in \"" + std::string(item) + "\"");
  std::string_view type = item.substr(0, eq);
  std::string_view value = item.substr(eq + 1);
  FilterNode node;
  char op = type.empty() ? '\0' : type.back();
  if (op == '<' || op == '>' || op == '~') {
    type.remove_suffix(1);
    node.kind = op == '<'   ? FilterNode::Kind::kLessOrEqual
                : op == '>' ? FilterNode::Kind::kGreaterOrEqual
                            : FilterNode::Kind::kApprox;
  } else if (op == ':') {
    type.remove_suffix(1);
    node.kind = FilterNode::Kind::kExtensible;
    std::string attr(type);
    std::string rule;
    bool dn = false;
    size_t c1 = attr.find(':');
    bool have_rule_part = false;
    if (c1 != std::string::npos) {
      std::string rest = attr.substr(c1 + 1);
      attr.resize(c1);
      size_t c2 = rest.find(':');
      if (c2 == std::string::npos) {
        if (rest.size() == 2 && (rest[0] == 'd' || rest[0] == 'D') &&
            (rest[1] == 'n' || rest[1] == 'N')) {
          if (!IsDescription(attr)) return Invalid("\":dn\" needs an attribute type");
          dn = true;
        } else {
          rule = rest;
          have_rule_part = true;
        }
      } else {
        std::string dn_part = rest.substr(0, c2);
        rule = rest.substr(c2 + 1);
        have_rule_part = true;
        if (!(dn_part.size() == 2 && (dn_part[0] == 'd' || dn_part[0] == 'D') &&
              (dn_part[1] == 'n' || dn_part[1] == 'N'))) {
          return Invalid("expected \":dn\" in extensible match \"" + std::string(item) + "\"");
        }
        dn = true;
      }
    }
    (void)have_rule_part;
    if (attr.empty() && rule.empty()) {
      return Invalid("extensible match needs an attribute type or a matching rule");
    }
    if (!attr.empty() && !IsDescription(attr)) {
      return Invalid("bad attribute description \"" + attr + "\"");
    }
    if (!rule.empty() && !IsOid(rule)) return Invalid("bad matching rule \"" + rule + "\"");
    std::optional<std::string> v = Unescape(value);
    if (!v) return Invalid("bad assertion value \"" + std::string(value) + "\"");
    node.attribute = attr;
    node.rule = rule;
    node.dn_attributes = dn;
    node.value = std::move(*v);
    return node;
  } else {
    if (!IsDescription(type)) {
      return Invalid("bad attribute description \"" + std::string(type) + "\"");
    }
    size_t star = FindWildcard(value, 0);
    if (star == std::string_view::npos) {
      return Invalid("bad assertion value \"" + std::string(value) + "\"");
    }
    node.attribute = std::string(type);
    if (star == value.size()) {
      node.kind = FilterNode::Kind::kEquality;
    } else if (value == "*") {
      node.kind = FilterNode::Kind::kPresent;
      return node;
    } else {
      node.kind = FilterNode::Kind::kSubstrings;
      // Split at unescaped stars: first piece initial (when non-empty), last final (when
      // non-empty), every inner piece must be non-empty.
      std::vector<std::string_view> pieces;
      size_t start = 0;
      size_t pos = star;
      while (true) {
        pieces.push_back(value.substr(start, pos - start));
        if (pos == value.size()) break;
        start = pos + 1;
        pos = FindWildcard(value, start);
        if (pos == std::string_view::npos) {
          return Invalid("bad assertion value \"" + std::string(value) + "\"");
        }
      }
      for (size_t i = 0; i < pieces.size(); ++i) {
        bool first = i == 0;
        bool last = i + 1 == pieces.size();
        if ((first || last) && pieces[i].empty()) continue;
        std::optional<std::string> p = Unescape(pieces[i]);
        if (!p || p->empty()) {
          return Invalid("empty or bad substring in \"" + std::string(value) + "\"");
        }
        if (first) {
          node.initial = std::move(*p);
        } else if (last) {
          node.final_part = std::move(*p);
        } else {
          node.any.push_back(std::move(*p));
        }
      }
      return node;
    }
  }
  if (!IsDescription(type)) {
    return Invalid("bad attribute description \"" + std::string(type) + "\"");
  }
  std::optional<std::string> v = Unescape(value);
  if (!v) return Invalid("bad assertion value \"" + std::string(value) + "\"");
  node.attribute = std::string(type);
  node.value = std::move(*v);
  return node;
}

// Lists nest through recursion: a text of thousands of "(&" must give a syntax error, not
// exhaust the stack. Real filters, stored query filters among them, nest a few levels.
constexpr int kMaxFilterDepth = 128;

Result<FilterNode> ParseText(std::string_view s, int depth);

// The members of "&", "|" or "!" between the operator and the closing parenthesis. Blanks
// may stand before, between and after them. Active Directory also takes one bare item as
// the only member ("(!cn=SystemMailbox{*})"): it runs, as written, to the closing
// parenthesis.
Result<FilterNode> ParseList(std::string_view list, FilterNode::Kind kind, int depth) {
  FilterNode node;
  node.kind = kind;
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && IsSpace(list[i])) ++i;
    if (i >= list.size()) break;
    if (list[i] != '(') {
      if (!node.children.empty()) {
        return Invalid("an item without parentheses must be the only member of \"" +
                       std::string(1, kind == FilterNode::Kind::kAnd  ? '&'
                                      : kind == FilterNode::Kind::kOr ? '|'
                                                                      : '!') +
                       "\"");
      }
      if (list[i] == ')') return Invalid("unbalanced parentheses");
      Result<FilterNode> item = ParseSimple(list.substr(i));
      if (!item.ok()) return item.status();
      node.children.push_back(std::move(item).value());
      i = list.size();
      break;
    }
    size_t close = FindRightParen(list, i + 1);
    if (close == std::string_view::npos) return Invalid("unbalanced parentheses");
    Result<FilterNode> child = ParseText(list.substr(i, close + 1 - i), depth + 1);
    if (!child.ok()) return child.status();
    node.children.push_back(std::move(child).value());
    i = close + 1;
    if (kind == FilterNode::Kind::kNot) {
      while (i < list.size() && IsSpace(list[i])) ++i;
      break;
    }
  }
  if (kind == FilterNode::Kind::kNot && (node.children.size() != 1 || i < list.size())) {
    return Invalid("\"!\" takes exactly one filter");
  }
  return node;
}

// One complete filter text without blanks around it, as the library's encoder reads it.
Result<FilterNode> ParseText(std::string_view s, int depth) {
  size_t i = 0;
  if (s.empty()) return Invalid("empty filter");
  if (depth > kMaxFilterDepth) {
    return Invalid("filter nested more than " + std::to_string(kMaxFilterDepth) + " levels deep");
  }
  std::optional<FilterNode> node;
  if (s[i] != '(') {
    if (s[i] == ')') return Invalid("unbalanced parentheses");
    // A bare "type=value" runs to the end of the text.
    Result<FilterNode> simple = ParseSimple(s.substr(i));
    if (!simple.ok()) return simple.status();
    return simple;
  }
  ++i;
  while (i < s.size() && IsSpace(s[i])) ++i;
  if (i >= s.size()) return Invalid("unbalanced parentheses");
  char c = s[i];
  if (c == '&' || c == '|' || c == '!') {
    size_t close = FindRightParen(s, i + 1);
    if (close == std::string_view::npos) return Invalid("unbalanced parentheses");
    FilterNode::Kind kind = c == '&'   ? FilterNode::Kind::kAnd
                            : c == '|' ? FilterNode::Kind::kOr
                                       : FilterNode::Kind::kNot;
    Result<FilterNode> list = ParseList(s.substr(i + 1, close - i - 1), kind, depth);
    if (!list.ok()) return list.status();
    node = std::move(list).value();
    i = close + 1;
  } else if (c == '(') {
    return Invalid("unexpected \"(\" after \"(\"");
  } else {
    size_t close = FindRightParen(s, i);
    if (close == std::string_view::npos) return Invalid("unbalanced parentheses");
    Result<FilterNode> simple = ParseSimple(s.substr(i, close - i));
    if (!simple.ok()) return simple.status();
    node = std::move(simple).value();
    i = close + 1;
  }
  if (i < s.size()) return Invalid("unexpected text after the filter");
  return std::move(*node);
}

}  // namespace

Result<FilterNode> ParseFilter(std::string_view text) {
  Result<FilterNode> node = Invalid("NUL character");
  if (text.find('\0') == std::string_view::npos) {
    // Blanks around a parenthesised filter are no part of it. A bare "type=value" keeps
    // what follows its value, as the library reads it.
    std::string_view s = text;
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    if (!s.empty() && s.front() == '(') {
      while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    }
    node = ParseText(s, 0);
  }
  if (node.ok()) return node;
  std::string shown;
  for (char c : text) shown += c == '\0' ? std::string("\\00") : std::string(1, c);
  return Status(err::kDirInvalidFilter,
                "invalid search filter \"" + shown + "\": " + node.status().description());
}

std::string EscapeFilterValue(std::string_view value) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      auto u = static_cast<unsigned char>(c);
      out += '\\';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string FilterToString(const FilterNode& node) {
  using Kind = FilterNode::Kind;
  std::string out = "(";
  switch (node.kind) {
    case Kind::kAnd:
    case Kind::kOr:
    case Kind::kNot:
      out += node.kind == Kind::kAnd ? '&' : node.kind == Kind::kOr ? '|' : '!';
      for (const FilterNode& c : node.children) out += FilterToString(c);
      break;
    case Kind::kEquality:
      out += node.attribute + "=" + EscapeFilterValue(node.value);
      break;
    case Kind::kApprox:
      out += node.attribute + "~=" + EscapeFilterValue(node.value);
      break;
    case Kind::kGreaterOrEqual:
      out += node.attribute + ">=" + EscapeFilterValue(node.value);
      break;
    case Kind::kLessOrEqual:
      out += node.attribute + "<=" + EscapeFilterValue(node.value);
      break;
    case Kind::kPresent:
      out += node.attribute + "=*";
      break;
    case Kind::kSubstrings:
      out += node.attribute + "=";
      if (node.initial) out += EscapeFilterValue(*node.initial);
      out += "*";
      for (const std::string& a : node.any) out += EscapeFilterValue(a) + "*";
      if (node.final_part) out += EscapeFilterValue(*node.final_part);
      break;
    case Kind::kExtensible:
      out += node.attribute;
      if (node.dn_attributes) out += ":dn";
      if (!node.rule.empty()) out += ":" + node.rule;
      out += ":=" + EscapeFilterValue(node.value);
      break;
  }
  out += ")";
  return out;
}

FilterNode EqualityFilter(std::string attribute, std::string value) {
  FilterNode node;
  node.kind = FilterNode::Kind::kEquality;
  node.attribute = std::move(attribute);
  node.value = std::move(value);
  return node;
}

FilterNode PrefixFilter(std::string attribute, std::string value) {
  FilterNode node;
  node.kind = FilterNode::Kind::kSubstrings;
  node.attribute = std::move(attribute);
  if (!value.empty()) node.initial = std::move(value);
  return node;
}

FilterNode AnyOfFilter(std::vector<FilterNode> children) {
  FilterNode node;
  node.kind = FilterNode::Kind::kOr;
  node.children = std::move(children);
  return node;
}

FilterNode AllOfFilter(std::vector<FilterNode> children) {
  FilterNode node;
  node.kind = FilterNode::Kind::kAnd;
  node.children = std::move(children);
  return node;
}

}  // namespace testqav
