// An instance's roles and settings (message thread; polarity also the processing thread), each
// bringing the open editor up to date and noting a change for the host, and the handle on the open
// editor.

#include "engine/FlipsumAudioProcessor.h"

#include "editor/FlipsumAudioProcessorEditor.h"
#include "engine/Logger.h"

#include <cmath>

namespace
{
// The signature that set_polarity's lines log under, also where store_polarity makes them.
constexpr char SET_POLARITY_SIGNATURE[] = "void FlipsumAudioProcessor::set_polarity(const size_t, const int)";
} // namespace

// ---------------------------------------------------------------------------------------------
// Roles and settings

void FlipsumAudioProcessor::set_as_master()
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this);
    if (mode.load() == ROLE_MASTER)
        return;
    FlipsumManager& manager = *hnd->mgr;
    manager.claim_master_internal(hnd);
    mode.store(ROLE_MASTER);
    note_state_changed();
    manager.update_slave_cnt_internal();
    call_editor([](FlipsumAudioProcessorEditor& e) { e.set_mode(FlipsumAudioProcessorEditor::MODE_MASTER); });
}

void FlipsumAudioProcessor::set_not_master(bool isSlave)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", isSlave=" << isSlave;
    const std::uint32_t wanted = isSlave ? ROLE_SEND : ROLE_OFF;
    if (mode.load() == wanted)
        return;
    FlipsumManager& manager = *hnd->mgr;
    if (mode.load() == ROLE_MASTER)
        manager.release_master_internal(hnd);
    mode.store(wanted);
    note_state_changed();
    manager.update_slave_cnt_internal();
    call_editor(
        [isSlave](FlipsumAudioProcessorEditor& e) {
            e.set_mode(isSlave ? FlipsumAudioProcessorEditor::MODE_SEND
                               : FlipsumAudioProcessorEditor::MODE_OFF);
        });
}

void FlipsumAudioProcessor::set_force_record_mono(const bool yes)
{
    FSUM_SIGNATURE("void FlipsumAudioProcessor::set_force_record_mono(const bool)");
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes;
    if (force_record_mono.load() == yes)
        return;
    force_record_mono.store(yes);
    note_state_changed();
    call_editor([yes](FlipsumAudioProcessorEditor& e) { e.set_ui_linkLR(yes); });
}

bool FlipsumAudioProcessor::get_force_record_mono() const
{
    return force_record_mono.load();
}

void FlipsumAudioProcessor::set_gain(float g)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", g=" << g;
    if (std::isnan(g))
        return;
    if (g >= 20.0f)
        g = 20.0f;
    if (g <= -20.0f)
        g = -20.0f;
    if (gain.load() == g)
        return;
    gain.store(g);
    note_state_changed();
    call_editor([g](FlipsumAudioProcessorEditor& e) { e.set_ui_gain(g); });
}

float FlipsumAudioProcessor::get_gain() const
{
    return gain.load();
}

void FlipsumAudioProcessor::set_polarity(const std::size_t channel, const int pol)
{
    FSUM_SIGNATURE(SET_POLARITY_SIGNATURE);
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", channel=" << channel << ", pol=" << pol;
    if (!assign_polarity(channel, pol))
        return;
    call_editor([channel, pol](FlipsumAudioProcessorEditor& e) { e.set_ui_polarity(channel, pol == -1); });
}

bool FlipsumAudioProcessor::store_polarity(const std::size_t channel, const int pol)
{
    // In the log a polarity set by the search reads like one set by set_polarity.
    FSUM_SIGNATURE(SET_POLARITY_SIGNATURE);
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", channel=" << channel << ", pol=" << pol;
    return assign_polarity(channel, pol);
}

bool FlipsumAudioProcessor::assign_polarity(const std::size_t channel, const int pol) noexcept
{
    if (channel >= polarity.size() || (pol != 1 && pol != -1))
        return false;
    const float value = static_cast<float>(pol);
    if (polarity[channel].exchange(value) == value)
        return false;
    note_state_changed();
    return true;
}

int FlipsumAudioProcessor::get_polarity(const std::size_t channel) const
{
    FSUM_SIGNATURE("int FlipsumAudioProcessor::get_polarity(const size_t) const");
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this) << ", channel=" << channel;
    if (channel >= polarity.size())
        return 0;
    return static_cast<int>(polarity[channel].load());
}

float FlipsumAudioProcessor::get_and_clear_peak()
{
    FSUM_LOG_GUARD(7);
    FSUM_LOG(8) << "Args: this=0x" << logger::hex(this);
    return peak.exchange(0.0f);
}

void FlipsumAudioProcessor::note_state_changed() noexcept
{
    // hnd->mgr is written only at unregistration, under the first mutex: a thread that holds it
    // (the processing thread applying a result) or this instance's message thread reads it safely.
    if (!restoring_state.load())
        hnd->mgr->count_state_change();
}

// ---------------------------------------------------------------------------------------------
// The open editor

void FlipsumAudioProcessor::set_open_editor(editor_handle_t handle)
{
    const std::lock_guard<std::mutex> lock(editor_mutex);
    editor = std::move(handle);
    editor_open.store(editor.valid(), std::memory_order_relaxed);
}

void FlipsumAudioProcessor::forget_open_editor(const editor_handle_t& handle)
{
    const std::lock_guard<std::mutex> lock(editor_mutex);
    if (!editor.same_object(handle))
        return;
    editor = {};
    editor_open.store(false, std::memory_order_relaxed);
}

FlipsumAudioProcessor::editor_handle_t FlipsumAudioProcessor::open_editor() const
{
    const std::lock_guard<std::mutex> lock(editor_mutex);
    return editor;
}

int FlipsumAudioProcessor::getNumParameters()
{
    FSUM_LOG_GUARD(7);
    return 0;
}

const juce::String FlipsumAudioProcessor::getParameterName(int index)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", index=" << index;
    return {};
}

float FlipsumAudioProcessor::getParameter(int index)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", index=" << index;
    FSUM_LOG(4) << "Return value=" << 0;
    return 0.0f;
}

const juce::String FlipsumAudioProcessor::getParameterText(int index)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", index=" << index;
    return {};
}

int FlipsumAudioProcessor::getParameterNumSteps(int)
{
    return 0;
}

float FlipsumAudioProcessor::getParameterDefaultValue(int index)
{
    JUCE_BEGIN_IGNORE_WARNINGS_GCC_LIKE("-Wdeprecated-declarations")
    return getParameter(index);
    JUCE_END_IGNORE_WARNINGS_GCC_LIKE
}

void FlipsumAudioProcessor::setParameter(int index, float newValue)
{
    FSUM_LOG_GUARD(3);
    FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", index=" << index << ", newValue=" << newValue;
}

int FlipsumAudioProcessor::getNumPrograms()
{
    return 0;
}

int FlipsumAudioProcessor::getCurrentProgram()
{
    return 0;
}

void FlipsumAudioProcessor::setCurrentProgram(int) {}

const juce::String FlipsumAudioProcessor::getProgramName(int)
{
    return {};
}

void FlipsumAudioProcessor::changeProgramName(int, const juce::String&) {}
