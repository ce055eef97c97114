#include "agent/openvpn/listener_owner.h"

#include <gtest/gtest.h>

namespace lumet::agent::openvpn {
namespace {

TEST(ListenerOwnerTest, OnlyTheReportedProcessOrWinesUnknownOwnerIsAccepted) {
    using V = ListenerOwnerVerdict;
    const struct {
        const char* name;
        std::optional<uint32_t> owner;
        uint32_t expected;
        bool wine;
        V verdict;
    } cases[] = {
        {"the reported process", 4242, 4242, false, V::Accept},
        {"the reported process, under Wine", 4242, 4242, true, V::Accept},
        {"another process took the port", 666, 4242, false, V::Refuse},
        {"another process, under Wine", 666, 4242, true, V::Refuse},
        {"owner 0 on Windows", 0, 4242, false, V::Refuse},
        {"owner 0 under Wine", 0, 4242, true, V::AcceptUnknownUnderWine},
        {"no listener found", std::nullopt, 4242, false, V::Refuse},
        {"no listener found, under Wine", std::nullopt, 4242, true, V::Refuse},
        {"no reported process", 0, 0, true, V::Refuse},
        {"no reported process, some owner", 7, 0, false, V::Refuse},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JudgeListenerOwner(c.owner, c.expected, c.wine), c.verdict) << c.name;
    }
}

}  // namespace
}  // namespace lumet::agent::openvpn
