#include "update/ProfileFile.h"

#include "platform/Locale.h"
#include "platform/Profile.h"
#include "support/FileHelpers.h"

std::string TProfileFile::ReadString(const std::string& section, const std::string& key,
                                     const std::string& defaultValue) const {
    return platform::ReadProfileValue(path_, section, key, defaultValue);
}

void TProfileFile::WriteString(const std::string& section, const std::string& key,
                               const std::string& value) {
    if (!platform::WriteProfileValue(path_, section, key, value))
        throw EIniFileException("Incapaz de escrever para " + path_);
}

void TProfileFile::DeleteKey(const std::string& section, const std::string& key) {
    if (!platform::DeleteProfileKey(path_, section, key))
        throw EIniFileException("Incapaz de escrever para " + path_);
}

void TProfileFile::WriteDate(const std::string& section, const std::string& key) {
    WriteString(section, key, platform::ShortDateText());
}

std::string ReadCurrentVersion(const TProfileFile& ini, const std::string& appDir) {
    std::string version = ini.ReadString("Versao", "VersaoAtual", "");
    if (version.empty())
        GetFileVersionText(appDir + "QVBrelmoxapp.exe", version);
    if (version.empty())
        GetFileVersionText("", version);
    return version;
}
