#include "common/pipe_server_check.h"

#include "common/sid_text.h"

namespace lumet::common {

namespace {

ServerVerdict Refuse(const ServerFacts& facts, std::wstring reason) {
    ServerVerdict verdict;
    verdict.pid = facts.pid.value_or(0);
    verdict.reason = std::move(reason);
    return verdict;
}

ServerVerdict Accept(const ServerFacts& facts) {
    ServerVerdict verdict;
    verdict.accepted = true;
    verdict.pid = facts.pid.value_or(0);
    return verdict;
}

bool SameUser(const ServerFacts& facts, const std::optional<std::wstring>& own_user_sid) {
    return facts.user_sid && own_user_sid && !own_user_sid->empty() &&
           SidTextEquals(*facts.user_sid, *own_user_sid);
}

}  // namespace

ServerVerdict DecideServiceServer(const ServerFacts& facts, bool trust_console_service,
                                  const std::optional<std::wstring>& own_user_sid) {
    if (!facts.pid || *facts.pid == 0) {
        return Refuse(facts, L"server process unknown");
    }
    if (facts.registered_service_pid && *facts.registered_service_pid == *facts.pid) {
        return Accept(facts);
    }
    if (facts.is_local_system) {
        return Accept(facts);
    }
    if (trust_console_service && SameUser(facts, own_user_sid)) {
        return Accept(facts);
    }
    return Refuse(facts, trust_console_service
                             ? L"neither OrrinfieldVPNService, LocalSystem nor this user"
                             : L"neither OrrinfieldVPNService nor LocalSystem");
}

ServerVerdict DecideAgentServer(const ServerFacts& facts,
                                const std::optional<std::wstring>& own_user_sid,
                                uint32_t own_session_id) {
    if (!facts.pid || *facts.pid == 0) {
        return Refuse(facts, L"server process unknown");
    }
    if (!SameUser(facts, own_user_sid)) {
        return Refuse(facts, L"runs as another user");
    }
    if (!facts.session_id || *facts.session_id != own_session_id) {
        return Refuse(facts, L"runs in another session");
    }
    if (!facts.image_matches || !*facts.image_matches) {
        return Refuse(facts, L"is not the agent executable beside the plugin");
    }
    return Accept(facts);
}

bool TrustConsoleServiceFromText(std::wstring_view value) {
    return value == L"1";
}

std::wstring RefusedServerMessage(std::wstring_view role, const ServerVerdict& verdict) {
    return L"refused " + std::wstring(role) + L" pipe server pid=" + std::to_wstring(verdict.pid) +
           L": " + verdict.reason;
}

}  // namespace lumet::common
