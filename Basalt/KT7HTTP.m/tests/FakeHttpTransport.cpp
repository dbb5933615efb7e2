#include "FakeHttpTransport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr HRESULT kNotFound = static_cast<HRESULT>(0x80072F76);  // ERROR_HTTP_HEADER_NOT_FOUND
constexpr HRESULT kNoRequest = static_cast<HRESULT>(0x80072F83);
constexpr HRESULT kNoAnswer = static_cast<HRESULT>(0x80072EFE);  // the connection was aborted

bool SameName(const std::string& line, const std::string& name) {
    return line.size() > name.size() && line[name.size()] == ':' && _strnicmp(line.c_str(), name.c_str(), name.size()) == 0;
}

// The values of every header of that name, in order.
std::vector<std::string> Values(const std::string& head, const std::string& name) {
    std::vector<std::string> values;
    std::size_t at = head.find("\r\n");
    while (at != std::string::npos && at + 2 < head.size()) {
        const std::size_t start = at + 2;
        const std::size_t end = head.find("\r\n", start);
        const std::string line = head.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (SameName(line, name)) {
            std::size_t value = name.size() + 1;
            while (value < line.size() && line[value] == ' ') ++value;
            values.push_back(line.substr(value));
        }
        at = end;
    }
    return values;
}

char* Copy(const std::string& text) {
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

}  // namespace

FakeHttpTransport::FakeHttpTransport(std::vector<Answer> answers, char type, const char* userAgent)
    : QORHttpDriver(userAgent, 1, 1), answers_(std::move(answers)), type_(type) {}

void FakeHttpTransport::Script(std::vector<Answer> answers) {
    answers_ = std::move(answers);
    nextAnswer_ = 0;
}

FakeHttpTransport::Answer FakeHttpTransport::Ok(const std::string& body, const std::string& extraHeaders) {
    Answer answer;
    answer.head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n";
    answer.body = body;
    return answer;
}

FakeHttpTransport::Answer FakeHttpTransport::Status(int status, const std::string& extraHeaders,
                                                    const std::string& body) {
    Answer answer;
    answer.head = "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n";
    answer.body = body;
    return answer;
}

HRESULT FakeHttpTransport::Connect(const char*, std::uint32_t, std::uint32_t) { return 0; }
HRESULT FakeHttpTransport::Connection(const char*) { return 0; }
HRESULT FakeHttpTransport::AnalysePath(const char*) { return 0; }

HRESULT FakeHttpTransport::OpenRequest(const char* verb, const char* url, std::uint32_t flags, const char**) {
    downloadState_ = -2;
    Request request;
    request.verb = verb;
    request.url = url;
    request.flags = flags;
    if (pendingHeaders_) request.headers = pendingHeaders_.Get();
    requests.push_back(std::move(request));
    open_ = true;
    answered_ = false;
    return 0;
}

HRESULT FakeHttpTransport::AddRequestHeaders(const char* headers, std::uint32_t flags) {
    if (headers == nullptr) return E_INVALIDARG;
    if (!open_) return AddPendingHeaders(headers, flags);
    requests.back().headers += headers;
    return 0;
}

HRESULT FakeHttpTransport::SendRequest(const char* data, std::uint64_t length, std::uint32_t hasBody) {
    if (!open_) return kNoRequest;
    if (data != nullptr) requests.back().body.append(data, static_cast<std::size_t>(length));
    requests.back().hasBody = hasBody;
    const std::size_t next = std::min(nextAnswer_, answers_.empty() ? 0 : answers_.size() - 1);
    return answers_.empty() ? 0 : answers_[next].sendResult;
}

HRESULT FakeHttpTransport::SendRequest(QORHttpStreamer* streamer, std::uint32_t) {
    if (!open_) return kNoRequest;
    if (streamer == nullptr) return E_INVALIDARG;
    requests.back().streamed = true;
    std::uint64_t total = 0;
    std::uint32_t chunked = 0;
    if (HRESULT result = streamer->GetSize(&total, &chunked); result != 0) return result;
    for (int pieces = 0; pieces < 100000; ++pieces) {
        const char* data = nullptr;
        std::uint32_t length = 0;
        std::uint32_t state = QORHttpStreamer::kDone;
        if (HRESULT result = streamer->GetNext(&data, &length, &state); result != 0) return result;
        if (state == QORHttpStreamer::kError) return E_FAIL;
        if (data != nullptr) requests.back().body.append(data, length);
        if (state != QORHttpStreamer::kMore) return 0;
    }
    return E_FAIL;
}

