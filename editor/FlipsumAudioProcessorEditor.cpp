#include "editor/FlipsumAudioProcessorEditor.h"

#include "editor/AboutComponent.h"
#include "editor/Fsum_Images.h"
#include "engine/GuiThreadExecutor.h"
#include "engine/Logger.h"
#include "engine/Preferences.h"
#include "engine/StaticInitOrder.h"
#include "engine/ThreadRules.h"

#include <cmath>

namespace
{
// Text colour of the master view's status line.
const juce::Colour COLOR_OPTPROGRESS_NORMAL SIGNFLUX_INIT_EDITOR(200, 200, 200);

// The gain knob's rotary range, -2.355 to +2.355 rad around the top, given one turn later: the
// framework takes angles from 0 to 4 pi only.
constexpr float knob_turn = 6.283185307179586f;
constexpr float knob_start = -2.355f + knob_turn;
constexpr float knob_end = 2.355f + knob_turn;

const char* view_mode_name(const FlipsumAudioProcessorEditor::view_mode_t mode)
{
    switch (mode)
    {
    case FlipsumAudioProcessorEditor::MODE_SEND:
        return "MODE_SEND";
    case FlipsumAudioProcessorEditor::MODE_OFF:
        return "MODE_OFF";
    case FlipsumAudioProcessorEditor::MODE_MASTER:
        return "MODE_MASTER";
    }
    return "?";
}

// The image's own box at the top left.
juce::Parallelogram<float> image_box(const juce::Image& image)
{
    return juce::Parallelogram<float>(
        juce::Rectangle<float>(0.0f, 0.0f, float(image.getWidth()), float(image.getHeight())));
}

// Shows exactly one image of the set: the on image of an LED pair for index 1, digit i of a set.
void show_only(juce::DrawableImage* images, const int count, const int shown)
{
    for (int i = 0; i < count; ++i)
        images[i].setVisible(i == shown);
}
} // namespace

// The editor's image decoder over the embedded resources, made after the colour above.
Fsum_Images fsumimg SIGNFLUX_INIT_EDITOR;

bool FlipsumAudioProcessorEditor::daw_compatibility_checked = false;

// ---------------------------------------------------------------------------------------------
// Lifetime

FlipsumAudioProcessorEditor::FlipsumAudioProcessorEditor(FlipsumAudioProcessor* owner)
    : juce::AudioProcessorEditor(owner), enable_safe_ptr(this), processor_(*owner),
      is_stereo(owner->getTotalNumInputChannels() > 1)
{
    FSUM_LOG_GUARD(1);
    setMouseCursor(juce::MouseCursor::NormalCursor);
    setup_view_master();
    setup_view_send();

    // A preset other view makes the first switch run in full; its call back into the processor
    // finds the role unchanged.
    if (processor_.get_mode() == FlipsumAudioProcessor::ROLE_MASTER)
    {
        current_view.store(MODE_OFF);
        set_mode(MODE_MASTER);
    }
    else
    {
        current_view.store(MODE_MASTER);
        set_mode(processor_.get_mode() == FlipsumAudioProcessor::ROLE_SEND ? MODE_SEND : MODE_OFF);
    }
    check_daw_compatibility(owner);
    // From now on the engine's threads reach this editor through its guarded handle.
    processor_.set_open_editor(get_safe_ptr());
}

FlipsumAudioProcessorEditor::~FlipsumAudioProcessorEditor()
{
    FSUM_LOG_GUARD(1);
    // Waits for any job or engine call that holds the editor; later ones find it gone.
    safe_destruct();
    processor_.forget_open_editor(get_safe_ptr());
    stopTimer();
    // The knob must not name its look-and-feel once that is gone.
    ui_gain.setLookAndFeel(nullptr);
}

// ---------------------------------------------------------------------------------------------
// View switching

