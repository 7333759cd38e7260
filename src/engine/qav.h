// The contact data-set engine: one object that holds the agent's folders, the in-memory data
// sets and the helper utilities object, and performs one update run.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/runtime.h"
#include "engine/proxy_lists.h"
#include "platform/common/variant.h"
#include "platform/messaging/messaging.h"
#include "platform/recordset/recordset.h"

namespace testqav {

// The engine's keyed collection of distribution lists already expanded within one MCL; keys
// compare ignoring case and a second insertion of a key fails.
class ExpandedListRegister {
 public:
  bool Insert(const std::string& key, const std::string& item);
  bool Contains(const std::string& key) const;
  void Clear() { items_.clear(); }

 private:
  std::map<std::string, std::string> items_;  // folded key -> item
};

struct QueryListExpansion;
struct QueryRowColumns;
struct QueryRowValues;

class QAV {
 public:
  // Locates the registration folder and creates the helper utilities object.
  explicit QAV(Runtime& rt);
  // Releases the folders and closes the data sets.
  ~QAV();
  QAV(const QAV&) = delete;
  QAV& operator=(const QAV&) = delete;

  // One update run. Only parameters 1 (include-GAL), 2 (include-MCL) and 8 (mobile number
  // mode) are read; the others are accepted as the agent's callers pass them.
  void UpdateClients(bool& bIncludeGALIn, bool& bIncludeMCLIn, int16_t& p3, int16_t& p4,
                     int16_t& p5, int16_t& p6, int32_t& p7, int16_t& lMobileModeIn, int16_t& p9,
                     int16_t& p10, int32_t& p11, int16_t& p12, int16_t& p13, int16_t& p14,
                     int16_t& p15, int32_t& p16, int16_t& p17, int16_t& p18, int16_t& p19,
                     int16_t& p20, int16_t& p21, std::string& p22, int16_t& p23, int32_t& p24);
  bool GetRegFolder();
  bool GetMandatoryFolder();
  FolderPtr GetHiddenFolder(const std::string& name, const FolderPtr& parent);

  // Data sets and dumps.
  void CreateQAVData();
  void CreateSourceMCLData();
  void CreateMCLData();
  void DumpQAV(const std::string& name);
  void DumpSourceMCL(const std::string& name);

  // Registration data and the GAL supplement.
  void GetQAVData();
  void UpdateRstFromGAL();
  MessagePtr FindRegMsg(const std::string& topic, const std::string& pin);

  // Mandatory contact lists: the folder's items, their source addresses, and the SourceMCL
  // records those give.
  bool CollectDataMCL();
  bool CheckInactive(const MessagePtr& item);
  void ParseSourceMCL(std::string source, std::string& mclid, bool& include_dls);
  AddressEntryPtr GetExAE(const std::string& address);
  // Renames a contact that is a registered user to the identity the QAV data set holds.
  void FindMatchInQAV(std::string& smtp, std::string& odn);
  // The same with its filter made beforehand: `filter` is QavMatchFilter(smtp, odn).
  void FindMatchInQAV(std::string& smtp, std::string& odn, const std::string& filter);
  // One prescribed entry (and, for a list, every entry it reaches) into SourceMCL.
  void AddToSourceMCL(const AddressEntryPtr& entry, const std::string& mclid, bool& include_dls);

  // Query-based lists: the list with that SMTP address is looked up in the directory, its
  // stored filter run from its stored base (or the forest root), and the rows become
  // SourceMCL records (with add_members) or are only walked: persons through
  // AddToSourceMCLFromQuery, member lists through the address book, nested query-based lists
  // in turn. A non-empty `domain` ("a.b" or a DN) replaces the forest root as the base.
  void ExpandQueryDL(const std::string& address, const std::string& mclid, bool add_members,
                     bool& include_dls, const std::string& domain);
  // The global catalog path of the forest root domain ("GC://DC=a,DC=b"), or "" after an
  // error line.
  std::string GetRootADsPath();
  // Replaces the base of a command's first part: "<GC://DC=a,DC=b>" with base DN
  // "OU=x,DC=a,DC=b" becomes "<GC://OU=x,DC=a,DC=b>".
  void SetBaseDN(std::string& strCommand, const std::string& strBaseDN);
  // One person row of a query-based list's member query into SourceMCL: a new record from
  // the row's attributes, or the MCL's identifier added to the contact's existing record.
  void AddToSourceMCLFromQuery(Recordset& row, const std::string& mclid);

