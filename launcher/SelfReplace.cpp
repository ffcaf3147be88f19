#include "launcher/SelfReplace.h"

#include "platform/Authenticode.h"

TSwapResult ReplaceOwnExecutable(const std::string& directory, const TDeliveredCheck& check) {
    const std::string current = directory + "QVBrelmox.exe";
    const std::string delivered = directory + "QVBrelmox.new";
    const std::string previous = directory + "QVBrelmox.ant";
    if (!platform::FileExists(delivered))
        return swNothing;
    platform::TOpenFile held(check ? platform::OpenFileDenyingWrites(delivered)
                                   : platform::InvalidFile);
    if (check) {
        if (held.Handle() == platform::InvalidFile)
            return swWaiting; // someone writes it still: checked at a later exit
        if (!check(delivered, held.Handle())) {
            platform::CloseFile(held.Release());
            platform::RemoveFile(delivered);
            return swRefused;
        }
    }
    platform::RemoveFile(previous);
    const bool kept = platform::RenameFile(current, previous);
    if (platform::RenameFile(delivered, current))
        return swSwapped;
    if (kept)
        platform::RenameFile(previous, current);
    return swWaiting;
}

TDeliveredCheck PinnedPublisherCheck(std::string pinned) {
    return [pinned = std::move(pinned)](const std::string& path, platform::FileHandle file) {
        return !pinned.empty() && platform::VerifiedSigner(path, file) == pinned;
    };
}
