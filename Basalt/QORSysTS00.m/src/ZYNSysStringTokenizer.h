#pragma once
// Splits a string at delimiter units, one token per call.

#include <cstdint>

#include "QORInterUnicodeString.h"

class ZYNSysStringTokenizer {
public:
    // oneAtATime: consecutive delimiters give empty tokens between them.
    ZYNSysStringTokenizer(const QORInterUnicodeString& text, bool oneAtATime);
    virtual ~ZYNSysStringTokenizer();
    ZYNSysStringTokenizer(const ZYNSysStringTokenizer&) = delete;
    ZYNSysStringTokenizer& operator=(const ZYNSysStringTokenizer&) = delete;

    // delimiters: a set of UTF-16 units; null or empty makes the rest of the text one token.
    // found is false (and token empty) once the text is used up.
    void Next(QORInterUnicodeString& token, const wchar_t* delimiters, bool& found);

    std::int64_t GetIndex() const { return m_index; }

private:
    QORInterUnicodeString m_text;
    std::int64_t m_index = 0;
    bool m_oneAtATime;
};
