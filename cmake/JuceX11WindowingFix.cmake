# JUCE 7.0.5's X11 windowing (juce_gui_basics), as the plug-in's editors meet it in a host, where
# each editor is a window embedded in a window of the host's:
#
# - It keeps one screen position of "the parent window" for every embedded window of the process,
#   set by whichever window's bounds were read last. With several editors open, a window's screen
#   position was computed from another window's parent: two editors at different places looked as if
#   they lay on top of each other, and the mouse wheel (which only follows the pointer, unlike a
#   click, which first brings its window to the front) turned the knob of the editor clicked last
#   instead of the one under the pointer. Here each window keeps its own parent's position, read
#   where the framework reads it (when the window is configured, entered by the pointer, or a
#   button is released in it) and whenever a window that holds it moves (the framework hears of
#   every top-level window's changes and checks whether it holds each of its windows): a host window
#   moved away, which moves its editor on the screen but not in its parent, left the editor's stored
#   position stale, so that the editor still seemed to cover the window it had covered, and the
#   wheel over that window did nothing.
# - A point of a window counted as covered when any of the framework's windows that it had last seen
#   in front of it lay there. It hears of a change of that order only when one of its windows is
#   clicked or brought to the front itself, while a window manager raises the host's window (its
#   frame), which holds the embedded window but is no window of the framework's: after a click in
#   one editor, the wheel over another editor that the window manager had raised over it did nothing
#   where the two overlapped, until a click in the raised editor. Which of two embedded windows is on
#   top follows the stacking of their hosts' windows, which the X server knows and applies when it
#   delivers a pointer event to the window on top at the pointer; here an embedded window is never
#   taken as covered by another embedded window, only, as before, by a top-level window of the
#   framework's (a menu, a dialog). A top-level window's points are covered as they were.
# - Bringing an embedded window to the front, which the framework does on every button press (the
#   X11 event handler, and the plug-in wrappers' components, which come to the front on a click),
#   gave it the keyboard focus, whatever was clicked: after a click in an editor, the host's
#   shortcuts went to the plug-in's window, which wants no keys. Here an embedded window comes to
#   the front without taking the focus; a component that wants the keyboard still takes it when
#   clicked (the framework then asks for the window's focus itself).
# - Inside a plug-in the framework installs no X error handler, and Xlib's handler is
#   process-wide: an error on the framework's own connection reached the host's handler, and GTK's
#   ends the host. Ardour tells an embedded VST3 editor of focus changes with XEmbed messages, which
#   the framework answered by asking for the focused window and walking up the tree from it; when
#   the window manager's close button was clicked, that window was the frame being destroyed, and
#   the walk failed (BadWindow): Ardour ended, losing unsaved work. Here the editor takes the
#   XEmbed message's word for the focus, and the framework's requests that may meet a window just
#   destroyed (walking up the tree from a window; reading an embedded window's bounds and whether
#   it is minimised, and destroying it: an embedded window goes with its host's window, which a
#   host may destroy before it closes the editor) run under an error trap that absorbs the errors of
#   the framework's connection and passes those of any other connection on to the handler it
#   replaced, which it puts back afterwards.
#
# The plug-in's shared code target compiles a copy of juce_gui_basics.cpp next to patched copies of
# the files that hold these (native/juce_linux_Windowing.cpp and
# native/x11/juce_linux_XWindowSystem.cpp); every other file of the module is included from the
# framework as it is.

include(${CMAKE_CURRENT_LIST_DIR}/JucePatch.cmake)

signflux_module_dir(juce_gui_basics signflux_gui_basics)
set(signflux_patched_gui_basics "${CMAKE_BINARY_DIR}/juce_patched/juce_gui_basics")

# The window's own parent position.
file(READ "${signflux_gui_basics}/native/juce_linux_Windowing.cpp" signflux_windowing)
signflux_replace_exactly(signflux_windowing
    "auto physicalParentPosition = XWindowSystem::getInstance()->getPhysicalParentScreenPosition();"
    "auto physicalParentPosition = parentScreenPosition;"
    "juce_linux_Windowing.cpp")
