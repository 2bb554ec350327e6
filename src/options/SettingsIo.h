#pragma once
#include "options/ProfileStore.h"
#include "options/Settings.h"

namespace kestrova {

// Reads the six settings from PROFILE_SECTION. Values are taken as stored,
// without range checks; a missing key gets its default. The yes/no defaults
// of showHostname and checkPacket are deliberately not PROFILE_TRUE, so a
// missing key reads as off.
Settings loadSettings(ProfileStore& store);

// Writes all six settings to PROFILE_SECTION, one key at a time. A key that
// cannot be written is skipped without a report, and the rest are still tried.
void saveSettings(ProfileStore& store, const Settings& settings);

}  // namespace kestrova
