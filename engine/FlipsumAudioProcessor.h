#pragma once

// The plug-in instance that hosts load through JUCE's format wrappers. It registers with the shared
// FlipsumManager, applies gain and per-channel polarity while the transport plays, records its
// track for the analysis in the send role, and saves its settings (and the manager's) in an 11-byte
// state blob.
//
// Threads: the message thread makes and destroys the instance and calls the setters, the role
// members, prepareToPlay, releaseResources and the state members; the audio thread calls
// processBlock and processBlockBypassed (lock-free, no allocation); the gather thread calls
// manager_watchdog_callback; the processing thread calls get_polarity and store_polarity. The record
// buffers and the transport state are taken by one side at a time through an atomic owner flag.
//
// The open editor: its constructor announces it (set_open_editor), its destructor withdraws it
// (forget_open_editor); the engine's threads reach it only through the guarded handle from
// open_editor(), never while holding the manager's first mutex. The audio thread never calls the
// editor: it leaves playback events (playback_event) that the editor's timer picks up on the
// message thread.
//
// The host: every change of a value that the state blob holds is counted at the manager
// (note_state_changed, lock-free, from any thread but the audio thread), and the timer of every
// instance that shares the manager tells its host on the message thread when the count has moved
// since its last tick (updateHostDisplay with nonParameterStateChanged: a VST3 setDirty, an LV2
// state:StateChanged sent with the next block the host runs), so that the host's project counts as
// modified. A change thus reaches the host through each instance, also one that the host does not
// run: Qtractor runs no track's plug-ins while stopped, only the buses'. Changes close together give
// one notice per instance and tick; a new instance tells nothing of changes made before it existed.
// Values set while the host restores an instance's state (setStateInformation) and sets that leave
// a value as it was are not counted, so no instance tells its host of them; a restore that changes
// another instance's saved state (demotes the master, or changes the manager's settings under a
// master) is counted like any other change.

#include "editor/SafePtr.h"
#include "engine/FlipsumManager.h"

#include <juce_audio_processors/juce_audio_processors.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

class FlipsumAudioProcessorEditor;

class FlipsumAudioProcessor : public juce::AudioProcessor, private juce::Timer
{
public:
    // Roles.
    enum : std::uint32_t
    {
        ROLE_OFF = 0,
        ROLE_SEND = 1,
        ROLE_MASTER = 2
    };

    // State of one channel's low-shelf filter (direct form I, double precision) and its
    // coefficients.
    struct lowshelf_state_t
    {
        std::uint64_t xi = 0;
        double x[3] = {0.0, 0.0, 0.0};
        double b0 = 0.0, b1 = 0.0, b2 = 0.0;
        std::uint64_t yi = 0;
        double y[2] = {0.0, 0.0};
        double a1 = 0.0, a2 = 0.0;

        // The low shelf at 100 Hz, +20 dB, Q 1 for the sample rate; the history is cleared.
        void set_lowboost(const int sample_rate);
        float process(const float sample);
    };

    // A record buffer held for one channel and the unit it belongs to.
    struct rec_buf_t
    {
        float* buf = nullptr;
        std::size_t bufnum = 0;
    };

    // Size of the saved state blob.
    static constexpr std::size_t state_blob_size = 11;
    static constexpr std::uint8_t state_blob_version = 3;

    FlipsumAudioProcessor();
    ~FlipsumAudioProcessor() override;

    // --- Host-facing properties -------------------------------------------------------------
    const juce::String getName() const override;
    void prepareToPlay(double sampleRate, int samplesPerBlock) override;
    void releaseResources() override;
    // Audio thread: gain and polarity while the transport plays, and the recording.
    void processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    // Audio thread: the audio is left alone and nothing is recorded; the transport is followed (a
    // stop ends the open play).
    void processBlockBypassed(juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi) override;
    using juce::AudioProcessor::processBlock;
    using juce::AudioProcessor::processBlockBypassed;

    const juce::String getInputChannelName(int index) const override;
    const juce::String getOutputChannelName(int index) const override;
    bool isInputChannelStereoPair(int index) const override;
    bool isOutputChannelStereoPair(int index) const override;
    bool silenceInProducesSilenceOut() const override;
    double getTailLengthSeconds() const override;
    bool acceptsMidi() const override;
    bool producesMidi() const override;
    juce::AudioProcessorEditor* createEditor() override;
    bool hasEditor() const override;

    int getNumParameters() override;
    using juce::AudioProcessor::getParameterName;
    using juce::AudioProcessor::getParameterText;
    const juce::String getParameterName(int index) override;
    float getParameter(int index) override;
    const juce::String getParameterText(int index) override;
    int getParameterNumSteps(int index) override;
    float getParameterDefaultValue(int index) override;
    void setParameter(int index, float newValue) override;

