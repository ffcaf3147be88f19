#include "support/LocalAddress.h"

#include <gtest/gtest.h>

namespace {

bool IsDottedQuad(const std::string& s) {
    int parts = 0, digits = 0, value = 0;
    for (char c : s + ".") {
        if (c == '.') {
            if (digits == 0 || value > 255)
                return false;
            ++parts;
            digits = value = 0;
        } else if (c >= '0' && c <= '9' && digits < 3) {
            value = value * 10 + (c - '0');
            ++digits;
        } else {
            return false;
        }
    }
    return parts == 4;
}

} // namespace

TEST(LocalAddress, ListIsSortedAsTextWithoutDuplicates) {
    using V = std::vector<std::string>;
    const struct {
        V in, out;
    } cases[] = {
        {{"192.168.0.7", "10.0.0.5"}, {"10.0.0.5", "192.168.0.7"}},
        {{"10.0.0.9", "10.0.0.10"}, {"10.0.0.10", "10.0.0.9"}},
        {{"127.0.0.1"}, {"127.0.0.1"}},
        {{"10.1.1.1", "10.1.1.1", "9.0.0.1", "10.1.1.1"}, {"10.1.1.1", "9.0.0.1"}},
        {{}, {}},
    };
    for (const auto& c : cases) {
        TAddressList list;
        for (const auto& a : c.in)
            list.Add(a);
        EXPECT_EQ(list.Items(), c.out);
    }
}

TEST(LocalAddress, OwnAddressesAreDottedQuadsInOrder) {
    TAddressList list = LocalAddressList();
    const auto& items = list.Items();
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_TRUE(IsDottedQuad(items[i])) << items[i];
        if (i > 0) {
            EXPECT_LT(items[i - 1], items[i]);
        }
    }
    EXPECT_EQ(LocalAddressText(), items.empty() ? std::string() : items.front());
}
