// The download file: which lines become frames, the frames with fresh checksums, refused lines
// with their log lines, and CR LF files read like LF files.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "host_fixture.h"
#include "instance/driver_instance.h"
#include "reference_crc.h"
#include "work_dir_fixture.h"
#include "write/download_file.h"

namespace {

using kiv::DownloadFile;
using kivtest::LogLine;
using kivtest::LogLines;

// What Next gives for one line: a frame built from 'text', or a refusal with the log line
// 'text'.
struct Step {
    size_t line;
    bool frame;
    std::string text;
    bool operator==(const Step& other) const = default;
};

void PrintTo(const Step& step, std::ostream* out) {
    *out << "{line " << step.line << (step.frame ? ", frame " : ", refused ") << "\"" << step.text
         << "\"}";
}

Step Frame(size_t line, const std::string& text) {
    return {line, true, text};
}
Step Refused(size_t line, const std::string& reason) {
    return {line, false, "RIRODI: DownLoadFromFile() line " + std::to_string(line) + " " + reason};
}

// The frame the controllers expect for a frame text.
std::string Framed(const std::string& text) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04X", kivtest::ReferenceCrc16(text));
    return "\n" + text + digits + "\r";
}

std::string WithCrLf(const std::string& file) {
    std::string out;
    for (const char c : file) {
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

class DownloadFileTest : public kivtest::WorkDirFixture {
protected:
    // Every line Next reports, with the frame text recovered from each frame (and checked to be
    // framed as the controllers expect); the line count is taken after the first line.
    static std::vector<Step> ReadAll(const std::string& file, size_t& counted) {
        WriteFile("zezDSetup01.dat", file);
        std::optional<DownloadFile> download = DownloadFile::Open(1);
        EXPECT_TRUE(download.has_value());
        std::vector<Step> steps;
        counted = 0;
        if (!download) {
            return steps;
        }
        char frame[kiv::kFrameBufferSize];
        for (;;) {
            size_t length = 0;
            qorClearLog();
            const DownloadFile::NextResult result = download->Next(frame, length);
            if (result == DownloadFile::NextResult::kEnd) {
                break;
            }
            if (result == DownloadFile::NextResult::kFrame) {
                EXPECT_LE(length, kiv::kFrameCapacity - 1);
                EXPECT_EQ(frame[length], '\0');
                const std::string bytes(frame, length);
                const std::string text = bytes.substr(1, bytes.size() > 6 ? bytes.size() - 6 : 0);
                EXPECT_EQ(bytes, Framed(text));
                EXPECT_TRUE(LogLines().empty());
                steps.push_back(Frame(download->LineNumber(), text));
            } else {
                const std::vector<LogLine> lines = LogLines();
                EXPECT_EQ(lines.size(), 1U);
                steps.push_back(
                    {download->LineNumber(), false, lines.empty() ? "" : lines[0].text});
                EXPECT_EQ(lines.empty() ? 0 : lines[0].level, 32);
            }
            if (steps.size() == 1) {
                counted = download->CountFrameLines();
            }
        }
        return steps;
    }
};

struct DownloadCase {
    const char* what;
    std::string file;
    std::vector<Step> steps;
};

TEST_F(DownloadFileTest, LinesAndFramesInLfAndCrLfFiles) {
    const std::string header = "CONTENT OF SETUP PARAMETERS.\n";
    const std::string text249 = ";" + std::string(247, 'x') + ";";
    const std::string text250 = ";" + std::string(248, 'x') + ";";
    const std::vector<DownloadCase> cases = {
        {"header only", header, {}},
        {"upload layout: blank lines skipped, old checksums replaced",
         header + "\n;T 0,00:00:00,23:59:59,MTWTFSS----;1A2B\n\n\n;S M,1;FFFF\n",
         {Frame(3, ";T 0,00:00:00,23:59:59,MTWTFSS----;"), Frame(6, ";S M,1;")}},
        {"not upper-cased", ";s m,1;abcd\n", {Frame(1, ";s m,1;")}},
        {"through the last ;", " ;A;B;junk;\r\n", {Frame(1, " ;A;B;junk;")}},
        {"lines of CRs alone", "\r\n\r\r\n;a;\n\r", {Frame(3, ";a;")}},
        {"last line without line end", ";a;\n;b;0000", {Frame(1, ";a;"), Frame(2, ";b;")}},
        {"no ;", "S Q\n;ok;\n", {Refused(1, "has no ';', not sent"), Frame(2, ";ok;")}},
        {"frame text of 249", text249 + "ABCD  \n", {Frame(1, text249)}},
        {"frame text of 250",
         text250 + "\n;ok;\n",
         {Refused(1, "has a frame text longer than 249 characters, not sent"), Frame(2, ";ok;")}},
        {"line of 256, never in pieces",
         text250 + ";tail;\n;ok;\n",
         {Refused(1, "is longer than 255 characters, not sent"), Frame(2, ";ok;")}},
        {"NUL byte",
         std::string(";a\0b;\n;ok;\n", 11),
         {Refused(1, "holds a NUL byte, not sent"), Frame(2, ";ok;")}},
        {"mixed",
         header + "\n;S L,5;1234\nnothing\n\n" + header + ";;\n",
         {Frame(3, ";S L,5;"), Refused(4, "has no ';', not sent"), Frame(7, ";;")}},
    };
    for (const DownloadCase& c : cases) {
        for (const bool crLf : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (crLf ? " (CR LF)" : " (LF)"));
            size_t counted = 0;
            EXPECT_EQ(ReadAll(crLf ? WithCrLf(c.file) : c.file, counted), c.steps);
            EXPECT_EQ(counted, c.steps.size());
        }
    }
}

TEST_F(DownloadFileTest, FileNameAndMissingFile) {
    EXPECT_FALSE(DownloadFile::Open(1).has_value());
    WriteFile("zezDSetup07.dat", ";a;\n");
    std::optional<DownloadFile> download = DownloadFile::Open(7);
    ASSERT_TRUE(download.has_value());
    EXPECT_EQ(download->CountFrameLines(), 1U);
    char frame[kiv::kFrameBufferSize];
    size_t length = 0;
    EXPECT_EQ(download->Next(frame, length), DownloadFile::NextResult::kFrame);
    EXPECT_EQ(std::string(frame, length), Framed(";a;"));
    EXPECT_EQ(download->Next(frame, length), DownloadFile::NextResult::kEnd);
}

}  // namespace
