// The log's line format, its appends and its rotation.
#include <algorithm>
#include <thread>

#include "common/bounded_use.h"
#include "fresh_world.h"
#include "log/helper_log.h"
#include "security_fixture.h"

namespace {

class HelperLogSecurityTest : public SecurityFixture {};

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { FreshWorld(); }
    static std::string LogBytes() {
        return fake::TheWorld().files[L"C:\\ProgramData\\Orvanta\\helper.log"];
    }
};

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

// Users may read the log, and a reader that does not share delete keeps it from rotating: it
// then grows to twice its bound and no further.
TEST_F(HelperLogSecurityTest, LogStaysBoundedWhateverAReaderDoes) {
    constexpr size_t kBound = 8 * 1024 * 1024;
    HelperLog(L"x");
    ASSERT_TRUE(fake::UserOpens(kLogFile, kRead, kShareReadWrite));
    W().files[kLogFile].resize(2 * kBound - 30, '.');
    HelperLog(L"x");  // 24 bytes: still within twice the bound
    HelperLog(L"x");  // dropped
    EXPECT_EQ(W().files[kLogFile].size(), 2 * kBound - 6);
    EXPECT_EQ(W().files.count(kLogFile + L".1"), 0u);
}

TEST_F(HelperLogSecurityTest, LogWithASecondHardLinkIsReplacedNotAppendedTo) {
    DataDirectory();
    W().files[kLogFile] = W().files[kVictim];
    W().hardLinks[kLogFile] = kVictim;
    HelperLog(L"line");
    EXPECT_EQ(W().files[kLogFile], "2026-06-27 09:05:03  line\r\n");
    EXPECT_EQ(W().files[kVictim], "127.0.0.1 localhost");
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
        return UseDataFile(name, [&](const DataFile& file) { return file.Read(10, bytes) == 0; });
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
