#include "qt/WindowPlatform.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "linux/DisplayProbe.h"

namespace kestrova {

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

}  // namespace

bool haveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        if (isSet(name)) return true;
    return false;
}

WindowPlatform windowPlatform() {
    const char* x = std::getenv("DISPLAY");
    const std::string xName =
        std::string("the X display ") + (isSet("DISPLAY") ? std::string("DISPLAY=") + x : "(DISPLAY is not set)");
    // Without WAYLAND_DISPLAY, Wayland clients look for "wayland-0".
    const char* wayland = isSet("WAYLAND_DISPLAY") ? std::getenv("WAYLAND_DISPLAY") : "wayland-0";
    const std::string waylandName =
        std::string("the Wayland display ") + (isSet("WAYLAND_DISPLAY") ? "WAYLAND_DISPLAY=" : "") + wayland;
    auto xAnswers = [] { return xDisplayReachable(nullptr); };
    auto waylandAnswers = [wayland] { return waylandDisplayReachable(wayland, std::getenv("XDG_RUNTIME_DIR")); };

    if (isSet("QT_QPA_PLATFORM")) {
        // Qt tries the user's platforms in order; only X and Wayland can be
        // asked beforehand, any other (offscreen, vnc, ...) is Qt's to judge.
        WindowPlatform none;
        const std::string chosen = std::getenv("QT_QPA_PLATFORM");
        for (std::size_t at = 0; at <= chosen.size();) {
            const std::size_t end = std::min(chosen.find(';', at), chosen.size());
            const std::string entry = chosen.substr(at, end - at);
            const std::string name = entry.substr(0, entry.find(':'));
            at = end + 1;
            if (name == "xcb") {
                if (xAnswers()) return {};
                none.unreachable.push_back(xName);
            } else if (name.starts_with("wayland")) {
                if (waylandAnswers()) return {};
                none.unreachable.push_back(waylandName);
            } else {
                return {};
            }
        }
        return none;
    }
    const char* session = std::getenv("XDG_SESSION_TYPE");
    if (!isSet("WAYLAND_DISPLAY") && !(session && std::strcmp(session, "wayland") == 0)) {
        if (xAnswers()) return {};
        return {nullptr, {xName}};
    }
    if (isSet("DISPLAY") && xAnswers()) return {"xcb;wayland", {}};
    if (!waylandAnswers()) {
        WindowPlatform none;
        if (isSet("DISPLAY")) none.unreachable.push_back(xName);
        none.unreachable.push_back(waylandName);
        return none;
    }
    if (isSet("DISPLAY"))
        std::fprintf(stderr,
                     "kestrova: the X server of this Wayland desktop (DISPLAY=%s) cannot be reached: the window "
                     "cannot stay on top or be transparent.\n",
                     x);
    else
        std::fputs("kestrova: no X server on this Wayland desktop (DISPLAY is not set): the window cannot stay on "
                   "top or be transparent.\n",
                   stderr);
    return {"wayland", {}};
}

std::string unreachableDisplays(const std::vector<std::string>& tried) {
    std::string which = tried.size() == 1 ? tried.front() + " cannot" : "neither " + tried.front();
    for (std::size_t i = 1; i < tried.size(); ++i) which += " nor " + tried[i];
    if (tried.size() > 1) which += " can";
    return which;
}

}  // namespace kestrova
