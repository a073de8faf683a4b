// Reading the text files of kivhost (scripts, tag files).
#include "base/file_lines.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kivhost {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

struct FileCloser {
    void operator()(std::FILE* file) const { (void)std::fclose(file); }
};

}  // namespace

std::vector<std::string> SplitFileLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t start = content.compare(0, sizeof kByteOrderMark - 1, kByteOrderMark) == 0
                       ? sizeof kByteOrderMark - 1
                       : 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        const size_t next = end == std::string::npos ? content.size() : end + 1;
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string line = content.substr(start, end - start);
        DropLineEnd(line);
        lines.push_back(std::move(line));
        start = next;
    }
    return lines;
}

bool ReadFileLines(const std::string& path, std::vector<std::string>& lines, std::string& error) {
    lines.clear();
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot open '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::string content;
    char buffer[65536];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        content.append(buffer, count);
    }
    if (std::ferror(file.get()) != 0) {
        error = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    lines = SplitFileLines(content);
    return true;
}

void DropLineEnd(std::string& line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
}

}  // namespace kivhost
