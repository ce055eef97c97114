// Detection of Wine, for the few narrow accommodations listed in docs/wine.md.
#pragma once

namespace lumet::common {

// True when this process runs under Wine (ntdll exports wine_get_version). Product code may use it
// only to tolerate one documented failure of a call that Wine lacks, and must log when it does.
bool RunningUnderWine();

}  // namespace lumet::common
