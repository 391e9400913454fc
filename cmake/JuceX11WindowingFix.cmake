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
# - Bringing an embedded window to the front, which the framework does on every button press (the
#   X11 event handler, and the plug-in wrappers' components, which come to the front on a click),
#   gave it the keyboard focus, whatever was clicked: after a click in an editor, the host's
#   shortcuts went to the plug-in's window, which wants no keys. Here an embedded window comes to
#   the front without taking the focus; a component that wants the keyboard still takes it when
#   clicked (the framework then asks for the window's focus itself).
#
# The plug-in's shared code target compiles a copy of juce_gui_basics.cpp next to patched copies of
# the files that hold these (native/juce_linux_Windowing.cpp and
# native/x11/juce_linux_XWindowSystem.cpp); every other file of the module is included from the
# framework as it is.

include(${CMAKE_CURRENT_LIST_DIR}/JucePatch.cmake)

set(signflux_gui_basics "${JUCE_MODULES_DIR}/juce_gui_basics")
if(NOT EXISTS "${signflux_gui_basics}/juce_gui_basics.cpp")
    message(FATAL_ERROR "JUCE's juce_gui_basics module not found in ${JUCE_MODULES_DIR}")
endif()
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
file(WRITE "${signflux_patched_gui_basics}/native/x11/juce_linux_XWindowSystem.cpp" "${signflux_xwindows}")

# The module's translation unit as it is, under a note that names the patched files; its quoted
# includes find those beside it first and everything else in the framework's module folder. (The
# note also keeps a compiler cache from taking the copy for one built before a patched file was
# added, which its include list would not show.)
file(READ "${signflux_gui_basics}/juce_gui_basics.cpp" signflux_gui_basics_cpp)
file(WRITE "${signflux_patched_gui_basics}/juce_gui_basics.cpp"
    "// Built with the patched native/juce_linux_Windowing.cpp and native/x11/juce_linux_XWindowSystem.cpp\n"
    "// beside this file (cmake/JuceX11WindowingFix.cmake).\n"
    "${signflux_gui_basics_cpp}")
set_source_files_properties("${signflux_patched_gui_basics}/juce_gui_basics.cpp"
    PROPERTIES COMPILE_OPTIONS "-iquote;${signflux_gui_basics}")
