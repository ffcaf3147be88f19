#pragma once
// The host's own IPv4 address as its name resolution gives it, for the usage report.

#include <string>
#include <vector>

// A list of address texts kept in ascending text order without regard to letter case; an
// address already in it is not added again.
class TAddressList {
public:
    void Add(const std::string& address);
    const std::vector<std::string>& Items() const { return items_; }
    bool Empty() const { return items_.empty(); }

private:
    std::vector<std::string> items_;
};

// Every IPv4 address of this host's name, sorted; empty on any failure of the socket services.
TAddressList LocalAddressList();

// The first address of LocalAddressList, or empty text.
std::string LocalAddressText();
