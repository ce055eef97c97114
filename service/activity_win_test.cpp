#include "service/activity_win.h"

#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/messages.h"
#include "common/payload.h"
#include "common/session_win.h"
#include "common/win_handle.h"
#include "service/openvpn_install_for_testing_win.h"
#include "service/service_state.h"
#include "tests/support/win_test_util.h"

namespace lumet::service {
namespace {

std::optional<DWORD> ReadActivityValue(const wchar_t* name) {
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegGetValueW(HKEY_LOCAL_MACHINE, kActivityKeyPath, name, RRF_RT_REG_DWORD, nullptr, &value,
                     &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return value;
}

void DeleteActivityValues() {
    common::UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kActivityKeyPath, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                      key.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(key.get(), kActivityValueName);
        RegDeleteValueW(key.get(), kActivityReasonsValueName);
    }
}

std::vector<uint8_t> ReportBody(bool active, uint32_t pid) {
    common::PayloadWriter writer;
    common::Write(writer, common::OpenVpnActivityReport{active, 3, pid});
    return writer.Take();
}

using testing_support::StandInProcess;

TEST(OpenVpnProcessCheck, OnlyALiveOpenVpnImageCounts) {
    EXPECT_EQ(CheckOpenVpnProcess(0), ProcessCheck::ProcessNone);
    // This test program: alive, but not OpenVPN.
    EXPECT_EQ(CheckOpenVpnProcess(GetCurrentProcessId()), ProcessCheck::ProcessGone);
    // Process ids are multiples of 4; this one is never handed out.
    EXPECT_EQ(CheckOpenVpnProcess(0xFFFFFFFDu), ProcessCheck::ProcessGone);

    for (const wchar_t* image : {L"openvpn.exe", L"OpenVPN.EXE"}) {
        StandInProcess openvpn(image);
        ASSERT_NE(openvpn.pid(), 0u);
        EXPECT_EQ(CheckOpenVpnProcess(openvpn.pid()), ProcessCheck::ProcessIsOpenVpn);
        // While a handle is held the exited process can still be opened: its exit code decides.
        openvpn.Kill();
        EXPECT_EQ(CheckOpenVpnProcess(openvpn.pid()), ProcessCheck::ProcessGone);
    }
    StandInProcess other(L"openvpn-gui.exe");
    ASSERT_NE(other.pid(), 0u);
    EXPECT_EQ(CheckOpenVpnProcess(other.pid()), ProcessCheck::ProcessGone);
}

class ActivityRecordTest : public testing::Test {
  protected:
    void SetUp() override {
        had_values_ = ReadActivityValue(kActivityValueName).has_value();
        // No staging directory: staged files of another run cannot blur the verdicts here.
        install_.DeleteValue();
        // Construction records once: from here on the record changes only with the evidence.
        state_ = std::make_unique<ServiceState>(/*console_mode=*/true);
    }

    void TearDown() override {
        state_.reset();
        if (!had_values_) {
            DeleteActivityValues();
        }
    }

    // Records at `now` and returns the (state, reasons) written to the registry.
    std::pair<std::optional<DWORD>, std::optional<DWORD>> RecordAt(uint64_t now) {
        RecordVpnActivity(*state_, now);
        return {ReadActivityValue(kActivityValueName),
                ReadActivityValue(kActivityReasonsValueName)};
    }

    using Values = std::pair<std::optional<DWORD>, std::optional<DWORD>>;
    static Values V(DWORD state, DWORD reasons) { return {state, reasons}; }

    // First member: the activity record and OpenVPN's registry value go to a key of this test's
    // own, not to the machine's, for as long as the fixture lives.
    test::IsolatedLocalMachine isolated_machine_;
    testing_support::OpenVpnInstallForTesting install_;
    bool had_values_ = false;
    std::unique_ptr<ServiceState> state_;
};

TEST_F(ActivityRecordTest, AgentReportsAgeAndAreCheckedAgainstTheProcess) {
    const uint64_t t0 = GetTickCount64();
    ASSERT_EQ(RecordAt(t0), V(0, 0x000));

    ASSERT_TRUE(StoreOpenVpnActivityReport(*state_, ReportBody(true, 0), t0));
    EXPECT_EQ(RecordAt(t0 + 5000), V(1, 0x020));
    EXPECT_EQ(RecordAt(t0 + 20000), V(1, 0x020));
    EXPECT_EQ(RecordAt(t0 + 25000), V(0, 0x080));

    StandInProcess openvpn(L"openvpn.exe");
    ASSERT_NE(openvpn.pid(), 0u);
    ASSERT_TRUE(StoreOpenVpnActivityReport(*state_, ReportBody(true, openvpn.pid()), t0));
    EXPECT_EQ(RecordAt(t0 + 25000), V(1, 0x040));
    // A report that says inactive still lets a live openvpn.exe count.
    ASSERT_TRUE(StoreOpenVpnActivityReport(*state_, ReportBody(false, openvpn.pid()), t0));
    EXPECT_EQ(RecordAt(t0), V(1, 0x040));
    openvpn.Kill();
    ASSERT_TRUE(StoreOpenVpnActivityReport(*state_, ReportBody(true, openvpn.pid()), t0));
    EXPECT_EQ(RecordAt(t0), V(0, 0x080));

    // Not decodable: nothing changes.
    EXPECT_FALSE(StoreOpenVpnActivityReport(*state_, std::vector<uint8_t>{1, 0}, t0));
    std::lock_guard<std::mutex> lock(state_->activity_lock);
    EXPECT_TRUE(state_->reported_active);
    EXPECT_EQ(state_->reported_openvpn_pid, openvpn.pid());
}

}  // namespace
}  // namespace lumet::service
