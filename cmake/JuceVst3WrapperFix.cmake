# JUCE 7.0.5's VST3 wrapper (compiled into the plug-in) counts the host's run loop once per open
# editor view on Linux, but forgets a closing view's run loop with std::multiset::erase(value),
# which drops the entries of every view when the host hands all its views the same run loop: the
# other open editors then get no more events (no clicks, no repaints, no updates from the engine)
# until another editor is opened. The plug-in is built from a copy of the wrapper in which the
# closing view's entry alone is erased. Everything else comes from Debian's JUCE as it is.

include(${CMAKE_CURRENT_LIST_DIR}/JucePatch.cmake)

signflux_plugin_client_dir(VST3 signflux_client_dir)

file(READ "${signflux_client_dir}/VST3/juce_VST3_Wrapper.cpp" signflux_wrapper)
signflux_replace_exactly(signflux_wrapper
    "refreshAttachedEventLoop ([this, runLoop] { hostRunLoops.erase (runLoop); });"
    "refreshAttachedEventLoop ([this, runLoop] { const auto it = hostRunLoops.find (runLoop); if (it != hostRunLoops.end()) hostRunLoops.erase (it); });"
    "VST3 wrapper")

set(signflux_patched_client "${CMAKE_BINARY_DIR}/juce_patched/juce_audio_plugin_client")
file(WRITE "${signflux_patched_client}/VST3/juce_VST3_Wrapper.cpp" "${signflux_wrapper}")
# The wrapper's own relative includes ("../utility/...") reach the module's files.
file(CREATE_LINK "${signflux_client_dir}/utility" "${signflux_patched_client}/utility" SYMBOLIC)
file(WRITE "${signflux_patched_client}/juce_audio_plugin_client_VST3.cpp"
     "#include \"VST3/juce_VST3_Wrapper.cpp\"\n")

signflux_use_patched_client(VST3 "${signflux_patched_client}/juce_audio_plugin_client_VST3.cpp")
