#pragma once
// A normalised Windows path held as UTF-8 bytes that knows where its root ends: the
// everyday type for joining folder names and taking parents. It never fails: a malformed
// root gives an empty path.

#include <cstdint>
#include <string>
#include <string_view>

#include "SharedWString.h"

class PathName {
public:
    PathName() = default;
    explicit PathName(std::string text);
    explicit PathName(const SharedWString& text);

    const std::string& GetText() const { return text_; }
    // Index of the root's last character ("X:" or "\\server\share"); -1 when relative.
    std::int64_t GetRootEnd() const { return rootEnd_; }
    bool IsEmpty() const { return text_.empty(); }

    // Adds a separator and the component, then normalises again; the root stays as it was.
    void Append(std::string_view component);
    PathName Append(const SharedWString& component) const;
    // The other path when it is rooted, this one when it is empty, else the two joined.
    PathName Combine(const PathName& other) const;
    // The text before the last separator at or after the root; empty above the root.
    PathName GetParent() const;
    SharedWString ToWide() const;
    // -1 when absent or start lies outside the text.
    std::int64_t FindChar(char c, std::int64_t start) const;

private:
    static void Normalize(std::string& text);
    void DetectRoot();

    std::string text_;
    std::int64_t rootEnd_ = -1;
};
