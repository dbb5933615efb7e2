#pragma once
// The flex-generated JSON scanner.

#include <istream>
#include <string>

#if !defined(yyFlexLexerOnce)
#include <FlexLexer.h>
#endif

#include "JsonParser.h"

namespace JSON {

class Scanner : public yyFlexLexer {
public:
    explicit Scanner(std::istream* in) : yyFlexLexer(in, nullptr) {}

    // The next token code; NUMBER stores its text in *value, STRING its unescaped bytes.
    int yylex(Parser::semantic_type* value);

    // Flex's fatal conditions end the parse, never the process.
    void LexerError(const char* message) override;

private:
    using yyFlexLexer::yylex;
    std::string buffer_;  // the string being read
};

}  // namespace JSON
