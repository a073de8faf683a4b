// The event log and the setup upload file: created with their header by the first record after
// a reset of their state, appended to afterwards, byte for byte the same on every platform.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "receive/event_files.h"
#include "stage_instance.h"
#include "work_dir_fixture.h"

namespace {

// Both files behave alike; each case runs on both.
struct RecordFileCase {
    const char* label;
    bool (*append)(kiv::DriverInstance&, const char*, size_t);
    const char* fileName;  // for instance number 1
    const char* header;
    int32_t kiv::DriverInstance::*state;
};

const RecordFileCase kFiles[] = {
    {"events", kiv::AppendEventRecord, "zezEvents01.dat", "LIST OF INPUT EVENTS.\r\n",
     &kiv::DriverInstance::eventsFileState},
    {"upload", kiv::AppendUploadRecord, "zezSetup01.dat", "CONTENT OF SETUP PARAMETERS.\r\n",
     &kiv::DriverInstance::setupFileState},
};

const std::string kFrame1 = "\n;V 12:30:05,00,01,1F;8A3C\r";
const std::string kFrame2 = "\n;T 1,2;0B1D\r";

// A frame as it reads on disk: its LF written as CR LF.
std::string OnDisk(const std::string& frame) {
    return "\r" + frame;
}

class EventFilesTest : public kivtest::WorkDirFixture {
protected:
    void SetUp() override {
        WorkDirFixture::SetUp();
        instance = kivtest::MakeStageInstance();
    }
    bool Append(const RecordFileCase& file, const std::string& frame) {
        return file.append(*instance, frame.c_str(), frame.size());
    }

    kivtest::MadeInstance instance;
};

TEST_F(EventFilesTest, HeaderThenRecordsEachBeginningWithLineEnd) {
    for (const RecordFileCase& file : kFiles) {
        SCOPED_TRACE(file.label);
        EXPECT_TRUE(Append(file, kFrame1));
        EXPECT_EQ(instance.get()->*file.state, 1);
        EXPECT_TRUE(Append(file, kFrame2));
        EXPECT_EQ(ReadFile(file.fileName),
                  std::string(file.header) + OnDisk(kFrame1) + OnDisk(kFrame2));
    }
}

TEST_F(EventFilesTest, FirstRecordOfANewInstanceTruncatesTheOldFile) {
    for (const RecordFileCase& file : kFiles) {
        SCOPED_TRACE(file.label);
        WriteFile(file.fileName, std::string(file.header) + OnDisk(kFrame1) + OnDisk(kFrame1));
        EXPECT_TRUE(Append(file, kFrame2));
        EXPECT_EQ(ReadFile(file.fileName), std::string(file.header) + OnDisk(kFrame2));
    }
}

// The receiver resets the upload file's state at each end of upload: the next upload replaces
// the file, under one header.
TEST_F(EventFilesTest, SecondUploadReplacesTheFirst) {
    const RecordFileCase& upload = kFiles[1];
    EXPECT_TRUE(Append(upload, kFrame1));
    EXPECT_TRUE(Append(upload, kFrame1));
    instance->setupFileState = 0;
    EXPECT_TRUE(Append(upload, kFrame2));
    EXPECT_EQ(ReadFile(upload.fileName), std::string(upload.header) + OnDisk(kFrame2));
}

// A file deleted or emptied while the instance runs (an operator clearing old events) comes
// back with its header at the next record.
TEST_F(EventFilesTest, AFileDeletedOrEmptiedMeanwhileIsBegunAgainWithItsHeader) {
    const struct {
        const char* label;
        void (*clear)(const char* name);
    } clearings[] = {
        {"deleted", [](const char* name) { std::filesystem::remove(name); }},
        {"emptied", [](const char* name) { std::filesystem::resize_file(name, 0); }},
    };
    for (const auto& clearing : clearings) {
        for (const RecordFileCase& file : kFiles) {
            SCOPED_TRACE(std::string(clearing.label) + " " + file.label);
            EXPECT_TRUE(Append(file, kFrame1));
            clearing.clear(file.fileName);
            EXPECT_TRUE(Append(file, kFrame2));
            EXPECT_TRUE(Append(file, kFrame1));
            EXPECT_EQ(ReadFile(file.fileName),
                      std::string(file.header) + OnDisk(kFrame2) + OnDisk(kFrame1));
        }
    }
}

// A file that cannot be opened (here: a directory stands in its place) fails the record and
// leaves the state, so that the record after the obstacle is gone creates the file afresh.
TEST_F(EventFilesTest, UnwritableThenWritable) {
    for (const RecordFileCase& file : kFiles) {
        SCOPED_TRACE(file.label);
        std::filesystem::create_directory(file.fileName);
        EXPECT_FALSE(Append(file, kFrame1));
        EXPECT_FALSE(Append(file, kFrame1));
        EXPECT_EQ(instance.get()->*file.state, 0);
        std::filesystem::remove(file.fileName);
        EXPECT_TRUE(Append(file, kFrame2));
        EXPECT_EQ(ReadFile(file.fileName), std::string(file.header) + OnDisk(kFrame2));
    }
}

TEST_F(EventFilesTest, RecordEndsAtTheFramesNulOrItsLength) {
    const struct {
        std::string bytes;
        size_t length;
        std::string record;
    } cases[] = {
        {std::string("\n;V 1;0000\r\0junk", 16), 16, OnDisk("\n;V 1;0000\r")},
        {"\n;V 1;0000\rjunk", 11, OnDisk("\n;V 1;0000\r")},
        // Every LF of the frame, not only the first, is written as CR LF.
        {"\n;X\n;V 1;0000\r", 14, "\r\n;X\r\n;V 1;0000\r"},
    };
    for (const auto& c : cases) {
        instance->eventsFileState = 0;
        EXPECT_TRUE(kiv::AppendEventRecord(*instance, c.bytes.data(), c.length));
        EXPECT_EQ(ReadFile("zezEvents01.dat"), std::string(kFiles[0].header) + c.record);
    }
}

TEST_F(EventFilesTest, FileNameCarriesTheInstanceNumber) {
    instance->instanceNumber = 12;
    EXPECT_TRUE(Append(kFiles[0], kFrame1));
    EXPECT_TRUE(Exists("zezEvents12.dat"));
}

}  // namespace
