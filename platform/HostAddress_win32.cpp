#include "platform/HostAddress.h"

#include <winsock2.h>

#include <cstring>

namespace platform {

namespace {

// One start of the socket services, stopped on every path.
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        started_ = WSAStartup(0x0101, &data) == 0;
    }
    ~WinsockSession() {
        if (started_)
            WSACleanup();
    }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool Started() const { return started_; }

private:
    bool started_ = false;
};

constexpr int HostNameBufferSize = 64;

} // namespace

std::vector<std::string> OwnHostIPv4Addresses() {
    std::vector<std::string> result;
    WinsockSession session;
    if (!session.Started())
        return result;
    char name[HostNameBufferSize] = {};
    if (gethostname(name, sizeof name) != 0)
        return result;
    name[sizeof name - 1] = '\0';
    hostent* entry = gethostbyname(name);
    if (!entry || entry->h_addrtype != AF_INET || entry->h_length != 4)
        return result;
    for (char** p = entry->h_addr_list; p && *p; ++p) {
        in_addr address;
        memcpy(&address, *p, sizeof address);
        const char* text = inet_ntoa(address);
        if (text)
            result.emplace_back(text);
    }
    return result;
}

} // namespace platform
