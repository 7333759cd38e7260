// Contents tables of folders: their rows, sort order and columns, and the restrictions that
// filter them.

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/messaging/json/mailbox_store.h"
#include "platform/messaging/json/session_properties.h"
#include "platform/messaging/json/session_state.h"

namespace testqav::json_session_detail {

namespace {

using mailbox::Scalar;

struct RestrictionNode {
  int32_t kind = kRestrictionContent;
  std::vector<std::shared_ptr<RestrictionNode>> children;
  uint32_t fuzzy = 0;
  std::optional<uint32_t> tag;
  std::optional<std::string> value;
};

class RestrictionImpl : public Restriction {
 public:
  explicit RestrictionImpl(std::shared_ptr<RestrictionNode> n) : n_(std::move(n)) {}
  int32_t Kind() const override { return n_->kind; }
  Result<RestrictionPtr> AddChild(int32_t kind) override {
    if (n_->kind != kRestrictionAnd) {
      return Status(err::kNoSupport, "only an AND restriction has children");
    }
    if (kind != kRestrictionAnd && kind != kRestrictionContent) {
      return Status(err::kNoSupport, "unsupported restriction kind " + std::to_string(kind));
    }
    auto child = std::make_shared<RestrictionNode>();
    child->kind = kind;
    n_->children.push_back(child);
    return RestrictionPtr(std::make_shared<RestrictionImpl>(child));
  }
  Status SetFuzzyLevel(uint32_t level) override {
    if (Status c = ContentOnly(); !c.ok()) return c;
    n_->fuzzy = level;
    return Status::Ok();
  }
  Status SetPropTag(uint32_t tag) override {
    if (Status c = ContentOnly(); !c.ok()) return c;
    n_->tag = tag;
    return Status::Ok();
  }
  Status SetValue(const Variant& value) override {
    if (Status c = ContentOnly(); !c.ok()) return c;
    n_->value = value.ToText();
    return Status::Ok();
  }

 private:
  Status ContentOnly() const {
    return n_->kind == kRestrictionContent
               ? Status::Ok()
               : Status(err::kNoSupport, "only a content restriction has this member");
  }
  std::shared_ptr<RestrictionNode> n_;
};

// Fuzzy levels of content restrictions.
constexpr uint32_t kFlFullString = 0;
constexpr uint32_t kFlSubstring = 1;
constexpr uint32_t kFlPrefix = 2;
constexpr uint32_t kFlIgnoreCase = 0x10000;
constexpr uint32_t kFlIgnoreNonSpace = 0x20000;
constexpr uint32_t kFlLoose = 0x40000;

bool TextMatches(std::string_view text, std::string_view needle, uint32_t fuzzy) {
  bool ignore_case = (fuzzy & (kFlIgnoreCase | kFlIgnoreNonSpace | kFlLoose)) != 0;
  switch (fuzzy & 0xFFFF) {
    case kFlSubstring:
      return ignore_case ? ContainsIgnoreCase(text, needle) : Contains(text, needle);
    case kFlPrefix:
      return ignore_case ? StartsWithIgnoreCase(text, needle) : StartsWith(text, needle);
    case kFlFullString:
    default:
      return ignore_case ? EqualsIgnoreCase(text, needle) : text == needle;
  }
}

bool Matches(const RestrictionNode& r, const MessageRec& m) {
  if (r.kind == kRestrictionAnd) {
    for (const auto& c : r.children) {
      if (!Matches(*c, m)) return false;
    }
    return true;
  }
  PropView v;
  if (!LookupProp(m, static_cast<uint16_t>(*r.tag >> 16), &v)) return false;
  uint16_t base = v.type & static_cast<uint16_t>(~mailbox::kTypeMulti);
  if (!IsStringType(base)) return false;
  if (v.multi) {
    for (const Scalar& s : *v.multi) {
      if (TextMatches(s.text, *r.value, r.fuzzy)) return true;
    }
    return false;
  }
  return TextMatches(*v.text, *r.value, r.fuzzy);
}

Status Complete(const RestrictionNode& r) {
  if (r.kind == kRestrictionAnd) {
    for (const auto& c : r.children) {
      if (Status s = Complete(*c); !s.ok()) return s;
    }
    return Status::Ok();
  }
  if (!r.tag || !r.value) {
    return Status(err::kInvalidArg, "a content restriction needs a property tag and a value");
  }
  return Status::Ok();
}

struct TableState {
  StorePtr store;
  std::vector<MessageRecPtr> rows;  // in sort order
  std::vector<uint32_t> columns = {kPrEntryId, kPrMessageClass, kPrSubject,
                                   kPrLastModificationTime};
  size_t cursor = 0;
  std::shared_ptr<RestrictionNode> root;
  bool closed = false;

