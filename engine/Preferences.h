#pragma once

// The preferences file and the log level it sets. The file is an XML property list named after
// the bundle identifier in the user's application data folder; the one value read is "debuglog",
// an integer 0 to 8 that becomes the logger's configured level. Message thread.

#include <optional>
#include <string>

// "/Preferences/" + bundle identifier + ".plist"; built when the plug-in is loaded.
extern const std::string PLIST_PATH;

// Reads "debuglog" from the preferences file and sets the log level; only the first call in the
// process reads the file, later calls return at once. An absent, empty or out-of-range value
// leaves the level unchanged.
void load_log_level();

namespace details_
{
// The full path of the preferences file (application data folder + PLIST_PATH).
const std::string& preferences_file_path();

// The level that a "debuglog" text stands for, read as an integer extraction from a string
// stream reads it ("7" -> 7, "3a" -> 3, "abc" -> 0); nothing when it is empty or outside 0 to 8.
std::optional<int> log_level_from_text(const std::string& text);

// Reads "debuglog" from the property list at path and sets the level when it holds a valid one;
// returns whether it did. No once-per-process rule: that is load_log_level's.
bool apply_log_level(const std::string& path);
} // namespace details_
