// The route memory's reader: any file loads whole or not at all, within the bounds, and what
// loaded is written back as a file that loads again.
#include <cstdlib>
#include <string>

#include "fake_world.h"
#include "log/data_directory.h"
#include "log/helper_log.h"
#include "split/address_text.h"
#include "split/route_memory.h"

namespace {

const std::wstring kMemoryFile = L"C:\\ProgramData\\Orvanta\\helper.memory";

// Loads the file the fake holds; true when it logged nothing (it loaded).
bool Loads(const std::string& text) {
    std::string logged;
    SetLogSink([&logged](const std::string& lines) { logged += lines; });
    fake::TheWorld().files[kMemoryFile] = text;
    LoadRouteMemory();
    SetLogSink([](const std::string&) {});
    return logged.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ReleaseDataDirectory();
    fake::Reset();
    UseRouteMemoryFile(true);
    const bool loaded = Loads(std::string(reinterpret_cast<const char*>(data), size));
    if (RememberedAddressCount() > 2 * kRememberedPerFamily ||
        (!loaded && RememberedAddressCount() != 0)) {
        std::abort();
    }
    RememberRoute(MappedAddress(0x0100000Bu), L"a.exe");  // a change, so the memory is written
    SaveRouteMemoryIfChanged();
    const std::string written = fake::TheWorld().files[kMemoryFile];
    if (written.size() > kMaxRouteMemoryBytes || !Loads(written) || RememberedAddressCount() == 0) {
        std::abort();
    }
    return 0;
}