  // The contact repository merge: the Master Contact Repository folder, then each Alternate
  // Contact Folder in trust order, worked out into the merge data set.
  MessagePtr GetMsgMCR();
  bool MergeACF();
  bool AddFromACF(const FolderPtr& folder, bool& is_repository);
  void CreateMergeData();
  void DumpMerge(const std::string& name);

  // Proxy lists.
  void GetAllProxies(const std::string& address, std::string& proxies, std::string& x500proxies,
                     std::string& odn, bool evaluate_supplied_odn, bool skip_known_address);

  // Value and filter helpers.
  void GetEmailValues(const std::vector<Variant>& values, std::string& filter, std::string& list);
  std::string GetFieldText(const AddressEntryPtr& entry, uint32_t tag);
  std::string StrToHex(const std::string& text);
  // A value for a record-set LIKE pattern: outer quotes stripped, quotes doubled, encoded as
  // stored values are, then "*" written "[*]" and "[" written "[[]" so that the pattern's
  // own wildcards are the only ones.
  std::string QuoteFilterValue(const Variant& value);
  // QuoteFilterValue of a text, appended to `out` without copies of its own when the text
  // needs no change.
  void AppendQuotedFilterValue(std::string& out, std::string_view text);
  std::string StripQuotes(const Variant& value);
  // The stored form of an address: "#" as "#23", "%" as "#25", "_" as "#95". Decoding turns
  // those three codes back and leaves any other "#"; DecodeWildcards(EncodeWildcards(x)) == x.
  std::string EncodeWildcards(const std::string& text);
  std::string DecodeWildcards(const std::string& text);
  bool IsEmailAddress(const Variant& value);
  bool IsODN(const Variant& value);
  Variant GetTypedValue(const Variant& value, int32_t kind);
  std::string BuildEmailFilter(const std::string& smtp, const std::string& odn,
                               const std::string& proxies, const std::string& x500proxies);
  std::string GetResolvedSMTP(const std::string& name);
  std::string NullToEmpty(const Variant& value);
  bool IsNullMarker(const std::string& text);
  void LogFieldValue(const std::string& label, const std::string& name,
                     const std::string& field_label, const AddressEntryPtr& entry, uint32_t tag);
  // LogFieldValue's line for a value already read.
  void LogFieldText(const std::string& label, const std::string& name,
                    const std::string& field_label, const std::string& text);

  // Members, in the engine's declaration order.
  FolderPtr fldReg;
  std::unique_ptr<Recordset> rstQAV;
  bool bIncludeGAL = false;
  bool bIncludeMCL = false;
  FolderPtr fldMandatory;
  std::unique_ptr<Recordset> rstMCL;
  std::unique_ptr<Recordset> rstSourceMCL;
  int32_t lMobileMode = 0;
  int16_t FaxMapping = 0;
  MapiUtilsPtr objMAPIUtils;
  std::unique_ptr<Recordset> rstMerge;
  ExpandedListRegister expanded_lists;

