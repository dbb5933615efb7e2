#pragma once
// The process-wide cookie store: the cookies that HTTP responses set, kept per domain so that a
// transport without its own jar can send them back, mirrored into the WinINet jar and fed from
// it, and the guard that keeps a valid CAS session's ticket-granting cookie. Every entry point
// answers an HRESULT and never throws; texts handed to a caller are malloc'ed.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ZYNSysContext.h"
#include "ZYNSysWin.h"

class ZYNSysTraceClient;

// One cookie. Texts are owned; `next` links the records of an import list.
struct QORHttpCookie {
    std::uint32_t domainHash = 0;
    std::uint32_t version = 1;
    std::uint32_t nameLength = 0;
    std::uint32_t valueLength = 0;
    std::uint32_t pathLength = 0;
    std::uint32_t domainLength = 0;
    ZYNSysCString _Url;
    ZYNSysCString text;
    ZYNSysCString name;
    ZYNSysCString value;  // null for an empty value
    ZYNSysCString _Path;  // ends with '/'
    ZYNSysCString _Domain;  // lower case
    std::uint8_t secure = 0;
    std::uint8_t HttpOnly = 0;
    QORHttpCookie* next = nullptr;
};

// Owns a record and every record linked behind it.
struct QORHttpCookieListDeleter {
    void operator()(QORHttpCookie* list) const noexcept;
};
using QORHttpCookieList = std::unique_ptr<QORHttpCookie, QORHttpCookieListDeleter>;

// Stores the Set-Cookie text (CRLF between lines) for the url. mode: 1 = no copy to WinINet and
// no CASTGC guard; 2 = no CASTGC guard; 0x2000 = copy to WinINet in the HttpOnly form. A line
// set for a plain url leaves a stored secure cookie of the same name, domain and path in place.
HRESULT QORSysSetCookie(const char* url, const char* setCookieText, unsigned long mode) noexcept;

// The Cookie text for the url into *outText (free it). flags: 1 = "Cookie: " form without
// paths; 2 = one "Cookie: " header per cookie; 4 = no import from WinINet first. 0x80070103 when
// no cookie applies.
HRESULT QORSysGetCookie(const char* url, const char* nameFilter, char** outText, unsigned long flags) noexcept;

// Inserts every record of the list, replacing equal stored ones; the list is left empty. 0;
// E_FAIL when a record lacked text, name, domain or path, held a CR or LF, or could not be stored (it is
// destroyed, the others are inserted); E_OUTOFMEMORY when the store cannot be made (the list
// is then untouched).
HRESULT ZYNSysInsertCookie(ZYNSysTraceClient* trace, QORHttpCookieList& list) noexcept;

// Imports the WinINet jar's cookies of the url that the store lacks or holds with another value,
// as secure ones when read through https:// or wss://; over a plain url never one whose name the
// store keeps as a secure cookie there.
HRESULT QORSysGetOSCookie(const char* url, unsigned long flags) noexcept;
// QORSysGetOSCookie for the url's root and each folder below it, in that order.
HRESULT QORSysGetOSCookieFromRoot(const char* url, unsigned long flags) noexcept;

// Imports the WinINet URL-cache cookie files of each folder of hostAndPath ("host[:port]/path").
HRESULT ImportOSCookieCache(ZYNSysTraceClient* trace, const char* hostAndPath) noexcept;
// Parses one URL-cache cookie file; its records are put in front of *list.
HRESULT ParseOSCookieCacheFile(ZYNSysTraceClient* trace, const char* data, std::size_t length,
                               QORHttpCookieList& list) noexcept;

// Name and value of "name=value;...": pointers into text (value null when empty). E_INVALIDARG
// for no text, E_FAIL without '='.
HRESULT GetCookieAttr(const char* text, std::size_t length, const char** outName, std::size_t* outNameLength,
                      const char** outValue, std::size_t* outValueLength, ZYNSysTraceClient* trace) noexcept;
// 0 when the cookie text carries the property (an attribute without value), 1 when not.
int GetCookiePropertie(const char* text, const char* property, ZYNSysTraceClient* trace) noexcept;

// The store's key: over the domain without one leading '.', h x 37 + byte.
std::uint32_t QORHttpCookieDomainHash(const char* domain) noexcept;
// The store's equality: 1 for the same domain, path and name; 0 otherwise, also for a record
// without text or path.
int CompareCookies(const void* stored, const void* given) noexcept;

// The CAS session check (casUrl, outUserName, outEmail, outBody, keepBody): 0 when the session is
// valid. The store asks it before a CASTGC cookie replaces the one it keeps; until one is set the
// session counts as not valid. The facade's object file installs CheckIfCASValid at start-up:
// a program that links no facade symbol (and does not link kt7http whole, as the launcher does)
// must set it itself.
using QORSysCASCheckFunction = HRESULT (*)(const char* casUrl, char** outUserName, char** outEmail, char** outBody,
                                           int keepBody);
void QORSysSetCASCheck(QORSysCASCheckFunction check) noexcept;
QORSysCASCheckFunction QORSysGetCASCheck() noexcept;
