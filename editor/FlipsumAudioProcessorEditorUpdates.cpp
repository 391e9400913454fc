// The editor's updates from the engine and from its own controls: the set_ui_* family, the playback
// signals, the status line's texts, the send counter, polarity linking and the level meter.

#include "editor/FlipsumAudioProcessorEditor.h"

#include "engine/GuiThreadExecutor.h"
#include "engine/Logger.h"
#include "engine/ThreadRules.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

namespace
{
// A text stream whose numbers do not follow a locale that the host may have set.
std::ostringstream text_stream()
{
    std::ostringstream s;
    s.imbue(std::locale::classic());
    return s;
}

// Sets a toggle with notification when it differs; its adapter then finds nothing to change.
void set_toggle(juce::Button& toggle, const bool on)
{
    if (toggle.getToggleState() != on)
        toggle.setToggleState(on, juce::sendNotification);
}

void show_led(juce::DrawableImage* led, const bool on)
{
    led[0].setVisible(!on);
    led[1].setVisible(on);
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Marshalling

void FlipsumAudioProcessorEditor::run_on_gui_thread(const char* signature, const char* name,
                                                    std::string detail,
                                                    std::function<void(FlipsumAudioProcessorEditor&)> job)
{
    auto wrapped =
        [handle = get_safe_ptr(), signature, name, detail = std::move(detail), job = std::move(job)]
    {
        FSUM_ASSERT_MESSAGE_THREAD();
        // A job whose editor is gone does nothing and logs nothing.
        const util::locked_safe_ptr<FlipsumAudioProcessorEditor> editor(handle);
        if (!editor)
            return;
        const logger::log_enter_exit guard(5, signature);
        logger::log(6, signature) << name << " gui callback" << detail << " [this=0x"
                                  << logger::hex(editor.get()) << "]";
        job(*editor.get());
    };
    // Components may be touched on the framework's message thread. (A plug-in wrapper may move
    // that thread: the Linux VST3 wrapper runs it on a thread of its own until the host attaches an
    // editor, then on the host's thread.)
    if (juce::MessageManager::existsAndIsCurrentThread())
        wrapped();
    else
        GuiThreadExecutor::get_inst()->post_thread(std::move(wrapped));
}

// ---------------------------------------------------------------------------------------------
// The master view

void FlipsumAudioProcessorEditor::set_ui_sendCnt(int cnt)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", cnt=" << cnt;
    send_cnt.store(cnt);
    if (current_view.load() != MODE_MASTER)
        return;
    // The job reads the newest count when it runs.
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_sendCnt", {},
                      [](FlipsumAudioProcessorEditor& e) { e.show_send_count(); });
}

void FlipsumAudioProcessorEditor::show_send_count()
{
    const int n = send_cnt.load();
    if (n <= 1)
    {
        ui_startOpt.setEnabled(false);
        // Its adapter disarms the recording, darkens the LED and clears the status line.
        if (ui_startOpt.getToggleState())
            ui_startOpt.setToggleState(false, juce::sendNotificationSync);
        set_ui_status_clear(false);
    }
    else
    {
        ui_startOpt.setEnabled(true);
    }
    const int c = std::clamp(n, 0, 99);
    for (int i = 0; i < 10; ++i)
    {
        ui_send_digit0[i].setVisible(i == c % 10);
        ui_send_digit1[i].setVisible(i == c / 10);
    }
}

void FlipsumAudioProcessorEditor::set_ui_status_clear(bool isRecording)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", isRecording=" << isRecording;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_status_clear",
                      isRecording ? ", isRecording=true" : ", isRecording=false",
                      [isRecording](FlipsumAudioProcessorEditor& e)
                      { e.show_status(isRecording ? "Listening..." : "", false); });
}

void FlipsumAudioProcessorEditor::set_ui_status_done(unsigned int flipCnt, float improved_raw_dB,
                                                     float improved_settings_dB)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", flipCnt=" << flipCnt
                << ", improved_raw_dB=" << improved_raw_dB
                << ", improved_settings_dB=" << improved_settings_dB;
    run_on_gui_thread(
        __PRETTY_FUNCTION__, "set_ui_status_done", {},
        [flipCnt, improved_raw_dB](FlipsumAudioProcessorEditor& e)
        {
            // The low boost as the master shows it when the result arrives.
            e.show_status(status_text_done(flipCnt, improved_raw_dB, e.ui_filter.getToggleState()), false);
        });
}

void FlipsumAudioProcessorEditor::set_ui_status_progress(float prg, float eta)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", prg=" << prg << ", eta=" << eta;
    if (current_view.load() != MODE_MASTER)
        return;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_status_progress", {},
                      [prg, eta](FlipsumAudioProcessorEditor& e)
                      { e.show_status(status_text_progress(prg, eta), true); });
}

