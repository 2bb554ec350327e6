#pragma once
#include <string>
#include <vector>

namespace kestrova {

// Whether the environment names any display the window could open on.
bool haveDisplay();

// Where the window opens: the platform to ask Qt for (none for Qt's own
// choice), or, when no display that would be tried answers, the displays
// that were tried. Qt would abort on them, with no word of which display.
struct WindowPlatform {
    const char* platform = nullptr;
    std::vector<std::string> unreachable;
};

// Wayland lets a client neither keep its window on top nor set its own
// opacity, so on a Wayland desktop that also runs an X server (XWayland) the
// window goes through X, on Wayland only if X cannot be reached; a platform
// the user chose (QT_QPA_PLATFORM) stays. Without an X server it runs on
// Wayland and says once what it cannot do there.
WindowPlatform windowPlatform();

// "<display> cannot" or "neither <a> nor <b> can", for the line that says
// which of the `tried` displays could not be reached.
std::string unreachableDisplays(const std::vector<std::string>& tried);

}  // namespace kestrova
