#pragma once
// What the WinINet driver's tests share: a prompt that answers from a script (the real one
// would show a dialog that nobody clicks), drivers with bounded time-outs, a streamed body and
// files served by the local test server.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>

#include "QORHttpPrompt.h"
#include "QORHttpWDriver.h"

class ScriptedPrompt final : public QORHttpPrompt {
public:
    explicit ScriptedPrompt(DWORD answer) : answer_(answer) {}
    DWORD Ask(HINTERNET, DWORD error, HWND owner) override {
        ++asked;
        lastError = error;
        lastOwner = owner;
        // A prompt broken into asking for ever still lets the request end.
        return asked > 50 ? ERROR_CANCELLED : answer_;
    }
    void Answer(DWORD answer) { answer_ = answer; }
    int asked = 0;
    DWORD lastError = 0;
    HWND lastOwner = nullptr;

private:
    DWORD answer_;
};

// Every test bounds its requests: the drivers' own defaults are hours.
inline void BoundTimeOuts(QORHttpWDriver& driver, std::uint32_t receiveMs = 10000) {
    const std::uint32_t sendMs = 10000;
    const std::uint32_t connectMs = 5000;
    driver.SetOptions(QORHTTP_OPTION_RECEIVE_TIMEOUT, &receiveMs, 4);
    driver.SetOptions(QORHTTP_OPTION_SEND_TIMEOUT, &sendMs, 4);
    driver.SetOptions(QORHTTP_OPTION_CONNECT_TIMEOUT, &connectMs, 4);
}

inline std::unique_ptr<QORHttpWDriver> MakeDriver(const char* userAgent, std::uint32_t receiveMs = 10000) {
    auto driver = std::make_unique<QORHttpWDriver>(userAgent, 1, 1);
    BoundTimeOuts(*driver, receiveMs);
    return driver;
}

// The body of a request, handed out in one piece, as often as the driver rewinds.
class PieceStreamer final : public QORHttpStreamer {
public:
    PieceStreamer(std::string body, std::uint32_t chunked) : body_(std::move(body)), chunked_(chunked) {}
    HRESULT GetSize(std::uint64_t* outTotal, std::uint32_t* outChunked) override {
        *outTotal = body_.size();
        *outChunked = chunked_;
        return 0;
    }
    HRESULT GetNext(const char** outData, std::uint32_t* outLength, std::uint32_t* outState) override {
        *outData = body_.data();
        *outLength = static_cast<std::uint32_t>(body_.size());
        *outState = kDone;
        return 0;
    }
    HRESULT Rewind() override { return 0; }

private:
    std::string body_;
    std::uint32_t chunked_;
};

// A body handed out by a driver, freed at the end of the scope.
struct Body {
    char* text = nullptr;
    std::uint64_t length = 0;
    ~Body() { std::free(text); }
    std::string Text() const { return text ? std::string(text, length) : std::string(); }
};

inline std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return bytes;
}

inline void WriteFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out << bytes;
}
