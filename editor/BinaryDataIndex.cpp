#include "editor/BinaryDataIndex.h"

#include "editor/EmbeddedFile.h"

#include <locale>

namespace details_
{
namespace
{
struct alias_t
{
    const char* name;
    const char* file;
};

// The names the editor asks for, each with the file of resources/ it stands for. All toggle
// families share the three key images; "toggle_off.png", "toggle_on.png" and
// "toggle_pressed.png" name them too, although nothing asks for those. Besides these names every
// file is indexed as "resources/" followed by its file name.
constexpr alias_t aliases[] = {
    {"rotator_stitched.png", "rotator_stitched.png"},

    // toggle key, off, not pressed
    {"algorithm_off_up.png", "mode_button.png"},
    {"bypass_off_up.png", "mode_button.png"},
    {"lowboost_off_up.png", "mode_button.png"},
    {"optimize_off_up.png", "mode_button.png"},
    {"polarity_off_up.png", "mode_button.png"},
    {"routing_off_off_up.png", "mode_button.png"},
    {"routing_recv_off_up.png", "mode_button.png"},
    {"routing_send_off_up.png", "mode_button.png"},
    {"toggle_off.png", "mode_button.png"},

    // toggle key held down, either state
    {"algorithm_off_down.png", "mode_button1.png"},
    {"algorithm_on_down.png", "mode_button1.png"},
    {"bypass_off_down.png", "mode_button1.png"},
    {"bypass_on_down.png", "mode_button1.png"},
    {"lowboost_off_down.png", "mode_button1.png"},
    {"lowboost_on_down.png", "mode_button1.png"},
    {"optimize_off_down.png", "mode_button1.png"},
    {"optimize_on_down.png", "mode_button1.png"},
    {"polarity_off_down.png", "mode_button1.png"},
    {"polarity_on_down.png", "mode_button1.png"},
    {"routing_off_off_down.png", "mode_button1.png"},
    {"routing_off_on_down.png", "mode_button1.png"},
    {"routing_recv_off_down.png", "mode_button1.png"},
    {"routing_recv_on_down.png", "mode_button1.png"},
    {"routing_send_off_down.png", "mode_button1.png"},
    {"routing_send_on_down.png", "mode_button1.png"},
    {"toggle_pressed.png", "mode_button1.png"},

    // toggle key, on, not pressed
    {"algorithm_on_up.png", "mode_button2.png"},
    {"bypass_on_up.png", "mode_button2.png"},
    {"lowboost_on_up.png", "mode_button2.png"},
    {"optimize_on_up.png", "mode_button2.png"},
    {"polarity_on_up.png", "mode_button2.png"},
    {"routing_off_on_up.png", "mode_button2.png"},
    {"routing_recv_on_up.png", "mode_button2.png"},
    {"routing_send_on_up.png", "mode_button2.png"},
    {"toggle_on.png", "mode_button2.png"},

    {"nosend_up.png", "none_button.png"},
    {"nosend_down.png", "none_button1.png"},
    {"stopopt_up.png", "stop_button.png"},
    {"stopopt_down.png", "stop_button1.png"},

    {"linklr_off_up.png", "link_button.png"},
    {"linklr_off_down.png", "link_button1.png"},
    {"linklr_on_down.png", "link_button1.png"},
    {"linklr_on_up.png", "link_button2.png"},

    {"logo.png", "plugin-logo-white.png"},
    {"logo_up.png", "plugin-logo-white.png"},
    {"logo_down.png", "plugin-logo-white.png"},

    {"led_digits0.png", "led_digits.png"},
    {"led_digits1.png", "led_digits1.png"},
    {"led_digits2.png", "led_digits2.png"},
    {"led_digits3.png", "led_digits3.png"},
    {"led_digits4.png", "led_digits4.png"},
    {"led_digits5.png", "led_digits5.png"},
    {"led_digits6.png", "led_digits6.png"},
    {"led_digits7.png", "led_digits7.png"},
    {"led_digits8.png", "led_digits8.png"},
    {"led_digits9.png", "led_digits9.png"},

    {"led_red_on.png", "led_red.png"},
    {"led_red_off.png", "led_red1.png"},

    {"bg_master.png", "masterpanel.png"},
    {"bg_master.skin", "masterpanel.skin"},
    {"bg_send.png", "signalpanel.png"},
    {"bg_send.skin", "signalpanel.skin"},
    {"bg_send_mono.png", "signalpanel_mono.png"},
    {"bg_send_mono.skin", "signalpanel_mono.skin"},
};
} // namespace

BinaryDataIndex::BinaryDataIndex()
{
    std::size_t count = 0;
    const EmbeddedFile* const files = embedded_files(count);

    std::map<std::string, const EmbeddedFile*> by_file;
    for (std::size_t i = 0; i < count; ++i)
    {
        by_file.emplace(files[i].file, &files[i]);
        index.emplace(std::string("resources/") + files[i].file,
                      std::make_pair(files[i].data, files[i].size));
    }
    for (const alias_t& alias : aliases)
    {
        const auto it = by_file.find(alias.file);
        if (it != by_file.end())
            index.emplace(alias.name, std::make_pair(it->second->data, it->second->size));
    }
}

const unsigned char* BinaryDataIndex::operator()(const std::string& name, size_t& size) const
{
    std::string key = name;
    if (!key.empty())
        std::use_facet<std::ctype<char>>(std::locale()).tolower(&key[0], &key[0] + key.size());

    const auto it = index.find(key);
    if (it == index.end())
        return nullptr;
    size = it->second.second;
    return it->second.first;
}

const unsigned char* retrieve_binary_data(const std::string& name, size_t& size)
{
    static const BinaryDataIndex index;
    return index(name, size);
}
} // namespace details_
