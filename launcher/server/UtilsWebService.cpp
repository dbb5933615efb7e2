// One exchange with a platform web service for the "CallWS" run action, and the walk through
// the target's redirects that finds the authentication service a CAS ticket is planted on.
// Everything these functions log passes the secret masker: the ticket travels in the cookie
// text and, as a service ticket, in redirect URLs.

#include "ZYNSysWin.h"

#include <wininet.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "Config.h"
#include "Globals.h"
#include "Logger.h"
#include "OrdanaRequestInfo.h"
#include "QORHttpCookie.h"
#include "QORHttpDirectFacade.h"
#include "QORHttpHeapText.h"
#include "ResolutionCache.h"
#include "TicketTurn.h"
#include "ToolBox.h"
#include "Utils.h"

namespace {

constexpr const char* kUserAgent = "Varomet Launcher HTTP client";
constexpr std::uint32_t kTimeoutMilliseconds = 30000;
// The request flags of the call itself, handed to the facade as they stand.
constexpr std::uint32_t kCallFlags = 0x400000;
constexpr std::uint32_t kRawHeadersQuery = 22;
// A cycle longer than a self-redirect (A to B to A) is not seen by the loop check; the bound
// keeps such a walk, and one through stalling servers, from running for ever.
constexpr int kMaxHops = 10;

std::string Masked(std::string_view text) { return ToolBox::MaskSecretsInText(text); }

ResolutionCache& Cache() {
    static ResolutionCache cache;
    return cache;
}

// One GET (empty arg) or one POST of arg as text/plain.
HRESULT Send(QORHttpDirectFacade& facade, const std::string& url, std::uint32_t flags, const std::string& arg,
             QORHttpHeapText& body) {
    std::uint64_t length = 0;
    std::uint32_t keepAlive = 0;
    if (arg.empty()) return facade.GetWithBody(url.c_str(), flags, body.Put(), &length, &keepAlive);
    return facade.PostWithBody(url.c_str(), flags, arg.data(), arg.size(), QORHTTP_CONTENT_TEXT, &keepAlive,
                               body.Put(), &length);
}

std::string TrimBlanks(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; };
    std::size_t begin = 0, end = text.size();
    while (begin < end && blank(text[begin])) ++begin;
    while (end > begin && blank(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

struct HeaderFacts {
    bool identityService = false;
    std::string location;
};

// Only the "Location:" and "X-QX-IAM-VERSION:" lines matter, in their exact case.
HeaderFacts ReadHeaders(const std::string& headers) {
    HeaderFacts facts;
    std::string text;
    text.reserve(headers.size());
    for (char c : headers) {
        if (c != '\r') text.push_back(c);
    }
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + start, end - start);
        if (line.rfind("Location:", 0) == 0) {
            facts.location = TrimBlanks(line.substr(line.find(':') + 1));
        } else if (line.rfind("X-QX-IAM-VERSION:", 0) == 0) {
            facts.identityService = true;
        }
        start = end + 1;
    }
    return facts;
}

// From a plant (its CAS session check included) to the end of its request, a call holds its
// ticket's turn: the jars are process-wide, and a concurrent plant of another ticket would send
// this call under another user's ticket.
TicketTurn& Turns() {
    // Never destroyed: request threads may still call in while the process exits.
    static TicketTurn* const turns = new TicketTurn;
    return *turns;
}

// The cookie on the authentication service's URL; a failure is logged and the call goes on.
void PlantTicket(const std::string& cookieUrl, const std::string& ticket) {
    const std::string cookie = "CASTGC=" + ticket;
    // The ticket is one cookie value: a ';' would give it attributes, a CR or LF another cookie
    // or header line, a NUL would plant only what comes before it. Refused like a failed call,
    // with nothing of the ticket shown.
    if (ticket.find_first_of(std::string_view("\r\n;\0", 4)) != std::string::npos) {
        const std::string api = Config::IsActivated(ConfigOption::MEMORY_CHECK_RUN) ? "{WININET}" : "{QORAPI}";
        Logger::Error("[Utils::CallWebService]" + api + "Fail to set CASTGC cookie for URL {" + Masked(cookieUrl) +
                      "}: CASTGC=***(" + std::to_string(ticket.size()) + ")");
        return;
    }
    bool planted;
    // The memory-check run plants the cookie straight into WinINet's jar.
    if (!Config::IsActivated(ConfigOption::MEMORY_CHECK_RUN)) {
        planted = QORSysSetCookie(cookieUrl.c_str(), cookie.c_str(), 0) >= 0;
        if (!planted) {
            Logger::Error("[Utils::CallWebService]{QORAPI}Fail to set CASTGC cookie for URL {" + Masked(cookieUrl) +
                          "}: " + Masked(cookie));
        }
    } else {
        planted = ::InternetSetCookieA(cookieUrl.c_str(), "CASTGC", ticket.c_str()) != FALSE;
        if (!planted) {
            Logger::ErrorWithSystemError("[Utils::CallWebService]{WININET}Fail to set CASTGC cookie for URL {" +
                                         Masked(cookieUrl) + "}: " + Masked(cookie));
        }
    }
    if (planted) Logger::Internal("[Utils::CallWebService] set cookie(" + Masked(cookieUrl) + ") : " + Masked(cookie));
}

}  // namespace

