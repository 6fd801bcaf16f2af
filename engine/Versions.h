// The version blocks of the two programs; each program registers its own
// (plat::SetVersionBlock) before it creates anything.
#pragma once

#include "VersionBlock.h"

namespace corvilink {

inline constexpr plat::VersionBlock kDesktopVersion = {
    "Corvilink-Poster", "4.6", "4.6.0.100", "Corvilink-Poster GUI"};
inline constexpr plat::VersionBlock kDaemonVersion = {
    "Corvilink-Poster-Daemon", "4.6", "4.6.0.100", "Corvilink Update Daemon"};

}  // namespace corvilink
