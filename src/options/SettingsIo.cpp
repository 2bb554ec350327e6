#include "options/SettingsIo.h"

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

void writeInt(ProfileStore& store, std::string_view key, std::int32_t value) {
    // std::to_string prints an int exactly as "%d" does.
    store.writeString(PROFILE_SECTION, key, std::to_string(value));
}

}  // namespace

Settings loadSettings(ProfileStore& store) {
    Settings settings;
    settings.alpha = store.readInt(PROFILE_SECTION, KEY_ALPHA, DEFAULT_ALPHA);
    settings.alwaysOnTop = decodeFlag(store.readInt(PROFILE_SECTION, KEY_ALWAYS_ON_TOP, PROFILE_TRUE));
    settings.showHostname = decodeFlag(store.readInt(PROFILE_SECTION, KEY_SHOW_HOSTNAME, DEFAULT_SHOW_HOSTNAME));
    settings.checkPacket = decodeFlag(store.readInt(PROFILE_SECTION, KEY_CHECK_PACKET, DEFAULT_CHECK_PACKET));
    settings.activeMark = store.readString(PROFILE_SECTION, KEY_ACTIVE_MARK, DEFAULT_ACTIVE_MARK);
    settings.netstatInterval = store.readInt(PROFILE_SECTION, KEY_NETSTAT_INTERVAL, DEFAULT_NETSTAT_INTERVAL);
    return settings;
}

void saveSettings(ProfileStore& store, const Settings& settings) {
    writeInt(store, KEY_ALPHA, settings.alpha);
    writeInt(store, KEY_ALWAYS_ON_TOP, encodeFlag(settings.alwaysOnTop));
    writeInt(store, KEY_SHOW_HOSTNAME, encodeFlag(settings.showHostname));
    writeInt(store, KEY_CHECK_PACKET, encodeFlag(settings.checkPacket));
    store.writeString(PROFILE_SECTION, KEY_ACTIVE_MARK, settings.activeMark);
    writeInt(store, KEY_NETSTAT_INTERVAL, settings.netstatInterval);
}

}  // namespace kestrova