    int getNumPrograms() override;
    int getCurrentProgram() override;
    void setCurrentProgram(int index) override;
    const juce::String getProgramName(int index) override;
    void changeProgramName(int index, const juce::String& newName) override;

    void getStateInformation(juce::MemoryBlock& destData) override;
    void setStateInformation(const void* data, int sizeInBytes) override;

    // --- Roles (message thread) ---------------------------------------------------------------
    void set_as_master();
    // Becomes a send (isSlave) or an instance in role off; a master gives up its role first.
    void set_not_master(bool isSlave);
    std::uint32_t get_mode() const noexcept { return mode.load(); }

    // --- Settings (message thread; polarity also the processing thread) ------------------------
    void set_force_record_mono(const bool yes);
    bool get_force_record_mono() const;
    // Clamped to [-20, +20] dB; a value that is not a number is ignored.
    void set_gain(float g);
    float get_gain() const;
    // pol is +1 (keep) or -1 (invert) for channel 0 or 1; anything else is ignored.
    void set_polarity(const std::size_t channel, const int pol);
    // The same without telling the editor (it logs set_polarity's lines); true when the polarity
    // changed. The caller brings the editor up to date (set_ui_polarity) once it holds no lock. Any
    // thread but the audio thread, also with the manager's first mutex held.
    bool store_polarity(const std::size_t channel, const int pol);
    int get_polarity(const std::size_t channel) const;
    // The largest absolute output sample since the last call, measured while an editor is open.
    float get_and_clear_peak();

    // A value that the state blob holds has changed (this instance's, or the manager's settings on
    // the master): counted at the manager, whose count every instance's timer tells its host of.
    // Nothing while the host restores this instance's state. Any thread but the audio thread, also
    // with the manager's first mutex held: lock-free, calls nothing.
    void note_state_changed() noexcept;

    // The host has bypassed the instance since its last processBlock (any thread).
    bool is_host_bypassed() const noexcept { return host_bypassed.load(); }
    // This instance's record at the manager.
    FlipsumManager::slave_hnd_t handle() const noexcept { return hnd; }

    // Gather thread, with the manager's first mutex held: ends the stream of an instance whose host
    // stopped calling processBlock. Does nothing when the audio thread is inside processBlock or
    // has refreshed the deadline since.
    void manager_watchdog_callback();

    // --- The open editor ----------------------------------------------------------------------
    using editor_handle_t = util::safe_ptr<FlipsumAudioProcessorEditor>;

    // Message thread: the editor's constructor announces its handle; its destructor forgets it,
    // unless the handle is another editor's by then (a host may open a second editor for the
    // instance before it deletes the first).
    void set_open_editor(editor_handle_t handle);
    void forget_open_editor(const editor_handle_t& handle);
    // A handle on the open editor, empty when none is open; lock it (util::locked_safe_ptr) to call
    // the editor. Any thread but the audio thread (takes a mutex of its own for the copy).
    editor_handle_t open_editor() const;
    // Whether an editor is open; lock-free (the audio thread measures the meter's peak only then).
    bool has_open_editor() const noexcept { return editor_open.load(std::memory_order_relaxed); }

    // The transport's state in the last block (any thread). A playback event is published after
    // the state that it reports: reading the event (playback_event) first and this next gives that
    // state or a newer one.
    bool was_playing_last_block() const noexcept
    {
        return wasPlayingLastBlock.load(std::memory_order_relaxed);
    }
    // The last playback event for the editor: a count of events times 2, plus 1 when the last event
    // was a start of recording (0 when it was a stop). Any thread; lock-free.
    std::uint32_t playback_event() const noexcept { return playback_events.load(std::memory_order_acquire); }

private:
    // Who holds the record buffers and the transport state.
    enum : int
    {
        OWNER_NONE = 0,
        OWNER_AUDIO = 1,
        OWNER_WATCHDOG = 2,
        OWNER_MESSAGE = 3
    };

    // Message thread: brings the master's send count up to date after a host bypass change.
    void bypassStateChanged();
    // Message thread: delivers a host bypass change, and tells the host when the manager's count
    // of state changes has moved.
    void timerCallback() override;
    // Stores a polarity without logging or telling the editor; true when it changed.
    bool assign_polarity(const std::size_t channel, const int pol) noexcept;

    // The host's transport for one block.
    struct transport_t
    {
        bool playing;
        std::int64_t time; // timeline position of the block's first sample
    };
    // Audio thread, for every block, processed or bypassed: the transport from the play head
    // (without a position: not playing, or for LV2 the last block's transport rolling on); keeps
    // last_block_played and last_block_end.
    transport_t read_transport(const int num_samples);