void FlipsumAudioProcessorEditor::set_mode(view_mode_t view_mode)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", view_mode=" << view_mode_name(view_mode);
    if (!juce::MessageManager::existsAndIsCurrentThread())
    {
        // A host restoring a state on another thread: components are touched on the message
        // thread only.
        run_on_gui_thread(__PRETTY_FUNCTION__, "set_mode", "",
                          [view_mode](FlipsumAudioProcessorEditor& e) { e.switch_view(view_mode); });
        return;
    }
    switch_view(view_mode);
}

void FlipsumAudioProcessorEditor::switch_view(const view_mode_t view_mode)
{
    FSUM_ASSERT_MESSAGE_THREAD();
    const view_mode_t shown = current_view.load();
    if (view_mode == shown)
        return;

    if (shown == MODE_MASTER)
        hide_view_master();
    else if (shown == MODE_SEND || shown == MODE_OFF)
        hide_view_send();
    current_view.store(view_mode);

    // The radio group turns the other two off; this toggle's adapter finds the view unchanged.
    DrawableButton_withHitTest& routing = view_mode == MODE_MASTER ? ui_routing_recv
                                          : view_mode == MODE_OFF  ? ui_routing_off
                                                                   : ui_routing_send;
    routing.setToggleState(true, juce::sendNotification);

    if (view_mode == MODE_MASTER)
        show_view_master();
    else
        show_view_send();

    // When the role changes, the processor calls set_mode again with this view, which returns above.
    if (view_mode == MODE_MASTER)
        processor_.set_as_master();
    else
        processor_.set_not_master(view_mode == MODE_SEND);
}

void FlipsumAudioProcessorEditor::hide_view_send()
{
    FSUM_ASSERT_MESSAGE_THREAD();
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    for (juce::Component* c : std::initializer_list<juce::Component*>{
             &ui_bg_send, &ui_gain, &ui_gain_text, &ui_polarityL, &ui_polarityR, &ui_polarityL_led[0],
             &ui_polarityL_led[1], &ui_polarityR_led[0], &ui_polarityR_led[1], &ui_linkLR})
        c->setVisible(false);
    for (auto& led : ui_signal)
        show_only(led, 2, -1);
    stopTimer();
}

void FlipsumAudioProcessorEditor::hide_view_master()
{
    FSUM_ASSERT_MESSAGE_THREAD();
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    for (juce::Component* c : std::initializer_list<juce::Component*>{
             &ui_bg_master, &ui_logo, &ui_algToggle, &ui_startOpt, &ui_stopOpt, &ui_startOpt_led[0],
             &ui_startOpt_led[1], &ui_noSend, &ui_bypassAll, &ui_filter, &ui_optProgress})
        c->setVisible(false);
    show_only(ui_send_digit0, 10, -1);
    show_only(ui_send_digit1, 10, -1);
}

void FlipsumAudioProcessorEditor::show_view_send()
{
    FSUM_ASSERT_MESSAGE_THREAD();
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    // Playback events up to this one are shown below, from the processor's state; later ones are
    // the meter timer's. The event is read before the transport's state (was_playing_last_block):
    // an event that comes between the two reads is delivered later, never taken as seen unshown.
    playback_seen = processor_.playback_event();
    setSize(ui_bg_send.getImage().getWidth(), ui_bg_send.getImage().getHeight());
    for (juce::Component* c : std::initializer_list<juce::Component*>{&ui_bg_send, &ui_routing_send,
                                                                      &ui_routing_off, &ui_routing_recv})
        c->setVisible(true);
    // The master button is usable in this view only while no instance is master.
    set_ui_master_button(FlipsumManager::get_inst()->master() == nullptr);

    layout_map_t logo{{"ui_logo", &ui_logo}};
    setup_parse_layout(logo, is_stereo ? "bg_send.skin" : "bg_send_mono.skin");
    ui_logo.setVisible(true);

    ui_gain.setValue(processor_.get_gain(), juce::dontSendNotification);
    ui_gain.setVisible(true);
    ui_gain_text.setVisible(true);

    // The toggles show what the processor holds, without telling their adapters: the master view
    // may have left them behind (a state restored meanwhile), and an echo would link one stale
    // toggle to another and change a stored polarity.
    const auto show_polarity_of = [this](std::size_t channel, juce::Button& toggle, juce::DrawableImage* led)
    {
        toggle.setToggleState(processor_.get_polarity(channel) != 1, juce::dontSendNotification);
        toggle.setVisible(true);
        show_only(led, 2, toggle.getToggleState() ? 1 : 0);
    };
    show_polarity_of(0, ui_polarityL, ui_polarityL_led);
    if (is_stereo)
    {
        show_polarity_of(1, ui_polarityR, ui_polarityR_led);
        ui_linkLR.setToggleState(processor_.get_force_record_mono(), juce::dontSendNotification);
        ui_linkLR.setVisible(true);
        ui_linkLR.setEnabled(!processor_.was_playing_last_block());
    }

    // The meter is drawn at once.
    last_peak = 1.0e38f;
    timerCallback();
    startTimer(100);
}

