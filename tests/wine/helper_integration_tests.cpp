// The whole job driven from the pipe: the real OrvantaHelper.exe --console under Wine, with
// the stand-in amneziawg.exe (and WinDivert.dll) beside it.
#include <string>

#include "wine_client.h"
#include "wine_check.h"
#include "wine_support.h"

namespace {

const std::wstring kBuilt = wine_support::ProgramDirectory();
const std::string kSample = "[Interface]\nPrivateKey = aGVsbG8=\nAddress = 10.8.0.2/32\n";
const std::string kInstallArguments =
    " /installtunnelservice \"C:\\ProgramData\\Orvanta\\Orvanta.conf\"\n";

std::string Ask(const std::string& request) {
    return wine_support::Ask(request, wine_support::Verify::Skip);
}

std::string Connect(const std::string& configuration) {
    return Ask(orvanta::BuildConnectRequest(configuration));
}

bool TunnelServiceInstalled() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, L"AmneziaWGTunnel$Orvanta", SERVICE_QUERY_STATUS) : nullptr;
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return service != nullptr;
}

// A helper installed in its own directory, with or without amneziawg.exe in awg\ beside it.
class Helper {
  public:
    Helper(const std::wstring& name, bool withTunnelProgram, const std::string& knobs = "")
        : dir_(kBuilt + L"\\" + name) {
        CreateDirectoryW(dir_.c_str(), nullptr);
        CopyFileW((kBuilt + L"\\OrvantaHelper.exe").c_str(),
                  (dir_ + L"\\OrvantaHelper.exe").c_str(), FALSE);
        CopyFileW((kBuilt + L"\\divert-full\\WinDivert.dll").c_str(),
                  (dir_ + L"\\WinDivert.dll").c_str(), FALSE);
        if (withTunnelProgram) {
            CreateDirectoryW((dir_ + L"\\awg").c_str(), nullptr);
            CopyFileW((kBuilt + L"\\amneziawg.exe").c_str(),
                      (dir_ + L"\\awg\\amneziawg.exe").c_str(), FALSE);
            wine_support::WriteWholeFile(dir_ + L"\\awg\\amneziawg-knobs.txt", knobs);
            wine_support::WriteWholeFile(dir_ + L"\\awg\\amneziawg-state.txt", "0");
            wine_support::WriteWholeFile(dir_ + L"\\awg\\amneziawg-journal.txt", "");
        }
        logStart_ = wine_support::HelperLogSize();
        process_ = std::make_unique<wine_support::Child>(L"\"" + dir_ +
                                                         L"\\OrvantaHelper.exe\" --console");
        ready_ = process_->started() && wine_support::WaitForPipe(30000);
    }
    ~Helper() {
        if (TunnelServiceInstalled()) {
            Ask("disconnect\n");
        }
    }
    bool ready() const { return ready_; }
    std::string Journal() const {
        std::string bytes;
        wine_support::ReadWholeFile(dir_ + L"\\awg\\amneziawg-journal.txt", bytes);
        return bytes;
    }
    std::string Log() const { return wine_support::HelperLogSince(logStart_); }
    std::string ExeLine() const {
        std::string path;
        for (wchar_t c : dir_) {
            path.push_back(static_cast<char>(c));
        }
        return "\"" + path + "\\awg\\amneziawg.exe\"";
    }

  private:
    std::wstring dir_;
    size_t logStart_ = 0;
    std::unique_ptr<wine_support::Child> process_;
    bool ready_ = false;
};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

WINE_TEST(SessionConnectsSplitsReportsAndDisconnects) {
    Helper helper(L"session", true);
    CHECK(helper.ready());
    CHECK_EQ(Ask("splitapps Chrome.exe; firefox.exe\n"), "OK");
    const std::wstring sample = kBuilt + L"\\sample.conf";
    wine_support::WriteWholeFile(sample, kSample);
    wine_support::Child ctl(L"\"" + kBuilt + L"\\OrvantaCtl.exe\" --no-verify connect \"" + sample +
                            L"\"");
    CHECK_EQ(ctl.WaitExit(60000), 0ul);
    CHECK(Contains(helper.Journal(), helper.ExeLine() + kInstallArguments));
    std::string written;
    wine_support::ReadWholeFile(wine_support::DataDirectory() + L"\\Orvanta.conf", written);
    CHECK_EQ(written, kSample);
    CHECK_EQ(Ask("status\n"), "RUNNING");
    CHECK_EQ(Ask("disconnect\n"), "OK");
    CHECK_EQ(Ask("status\n"), "STOPPED");
    CHECK(!TunnelServiceInstalled());
    const std::string log = helper.Log();
    CHECK(Contains(log, "  physical default route: ifIndex="));
    CHECK(Contains(log, "  WinDivert socket sniffer started\r\n"));
    CHECK(Contains(log, "  WinDivert sniffer stopped\r\n"));
}

