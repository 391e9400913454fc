#include "engine/PlistFile.h"

#include "engine/Logger.h"

#include <cctype>

namespace details_
{
namespace
{
bool starts_with_at(const std::string& text, std::size_t at, const char* prefix)
{
    return text.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Index of the '>' that closes the markup starting at 'from', skipping quoted attribute values;
// npos when the text ends first.
std::size_t find_tag_end(const std::string& text, std::size_t from)
{
    char quote = 0;
    for (std::size_t i = from; i < text.size(); ++i)
    {
        const char c = text[i];
        if (quote != 0)
        {
            if (c == quote)
                quote = 0;
        }
        else if (c == '"' || c == '\'')
            quote = c;
        else if (c == '>')
            return i;
    }
    return std::string::npos;
}

// The framework's XML reader recurses once per nesting level and expands entities declared in an
// internal DTD subset without bound. Neither has a place in a preferences file: refuse documents
// nested deeper than max_depth and documents that declare a DTD subset, before they are parsed.
bool is_safe_to_parse(const std::string& text, int max_depth)
{
    int depth = 0;
    std::size_t i = 0;
    while (i < text.size())
    {
        if (text[i] != '<')
        {
            ++i;
            continue;
        }

        std::size_t end = std::string::npos;
        if (starts_with_at(text, i, "<!--"))
        {
            end = text.find("-->", i + 4);
            if (end == std::string::npos)
                return false;
            i = end + 3;
            continue;
        }
        if (starts_with_at(text, i, "<![CDATA["))
        {
            end = text.find("]]>", i + 9);
            if (end == std::string::npos)
                return false;
            i = end + 3;
            continue;
        }
        if (starts_with_at(text, i, "<?"))
        {
            end = text.find("?>", i + 2);
            if (end == std::string::npos)
                return false;
            i = end + 2;
            continue;
        }

        end = find_tag_end(text, i + 1);
        if (end == std::string::npos)
            return false;

        if (text[i + 1] == '!')
        {
            // <!DOCTYPE ...>: only the plain form without an internal subset is accepted.
            if (text.find('[', i) < end)
                return false;
        }
        else if (text[i + 1] == '/')
        {
            --depth;
        }
        else if (text[end - 1] != '/')
        {
            if (++depth > max_depth)
                return false;
        }
        i = end + 1;
    }
    return true;
}

std::unique_ptr<juce::XmlElement> read_document(const std::string& path)
{
    if (path.empty())
        return nullptr;
    const juce::File file(juce::String::fromUTF8(path.c_str()));
    if (!file.existsAsFile())
        return nullptr;

    juce::FileInputStream in(file);
    if (!in.openedOk())
        return nullptr;
    juce::MemoryBlock data;
    // One byte more than the limit tells an oversized file (also one whose size is not known
    // in advance, like a device or a pipe) from one that fits.
    in.readIntoMemoryBlock(data, PlistFile::MAX_FILE_SIZE + 1);
    if (static_cast<std::int64_t>(data.getSize()) > PlistFile::MAX_FILE_SIZE)
        return nullptr;

    const juce::String text =
        juce::String::createStringFromData(data.getData(), static_cast<int>(data.getSize()));
    if (!is_safe_to_parse(text.toStdString(), PlistFile::MAX_NESTING))
        return nullptr;

    // Parsed from memory: the reader has no file source, so a DTD reference loads nothing.
    juce::XmlDocument parser(text);
    return parser.getDocumentElement();
}

juce::XmlElement* next_non_text(const juce::XmlElement* element) noexcept
{
    juce::XmlElement* next = element->getNextElement();
    while (next != nullptr && next->isTextElement())
        next = next->getNextElement();
    return next;
}

juce::String to_juce(const std::string& s)
{
    return juce::String::fromUTF8(s.data(), static_cast<int>(s.size()));
}
} // namespace

PlistFile::PlistFile(std::string path_) : path(std::move(path_))
{
    FSUM_LOG_GUARD(5);
    FSUM_LOG(6) << "Args: this=0x" << logger::hex(this) << ", path=" << path;

    std::unique_ptr<juce::XmlElement> parsed = read_document(path);
    if (parsed != nullptr && parsed->hasTagName("plist") && parsed->getChildByName("dict") != nullptr)
        document = std::move(parsed);
    else
        clear();
}

PlistFile::~PlistFile() = default;

void PlistFile::clear()
{
    auto fresh = std::make_unique<juce::XmlElement>("plist");
    fresh->setAttribute("version", "1.0");
    fresh->createNewChildElement("dict");
    document = std::move(fresh);
}

juce::XmlElement* PlistFile::dict() const noexcept
{
    return document != nullptr ? document->getChildByName("dict") : nullptr;
}

juce::XmlElement* PlistFile::find_key(const std::string& key) const
{
    const juce::XmlElement* const d = dict();
    if (d == nullptr)
        return nullptr;
    const juce::String wanted = to_juce(key);
    for (juce::XmlElement* k = d->getChildByName("key"); k != nullptr;
         k = k->getNextElementWithTagName("key"))
    {
        if (k->getAllSubText().trim() == wanted)
            return k;
    }
    return nullptr;
}

std::string PlistFile::get_string(std::string key, std::string default_value) const
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", key=" << key
                << ", default_value=" << default_value;

    const juce::XmlElement* const k = find_key(key);
    if (k == nullptr)
        return default_value;
    const juce::XmlElement* const value = next_non_text(k);
    if (value == nullptr || !value->hasTagName("string"))
        return default_value;
    return value->getAllSubText().trim().toStdString();
}

void PlistFile::set_string(std::string key, std::string value)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", key=" << key << ", value=" << value;

    juce::XmlElement* const d = dict();
    if (d == nullptr)
        return;

    juce::XmlElement* const k = find_key(key);
    if (k != nullptr)
    {
        juce::XmlElement* const sibling = next_non_text(k);
        if (sibling != nullptr && sibling->hasTagName("string"))
        {
            sibling->deleteAllChildElements();
            sibling->addTextElement(to_juce(value));
            return;
        }
        if (sibling != nullptr && !sibling->hasTagName("key"))
            d->removeChildElement(sibling, true);
        d->removeChildElement(k, true);
    }

    auto* const string_element = new juce::XmlElement("string"); // owned by d from the next line
    d->prependChildElement(string_element);
    string_element->addTextElement(to_juce(value));
    auto* const key_element = new juce::XmlElement("key");
    d->prependChildElement(key_element);
    key_element->addTextElement(to_juce(key));
}
} // namespace details_
