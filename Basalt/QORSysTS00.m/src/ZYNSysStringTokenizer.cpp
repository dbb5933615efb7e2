#include "ZYNSysStringTokenizer.h"

#include <cwchar>

namespace {

bool IsDelimiter(wchar_t unit, const wchar_t* delimiters) {
    return delimiters && unit != L'\0' && std::wcschr(delimiters, unit) != nullptr;
}

}  // namespace

ZYNSysStringTokenizer::ZYNSysStringTokenizer(const QORInterUnicodeString& text, bool oneAtATime)
    : m_text(text), m_oneAtATime(oneAtATime) {}

ZYNSysStringTokenizer::~ZYNSysStringTokenizer() = default;

void ZYNSysStringTokenizer::Next(QORInterUnicodeString& token, const wchar_t* delimiters, bool& found) {
    token = QORInterUnicodeString();
    found = false;
    // The text is read in UTF-16 so that the settings can split paths while no converter exists.
    const wchar_t* units = m_text.CastToWCharStar();
    const std::int64_t length = units ? static_cast<std::int64_t>(std::wcslen(units)) : 0;
    if (m_index >= length) return;
    if (m_oneAtATime) {
        if (IsDelimiter(units[m_index], delimiters)) ++m_index;
    } else {
        while (m_index < length && IsDelimiter(units[m_index], delimiters)) ++m_index;
    }
    if (m_index >= length) return;
    const std::int64_t start = m_index;
    while (m_index < length && !IsDelimiter(units[m_index], delimiters)) ++m_index;
    if (m_index > start) token.BuildFromWideN(units + start, m_index - start);
    found = true;
}