std::string Utils::ResolveAuthWebserice(QORHttpDirectFacade*& facade, const OrdanaRequestInfo& /*requestInfo*/,
                                        const std::string& url, const std::string& arg) {
    Logger::Internal("[Utils::ResolveAuthWebserice]try to resolve authentication websrevice for this url : " +
                     Masked(url));
    const std::string cached = Cache().Find(url);
    if (!cached.empty()) {
        Logger::Internal("[Utils::ResolveAuthWebserice]the authentication webservice for this url(" + Masked(url) +
                         ") has been already resolved to : " + Masked(cached));
        return cached;
    }
    std::string resolved;
    std::string current = url;
    for (int hop = 0; hop < kMaxHops && facade != nullptr && !G_STOP.load(); ++hop) {
        QORHttpHeapText body;
        const HRESULT result = Send(*facade, current, QORHTTP_FLAG_NO_AUTO_REDIRECT, arg, body);
        if (result < 0) {
            Logger::Internal("[Utils::ResolveAuthWebserice]Post request fail ! ( rc : " +
                             std::to_string(static_cast<std::int32_t>(result)) + " ).");
            break;
        }
        QORHttpHeapText headerBuffer;
        std::uint32_t length = 0, index = 0;
        if (facade->GetResponseHeaders(headerBuffer.Put(), &length, &index, kRawHeadersQuery, nullptr) < 0) {
            Logger::Internal("[Utils::ResolveAuthWebserice]Fail to retrieve header string!");
            break;
        }
        const std::string headers = ToolBox::CStrToString(headerBuffer.Get());
        headerBuffer.Reset();
        Logger::Internal("[Utils::ResolveAuthWebserice]current response header : " + Masked(headers));
        const HeaderFacts facts = ReadHeaders(headers);
        if (facts.identityService) {
            resolved = current.substr(0, current.find('?'));
            Logger::Internal("[Utils::ResolveAuthWebserice] the authentication webservice for url[" + Masked(url) +
                             "] is resolved to : " + Masked(resolved));
            break;
        }
        if (facts.location.empty()) break;
        Logger::Internal("[Utils::ResolveAuthWebserice]Redirected to : " + Masked(facts.location));
        if (facts.location == current) {
            Logger::Internal("[Utils::ResolveAuthWebserice]Infinit redirection loop detected on this URL '" +
                             Masked(facts.location) + "', aborting connection process.");
            break;
        }
        current = facts.location;
    }
    if (resolved.empty()) {
        Logger::Internal("[Utils::ResolveAuthWebserice] Fail to resolve authentification webservice for url[" +
                         Masked(url) + "] !");
        return {};
    }
    Cache().Store(url, resolved);
    return resolved;
}