WINE_TEST(ConnectWithoutTheTunnelProgramFails) {
    Helper helper(L"bare", false);
    CHECK(helper.ready());
    CHECK_EQ(Connect(kSample), "ERR connect failed");
    CHECK(Contains(helper.Log(), "  amneziawg.exe not found\r\n"));
}

WINE_TEST(InstallThatFailsOnceThenSucceedsConnects) {
    Helper helper(L"retry", true, "fail_installs=1\n");
    CHECK(helper.ready());
    CHECK_EQ(Connect(kSample), "OK");
    const std::string install = helper.ExeLine() + kInstallArguments;
    CHECK(Contains(helper.Journal(), install + install));
    CHECK(!Contains(helper.Log(), "tunnel install failed"));
}

WINE_TEST(TunnelThatNeverRunsIsRolledBack) {
    Helper helper(L"never", true, "never_running=1\n");
    CHECK(helper.ready());
    CHECK_EQ(Connect(kSample), "ERR connect failed");
    CHECK(!TunnelServiceInstalled());
    CHECK(Contains(helper.Log(),
                   "  tunnel did not come up; uninstalling to restore connectivity\r\n"));
    CHECK_EQ(Ask("status\n"), "STOPPED");
}

WINE_TEST(TunnelThatRunsAfterADelayIsUp) {
    Helper helper(L"late", true, "start_delay_ms=2000\n");
    CHECK(helper.ready());
    CHECK_EQ(Connect(kSample), "OK");
    CHECK_EQ(Ask("status\n"), "RUNNING");
}

WINE_TEST(TextThatIsNotBase64IsRefused) {
    Helper helper(L"base64", true);
    CHECK(helper.ready());
    CHECK_EQ(Ask("connect this is not base64!\n"), "ERR bad base64");
    CHECK_EQ(Ask("connect Zm=9v\n"), "ERR bad base64");
    CHECK_EQ(helper.Journal(), "");
}

WINE_TEST(SecondConnectRemovesTheOldServiceBeforeInstalling) {
    Helper helper(L"again", true);
    CHECK(helper.ready());
    CHECK_EQ(Connect(kSample), "OK");
    CHECK_EQ(Connect(kSample), "OK");
    const std::string exe = helper.ExeLine();
    CHECK_EQ(helper.Journal(), exe + kInstallArguments + exe +
                                   " /uninstalltunnelservice Orvanta\n" + exe + kInstallArguments);
    CHECK_EQ(Ask("status\n"), "RUNNING");
}

WINE_TEST(NothingIsWrittenThroughAHardLinkInTheDataDirectory) {
    Helper helper(L"hardlink", true);
    CHECK(helper.ready());
    const std::wstring data = wine_support::DataDirectory();
    const std::wstring victims[] = {kBuilt + L"\\victim-conf.txt", kBuilt + L"\\victim-log.txt"};
    const std::wstring names[] = {data + L"\\Orvanta.conf", data + L"\\helper.log"};
    for (int i = 0; i < 2; ++i) {
        wine_support::WriteWholeFile(victims[i], "keep me");
        DeleteFileW(names[i].c_str());
        CHECK(CreateHardLinkW(names[i].c_str(), victims[i].c_str(), nullptr));
    }
    CHECK_EQ(Connect(kSample), "OK");  // writes the configuration and logs the route
    for (const std::wstring& victim : victims) {
        std::string kept;
        wine_support::ReadWholeFile(victim, kept);
        CHECK_EQ(kept, "keep me");
    }
    std::string written;
    wine_support::ReadWholeFile(names[0], written);
    CHECK_EQ(written, kSample);
    wine_support::ReadWholeFile(names[1], written);
    CHECK(Contains(written, "  physical default route: ifIndex="));
}

int wmain(int argc, wchar_t** argv) {
    return wine_check::RunMain(argc, argv);
}