void FlipsumAudioProcessorEditor::show_view_master()
{
    FSUM_ASSERT_MESSAGE_THREAD();
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    load_log_level();
    setSize(ui_bg_master.getImage().getWidth(), ui_bg_master.getImage().getHeight());
    for (juce::Component* c : std::initializer_list<juce::Component*>{&ui_bg_master, &ui_routing_send,
                                                                      &ui_routing_off, &ui_routing_recv})
        c->setVisible(true);
    set_ui_master_button(true);

    layout_map_t logo{{"ui_logo", &ui_logo}};
    setup_parse_layout(logo, "bg_master.skin");
    ui_logo.setVisible(true);

    const auto mgr = FlipsumManager::get_inst();
    set_ui_algMode(mgr->get_alg_mode_internal());
    ui_algToggle.setVisible(true);
    set_ui_optimize(mgr->get_recording_armed_internal());
    ui_startOpt.setVisible(true);
    ui_stopOpt.setVisible(false);
    show_only(ui_startOpt_led, 2, ui_startOpt.getToggleState() ? 1 : 0);
    ui_noSend.setVisible(true);
    set_ui_sendCnt(static_cast<int>(mgr->get_slave_cnt_internal()));
    set_ui_bypassAll(mgr->get_bypass_all_internal());
    ui_bypassAll.setVisible(true);
    set_ui_filterMode(mgr->get_filter_mode_internal());
    ui_filter.setVisible(true);
    set_ui_status_clear(false);
    ui_optProgress.setVisible(true);
}

void FlipsumAudioProcessorEditor::check_daw_compatibility(juce::AudioProcessor* instance)
{
    check_daw_compatibility(instance != nullptr ? instance->wrapperType
                                                : juce::AudioProcessor::wrapperType_Undefined,
                            [] { return juce::PluginHostType().isStudioOne(); });
}

bool FlipsumAudioProcessorEditor::check_daw_compatibility(const juce::AudioProcessor::WrapperType wrapper,
                                                          const std::function<bool()>& in_studio_one)
{
    if (daw_compatibility_checked)
        return false;
    daw_compatibility_checked = true;
    if (wrapper != juce::AudioProcessor::wrapperType_AudioUnit || !in_studio_one())
        return false;
    juce::AlertWindow::showMessageBoxAsync(
        juce::MessageBoxIconType::WarningIcon, "Warning",
        "We recommend using the VST version of Signflux in Presonus Studio One.\n\n(Studio One is known "
        "to cause erroneous results with mono tracks and AU plug-ins.)");
    return true;
}

void FlipsumAudioProcessorEditor::paint(juce::Graphics& g)
{
    g.fillAll(juce::Colours::grey);
}

void FlipsumAudioProcessorEditor::resized()
{
    juce::Component::resized();
    FSUM_LOG(6) << "New size: w=" << getWidth() << ", h=" << getHeight();
}