signflux_replace_exactly(signflux_windowing
    "        auto physicalBounds = XWindowSystem::getInstance()->getWindowBounds (windowH, parentWindow);\n\n        updateScaleFactorFromNewBounds (physicalBounds, true);"
    "        auto physicalBounds = XWindowSystem::getInstance()->getWindowBounds (windowH, parentWindow);\n\n        if (parentWindow != 0)\n            parentScreenPosition = XWindowSystem::getInstance()->getPhysicalParentScreenPosition();\n\n        updateScaleFactorFromNewBounds (physicalBounds, true);"
    "juce_linux_Windowing.cpp")
signflux_replace_exactly(signflux_windowing
    "    ::Window windowH = {}, parentWindow = {};\n"
    "    ::Window windowH = {}, parentWindow = {};\n    Point<int> parentScreenPosition; // physical; of the parent of an embedded window\n"
    "juce_linux_Windowing.cpp")
# An embedded window's point covered only by a top-level window of the framework's.
signflux_replace_exactly(signflux_windowing
    [=[            if (auto* peer = static_cast<LinuxComponentPeer*> (otherPeer))
                if (peer->contains (globalToLocal (*peer, localToGlobal (*this, localPos.toFloat())).roundToInt(), true))
                    return false;]=]
    [=[            // Embedded windows are stacked as their hosts' windows are, which a window manager
            // restacks without a word to this order: which of two of them is on top at a point is
            // for the X server to know, which delivers the pointer's events there.
            if (auto* peer = static_cast<LinuxComponentPeer*> (otherPeer))
                if (parentWindow == 0 || peer->parentWindow == 0)
                    if (peer->contains (globalToLocal (*peer, localToGlobal (*this, localPos.toFloat())).roundToInt(), true))
                        return false;]=]
    "juce_linux_Windowing.cpp")
# No keyboard focus taken by bringing an embedded window to the front.
signflux_replace_exactly(signflux_windowing
    "        if (makeActive)\n        {\n            setVisible (true);\n            grabFocus();\n        }"
    "        if (makeActive)\n        {\n            setVisible (true);\n\n            if (parentWindow == 0)\n                grabFocus();\n        }"
    "juce_linux_Windowing.cpp")
file(WRITE "${signflux_patched_gui_basics}/native/juce_linux_Windowing.cpp" "${signflux_windowing}")

file(READ "${signflux_gui_basics}/native/x11/juce_linux_XWindowSystem.cpp" signflux_xwindows)
# An embedded window's parent position, refreshed when a window that holds it moves.
signflux_replace_exactly(signflux_xwindows
    [=[    if (configure.window != peerHandle && isParentWindowOf (configure.window, peerHandle))
        dismissBlockingModals (peer);]=]
    [=[    if (configure.window != peerHandle && isParentWindowOf (configure.window, peerHandle))
    {
        // A window that holds this one has moved or changed. An embedded window keeps its place in
        // its parent and hears nothing of it, but its parent may have moved on the screen.
        if (peer->getParentWindow() != 0)
            peer->updateWindowBounds();

        dismissBlockingModals (peer);
    }]=]
    "juce_linux_XWindowSystem.cpp")
