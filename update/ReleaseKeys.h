#pragma once
// The release keys built into a program (CMake's QVB_RELEASE_KEYS): PEM texts of ECDSA P-256
// public keys, none in a build without keys. Defined by the keys library the program links.

#include <string>
#include <vector>

std::vector<std::string> EmbeddedReleaseKeyPems();

// The PEM CA certificates an https update server must chain to (CMake's QVB_TLS_ROOTS); none
// means the platform's store decides.
std::vector<std::string> EmbeddedTlsRootPems();
