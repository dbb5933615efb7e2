// The CAS session check: one request through a direct facade, the status, the user's members.

#include "CheckIfCASValid.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "QORHttpCookie.h"
#include "QORHttpDirectFacade.h"
#include "QORHttpHeapText.h"
#include "ZYNSysTraceClient.h"

namespace {

constexpr HRESULT kNoTicketCookie = static_cast<HRESULT>(0x803D0022);
constexpr const char* kEndpoint = "api/authenticated/user/me";
// The check runs inside the cookie store on a request thread: the driver's default time-outs of
// hours would hold that thread for as long.
constexpr std::uint32_t kTimeoutMs = 30000;
constexpr std::uint32_t kStatusCodeQuery = 19;
constexpr std::uint32_t kKeepConnectionNoRedirect = 0x600000;

// The string value of the JSON member `name` in the body: the text between the quotes after its
// quoted name and a colon, or nothing. Every step stays inside the body: a body cut after the
// name, the colon or the opening quote has no value.
std::string_view MemberValue(std::string_view body, std::string_view name) {
    const std::string quoted = "\"" + std::string(name) + "\"";
    for (std::size_t at = body.find(quoted); at != std::string_view::npos; at = body.find(quoted, at + 1)) {
        std::size_t next = at + quoted.size();
        while (next < body.size() && (body[next] == ' ' || body[next] == '\t' || body[next] == '\r' || body[next] == '\n')) ++next;
        if (next >= body.size() || body[next] != ':') continue;
        ++next;
        while (next < body.size() && (body[next] == ' ' || body[next] == '\t' || body[next] == '\r' || body[next] == '\n')) ++next;
        if (next >= body.size() || body[next] != '"') continue;
        const std::size_t begin = next + 1;
        const std::size_t end = body.find('"', begin);
        if (end == std::string_view::npos) return {};
        return body.substr(begin, end - begin);
    }
    return {};
}

// A malloc'ed copy (null when it cannot be made).
char* Copy(std::string_view text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

}  // namespace

HRESULT CheckIfCASValid(const char* casUrl, char** outUserName, char** outEmail, char** outBody,
                        int keepBody) noexcept {
    if (outUserName != nullptr) *outUserName = nullptr;
    if (outEmail != nullptr) *outEmail = nullptr;
    if (outBody != nullptr) *outBody = nullptr;
    static ZYNSysTraceClient* trace = nullptr;
    ZYNSysTraceClient::Create(&trace, "HTTP");
    ZYNSysTraceClient::InfoPrintf(trace, "CheckIfCASValid");
    if (casUrl == nullptr || *casUrl == '\0') return E_FAIL;
    // Up to its query, where a ticket may travel.
    const std::string_view traced(casUrl, std::strcspn(casUrl, "?#"));
    ZYNSysTraceClient::InfoPrintf(trace, "CheckIfCASValid CASURL=<%.*s>", static_cast<int>(traced.size()),
                                  traced.data());

    HRESULT result = E_FAIL;
    QORHttpHeapText body;
    std::string url;
    try {
        url = casUrl;
        if (url.back() != '/') url += '/';
        url += kEndpoint;

        QORHttpDirectFacade facade(QORHTTP_DEFAULT_USER_AGENT, 1, 1);
        for (const std::uint32_t option :
             {QORHTTP_OPTION_RECEIVE_TIMEOUT, QORHTTP_OPTION_SEND_TIMEOUT, QORHTTP_OPTION_CONNECT_TIMEOUT}) {
            facade.SetOptions(option, &kTimeoutMs, sizeof kTimeoutMs);
        }
        facade.AddRequestHeaders("Accept: application/json\r\n", 0x40000000);
        std::uint64_t length = 0;
        const HRESULT request = facade.GetWithBody(url.c_str(), kKeepConnectionNoRedirect, body.Put(), &length,
                                                   nullptr);
        if (request >= 0) {
            QORHttpHeapText status;
            std::uint32_t statusLength = 0;
            std::uint32_t index = 0;
            if (facade.GetResponseHeaders(status.Put(), &statusLength, &index, kStatusCodeQuery, nullptr) >= 0 &&
                status.Get() != nullptr && std::strcmp(status.Get(), "200") == 0) {
                ZYNSysTraceClient::InfoPrintf(trace, "CheckIfCASValid CAS IS VALID");
                const std::string_view text =
                    body.Get() != nullptr ? std::string_view(body.Get(), std::strlen(body.Get())) : std::string_view();
                const std::string_view userName = MemberValue(text.substr(0, length), "username");
                const std::string_view email = MemberValue(text.substr(0, length), "email");
                if (outUserName != nullptr && userName.data() != nullptr) *outUserName = Copy(userName);
                if (outEmail != nullptr && email.data() != nullptr) *outEmail = Copy(email);
                result = 0;
            }
        }
    } catch (...) {
        result = E_FAIL;
    }

    QORHttpHeapText cookies;
    if (url.empty() || FAILED(QORSysGetCookie(url.c_str(), nullptr, cookies.Put(), 0)) ||
        cookies.Get() == nullptr || std::strstr(cookies.Get(), "CASTGC") == nullptr) {
        result = kNoTicketCookie;
    }
    if (keepBody == 1 && outBody != nullptr) *outBody = body.Take();
    return result;
}