void FlipsumAudioProcessorEditor::moved()
{
    juce::Component::moved();
    FSUM_LOG(6) << "New pos: x=" << getX() << ", y=" << getY();
}

// ---------------------------------------------------------------------------------------------
// Building the views

void FlipsumAudioProcessorEditor::setup_button(juce::DrawableButton& b, const bool isToggle,
                                               const std::string imgPrefix)
{
    FSUM_SIGNATURE("void FlipsumAudioProcessorEditor::setup_button(juce::DrawableButton&, const bool, const "
                   "std::string)");
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", b=0x" << logger::hex(&b)
                << ", isToggle=" << isToggle << ", imgPrefix=" << imgPrefix;
    juce::DrawableImage images[4];
    const char* const toggle_names[] = {"_off_up.png", "_off_down.png", "_on_up.png", "_on_down.png"};
    const char* const push_names[] = {"_up.png", "_down.png"};
    for (int i = 0; i < (isToggle ? 4 : 2); ++i)
        images[i].setImage(fsumimg.load_image(imgPrefix + (isToggle ? toggle_names[i] : push_names[i])));
    b.setImages(&images[0], nullptr, &images[1], nullptr, isToggle ? &images[2] : nullptr, nullptr,
                isToggle ? &images[3] : nullptr, nullptr);
    b.setClickingTogglesState(isToggle);
    b.setTriggeredOnMouseDown(true);
    // Nothing in the editor takes key input: a click leaves the keyboard with the host.
    b.setWantsKeyboardFocus(false);
    b.setColour(juce::DrawableButton::backgroundOnColourId, juce::Colours::transparentBlack);
    addChildComponent(b);
}

void FlipsumAudioProcessorEditor::setup_led(juce::DrawableImage* img)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", img=0x" << logger::hex(img);
    img[0].setImage(fsumimg.load_image("led_red_off.png"));
    addChildComponent(img[0]);
    img[1].setImage(fsumimg.load_image("led_red_on.png"));
    addChildComponent(img[1]);
}

void FlipsumAudioProcessorEditor::setup_digit(juce::DrawableImage* img)
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", img=0x" << logger::hex(img);
    for (int i = 0; i < 10; ++i)
    {
        img[i].setImage(fsumimg.load_image("led_digits" + std::to_string(i) + ".png"));
        addChildComponent(img[i]);
    }
}