    // Audio thread (playEnd also the watchdog and the message thread, holding the recording).
    void playStart();
    void playProcess(juce::AudioBuffer<float>& buffer, juce::MidiBuffer& midi);
    void playEnd();
    // Copies n samples of one recorded channel to the record buffers from timeline position p on.
    void record_samples(const std::size_t ch, const float* src, const int n, std::int64_t p);
    // Gain, recording and polarity of the playing block's first two channels.
    void apply_gain_record_polarity(juce::AudioBuffer<float>& buffer, const bool record);
    // A stereo recording's block, before gain and polarity: whether channel 1's samples are all
    // digital silence, and all equal to channel 0's (gain, filter and recording treat both
    // channels alike, so equal inputs are recorded equal). No allocation.
    void follow_second_channel(const float* first, const float* second, const int n) noexcept;
    void clear_extra_outputs(juce::AudioBuffer<float>& buffer) const;
    void merge_peak(const juce::AudioBuffer<float>& buffer);
    // During an offline render (the host set non-realtime) the audio thread waits for the gather
    // thread rather than losing a stretch of the recording; never the watchdog or the message thread.
    bool may_wait_for_gather() const noexcept
    {
        return rec_owner.load(std::memory_order_relaxed) == OWNER_AUDIO && isNonRealtime();
    }
    // Calls f with the open editor, holding it meanwhile; nothing when none is open. Never with a
    // manager mutex held.
    template <class F>
    void call_editor(F&& f) const
    {
        util::with_locked(open_editor(), std::forward<F>(f));
    }
    // A hold on the recording for one scope: taken by compare-and-swap of rec_owner (acquire: what
    // the previous holder wrote is seen), given back when the scope ends (release: what this holder
    // wrote is seen by the next). Whoever does not get it does not touch the recording.
    class recording_claim_t
    {
    public:
        // Takes the recording when nobody holds it; held() tells whether it did.
        recording_claim_t(std::atomic<int>& owner, int who) noexcept;
        // Message thread: waits (yielding) until nobody holds it, then takes it.
        struct wait_t
        {
        };
        recording_claim_t(std::atomic<int>& owner, int who, wait_t) noexcept;
        ~recording_claim_t();
        recording_claim_t(const recording_claim_t&) = delete;
        recording_claim_t& operator=(const recording_claim_t&) = delete;
        bool held() const noexcept { return held_; }

    private:
        std::atomic<int>& owner_;
        bool held_;
    };

    FlipsumManager::slave_hnd_t hnd = nullptr;
    std::atomic<std::uint32_t> mode{ROLE_SEND};
    int sample_rate = 44100;
    std::atomic<bool> force_record_mono{false};
    std::atomic<bool> host_bypassed{false};
    // Written by whoever holds the recording; read by the editor on the message thread.
    std::atomic<bool> wasPlayingLastBlock{false};
    // LV2 hosts send the transport's position when it changes, and JUCE's LV2 wrapper reports no
    // position at all in the blocks between: there a block without a position continues the last
    // block's transport instead of stopping it.
    const bool transport_rolls_without_position = wrapperType == wrapperType_LV2;
    // Audio thread only: whether the last block played, and the timeline position where it ended.
    bool last_block_played = false;
    std::int64_t last_block_end = 0;
    bool recording_active = false;
    std::int64_t position = 0;
    std::atomic<float> gain{0.0f};
    std::array<std::atomic<float>, 2> polarity;
    std::array<rec_buf_t, 2> rec_buf;
    bool filter_on = false;
    std::array<lowshelf_state_t, 2> lowshelf;
    std::vector<float> scratch;
    std::atomic<float> peak{0.0f};

    // Taken by compare-and-swap by the audio thread for each block, by the watchdog and by the
    // message thread; guards wasPlayingLastBlock, recording_active, position, rec_buf, filter_on,
    // lowshelf, rec_channel_mode and the hand-over calls of this instance.
    std::atomic<int> rec_owner{OWNER_NONE};
    // Set by the audio thread for the block it is processing while it holds the recording.
    bool block_owns_recording = false;
    // How the current recording was opened (fixed for the whole play).
    FlipsumManager::slave_channel_mode_t rec_channel_mode = 0;
    // Of a stereo recording (mode 1), from its start on: channel 1 was digital silence in every
    // recorded block, and a sample-for-sample copy of channel 0. Its end marker tells which.
    bool second_silent = false;
    bool second_copy = false;
    // A host bypass change waits for the message thread.
    std::atomic<bool> bypass_update_pending{false};
    // The manager's count of state changes that the host has been told of (or that were made before
    // the instance existed). Message thread only.
    std::uint64_t state_changes_told = 0;
    // Set while setStateInformation runs: what it sets is the host's own state.
    std::atomic<bool> restoring_state{false};
    // Playback events for the editor (see playback_event); written by whoever holds the recording.
    std::atomic<std::uint32_t> playback_events{0};
    void note_playback_event(bool started_recording) noexcept;
    // The open editor's handle, guarded by editor_mutex (never taken on the audio thread).
    mutable std::mutex editor_mutex;
    editor_handle_t editor;
    std::atomic<bool> editor_open{false};

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(FlipsumAudioProcessor)
};
