#pragma once
#include "options/ProfileStore.h"
#include "options/Settings.h"

namespace kestrova {

// Reads the six settings from PROFILE_SECTION. Values are taken as stored,
// without range checks; a missing key gets its default. The yes/no defaults
// of showHostname and checkPacket are deliberately not PROFILE_TRUE, so a
// missing key reads as off. A number key whose value is not a number reads as
// 0, and the store tells the user so.
Settings loadSettings(ProfileStore& store);

// Writes all six settings to PROFILE_SECTION, one key at a time. A key that
// cannot be written is skipped, and the rest are still tried; false when any
// was not written, which the store tells the user in one line.
bool saveSettings(ProfileStore& store, const Settings& settings);

}  // namespace kestrova
