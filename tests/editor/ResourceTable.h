#pragma once

// The embedded resources as the editor expects them: every name of each array, and its pixel
// size (0 x 0 for the layout texts). Written out here independently of the index.

#include <string>
#include <vector>

struct ExpectedResource
{
    std::vector<std::string> names; // the first one is the name the editor asks for
    int width;
    int height;
};

inline std::vector<ExpectedResource> expected_resources()
{
    std::vector<ExpectedResource> table = {
        {{"rotator_stitched.png", "resources/rotator_stitched.png"}, 50, 2050},
        {{"algorithm_off_up.png", "bypass_off_up.png", "lowboost_off_up.png", "optimize_off_up.png",
          "polarity_off_up.png", "routing_off_off_up.png", "routing_recv_off_up.png",
          "routing_send_off_up.png", "toggle_off.png", "resources/mode_button.png"},
         54,
         22},
        {{"algorithm_off_down.png", "algorithm_on_down.png", "bypass_off_down.png", "bypass_on_down.png",
          "lowboost_off_down.png", "lowboost_on_down.png", "optimize_off_down.png", "optimize_on_down.png",
          "polarity_off_down.png", "polarity_on_down.png", "routing_off_off_down.png",
          "routing_off_on_down.png", "routing_recv_off_down.png", "routing_recv_on_down.png",
          "routing_send_off_down.png", "routing_send_on_down.png", "toggle_pressed.png",
          "resources/mode_button1.png"},
         54,
         22},
        {{"algorithm_on_up.png", "bypass_on_up.png", "lowboost_on_up.png", "optimize_on_up.png",
          "polarity_on_up.png", "routing_off_on_up.png", "routing_recv_on_up.png", "routing_send_on_up.png",
          "toggle_on.png", "resources/mode_button2.png"},
         54,
         22},
        {{"nosend_up.png", "resources/none_button.png"}, 50, 32},
        {{"nosend_down.png", "resources/none_button1.png"}, 50, 32},
        {{"stopopt_up.png", "resources/stop_button.png"}, 54, 22},
        {{"stopopt_down.png", "resources/stop_button1.png"}, 54, 22},
        {{"linklr_off_up.png", "resources/link_button.png"}, 30, 20},
        {{"linklr_off_down.png", "linklr_on_down.png", "resources/link_button1.png"}, 30, 20},
        {{"linklr_on_up.png", "resources/link_button2.png"}, 30, 20},
        {{"logo.png", "logo_up.png", "logo_down.png", "resources/plugin-logo-white.png"}, 125, 14},
        {{"led_digits0.png", "resources/led_digits.png"}, 18, 27},
        {{"led_red_on.png", "resources/led_red.png"}, 64, 64},
        {{"led_red_off.png", "resources/led_red1.png"}, 64, 64},
        {{"bg_master.png", "resources/masterpanel.png"}, 770, 165},
        {{"bg_master.skin", "resources/masterpanel.skin"}, 0, 0},
        {{"bg_send.png", "resources/signalpanel.png"}, 610, 165},
        {{"bg_send.skin", "resources/signalpanel.skin"}, 0, 0},
        {{"bg_send_mono.png", "resources/signalpanel_mono.png"}, 610, 165},
        {{"bg_send_mono.skin", "resources/signalpanel_mono.skin"}, 0, 0},
    };
    for (int d = 1; d <= 9; ++d)
        table.push_back(
            {{"led_digits" + std::to_string(d) + ".png", "resources/led_digits" + std::to_string(d) + ".png"},
             18,
             27});
    return table;
}

// The names that nothing in the editor asks for.
inline bool is_unrequested(const std::string& name)
{
    return name.rfind("resources/", 0) == 0 || name == "toggle_on.png" || name == "toggle_off.png" ||
           name == "toggle_pressed.png";
}