bool Utils::callWebService(const OrdanaRequestInfo& requestInfo, const std::string& url, const std::string& arg,
                           std::string& response, bool noAuth) {
    Logger::Debug("[Utils::callWebService] try to use this webservice : " + Masked(url) + " with this arg:" +
                  Masked(arg));
    // The web client reads an address only up to a NUL: it would call, or give the ticket to,
    // another one.
    if (ToolBox::HoldsNul(url) || ToolBox::HoldsNul(requestInfo.authWsUrl)) {
        Logger::Error("[Utils::callWebService]an URL holds a NUL character, nothing is called : " + Masked(url));
        return false;
    }
    const auto facade = std::make_unique<QORHttpDirectFacade>(kUserAgent, 1, 1);
    for (const std::uint32_t option :
         {QORHTTP_OPTION_RECEIVE_TIMEOUT, QORHTTP_OPTION_SEND_TIMEOUT, QORHTTP_OPTION_CONNECT_TIMEOUT}) {
        facade->SetOptions(option, &kTimeoutMilliseconds, sizeof kTimeoutMilliseconds);
    }

    TicketTurn::Pass ticketTurn;
    bool failed = false;
    if (!noAuth && requestInfo.initialised && !requestInfo.casTgc.empty()) {
        Logger::Internal("[Utils::callWebService]there is a CASTGC ! on which url do we set it ?");
        std::string cookieUrl = requestInfo.authWsUrl;
        if (cookieUrl.empty()) {
            Logger::Internal("[Utils::callWebService]No default authentication URL. try to find it...");
            QORHttpDirectFacade* borrowed = facade.get();
            cookieUrl = ResolveAuthWebserice(borrowed, requestInfo, url, arg);
        }
        if (!cookieUrl.empty()) {
            Logger::Internal("[Utils::callWebService] try to setup the cookie on the URL : " + Masked(cookieUrl));
            ticketTurn = Turns().Take(requestInfo.casTgc, std::chrono::milliseconds(kTimeoutMilliseconds),
                                      [] { return G_STOP.load(); });
            if (ticketTurn.Held()) {
                ticketTurn.PlantOnce(cookieUrl, [&] { PlantTicket(cookieUrl, requestInfo.casTgc); },
                                     [] { return G_STOP.load(); });
            } else if (!G_STOP.load()) {
                // As a failed cookie step: the call still goes out, with whatever ticket the jars hold.
                Logger::Error("[Utils::callWebService]No turn to set the CASTGC cookie within " +
                              std::to_string(kTimeoutMilliseconds) + " ms: the call is sent without it.");
            }
        }
    }

    Logger::Internal("[Utils::callWebService]{0}try to acces to [" + Masked(url) + "] with argument : [" +
                     Masked(arg) + "]");
    QORHttpHeapText body;
    if (G_STOP.load()) {
        Logger::Debug("[Utils::CallWebService]GLOBAL STOP ORDER ! emergency break !");
        failed = true;
    } else if (!failed) {
        const std::string verb = arg.empty() ? "GET" : "POST";
        Logger::Debug("[Utils::callWebService]try n\xB0[0] to call the webservice with " + verb + " request to : " +
                      Masked(url));
        const HRESULT result = Send(*facade, url, kCallFlags, arg, body);
        const std::string code = std::to_string(static_cast<std::int32_t>(result));
        Logger::Internal("[Utils::callWebService] operation  return code = " + code);
        if (result < 0) {
            Logger::Error("[Utils::callWebService]Post request fail ! ( rc : " + code + " ).");
            failed = true;
        }
    }
    ticketTurn.Release();

    std::string text;
    // A success without a body buffer is no answer: converting the missing buffer would make
    // the text "NULL" the reply's content.
    if (!failed && !G_STOP.load() && body) {
        text = ToolBox::CStrToString(body.Get());
        Logger::Debug("[Utils::callWebService]Call success full :" + Masked(text));
    }
    body.Reset();
    if (text.empty()) {
        Logger::Error("[Utils::callWebService]Fail to access Webservice behind [" + Masked(url) + "] !");
        return false;
    }
    response = std::move(text);
    return true;
}
