// Gathering every SMTP and X.500 address of a contact into its two proxy lists, and settling
// which distinguished name is the contact's ODN.
#include "core/array_helpers.h"
#include "engine/proxy_lists.h"
#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "store/address_resolution.h"

namespace testqav {

namespace {

bool InList(const std::string& element, const std::string& list) {
  return ContainsElementIgnoreCase(list, element, ';');
}

// Unlike CloseList, an empty list becomes ";": the stored form of "no address of this kind".
void CloseProxyList(std::string& list) {
  if (list.empty() || list.front() != ';') list.insert(0, ";");
  if (list.back() != ';') list.push_back(';');
}

}  // namespace

void QAV::GetAllProxies(const std::string& address, std::string& proxies, std::string& x500proxies,
                        std::string& odn, bool evaluate_supplied_odn, bool skip_known_address) {
  if (rt_.StopRequested()) return;
  // The address is resolved as a recipient of a scratch message.
  auto resolve = [this](const std::string& name) {
    ProxyResolution out;
    ScratchMessage scratch(rt_);
    auto recips = scratch.Recipients();
    if (!recips.ok()) {
      out.pending = recips.status();
      return out;
    }
    auto r = (*recips)->Add(name);
    if (!r.ok()) {
      out.pending = r.status();
      return out;
    }
    Status s = (*r)->Resolve(false);
    if (!s.ok()) out.pending = s;
    auto all = (*recips)->Resolved();
    out.resolved = all.ok() && *all;
    if (out.resolved) out.entry = (*r)->AddressEntry();
    return out;
  };
  const bool trace = rt_.TraceWanted();
  ProxiesOf(resolve, address, proxies, x500proxies, odn, evaluate_supplied_odn, skip_known_address,
            trace, [this](std::string line, int32_t level) { rt_.WriteLog(line, level); });
}

void ProxiesOf(const ProxyResolver& resolve, const std::string& address, std::string& proxies,
               std::string& x500proxies, std::string& odn, bool evaluate_supplied_odn,
               bool skip_known_address, bool trace, const ProxyLineSink& log) {
  if (address.empty()) return;
  TrimRepeated(proxies, ";");
  TrimRepeated(x500proxies, ";");
  if (skip_known_address && (InList(address, proxies) || InList(address, x500proxies))) {
    log("GetAllProxies: found " + address +
            " in existing proxy string; no need to repeat expansion",
        kLogDetail);
    return;
  }
  log("QAV::GetAllProxies:attempting to resolve " + address, kLogInfo);
  ProxyResolution resolution = resolve(address);
  const bool resolved = resolution.resolved;
  if (trace) {
    log("GetAllProxies:for " + address + " resolved=" + (resolved ? "True" : "False"), kLogTrace);
  }
  if (!resolved) {
    log("QAV::GetAllProxies:failed to resolve " + address + " " + resolution.pending.description(),
        kLogInfo);
    return;
  }
  const Result<AddressEntryPtr>& entry_result = resolution.entry;
  AddressEntryPtr entry = entry_result.ok() ? *entry_result : nullptr;
  auto type = entry ? entry->Type() : Result<std::string>(entry_result.status());
  if (!type.ok() || *type != "EX") {
    if (!InList(address, proxies)) proxies += ";" + address;
    log("GetAllProxies:Proxies for " + address + " = " + proxies, kLogDetail);
    CloseProxyList(proxies);
    CloseProxyList(x500proxies);
    return;
  }
  auto address_result = entry->Address();
  const std::string a = address_result.ok() ? *address_result : std::string();
  if ((odn.empty() || evaluate_supplied_odn) && !a.empty()) {
    auto display_type = entry->DisplayType();
    if (display_type.ok() && *display_type == 0) {
      if (trace) log("GetAllProxies:evaluating mailbox ODN '" + a + "'", kLogTrace);
      if (!EqualsIgnoreCase(a, odn)) {
        if (!odn.empty()) {
          log("GetAllProxies:changing ODN from '" + odn + "' to '" + a + "' from lookup of " +
                  address,
              kLogDetail);
        } else {
          log("GetAllProxies:adding ODN '" + a + "' from lookup of " + address, kLogDetail);
        }
        odn = a;
      }
    } else if (EqualsIgnoreCase(a, odn)) {
      log("GetAllProxies:invalidating supplied ODN '" + odn +
              "' but including value in X500Proxies",
          kLogInfo);
      odn.clear();
    } else if (trace) {
      log("GetAllProxies:ignoring ODN '" + a + "' for DisplayType " +
              std::to_string(display_type.ok() ? *display_type : 0),
          kLogTrace);
    }
  }
  // An entry without an address would only add an empty element to the list.
  if (!a.empty() && !InList(a, x500proxies)) x500proxies += ";" + a;
  auto list = entry->Field(0x800F101E);
  if (list.ok() && IsFilledArray(*list)) {
    for (const Variant& element : list->array()) {
      const std::string p = element.ToText();
      if (StartsWithIgnoreCase(p, "SMTP:")) {
        const std::string s = LowerCase(p.substr(5));
        if (trace) log("GetAllProxies:found " + p + " proxy for " + address, kLogTrace);
        if (!InList(s, proxies)) {
          proxies += ";" + s;
          log("GetAllProxies:adding '" + s + "' to Proxies for " + address, kLogDetail);
        }
      } else if (StartsWithIgnoreCase(p, "X500:")) {
        const std::string s = p.substr(5);
        if (trace) log("GetAllProxies:found " + p + " proxy for " + address, kLogTrace);
        if (!InList(s, x500proxies)) {
          x500proxies += ";" + s;
          log("GetAllProxies:adding '" + s + "' to X500Proxies for " + address, kLogDetail);
        }
      }
    }
  }
  if (!proxies.empty()) {
    log("GetAllProxies:Proxies for " + address + " = " + proxies, kLogDetail);
  }
  if (!x500proxies.empty()) {
    log("GetAllProxies:X500Proxies for " + address + " = " + x500proxies, kLogDetail);
  }
  CloseProxyList(proxies);
  CloseProxyList(x500proxies);
}

}  // namespace testqav
