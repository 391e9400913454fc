#pragma once

// Reaches what the editor keeps to itself: its layout reader and its widgets by their layout names.

#include "editor/AboutComponent.h"
#include "editor/FlipsumAudioProcessorEditor.h"

#include <cstdint>
#include <cstring>
#include <string>

struct FlipsumAudioProcessorEditorTestAccess
{
    using E = FlipsumAudioProcessorEditor;
    using layout_map_t = E::layout_map_t;

    static void parse_text(layout_map_t& components, const std::string& view, const char* text)
    {
        E::setup_parse_layout(components, view, text, text != nullptr ? std::strlen(text) : 0);
    }
    static void parse_resource(layout_map_t& components, const std::string& view)
    {
        E::setup_parse_layout(components, view);
    }
    static void parse_bytes(layout_map_t& components, const std::string& view, const char* text,
                            std::size_t size)
    {
        E::setup_parse_layout(components, view, text, size);
    }

    static E::view_mode_t view(const E& e) { return e.current_view.load(); }
    // Shows the send view again, as a switch to it does, and the playback event it has taken in.
    static void show_send_view(E& e) { e.show_view_send(); }
    static std::uint32_t playback_seen(const E& e) { return e.playback_seen; }
    static void reset_daw_check() { E::daw_compatibility_checked = false; }

    // Buttons by layout name ("ui_stopOpt" too).
    static juce::Button& button(E& e, const std::string& name)
    {
        juce::Button* const all[] = {
            &e.ui_routing_send, &e.ui_routing_off, &e.ui_routing_recv, &e.ui_logo,     &e.ui_polarityL,
            &e.ui_polarityR,    &e.ui_linkLR,      &e.ui_algToggle,    &e.ui_startOpt, &e.ui_stopOpt,
            &e.ui_noSend,       &e.ui_bypassAll,   &e.ui_filter};
        const char* const names[] = {"ui_routing_send", "ui_routing_off", "ui_routing_recv", "ui_logo",
                                     "ui_polarityL",    "ui_polarityR",   "ui_linkLR",       "ui_algToggle",
                                     "ui_startOpt",     "ui_stopOpt",     "ui_noSend",       "ui_bypassAll",
                                     "ui_filter"};
        for (std::size_t i = 0; i < std::size(names); ++i)
            if (name == names[i])
                return *all[i];
        throw std::invalid_argument(name);
    }
    // An LED pair by layout name: 1 when its on image shows, 0 when its off image shows, -1 when
    // neither or both.
    static int led(E& e, const std::string& name)
    {
        juce::DrawableImage* pair = name == "ui_polarityL_led"   ? e.ui_polarityL_led
                                    : name == "ui_polarityR_led" ? e.ui_polarityR_led
                                    : name == "ui_startOpt_led"  ? e.ui_startOpt_led
                                                                 : nullptr;
        const char* const signals[] = {"ui_signal0",  "ui_signal3",  "ui_signal6",  "ui_signal10",
                                       "ui_signal16", "ui_signal22", "ui_signal32", "ui_signal60"};
        for (int i = 0; i < 8; ++i)
            if (name == signals[i])
                pair = e.ui_signal[i];
        if (pair == nullptr)
            throw std::invalid_argument(name);
        const bool off = pair[0].isVisible(), on = pair[1].isVisible();
        return on != off ? int(on) : -1;
    }
    // The send counter as its two visible digits ("" when a digit shows no image or several).
    static std::string digits(E& e)
    {
        std::string out;
        for (auto* set : {e.ui_send_digit1, e.ui_send_digit0})
        {
            int shown = -1, count = 0;
            for (int i = 0; i < 10; ++i)
                if (set[i].isVisible())
                    shown = i, ++count;
            if (count != 1)
                return "";
            out += char('0' + shown);
        }
        return out;
    }
    static juce::String status(E& e) { return e.ui_optProgress.getText(); }
    static Slider_altClickReset& gain(E& e) { return e.ui_gain; }
    static juce::Label& gain_text(E& e) { return e.ui_gain_text; }
};

struct AboutComponentTestAccess
{
    static juce::Component& link(AboutComponent& a) { return a.link; }
    static juce::Label& text(AboutComponent& a) { return a.text_label; }
    static juce::Component& ok(AboutComponent& a) { return a.ok_button; }
    static juce::Drawable* logo(AboutComponent& a) { return a.logo.get(); }
};
