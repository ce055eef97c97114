// Classification of the interactive service's replies.
#include "agent/openvpn/launch_reply.h"

#include <gtest/gtest.h>

#include <string>

namespace lumet::agent::openvpn {
namespace {

using Status = InteractiveLaunchStatus;

TEST(LaunchReplyTest, ClassifiesReplies) {
    const struct {
        std::u16string reply;
        Status status;
        uint32_t pid;
        std::wstring message;
    } cases[] = {
        {u"0x00000000\n0x00001a2c\nProcess ID", Status::Launched, 0x1a2c, L""},
        {u"0x00000000\n0x00001A2C\nProcess ID\n", Status::Launched, 0x1a2c, L""},
        {u"0x00000000\n0xFFFFFFFF\nopenvpn.exe Process ID", Status::Launched, 0xFFFFFFFF, L""},
        // The service may count its terminator; what follows it is not part of the reply.
        {std::u16string(u"0x00000000\n0x00000010\nProcess ID\0junk", 37), Status::Launched, 16,
         L""},
        // Malformed success replies.
        {u"0x00000000\n0x0001a2c\nProcess ID", Status::Failed, 0, L""},  // 7 digits
        {u"0x00000000\n0x00001a2c\nprocess id", Status::Failed, 0, L""},
        {u"0x00000000\n0x00001a2c Process ID", Status::Failed, 0, L""},
        {u"0x00000000\n0x00001a2g\nProcess ID", Status::Failed, 0, L""},
        {u"0x00000000\n0x00001a2c\n", Status::Failed, 0, L""},
        {u"0x00000000\n", Status::Failed, 0, L""},
        // Malformed code lines.
        {u"", Status::Failed, 0, L""},
        {u"0x0000000\n", Status::Failed, 0, L""},
        {u"0x000000000\nx", Status::Failed, 0, L""},
        {u"0X00000000\n0x00001a2c\nProcess ID", Status::Failed, 0, L""},
        {u"0x00000000\r\n0x00001a2c\nProcess ID", Status::Failed, 0, L""},
        {u" 0x00000000\n0x00001a2c\nProcess ID", Status::Failed, 0, L""},
        // Error codes.
        // Message-data and message-type errors never answer a startup message.
        {u"0x20000002\nHandleMessage\nmessage data", Status::Failed, 0,
         L"HandleMessage\nmessage data"},
        {u"0x20000003\nHandleMessage\nUnknown message type", Status::Failed, 0,
         L"HandleMessage\nUnknown message type"},
        {u"0x20000001\nGetStartupData\nStartup data is malformed", Status::Rejected, 0,
         L"GetStartupData\nStartup data is malformed"},
        {u"0x20000001\nUser is not authorized to run OpenVPN", Status::NotPermitted, 0,
         L"User is not authorized to run OpenVPN"},
        {u"0x20000001\nneeds admin approval", Status::NotPermitted, 0, L"needs admin approval"},
        {u"0x20000001\nnot in the admin group", Status::NotPermitted, 0, L"not in the admin group"},
        {u"0x20000001\nmember of Administrators required", Status::NotPermitted, 0,
         L"member of Administrators required"},
        {u"0x20000001\nADMINISTRATORS only", Status::Rejected, 0, L"ADMINISTRATORS only"},
        {u"0x20000001\noption --foo is not allowed", Status::Rejected, 0,
         L"option --foo is not allowed"},
        {u"0x20000001\n", Status::Rejected, 0, L""},
        {u"0x000004d2\nsomething else", Status::ServiceError, 0, L"something else"},
        {u"0xdeadBEEF\n", Status::ServiceError, 0, L""},
    };
    for (const auto& c : cases) {
        const LaunchResult r = ParseLaunchReply(c.reply);
        const std::string shown(c.reply.begin(), c.reply.end());
        EXPECT_EQ(r.status, c.status) << shown;
        EXPECT_EQ(r.process_id, c.pid) << shown;
        EXPECT_EQ(r.message, c.message) << shown;
    }
}

TEST(LaunchReplyTest, KeepsAtMost500UnitsOfTheMessage) {
    // The rights wording past the kept part does not count.
    const std::u16string long_text(500, u'x');
    const LaunchResult r = ParseLaunchReply(u"0x20000001\n" + long_text + u"Administrators");
    EXPECT_EQ(r.status, Status::Rejected);
    EXPECT_EQ(r.message, std::wstring(500, L'x'));

    const LaunchResult kept = ParseLaunchReply(u"0x20000001\n" + std::u16string(486, u'y') +
                                               u"Administrators" + std::u16string(50, u'z'));
    EXPECT_EQ(kept.status, Status::NotPermitted);
    EXPECT_EQ(kept.message.size(), 500u);
}

}  // namespace
}  // namespace lumet::agent::openvpn
