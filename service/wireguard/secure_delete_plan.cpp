#include "service/wireguard/secure_delete_plan.h"

namespace lumet::service::wireguard {

SecureDeletePlan PlanSecureDelete(const PathFacts& facts) {
    if (!facts.exists || facts.is_directory) {
        return SecureDeletePlan::Leave;
    }
    if (facts.is_reparse_point) {
        return SecureDeletePlan::UnlinkOnly;
    }
    return SecureDeletePlan::OverwriteAndDelete;
}

bool ShouldOverwriteFileOfSize(uint64_t size) {
    return size >= 1 && size <= 1048575;
}

}  // namespace lumet::service::wireguard
