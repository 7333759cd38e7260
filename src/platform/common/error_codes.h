// The error numbers that platform implementations report. They follow the HRESULT values
// that the original components raised, so a log line shows the number an administrator of
// such a system would recognise. Map native errors (errno, LDAP result codes, JSON parse
// errors) to these in one function per backend.
#pragma once

#include <cstdint>

namespace testqav::err {

inline constexpr int32_t Hr(uint32_t v) { return static_cast<int32_t>(v); }

inline constexpr int32_t kFail = Hr(0x80004005);            // E_FAIL
inline constexpr int32_t kInvalidArg = Hr(0x80070057);      // E_INVALIDARG
inline constexpr int32_t kNotImplemented = Hr(0x80004001);  // E_NOTIMPL
inline constexpr int32_t kAccessDenied = Hr(0x80070005);    // E_ACCESSDENIED
inline constexpr int32_t kNotFound = Hr(0x8004010F);        // MAPI_E_NOT_FOUND
inline constexpr int32_t kLogonFailed = Hr(0x80040111);     // MAPI_E_LOGON_FAILED
inline constexpr int32_t kNotLoggedOn = Hr(0x80040113);     // CdoE_NOT_INITIALIZED-like
inline constexpr int32_t kCorrupt = Hr(0x8004011B);         // MAPI_E_CORRUPT_DATA
inline constexpr int32_t kAmbiguous = Hr(0x80040700);       // MAPI_E_AMBIGUOUS_RECIP
inline constexpr int32_t kUnresolved = Hr(0x80040607);      // MAPI_E_NOT_RESOLVED-like
inline constexpr int32_t kNoSupport = Hr(0x80040102);       // MAPI_E_NO_SUPPORT
inline constexpr int32_t kObjectDeleted = Hr(0x8004010A);   // MAPI_E_OBJECT_DELETED
inline constexpr int32_t kCollision = Hr(0x80040604);       // MAPI_E_COLLISION
inline constexpr int32_t kDiskError = Hr(0x80040116);       // MAPI_E_DISK_ERROR
inline constexpr int32_t kBusy = Hr(0x8004010B);            // MAPI_E_BUSY
inline constexpr int32_t kInvalidEntryId = Hr(0x80040107);  // MAPI_E_INVALID_ENTRYID
// ADO record-set errors.
inline constexpr int32_t kAdoBof = Hr(0x800A0BCD);           // adErrNoCurrentRecord
inline constexpr int32_t kAdoItemNotFound = Hr(0x800A0CC1);  // adErrItemNotFound
inline constexpr int32_t kAdoObjectClosed = Hr(0x800A0E78);  // adErrObjectClosed
inline constexpr int32_t kAdoObjectOpen = Hr(0x800A0E79);    // adErrObjectOpen
inline constexpr int32_t kAdoInvalidArg = Hr(0x800A0BB9);    // adErrInvalidArgument
inline constexpr int32_t kAdoTypeMismatch = Hr(0x800A0D5D);  // adErrDataConversion
inline constexpr int32_t kAdoNoProvider = Hr(0x800A0E7A);    // adErrProviderNotFound
// Directory errors (ADSI wraps LDAP result codes as 0x8007xxxx; see the LDAP backend).
inline constexpr int32_t kDirInvalidFilter = Hr(0x80005014);     // E_ADS_INVALID_FILTER
inline constexpr int32_t kDirBadPathname = Hr(0x80005000);       // E_ADS_BAD_PATHNAME
inline constexpr int32_t kDirServerDown = Hr(0x8007203A);        // ERROR_DS_SERVER_DOWN
inline constexpr int32_t kDirNoSuchObject = Hr(0x80072030);      // ERROR_DS_NO_SUCH_OBJECT
inline constexpr int32_t kDirInvalidDnSyntax = Hr(0x80072032);   // ERROR_DS_INVALID_DN_SYNTAX
inline constexpr int32_t kDirPropertyNotFound = Hr(0x8000500D);  // E_ADS_PROPERTY_NOT_FOUND
// A search whose answer is not whole: more entries than a size limit, more work than an
// administrative limit, or some of it referred to another server.
inline constexpr int32_t kDirSizeLimitExceeded = Hr(0x80072023);   // ERROR_DS_SIZELIMIT_EXCEEDED
inline constexpr int32_t kDirAdminLimitExceeded = Hr(0x80072024);  // ERROR_DS_ADMIN_LIMIT_EXCEEDED
inline constexpr int32_t kDirReferral = Hr(0x8007202B);            // ERROR_DS_REFERRAL
// VB run-time errors that the original raised for bad variant use.
inline constexpr int32_t kTypeMismatch = 13;
inline constexpr int32_t kSubscriptOutOfRange = 9;
inline constexpr int32_t kObjectRequired = 424;

}  // namespace testqav::err
