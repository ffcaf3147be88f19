// The version file as the version check walks it: the markers, the current version and the
// listed names that would be requested and written. Every input must end in a decision, never a
// crash or a read past the text.

#include "update/Updater.h"
#include "update/VersionFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TVersionFile file(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!file.IsComplete())
        return 0;
    file.Delete(file.IndexOfName("Start.Ok"));
    file.Delete(file.IndexOfName("End.Ok"));
    std::string current = file.Value(":VersaoAtual");
    (void)current;
    for (int i = static_cast<int>(file.Lines().size()) - 1; i >= 0; --i) {
        const std::string& name = file.Lines()[static_cast<std::size_t>(i)].Name;
        if (name.empty() || name[0] == ':')
            file.Delete(i);
    }
    for (const TVersionFile::TLine& line : file.Lines()) {
        // A name that is requested and written never leaves the installation.
        if (IsSafeRelativeName(line.Name) &&
            (line.Name.find("..\\") == 0 || line.Name.find("../") == 0 || line.Name[0] == '\\'))
            std::abort();
        std::string extension = FileExtension(line.Name);
        if (extension.size() > line.Name.size())
            std::abort();
    }
    return 0;
}
