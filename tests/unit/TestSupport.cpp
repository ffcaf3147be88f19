#include "TestSupport.h"

#include "platform/Files.h"
#include "support/FileHelpers.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

TTempDir::TTempDir() {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    native_ = fs::temp_directory_path() /
              ("qvb-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(native_);
    path_ = native_.string();
    // The program's path form uses backslashes on every platform.
    std::replace(path_.begin(), path_.end(), '/', '\\');
    if (path_.back() != '\\')
        path_ += '\\';
}

TTempDir::~TTempDir() {
    std::error_code ignored;
    fs::remove_all(native_, ignored);
}

int TTempDir::EntryCount() const {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(native_))
        ++n;
    return n;
}

bool HaveWindowsFixtures() {
    return platform::FileExists(AppDirectory() + "version_ptbr.exe");
}

std::string ReadFileOrDie(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(platform::ReadWholeFile(path, bytes)) << path;
    return bytes;
}

std::string ProxyListText(const TIdProxyList& list) {
    std::string out;
    for (const TIdProxyServer& p : list) {
        if (!out.empty())
            out += ',';
        out += p.Direct() ? std::string("DIRECT") : p.Host + ":" + std::to_string(p.Port);
    }
    return out;
}
