#pragma once

// A machine with ordinary users who attack what the helper writes and runs.

#include "split_fixture.h"

const std::wstring kDir = L"C:\\ProgramData\\Orvanta";
const std::wstring kLogFile = kDir + L"\\helper.log";
const std::wstring kConfFile = kDir + L"\\Orvanta.conf";
const std::wstring kVictim = L"C:\\Windows\\System32\\drivers\\etc\\hosts";
const std::wstring kAwg = L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe";

class SecurityFixture : public SplitFixture {
  protected:
    void SetUp() override {
        SplitFixture::SetUp();
        W().files[kAwg] = "";
        W().files[kVictim] = "127.0.0.1 localhost";
        W().programRuns = {{true, 0, [] { W().services[L"AmneziaWGTunnel$Orvanta"] = {}; }}};
    }
    static bool Protected(const std::wstring& path) { return W().protectedPaths.count(path) > 0; }
    static bool Contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
};

constexpr uint32_t kRead = 0x1, kDelete = 0x10000, kShareAll = 7, kShareReadWrite = 3,
                   kShareDelete = 4, kShareRead = 1;

// A directory an ordinary user made, with files planted in it.
inline void UserPreparesTheDirectory(fake::World& w) {
    w.directories.insert(kDir);
    w.security[kDir] = fake::UsersCanChange();
    w.files[kLogFile] = "planted\r\n";
    w.files[kConfFile] = "planted";
    w.files[kDir + L"\\helper.state"] = "planted routes to delete";
}

// The data directory as older versions made it: users could open the folder itself.
const std::vector<platform::AccessEntry> kOlderVersionsAccess = {
    {true, false, 0x1F01FF, platform::Principal::System, true},
    {true, false, 0x1F01FF, platform::Principal::Administrators, true},
    {true, false, 0x1200A9, platform::Principal::AuthenticatedUsers, true}};
