#pragma once

namespace kestrova {

// Whether the X server that `display` names (as DISPLAY does; the
// environment's DISPLAY when null) accepts a client now: connected and let
// in, the way the window's own connection will be.
bool xDisplayReachable(const char* display);

// Whether the Wayland compositor's socket that `display` names (as
// WAYLAND_DISPLAY does: a path, or a name in `runtimeDirectory`) takes a
// connection now.
bool waylandDisplayReachable(const char* display, const char* runtimeDirectory);

}  // namespace kestrova