void FlipsumAudioProcessorEditor::show_status(const std::string& text, const bool searching)
{
    ui_optProgress.setText(text, juce::sendNotification);
    // A job that arrives after the switch to the send view leaves the master's buttons hidden;
    // showing the master view again sets them.
    if (current_view.load() != MODE_MASTER)
        return;
    ui_startOpt.setVisible(!searching);
    ui_stopOpt.setVisible(searching);
}

std::string FlipsumAudioProcessorEditor::status_text_done(const unsigned int flipCnt,
                                                          const float improved_raw_dB, const bool filter_on)
{
    auto s = text_stream();
    s << "Done" << '\n' << "(" << flipCnt << (flipCnt == 1 ? " flip" : " flips");
    if (flipCnt != 0 && !filter_on)
    {
        s << ", ";
        if (improved_raw_dB > 0.0f)
            s << "+";
        if (std::abs(improved_raw_dB) > 100.0f)
            s << "Inf";
        else
            s << std::fixed << std::setprecision(1) << std::round(improved_raw_dB * 10.0f) * 0.1f;
        s << " dB";
    }
    s << ")";
    return s.str();
}

std::string FlipsumAudioProcessorEditor::status_text_progress(const float prg, const float eta)
{
    auto s = text_stream();
    const float p = std::min(prg, 1.0f);
    const float percent = p >= 0.0f ? std::round(p * 1000.0f) * 0.1f : 0.0f; // a NaN shows 0.0%
    s << std::fixed << std::setprecision(1) << percent << "%";
    if (!(eta < 3600.0f))
    {
        // A NaN or infinite estimate shows the largest count of hours.
        const float hours = std::floor(eta * 0.00027777778f);
        const int h = hours < 999.0f ? static_cast<int>(hours) : 999;
        s << ", >" << h << (h == 1 ? "hr" : "hrs");
    }
    else if (eta >= 0.0f)
    {
        const int seconds = static_cast<int>(std::floor(eta + 0.5f));
        s << ", " << seconds / 60 << ":" << std::setw(2) << std::setfill('0') << seconds % 60;
    }
    return s.str();
}

void FlipsumAudioProcessorEditor::set_ui_master_button(bool enabled)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", enabled=" << enabled;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_master_button", {},
                      [enabled](FlipsumAudioProcessorEditor& e)
                      {
                          // The master's own receive button never greys out.
                          if (e.current_view.load() == MODE_MASTER)
                          {
                              if (!e.ui_routing_recv.isEnabled())
                                  e.ui_routing_recv.setEnabled(true);
                          }
                          else if (e.ui_routing_recv.isEnabled() != enabled)
                          {
                              e.ui_routing_recv.setEnabled(enabled);
                          }
                      });
}

void FlipsumAudioProcessorEditor::set_ui_optimize(bool yes)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes;
    if (current_view.load() != MODE_MASTER)
        return;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_optimize", {},
                      [yes](FlipsumAudioProcessorEditor& e) { set_toggle(e.ui_startOpt, yes); });
    FlipsumManager::get_inst()->set_recording_armed_internal(yes);
}

void FlipsumAudioProcessorEditor::set_ui_bypassAll(bool yes)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes;
    if (current_view.load() != MODE_MASTER)
        return;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_bypassAll", {},
                      [yes](FlipsumAudioProcessorEditor& e) { set_toggle(e.ui_bypassAll, yes); });
    FlipsumManager::get_inst()->set_bypass_all_internal(yes);
}

void FlipsumAudioProcessorEditor::set_ui_algMode(FlipsumManager::algMode_t mode)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", mode=" << FlipsumManager::alg_mode_name(mode);
    if (current_view.load() != MODE_MASTER)
        return;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_algMode", {},
                      [mode](FlipsumAudioProcessorEditor& e)
                      { set_toggle(e.ui_algToggle, mode == FlipsumManager::ALG_FAST); });
    FlipsumManager::get_inst()->set_alg_mode_internal(mode);
}

void FlipsumAudioProcessorEditor::set_ui_normMode(FlipsumManager::normMode_t mode)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", mode=" << FlipsumManager::norm_mode_name(mode);
    // No control shows the normalisation.
    FlipsumManager::get_inst()->set_norm_mode_internal(mode);
}

void FlipsumAudioProcessorEditor::set_ui_filterMode(FlipsumManager::filterMode_t mode)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this)
                << ", mode=" << FlipsumManager::filter_mode_name(mode);
    if (current_view.load() != MODE_MASTER)
        return;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_filterMode", {},
                      [mode](FlipsumAudioProcessorEditor& e)
                      { set_toggle(e.ui_filter, mode != FlipsumManager::FILT_OFF); });
    FlipsumManager::get_inst()->set_filter_mode_internal(mode);
}

