#pragma once

// Instances with open editors for the editor suites: the editor is made and deleted as a host does,
// and the message loop is run by the tests themselves.

#include "EditorTestAccess.h"
#include "engine/GuiThreadExecutor.h"

#include <juce_events/juce_events.h>

#include <functional>
#include <memory>

namespace editor_test
{
using E = FlipsumAudioProcessorEditor;
using P = FlipsumAudioProcessor;
using A = FlipsumAudioProcessorEditorTestAccess;

// Runs the message loop for about ms milliseconds.
inline void pump(int ms = 30)
{
    juce::MessageManager::getInstance()->runDispatchLoopUntil(ms);
}

// Runs the message loop until done() holds, for at most timeout_ms.
inline bool pump_until(const std::function<bool()>& done, int timeout_ms = 3000)
{
    const auto end = juce::Time::getMillisecondCounter() + juce::uint32(timeout_ms);
    while (!done())
    {
        if (juce::Time::getMillisecondCounter() > end)
            return false;
        pump(10);
    }
    return true;
}

// Lets the executor learn that this (the message) thread is the GUI thread, so that updates made
// here run at once.
inline void learn_gui_thread()
{
    GuiThreadExecutor* const executor = GuiThreadExecutor::get_inst();
    pump_until([executor] { return executor->is_gui_thread(); });
}

// One plug-in instance and, while open, its editor.
struct Instance
{
    explicit Instance(int channels = 2) : proc(std::make_unique<P>())
    {
        proc->setPlayConfigDetails(channels, channels, 48000.0, 512);
    }
    ~Instance() { close(); }

    E& open()
    {
        close();
        editor.reset(dynamic_cast<E*>(proc->createEditorIfNeeded()));
        return *editor;
    }
    void close()
    {
        if (editor == nullptr)
            return;
        proc->editorBeingDeleted(editor.get());
        editor.reset();
    }

    std::unique_ptr<P> proc;
    std::unique_ptr<E> editor;
};
} // namespace editor_test
