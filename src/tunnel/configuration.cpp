#include "tunnel/configuration.h"

#include "common/names.h"
#include "common/text_pieces.h"
#include "log/helper_log.h"

std::wstring TunnelBlockingRoutes;

namespace {

constexpr wchar_t kBlanks[] = L" \t\r";

std::wstring Trim(const std::wstring& text) {
    return Trimmed(text, kBlanks, kBlanks);
}

// An all-zero IPv4 ("0.0.0.0") or IPv6 ("::", "0::0", ...) address.
bool IsZeroAddress(const std::wstring& address, bool ipv6) {
    if (address.empty() || address.find_first_not_of(ipv6 ? L"0:" : L"0.") != std::wstring::npos) {
        return false;
    }
    if (ipv6) {
        return address.find(L':') != std::wstring::npos;
    }
    size_t dots = 0;
    for (size_t i = 0; i < address.size(); ++i) {
        if (address[i] == L'.') {
            if (i == 0 || address[i - 1] == L'.') {
                return false;
            }
            ++dots;
        }
    }
    return dots == 3 && address.back() != L'.';
}

struct Coverage {
    bool ipv4 = false;
    bool ipv6 = false;
};

void AddAllowedIps(const std::wstring& list, Coverage& coverage) {
    ForEachPiece(list, L',', [&coverage](const std::wstring& piece) {
        const std::wstring entry = Trim(piece);
        const size_t slash = entry.find(L'/');
        if (slash == std::wstring::npos || Trim(entry.substr(slash + 1)) != L"0") {
            return;
        }
        const std::wstring address = Trim(entry.substr(0, slash));
        const bool ipv6 = address.find(L':') != std::wstring::npos;
        if (IsZeroAddress(address, ipv6)) {
            (ipv6 ? coverage.ipv6 : coverage.ipv4) = true;
        }
    });
}

}  // namespace

std::wstring RoutesThatBlockBypass(const std::wstring& configText) {
    int peers = 0;
    bool routingOff = false;
    Coverage coverage;
    std::wstring section;
    ForEachPiece(configText, L'\n', [&](const std::wstring& rawLine) {
        const std::wstring line = Trim(rawLine.substr(0, rawLine.find(L'#')));
        if (!line.empty() && line.front() == L'[') {
            section = LowerCaseName(line);
            peers += section == L"[peer]" ? 1 : 0;
            return;
        }
        const size_t equals = line.find(L'=');
        if (equals == std::wstring::npos) {
            return;
        }
        const std::wstring key = LowerCaseName(Trim(line.substr(0, equals)));
        const std::wstring value = Trim(line.substr(equals + 1));
        if (section == L"[peer]" && key == L"allowedips") {
            AddAllowedIps(value, coverage);
        } else if (section == L"[interface]" && key == L"table" && LowerCaseName(value) == L"off") {
            routingOff = true;
        }
    });
    if (peers != 1 || routingOff) {
        return {};
    }
    std::wstring routes = coverage.ipv4 ? L"0.0.0.0/0" : L"";
    if (coverage.ipv6) {
        routes += routes.empty() ? L"::/0" : L", ::/0";
    }
    return routes;
}

void LogIfTunnelBlocksBypass() {
    if (TunnelBlockingRoutes.empty()) {
        return;
    }
    std::wstring split;
    if (TunnelBlockingRoutes.find(L"0.0.0.0/0") != std::wstring::npos) {
        split = L"0.0.0.0/1, 128.0.0.0/1";
    }
    if (TunnelBlockingRoutes.find(L"::/0") != std::wstring::npos) {
        split += split.empty() ? L"::/1, 8000::/1" : L", ::/1, 8000::/1";
    }
    HelperLog(L"the only peer allows " + TunnelBlockingRoutes +
              L": the tunnel program then blocks traffic outside the tunnel and bypassed "
              L"applications get no connection; allow " +
              split + L" instead");
}
