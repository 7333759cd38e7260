// The proxy lists of one address, worked out apart from where the address is resolved and
// where the lines go: GetAllProxies resolves on the session and writes to the run log, and a
// query-based list's rows read ahead may be worked out on another thread, their lines kept
// for the run's thread to write in order.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/error_codes.h"
#include "platform/common/status.h"
#include "platform/messaging/messaging.h"

namespace testqav {

// An address resolved as a message recipient is: whether it resolved, the error when it did
// not, and the entry when it did.
struct ProxyResolution {
  bool resolved = false;
  Status pending;
  Result<AddressEntryPtr> entry = Status(err::kUnresolved, "not resolved");
};
// One GetAllProxies call worked out beforehand: the lines it writes (text and level), and the
// lists and ODN it leaves.
struct ProxyPass {
  std::vector<std::pair<std::string, int32_t>> lines;
  std::string proxies;
  std::string x500proxies;
  std::string odn;
};

using ProxyResolver = std::function<ProxyResolution(const std::string& address)>;
using ProxyLineSink = std::function<void(std::string line, int32_t level)>;

// What GetAllProxies does once the run goes on: gathers the SMTP and X.500 addresses of
// `address` into the two lists and settles the ODN, handing each log line to `log`; trace
// lines only with `trace`.
void ProxiesOf(const ProxyResolver& resolve, const std::string& address, std::string& proxies,
               std::string& x500proxies, std::string& odn, bool evaluate_supplied_odn,
               bool skip_known_address, bool trace, const ProxyLineSink& log);

}  // namespace testqav
