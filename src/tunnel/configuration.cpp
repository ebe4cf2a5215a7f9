#include "tunnel/configuration.h"

#include <algorithm>

#include "common/names.h"
#include "common/text_pieces.h"
#include "log/data_directory.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/address_text.h"
#include "split/route_manager.h"

namespace {

std::wstring TunnelBlockingRoutes;

// The largest Orvanta.conf read back: more than a request can carry.
constexpr size_t kMaxConfigurationBytes = 1024 * 1024;

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

// Every character the tunnel program may trim from around a key: its parser trims Unicode
// white space, and a few invisible ones are dropped too, as more trimmed is only safer.
constexpr wchar_t kKeyBlanks[] =
    L" \t\n\v\f\r\u0085\u00A0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007"
    L"\u2008\u2009\u200A\u200B\u2028\u2029\u202F\u205F\u3000\uFEFF";

// Lower case as the tunnel program's parser may read it: ASCII, and the letters whose case
// folds onto ASCII ones (long s, Kelvin sign, dotted and dotless i).
std::wstring FoldedKey(const std::wstring& key) {
    std::wstring folded = LowerCaseName(Trimmed(key, kKeyBlanks, kKeyBlanks));
    for (wchar_t& c : folded) {
        if (c == L'\u017F') {
            c = L's';
        } else if (c == L'\u212A') {
            c = L'k';
        } else if (c == L'\u0130' || c == L'\u0131') {
            c = L'i';
        }
    }
    return folded;
}

// The script key a piece of a line starts with, or null. Text after '#' is a comment.
const wchar_t* ScriptKeyOf(const std::wstring& piece) {
    static const wchar_t* const kScriptKeys[] = {L"PreUp", L"PostUp", L"PreDown", L"PostDown"};
    const size_t equals = piece.find(L'=');
    if (equals == std::wstring::npos || piece.find(L'#') < equals) {
        return nullptr;
    }
    const std::wstring key = FoldedKey(piece.substr(0, equals));
    for (const wchar_t* scriptKey : kScriptKeys) {
        if (key == LowerCaseName(scriptKey)) {
            return scriptKey;
        }
    }
    return nullptr;
}

// A reader that also ends lines at a lone CR must not find a script key after one either.
const wchar_t* ScriptKeyOfLine(const std::wstring& line) {
    const wchar_t* found = nullptr;
    ForEachPiece(line, L'\r', [&found](const std::wstring& piece) {
        found = found != nullptr ? found : ScriptKeyOf(piece);
    });
    return found;
}

// Adds the entries of one line's value that the key keeps in the tunnel.
void AddKeptEntries(const std::wstring& key, const std::wstring& value, TunnelDestinations& kept) {
    const bool dns = key == L"dns", allowed = key == L"allowedips";
    if (!dns && !allowed && key != L"address") {
        return;
    }
    ForEachPiece(value, L',', [&](const std::wstring& piece) {
        const std::wstring entry = Trimmed(piece, kKeyBlanks, kKeyBlanks);
        FamilyPrefix prefix;
        const bool parsed = dns ? ParseAddressText(entry, prefix) : ParsePrefixText(entry, prefix);
        if (parsed && (!allowed || ClaimsANetwork(prefix))) {
            kept.Add(prefix);
        }
    });
}

}  // namespace

TunnelDestinations TunnelDestinationsOf(const std::wstring& configText) {
    // A key out of its section makes the tunnel program refuse the whole file, so sections are
    // not told apart; lines end at a lone CR too, as for the script keys.
    TunnelDestinations kept;
    ForEachPiece(configText, L'\n', [&kept](const std::wstring& line) {
        ForEachPiece(line, L'\r', [&kept](const std::wstring& piece) {
            const std::wstring text = piece.substr(0, piece.find(L'#'));
            const size_t equals = text.find(L'=');
            if (equals != std::wstring::npos) {
                AddKeptEntries(FoldedKey(text.substr(0, equals)), text.substr(equals + 1), kept);
            }
        });
    });
    return kept;
}

void LearnTunnelDestinations(const std::wstring& configText) {
    KeepInTheTunnel(TunnelDestinationsOf(configText));
}

void LearnTunnelDestinationsFromTheFile() {
    std::string bytes;
    const bool read = UseDataFile(kConfigFileName, [&bytes](const DataFile& file) {
        return file.administratorsOnly() && file.Read(kMaxConfigurationBytes, bytes) == 0;
    });
    if (!read) {
        HelperLog(kConfigFileName + L" not read; the tunnel's destinations are not kept in it");
    }
    LearnTunnelDestinations(platform::Utf8ToWide(read ? bytes : std::string()));
}

std::wstring WithoutScriptKeys(const std::wstring& configText, std::vector<std::wstring>& dropped) {
    std::wstring kept;
    bool first = true;
    ForEachPiece(configText, L'\n', [&](const std::wstring& line) {
        if (const wchar_t* key = ScriptKeyOfLine(line)) {
            if (std::find(dropped.begin(), dropped.end(), key) == dropped.end()) {
                dropped.push_back(key);
            }
            return;
        }
        kept += first ? L"" : L"\n";
        kept += line;
        first = false;
    });
    return kept;
}

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

void RememberWhatTheTunnelBlocks(const std::wstring& configText) {
    TunnelBlockingRoutes = RoutesThatBlockBypass(configText);
}

void ForgetWhatTheTunnelBlocks() {
    TunnelBlockingRoutes.clear();
}

bool TunnelBlocksBypass() {
    return !TunnelBlockingRoutes.empty();
}

void LogIfTunnelBlocksBypass() {
    if (!TunnelBlocksBypass()) {
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
