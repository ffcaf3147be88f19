#pragma once
// The SSPI function table of secur32.dll, loaded from the system folder when first needed: a
// plain start never loads it. TLS (Schannel) and the proxy's sign-on share it.

#include "platform/WinHandles.h"

#ifndef SECURITY_WIN32
#define SECURITY_WIN32
#endif
#include <security.h>
#include <sspi.h>

namespace platform {

class TSspiTable {
public:
    TSspiTable() : library_(LoadSystemLibrary("secur32.dll")) {
        if (!library_)
            return;
        auto init = reinterpret_cast<INIT_SECURITY_INTERFACE_A>(
            reinterpret_cast<void*>(GetProcAddress(library_.Get(), SECURITY_ENTRYPOINT_ANSIA)));
        table_ = init ? init() : nullptr;
    }
    PSecurityFunctionTableA operator->() const { return table_; }
    explicit operator bool() const { return table_ != nullptr; }

private:
    UniqueModule library_;
    PSecurityFunctionTableA table_ = nullptr;
};

} // namespace platform
