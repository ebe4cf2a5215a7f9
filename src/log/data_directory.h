#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/platform.h"

// The files the helper keeps in its data directory.
inline const std::wstring kLogFileName = L"helper.log";
extern const std::wstring kConfigFileName;  // the tunnel name with ".conf"
inline const std::wstring kStateFileName = L"helper.state";
inline const std::wstring kMemoryFileName = L"helper.memory";

// One file of the data directory, reached through the directory held open since it was
// checked, never again by its path. A write that fails marks the held directory for a new
// check before the next use.
class DataFile {
  public:
    DataFile(platform::HeldEntry* directory, std::wstring directoryPath, std::wstring name,
             bool administratorsOnly, std::atomic<bool>* writeFailed)
        : directory_(directory),
          path_(directoryPath + L"\\" + name),
          name_(std::move(name)),
          administratorsOnly_(administratorsOnly),
          writeFailed_(writeFailed) {}

    // The full path, for the tunnel program, which opens the file itself.
    const std::wstring& path() const { return path_; }
    // Whether nobody but SYSTEM and Administrators can create or change files in the directory.
    bool administratorsOnly() const { return administratorsOnly_; }

    // Each operation that can fail returns 0, or the Win32 error.
    uint32_t Append(const std::string& bytes) const;
    // A new file readable by SYSTEM and Administrators alone, renamed over the old one.
    uint32_t Replace(const std::string& bytes) const;
    uint32_t Read(size_t maxBytes, std::string& bytes) const;
    std::optional<uint64_t> Size() const;
    // Over what has that name.
    uint32_t RenameTo(const std::wstring& name) const;
    // Frees the name at once, whoever is reading the file; 0 when the file is gone too (or goes
    // once the last reader lets go).
    uint32_t Delete() const;
    // Out of the directory to `targetPath`, or back in from `sourcePath` (see
    // platform::MoveFileOutOf and MoveFileInto).
    uint32_t MoveOutTo(const std::wstring& targetPath) const;
    uint32_t MoveInFrom(const std::wstring& sourcePath) const;

  private:
    uint32_t Noted(uint32_t error) const;

    platform::HeldEntry* directory_;
    std::wstring path_;
    std::wstring name_;
    bool administratorsOnly_;
    std::atomic<bool>* writeFailed_;
};

// %ProgramData%\Orvanta, resolved from the environment when it is checked and created when
// missing. Empty when the directory must not be used: a link, or one that could not be held.
std::wstring DataDirectory();

// Calls `use` with the named file of the data directory while the verified directory is held
// open: it can be neither renamed nor swapped for a link between the check and the use. The
// directory is checked and held at its first use and stays held, for every thread, until a
// write through it fails or ReleaseDataDirectory; the next use then checks it anew.
// Returns `use`'s result, or false without calling it when the directory must not be used;
// `holdError`, when given, receives the Win32 error of a hold that failed (the directory is then
// left where it is, and the next call tries again), 0 otherwise.
bool UseDataFile(const std::wstring& name, const std::function<bool(const DataFile&)>& use,
                 uint32_t* holdError = nullptr);

// Lets go of the held directory (at the process's end); a use after it checks it anew.
void ReleaseDataDirectory();

// Makes the data directory the service's own before anyone else could: creates it protected,
// and moves aside (never adopts) one that someone else made. The installer calls it; true
// when the directory is ready.
bool PrepareDataDirectory();
