// The data directory paths and the log's line format.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "common/bounded_use.h"
#include "fresh_world.h"
#include "log/data_directory.h"
#include "log/helper_log.h"

namespace {

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { FreshWorld(); }
    static std::string LogBytes() {
        return fake::TheWorld().files[L"C:\\ProgramData\\Orvanta\\helper.log"];
    }
};

struct DirectoryCase {
    const char* name;
    std::optional<std::wstring> programData;
    std::wstring directory;
};

class DataDirectoryTest : public LogTest, public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(DataDirectoryTest, PathsFollowTheEnvironment) {
    if (GetParam().programData) {
        fake::TheWorld().environment[L"ProgramData"] = *GetParam().programData;
    }
    EXPECT_EQ(DataDirectory(), GetParam().directory);
    HelperLog(L"line");
    EXPECT_EQ(fake::TheWorld().files.count(GetParam().directory + L"\\helper.log"), 1u);
    EXPECT_EQ(fake::TheWorld().directories.count(GetParam().directory), 1u);
}

const std::wstring k259 = L"D:\\" + std::wstring(256, L'a');
const std::wstring k260 = k259 + L"b";

INSTANTIATE_TEST_SUITE_P(
    Environment, DataDirectoryTest,
    ::testing::Values(DirectoryCase{"Set", L"D:\\Data", L"D:\\Data\\Orvanta"},
                      DirectoryCase{"Unset", std::nullopt, L"C:\\ProgramData\\Orvanta"},
                      DirectoryCase{"Empty", L"", L"C:\\ProgramData\\Orvanta"},
                      DirectoryCase{"Length259", k259, k259 + L"\\Orvanta"},
                      DirectoryCase{"Length260", k260, L"C:\\ProgramData\\Orvanta"},
                      DirectoryCase{"TrailingBackslash", L"D:\\Data\\", L"D:\\Data\\\\Orvanta"}),
    [](const auto& info) { return info.param.name; });

TEST_F(LogTest, LineIsTimestampTwoBlanksMessageCrLfInUtf8WithoutByteOrderMark) {
    CapturedLog captured;
    fake::TheWorld().localTime = {2026, 1, 2, 3, 4, 5};
    HelperLog(L"service starting");
    HelperLog(L"");  // keeps the two blanks
    HelperLog(L"gr\u00F6\u00DFe \u2713");
    EXPECT_EQ(captured.text,
              "2026-01-02 03:04:05  service starting\r\n2026-01-02 03:04:05  \r\n"
              "2026-01-02 03:04:05  gr\xC3\xB6\xC3\x9F"
              "e \xE2\x9C\x93\r\n");
    EXPECT_TRUE(fake::TheWorld().fileCalls.empty()) << "nothing reaches the file system";
}

TEST_F(LogTest, LinesAreAppended) {
    HelperLog(L"one");
    HelperLog(L"two");
    EXPECT_EQ(LogBytes(), "2026-06-27 09:05:03  one\r\n2026-06-27 09:05:03  two\r\n");
}

TEST_F(LogTest, LongMessageIsWrittenWhole) {
    const std::wstring message(100000, L'x');
    HelperLog(message);
    EXPECT_EQ(LogBytes().size(), 21 + message.size() + 2);
}

TEST_F(LogTest, UnopenableFileDropsTheLineAndTheNextCallTriesAgain) {
    fake::TheWorld().directoryCreationFails = true;
    HelperLog(L"lost");
    EXPECT_EQ(fake::TheWorld().files.count(L"C:\\ProgramData\\Orvanta\\helper.log"), 0u);
    fake::TheWorld().directoryCreationFails = false;
    HelperLog(L"kept");
    EXPECT_EQ(LogBytes(), "2026-06-27 09:05:03  kept\r\n");
}

TEST_F(LogTest, LogThatWouldPassEightMebibytesBecomesTheBackupAndStartsAnew) {
    const std::wstring log = L"C:\\ProgramData\\Orvanta\\helper.log";
    const std::string line = "2026-06-27 09:05:03  x\r\n";
    auto& files = fake::TheWorld().files;
    HelperLog(L"x");
    files[log].resize(8 * 1024 * 1024 - line.size(), '.');  // room for exactly one more line
    files[log + L".1"] = "older backup";
    HelperLog(L"x");
    EXPECT_EQ(files[log].size(), 8u * 1024 * 1024) << "a line that fits is appended";
    HelperLog(L"x");
    EXPECT_EQ(files[log], line);
    EXPECT_EQ(files[log + L".1"].size(), 8u * 1024 * 1024);

    fake::TheWorld().directories.insert(log + L".1");  // a backup that cannot be replaced
    files[log].resize(8 * 1024 * 1024, '.');
    HelperLog(L"x");
    EXPECT_EQ(files[log], line) << "the log starts anew rather than grow";
}

