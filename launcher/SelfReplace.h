#pragma once
// The exit-time swap of a launcher executable that the version check delivered.

#include <functional>
#include <string>

#include "platform/Files.h"

// What a build with a pinned publisher asks of a delivered launcher before it takes the place:
// given its path and the open file (held against writes until the swap), whether it may.
using TDeliveredCheck = std::function<bool(const std::string& path, platform::FileHandle file)>;

enum TSwapResult {
    swNothing, // no delivered launcher
    swSwapped, // it took the place
    swWaiting, // it could not take the place (or be held for the check): it stays for next exit
    swRefused, // the check refused it: it is removed and the launcher stays as it is
};

// In directory (ending in a backslash): when "QVBrelmox.new" exists, drop "QVBrelmox.ant",
// keep "QVBrelmox.exe" as "QVBrelmox.ant" and move "QVBrelmox.new" into its place. When the new
// file cannot take the place, the kept executable is moved back, so the directory never loses
// its launcher, and "QVBrelmox.new" waits for the next exit. With a check, the delivered file
// is opened denying writes before it is checked and stays so until it has taken the place, so
// the file checked is the file swapped in; a refused one is removed.
TSwapResult ReplaceOwnExecutable(const std::string& directory, const TDeliveredCheck& check = {});

// The check of a build with a pinned publisher: the file's Authenticode signature verifies
// and its signer's certificate is, byte for byte, pinned (DER).
TDeliveredCheck PinnedPublisherCheck(std::string pinned);

// The publisher certificate (DER) that a delivered launcher must be signed with; empty in a
// build without a pin. Made by the build from QVB_PUBLISHER_PIN.
std::string EmbeddedPublisherCertificate();
