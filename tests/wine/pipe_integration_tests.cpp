// The real OrvantaHelper.exe --console under Wine, driven through the real named pipe.
#include <cstdio>
#include <string>
#include <thread>

#include "wine_client.h"
#include "wine_check.h"
#include "wine_support.h"

using namespace std::string_literals;
using wine_support::Exchange;

namespace {

std::string LogBytes() {
    std::string bytes;
    wine_support::ReadWholeFile(wine_support::DataDirectory() + L"\\helper.log", bytes);
    return bytes;
}

std::string Ask(const std::string& request) {
    return wine_support::Ask(request, wine_support::Verify::Skip);
}

}  // namespace

WINE_TEST(PingGetsExactlyOkAndLineFeedThenTheEnd) {
    CHECK_EQ(Exchange({"ping\n"}), "OK\n");
}

WINE_TEST(FramingThroughTheRealPipe) {
    CHECK_EQ(Exchange({"ping\r\n"}), "OK\n");
    CHECK_EQ(Exchange({"ping\0garbage\n"s}), "OK\n");
    CHECK_EQ(Exchange({"ping\nstatus\n"}), "OK\n");
    CHECK_EQ(Exchange({"pi", "ng\n"}), "OK\n");
    CHECK_EQ(Exchange({"PING extra words\n"}), "OK\n");
    CHECK_EQ(Exchange({"\n"}), "ERR unknown\n");
    CHECK_EQ(Exchange({"\xEF\xBB\xBFping\n"}), "ERR unknown\n");
}

WINE_TEST(SilentClientIsDroppedAndTheNextOneServed) {
    HANDLE silent = wine_support::OpenPipe(10000);
    CHECK(silent != INVALID_HANDLE_VALUE);
    const ULONGLONG start = GetTickCount64();
    CHECK_EQ(Ask("ping\n"), "OK");
    const ULONGLONG waited = GetTickCount64() - start;
    CHECK(waited >= 4000);  // it waited for the silent client's time limit, not less
    char byte = 0;
    DWORD count = 0;
    CHECK(!ReadFile(silent, &byte, 1, &count, nullptr));  // its connection was ended
    CloseHandle(silent);
}

WINE_TEST(ClientThatNeverReadsItsReplyIsDropped) {
    HANDLE deaf = wine_support::OpenPipe(10000);
    CHECK(deaf != INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(deaf, "ping\n", 5, &written, nullptr);
    const ULONGLONG start = GetTickCount64();
    CHECK_EQ(Ask("ping\n"), "OK");
    CHECK(GetTickCount64() - start >= 4000);  // the flush really waited for the reader
    CloseHandle(deaf);
}

WINE_TEST(CommandWithoutLineFeedIsCarriedOutWhenTheClientCloses) {
    HANDLE pipe = wine_support::OpenPipe(10000);
    DWORD written = 0;
    WriteFile(pipe, "ping", 4, &written, nullptr);
    CloseHandle(pipe);
    CHECK_EQ(Ask("ping\n"), "OK");  // and the helper goes on serving
}

// A client that opens the pipe the plain way: busy means WaitNamedPipe and try again; absent
// means the helper is not running. Returns how many of `count` pings met an absent pipe or no
// "OK".
int PlainPings(int count) {
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        HANDLE pipe = INVALID_HANDLE_VALUE;
        while ((pipe = CreateFileW(L"\\\\.\\pipe\\OrvantaHelper", GENERIC_READ | GENERIC_WRITE, 0,
                                   nullptr, OPEN_EXISTING, 0, nullptr)) == INVALID_HANDLE_VALUE &&
               GetLastError() == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(L"\\\\.\\pipe\\OrvantaHelper", 10000);
        }
        if (pipe == INVALID_HANDLE_VALUE) {
            ++failed;
            continue;
        }
        DWORD count = 0;
        char reply[8] = {};
        WriteFile(pipe, "ping\n", 5, &count, nullptr);
        failed += ReadFile(pipe, reply, sizeof(reply), &count, nullptr) &&
                          std::string(reply, count) == "OK\n"
                      ? 0
                      : 1;
        CloseHandle(pipe);
    }
    return failed;
}

// Run with --squat: another process adds instances of the name the plain way, again and
// again until told to stop. Exits with how many it made.
int Squat() {
    HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, L"OrvantaTestSquatStop");
    HANDLE tried = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"OrvantaTestSquatTried");
    int made = 0;
    while (tried != nullptr && WaitForSingleObject(stop, 0) == WAIT_TIMEOUT) {
        HANDLE pipe = CreateNamedPipeW(L"\\\\.\\pipe\\OrvantaHelper", PIPE_ACCESS_DUPLEX, 0,
                                       PIPE_UNLIMITED_INSTANCES, 512, 512, 0, nullptr);
        made += pipe != INVALID_HANDLE_VALUE && CloseHandle(pipe) ? 1 : 0;
        SetEvent(tried);
    }
    return tried != nullptr && stop != nullptr ? made : -1;
}

// The helper's one instance is reused for every client, so the name never lapses, and its
// maximum of one keeps any other process from adding an instance while it serves.
WINE_TEST(PlainClientsNeverFindThePipeAbsent) {
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, L"OrvantaTestSquatStop");
    HANDLE tried = CreateEventW(nullptr, TRUE, FALSE, L"OrvantaTestSquatTried");
    wine_support::Child squatter(L"\"" + wine_support::ProgramDirectory() +
                                 L"\\pipe_integration_tests.exe\" --squat");
    CHECK_EQ(WaitForSingleObject(tried, 30000), WAIT_OBJECT_0);
    CHECK_EQ(PlainPings(300), 0);
    SetEvent(stop);
    CHECK_EQ(squatter.WaitExit(30000), DWORD{0});
    CloseHandle(stop);
    CloseHandle(tried);
    int second = -1;
    std::thread beside([&second] { second = PlainPings(300); });
    CHECK_EQ(PlainPings(300), 0);
    beside.join();
    CHECK_EQ(second, 0);
}

WINE_TEST(RequestsWriteNothingToTheLog) {
    const std::string before = LogBytes();
    CHECK_EQ(Ask("ping\n"), "OK");
    CHECK_EQ(Ask("status\n"), Ask("status\n"));
    CHECK_EQ(LogBytes(), before);
}

int wmain(int argc, wchar_t** argv) {
    if (argc > 1 && std::wstring(argv[1]) == L"--squat") {
        return Squat();
    }
    const std::wstring helper = wine_support::ProgramDirectory() + L"\\OrvantaHelper.exe";
    wine_support::Child process(L"\"" + helper + L"\" --console");
    if (!process.started() || !wine_support::WaitForPipe(30000)) {
        std::printf("the helper did not start serving\n0 passed, 1 failed\n");
        return 1;
    }
    return wine_check::RunMain(argc, argv);
}
