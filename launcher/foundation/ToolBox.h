#pragma once
// The launcher's static helpers: text, time, conversions, error texts, files and the
// Windows session environment. Texts are UTF-8 byte strings unless said otherwise.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Seam.h"
#include "SharedWString.h"
#include "ZYNSysLocalMemory.h"
#include "ZYNSysWin.h"

class PathName;
class SessionEnumerator;
namespace JSON {
class Value;
}

// Security attributes that own their descriptor.
struct ScopedSecurityAttributes {
    SECURITY_ATTRIBUTES attributes{};
    ZYNSysLocalMemory descriptor;
};

class ToolBox {
public:
    // ---- time ----
    // time: 100-nanosecond units since 1970-01-01 UTC, or none for now.
    static std::string FormatTime(std::optional<std::int64_t> time, bool withMillis, bool withZone,
                                  const char* pattern);
    static std::string FormatSeconds(std::optional<std::int64_t> seconds, bool withZone, const char* pattern);
    static std::int64_t NowSeconds();
    // The text that stands for a time that cannot be converted.
    static constexpr const char* kUnknownTime = "(invalid time)";

    // ---- text ----
    static bool StringToInt(const std::string& text, int& out, int base);
    static void Split(const std::string& text, const std::string& delimiter, std::vector<std::string>& out);
    static std::string ReplaceAll(const std::string& text, const std::string& what, const std::string& with,
                                  bool all);
    static std::string Trim(const std::string& text);
    static std::string ToLower(const std::string& text);
    static std::string Join(const std::vector<std::string>& items, const std::string& separator);
    static std::wstring JoinWideArgs(const wchar_t* const* args, int count, const wchar_t* separator);
    static std::string Surround(const std::string& text, const std::string& mark);
    static std::string CopyString(const std::string& text) { return text; }
    // What a log may show of a secret (a ticket, a cookie): its first 4 characters when
    // it is long enough to keep the rest hidden, and its length.
    static std::string MaskSecret(std::string_view secret);
    // Client or peer text as a log line shows it: every "cCas" JSON string value and every
    // CASTGC value masked (a cookie, plain or quoted, also inside a JSON string, or a JSON
    // member of that name), every "ticket" parameter of a URL's query, every cookie value of a
    // "Cookie:" line and the cookie of a "Set-Cookie:" line (any case); and every byte below
    // 0x20 but TAB, and DEL, written as \r, \n, \0 or \xNN (\x1B), so that the text cannot
    // begin a line of its own, end a line early or drive the terminal of the console.
    static std::string MaskSecretsInText(std::string_view text);
    static std::string CharToString(char c) { return std::string(1, c); }

    // ---- conversions ----
    // The platform reads a text only up to its first NUL: a text holding one would name
    // another file, program, address or window than the one asked for.
    static bool HoldsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }
    // From UTF-8, a text holding a NUL converts to the empty text, which names nothing.
    static SharedWString Utf8ToSharedWString(std::string_view text);
    static SharedWString WideToSharedWString(std::wstring_view text);
    static std::string WideToUtf8(std::wstring_view text);
    static std::string WideCStrToUtf8(const wchar_t* text);
    static std::wstring Utf8ToWide(std::string_view text);
    static std::wstring Utf8CStrToWide(const char* text);
    static std::string CStrToString(const char* text);
    static std::string WCStrToString(const wchar_t* text);

    // ---- requests in the log ----
    // The compact text of a parsed value with whatever lies under a member named "cCas" or
    // "CASTGC" masked, however the request spelled the name, and every other string through
    // MaskSecretsInText (cookies, JSON texts carried as strings).
    static std::string MaskSecretsInJson(const JSON::Value& value);
    // A request's text as received, through the text masker when it can name no secret member
    // or cookie, else the masked compact text of what the parser builds from it (the text
    // masker when nothing is built).
    static std::string MaskSecretsInRequestText(std::string_view text);

    // ---- fixed texts ----
    static std::string HResultToString(HRESULT hr);
    static std::string GuidToString(const GUID& guid);
    static std::string BoolToString(bool value) { return value ? "true" : "false"; }
    static std::string PointerToString(const void* pointer);

    // ---- error texts ----
    static std::string FormatMessageText(DWORD code);
    static std::string GetSystemErrorText();

    // ---- sessions, folders, the executable ----
    // Installs the session source (null restores the platform's); answers the one installed
    // before.
    static SessionEnumerator* SetSessionEnumerator(SessionEnumerator* enumerator);
    static bool GetActiveSessionId(std::uint32_t& sessionId);
    static bool GetKnownFolderIdValue(const GUID& folderId, std::string& path, std::optional<std::uint32_t> sessionId);
    static PathName GetExecutableFolder();
    static void MakeSecurityAttributes(ScopedSecurityAttributes& out, const std::string& descriptor);
    static bool GetEnv(const std::string& name, std::string& value);
    static void SetEnv(const std::string& name, const std::string& value);

    class File {
    public:
        static void CleanOldFilesInFolder(const std::string& folder, std::uint32_t maxFileCount,
                                          double maxTimeStampDiff);
        // Labels of ComputeHash.
        static constexpr int kMd5 = 1;
        static constexpr int kSha256 = 2;
        static int ComputeHash(const std::string& path, int label, std::string& hex);
        static bool List(const std::string& folder, std::vector<std::string>& names);
        static bool Delete(const std::string& path);
        static bool EnsureFreeSpaceKB(const std::string& folder, std::uint64_t neededKB);
        static bool IsDirectory(const std::string& path);
        static bool Exists(const std::string& path);
        static bool IsFile(const std::string& path);
    };
};

using ScopedSessionEnumerator = ScopedSeam<SessionEnumerator, &ToolBox::SetSessionEnumerator>;

// Logs "!EXP!" + context + the exception's text as an error, and to the event log when asked.
void LogException(const std::exception& exception, const std::string& context, bool toEventLog);
// Logs a captured exception of any kind and never rethrows, so a thread's top can always
// end quietly.
void LogCurrentException(std::exception_ptr captured, const std::string& context);
