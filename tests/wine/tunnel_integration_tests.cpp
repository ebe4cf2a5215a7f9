// The process runner, the locator and the tunnel service monitor with the real platform layer,
// against the stand-in amneziawg.exe and Wine's service control manager.
#include <windows.h>
#include <wincrypt.h>

#include <string>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "platform/posix/base64.h"
#include "tunnel/locator.h"
#include "tunnel/process_runner.h"
#include "tunnel/service_monitor.h"
#include "wine_check.h"
#include "wine_support.h"

namespace {

const std::wstring kDir = wine_support::ProgramDirectory();
const std::wstring kAwg = kDir + L"\\amneziawg.exe";
const std::wstring kInstall = L"/installtunnelservice \"C:\\ProgramData\\Orvanta\\Orvanta.conf\"";

void SetKnobs(const std::string& knobs) {
    wine_support::WriteWholeFile(kDir + L"\\amneziawg-knobs.txt", knobs);
    wine_support::WriteWholeFile(kDir + L"\\amneziawg-state.txt", "0");
}

std::string Journal(const std::wstring& directory = kDir) {
    std::string bytes;
    wine_support::ReadWholeFile(directory + L"\\amneziawg-journal.txt", bytes);
    return bytes;
}

bool BecomesRunning(DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (GetTickCount64() < deadline) {
        if (IsTunnelServiceRunning()) {
            return true;
        }
        Sleep(50);
    }
    return false;
}

void RemoveTunnel() {
    SetKnobs("");
    RunProcess(kAwg, L"/uninstalltunnelservice Orvanta");
    WaitForTunnelServiceRemoval(8000);
}

}  // namespace

WINE_TEST(LocatorPrefersTheAwgSubdirectory) {
    CHECK_EQ(GetModuleDirectory() == kDir, true);
    CHECK_EQ(FindTunnelExe() == kAwg, true);
    CreateDirectoryW((kDir + L"\\awg").c_str(), nullptr);
    CopyFileW(kAwg.c_str(), (kDir + L"\\awg\\amneziawg.exe").c_str(), FALSE);
    CHECK_EQ(FindTunnelExe() == kDir + L"\\awg\\amneziawg.exe", true);
    DeleteFileW((kDir + L"\\awg\\amneziawg.exe").c_str());
    RemoveDirectoryW((kDir + L"\\awg").c_str());
}

WINE_TEST(InstallThatFailsOnceThenCreatesARunningServiceAndUninstallRemovesIt) {
    SetKnobs("fail_installs=1\nfail_exit_code=3\n");
    CHECK_EQ(RunProcess(kAwg, kInstall), 3);
    CHECK(!TunnelServiceExists());
    CHECK_EQ(RunProcess(kAwg, kInstall), 0);
    CHECK(TunnelServiceExists());
    CHECK(BecomesRunning(10000));
    CHECK_EQ(RunProcess(kAwg, L"/uninstalltunnelservice Orvanta"), 0);
    WaitForTunnelServiceRemoval(8000);
    CHECK(!TunnelServiceExists());
    CHECK(!IsTunnelServiceRunning());
    const std::string installLine =
        "\"C:\\OrvantaTest\\amneziawg.exe\" /installtunnelservice "
        "\"C:\\ProgramData\\Orvanta\\Orvanta.conf\"\n";
    CHECK(Journal().find(installLine + installLine +
                         "\"C:\\OrvantaTest\\amneziawg.exe\" /uninstalltunnelservice Orvanta\n") !=
          std::string::npos);
}

WINE_TEST(ServiceThatNeverRunsExistsButIsNotRunning) {
    SetKnobs("never_running=1\n");
    CHECK_EQ(RunProcess(kAwg, kInstall), 0);
    CHECK(TunnelServiceExists());
    CHECK(!BecomesRunning(1000));
    RemoveTunnel();
    CHECK(!TunnelServiceExists());
}

WINE_TEST(UninstallExitCodeIsPassedThrough) {
    SetKnobs("uninstall_exit_code=7\n");
    CHECK_EQ(RunProcess(kAwg, L"/uninstalltunnelservice Orvanta"), 7);
}

WINE_TEST(PathWithBlanksStartsTheProgram) {
    const std::wstring directory = kDir + L"\\My Tools";
    CHECK_EQ(RunProcess(directory + L"\\amneziawg.exe", L"/unknown"), 2);
    CHECK(Journal(directory).find("\"C:\\OrvantaTest\\My Tools\\amneziawg.exe\" /unknown") !=
          std::string::npos);
}

WINE_TEST(MissingProgramIsLoggedWithItsCommandLine) {
    const size_t before = wine_support::HelperLogSize();
    CHECK_EQ(RunProcess(L"C:\\nowhere\\amneziawg.exe", L"/uninstalltunnelservice Orvanta"), -1);
    const std::string logged = wine_support::HelperLogSince(before);
    CHECK(logged.find("  CreateProcess failed: \"C:\\nowhere\\amneziawg.exe\" "
                      "/uninstalltunnelservice Orvanta\r\n") != std::string::npos);
}

WINE_TEST(RemovalWaitEndsAtOnceWithoutTheService) {
    const ULONGLONG start = GetTickCount64();
    WaitForTunnelServiceRemoval(12000);
    CHECK(GetTickCount64() - start < 3000);  // one probe, no 12 s of sleeping
}

// The portable Base64 decoder of the native build and the fake against the system's, which the
// helper uses on Windows.
WINE_TEST(PortableBase64DecoderAgreesWithTheSystems) {
    const wchar_t* base64[] = {L"Zm9vYmFy", L"Zm9vYg==", L"Zm9vYg", L" Zm9v\r\n\tYmFy ",
                               L"",         L"Zm9v!",    L"Zm=9v",  L"Zm9vYg=",
                               L"-_8"};
    for (const wchar_t* text : base64) {
        std::string own;
        const bool accepted = platform::DecodeBase64Portably(text, own);
        DWORD size = 0;
        const bool system = CryptStringToBinaryW(text, 0, CRYPT_STRING_BASE64, nullptr, &size,
                                                 nullptr, nullptr) != FALSE;
        std::string bytes(size, '\0');
        CHECK_EQ(accepted, system);
        if (system && size > 0) {
            CryptStringToBinaryW(text, 0, CRYPT_STRING_BASE64,
                                 reinterpret_cast<BYTE*>(bytes.data()), &size, nullptr, nullptr);
            bytes.resize(size);
            CHECK(own == bytes);
        }
    }
}

int wmain(int argc, wchar_t** argv) {
    SetLogSink(&AppendToLogFile);  // as the helper's entry point does
    return wine_check::RunMain(argc, argv);
}
