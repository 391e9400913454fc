#pragma once

// The screen of one plug-in instance: a master view (analysis start and stop, its options, the send
// counter and the status line) and a send view (gain knob, polarity toggles and LEDs, link toggle,
// level meter), drawn from embedded images and placed by the views' skin layout texts. One view is
// shown at a time and follows the processor's role.
//
// Threads: the host makes and destroys the editor on the message thread; the constructor,
// destructor, the show and hide operations, paint, resized, moved and the meter's timerCallback run
// there. set_mode may be called from any thread: off the message thread it posts the switch to the
// GUI thread. The set_ui_* members may be called from any thread but the audio thread (which never
// reaches the editor: it leaves playback events in the processor, which the meter timer picks up):
// on the GUI thread they update their widgets at once, elsewhere they post the update through
// GuiThreadExecutor, and each then forwards a shared setting to the model on the calling thread.
// A caller on another thread holds the editor through its guarded pointer (util::locked_safe_ptr)
// for the duration of the call; the destructor first waits until no such holder is left.

#include "editor/DrawableButton_withHitTest.h"
#include "editor/JUCECallbackManager.h"
#include "editor/SafePtr.h"
#include "editor/Slider_altClickReset.h"
#include "editor/StichedImageSlider_LAF.h"
#include "engine/FlipsumAudioProcessor.h"
#include "engine/FlipsumManager.h"

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

