#include "platform/Files.h"

#include "platform/PosixPath.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

bool StatIs(const std::string& path, mode_t type) {
    struct stat st;
    return ::stat(NativePath(path).c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

} // namespace

bool FileExists(const std::string& path) {
    return StatIs(path, S_IFREG);
}

bool DirectoryExists(const std::string& path) {
    return StatIs(path, S_IFDIR);
}

bool MakeDirectory(const std::string& path) {
    return ::mkdir(NativePath(path).c_str(), 0777) == 0 || DirectoryExists(path);
}

bool RemoveFile(const std::string& path) {
    return ::unlink(NativePath(path).c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    // A plain rename() would replace the target; the Windows move refuses to.
    std::string source = NativePath(from), target = NativePath(to);
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without the no-replace flag: check first (not atomic, but a stand-in).
    struct stat st;
    if (::lstat(target.c_str(), &st) == 0)
        return false;
    return ::rename(source.c_str(), target.c_str()) == 0;
}

std::vector<std::string> ListFiles(const std::string& directory) {
    std::vector<std::string> names;
    std::string dir = NativePath(directory);
    struct DirTraits {
        using Handle = DIR*;
        static Handle Invalid() noexcept { return nullptr; }
        static void Close(Handle h) noexcept { ::closedir(h); }
    };
    UniqueHandle<DirTraits> stream(::opendir(dir.c_str()));
    if (!stream)
        return names;
    while (const dirent* entry = ::readdir(stream.Get()))
        if (StatIs(ProgramPath(dir) + entry->d_name, S_IFREG))
            names.emplace_back(entry->d_name);
    return names;
}

// The temporaries' names: ".", the target's name, TemporaryTag, six letters or digits from
// mkstemps, TemporarySuffix. The tag keeps a user's own ".name.backup" from ever matching.
constexpr std::string_view TemporaryTag = ".qvb-";
constexpr std::string_view TemporarySuffix = ".tmp";
constexpr std::size_t TemporaryRandom = 6;

bool IsTemporaryName(const std::string& name) {
    const std::size_t tail = TemporaryTag.size() + TemporaryRandom + TemporarySuffix.size();
    if (name.size() < tail + 1 || name[0] != '.')
        return false;
    std::string_view end = std::string_view(name).substr(name.size() - tail);
    if (end.substr(0, TemporaryTag.size()) != TemporaryTag ||
        end.substr(tail - TemporarySuffix.size()) != TemporarySuffix)
        return false;
    for (char c : end.substr(TemporaryTag.size(), TemporaryRandom))
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    UniqueFd fd(::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    std::string out;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::read(fd.Get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    bytes.swap(out);
    return true;
}

} // namespace platform

namespace platform {

FileHandle OpenFileForWriting(const std::string& path) {
    int fd = ::open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd < 0 ? InvalidFile : fd;
}

FileHandle OpenFileForUpdate(const std::string& path) {
    int fd = ::open(NativePath(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    return fd < 0 ? InvalidFile : fd;
}

FileHandle OpenFileForReading(const std::string& path) {
    int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    return fd < 0 ? InvalidFile : fd;
}

std::int64_t SizeOfFile(FileHandle file) {
    struct stat st;
    return ::fstat(static_cast<int>(file), &st) == 0 ? st.st_size : -1;
}

void CloseFile(FileHandle file) {
    ::close(static_cast<int>(file));
}

bool WriteToFile(FileHandle file, const void* bytes, std::size_t n) {
    return WriteAll(static_cast<int>(file), std::string_view(static_cast<const char*>(bytes), n));
}

long long ReadFromFile(FileHandle file, void* bytes, std::size_t n) {
    for (;;) {
        ssize_t got = ::read(static_cast<int>(file), bytes, n);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

bool SeekFile(FileHandle file, std::int64_t position) {
    return ::lseek(static_cast<int>(file), position, SEEK_SET) == position;
}

bool TruncateFile(FileHandle file, std::int64_t size) {
    return ::ftruncate(static_cast<int>(file), size) == 0;
}

FileHandle CreateTemporaryBeside(const std::string& target, std::string& temporary) {
    std::string native = NativePath(target);
    std::size_t slash = native.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : native.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? native : native.substr(slash + 1);
    std::string temp = dir + "." + base + std::string(TemporaryTag) +
                       std::string(TemporaryRandom, 'X') + std::string(TemporarySuffix);
    UniqueFd fd(::mkstemps(temp.data(), static_cast<int>(TemporarySuffix.size())));
    if (!fd)
        return InvalidFile;
    // The file that takes the target's place keeps the target's permissions.
    struct stat st;
    mode_t mode = ::stat(native.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    if (::fchmod(fd.Get(), mode) != 0) {
        ::unlink(temp.c_str());
        return InvalidFile;
    }
    temporary = ProgramPath(temp);
    return static_cast<FileHandle>(fd.Take());
}

bool CommitTemporary(FileHandle file, const std::string& temporary, const std::string& target) {
    const int fd = static_cast<int>(file);
    const std::string temp = NativePath(temporary);
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), NativePath(target).c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

void DiscardTemporary(FileHandle file, const std::string& temporary) {
    ::close(static_cast<int>(file));
    ::unlink(NativePath(temporary).c_str());
}

} // namespace platform
