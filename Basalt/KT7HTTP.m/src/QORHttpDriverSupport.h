#pragma once
// Small pieces of the driver base that have no state: failure tracing, the strict reading of
// a length, the resolution of a redirect target, and the masking of secrets before a trace.

#include <cstddef>
#include <cstdint>
#include <string>

#include "ZYNSysWin.h"

class ZYNSysTraceClient;

// The process's one "HTTP" trace client, made on first use (null while that trace is off):
// drivers and request contexts come and go, and a client per object would pile up.
ZYNSysTraceClient* QORHttpTraceClient();

// Traces "\t<operation> (<tag> Error 0x<code>)" and gives the stack's HRESULT for the code.
HRESULT QORHttpDriverError(ZYNSysTraceClient* trace, const char* operation, const char* tag, HRESULT code);

// A length as a header gives it: decimal digits only (blanks around them allowed), no sign,
// no overflow. False for anything else.
bool QORHttpParseLength(const char* text, std::size_t length, std::uint64_t* out);

// The absolute URL of a redirect's Location, resolved against the request URL: an absolute
// target as it is, "//host/x" with the request's scheme, "/x" on the request's host, and any
// other text in the request path's folder (a URL without a path has "/"). 0; 0x80072F78 for an
// empty target; E_INVALIDARG with *tag "(no ://)" when the request URL has no scheme.
HRESULT QORHttpResolveLocation(const std::string& requestUrl, const std::string& target, std::string* out,
                               const char** tag);

// The value of a secret as a trace may show it.
std::string QORHttpMaskValue(const char* value, std::size_t length);
// A URL for a trace: the value of a "ticket" parameter masked.
std::string QORHttpMaskUrl(const char* url);