void FlipsumAudioProcessorEditor::setup_view_master()
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this);
    layout_map_t layout;

    ui_bg_master.setImage(fsumimg.load_image("bg_master.png"));
    ui_bg_master.setBoundingBox(image_box(ui_bg_master.getImage()));
    addChildComponent(ui_bg_master);
    ui_bg_master.toBack();
    ui_bg_master.setMouseCursor(juce::MouseCursor::NormalCursor);

    const auto routing =
        [&](DrawableButton_withHitTest& toggle, const char* prefix, const char* name, const view_mode_t view)
    {
        setup_button(toggle, true, prefix);
        toggle.setToggleState(current_view.load() == view, juce::dontSendNotification);
        toggle.setRadioGroupId(1);
        callbacks.buttonClicked(&toggle,
                                [this, &toggle, view]
                                {
                                    if (toggle.getToggleState())
                                        set_mode(view);
                                });
        layout[name] = &toggle;
    };
    routing(ui_routing_send, "routing_send", "ui_routing_send", MODE_SEND);
    routing(ui_routing_off, "routing_off", "ui_routing_off", MODE_OFF);
    routing(ui_routing_recv, "routing_recv", "ui_routing_recv", MODE_MASTER);

    setup_button(ui_logo, false, "logo");
    callbacks.buttonClicked(&ui_logo,
                            [this]
                            {
                                using P = juce::AudioProcessor;
                                const auto wrapper = processor_.wrapperType;
                                show_about_dialog(
                                    wrapper == P::wrapperType_AudioUnit, wrapper == P::wrapperType_VST,
                                    wrapper == P::wrapperType_VST3, false, wrapper == P::wrapperType_AAX);
                            });
    layout["ui_logo"] = &ui_logo;

    setup_button(ui_algToggle, true, "algorithm");
    callbacks.buttonClicked(&ui_algToggle,
                            [this]
                            {
                                FlipsumManager::get_inst()->set_alg_mode_internal(
                                    ui_algToggle.getToggleState() ? FlipsumManager::ALG_FAST
                                                                  : FlipsumManager::ALG_FULL);
                            });
    layout["ui_algToggle"] = &ui_algToggle;

    setup_button(ui_startOpt, true, "optimize");
    callbacks.buttonClicked(&ui_startOpt,
                            [this]
                            {
                                const bool on = ui_startOpt.getToggleState();
                                FlipsumManager::get_inst()->set_recording_armed_internal(on);
                                show_only(ui_startOpt_led, 2, on ? 1 : 0);
                                set_ui_status_clear(false);
                            });
    layout["ui_startOpt"] = &ui_startOpt;

    setup_button(ui_stopOpt, false, "stopopt");
    callbacks.buttonClicked(&ui_stopOpt, [] { FlipsumManager::get_inst()->stop_processing_internal(); });

    setup_led(ui_startOpt_led);
    layout["ui_startOpt_led"] = &ui_startOpt_led[0];

    setup_button(ui_noSend, false, "nosend");
    callbacks.buttonClicked(&ui_noSend, [] { FlipsumManager::get_inst()->clear_slaves_internal(); });
    layout["ui_noSend"] = &ui_noSend;

    setup_button(ui_bypassAll, true, "bypass");
    callbacks.buttonClicked(
        &ui_bypassAll,
        [this] { FlipsumManager::get_inst()->set_bypass_all_internal(ui_bypassAll.getToggleState()); });
    layout["ui_bypassAll"] = &ui_bypassAll;

    setup_button(ui_filter, true, "lowboost");
    callbacks.buttonClicked(&ui_filter,
                            [this]
                            {
                                FlipsumManager::get_inst()->set_filter_mode_internal(
                                    ui_filter.getToggleState() ? FlipsumManager::FILT_LOWBOOST
                                                               : FlipsumManager::FILT_OFF);
                            });
    layout["ui_filter"] = &ui_filter;

    setup_digit(ui_send_digit1);
    layout["ui_send_digit1"] = &ui_send_digit1[0];
    setup_digit(ui_send_digit0);
    layout["ui_send_digit0"] = &ui_send_digit0[0];

    ui_optProgress.setColour(juce::Label::textColourId, COLOR_OPTPROGRESS_NORMAL);
    ui_optProgress.setColour(juce::Label::backgroundColourId, juce::Colours::transparentBlack);
    ui_optProgress.setEditable(false, false, false);
    ui_optProgress.setFont(ui_optProgress.getFont().withHeight(ui_optProgress.getFont().getHeight() * 0.9f));
    ui_optProgress.setJustificationType(juce::Justification::centredTop);
    addChildComponent(ui_optProgress);
    layout["ui_optProgress"] = &ui_optProgress;

    setup_parse_layout(layout, "bg_master.skin");

    for (auto* digits : {ui_send_digit0, ui_send_digit1})
        for (int i = 1; i < 10; ++i)
            digits[i].setBoundingBox(digits[0].getBoundingBox());
    ui_startOpt_led[1].setBoundingBox(ui_startOpt_led[0].getBoundingBox());
    ui_stopOpt.setBounds(ui_startOpt.getBounds());
}

