#pragma once
#include "platform/Clock.h"

namespace kestrova {

// The local wall clock, in the time zone the user has set.
class LinuxClock : public Clock {
public:
    LocalTime now() override;
};

}  // namespace kestrova
