#include "ZYNSysTraceManager.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ZYNSysPath.h"
#include "ZYNSysStdioFile.h"
#include "ZYNSysTraceClient.h"
#include "ZYNSysTraceOptions.h"
#include "ZYNSysTraceOutput.h"
#include "ZYNSysWin.h"

struct ZYNSysTraceManager::Retired {
    ZYNSysTraceClient* client;
    Retired* next;
};

namespace {

std::atomic<ZYNSysTraceManager*> g_manager{nullptr};

void CloseTraceAtExit() {
    ZYNSysTraceManager* manager = g_manager.load();
    if (manager != nullptr) manager->Shutdown();
}

bool IsSeparator(char c) { return c == ' ' || c == ',' || c == ';' || c == ':' || c == '|'; }

bool StartsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (std::tolower(static_cast<unsigned char>(*text)) != std::tolower(static_cast<unsigned char>(*prefix)))
            return false;
    }
    return true;
}

bool StartsWithNoCaseW(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix != L'\0'; ++text, ++prefix) {
        if (std::towlower(*text) != std::towlower(*prefix)) return false;
    }
    return true;
}

// Number after a two-character option such as "-m4096"; 0 when there is none.
long OptionNumber(const std::string& token) { return std::strtol(token.c_str() + 2, nullptr, 10); }

// Lists the option-file folder, calling back with each entry's full path and leaf. A path
// failure here is traced on "ZYNSysPath", which binds to what is declared so far.
template <typename Visit>
void ListOptionFolder(const char* folder, Visit visit) {
    ZYNSysPath directory;
    if (directory.BuildFromUTF8(folder) != 0) return;
    ZYNSysDirIterator entry;
    HRESULT result = 0;
    directory.ListDirectory(entry, &result);
    for (; entry.State() == 0; entry.Next()) {
        ZYNSysPath path;
        ZYNSysPath leaf;
        if (entry.GetCurrent(path) != 0 || path.Text() == nullptr) continue;
        path.GetLeaf(leaf);
        if (leaf.Text() == nullptr) continue;
        visit(std::wstring(path.Text()), leaf.Text());
    }
}

}  // namespace

ZYNSysTraceManager* ZYNSysTraceManager::Instance() {
    ZYNSysTraceManager* manager = g_manager.load(std::memory_order_acquire);
    if (manager != nullptr) return manager;
    ZYNSysTraceManager* made = new (std::nothrow) ZYNSysTraceManager();
    if (made == nullptr) return nullptr;
    ZYNSysTraceManager* expected = nullptr;
    if (!g_manager.compare_exchange_strong(expected, made)) {
        delete made;
        return expected;
    }
    // The outputs close at exit, under the mutex, so that empty files and folders go.
    std::atexit(&CloseTraceAtExit);
    return made;
}

ZYNSysTraceManager::ZYNSysTraceManager() : mutex_(0, 1) {}

ZYNSysTraceManager::~ZYNSysTraceManager() { Shutdown(); }

ZYNSysTraceOutput* ZYNSysTraceManager::FindOutput(const char* output) {
    for (int i = kSlots - 1; i >= 0; --i) {
        if (slots_[i] && std::strcmp(slots_[i]->Name(), output) == 0) return slots_[i].get();
    }
    return nullptr;
}

int ZYNSysTraceManager::Declare(const char* output, const char* traceName) {
    if (output == nullptr || *output == '\0') return -1;
    Hold hold(*this);
    int result = -1;
    ZYNSysTraceOutput* target = FindOutput(output);
    bool taken = false;
    if (traceName != nullptr) {
        for (int i = kSlots - 1; i >= 0; --i) {
            if (slots_[i] && slots_[i].get() != target && slots_[i]->FindName(traceName) != nullptr) taken = true;
        }
    }
    if (!taken) {
        if (target == nullptr && std::strlen(output) <= 63) {
            for (int i = kSlots - 1; i >= 0; --i) {
                if (slots_[i]) continue;
                slots_[i].reset(new (std::nothrow) ZYNSysTraceOutput(output, this));
                if (slots_[i]) {
                    target = slots_[i].get();
                    ++slotCount_;
                }
                break;
            }
        }
        if (target != nullptr) result = traceName == nullptr ? 0 : target->AddName(traceName);
    }
    return result;
}

