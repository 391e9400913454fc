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

bool is_blank(const char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool is_name_char(const char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == ':' || c == '.';
}

std::size_t skip_blanks(const std::string& text, std::size_t i)
{
    while (i < text.size() && is_blank(text[i]))
        ++i;
    return i;
}

std::size_t skip_name(const std::string& text, std::size_t i)
{
    while (i < text.size() && is_name_char(text[i]))
        ++i;
    return i;
}

// The end of the reference that starts with the '&' at i: "&amp;" and its four siblings, "&name;",
// "&#" with 1 to 12 decimal digits or "&#x" with 1 to 8 hex digits, then ';'. npos for anything
// else: the framework's reader would skip up to the next ';' (or some other stretch) whatever it
// holds, closing tags included.
std::size_t reference_end(const std::string& text, std::size_t i)
{
    ++i;
    if (i < text.size() && text[i] == '#')
    {
        ++i;
        const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
        if (hex)
            ++i;
        const std::size_t digits_start = i;
        std::uint32_t value = 0;
        while (i < text.size() && i - digits_start < (hex ? 8u : 12u))
        {
            const char c = text[i];
            int digit = -1;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            if (digit < 0)
                break;
            if (value <= 0x10FFFF)
                value = value * (hex ? 16u : 10u) + static_cast<std::uint32_t>(digit);
            ++i;
        }
        if (i == digits_start || value == 0 || value > 0x10FFFF || i >= text.size() || text[i] != ';')
            return std::string::npos;
        return i + 1;
    }
    const std::size_t name_end = skip_name(text, i);
    if (name_end == i || name_end >= text.size() || text[name_end] != ';')
        return std::string::npos;
    return name_end + 1;
}

// The end of the opening tag that starts with the '<' at i ('<' name, then blank-separated
// name="value" or name='value' attributes, then "/>" or ">"), or npos when it has another form.
// empty tells "/>" apart.
std::size_t opening_tag_end(const std::string& text, std::size_t i, bool& empty)
{
    i = skip_name(text, i + 1);
    for (;;)
    {
        const std::size_t after_blanks = skip_blanks(text, i);
        if (after_blanks >= text.size())
            return std::string::npos;
        if (text[after_blanks] == '>')
        {
            empty = false;
            return after_blanks + 1;
        }
        if (starts_with_at(text, after_blanks, "/>"))
        {
            empty = true;
            return after_blanks + 2;
        }
        if (after_blanks == i || !is_name_char(text[after_blanks]))
            return std::string::npos;

        i = skip_blanks(text, skip_name(text, after_blanks));
        if (i >= text.size() || text[i] != '=')
            return std::string::npos;
        i = skip_blanks(text, i + 1);
        if (i >= text.size() || (text[i] != '"' && text[i] != '\''))
            return std::string::npos;
        const char quote = text[i++];
        while (i < text.size() && text[i] != quote)
        {
            if (text[i] == '<')
                return std::string::npos;
            if (text[i] == '&')
            {
                i = reference_end(text, i);
                if (i == std::string::npos)
                    return std::string::npos;
            }
            else
                ++i;
        }
        if (i >= text.size())
            return std::string::npos;
        ++i;
    }
}

// The framework's XML reader recurses once per nesting level and expands entities declared in an
// internal DTD subset without bound. Neither has a place in a preferences file. This check accepts
// only a strict, well-formed subset of XML in which the reader sees exactly the elements counted
// here: plain opening and closing tags, quoted attribute values without '<', the five predefined
// entities, simple named and numeric references, comments, processing instructions before the
// root, CDATA sections inside the root and one DOCTYPE without an internal subset before it.
// Everything else, and any nesting deeper than max_depth, is refused before the document is parsed.
bool is_safe_to_parse(const std::string& text, int max_depth)
{
    int depth = 0;
    bool root_seen = false;
    bool doctype_seen = false;
    std::size_t i = 0;
    while (i < text.size())
    {
        if (text[i] == '&')
        {
            i = reference_end(text, i);
            if (i == std::string::npos)
                return false;
            continue;
        }
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
        }
        else if (starts_with_at(text, i, "<?"))
        {
            // Inside an element the reader skips a processing instruction as white space and then
            // rolls back before it to read the text that follows: with text after it, it loops
            // forever. Only the prolog may hold one.
            end = text.find("?>", i + 2);
            if (depth != 0 || end == std::string::npos)
                return false;
            i = end + 2;
        }
        else if (starts_with_at(text, i, "<![CDATA["))
        {
            end = text.find("]]>", i + 9);
            if (depth == 0 || end == std::string::npos)
                return false;
            i = end + 3;
        }
        else if (starts_with_at(text, i, "<!DOCTYPE"))
        {
            // The reader ends the DOCTYPE at the '>' that balances its '<'s: with no '<' (and no
            // internal subset) inside, that is the first '>'.
            end = text.find('>', i + 9);
            if (root_seen || doctype_seen || end == std::string::npos)
                return false;
            for (std::size_t k = i + 9; k < end; ++k)
                if (text[k] == '<' || text[k] == '[')
                    return false;
            doctype_seen = true;
            i = end + 1;
        }
        else if (starts_with_at(text, i, "</"))
        {
            // The reader ends a closing tag at its first '>'.
            const std::size_t name_end = skip_name(text, i + 2);
            end = skip_blanks(text, name_end);
            if (name_end == i + 2 || end >= text.size() || text[end] != '>' || depth == 0)
                return false;
            // Whatever follows the root element is never read.
            if (--depth == 0)
                return true;
            i = end + 1;
        }
        else if (i + 1 < text.size() && is_name_char(text[i + 1]))
        {
            bool empty = false;
            end = opening_tag_end(text, i, empty);
            if (end == std::string::npos)
                return false;
            root_seen = true;
            if (!empty && ++depth > max_depth)
                return false;
            if (empty && depth == 0)
                return true;
            i = end;
        }
        else
            return false;
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

    // The framework's conversion reads the byte after the data in some cases (after a lone UTF-8
    // byte-order mark, for one): give it a terminating zero inside the buffer to read there.
    const int size = static_cast<int>(data.getSize());
    data.append("", 1);
    const juce::String text = juce::String::createStringFromData(data.getData(), size);
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