 private:
  void Dump(Recordset* rst, const std::string& name);
  bool GetIncludeDLs(const MessagePtr& item);
  // What the merge walk worked out for one contact, into the merge data set.
  struct MergedContact;
  void AddToMergeData(const MergedContact& contact);
  // The folder that AddFromACF walks: its name and its place in the trust order (0 for the
  // repository).
  std::string merge_folder_;
  int32_t merge_rank_ = 0;
  // What AddToSourceMCL reads of an entry before anything else: its SMTP address, its ODN
  // (both lower-cased) and the entry ID of that ODN. A contact that several lists reach is
  // read once; an ODN whose look-up failed is not kept, so that each reach logs the failure.
  struct ContactAddresses {
    AddressEntryPtr entry;  // keeps the key's entry alive
    std::string smtp;
    std::string odn;
    std::string address_id;
  };
  ContactAddresses AddressesOf(const AddressEntryPtr& entry);
  std::unordered_map<const AddressEntry*, ContactAddresses> contact_addresses_;
  // AddToSourceMCL for one entry; gives the members still to be added when it is a list to
  // expand, so that nested lists are walked without the call stack growing with them.
  std::vector<AddressEntryPtr> AddOneToSourceMCL(const AddressEntryPtr& entry,
                                                 const std::string& mclid, bool& include_dls);
  void AddPersonToSourceMCL(const AddressEntryPtr& entry, const std::string& mclid,
                            const std::string& name, std::string smtp, std::string odn,
                            const std::string& address_id);
  std::vector<AddressEntryPtr> AddListToSourceMCL(const AddressEntryPtr& entry,
                                                  const std::string& mclid, bool& include_dls,
                                                  const std::string& name, const std::string& smtp,
                                                  const std::string& odn,
                                                  const std::string& address_id);
  // The two proxy lists of a contact stored for the first time (odn may be settled by
  // them), closed at both ends.
  void NewContactProxies(const std::string& smtp, std::string& odn, std::string& proxies,
                         std::string& x500proxies);
  // The same from look-ups worked out beforehand: their lines written, their lists taken.
  void ReplayContactProxies(std::vector<ProxyPass>& passes, std::string& odn, std::string& proxies,
                            std::string& x500proxies);
  std::string MultiValueText(const AddressEntryPtr& entry, uint32_t tag, const std::string& label);
  // The filter that finds a contact's SourceMCL record by its SMTP address and ODN (either
  // may be empty), among the records' own values and their address lists; "" when both are.
  std::string SourceMclContactFilter(const std::string& smtp, const std::string& odn);
  // Steps into one query-based list: looks it up, runs its member query and gives the
  // expansion positioned on the first row; nullptr (after its log line) when the list
  // cannot be or need not be expanded.
  // Adds the rows it returned and the time of its directory queries to `tally`.
  std::unique_ptr<QueryListExpansion> StartQueryDL(const std::string& address, bool add_members,
                                                   const std::string& domain,
                                                   Runtime::QueryListTime& tally);
  // One row of a member query; gives the address of a nested query-based list to expand
  // next, or "".
  // `values` are the row's, read before; the row is the current one of `row`.
  std::string ExpandQueryRow(Recordset& row, const QueryRowColumns& columns, QueryRowValues& values,
                             const std::string& mclid, bool add_members, bool& include_dls);
  // Starts reading the rows of a list's member query ahead of the expansion.
  void StartPreparingRows(QueryListExpansion& list);
  // AddToSourceMCLFromQuery with the row's values read beforehand (its field values are read
  // from the current row of `row` when they were not).
  void AddQueryRowToSourceMCL(Recordset& row, const QueryRowColumns& columns,
                              QueryRowValues& values, const std::string& mclid);
  // Positions in SourceMCL of the fields that a record from a row fills, in the order they
  // are written (-1 for one the data set lacks); found once for the data set.
  const std::vector<int32_t>& QueryRecordFields();
  const Recordset* query_record_fields_of_ = nullptr;
  std::vector<int32_t> query_record_fields_;
  // A contact's SMTP address and ODN (either may be empty) against a data set's own values
  // and its address lists, field names in brackets or not; "" when both are empty.
  std::string AddressFilter(const std::string& smtp, const std::string& odn, bool bracketed);
  // The filter FindMatchInQAV sets for a contact's SMTP address and ODN (not both empty).
  std::string QavMatchFilter(const std::string& smtp, const std::string& odn);
  // Sets a record-set filter; a filter that cannot be set is logged and reads as no match.
  bool SetFilterOrLog(Recordset& rst, const std::string& filter, const std::string& label);

  Runtime& rt_;
};

// The field layouts of the three data sets, in column order.
struct FieldSpec {
  const char* name;
  FieldType type;
};
const std::vector<FieldSpec>& QavLayout();
const std::vector<FieldSpec>& SourceMclLayout();
const std::vector<FieldSpec>& MclLayout();
const std::vector<FieldSpec>& MergeLayout();

}  // namespace testqav
