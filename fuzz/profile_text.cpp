// QVBrelmox.ini as the launcher reads it back: any text in the file, then the reads of the
// version check and a write of a version followed by its read. Reads stay within the value
// limit, and a value written is the value read.

#include "platform/Profile.h"
#include "update/ProfileFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

const std::string& Path() {
    static const std::string path = [] {
        char dir[] = "/tmp/qvb-fuzz-profile-XXXXXX";
        if (!::mkdtemp(dir))
            std::abort();
        return std::string(dir) + "/QVBrelmox.ini";
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(Path().c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    TProfileFile ini(Path());
    for (const char* key : {"Unidade", "Usuario", "Telefone", "Email"})
        if (ini.ReadString("Unidade", key, "").size() > platform::ProfileValueMax)
            std::abort();
    ini.ReadString("Versao", "VersaoAtual", "");
    try {
        ini.WriteString("Versao", "tabela com espaco.dat", "2026.12");
        ini.WriteString("Versao", "VersaoAtual", "3.1");
    } catch (const EIniFileException&) {
        std::abort();
    }
    if (ini.ReadString("Versao", "tabela com espaco.dat", "") != "2026.12" ||
        ini.ReadString("Versao", "VersaoAtual", "") != "3.1")
        std::abort();
    return 0;
}
