#include "agent/openvpn/listener_owner.h"

namespace lumet::agent::openvpn {

ListenerOwnerVerdict JudgeListenerOwner(std::optional<uint32_t> owner, uint32_t expected,
                                        bool under_wine) {
    if (!owner || expected == 0) {
        return ListenerOwnerVerdict::Refuse;
    }
    if (*owner == expected) {
        return ListenerOwnerVerdict::Accept;
    }
    // Process id 0 is the idle process on Windows and never owns a socket; Wine says 0 for every
    // listener, even a process's own.
    if (*owner == 0 && under_wine) {
        return ListenerOwnerVerdict::AcceptUnknownUnderWine;
    }
    return ListenerOwnerVerdict::Refuse;
}

}  // namespace lumet::agent::openvpn
