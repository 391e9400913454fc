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
