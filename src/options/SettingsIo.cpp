#include "options/SettingsIo.h"

#include <iterator>
#include <string>

namespace kestrova {
namespace {

constexpr std::string_view KEY_ALPHA = "alpha";
constexpr std::string_view KEY_ALWAYS_ON_TOP = "alwaysOnTop";
constexpr std::string_view KEY_SHOW_HOSTNAME = "showHostname";
constexpr std::string_view KEY_CHECK_PACKET = "checkPacket";
constexpr std::string_view KEY_ACTIVE_MARK = "activeMark";
constexpr std::string_view KEY_NETSTAT_INTERVAL = "netstatInterval";

constexpr std::int32_t DEFAULT_ALPHA = 180;
constexpr std::int32_t DEFAULT_SHOW_HOSTNAME = 30;
constexpr std::int32_t DEFAULT_CHECK_PACKET = 1040;
constexpr std::string_view DEFAULT_ACTIVE_MARK = "▼";
constexpr std::int32_t DEFAULT_NETSTAT_INTERVAL = 100;

bool writeInt(ProfileStore& store, std::string_view key, std::int32_t value) {
    // std::to_string prints an int exactly as "%d" does.
    return store.writeString(PROFILE_SECTION, key, std::to_string(value));
}

// A number key read as any number is: a value without a number at its start
// reads as 0, and the user hears what that 0 does.
std::int32_t readNumber(ProfileStore& store, std::string_view key, std::int32_t defaultValue,
                        std::string_view zeroMeans) {
    std::string notANumber;
    const std::int32_t value = store.readInt(PROFILE_SECTION, key, defaultValue, &notANumber);
    if (!notANumber.empty()) {
        store.tell("in the profile " + store.fileName() + ", " + std::string(key) + "=" + notANumber +
                   " is not a number: it reads as 0, " + std::string(zeroMeans));
    }
    return value;
}

}  // namespace

Settings loadSettings(ProfileStore& store) {
    Settings settings;
    settings.alpha = readNumber(store, KEY_ALPHA, DEFAULT_ALPHA, "which makes the window fully transparent");
    settings.alwaysOnTop = decodeFlag(store.readInt(PROFILE_SECTION, KEY_ALWAYS_ON_TOP, PROFILE_TRUE));
    settings.showHostname = decodeFlag(store.readInt(PROFILE_SECTION, KEY_SHOW_HOSTNAME, DEFAULT_SHOW_HOSTNAME));
    settings.checkPacket = decodeFlag(store.readInt(PROFILE_SECTION, KEY_CHECK_PACKET, DEFAULT_CHECK_PACKET));
    settings.activeMark = store.readString(PROFILE_SECTION, KEY_ACTIVE_MARK, DEFAULT_ACTIVE_MARK);
    // The title shows the 0 as read, while the refresh timer, like any
    // below 10 ms, runs every 10 ms.
    settings.netstatInterval = readNumber(store, KEY_NETSTAT_INTERVAL, DEFAULT_NETSTAT_INTERVAL,
                                          "and the connections are refreshed every 10 ms");
    return settings;
}

bool saveSettings(ProfileStore& store, const Settings& settings) {
    const bool written[] = {
        writeInt(store, KEY_ALPHA, settings.alpha),
        writeInt(store, KEY_ALWAYS_ON_TOP, encodeFlag(settings.alwaysOnTop)),
        writeInt(store, KEY_SHOW_HOSTNAME, encodeFlag(settings.showHostname)),
        writeInt(store, KEY_CHECK_PACKET, encodeFlag(settings.checkPacket)),
        store.writeString(PROFILE_SECTION, KEY_ACTIVE_MARK, settings.activeMark),
        writeInt(store, KEY_NETSTAT_INTERVAL, settings.netstatInterval),
    };
    std::size_t done = 0;
    for (const bool one : written) done += one ? 1 : 0;
    if (done == std::size(written)) return true;
    store.tell("cannot save the options to the profile " + store.fileName() + " (" + store.writeProblem() +
               "): " + (done == 0 ? "they were not saved" : "only some of them were saved"));
    return false;
}

}  // namespace kestrova