// ---------------------------------------------------------------------------------------------
// The send view

void FlipsumAudioProcessorEditor::set_ui_polarity(std::size_t channel, bool isFlipped)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", channel=" << channel
                << ", isFlipped=" << isFlipped;
    if (current_view.load() == MODE_MASTER || channel >= 2)
        return;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_polarity", {},
                      [channel, isFlipped](FlipsumAudioProcessorEditor& e)
                      { e.show_polarity(channel, isFlipped); });
    processor_.set_polarity(channel, isFlipped ? -1 : 1);
}

void FlipsumAudioProcessorEditor::show_polarity(const std::size_t channel, const bool isFlipped)
{
    juce::Button& toggle = channel == 0 ? ui_polarityL : ui_polarityR;
    set_toggle(toggle, isFlipped);
    show_led(channel == 0 ? ui_polarityL_led : ui_polarityR_led, isFlipped);
    // Linked channels follow each other, in the processor too.
    if (ui_linkLR.getToggleState() && ui_polarityL.getToggleState() != ui_polarityR.getToggleState())
        set_ui_polarity(1 - channel, isFlipped);
}

void FlipsumAudioProcessorEditor::set_ui_gain(float gain)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", gain=" << gain;
    if (current_view.load() == MODE_MASTER)
        return;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_gain", {},
                      [gain](FlipsumAudioProcessorEditor& e)
                      {
                          // Without echo: the knob snaps to its 0.1 dB steps, and the snapped
                          // value would come back as a change of the processor's gain.
                          if (e.ui_gain.getValue() != static_cast<double>(gain))
                              e.ui_gain.setValue(static_cast<double>(gain), juce::dontSendNotification);
                      });
    processor_.set_gain(gain);
}

void FlipsumAudioProcessorEditor::set_ui_linkLR(bool yes)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes;
    if (current_view.load() == MODE_MASTER)
        return;
    run_on_gui_thread(__PRETTY_FUNCTION__, "set_ui_linkLR", {},
                      [yes](FlipsumAudioProcessorEditor& e)
                      {
                          set_toggle(e.ui_linkLR, yes);
                          // Linking copies the left polarity to the right, never the reverse. The
                          // toggles are read here, on the GUI thread.
                          if (yes && e.ui_polarityL.getToggleState() != e.ui_polarityR.getToggleState())
                              e.set_ui_polarity(1, e.ui_polarityL.getToggleState());
                      });
    processor_.set_force_record_mono(yes);
}

void FlipsumAudioProcessorEditor::signal_playback_started(bool isRecording)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", isRecording=" << isRecording;
    if (current_view.load() != MODE_MASTER && juce::MessageManager::existsAndIsCurrentThread())
    {
        stopTimer();
        startTimer(100);
    }
    if (!isRecording || !is_stereo)
        return;
    // The link cannot change while the instance records.
    run_on_gui_thread(__PRETTY_FUNCTION__, "signal_playback_started", {},
                      [](FlipsumAudioProcessorEditor& e) { e.ui_linkLR.setEnabled(false); });
}

void FlipsumAudioProcessorEditor::signal_playback_ended()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    if (!is_stereo)
        return;
    run_on_gui_thread(__PRETTY_FUNCTION__, "signal_playback_ended", {},
                      [](FlipsumAudioProcessorEditor& e)
                      {
                          e.ui_linkLR.setEnabled(true);
                          e.timerCallback();
                      });
}

void FlipsumAudioProcessorEditor::deliver_playback_events()
{
    const std::uint32_t event = processor_.playback_event();
    if (event == playback_seen)
        return;
    playback_seen = event;
    // Only the newest event counts: a start and a stop between two ticks leave the link enabled.
    if ((event & 1u) != 0)
        signal_playback_started(true);
    else
        signal_playback_ended();
}

// ---------------------------------------------------------------------------------------------
// The level meter

void FlipsumAudioProcessorEditor::timerCallback()
{
    FSUM_ASSERT_MESSAGE_THREAD();
    deliver_playback_events();
    show_meter();
}

void FlipsumAudioProcessorEditor::show_meter()
{
    // LED thresholds in dB, from the 0 dB LED to the -60 dB LED.
    static const float SIGLIM[8] = {0.0f, -3.0f, -6.0f, -10.0f, -16.0f, -22.0f, -32.0f, -60.0f};
    const float peak = processor_.get_and_clear_peak();
    if (peak == last_peak || std::isnan(peak))
        return;
    last_peak = peak;
    if (current_view.load() == MODE_MASTER)
        return;
    const float db = peak > 0.0f ? 10.0f * std::log10(peak * peak) : -1.0e38f;
    for (int i = 0; i < 8; ++i)
        show_led(ui_signal[i], db >= SIGLIM[i]);
}
