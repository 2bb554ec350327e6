#pragma once
#include <string>
#include <string_view>

#include "text/UiTexts.h"

namespace kestrova {

// Whether the program may run on this system, and how the system is named
// in the refusal message.
struct PlatformVerdict {
    bool osSupported = false;
    // Whether the main window can be made translucent.
    bool layeredCapable = false;
    std::string osDescription;
    // What could not be checked, "what: why", when that alone kept the
    // system from being accepted: it was not found wanting.
    std::string checkFailure;
};

// Shown after the description when the system is refused (as written; the
// window shows shownText(UiText::UnsupportedNotice)).
inline constexpr std::string_view UNSUPPORTED_NOTICE = sourceOf(UiText::UnsupportedNotice);

}  // namespace kestrova
