// The whole job driven from the pipe: the real OrvantaHelper.exe --console under Wine, with
// the stand-in amneziawg.exe (and WinDivert.dll) beside it.
#include <algorithm>
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

// A helper installed in its own directory, with or without amneziawg.exe in awg\ beside it,
// always with the stand-in routing table.
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
        wine_support::StageRoutingTable(dir_);
        wine_support::WriteWholeFile(dir_ + L"\\divert-events.txt", "");
        logStart_ = wine_support::HelperLogSize();
        process_ = std::make_unique<wine_support::Child>(L"\"" + dir_ +
                                                         L"\\OrvantaHelper.exe\" --console");
        ready_ = process_->started() && wine_support::WaitForPipe(30000);
    }
    void SetKnobs(const std::string& knobs) const {
        wine_support::WriteWholeFile(dir_ + L"\\awg\\amneziawg-knobs.txt", knobs);
    }
    void SetInterfaceMetrics(const std::string& metrics) const {
        wine_support::SetInterfaceMetrics(dir_, metrics);
    }
    void MoveToAnotherNetwork() const {
        wine_support::WriteWholeFile(dir_ + L"\\routes-table.txt",
                                     "0.0.0.0 0.0.0.0 192.168.7.1 11 20\n"
                                     "192.168.7.0 255.255.255.0 0.0.0.0 11 20\n");
    }
    void FeedConnect(DWORD processId, const char* address) const {
        wine_support::AppendToFile(dir_ + L"\\divert-events.txt",
                                   "4 " + std::to_string(processId) + " " + address + "\n");
    }
    void SetAddresses(const std::string& rows) const {
        wine_support::WriteWholeFile(dir_ + L"\\addresses-table.txt", rows);
    }
    void SetOpenConnections(const std::string& rows) const {
        wine_support::WriteWholeFile(dir_ + L"\\tcp-table.txt", rows);
    }
    std::string RouteJournal(const wchar_t* name = L"routes-journal.txt") const {
        std::string bytes;
        wine_support::ReadWholeFile(dir_ + L"\\" + name, bytes);
        return bytes;
    }
    // Polls the route journal until it holds `lines` lines, at most 10 s.
    bool RouteJournalReaches(size_t lines, const wchar_t* name = L"routes-journal.txt") const {
        for (int i = 0; i < 1000; ++i) {
            const std::string journal = RouteJournal(name);
            if (static_cast<size_t>(std::count(journal.begin(), journal.end(), '\n')) >= lines) {
                return true;
            }
            Sleep(10);
        }
        return false;
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
    CHECK_EQ(Ask("splitstatus\n"), "split off reason=no-tunnel");
    const std::wstring sample = kBuilt + L"\\sample.conf";
    wine_support::WriteWholeFile(sample, kSample + " pOSTuP = calc.exe\r\n");  // never written
    wine_support::Child ctl(L"\"" + kBuilt + L"\\OrvantaCtl.exe\" --no-verify connect \"" + sample +
                            L"\"");
    CHECK_EQ(ctl.WaitExit(60000), 0ul);
    CHECK(Contains(helper.Journal(), helper.ExeLine() + kInstallArguments));
    std::string written;
    wine_support::ReadWholeFile(wine_support::DataDirectory() + L"\\Orvanta.conf", written);
    CHECK_EQ(written, kSample);
    CHECK_EQ(Ask("status\n"), "RUNNING");
    CHECK_EQ(Ask("splitstatus\n"),
             "split on apps=2 routes=0/4096 routes6=0/4096 ipv4=7 ipv6=7 "
             "remembered=0 kept=1");
    CHECK_EQ(Ask("disconnect\n"), "OK");
    CHECK_EQ(Ask("status\n"), "STOPPED");
    wine_support::Child splitStatus(L"\"" + kBuilt + L"\\OrvantaCtl.exe\" --no-verify splitstatus");
    CHECK_EQ(splitStatus.WaitExit(60000), 0ul);  // "split off reason=no-tunnel"
    CHECK(!TunnelServiceInstalled());
    const std::string log = helper.Log();
    CHECK(Contains(log, "  script keys dropped from the configuration: PostUp\r\n"));
    CHECK(Contains(log, "  physical default route: ifIndex="));
    CHECK(Contains(log, "  WinDivert socket sniffer started\r\n"));
    CHECK(Contains(log, "  WinDivert sniffer stopped\r\n"));
}

