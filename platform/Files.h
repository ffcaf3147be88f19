#pragma once
// File-system services. Paths are in the program's own form: 8-bit code page 1252 text with
// backslashes between directories. The Windows build hands them to the system unchanged; the
// POSIX stand-in turns each backslash into a slash.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

bool FileExists(const std::string& path); // an existing file, not a directory
bool DirectoryExists(const std::string& path);

// Makes one directory level; false when it does not exist afterwards because it could not be made.
bool MakeDirectory(const std::string& path);

// Deletes a file (never a directory); false when there was none or it could not be deleted.
bool RemoveFile(const std::string& path);

// Renames a file; refuses to overwrite an existing target.
bool RenameFile(const std::string& from, const std::string& to);

// Replaces the file at path with exactly these bytes, or leaves it as it was: the bytes go to a
// temporary file in the same directory, which is flushed and then takes the target's place.
// No temporary file is left behind on any path.
bool WriteFileAtomically(const std::string& path, std::string_view bytes);

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& bytes);

// The names of the plain files in a directory (ending in a delimiter); empty when it cannot be
// read.
std::vector<std::string> ListFiles(const std::string& directory);

// Whether a file name is one that WriteFileAtomically gives its temporary files here.
bool IsTemporaryName(const std::string& name);

} // namespace platform

namespace platform {

// A file opened by OpenFileForWriting or CreateTemporaryBeside, and closed by CloseFile (or by
// CommitTemporary and DiscardTemporary); InvalidFile when none.
using FileHandle = std::intptr_t;
constexpr FileHandle InvalidFile = -1;

// Creates the file (or empties an existing one) for reading and writing.
FileHandle OpenFileForWriting(const std::string& path);
// Opens the file for reading and writing as it is, making it when it is missing; the position
// is at its start.
FileHandle OpenFileForUpdate(const std::string& path);
// Opens an existing file for reading only; others may read it at the same time.
FileHandle OpenFileForReading(const std::string& path);
// The size in bytes of an open file; -1 on failure.
std::int64_t SizeOfFile(FileHandle file);
void CloseFile(FileHandle file);
bool WriteToFile(FileHandle file, const void* bytes, std::size_t n);
// Bytes read, 0 at the end, -1 on failure.
long long ReadFromFile(FileHandle file, void* bytes, std::size_t n);
bool SeekFile(FileHandle file, std::int64_t position);
bool TruncateFile(FileHandle file, std::int64_t size);

// A new temporary file in the directory of target, open for reading and writing, named as
// IsTemporaryName knows; InvalidFile when none can be made there.
FileHandle CreateTemporaryBeside(const std::string& target, std::string& temporary);
// Flushes and closes the temporary file, which then takes target's place in one step; false
// when that fails, and the temporary file is gone either way.
bool CommitTemporary(FileHandle file, const std::string& temporary, const std::string& target);
// Closes and removes a temporary file.
void DiscardTemporary(FileHandle file, const std::string& temporary);

// An open file, closed when the object goes unless Release took it.
class TOpenFile {
public:
    explicit TOpenFile(FileHandle file = InvalidFile) : file_(file) {}
    ~TOpenFile() {
        if (file_ != InvalidFile)
            CloseFile(file_);
    }
    TOpenFile(const TOpenFile&) = delete;
    TOpenFile& operator=(const TOpenFile&) = delete;
    FileHandle Handle() const { return file_; }
    FileHandle Release() { return std::exchange(file_, InvalidFile); }

private:
    FileHandle file_;
};

// A temporary file beside a target, owned from the moment it is made: unless Commit put it in
// the target's place, it is closed and removed when the object goes.
class TTemporaryFile {
public:
    explicit TTemporaryFile(const std::string& target)
        : file_(CreateTemporaryBeside(target, name_)) {}
    ~TTemporaryFile() {
        if (file_ != InvalidFile)
            DiscardTemporary(file_, name_);
    }
    TTemporaryFile(const TTemporaryFile&) = delete;
    TTemporaryFile& operator=(const TTemporaryFile&) = delete;

    // InvalidFile when none could be made.
    FileHandle Handle() const { return file_; }
    const std::string& Name() const { return name_; }
    // Hands the open file over; the caller then commits or discards it.
    FileHandle Release() { return std::exchange(file_, InvalidFile); }
    // CommitTemporary; false too when there is no file.
    bool Commit(const std::string& target) {
        if (file_ == InvalidFile)
            return false;
        return CommitTemporary(std::exchange(file_, InvalidFile), name_, target);
    }

private:
    std::string name_;
    FileHandle file_;
};

} // namespace platform
