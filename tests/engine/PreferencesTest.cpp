// The preferences property list: the reader's rules, hostile files, the level text and the
// once-per-process loading of the log level.

#include "EngineTestSupport.h"

#include "engine/PlistFile.h"
#include "engine/Preferences.h"

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

#include <climits>
#include <string>
#include <vector>

using details_::PlistFile;
using logtest::LevelScope;

namespace
{
// A property list file of the test's own, removed afterwards.
class TempPlist
{
public:
    explicit TempPlist(const std::string& text)
        : file(juce::File::getSpecialLocation(juce::File::tempDirectory)
                   .getNonexistentChildFile("prefs", ".plist"))
    {
        file.replaceWithData(text.data(), text.size());
    }
    ~TempPlist() { file.deleteFile(); }
    std::string path() const { return file.getFullPathName().toStdString(); }

    juce::File file;
};

std::string plist(const std::string& dict_body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n" +
           dict_body + "\n</dict>\n</plist>\n";
}

std::string debuglog_of(const std::string& text)
{
    const TempPlist file(text);
    return PlistFile(file.path()).get_string("debuglog", "<default>");
}

// The level after applying the file, starting from 4.
int level_after(const std::string& text)
{
    const LevelScope level(4);
    const TempPlist file(text);
    details_::apply_log_level(file.path());
    return logger::manager::dynamic_loglevel.load();
}

// Tag and trimmed text of each child element of the document's "dict".
std::vector<std::string> dict_children(const PlistFile& p)
{
    std::vector<std::string> out;
    for (const auto* child : p.root().getChildByName("dict")->getChildIterator())
        out.push_back(child->getTagName().toStdString() + ":" + child->getAllSubText().trim().toStdString());
    return out;
}

bool is_empty_plist(const PlistFile& p)
{
    const auto& root = p.root();
    return root.hasTagName("plist") && root.getStringAttribute("version") == "1.0" &&
           root.getNumChildElements() == 1 && root.getChildByName("dict") != nullptr &&
           root.getChildByName("dict")->getNumChildElements() == 0;
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Reading values

TEST(PlistFile, ReadsTrimmedStringValuesByExactKey)
{
    const TempPlist file(plist("<key>debuglog</key>\n<string> 5 </string>\n"
                               "<key>  other  </key><string>\n  two words \n</string>\n"
                               "<key>Debuglog</key><string>9</string>"));
    const PlistFile p(file.path());
    EXPECT_EQ(p.get_string("debuglog", "x"), "5");
    EXPECT_EQ(p.get_string("other", "x"), "two words");
    EXPECT_EQ(p.get_string("Debuglog", "x"), "9");
    EXPECT_EQ(p.get_string("DEBUGLOG", "x"), "x");
    EXPECT_EQ(p.get_string("missing", "fallback"), "fallback");
}

TEST(PlistFile, FirstOfTwoEqualKeysWins)
{
    EXPECT_EQ(
        debuglog_of(plist("<key>debuglog</key><string>2</string><key>debuglog</key><string>6</string>")),
        "2");
}

TEST(PlistFile, OnlyStringValueElementsCount)
{
    EXPECT_EQ(debuglog_of(plist("<key>debuglog</key><integer>5</integer>")), "<default>");
    EXPECT_EQ(debuglog_of(plist("<key>debuglog</key><true/>")), "<default>");
    // The value element is the next element: a later "string" does not count.
    EXPECT_EQ(debuglog_of(plist("<key>debuglog</key><integer>5</integer><string>3</string>")), "<default>");
    // Text between key and value is skipped.
    EXPECT_EQ(debuglog_of(plist("<key>debuglog</key> stray text <string>3</string>")), "3");
    // Comments are no elements.
    EXPECT_EQ(debuglog_of(plist("<key>debuglog</key><!-- note --><string>4</string>")), "4");
    EXPECT_EQ(debuglog_of(plist("<key>debuglog</key><string><![CDATA[ 7 ]]></string>")), "7");
}

TEST(PlistFile, KeyWithoutValueGivesTheDefault)
{
    EXPECT_EQ(debuglog_of(plist("<key>other</key><string>1</string><key>debuglog</key>")), "<default>");
    EXPECT_EQ(debuglog_of(plist("<key>debuglog</key><key>x</key><string>1</string>")), "<default>");
}

TEST(PlistFile, BrokenOrForeignDocumentsReadAsEmpty)
{
    const std::vector<std::string> documents{
        "",
        "not xml at all",
        "<plist version=\"1.0\"><dict><key>debuglog</key><string>5</string>", // never closed
        "<plist version=\"1.0\"><dict><key>debuglog</key><string>5</dict></plist>",
        "<plist version=\"1.0\"></plist>",                                   // no dict
        "<plist version=\"1.0\"><array><string>5</string></array></plist>",  // no dict
        "<other><dict><key>debuglog</key><string>5</string></dict></other>", // wrong root
        std::string("<plist>") + '\0' + "<dict><key>debuglog</key><string>5</string></dict></plist>",
    };
    for (const auto& text : documents)
    {
        const TempPlist file(text);
        const PlistFile p(file.path());
        EXPECT_EQ(p.get_string("debuglog", "<default>"), "<default>") << text;
        EXPECT_TRUE(is_empty_plist(p)) << text;
    }
}

// Files that end inside or right after a byte-order mark are read within their bytes (the
// AddressSanitizer build reports any read past them).
TEST(PlistFile, ByteOrderMarksWithLittleOrNothingAfterThemReadAsEmpty)
{
    const std::string utf8_mark = "\xEF\xBB\xBF";
    for (const std::string text : {utf8_mark, std::string("\xEF"), std::string("\xEF\xBB"), utf8_mark + "x",
                                   utf8_mark + "\xC3", utf8_mark + "\xF4\x8F", std::string("\xFE\xFF"),
                                   std::string("\xFF\xFE"), std::string("\xFE\xFF\x00", 3)})
        EXPECT_EQ(debuglog_of(text), "<default>") << testing::PrintToString(text);

    EXPECT_EQ(debuglog_of(utf8_mark + plist("<key>debuglog</key><string>5</string>")), "5");
}

TEST(PlistFile, MissingFileFolderOrPathReadsAsEmpty)
{
    for (const std::string path :
         {std::string("/nonexistent/folder/x.plist"), std::string(""),
          juce::File::getSpecialLocation(juce::File::tempDirectory).getFullPathName().toStdString()})
    {
        const PlistFile p(path);
        EXPECT_TRUE(is_empty_plist(p)) << path;
        EXPECT_EQ(p.get_string("debuglog", "d"), "d");
    }
}

TEST(PlistFile, HostileDocumentsNeverCrash)
{
    // Nesting deep enough to exhaust the stack of a recursive reader.
    std::string deep = "<plist><dict><key>debuglog</key><string>5</string>";
    for (int i = 0; i < 200000; ++i)
        deep += "<a>";
    deep += "</dict></plist>";
    EXPECT_EQ(debuglog_of(deep), "<default>");

    // Entities declared in the document: a self-reference and an exponential expansion.
    EXPECT_EQ(debuglog_of("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"&a;&a;\">]>"
                          "<plist><dict><key>debuglog</key><string>&a;</string></dict></plist>"),
              "<default>");
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY l0 \"lol\">";
    for (int i = 1; i < 12; ++i)
        laughs += "<!ENTITY l" + std::to_string(i) + " \"" + std::string("&l") + std::to_string(i - 1) +
                  ";&l" + std::to_string(i - 1) + ";&l" + std::to_string(i - 1) + ";\">";
    laughs += "]><plist><dict><key>debuglog</key><string>&l11;</string></dict></plist>";
    EXPECT_EQ(debuglog_of(laughs), "<default>");

    // An external DTD is never loaded: the document is read as it is.
    EXPECT_EQ(debuglog_of("<!DOCTYPE plist SYSTEM \"/etc/passwd\"><plist><dict><key>debuglog</key>"
                          "<string>&root;3</string></dict></plist>"),
              "root3");

    // Oversized files are not read.
    std::string huge = plist("<key>debuglog</key><string>5</string>");
    huge += std::string(static_cast<std::size_t>(PlistFile::MAX_FILE_SIZE), ' ');
    EXPECT_EQ(debuglog_of(huge), "<default>");

    // Reasonable nesting inside values is fine.
    std::string nested = "<key>other</key><array>";
    for (int i = 0; i < 50; ++i)
        nested += "<dict>";
    for (int i = 0; i < 50; ++i)
        nested += "</dict>";
    nested += "</array><key>debuglog</key><string>6</string>";
    EXPECT_EQ(debuglog_of(plist(nested)), "6");
}

TEST(PlistFile, NestingHiddenFromTheDepthCheckIsStillRefused)
{
    // Markup that the reader takes for deep nesting although a naive tag count sees little or none:
    // entities and character references that swallow closing tags, quotes that hide opening
    // tags, a value that ends in "/>". Each would exhaust the stack of the recursive reader.
    const int n = 200000;
    const auto repeat = [](const std::string& unit, int count)
    {
        std::string s;
        s.reserve(unit.size() * static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i)
            s += unit;
        return s;
    };
    const std::string head = "<plist><dict><key>debuglog</key><string>5</string>";
    const std::string tail = "</dict></plist>";
    const std::vector<std::pair<const char*, std::string>> documents{
        {"entity swallowing a closing tag", head + repeat("<a>&x</a>;", n) + tail},
        {"decimal reference swallowing a closing tag", head + repeat("<a>&#1</a>;", n) + tail},
        {"hex reference skipping a '<'", head + repeat("<a>&#x</a>", n) + tail},
        {"quote in a closing tag", head + "<a></a \"" + repeat("<b>", n) + "\">" + tail},
        {"quote in an opening tag", head + "<a \"" + repeat("<b>", n) + "\">" + tail},
        {"quote after '<!'", head + "<a><!x \"" + repeat("<b>", n) + "\">" + tail},
        {"value ending in '/>'", head + repeat("<a b=\"/>\">", n) + tail},
        {"entity in a value swallowing a closing tag", head + repeat("<a b=\"&x\"></a>;\">", n) + tail},
    };
    for (const auto& [what, text] : documents)
        EXPECT_EQ(debuglog_of(text), "<default>") << what;

    // The markup that such documents abuse still reads where it is harmless.
    EXPECT_EQ(debuglog_of(plist("<key a=\"x/>\" b='&amp;&#65;&#x42;&name;'>debuglog</key>"
                                "<string>&#51;</string>")),
              "3");
}

// ---------------------------------------------------------------------------------------------
// Changing values in memory

TEST(PlistFile, SetStringReplacesOrPrependsPairs)
{
    const TempPlist file(plist("<key>a</key><string>1</string>"
                               "<key>b</key><integer>2</integer>"
                               "<key>c</key><key>d</key><string>4</string>"
                               "<key>e</key>"));
    PlistFile p(file.path());

    p.set_string("a", "one"); // string value: replaced in place
    EXPECT_EQ(dict_children(p), (std::vector<std::string>{"key:a", "string:one", "key:b", "integer:2",
                                                          "key:c", "key:d", "string:4", "key:e"}));

    p.set_string("b", "two"); // other value: pair removed, new pair in front
    EXPECT_EQ(dict_children(p), (std::vector<std::string>{"key:b", "string:two", "key:a", "string:one",
                                                          "key:c", "key:d", "string:4", "key:e"}));

    p.set_string("c", "three"); // followed by a key: only the key goes
    EXPECT_EQ(dict_children(p),
              (std::vector<std::string>{"key:c", "string:three", "key:b", "string:two", "key:a", "string:one",
                                        "key:d", "string:4", "key:e"}));

    p.set_string("e", "five"); // last child
    p.set_string("new", "six");
    EXPECT_EQ(dict_children(p), (std::vector<std::string>{"key:new", "string:six", "key:e", "string:five",
                                                          "key:c", "string:three", "key:b", "string:two",
                                                          "key:a", "string:one", "key:d", "string:4"}));
    EXPECT_EQ(p.get_string("b", ""), "two");

    // Memory only: the file is unchanged.
    EXPECT_EQ(PlistFile(file.path()).get_string("a", ""), "1");

    p.clear();
    EXPECT_TRUE(is_empty_plist(p));
    p.set_string("x", "y");
    EXPECT_EQ(p.get_string("x", ""), "y");
}

// ---------------------------------------------------------------------------------------------
// The log level

TEST(LogLevelText, ReadAsAnIntegerExtraction)
{
    EXPECT_EQ(details_::log_level_from_text("5"), 5);
    EXPECT_EQ(details_::log_level_from_text(" 7 "), 7);
    EXPECT_EQ(details_::log_level_from_text("3a"), 3);
    EXPECT_EQ(details_::log_level_from_text("abc"), 0);
    EXPECT_EQ(details_::log_level_from_text("+8"), 8);
    EXPECT_EQ(details_::log_level_from_text("0"), 0);
    EXPECT_EQ(details_::log_level_from_text("08"), 8);
    EXPECT_EQ(details_::log_level_from_text("2.9"), 2);
    EXPECT_EQ(details_::log_level_from_text(""), std::nullopt);
    EXPECT_EQ(details_::log_level_from_text("9"), std::nullopt);
    EXPECT_EQ(details_::log_level_from_text("12"), std::nullopt);
    EXPECT_EQ(details_::log_level_from_text("-1"), std::nullopt);
    EXPECT_EQ(details_::log_level_from_text("99999999999999999999999"), std::nullopt);
    EXPECT_EQ(details_::log_level_from_text("-99999999999999999999999"), std::nullopt);
    EXPECT_EQ(details_::log_level_from_text(std::to_string(4294967296LL + 5)), std::nullopt);
}

TEST(LogLevelFile, ExamplesSetOrKeepTheLevel)
{
    auto with = [](const std::string& value)
    { return plist("<key>debuglog</key><string>" + value + "</string>"); };
    EXPECT_EQ(level_after(with("5")), 5);
    EXPECT_EQ(level_after(with(" 7 ")), 7);
    EXPECT_EQ(level_after(with("3x")), 3);
    EXPECT_EQ(level_after(with("letters")), 0);
    EXPECT_EQ(level_after(with("12")), 4);
    EXPECT_EQ(level_after(with("9")), 4);
    EXPECT_EQ(level_after(with("-1")), 4);
    EXPECT_EQ(level_after(with("")), 4);
    EXPECT_EQ(level_after(with("   ")), 4);
    EXPECT_EQ(level_after(with("99999999999999999999")), 4);
    EXPECT_EQ(level_after(plist("<key>debuglog</key><integer>5</integer>")), 4);
    EXPECT_EQ(level_after(plist("<key>other</key><string>5</string>")), 4);
    EXPECT_EQ(level_after("<plist><dict><key>debuglog</key><string>2"), 4);
    EXPECT_EQ(level_after("<plist version=\"1.0\"><key>debuglog</key><string>2</string></plist>"), 4);
}

TEST(LogLevelFile, LoadedOnceFromThePreferencesFolder)
{
    EXPECT_EQ(PLIST_PATH, "/Preferences/com.tonewharf.signflux.plist");
    const juce::File expected = juce::File::getSpecialLocation(juce::File::userApplicationDataDirectory)
                                    .getChildFile("Preferences/com.tonewharf.signflux.plist");
    EXPECT_EQ(details_::preferences_file_path(), expected.getFullPathName().toStdString());

    const LevelScope level(0);
    ASSERT_TRUE(expected.getParentDirectory().createDirectory());
    ASSERT_TRUE(expected.replaceWithText(plist("<key>debuglog</key><string>6</string>")));
    load_log_level();
    EXPECT_EQ(logger::manager::dynamic_loglevel.load(), 6);

    // Later calls do not read the file again.
    ASSERT_TRUE(expected.replaceWithText(plist("<key>debuglog</key><string>2</string>")));
    load_log_level();
    EXPECT_EQ(logger::manager::dynamic_loglevel.load(), 6);
    expected.deleteFile();
}