int ZYNSysTraceManager::SetOption(const char* output, int number, long value) {
    if (output == nullptr) return -1;
    Hold hold(*this);
    ZYNSysTraceOutput* target = FindOutput(output);
    int result = 0;
    if (target == nullptr) {
        result = -1;
    } else {
        switch (number) {
            case 4: target->active_ = value != 0; break;
            case 8: target->upper_ = static_cast<std::int32_t>(value < 1024 ? value : 1024); break;
            case 9: target->lower_ = static_cast<std::int32_t>(value > 0 ? value : 0); break;
            case 10:
                if (value == 0) {
                    result = -1;
                } else if (target->ringSize_ == 0) {
                    target->ringSize_ = static_cast<std::uint32_t>(
                        value < 0 || value > static_cast<long>(ZYNSysTraceOutput::kMaxRing) ? ZYNSysTraceOutput::kMaxRing
                                                                                             : value);
                }
                break;
            case 11: target->enabled_ = value != 0; break;
            case 12: target->localTime_ = value != 0; break;
            case 13: target->rotateSize_ = value > 0 ? static_cast<std::uint32_t>(value) : 0; break;
            case 14: target->rotateCount_ = value > 0 ? static_cast<std::uint32_t>(value) : 0; break;
            default: break;
        }
    }
    return result;
}

int ZYNSysTraceManager::ParseOptionElement(const char* element) {
    if (element == nullptr) return -1;
    std::string line;
    try {
        line = std::string("_ ") + element;
    } catch (...) {
        return -1;
    }
    char** argv = nullptr;
    int argc = 0;
    if (SplitCommandLine(line.c_str(), &argv, &argc) != 0) return -1;
    ZYNSysOption longTable[] = {
        {"name", true, false, 0, nullptr},
        {"file", true, true, 0, nullptr},
        {"local-time", false, false, 0, nullptr},
        {"rotate-file-count", true, true, 0, nullptr},
        {"rotate-file-size", true, true, 0, nullptr},
    };
    ZYNSysOption shortTable[] = {
        {"o", false, false, 0, nullptr},
        {"e", false, false, 0, nullptr},
        {"n", false, false, 0, nullptr},
    };
    int bad = 0;
    int result = -1;
    if (ParseOptions(argc, argv, longTable, 5, shortTable, 3, &bad) == 0 && longTable[0].count > 1) {
        const char* output = shortTable[0].count ? "STDOUT" : shortTable[1].count ? "STDERR"
                             : longTable[1].count > 1                      ? *longTable[1].value
                                                                           : nullptr;
        if (output != nullptr && Declare(output, nullptr) == 0) {
            result = 0;
            for (int i = 0; i < longTable[0].count - 1; ++i) {
                if (Declare(output, longTable[0].value[i]) != 0) result = -1;
            }
            if (longTable[2].count) SetOption(output, 12, 1);
            if (shortTable[2].count) SetOption(output, 4, 0);
            if (longTable[3].count > 1) {
                const long count = std::strtol(*longTable[3].value, nullptr, 10);
                if (count > 0) SetOption(output, 14, count);
            }
            if (longTable[4].count > 1) {
                const long size = std::strtol(*longTable[4].value, nullptr, 10);
                if (size > 0) SetOption(output, 13, size);
            }
        }
    }
    FreeArgv(argv, argc);
    return result;
}

int ZYNSysTraceManager::ParseShortElement(const char* element) {
    if (element == nullptr) return -1;
    try {
        const std::string text(element);
        std::vector<std::pair<std::size_t, std::string>> tokens;  // start and text
        for (std::size_t i = 0; i < text.size();) {
            while (i < text.size() && IsSeparator(text[i])) ++i;
            const std::size_t start = i;
            while (i < text.size() && !IsSeparator(text[i])) ++i;
            if (i > start) tokens.emplace_back(start, text.substr(start, i - start));
        }
        // The output is the earliest token that names one: "-o" inside a name such as
        // "anne-odile" names nothing.
        std::string output;
        for (const auto& token : tokens) {
            const char* t = token.second.c_str();
            if (StartsWithNoCase(t, "-o")) {
                output = "STDOUT";
            } else if (StartsWithNoCase(t, "-e")) {
                output = "STDERR";
            } else if ((StartsWithNoCase(t, "-f") || StartsWithNoCase(t, "-s")) && token.second.size() > 2) {
                const std::size_t from = token.first + 2;
                std::size_t end = from;
                while (end < text.size() && text[end] != ' ' && text[end] != '\t' && end - from < 63) ++end;
                output = text.substr(from, end - from);
            }
            if (!output.empty()) break;
        }
        if (output.empty() || Declare(output.c_str(), nullptr) != 0) return -1;
        int result = 0;
        for (const auto& token : tokens) {
            const std::string& t = token.second;
            if (t[0] != '-') {
                if (Declare(output.c_str(), t.c_str()) != 0) result = -1;
            } else if (StartsWithNoCase(t.c_str(), "--local-time") && t.size() == 12) {
                SetOption(output.c_str(), 12, 1);
            } else if (t.size() == 2 && StartsWithNoCase(t.c_str(), "-n")) {
                SetOption(output.c_str(), 4, 0);
            } else if (t.size() > 2 && StartsWithNoCase(t.c_str(), "-i")) {
                const long n = OptionNumber(t);
                if (n != 0 && SetOption(output.c_str(), 9, n) != 0) result = -1;
            } else if (t.size() > 2 && StartsWithNoCase(t.c_str(), "-l")) {
                const long n = OptionNumber(t);
                if (n != 0 && SetOption(output.c_str(), 8, n) != 0) result = -1;
            } else if (t.size() > 2 && StartsWithNoCase(t.c_str(), "-m")) {
                const long n = OptionNumber(t);
                if (n != 0 && SetOption(output.c_str(), 10, n) != 0) result = -1;
            }
        }
        return result;
    } catch (...) {
        return -1;
    }
}

