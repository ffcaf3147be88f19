#pragma once
// Helpers shared by the unit tests.

#include <filesystem>
#include <string>

#include "http/IdProxy.h"

// A fresh directory for one test, removed with everything in it when the object goes.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    // The directory in the program's path form, ending in a backslash.
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + name; }

    // How many entries the directory holds (to see that nothing was left behind).
    int EntryCount() const;

private:
    std::filesystem::path native_;
    std::string path_;
};

// True when the Windows test fixtures (executables with version resources) sit beside the test
// program, which is the case in the Windows builds only.
bool HaveWindowsFixtures();

std::string ReadFileOrDie(const std::string& path);

// A proxy list as "a:8080,DIRECT,b:3128", for comparing lists in one line.
std::string ProxyListText(const TIdProxyList& list);
