#pragma once

namespace kestrova {

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int millisecond = 0;
    // Local time minus UTC, in seconds (3600 for UTC+01:00).
    int utcOffsetSeconds = 0;

    bool operator==(const LocalTime&) const = default;
};

class Clock {
public:
    virtual ~Clock() = default;
    virtual LocalTime now() = 0;
};

}  // namespace kestrova
