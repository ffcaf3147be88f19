#pragma once
// The launcher's profile file "QVBrelmox.ini", opened on its full path for one version check.
// Every read and write goes to the file at once; nothing is cached.

#include <string>

#include "support/Exception.h"

// A write to a profile file was refused.
class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

class TProfileFile {
public:
    explicit TProfileFile(std::string path) : path_(std::move(path)) {}

    const std::string& Path() const { return path_; }

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;

    // Raises EIniFileException "Incapaz de escrever para <full path>" when the write is refused.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

    // Writes today's date in the user's short date format.
    void WriteDate(const std::string& section, const std::string& key);
    // Removes the key; raises EIniFileException as WriteString does.
    void DeleteKey(const std::string& section, const std::string& key);

private:
    std::string path_;
};

// The installed version: "Versao"/"VersaoAtual" of the profile file, else the file version of
// appDir + "QVBrelmoxapp.exe", else that of the running executable; empty when none has one.
std::string ReadCurrentVersion(const TProfileFile& ini, const std::string& appDir);