void FlipsumAudioProcessorEditor::setup_view_send()
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this);
    layout_map_t layout;

    ui_bg_send.setImage(fsumimg.load_image(is_stereo ? "bg_send.png" : "bg_send_mono.png"));
    ui_bg_send.setBoundingBox(image_box(ui_bg_send.getImage()));
    addChildComponent(ui_bg_send);
    ui_bg_send.toBack();
    ui_bg_send.setMouseCursor(juce::MouseCursor::NormalCursor);

    const juce::Image film = fsumimg.load_image("rotator_stitched.png");
    ui_gain_laf = setup_stitchedImageSlider(ui_gain, &film, -1, 1.0f);
    ui_gain.setRange(-20.0, 20.0, 0.1);
    ui_gain.setDoubleClickReturnValue(true, 0.0);
    ui_gain.setRotaryParameters(knob_start, knob_end, true);
    addChildComponent(ui_gain);
    callbacks.sliderValueChanged(&ui_gain, [this] { set_ui_gain(static_cast<float>(ui_gain.getValue())); });
    layout["ui_gain"] = &ui_gain;

    ui_gain.attachTextBox(&ui_gain_text);
    ui_gain.setTextValueSuffix(" dB");
    ui_gain.setTextBoxIsEditable(false);
    ui_gain_text.setJustificationType(juce::Justification::centredRight);
    ui_gain_text.setColour(juce::Label::textColourId, juce::Colours::white);
    ui_gain_text.setColour(juce::Label::backgroundColourId, juce::Colour(40, 40, 40));
    ui_gain_text.setColour(juce::Label::outlineColourId, juce::Colour(60, 60, 60));
    ui_gain_text.setMinimumHorizontalScale(1.0f);
    addChildComponent(ui_gain_text);
    layout["ui_gain_text"] = &ui_gain_text;

    const auto polarity = [&](DrawableButton_withHitTest& toggle, juce::DrawableImage* led,
                              std::size_t channel, const char* name, const char* led_name)
    {
        setup_button(toggle, true, "polarity");
        callbacks.buttonClicked(&toggle, [this, &toggle, channel]
                                { set_ui_polarity(channel, toggle.getToggleState()); });
        layout[name] = &toggle;
        setup_led(led);
        layout[led_name] = &led[0];
    };
    polarity(ui_polarityL, ui_polarityL_led, 0, "ui_polarityL", "ui_polarityL_led");
    polarity(ui_polarityR, ui_polarityR_led, 1, "ui_polarityR", "ui_polarityR_led");
    setup_button(ui_linkLR, true, "linklr");
    callbacks.buttonClicked(&ui_linkLR, [this] { set_ui_linkLR(ui_linkLR.getToggleState()); });
    layout["ui_linkLR"] = &ui_linkLR;

    const char* const signal_names[] = {"ui_signal0",  "ui_signal3",  "ui_signal6",  "ui_signal10",
                                        "ui_signal16", "ui_signal22", "ui_signal32", "ui_signal60"};
    for (auto& led : ui_signal)
        setup_led(led);
    for (int i = 0; i < 8; ++i)
        layout[signal_names[i]] = &ui_signal[i][0];

    setup_parse_layout(layout, is_stereo ? "bg_send.skin" : "bg_send_mono.skin");

    for (auto* led : {ui_signal[0], ui_signal[1], ui_signal[2], ui_signal[3], ui_signal[4], ui_signal[5],
                      ui_signal[6], ui_signal[7], ui_polarityL_led, ui_polarityR_led})
        led[1].setBoundingBox(led[0].getBoundingBox());
    ui_gain_text.setFont(ui_gain_text.getFont().withHeight(
        static_cast<float>(std::lround(0.8 * static_cast<double>(ui_gain_text.getHeight())))));

    FSUM_LOG(6) << "ui_gain:enabled=" << ui_gain.isEnabled();
    FSUM_LOG(6) << "ui_gain:x=" << ui_gain.getX();
    FSUM_LOG(6) << "ui_gain:y=" << ui_gain.getY();
    FSUM_LOG(6) << "ui_gain:width=" << ui_gain.getWidth();
    FSUM_LOG(6) << "ui_gain:height=" << ui_gain.getHeight();
}
