#pragma once

// The reader of the plug-in's preferences property list: one "plist" root holding one "dict" of
// "key" elements, each followed by its value element; only "string" values are understood. It is
// no general property-list parser. Used on the message thread; one object is used by one thread at
// a time. A missing, unreadable, malformed or hostile file never fails: it reads as an empty list.

#include <juce_core/juce_core.h>

#include <cstdint>
#include <memory>
#include <string>

namespace details_
{
class PlistFile
{
public:
    // Files larger than this are not read at all (treated like a missing file).
    static constexpr std::int64_t MAX_FILE_SIZE = 4 * 1024 * 1024;
    // Documents nested deeper than this are treated as malformed.
    static constexpr int MAX_NESTING = 256;

    // Stores the path and loads the file; never fails.
    explicit PlistFile(std::string path);
    ~PlistFile();

    PlistFile(const PlistFile&) = delete;
    PlistFile& operator=(const PlistFile&) = delete;

    // Replaces the document by an empty <plist version="1.0"><dict/></plist>.
    void clear();

    // The trimmed text of the "string" element after the first "key" whose trimmed text equals
    // key (case-sensitive); default_value when there is no such key or its value is no "string".
    std::string get_string(std::string key, std::string default_value) const;

    // Sets key to value in memory only; the document is never saved.
    void set_string(std::string key, std::string value);

    // The document as it stands (root "plist" with a "dict" child).
    const juce::XmlElement& root() const noexcept { return *document; }

    const std::string& file_path() const noexcept { return path; }

private:
    juce::XmlElement* dict() const noexcept;
    juce::XmlElement* find_key(const std::string& key) const;

    std::string path;
    std::unique_ptr<juce::XmlElement> document;
};
} // namespace details_
