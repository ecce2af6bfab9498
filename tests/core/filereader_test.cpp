// Buffered line reader: line ends, growth of the line buffer, files ending with
// and without a line end or on a read-buffer boundary, empty and missing files,
// and the cut of an overlong line.
#include "core/alert.h"
#include "core/filereader.h"
#include "tests/support/support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<std::string> g_alerts;
void RecordAlert(int kind, int, const char *text) {
    g_alerts.push_back(std::to_string(kind) + ":" + text);
}

struct FileReaderTest : ::testing::Test {
    testsupport::TempDir dir;
    FileReaderStruct *reader = nullptr;
    void SetUp() override {
        ASSERT_EQ(1, Alert_Create());
        Alert_SetPrinter(RecordAlert);
        g_alerts.clear();
        ASSERT_EQ(1, FileReader_Create(&reader));
    }
    void TearDown() override {
        EXPECT_EQ(1, FileReader_Destroy(&reader));
        EXPECT_EQ(nullptr, reader);
        Alert_Destroy();
    }
    // Every line of a file with the given bytes.
    std::vector<std::string> Read(const std::string &bytes) {
        std::string path = dir / "lines.txt";
        testsupport::WriteFile(path, bytes);
        EXPECT_EQ(1, FileReader_Open(reader, path.c_str()));
        std::vector<std::string> lines;
        char *line = nullptr;
        while (FileReader_ReadLine(reader, &line))
            lines.push_back(line);
        EXPECT_EQ(nullptr, line);
        EXPECT_EQ(0, FileReader_ReadLine(reader, &line)); // stays at the end
        return lines;
    }
};

using Lines = std::vector<std::string>;

TEST_F(FileReaderTest, LineEnds) {
    EXPECT_EQ((Lines{"a", "b"}), Read("a\r\nb"));
    EXPECT_EQ((Lines{"a", "", "b"}), Read("a\n\nb\n"));
    EXPECT_EQ((Lines{"x\r", ""}), Read("x\r\r\n\r\n")); // one CR is removed
    EXPECT_EQ((Lines{}), Read(""));
    EXPECT_EQ((Lines{""}), Read("\n"));
    EXPECT_TRUE(g_alerts.empty());
}

TEST_F(FileReaderTest, LongLinesAndBufferBoundaries) {
    std::string thousand(1000, 'l');
    EXPECT_EQ((Lines{thousand, "end"}), Read(thousand + "\nend"));
    std::string exact(255, 'e'); // with its '\n' exactly one read buffer
    EXPECT_EQ((Lines{exact}), Read(exact + "\n"));
    EXPECT_EQ((Lines{exact, exact}), Read(exact + "\n" + exact + "\n"));
    std::string full(256, 'f');
    EXPECT_EQ((Lines{full}), Read(full));
    EXPECT_EQ((Lines{full + full}), Read(full + full));
    EXPECT_TRUE(g_alerts.empty());
}

TEST_F(FileReaderTest, OverlongLineIsCutOnce) {
    std::string huge(FILEREADER_MAX_LINE + 5000, 'h');
    std::string max(FILEREADER_MAX_LINE, 'm');
    Lines lines = Read(huge + "\r\nnext\n" + max + "\r\n");
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(std::string(FILEREADER_MAX_LINE, 'h'), lines[0]);
    EXPECT_EQ("next", lines[1]);
    EXPECT_EQ(max, lines[2]); // exactly the longest line: not cut
    EXPECT_EQ((std::vector<std::string>{"2:Line longer than 1048576 bytes cut."}), g_alerts);
}

TEST_F(FileReaderTest, MissingFileAndReopen) {
    std::string missing = dir / "missing.txt";
    EXPECT_EQ(0, FileReader_Open(reader, missing.c_str()));
    EXPECT_EQ((std::vector<std::string>{"2:Unable to open file. [" + missing + "]"}), g_alerts);
    char *line = nullptr;
    EXPECT_EQ(0, FileReader_ReadLine(reader, &line));
    // Opening again closes the previous file and starts afresh.
    EXPECT_EQ((Lines{"one", "two"}), Read("one\ntwo\n"));
    testsupport::WriteFile(dir / "other.txt", "three\n");
    std::string path = dir / "lines.txt";
    testsupport::WriteFile(path, "first\nsecond\n");
    ASSERT_EQ(1, FileReader_Open(reader, path.c_str()));
    ASSERT_EQ(1, FileReader_ReadLine(reader, &line));
    EXPECT_STREQ("first", line);
    ASSERT_EQ(1, FileReader_Open(reader, (dir / "other.txt").c_str()));
    ASSERT_EQ(1, FileReader_ReadLine(reader, &line));
    EXPECT_STREQ("three", line);
}

TEST_F(FileReaderTest, DirectoryCannotBeRead) {
    // Opening a folder may succeed on Linux; reading it then fails with one alert.
    int opened = FileReader_Open(reader, dir.path().c_str());
    char *line = nullptr;
    EXPECT_EQ(0, FileReader_ReadLine(reader, &line));
    EXPECT_EQ(0, opened);
    EXPECT_EQ(1u, g_alerts.size());
}

} // namespace