// OrvantaCtl as command-line tools are: the usage on request to standard output, and a file it
// cannot read named with the system's reason, without the usage.
WINE_TEST(CtlHelpIsOutputAndAnUnreadableFileIsNamed) {
    const std::wstring ctl = L"\"" + kBuilt + L"\\OrvantaCtl.exe\" ", out = kBuilt + L"\\ctl.txt";
    std::string printed, errors;
    wine_support::Child help(ctl + L"--help", out);
    CHECK_EQ(help.WaitExit(30000), 0ul);
    CHECK(wine_support::ReadWholeFile(out, printed) && Contains(printed, "usage: OrvantaCtl"));
    CHECK(wine_support::ReadWholeFile(out + L".err", errors) && errors.empty());
    wine_support::Child unreadable(ctl + L"connect \"" + kBuilt + L"\\none.conf\"", out);
    CHECK_EQ(unreadable.WaitExit(30000), 1ul);
    CHECK(wine_support::ReadWholeFile(out + L".err", errors) && !Contains(errors, "usage"));
    CHECK(Contains(errors, "none.conf: ") && Contains(errors, " (error 2)"));
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

// An uninstall that outlives the runner's 30 s is ended, not left to remove the tunnel after
// the helper has replied and moved on: the tunnel stays as the helper then reports it.
WINE_TEST(HungTunnelProgramIsEndedBeforeTheHelperMovesOn) {
    Helper helper(L"hung", true);
    CHECK(helper.ready());
    CHECK_EQ(Connect(kSample), "OK");
    helper.SetKnobs("hang_ms=34000\n");
    const ULONGLONG start = GetTickCount64();
    CHECK_EQ(Ask("disconnect\n"), "OK");
    const std::string reported = Ask("status\n");
    CHECK_EQ(reported, "RUNNING");
    CHECK(Contains(helper.Log(), "  process still running after 30 s; ended: " + helper.ExeLine() +
                                     " /uninstalltunnelservice Orvanta\r\n"));
    const ULONGLONG hangEnds = start + 34000 + 3000;  // the stand-in would have acted by then
    while (GetTickCount64() < hangEnds) {
        Sleep(250);
    }
    CHECK_EQ(Ask("status\n"), reported);
    helper.SetKnobs("");
}

// A journal line of an IPv4 row made through the row-2 calls with the helper's mark; Windows
// adds the interface's metric to it, which a deletion does not report.
std::string RouteLine(const char* call, const char* address, const char* result,
                      const char* via = "192.168.1.1 if=7", const char* effective = "4808") {
    const bool deletion = std::string(call) == "delete";
    return std::string(call) + "2 " + address + "/32 via " + via +
           " luid=0x0 proto=3 metric=4783 effective=" + (deletion ? "-" : effective) + " -> " +
           result + "\n";
}

// Split routes against a routing table that refuses what Windows refuses: the lower-metric
// default route is chosen, rows carry the helper's mark whatever the interface metric does,
// each address gets one route, none goes to the LAN, over loopback or to what the tunnel keeps
// (its resolver, its subnet, a network its peer claims), routes follow the network when it
// moves, and every route goes on an emptied list and on disconnect.
WINE_TEST(SplitRoutesAreWrittenAsWindowsAcceptsThemFollowTheNetworkAndAreRemoved) {
    Helper helper(L"routes", true);
    CHECK(helper.ready());
    wine_support::Child chrome(L"\"" + kBuilt + L"\\apps\\Chrome.exe\"");
    CHECK(chrome.started());
    CHECK_EQ(Ask("splitapps Chrome.exe\n"), "OK");
    CHECK_EQ(Connect(kSample + "DNS = 10.8.1.1\n[Peer]\nPublicKey = aGVsbG8=\n"
                               "AllowedIPs = 10.20.0.0/16, 0.0.0.0/1, 128.0.0.0/1\n"),
             "OK");
    CHECK(Contains(helper.Log(), "  physical default route: ifIndex=7\r\n"));
    CHECK(
        Contains(helper.Log(),
                 "  tunnel destinations kept in the tunnel: 10.20.0.0/16, 10.8.0.2, 10.8.1.1\r\n"));
    helper.FeedConnect(chrome.id(), "192.0.2.10");
    helper.FeedConnect(chrome.id(), "192.0.2.10");
    helper.FeedConnect(GetCurrentProcessId(), "192.0.2.11");  // not listed
    helper.FeedConnect(chrome.id(), "192.168.1.20");          // on the physical LAN
    helper.FeedConnect(chrome.id(), "127.0.0.1");
    helper.FeedConnect(chrome.id(), "10.8.1.1");   // the tunnel's resolver
    helper.FeedConnect(chrome.id(), "10.8.0.2");   // its own address
    helper.FeedConnect(chrome.id(), "10.20.5.5");  // the network its peer claims
    helper.FeedConnect(chrome.id(), "198.51.100.7");
    CHECK(helper.RouteJournalReaches(2));
    std::string expected =
        RouteLine("create", "192.0.2.10", "0") + RouteLine("create", "198.51.100.7", "0");
    CHECK_EQ(helper.RouteJournal(), expected);

    CHECK_EQ(Ask("splitapps ;\n"), "OK");
    expected += RouteLine("delete", "198.51.100.7", "0") + RouteLine("delete", "192.0.2.10", "0");
    CHECK_EQ(helper.RouteJournal(), expected);
    CHECK_EQ(Ask("splitforget\n"), "OK");  // the next start makes no route ahead

    CHECK_EQ(Ask("splitapps chrome.exe\n"), "OK");
    helper.SetInterfaceMetrics("7 40\n9 10\n11 15\n");  // the link got slower: the mark stays
    helper.FeedConnect(chrome.id(), "203.0.113.5");
    helper.FeedConnect(chrome.id(), "203.0.113.5");
    CHECK(helper.RouteJournalReaches(5));
    expected += RouteLine("create", "203.0.113.5", "0", "192.168.1.1 if=7", "4823");
    CHECK_EQ(helper.RouteJournal(), expected);

    helper.MoveToAnotherNetwork();  // Wi-Fi elsewhere: gateway 192.168.7.1 on interface 11
    CHECK(helper.RouteJournalReaches(7));
    helper.FeedConnect(chrome.id(), "192.168.7.30");  // the new LAN
    helper.FeedConnect(chrome.id(), "198.51.100.7");
    CHECK(helper.RouteJournalReaches(8));
    CHECK_EQ(Ask("disconnect\n"), "OK");
    const char* moved = "192.168.7.1 if=11";
    expected += RouteLine("delete", "203.0.113.5", "0") +
                RouteLine("create", "203.0.113.5", "0", moved, "4798") +
                RouteLine("create", "198.51.100.7", "0", moved, "4798") +
                RouteLine("delete", "203.0.113.5", "0", moved) +
                RouteLine("delete", "198.51.100.7", "0", moved);
    CHECK_EQ(helper.RouteJournal(), expected);
    const std::string log = helper.Log();
    CHECK(Contains(log, "  physical default route: ifIndex=11\r\n"));
    CHECK(!Contains(log, "refused"));
}

// After a reconnect, the route of a server a listed application used before is made before any
// of its connects.
WINE_TEST(ReconnectMakesTheRememberedRouteBeforeAnyConnect) {
    Helper helper(L"ahead", true);
    CHECK(helper.ready());
    wine_support::Child chrome(L"\"" + kBuilt + L"\\apps\\Chrome.exe\"");
    CHECK(chrome.started());
    CHECK_EQ(Ask("splitapps Chrome.exe\n"), "OK");
    CHECK_EQ(Connect(kSample), "OK");
    helper.FeedConnect(chrome.id(), "198.51.100.7");
    CHECK(helper.RouteJournalReaches(1));
    CHECK_EQ(Ask("disconnect\n"), "OK");
    CHECK_EQ(Connect(kSample), "OK");
    CHECK(helper.RouteJournalReaches(3));  // no event since the disconnect
    const std::string create = RouteLine("create", "198.51.100.7", "0");
    CHECK_EQ(helper.RouteJournal(), create + RouteLine("delete", "198.51.100.7", "0") + create);
    CHECK(Contains(Ask("splitstatus\n"), " remembered=1 "));
    CHECK_EQ(Ask("splitforget\n"), "OK");
    CHECK(Contains(Ask("splitstatus\n"), " remembered=0 "));
}

std::string Route6Line(const char* call, const char* address, const char* effective = "4793") {
    return std::string(call) + " " + address +
           "/128 via fe80::1 if=7 luid=0x6000007000000 proto=3 metric=4783 effective=" + effective +
           " -> 0\n";
}

// On a dual-stack network a listed application's IPv6 connects, and the connections it had open
// before splitting started, get their host routes through the physical network; an IPv4 address
// a dual-stack socket reaches takes the IPv4 path; disconnect removes every route.
WINE_TEST(Ipv6ConnectsAndOpenConnectionsGetRoutesUntilDisconnect) {
    Helper helper(L"dualstack", true);
    CHECK(helper.ready());
    wine_support::Child chrome(L"\"" + kBuilt + L"\\apps\\Chrome.exe\"");
    CHECK(chrome.started());
    const std::string pid = std::to_string(chrome.id());
    // Of the connections to a dual-stack listener, of either family, none is routed.
    helper.SetOpenConnections("198.51.100.40 443 5 " + pid + "\n2606:4700::40 443 5 " + pid +
                              "\n2606:4700::41 443 2 " + pid + "\n198.51.100.41 443 5 " +
                              std::to_string(GetCurrentProcessId()) + "\n:: 0 2 " + pid +
                              " :: 8443\n198.51.100.42 50000 5 " + pid + " 10.8.0.2 8443\n" +
                              "2606:4700::42 50001 5 " + pid + " fd00::2 8443\n");
    CHECK_EQ(Ask("splitapps Chrome.exe\n"), "OK");
    CHECK_EQ(Connect(kSample), "OK");
    helper.FeedConnect(chrome.id(), "2606:4700::1111");
    helper.FeedConnect(chrome.id(), "2606:4700::1111");
    helper.FeedConnect(chrome.id(), "fe80::9");        // link-local
    helper.FeedConnect(chrome.id(), "2001:db8:1::5");  // on the physical link
    helper.FeedConnect(chrome.id(), "::ffff:192.0.2.77");
    CHECK(helper.RouteJournalReaches(2, L"routes6-journal.txt"));
    CHECK(helper.RouteJournalReaches(2));
    std::string expected6 =
        Route6Line("create6", "2606:4700::40") + Route6Line("create6", "2606:4700::1111");
    CHECK_EQ(helper.RouteJournal(L"routes6-journal.txt"), expected6);
    std::string expected =
        RouteLine("create", "198.51.100.40", "0") + RouteLine("create", "192.0.2.77", "0");
    CHECK_EQ(helper.RouteJournal(), expected);

    CHECK_EQ(Ask("disconnect\n"), "OK");
    expected6 +=
        Route6Line("delete6", "2606:4700::40", "-") + Route6Line("delete6", "2606:4700::1111", "-");
    CHECK_EQ(helper.RouteJournal(L"routes6-journal.txt"), expected6);
    expected += RouteLine("delete", "198.51.100.40", "0") + RouteLine("delete", "192.0.2.77", "0");
    CHECK_EQ(helper.RouteJournal(), expected);
    CHECK(Contains(helper.Log(), "  physical IPv6 default route: ifIndex=7\r\n"));
}

// An IPv6 address still in duplicate address detection gives none to send from: IPv6 stays in
// the tunnel until the address becomes usable, after the ::/0 and without a route change.
WINE_TEST(Ipv6AddressBecomingUsableAfterTheDefaultRouteBringsIpv6Splitting) {
    Helper helper(L"lateaddress", true);
    helper.SetAddresses("2001:db8:1::5/64 7 1\n");
    CHECK(helper.ready());
    CHECK_EQ(Ask("splitapps Chrome.exe\n"), "OK");
    CHECK_EQ(Connect(kSample), "OK");
    CHECK(Contains(Ask("splitstatus\n"), " ipv6=none "));
    helper.SetAddresses("2001:db8:1::5/64 7 4\n");
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (!Contains(Ask("splitstatus\n"), " ipv6=7 ") && GetTickCount64() < deadline) {
        Sleep(20);
    }
    wine_support::Child chrome(L"\"" + kBuilt + L"\\apps\\Chrome.exe\"");
    helper.FeedConnect(chrome.id(), "2606:4700::1111");
    CHECK(helper.RouteJournalReaches(1, L"routes6-journal.txt"));
    CHECK_EQ(Ask("disconnect\n"), "OK");
}

// The tunnel program blocks all traffic outside the tunnel for a single peer that allows
// everything: with applications listed, the log says so and names the form without the block.
WINE_TEST(TunnelThatBlocksBypassedTrafficIsNamedInTheLog) {
    Helper helper(L"blocks", true);
    CHECK(helper.ready());
    const std::string peer = "[Peer]\nPublicKey = aGVsbG8=\nAllowedIPs = ";
    const std::string line = "  the only peer allows 0.0.0.0/0: the tunnel program then blocks";
    CHECK_EQ(Connect(kSample + peer + "0.0.0.0/0\n"), "OK");
    CHECK(!Contains(helper.Log(), "the only peer"));  // no application listed yet
    CHECK_EQ(Ask("splitapps chrome.exe\n"), "OK");
    CHECK(Contains(helper.Log(), line + " traffic outside the tunnel and bypassed applications "
                                        "get no connection; allow 0.0.0.0/1, 128.0.0.0/1 "
                                        "instead\r\n"));
    const size_t once = helper.Log().size();
    CHECK_EQ(Connect(kSample + peer + "0.0.0.0/1, 128.0.0.0/1\n"), "OK");
    CHECK(!Contains(helper.Log().substr(once), "the only peer"));
}

int wmain(int argc, wchar_t** argv) {
    return wine_check::RunMain(argc, argv);
}
