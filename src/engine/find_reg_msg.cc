// Finding one user's registration message by its conversation topic or its PIN.
#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "store/filtered_tables.h"
#include "store/folder_location.h"

namespace testqav {

MessagePtr QAV::FindRegMsg(const std::string& topic, const std::string& pin) {
  std::vector<FilterField> fields(1);
  if (topic.empty()) {
    if (pin.empty()) return nullptr;
    fields[0].Name = "PIN";
    fields[0].PropType = 30;
    fields[0].Value = pin;
  } else {
    fields[0].PropTag = static_cast<int32_t>(kPrConversationTopic);
    // The restriction compares the whole text as it is: a filter literal's quoting would
    // change what it looks for ("_" becomes "#95").
    fields[0].Value = topic;
  }
  std::vector<std::string> ids = FilterMsgsRDO(rt_, fldReg, fields);
  if (!ids.empty() && !ids[0].empty()) return GetMessageByID(rt_, ids[0]);
  return nullptr;
}

}  // namespace testqav
