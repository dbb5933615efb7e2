#include "PathName.h"

#include <climits>

namespace {

bool IsAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// False when the text has no UTF-8 form (a lone surrogate).
bool ToUtf8Text(const SharedWString& wide, std::string& out) {
    out.clear();
    std::int32_t length = wide.GetLength();
    if (length == 0) return true;
    if (length > (INT32_MAX - 1) / 4) return false;
    std::string buffer(static_cast<std::size_t>(length) * 4 + 1, '\0');
    std::int32_t size = static_cast<std::int32_t>(buffer.size());
    if (SharedWString::ToUtf8(wide, buffer.data(), size) != 0) return false;
    buffer.resize(static_cast<std::size_t>(size));
    out = std::move(buffer);
    return true;
}

}  // namespace

PathName::PathName(std::string text) : text_(std::move(text)) {
    Normalize(text_);
    DetectRoot();
}

PathName::PathName(const SharedWString& text) {
    if (ToUtf8Text(text, text_)) {
        Normalize(text_);
        DetectRoot();
    } else {
        text_.clear();
    }
}

void PathName::Normalize(std::string& text) {
    for (char& c : text) {
        if (c == '/') c = '\\';
    }
    // A doubled separator collapses except at index 0, so a network path keeps its two.
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && out >= 2 && text[out - 1] == '\\') continue;
        text[out++] = text[i];
    }
    text.resize(out);
    while (!text.empty() && text.back() == '\\') text.pop_back();
}

void PathName::DetectRoot() {
    rootEnd_ = -1;
    const std::size_t length = text_.size();
    if (length < 2) return;
    if (text_[1] == ':') {
        if (IsAsciiLetter(text_[0])) {
            rootEnd_ = 1;
        } else {
            text_.clear();
        }
        return;
    }
    if (text_[0] == '\\' && text_[1] == '\\') {
        std::size_t shareStart = text_.find('\\', 2);
        if (shareStart == std::string::npos || shareStart + 1 == length) {
            text_.clear();
            return;
        }
        std::size_t after = text_.find('\\', shareStart + 1);
        rootEnd_ = after == std::string::npos ? static_cast<std::int64_t>(length) - 1
                                              : static_cast<std::int64_t>(after) - 1;
    }
}

void PathName::Append(std::string_view component) {
    if (text_.empty()) {
        // Onto nothing the component stands alone: "\component" would name the drive's root.
        *this = PathName(std::string(component));
        return;
    }
    text_.push_back('\\');
    text_.append(component);
    Normalize(text_);
}

PathName PathName::Append(const SharedWString& component) const {
    std::string bytes;
    // A component without a UTF-8 form gives nothing rather than this path itself.
    if (!ToUtf8Text(component, bytes)) return PathName();
    PathName result(*this);
    result.Append(bytes);
    return result;
}

PathName PathName::Combine(const PathName& other) const {
    if (other.rootEnd_ >= 0) return other;
    if (other.IsEmpty()) return *this;
    PathName result(*this);
    result.Append(other.text_);
    return result;
}

PathName PathName::GetParent() const {
    std::size_t at = text_.rfind('\\');
    if (at == std::string::npos || static_cast<std::int64_t>(at) < rootEnd_) return PathName();
    return PathName(text_.substr(0, at));
}

SharedWString PathName::ToWide() const {
    SharedWString wide;
    if (SharedWString::FromUtf8(text_.data(), static_cast<std::int32_t>(text_.size()), wide) != 0) wide.Empty();
    return wide;
}

std::int64_t PathName::FindChar(char c, std::int64_t start) const {
    if (start < 0 || start >= static_cast<std::int64_t>(text_.size())) return -1;
    std::size_t at = text_.find(c, static_cast<std::size_t>(start));
    return at == std::string::npos ? -1 : static_cast<std::int64_t>(at);
}
