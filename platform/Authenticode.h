#pragma once
// Authenticode: who signed a program, as the system's own verification sees it.

#include <string>

#include "platform/Files.h"

namespace platform {

// Opens an existing file for reading while others may read, rename or delete it, but never
// write it; InvalidFile when it cannot be opened so. (POSIX has no such sharing rule: there it
// is a plain read-only open.)
FileHandle OpenFileDenyingWrites(const std::string& path);

// The signer's certificate (DER) of the open file at path when its Authenticode signature
// verifies (WinVerifyTrust, with no user interface and no network); empty when the file is
// unsigned, altered after signing, or refused for any other reason. The bytes checked are the
// open file's: keep it open, denying writes, for as long as the answer must hold. Always empty
// where the system has no Authenticode.
std::string VerifiedSigner(const std::string& path, FileHandle file);

} // namespace platform
