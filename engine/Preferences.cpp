#include "engine/Preferences.h"

#include "engine/Logger.h"
#include "engine/PlistFile.h"
#include "engine/StaticInitOrder.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <locale>
#include <sstream>

#ifndef SIGNFLUX_BUNDLE_ID
#error "SIGNFLUX_BUNDLE_ID must name the plug-in's bundle identifier"
#endif

const std::string PLIST_PATH SIGNFLUX_INIT_PREFERENCES =
    std::string("/Preferences/") + SIGNFLUX_BUNDLE_ID + ".plist";

namespace
{
const std::string settingfile_path SIGNFLUX_INIT_PREFERENCES =
    juce::File::getSpecialLocation(juce::File::userApplicationDataDirectory).getFullPathName().toStdString() +
    PLIST_PATH;

std::atomic<bool> log_level_loaded{false};
} // namespace

namespace details_
{
const std::string& preferences_file_path()
{
    return settingfile_path;
}

std::optional<int> log_level_from_text(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    int value = -1;
    in >> value;
    if (static_cast<unsigned>(value) > 8u)
        return std::nullopt;
    return value;
}

bool apply_log_level(const std::string& path)
{
    FSUM_LOG_GUARD(3);
    const PlistFile plist(path);
    const std::optional<int> level = log_level_from_text(plist.get_string("debuglog", ""));
    if (!level)
        return false;
    logger::manager::dynamic_loglevel.store(*level, std::memory_order_relaxed);
    return true;
}
} // namespace details_

void load_log_level()
{
    FSUM_LOG_GUARD(3);
    if (log_level_loaded.exchange(true))
        return;
    details_::apply_log_level(settingfile_path);
}
