# Helpers for building a piece of the framework from a patched copy: each fix replaces one exact
# text of the framework's source, and configuring stops when that text is not there exactly once
# (the framework has changed, and the fix must be looked at again).

# Replaces the one occurrence of `fault` in the variable named by text_var with `fixed`; `what`
# names the file in the error message.
function(signflux_replace_exactly text_var fault fixed what)
    string(FIND "${${text_var}}" "${fault}" first)
    string(FIND "${${text_var}}" "${fault}" last REVERSE)
    if(first EQUAL -1 OR NOT first EQUAL last)
        message(FATAL_ERROR "JUCE's ${what} has changed: review ${CMAKE_CURRENT_LIST_FILE}")
    endif()
    string(REPLACE "${fault}" "${fixed}" patched "${${text_var}}")
    set(${text_var} "${patched}" PARENT_SCOPE)
endfunction()

# The folder of the framework's juce_audio_plugin_client module, found in the sources of the client
# target of `format` (VST3, LV2), in the variable named by out_var.
function(signflux_plugin_client_dir format out_var)
    get_target_property(sources juce::juce_audio_plugin_client_${format} INTERFACE_SOURCES)
    set(client "")
    foreach(source IN LISTS sources)
        if(source MATCHES "/juce_audio_plugin_client_${format}\\.cpp$")
            set(client "${source}")
        endif()
    endforeach()
    if(client STREQUAL "")
        message(FATAL_ERROR "JUCE's ${format} client source not found among ${sources}")
    endif()
    get_filename_component(dir "${client}" DIRECTORY)
    set(${out_var} "${dir}" PARENT_SCOPE)
endfunction()

# Makes the client target of `format` compile `unit` in place of the framework's client source.
function(signflux_use_patched_client format unit)
    get_target_property(sources juce::juce_audio_plugin_client_${format} INTERFACE_SOURCES)
    list(TRANSFORM sources REPLACE ".*/juce_audio_plugin_client_${format}\\.cpp$" "${unit}")
    set_target_properties(juce_audio_plugin_client_${format} PROPERTIES INTERFACE_SOURCES "${sources}")
endfunction()

# The folder of the framework's module `module` (such as juce_gui_basics), in the variable named by
# out_var.
function(signflux_module_dir module out_var)
    set(dir "${JUCE_MODULES_DIR}/${module}")
    if(NOT EXISTS "${dir}/${module}.cpp")
        message(FATAL_ERROR "JUCE's ${module} module not found in ${JUCE_MODULES_DIR}")
    endif()
    set(${out_var} "${dir}" PARENT_SCOPE)
endfunction()

# Writes the module's translation unit into patched_dir as it is, under `note` (comment lines that
# name the patched files beside it); its quoted includes find those beside it first and everything
# else in the framework's module folder. (The note also keeps a compiler cache from taking the copy
# for one built before a patched file was added, which its include list would not show.) The
# compile options hold in the directory that calls this.
function(signflux_write_module_unit module patched_dir note)
    signflux_module_dir(${module} dir)
    file(READ "${dir}/${module}.cpp" unit)
    file(WRITE "${patched_dir}/${module}.cpp" "${note}${unit}")
    set_source_files_properties("${patched_dir}/${module}.cpp" PROPERTIES COMPILE_OPTIONS "-iquote;${dir}")
endfunction()
