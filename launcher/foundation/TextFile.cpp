#include "TextFile.h"

#include <cstdio>
#include <memory>

#include "ToolBox.h"

bool ReadTextFile(const std::string& path, std::string& content) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(::_wfopen(ToolBox::Utf8ToWide(path).c_str(), L"rbN"),
                                                         &std::fclose);
    if (!file) return false;
    content.clear();
    char block[65536];
    for (std::size_t n; (n = std::fread(block, 1, sizeof block, file.get())) > 0;) content.append(block, n);
    return std::ferror(file.get()) == 0;
}

std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from < content.size()) {
        std::size_t end = content.find('\n', from);
        std::string line = content.substr(from, end == std::string::npos ? std::string::npos : end - from);
        if (end != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        if (end == std::string::npos) break;
        from = end + 1;
    }
    return lines;
}