# The error trap, around the requests that may meet a window just destroyed.
signflux_replace_exactly(signflux_xwindows
    "//=============================== X11 - Keys ==================================="
    [=[//=============================== X11 - Error trap =============================
// Asking the server about a window that another client owns (the host's windows, a window manager's
// frame, whichever window has the focus), or about an embedded window, which goes with its host's
// window, fails when that window has just been destroyed. Inside a plug-in no handler of the
// framework's is installed and Xlib's handler is process-wide: the error would reach the host's
// handler, which may end the process. While a trap exists, errors of the framework's display are
// absorbed (the request reports its failure) and errors of any other display go on to the handler
// that the trap replaced; the outermost trap puts that handler back when it ends, so that no
// handler of the plug-in's stays installed. Made under the display lock.
class ScopedXErrorTrap
{
public:
    explicit ScopedXErrorTrap (::Display* d)
    {
        if (depth++ == 0)
        {
            trappedDisplay = d;
            replacedHandler = X11Symbols::getInstance()->xSetErrorHandler (absorb);
        }
    }

    ~ScopedXErrorTrap()
    {
        if (--depth == 0)
            X11Symbols::getInstance()->xSetErrorHandler (replacedHandler.load());
    }

private:
    static int absorb (::Display* d, XErrorEvent* event)
    {
        if (d == trappedDisplay.load())
            return 0;

        const auto replaced = replacedHandler.load();
        return replaced != nullptr ? replaced (d, event) : 0;
    }

    static inline int depth = 0;
    static inline std::atomic<::Display*> trappedDisplay { nullptr };
    static inline std::atomic<XErrorHandler> replacedHandler { nullptr };

    JUCE_DECLARE_NON_COPYABLE (ScopedXErrorTrap)
};

//=============================== X11 - Keys ===================================]=]
    "juce_linux_XWindowSystem.cpp")
# The requests after the display lock taken in getWindowBounds, isMinimised and isParentWindowOf
# (which isFocused and the configure path of dismissBlockingModals walk up the tree with).
function(signflux_trap_after_lock text_var locked)
    string(REPLACE "xLock;\n" "xLock;\n    const ScopedXErrorTrap errorTrap (display);\n" trapped "${locked}")
    signflux_replace_exactly(${text_var} "${locked}" "${trapped}" "juce_linux_XWindowSystem.cpp")
    set(${text_var} "${${text_var}}" PARENT_SCOPE)
endfunction()
signflux_trap_after_lock(signflux_xwindows
    "    XWindowSystemUtilities::ScopedXLock xLock;\n\n    if (X11Symbols::getInstance()->xGetGeometry (display, (::Drawable) windowH,")
signflux_trap_after_lock(signflux_xwindows
    "    XWindowSystemUtilities::ScopedXLock xLock;\n    XWindowSystemUtilities::GetXProperty prop (display, windowH, atoms.state, 0, 64, false, atoms.state);")
signflux_trap_after_lock(signflux_xwindows
    "    XWindowSystemUtilities::ScopedXLock xLock;\n    const auto result = X11Symbols::getInstance()->xQueryTree (display, possibleChild,")
# Destroying an embedded window, which its host may have destroyed already with its own window.
signflux_replace_exactly(signflux_xwindows
    "    deleteIconPixmaps (windowH);\n    dragAndDropStateMap.erase (peer);\n\n    XWindowSystemUtilities::ScopedXLock xLock;\n"
    "    XWindowSystemUtilities::ScopedXLock xLock;\n    const ScopedXErrorTrap errorTrap (display);\n\n    deleteIconPixmaps (windowH);\n    dragAndDropStateMap.erase (peer);\n"
    "juce_linux_XWindowSystem.cpp")

# The embedder's focus messages say whether the focus came or went.
signflux_replace_exactly(signflux_xwindows
    [=[        case 4:   // XEMBED_FOCUS_IN
            handleFocusInEvent (peer);
            break;
        case 5:   // XEMBED_FOCUS_OUT
            handleFocusOutEvent (peer);
            break;]=]
    [=[        // The embedder says whether the focus came or went. (Asking the server would walk up the
        // tree from the focused window, which may be the window manager's frame of a window being
        // closed.)
        case 4:   // XEMBED_FOCUS_IN
            peer->isActiveApplication = true;

            if (! peer->focused)
            {
                peer->focused = true;
                peer->handleFocusGain();
            }
            break;
        case 5:   // XEMBED_FOCUS_OUT
            if (peer->focused)
            {
                peer->focused = false;
                peer->isActiveApplication = false;
                peer->handleFocusLoss();
            }
            break;]=]
    "juce_linux_XWindowSystem.cpp")
file(WRITE "${signflux_patched_gui_basics}/native/x11/juce_linux_XWindowSystem.cpp" "${signflux_xwindows}")

signflux_write_module_unit(juce_gui_basics "${signflux_patched_gui_basics}"
    "// Built with the patched native/juce_linux_Windowing.cpp and native/x11/juce_linux_XWindowSystem.cpp\n// beside this file (cmake/JuceX11WindowingFix.cmake).\n")
