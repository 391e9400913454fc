// The signatures that statements log under are the functions' declarations as written, with the
// const qualifiers of their parameters that the compiler's own text drops, and helpers log under
// the operation they serve (the pool's steps under the gather pass).

#include "EngineTestSupport.h"
#include "HandoverTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>

namespace
{
using logtest::LevelScope;

bool logged(const std::string& function, const std::string& text_prefix)
{
    const auto texts = logtest::texts_of(function);
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& t) { return t.rfind(text_prefix, 0) == 0; });
}

TEST(LogSignature, DeclarationsKeepTheirConstParameters)
{
    const LevelScope level(8);
    auto proc = std::make_unique<FlipsumAudioProcessor>();
    const auto mgr = proc->handle()->mgr;
    mgr->set_recording_armed_internal(true);
    mgr->set_alg_mode_internal(FlipsumManager::ALG_FAST);
    mgr->set_norm_mode_internal(FlipsumManager::NORM_PEAK);
    mgr->set_filter_mode_internal(FlipsumManager::FILT_LOWBOOST);
    mgr->set_bypass_all_internal(true);
    mgr->set_bypass_all_internal(false);
    proc->set_polarity(1, -1);
    EXPECT_EQ(proc->get_polarity(1), -1);
    proc->set_force_record_mono(true);
    juce::MemoryBlock state;
    proc->getStateInformation(state);
    proc->setStateInformation(state.getData(), int(state.getSize()));
    FlipsumManager::slave_start_rec(proc->handle(), 0);
    FlipsumManager::slave_end_rec(proc->handle());
    mgr->set_recording_armed_internal(false);

    const struct
    {
        const char* function;
        const char* text;
    } expected[] = {
        {"void FlipsumManager::set_recording_armed_internal(const bool)", "Args: this=0x"},
        {"void FlipsumManager::set_bypass_all_internal(const bool)", "Enter"},
        {"void FlipsumManager::set_alg_mode_internal(const algMode_t)", "Args: this=0x"},
        {"void FlipsumManager::set_norm_mode_internal(const normMode_t)", "Enter"},
        {"void FlipsumManager::set_filter_mode_internal(const filterMode_t)", "Enter"},
        {"void FlipsumAudioProcessor::set_polarity(const size_t, const int)", "Args: this=0x"},
        {"int FlipsumAudioProcessor::get_polarity(const size_t) const", "Enter"},
        {"void FlipsumAudioProcessor::set_force_record_mono(const bool)", "Enter"},
        {"static bool FlipsumManager::slave_start_rec(slave_hnd_t, const slave_channel_mode_t)",
         "Args: ap=0x"},
        {"static bool FlipsumManager::slave_submit(slave_hnd_t, const size_t, float*, const size_t)",
         "Enter"},
        // The pool's steps are lines of the gather pass (its buffers were made for the armed instance).
        {"void FlipsumManager::gather_thread_func()", "Buffer 0x"},
    };
    for (const auto& e : expected)
        EXPECT_TRUE(logged(e.function, e.text)) << e.function << " / " << e.text;

    // The argument line as worded (the compiler's text of this signature differs in its spacing).
    const auto records = logtest::read_records();
    EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                            [](const logtest::record_t& r)
                            {
                                return r.function.find("::setStateInformation(") != std::string::npos &&
                                       r.text.find(", data=..., sizeInBytes=11") != std::string::npos;
                            }));
}

// The search's apply step logs set_polarity's lines for every channel it sets, also of an instance
// without an editor (whose echo would log them too).
TEST(LogSignature, SearchResultLogsSetPolarityForEachChannel)
{
    const LevelScope level(4);
    const auto proc = std::make_unique<FlipsumAudioProcessor>();
    const LogReader log;
    FlipsumManagerProbe::apply_polarities(*proc->handle()->mgr, {{proc.get(), 0}, {proc.get(), 1}}, {-1, 1});
    const std::string function = "\"void FlipsumAudioProcessor::set_polarity(const size_t, const int)\",";
    std::ostringstream args;
    args << ",4," << function << "Args: this=0x" << logger::hex(proc.get()) << ", channel=";
    EXPECT_EQ(log.count(",3," + function + "Enter"), 2u);
    EXPECT_EQ(log.count(",3," + function + "Exit ("), 2u);
    EXPECT_EQ(log.count(args.str() + "0, pol=-1"), 1u);
    EXPECT_EQ(log.count(args.str() + "1, pol=1"), 1u);
}
} // namespace
