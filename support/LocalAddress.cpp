#include "support/LocalAddress.h"

#include "platform/HostAddress.h"
#include "support/Text.h"

#include <algorithm>

void TAddressList::Add(const std::string& address) {
    auto at = std::lower_bound(
        items_.begin(), items_.end(), address,
        [](const std::string& a, const std::string& b) { return CompareText(a, b) < 0; });
    if (at != items_.end() && CompareText(*at, address) == 0)
        return;
    items_.insert(at, address);
}

TAddressList LocalAddressList() {
    TAddressList list;
    for (const std::string& address : platform::OwnHostIPv4Addresses())
        list.Add(address);
    return list;
}

std::string LocalAddressText() {
    TAddressList list = LocalAddressList();
    return list.Empty() ? std::string() : list.Items().front();
}