// The directory is checked once for all lines, and anew after a write that failed.
TEST_F(LogTest, ReaderThatSharesNothingDropsTheLineOnly) {
    const std::wstring log = L"C:\\ProgramData\\Orvanta\\helper.log";
    for (int i = 0; i < 100; ++i) {
        HelperLog(L"kept");
    }
    ASSERT_TRUE(fake::UserOpens(log, 0x1, 0));
    HelperLog(L"lost");
    fake::TheWorld().opens.erase(log);  // the reader leaves
    HelperLog(L"kept");
    const auto& calls = fake::TheWorld().fileCalls;
    const auto holds = [&calls] {
        return std::count(calls.begin(), calls.end(), L"hold C:\\ProgramData\\Orvanta");
    };
    EXPECT_EQ(holds(), 1) << "a reader costs its line, not a check of the directory";
    EXPECT_EQ(LogBytes().size(), 101 * std::string("2026-06-27 09:05:03  kept\r\n").size());
    fake::TheWorld().deletePending.insert(log);  // refused for the directory's sake: checked anew
    HelperLog(L"lost");
    fake::TheWorld().deletePending.clear();
    HelperLog(L"kept");
    EXPECT_EQ(holds(), 2);
}

TEST_F(LogTest, TwoThreadsNeverMixTheirLines) {
    constexpr int kLines = 300;
    auto writer = [](const wchar_t* message) {
        for (int i = 0; i < kLines; ++i) {
            HelperLog(message);
        }
    };
    std::thread first(writer, L"aaaaaaaaaaaaaaaaaaaaaaaa");
    std::thread second(writer, L"bbbbbbbbbbbbbbbbbbbbbbbb");
    first.join();
    second.join();
    const std::string bytes = LogBytes();
    const std::string lineA = "2026-06-27 09:05:03  aaaaaaaaaaaaaaaaaaaaaaaa\r\n";
    const std::string lineB = "2026-06-27 09:05:03  bbbbbbbbbbbbbbbbbbbbbbbb\r\n";
    ASSERT_EQ(bytes.size(), kLines * (lineA.size() + lineB.size()));
    for (size_t at = 0; at < bytes.size(); at += lineA.size()) {
        const std::string line = bytes.substr(at, lineA.size());
        EXPECT_TRUE(line == lineA || line == lineB) << line;
    }
}

// A writer held up: callers only queue; lines past the bound are counted, the rest kept in order.
TEST_F(LogTest, WriterKeepsTheOrderAndCountsWhatFindsTheQueueFull) {
    std::mutex lock;
    std::string text;
    std::atomic<bool> held{true}, entered{false};
    SetLogSink([&](const std::string& lines) {
        entered = true;
        while (held) {
            std::this_thread::yield();
        }
        std::lock_guard<std::mutex> guard(lock);
        text += lines;
    });
    StartLogWriter();
    HelperLog(L"first");
    ASSERT_TRUE(fake::WaitUntil([&] { return entered.load(); }));
    const std::wstring padding(101, L'x');  // 128-byte lines: 512 fill the 64 KiB queue
    for (int i = 0; i < 1000; ++i) {
        HelperLog(std::to_wstring(1000 + i) + padding);
    }
    held = false;
    StopLogWriter();
    SetLogSink(&AppendToLogFile);
    const std::string stamp = "2026-06-27 09:05:03  ";
    std::string expected = stamp + "first\r\n";
    for (int i = 0; i < 512; ++i) {
        expected += stamp + std::to_string(1000 + i) + std::string(101, 'x') + "\r\n";
    }
    expected += stamp + "log queue full; 488 lines dropped\r\n";
    EXPECT_TRUE(text == expected) << text.size() << " bytes, not " << expected.size();
}

// Each thread's bound is its own: another's passing or ending leaves it armed.
TEST_F(LogTest, TwoThreadsHeldAtOnceEachEndAtTheirOwnBound) {
    const std::wstring dir = L"C:\\ProgramData\\Orvanta";
    DataDirectory();
    auto& files = fake::TheWorld().files;
    files[dir + L"\\Orvanta.conf"] = files[dir + L"\\helper.state"] = "x";
    ASSERT_TRUE(fake::UserTakesOplock(dir + L"\\Orvanta.conf"));
    ASSERT_TRUE(fake::UserTakesOplock(dir + L"\\helper.state"));
    auto read = [](const std::wstring& name) {
        std::string bytes;
        return UseDataFile(name, [&](const DataFile& file) { return file.Read(10, bytes); });
    };
    BoundedFileUse mine;
    bool other = true;
    std::thread second([&] { other = read(L"Orvanta.conf"); });
    second.join();
    EXPECT_FALSE(other);
    EXPECT_FALSE(read(L"helper.state")) << "cancelled by this thread's own bound";
    EXPECT_TRUE(mine.End());
    EXPECT_FALSE(fake::TheWorld().unboundedWait);
    fake::UserReleasesOplock(dir + L"\\Orvanta.conf");
    EXPECT_TRUE(read(L"Orvanta.conf")) << "tried again at its next use";
    ASSERT_TRUE(fake::UserTakesOplock(dir + L"\\Orvanta.conf"));
    EXPECT_FALSE(read(L"Orvanta.conf")) << "held anew: logged anew";
    const std::string log = LogBytes();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 3);
    EXPECT_NE(log.find("  C:\\ProgramData\\Orvanta\\Orvanta.conf held by another process\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("  C:\\ProgramData\\Orvanta\\helper.state held by another process\r\n"),
              std::string::npos);
}

}  // namespace
