#include "service/data_folder.h"

#include <gtest/gtest.h>

#include <string>

namespace lumet::service {
namespace {

constexpr wchar_t kServiceAccount[] = L"S-1-5-21-0-0-0-1000";
constexpr wchar_t kOtherUser[] = L"S-1-5-21-111-222-333-1001";

PathFacts Folder(std::wstring owner) {
    return PathFacts{true, kAttributeDirectory, 1, std::move(owner)};
}
PathFacts File(std::wstring owner, uint32_t links = 1) {
    return PathFacts{true, 0x80 /*FILE_ATTRIBUTE_NORMAL*/, links, std::move(owner)};
}

TEST(DataPathVerdict, RefusesLinksForeignOwnersAndWrongTypes) {
    struct Case {
        const char* what;
        PathKind kind;
        PathFacts facts;
        PathVerdict verdict;
    };
    PathFacts junction = Folder(kLocalSystemSid);
    junction.attributes |= kAttributeReparsePoint;
    PathFacts file_link = File(kLocalSystemSid);
    file_link.attributes |= kAttributeReparsePoint;
    // A user-owned link is refused as a link first: the owner of a link says nothing about where
    // it points.
    PathFacts user_junction = Folder(kOtherUser);
    user_junction.attributes |= kAttributeReparsePoint;
    const Case cases[] = {
        {"folder owned by LocalSystem", PathKind::Folder, Folder(kLocalSystemSid),
         PathVerdict::Usable},
        {"folder owned by Administrators", PathKind::Folder, Folder(L"s-1-5-32-544"),
         PathVerdict::Usable},
        {"folder owned by the service's own account", PathKind::Folder, Folder(kServiceAccount),
         PathVerdict::Usable},
        {"folder with a link count above 1", PathKind::Folder,
         PathFacts{true, kAttributeDirectory, 5, kLocalSystemSid}, PathVerdict::Usable},
        {"log file owned by LocalSystem", PathKind::LogFile, File(kLocalSystemSid),
         PathVerdict::Usable},
        {"missing", PathKind::Folder, PathFacts{}, PathVerdict::Missing},
        {"junction", PathKind::Folder, junction, PathVerdict::ReparsePoint},
        {"user's junction", PathKind::Folder, user_junction, PathVerdict::ReparsePoint},
        {"symbolic link as log file", PathKind::LogFile, file_link, PathVerdict::ReparsePoint},
        {"file where a folder belongs", PathKind::Folder, File(kLocalSystemSid),
         PathVerdict::WrongType},
        {"folder where the log file belongs", PathKind::LogFile, Folder(kLocalSystemSid),
         PathVerdict::WrongType},
        {"hard-linked log file", PathKind::LogFile, File(kLocalSystemSid, 2),
         PathVerdict::HardLinked},
        {"log file whose link count is unknown (0)", PathKind::LogFile, File(kLocalSystemSid, 0),
         PathVerdict::HardLinked},
        {"folder owned by another user", PathKind::Folder, Folder(kOtherUser),
         PathVerdict::UntrustedOwner},
        {"log file owned by another user", PathKind::LogFile, File(kOtherUser),
         PathVerdict::UntrustedOwner},
        {"folder owned by Users", PathKind::Folder, Folder(L"S-1-5-32-545"),
         PathVerdict::UntrustedOwner},
        {"owner that could not be read", PathKind::Folder, Folder(L""), PathVerdict::OwnerUnknown},
        {"prefix of LocalSystem", PathKind::Folder, Folder(L"S-1-5-1"),
         PathVerdict::UntrustedOwner},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(JudgeDataPath(c.kind, c.facts, kServiceAccount), c.verdict) << c.what;
    }
}

TEST(DataPathVerdict, WithoutAnOwnAccountOnlyLocalSystemAndAdministratorsAreTrusted) {
    EXPECT_EQ(JudgeDataPath(PathKind::Folder, Folder(kServiceAccount), L""),
              PathVerdict::UntrustedOwner);
    EXPECT_FALSE(IsTrustedOwner(L"", L""));
    EXPECT_TRUE(IsTrustedOwner(L"S-1-5-18", L""));
}

TEST(DataPathRefusal, NamesThePathTheReasonAndTheOwner) {
    const std::wstring line =
        RefusalMessage(PathVerdict::UntrustedOwner, L"C:\\ProgramData\\Orrinfield", kOtherUser);
    EXPECT_NE(line.find(L"C:\\ProgramData\\Orrinfield"), std::wstring::npos);
    EXPECT_NE(line.find(kOtherUser), std::wstring::npos);
    EXPECT_NE(RefusalMessage(PathVerdict::HardLinked, L"x", L"").find(L"hard link"),
              std::wstring::npos);
    EXPECT_NE(RefusalMessage(PathVerdict::ReparsePoint, L"x", L"").find(L"reparse point"),
              std::wstring::npos);
}

TEST(DataFolderPaths, OutermostFirstEndingWithTheLogFolder) {
    const auto folders = DataFolderPaths(L"C:\\ProgramData");
    ASSERT_EQ(folders.size(), 3u);
    EXPECT_EQ(folders[0], L"C:\\ProgramData\\Orrinfield");
    EXPECT_EQ(folders[1], L"C:\\ProgramData\\Orrinfield\\vpn");
    EXPECT_EQ(folders[2], L"C:\\ProgramData\\Orrinfield\\vpn\\logs");
    EXPECT_EQ(ServiceLogPath(L"C:\\ProgramData"),
              L"C:\\ProgramData\\Orrinfield\\vpn\\logs\\service.log");
}

}  // namespace
}  // namespace lumet::service
