// Internal to the JSON messaging session: a message's properties as stored (members and
// stored properties alike) and as the Variants the handles deliver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/common/variant.h"
#include "platform/messaging/json/mailbox_store.h"

namespace testqav::json_session_detail {

// The current time, Unix milliseconds.
int64_t NowMs();

// A property of a message as stored: members (class, subject, ...) and stored properties
// alike. `type` 0 means the message does not have it.
struct PropView {
  uint16_t type = 0;
  const std::string* text = nullptr;
  int64_t num = 0;
  const std::vector<mailbox::Scalar>* multi = nullptr;
  std::string bytes;  // entry IDs decoded for binary delivery
};

// Sets `v` to the property `id` of `m`; false when the message does not have it.
bool LookupProp(const mailbox::MessageRec& m, uint16_t id, PropView* v);

bool IsStringType(uint16_t t);

// The property `tag` of a message as a Variant; Empty when missing or not convertible.
// Binary values come as Byte arrays with `bytes_mode`, else as upper-case hex text.
Variant PropValue(const mailbox::MessageRec& m, uint32_t tag, bool bytes_mode);

}  // namespace testqav::json_session_detail
