#include "launcher/SelfReplace.h"

#include "platform/Files.h"

void ReplaceOwnExecutable(const std::string& directory) {
    const std::string current = directory + "QVBrelmox.exe";
    const std::string delivered = directory + "QVBrelmox.new";
    const std::string previous = directory + "QVBrelmox.ant";
    if (!platform::FileExists(delivered))
        return;
    platform::RemoveFile(previous);
    const bool kept = platform::RenameFile(current, previous);
    if (!platform::RenameFile(delivered, current) && kept)
        platform::RenameFile(previous, current);
}