  Status Check() const {
    if (Status c = CheckStore(*store); !c.ok()) return c;
    return closed ? Status(err::kFail, "the table is closed") : Status::Ok();
  }
  Variant Row(size_t i) const {
    std::vector<Variant> values;
    values.reserve(columns.size());
    for (uint32_t tag : columns) values.push_back(PropValue(*rows[i], tag, true));
    return Variant::Array(std::move(values));
  }
  Result<bool> Find(size_t start, bool forward) {
    if (Status c = Check(); !c.ok()) return c;
    if (root) {
      if (Status s = Complete(*root); !s.ok()) return s;
    }
    for (size_t i = start; i < rows.size(); forward ? ++i : --i) {
      if (!root || Matches(*root, *rows[i])) {
        cursor = i;
        return true;
      }
      if (!forward && i == 0) break;
    }
    return false;
  }
};

class TableFilterImpl : public TableFilter {
 public:
  explicit TableFilterImpl(std::shared_ptr<TableState> t) : t_(std::move(t)) {}
  Result<RestrictionPtr> SetRoot(int32_t kind) override {
    if (Status c = t_->Check(); !c.ok()) return c;
    if (kind != kRestrictionAnd && kind != kRestrictionContent) {
      return Status(err::kNoSupport, "unsupported restriction kind " + std::to_string(kind));
    }
    t_->root = std::make_shared<RestrictionNode>();
    t_->root->kind = kind;
    return RestrictionPtr(std::make_shared<RestrictionImpl>(t_->root));
  }
  Result<bool> FindFirst(bool forward) override {
    if (t_->rows.empty()) return t_->Check().ok() ? Result<bool>(false) : t_->Check();
    return t_->Find(forward ? 0 : t_->rows.size() - 1, forward);
  }
  Result<bool> FindNext(bool forward) override {
    if (Status c = t_->Check(); !c.ok()) return c;
    if (forward) {
      if (t_->cursor + 1 >= t_->rows.size()) return false;
      return t_->Find(t_->cursor + 1, true);
    }
    if (t_->cursor == 0 || t_->rows.empty()) return false;
    return t_->Find(std::min(t_->cursor, t_->rows.size()) - 1, false);
  }
  Status Clear() override {
    if (Status c = t_->Check(); !c.ok()) return c;
    t_->root.reset();
    return Status::Ok();
  }

 private:
  std::shared_ptr<TableState> t_;
};

// Sort key of one row: missing values sort below every present value.
struct SortKey {
  bool present = false;
  int64_t num = 0;
  std::string text;
};

class TableImpl : public Table {
 public:
  explicit TableImpl(std::shared_ptr<TableState> t) : t_(std::move(t)) {}
  Result<int32_t> RowCount() const override {
    if (Status c = t_->Check(); !c.ok()) return c;
    return static_cast<int32_t>(t_->rows.size());
  }
  Status SetColumns(const std::vector<uint32_t>& tags) override {
    if (Status c = t_->Check(); !c.ok()) return c;
    t_->columns = tags;
    return Status::Ok();
  }
  Status Sort(uint32_t tag, bool descending) override {
    if (Status c = t_->Check(); !c.ok()) return c;
    auto& rows = t_->rows;
    std::vector<SortKey> keys(rows.size());
    auto id = static_cast<uint16_t>(tag >> 16);
    for (size_t i = 0; i < rows.size(); ++i) {
      PropView v;
      if (!LookupProp(*rows[i], id, &v) || v.multi) continue;
      keys[i].present = true;
      if (IsStringType(v.type)) {
        keys[i].text = FoldCase(*v.text);
      } else if (v.type == mailbox::kTypeBinary) {
        keys[i].text = *v.text;
      } else {
        keys[i].num = v.num;
      }
    }
    std::vector<uint32_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    auto less = [&keys](uint32_t a, uint32_t b) {
      const SortKey& x = keys[a];
      const SortKey& y = keys[b];
      if (x.present != y.present) return !x.present;
      if (x.num != y.num) return x.num < y.num;
      return x.text < y.text;
    };
    if (descending) {
      std::stable_sort(order.begin(), order.end(),
                       [&less](uint32_t a, uint32_t b) { return less(b, a); });
    } else {
      std::stable_sort(order.begin(), order.end(), less);
    }
    std::vector<MessageRecPtr> sorted;
    sorted.reserve(rows.size());
    for (uint32_t i : order) sorted.push_back(std::move(rows[i]));
    rows = std::move(sorted);
    t_->cursor = 0;
    return Status::Ok();
  }
  Status GoToFirstRow() override {
    if (Status c = t_->Check(); !c.ok()) return c;
    t_->cursor = 0;
    return Status::Ok();
  }
  Result<Variant> NextRow() override {
    if (Status c = t_->Check(); !c.ok()) return c;
    if (t_->cursor >= t_->rows.size()) return Variant();
    return t_->Row(t_->cursor++);
  }
  Result<Variant> CurrentRow() const override {
    if (Status c = t_->Check(); !c.ok()) return c;
    if (t_->cursor >= t_->rows.size()) return Variant();
    return t_->Row(t_->cursor);
  }
  Result<TableFilterPtr> Filter() override {
    if (Status c = t_->Check(); !c.ok()) return c;
    return TableFilterPtr(std::make_shared<TableFilterImpl>(t_));
  }
  Status Close() override {
    t_->closed = true;
    t_->rows.clear();
    return Status::Ok();
  }

 private:
  std::shared_ptr<TableState> t_;
};
}  // namespace

TablePtr MakeTable(const StorePtr& store, std::vector<MessageRecPtr> rows) {
  auto t = std::make_shared<TableState>();
  t->store = store;
  t->rows = std::move(rows);
  return std::make_shared<TableImpl>(t);
}

}  // namespace testqav::json_session_detail