HRESULT FakeHttpTransport::BeginSendRequest(std::uint32_t, std::uint64_t, std::uint32_t) {
    return open_ ? 0 : kNoRequest;
}

HRESULT FakeHttpTransport::SendRawData(const char* data, std::uint64_t length) {
    if (!open_) return kNoRequest;
    if (data != nullptr) requests.back().body.append(data, static_cast<std::size_t>(length));
    return 0;
}

HRESULT FakeHttpTransport::CloseRequest() {
    if (!open_) return answered_ ? 0 : kNoRequest;
    open_ = false;
    if (nextAnswer_ >= answers_.size()) return kNoAnswer;
    current_ = std::move(answers_[nextAnswer_++]);  // an answer is served once
    answered_ = true;
    read_ = 0;
    reads_ = 0;
    return 0;
}

HRESULT FakeHttpTransport::GetResponseHeaders(char** outText, std::uint32_t* ioLength, std::uint32_t* ioIndex,
                                              std::uint32_t query, const char* customName) {
    if (outText == nullptr || ioLength == nullptr) return E_INVALIDARG;
    *outText = nullptr;
    if (!answered_) return kNoRequest;
    std::string text;
    switch (query) {
        case 22: text = current_.head; break;
        case 19: {
            const std::size_t blank = current_.head.find(' ');
            text = current_.head.substr(blank + 1, 3);
            break;
        }
        case 5:
        case 63:
        case 43:
        case 0xFFFF: {
            const std::string name = query == 5    ? "Content-Length"
                                     : query == 63 ? "Transfer-Encoding"
                                     : query == 43 ? "Set-Cookie"
                                                   : (customName != nullptr ? customName : "");
            const std::vector<std::string> values = Values(current_.head, name);
            const std::uint32_t index = ioIndex != nullptr ? *ioIndex : 0;
            if (index >= values.size()) return kNotFound;
            text = values[index];
            if (ioIndex != nullptr) ++*ioIndex;
            break;
        }
        default: return E_INVALIDARG;
    }
    *outText = Copy(text);
    if (*outText == nullptr) return E_OUTOFMEMORY;
    *ioLength = static_cast<std::uint32_t>(text.size());
    return 0;
}

HRESULT FakeHttpTransport::ResetRequest() {
    ++resetCalls;
    return 0;
}

HRESULT FakeHttpTransport::OnRequestStart() {
    ++startHooks;
    return 0;
}

HRESULT FakeHttpTransport::OnRequestEnd(std::uint32_t ok) {
    endHooks.push_back(ok);
    return 0;
}

HRESULT FakeHttpTransport::CloseConnection() {
    ++closeConnectionCalls;
    return 0;
}

std::uint32_t FakeHttpTransport::NextPiece() const {
    if (current_.pieces.empty()) return 0xFFFFFFFF;
    return current_.pieces[std::min(reads_, current_.pieces.size() - 1)];
}

HRESULT FakeHttpTransport::QXInternetQueryDataAvailable(std::uint32_t* outAvailable) {
    if (outAvailable == nullptr) return E_INVALIDARG;
    if (current_.failAfter >= 0 && read_ >= static_cast<std::uint64_t>(current_.failAfter)) return current_.failure;
    *outAvailable = static_cast<std::uint32_t>(std::min<std::uint64_t>(BodySize() - read_, NextPiece()));
    return 0;
}

HRESULT FakeHttpTransport::QXInternetReadFile(std::uint64_t* ioLength, char* body, std::uint32_t toRead,
                                              std::uint32_t* outRead) {
    if (current_.readFailAfter >= 0 && read_ >= static_cast<std::uint64_t>(current_.readFailAfter)) {
        return current_.failure;
    }
    const std::uint64_t count = std::min<std::uint64_t>({toRead, BodySize() - read_, NextPiece()});
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t at = read_ + i;
        body[*ioLength + i] = at < current_.body.size() ? current_.body[at] : 'x';
    }
    read_ += count;
    ++reads_;
    *ioLength += count;
    *outRead = static_cast<std::uint32_t>(count);
    return 0;
}

HRESULT FakeHttpTransport::Authenticate(const char*, std::uint32_t, const char*) {
    ++authenticateCalls;
    return authenticateResult;
}