class FlipsumAudioProcessorEditor : public juce::AudioProcessorEditor,
                                    public juce::Timer,
                                    public util::enable_safe_ptr<FlipsumAudioProcessorEditor>
{
public:
    // The views; they number differently from the processor's role (0 off, 1 send, 2 master).
    enum view_mode_t : int
    {
        MODE_SEND = 0,
        MODE_OFF = 1,
        MODE_MASTER = 2
    };

    // Message thread; made only by FlipsumAudioProcessor::createEditor.
    explicit FlipsumAudioProcessorEditor(FlipsumAudioProcessor* owner);
    ~FlipsumAudioProcessorEditor() override;

    // Switches the view and tells the processor the matching role. Any thread: off the message
    // thread the switch is posted to the GUI thread.
    void set_mode(view_mode_t view_mode);

    // The one-time warning for AudioUnit instances in Studio One (message thread).
    static void check_daw_compatibility(juce::AudioProcessor* instance);
    // The same with the wrapper type given and the host asked through in_studio_one (called only
    // for an AudioUnit); true when the warning was shown.
    static bool check_daw_compatibility(juce::AudioProcessor::WrapperType wrapper,
                                        const std::function<bool()>& in_studio_one);

    void paint(juce::Graphics& g) override;
    void resized() override;
    void moved() override;

    // --- Updates from the engine and the controls (any thread but the audio thread) ------------
    void set_ui_sendCnt(int cnt);
    void set_ui_status_clear(bool isRecording);
    void set_ui_status_done(unsigned int flipCnt, float improved_raw_dB, float improved_settings_dB);
    void set_ui_status_progress(float prg, float eta);
    void set_ui_master_button(bool enabled);
    void set_ui_polarity(std::size_t channel, bool isFlipped);
    void set_ui_optimize(bool yes);
    void set_ui_bypassAll(bool yes);
    void set_ui_algMode(FlipsumManager::algMode_t mode);
    void set_ui_normMode(FlipsumManager::normMode_t mode);
    void set_ui_filterMode(FlipsumManager::filterMode_t mode);
    void set_ui_gain(float gain);
    void set_ui_linkLR(bool yes);
    // The transport started (the instance records) or stopped. Delivered on the message thread by
    // the meter timer from the processor's playback events.
    void signal_playback_started(bool isRecording);
    void signal_playback_ended();

    // The send view's 100 ms level meter (message thread); also delivers playback events.
    void timerCallback() override;

    // The status line's texts.
    static std::string status_text_done(unsigned int flipCnt, float improved_raw_dB, bool filter_on);
    static std::string status_text_progress(float prg, float eta);

private:
    friend struct FlipsumAudioProcessorEditorTestAccess;

    using layout_map_t = std::map<std::string, juce::Component*>;

    // The one-time host warning has been considered (process-wide; message thread only).
    static bool daw_compatibility_checked;

    // Places every component of the map whose name an object section of the embedded layout text
    // `view` names: a juce::DrawableImage gets the float box, any other component the box's
    // values truncated toward zero. Uses no state of the editor.
    static void setup_parse_layout(layout_map_t& components, const std::string& view);
    // The same on a given text: `size` bytes at most, ending early at a zero byte; a null text
    // places nothing.
    static void setup_parse_layout(layout_map_t& components, const std::string& view, const char* text,
                                   std::size_t size);

    // Building the views (constructor only).
    void setup_view_master();
    void setup_view_send();
    void setup_button(juce::DrawableButton& b, const bool isToggle, const std::string imgPrefix);
    void setup_led(juce::DrawableImage* img);
    void setup_digit(juce::DrawableImage* img);

    // The switch of set_mode, on the message thread.
    void switch_view(const view_mode_t view_mode);
    // Showing and hiding the views (message thread).
    void show_view_send();
    void show_view_master();
    void hide_view_send();
    void hide_view_master();

    // Runs job at once on the framework's message thread, else posts it to the GUI thread; the job
    // gets the editor, or is skipped when the editor is gone by the time it runs. Only a job that
    // holds the editor logs: under signature, its guard (level 5) and name + " gui callback" +
    // detail + " [this=0x...]" (level 6); a skipped job logs nothing.
    void run_on_gui_thread(const char* signature, const char* name, std::string detail,
                           std::function<void(FlipsumAudioProcessorEditor&)> job);
    // Parts of the jobs.
    void show_status(const std::string& text, bool searching);
    void show_send_count();
    void show_polarity(std::size_t channel, bool isFlipped);
    void show_meter();
    // Delivers the processor's playback events that the editor has not seen yet.
    void deliver_playback_events();
    // The processor this editor was made for.
    FlipsumAudioProcessor& flipsum_processor() const noexcept { return processor_; }

    FlipsumAudioProcessor& processor_;
    const bool is_stereo;
    DrawableButton_withHitTest ui_routing_send{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_routing_off{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_routing_recv{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableButton ui_logo{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_bg_send;
    Slider_altClickReset ui_gain{juce::Slider::RotaryHorizontalVerticalDrag, juce::Slider::NoTextBox};
    std::unique_ptr<juce::Slider::LookAndFeelMethods> ui_gain_laf;
    juce::Label ui_gain_text;
    DrawableButton_withHitTest ui_polarityL{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_polarityL_led[2];
    DrawableButton_withHitTest ui_polarityR{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_polarityR_led[2];
    DrawableButton_withHitTest ui_linkLR{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_signal[8][2];
    juce::DrawableImage ui_bg_master;
    DrawableButton_withHitTest ui_algToggle{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_startOpt{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_startOpt_led[2];
    DrawableButton_withHitTest ui_stopOpt{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_noSend{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_bypassAll{{}, juce::DrawableButton::ImageRaw};
    DrawableButton_withHitTest ui_filter{{}, juce::DrawableButton::ImageRaw};
    juce::DrawableImage ui_send_digit0[10];
    juce::DrawableImage ui_send_digit1[10];
    juce::Label ui_optProgress;
    // The view shown now; none before the first switch. Written on the message thread, read by the
    // view guards of the set_ui_* members on any thread.
    std::atomic<view_mode_t> current_view{static_cast<view_mode_t>(-1)};
    // The send count last given to set_ui_sendCnt (any thread), read by its job.
    std::atomic<std::int32_t> send_cnt{0};
    // The meter peak last shown (message thread).
    float last_peak = 0.0f;
    // The processor's playback event last delivered (message thread).
    std::uint32_t playback_seen = 0;
    // Owns every control adapter; declared after the controls, so the adapters go first.
    JUCECallbackManager callbacks;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(FlipsumAudioProcessorEditor)
};
