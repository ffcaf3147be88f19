#include "platform/Files.h"

#include "platform/WinHandles.h"

#include <cctype>

namespace platform {

namespace {

DWORD Attributes(const std::string& path) {
    return GetFileAttributesA(path.c_str());
}

std::string DirectoryOf(const std::string& path) {
    std::size_t cut = path.find_last_of("\\/:");
    if (cut == std::string::npos)
        return ".";
    if (path[cut] == ':')
        return path.substr(0, cut + 1) + ".";
    return cut == 0 ? path.substr(0, 1) : path.substr(0, cut);
}

} // namespace

bool FileExists(const std::string& path) {
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::string& path) {
    DWORD a = Attributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeDirectory(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) != 0 || DirectoryExists(path);
}

bool RemoveFile(const std::string& path) {
    return DeleteFileA(path.c_str()) != 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
    return MoveFileA(from.c_str(), to.c_str()) != 0;
}

std::vector<std::string> ListFiles(const std::string& directory) {
    struct FindTraits {
        using Handle = HANDLE;
        static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
        static void Close(Handle h) noexcept { FindClose(h); }
    };
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    UniqueHandle<FindTraits> search(FindFirstFileA((directory + "*").c_str(), &found));
    if (!search)
        return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.emplace_back(found.cFileName);
    } while (FindNextFileA(search.Get(), &found));
    return names;
}

// GetTempFileName's "qvb" names: the prefix, one to four hexadecimal digits, ".tmp".
bool IsTemporaryName(const std::string& name) {
    constexpr std::size_t Prefix = 3, Suffix = 4, MaxDigits = 4;
    if (name.size() <= Prefix + Suffix || name.size() > Prefix + MaxDigits + Suffix)
        return false;
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(), 3, "qvb", 3) !=
            CSTR_EQUAL ||
        CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str() + name.size() - Suffix,
                       Suffix, ".tmp", 4) != CSTR_EQUAL)
        return false;
    for (std::size_t i = Prefix; i < name.size() - Suffix; ++i)
        if (!isxdigit(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    std::string out;
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr))
            return false;
        if (got == 0)
            break;
        out.append(chunk, got);
    }
    bytes.swap(out);
    return true;
}

} // namespace platform

namespace platform {

namespace {
HANDLE H(FileHandle f) {
    return reinterpret_cast<HANDLE>(f);
}
} // namespace

FileHandle OpenFileForWriting(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? InvalidFile : reinterpret_cast<FileHandle>(h);
}

FileHandle OpenFileForUpdate(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? InvalidFile : reinterpret_cast<FileHandle>(h);
}

FileHandle OpenFileForReading(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? InvalidFile : reinterpret_cast<FileHandle>(h);
}

std::int64_t SizeOfFile(FileHandle file) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(H(file), &size) ? size.QuadPart : -1;
}

void CloseFile(FileHandle file) {
    CloseHandle(H(file));
}

bool WriteToFile(FileHandle file, const void* bytes, std::size_t n) {
    return WriteAll(H(file), std::string_view(static_cast<const char*>(bytes), n));
}

long long ReadFromFile(FileHandle file, void* bytes, std::size_t n) {
    DWORD got = 0;
    DWORD want = static_cast<DWORD>(n < (1u << 30) ? n : (1u << 30));
    if (!ReadFile(H(file), bytes, want, &got, nullptr))
        return -1;
    return got;
}

bool SeekFile(FileHandle file, std::int64_t position) {
    LARGE_INTEGER to;
    to.QuadPart = position;
    return SetFilePointerEx(H(file), to, nullptr, FILE_BEGIN) != 0;
}

bool TruncateFile(FileHandle file, std::int64_t size) {
    LARGE_INTEGER here{}, zero{};
    if (!SetFilePointerEx(H(file), zero, &here, FILE_CURRENT) || !SeekFile(file, size) ||
        !SetEndOfFile(H(file)))
        return false;
    return SeekFile(file, here.QuadPart);
}

FileHandle CreateTemporaryBeside(const std::string& target, std::string& temporary) {
    char temp[MAX_PATH + 1] = {};
    if (GetTempFileNameA(DirectoryOf(target).c_str(), "qvb", 0, temp) == 0)
        return InvalidFile;
    HANDLE h = CreateFileA(temp, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DeleteFileA(temp);
        return InvalidFile;
    }
    temporary = temp;
    return reinterpret_cast<FileHandle>(h);
}

bool CommitTemporary(FileHandle file, const std::string& temporary, const std::string& target) {
    bool ok = FlushFileBuffers(H(file)) != 0;
    ok = CloseHandle(H(file)) != 0 && ok;
    ok = ok && MoveFileExA(temporary.c_str(), target.c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok)
        DeleteFileA(temporary.c_str());
    return ok;
}

void DiscardTemporary(FileHandle file, const std::string& temporary) {
    CloseHandle(H(file));
    DeleteFileA(temporary.c_str());
}

} // namespace platform
