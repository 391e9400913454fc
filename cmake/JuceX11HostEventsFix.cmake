# JUCE 7.0.5's X11 event loop (juce_gui_basics), as the hosting tests' own build of the framework
# meets it: the message loop waits for the X connection's socket to become readable and then takes
# every event Xlib has. But a request that waits for a reply (the framework makes many: window
# attributes, the tree, a sync) reads the events that arrived before the reply into Xlib's queue,
# and the socket is then empty: those events waited until some other event arrived. The framework's
# LV2 host learns that the plug-in has made its editor's window, and sizes its own window after it,
# from such events: now and then none came after them, and the host's window stayed 1 x 1 pixels,
# so the editor was never seen (and so again for the editors opened after it). Here the end of
# every hold of the display lock finds events left in Xlib's queue and has the message loop dispatch
# them as it dispatches those of a readable socket (one dispatch waits at a time).
#
# This is the hosting tests' own build of the framework (tests/hosting). The plug-in's copy of the
# framework waits for its connection in the same way; no fault of that kind was seen in the
# plug-in's windows, in a host or in these tests, and it keeps the packaged event loop.
#
# tests/hosting compiles a copy of juce_gui_basics.cpp next to the patched
# native/x11/juce_linux_XWindowSystem.cpp; every other file comes from the framework as it is.

include(${CMAKE_CURRENT_LIST_DIR}/JucePatch.cmake)

signflux_module_dir(juce_gui_basics signflux_host_gui_basics)
set(signflux_host_patched_gui_basics "${CMAKE_BINARY_DIR}/juce_patched_host/juce_gui_basics")

file(READ "${signflux_host_gui_basics}/native/x11/juce_linux_XWindowSystem.cpp" signflux_host_xwindows)
signflux_replace_exactly(signflux_host_xwindows
    [=[XWindowSystemUtilities::ScopedXLock::~ScopedXLock()
{
    if (auto* xWindow = XWindowSystem::getInstanceWithoutCreating())
        if (auto* d = xWindow->getDisplay())
            X11Symbols::getInstance()->xUnlockDisplay (d);
}]=]
    [=[// Has the message loop dispatch the events waiting in Xlib's queue, as it does when the
// connection's socket is readable; a dispatch already posted takes them all.
static void dispatchQueuedXEventsLater()
{
    static std::atomic<bool> posted { false };

    if (posted.exchange (true))
        return;

    const auto dispatch = []
    {
        posted = false;

        if (auto* xWindow = XWindowSystem::getInstanceWithoutCreating())
            if (auto* d = xWindow->getDisplay())
                LinuxEventLoopInternal::invokeEventLoopCallbackForFd (X11Symbols::getInstance()->xConnectionNumber (d));
    };

    if (! MessageManager::callAsync (dispatch))
        posted = false;
}

XWindowSystemUtilities::ScopedXLock::~ScopedXLock()
{
    if (auto* xWindow = XWindowSystem::getInstanceWithoutCreating())
        if (auto* d = xWindow->getDisplay())
        {
            // A request that waited for a reply may have read events into Xlib's queue, where the
            // wait for the socket does not see them.
            if (X11Symbols::getInstance()->xEventsQueued (d, QueuedAlready) > 0)
                dispatchQueuedXEventsLater();

            X11Symbols::getInstance()->xUnlockDisplay (d);
        }
}]=]
    "juce_linux_XWindowSystem.cpp")
file(WRITE "${signflux_host_patched_gui_basics}/native/x11/juce_linux_XWindowSystem.cpp"
    "#include <juce_events/native/juce_linux_EventLoopInternal.h>\n"
    "${signflux_host_xwindows}")

signflux_write_module_unit(juce_gui_basics "${signflux_host_patched_gui_basics}"
    "// Built with the patched native/x11/juce_linux_XWindowSystem.cpp beside this file\n// (cmake/JuceX11HostEventsFix.cmake).\n")
