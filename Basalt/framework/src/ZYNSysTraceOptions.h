#pragma once
// The small command-line parser behind the trace's long options.

#include <cstddef>

struct ZYNSysOption {
    const char* name;  // long name without "--", or one letter for the short table
    bool takesValues;
    bool oneValue;     // at most one value
    int count;         // 0 absent; 1 for a flag; 1 + the number of values
    char** value;      // the first value
};

// Splits at runs of blanks; quotes group, backslashes before a quote are halved. 0 or -1.
int SplitCommandLine(const char* text, char*** argv, int* argc);
void FreeArgv(char** argv, int argc);
// Matches argv[1..] against the tables. 0, or -1 with the index of the offending argument.
int ParseOptions(int argc, char** argv, ZYNSysOption* longTable, std::size_t longCount,
                 ZYNSysOption* shortTable, std::size_t shortCount, int* badIndex);
char* DupString(const char* text);
void FreeStringArray(char** strings);
void StripTrailingSeparator(char* path);
// Appends src to dst within size bytes (terminator included); the new end.
char* AppendBounded(char* dst, std::size_t size, const char* src);