int ZYNSysTraceManager::ReadOptionFile(const wchar_t* path) {
    ZYNSysStdioFile file(::_wfopen(path, L"rbN"));
    if (!file) return -1;
    char line[512];
    while (std::fgets(line, sizeof line, file.Get()) != nullptr) {
        // One LF and one CR go: a last line without an end keeps its last character, and a
        // CRLF line names no file ending in CR.
        std::size_t length = std::strlen(line);
        if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
        if (length > 0 && line[length - 1] == '\r') line[--length] = '\0';
        ParseShortElement(line);
    }
    return 0;
}

int ZYNSysTraceManager::ScanOptionFiles(const char* folder) {
    if (folder == nullptr || *folder == '\0') return 0;
    try {
        ListOptionFolder(folder, [this](const std::wstring& path, const wchar_t* leaf) {
            if (!StartsWithNoCaseW(leaf, L"OPFILE.") && !StartsWithNoCaseW(leaf, L".option")) return;
            const wchar_t last = path.back();
            if (last < L'1' || last > L'9') return;
            ReadOptionFile(path.c_str());
        });
    } catch (...) {
        return -1;
    }
    return 0;
}

int ZYNSysTraceManager::OpenOutputs() {
    int result = 0;
    for (int i = kSlots - 1; i >= 0; --i) {
        if (!slots_[i] || slots_[i]->opened_) continue;
        int opened = -1;
        try {
            opened = slots_[i]->Open();
        } catch (...) {
            opened = -1;
        }
        if (opened == 0) {
            slots_[i]->opened_ = true;
        } else {
            result = -1;
        }
    }
    return result;
}

void ZYNSysTraceManager::Init() {
    Hold hold(*this);
    if (initialised_) return;
    // Set before anything is read: a trace made while the option files are listed binds to
    // what is declared so far instead of starting over.
    initialised_ = true;
    Declare("STDOUT_COMMON", "COMMON");
    char value[512];
    const DWORD length = ::GetEnvironmentVariableA("ZYNSysTrace", value, sizeof value);
    bool allRead = false;
    if (length > 0 && length < sizeof value) {
        allRead = true;
        char* context = nullptr;
        for (char* element = strtok_r(value, ",;:|", &context); element != nullptr;
             element = strtok_r(nullptr, ",;:|", &context)) {
            if (ParseOptionElement(element) != 0 && ParseShortElement(element) != 0) {
                allRead = false;
                break;
            }
        }
    }
    if (!allRead) {
        const DWORD folderLength = ::GetEnvironmentVariableA("QORTraDecDir", pathBuffer_, sizeof pathBuffer_);
        if (folderLength == 0 || folderLength >= sizeof pathBuffer_) std::strcpy(pathBuffer_, "\\");
        StripTrailingSeparator(pathBuffer_);
        ScanOptionFiles(pathBuffer_);
    }
    OpenOutputs();
}

ZYNSysTraceOutput* ZYNSysTraceManager::Find(const char* traceName, const char** storedName) {
    for (int i = kSlots - 1; i >= 0; --i) {
        if (!slots_[i]) continue;
        const char* stored = slots_[i]->FindName(traceName);
        if (stored != nullptr) {
            if (storedName != nullptr) *storedName = stored;
            return slots_[i].get();
        }
    }
    return nullptr;
}

int ZYNSysTraceManager::ProcessFolder(bool localTime, std::wstring& folder) {
    Hold hold(*this);
    if (!processFolderTried_) {
        processFolderTried_ = true;
        MakeTraceProcessFolder(localTime, processFolder_);
    }
    if (processFolder_.empty()) return -1;
    folder = processFolder_;
    return 0;
}

void ZYNSysTraceManager::Retire(ZYNSysTraceClient* client) {
    if (client == nullptr) return;
    Retired* entry = new (std::nothrow) Retired{client, nullptr};
    Hold hold(*this);
    if (entry != nullptr) {
        entry->next = retired_;
        retired_ = entry;
    }
    // Without room to remember it, the client is left alive: leaking beats freeing it under
    // a thread that may still write through it.
}

void ZYNSysTraceManager::Shutdown() {
    Hold hold(*this);
    for (int i = kSlots - 1; i >= 0; --i) {
        if (slots_[i]) slots_[i]->Close();
    }
    // Retired clients are not freed: other threads may still be tracing through them while
    // exit runs. Only the list goes.
    while (retired_ != nullptr) {
        Retired* entry = retired_;
        retired_ = entry->next;
        delete entry;
    }
}
