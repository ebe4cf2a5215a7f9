// OrvantaCtl: sends one request to the Orvanta Helper and prints its reply.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>

#include "orvanta_client.h"
#include "orvanta_version.h"

namespace {

const char kUsage[] =
    "usage: OrvantaCtl [--wait-ms N] [--no-verify] COMMAND | --version\n"
    "  ping | status | disconnect\n"
    "  connect FILE        send the tunnel configuration in FILE\n"
    "  splitapps \"a.exe;b.exe\"\n"
    "  raw TEXT            send TEXT as bytes; escapes \\n \\r \\t \\0 \\\\ \\xHH\n"
    "--no-verify: skip the check that the OrvantaHelper service serves the pipe\n"
    "             (only for a helper started with --console during development)\n"
    "exit code: 0 OK/RUNNING/STOPPED, 1 ERR reply or usage, 2 helper not reachable, no reply\n"
    "           or the pipe served by a process that is not the helper (nothing sent)\n";

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int count =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(count > 0 ? count : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), count, nullptr, nullptr);
    return bytes;
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    std::ifstream file(path.c_str(), std::ios::binary);
    if (!file) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

int Usage() {
    std::fputs(kUsage, stderr);
    return 1;
}

// Builds the request bytes from the command words; false on a usage error (already printed).
bool BuildFromArguments(int argc, wchar_t** argv, int first, std::string& request) {
    if (first >= argc) {
        return false;
    }
    const std::string command = ToUtf8(argv[first]);
    const std::string argument = first + 1 < argc ? ToUtf8(argv[first + 1]) : std::string();
    if (command == wire::kPing || command == wire::kStatus || command == wire::kDisconnect) {
        request = orvanta::BuildRequest(command, "");
    } else if (command == wire::kSplitApps) {
        request = orvanta::BuildRequest(command, argument);
    } else if (command == wire::kConnect && first + 1 < argc) {
        std::string configuration;
        if (!ReadWholeFile(argv[first + 1], configuration)) {
            std::fprintf(stderr, "cannot read %s\n", argument.c_str());
            return false;
        }
        request = orvanta::BuildConnectRequest(configuration);
    } else if (command == "raw" && first + 1 < argc) {
        if (!orvanta::UnescapeRaw(argument, request)) {
            std::fputs("malformed escape in raw text\n", stderr);
            return false;
        }
    } else {
        return false;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wcscmp(argv[1], L"--version") == 0) {
        std::puts(ORVANTA_VERSION_STRING);
        return 0;
    }
    orvanta::ClientOptions options;
    int first = 1;
    for (;;) {
        if (first + 1 < argc && std::wcscmp(argv[first], L"--wait-ms") == 0) {
            options.waitMs = static_cast<uint32_t>(std::wcstoul(argv[first + 1], nullptr, 10));
            first += 2;
        } else if (first < argc && std::wcscmp(argv[first], L"--no-verify") == 0) {
            options.verifyServer = false;
            first += 1;
        } else {
            break;
        }
    }
    std::string request;
    if (!BuildFromArguments(argc, argv, first, request)) {
        return Usage();
    }
    const orvanta::ClientResult result = orvanta::SendRequest(request, options);
    switch (result.status) {
        case orvanta::ClientStatus::Replied:
            std::printf("%s\n", result.reply.c_str());
            return orvanta::ExitCodeForReply(result.reply);
        case orvanta::ClientStatus::NoReply:
            std::fprintf(stderr, "no reply from the helper (error %lu)\n",
                         static_cast<unsigned long>(result.error));
            return orvanta::kExitUnreachable;
        case orvanta::ClientStatus::Untrusted:
            std::fprintf(stderr,
                         "refusing to send: \\\\.\\pipe\\OrvantaHelper is served by process %lu, "
                         "which is not the OrvantaHelper service (use --no-verify only for a "
                         "helper you started with --console)\n",
                         static_cast<unsigned long>(result.serverProcessId));
            return orvanta::kExitUnreachable;
        default:
            std::fprintf(stderr,
                         "cannot reach the helper at \\\\.\\pipe\\OrvantaHelper (error %lu)\n",
                         static_cast<unsigned long>(result.error));
            return orvanta::kExitUnreachable;
    }
}
