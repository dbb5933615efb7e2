#include "ZYNSysTraceOptions.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

char* DupString(const char* text) {
    if (text == nullptr) return nullptr;
    const std::size_t length = std::strlen(text);
    char* copy = new (std::nothrow) char[length + 1];
    if (copy != nullptr) std::memcpy(copy, text, length + 1);
    return copy;
}

void FreeStringArray(char** strings) {
    if (strings == nullptr) return;
    for (char** s = strings; *s != nullptr; ++s) delete[] *s;
    delete[] strings;
}

void FreeArgv(char** argv, int argc) {
    if (argv == nullptr) return;
    for (int i = 0; i < argc; ++i) delete[] argv[i];
    delete[] argv;
}

void StripTrailingSeparator(char* path) {
    if (path == nullptr) return;
    const std::size_t length = std::strlen(path);
    if (length > 0 && (path[length - 1] == '\\' || path[length - 1] == '/')) path[length - 1] = '\0';
}

char* AppendBounded(char* dst, std::size_t size, const char* src) {
    if (dst == nullptr || size == 0) return dst;
    std::size_t used = strnlen(dst, size);
    if (used == size) return dst + size - 1;
    while (src != nullptr && *src != '\0' && used + 1 < size) dst[used++] = *src++;
    dst[used] = '\0';
    return dst + used;
}

int SplitCommandLine(const char* text, char*** argvOut, int* argcOut) {
    if (text == nullptr || argvOut == nullptr || argcOut == nullptr) return -1;
    *argvOut = nullptr;
    *argcOut = 0;
    try {
        std::vector<std::string> arguments;
        const char* p = text;
        for (;;) {
            while (*p == ' ' || *p == '\t') ++p;
            if (*p == '\0') break;
            std::string argument;
            bool quoted = false;
            while (*p != '\0' && (quoted || (*p != ' ' && *p != '\t'))) {
                if (*p == '\\') {
                    std::size_t run = 0;
                    while (*p == '\\') {
                        ++run;
                        ++p;
                    }
                    if (*p == '"') {
                        argument.append(run / 2, '\\');
                        if (run % 2 == 1) {
                            argument += '"';
                            ++p;
                        }
                    } else {
                        argument.append(run, '\\');
                    }
                } else if (*p == '"') {
                    quoted = !quoted;
                    ++p;
                } else {
                    argument += *p++;
                }
            }
            arguments.push_back(std::move(argument));
        }
        char** argv = new char*[arguments.size() + 1]();
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            argv[i] = DupString(arguments[i].c_str());
            if (argv[i] == nullptr) {
                FreeArgv(argv, static_cast<int>(i));
                return -1;
            }
        }
        *argvOut = argv;
        *argcOut = static_cast<int>(arguments.size());
        return 0;
    } catch (...) {
        return -1;
    }
}

int ParseOptions(int argc, char** argv, ZYNSysOption* longTable, std::size_t longCount,
                 ZYNSysOption* shortTable, std::size_t shortCount, int* badIndex) {
    ZYNSysOption* open = nullptr;  // the value option collecting arguments
    auto fail = [badIndex](int index) {
        if (badIndex != nullptr) *badIndex = index;
        return -1;
    };
    auto start = [&](ZYNSysOption* option) {
        if (option->count != 0) return false;
        if (open != nullptr && open->count == 1) return false;  // still waiting for its value
        option->count = 1;
        open = option->takesValues ? option : nullptr;
        return true;
    };
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const bool isOption = argument[0] == '-' && argument[1] != '\0' &&
                              !std::isdigit(static_cast<unsigned char>(argument[1]));
        if (!isOption) {
            if (open == nullptr || (open->oneValue && open->count > 1)) return fail(i);
            if (open->count == 1) open->value = &argv[i];
            ++open->count;
            continue;
        }
        if (argument[1] == '-') {
            ZYNSysOption* found = nullptr;
            for (std::size_t k = 0; k < longCount; ++k) {
                if (std::strcmp(longTable[k].name, argument + 2) == 0) found = &longTable[k];
            }
            if (found == nullptr || !start(found)) return fail(i);
            continue;
        }
        for (const char* letter = argument + 1; *letter != '\0'; ++letter) {
            ZYNSysOption* found = nullptr;
            for (std::size_t k = 0; k < shortCount; ++k) {
                if (shortTable[k].name[0] == *letter && shortTable[k].name[1] == '\0') found = &shortTable[k];
            }
            if (found == nullptr || !start(found)) return fail(i);
        }
    }
    return 0;
}
