#pragma once

// Files and directories: the environment, the helper's own path, and the files of a directory
// held open (see security.h), each opened relative to the held directory's handle, never again
// by its full path. A file that is a link or has a second hard link is never written through.
// Calls that can fail return 0 or the Win32 error.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

struct HeldEntry;
// Who owns a directory or file the helper creates with its protected descriptor.
enum class Owner { System, Administrators };

std::optional<std::wstring> EnvironmentVariable(const std::wstring& name);
// Creates the last level of the path with the default security of its parent (183 when it
// exists).
uint32_t CreateDirectoryIfMissing(const std::wstring& path);
// True when the path's attributes can be read (a file or a directory of that name).
bool PathExists(const std::wstring& path);
// The full path of the running executable, however long; empty when it cannot be read.
std::wstring ModuleFilePath();
// The system directory (System32), without a trailing separator; empty when it cannot be read.
std::wstring SystemDirectory();

// Opens for appending (readers may share) and writes the bytes; a link in the file's place is
// deleted and the file created anew. A short or failed write is not reported.
uint32_t AppendToFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes);
// Writes the bytes to a new file `name`.tmp created owned by `owner` with a protected DACL for
// SYSTEM and Administrators alone, then renames it over `name`: a process that holds the old
// file keeps the old, now unnamed file.
uint32_t ReplaceFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes,
                       Owner owner);
// Reads a whole file of at most `maxBytes` that is no link.
uint32_t ReadFileIn(HeldEntry* directory, const std::wstring& name, size_t maxBytes,
                    std::string& bytes);
std::optional<uint64_t> FileSizeIn(HeldEntry* directory, const std::wstring& name);
// Renames `from` to `to`; with `replace`, over what has that name, else failing when the name is
// taken (183).
uint32_t RenameFileIn(HeldEntry* directory, const std::wstring& from, const std::wstring& to,
                      bool replace);
// Moves the file `name` out of the held directory to `targetPath`, over what has that name. The
// target's folder must be one only administrators can change; on another volume the move fails
// with 17 (ERROR_NOT_SAME_DEVICE).
uint32_t MoveFileOutOf(HeldEntry* directory, const std::wstring& name,
                       const std::wstring& targetPath);
// Moves the file at `sourcePath` (in such a folder, and no link) into the held directory as
// `name`, failing when the name is taken (183). A missing or empty file is left where it is (2).
uint32_t MoveFileInto(HeldEntry* directory, const std::wstring& sourcePath,
                      const std::wstring& name);
// Deletes the entry itself, never what a link points to. While another handle that shares delete
// is open, the name stays, delete-pending, and every open of it fails until that handle closes.
uint32_t DeleteFileIn(HeldEntry* directory, const std::wstring& name);

}  // namespace platform
