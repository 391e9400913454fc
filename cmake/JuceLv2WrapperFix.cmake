# JUCE 7.0.5's LV2 wrapper (compiled into the plug-in) reads the host's maximum block length, which
# it needs to instantiate, with a parser that takes an atom:Int only when it is exactly 4 bytes
# wide. Some hosts give their integer options 8 bytes whatever the type says (Audacity 3.2 passes
# its atom:Int block lengths so): the wrapper then finds no block length and refuses to
# instantiate, and the host reports the plug-in as incompatible. The plug-in is built from a copy of
# the wrapper in which an Int or a Long option is read at 4 bytes as a 32-bit value and at 8 bytes
# as a 64-bit one, any other size refused; other types as the framework reads them. A block length
# that does not fit the int the instance is prepared with (or is not positive) refuses, as does a
# missing or unreadable one. Everything else comes from Debian's JUCE as it is.

include(${CMAKE_CURRENT_LIST_DIR}/JucePatch.cmake)

signflux_plugin_client_dir(LV2 signflux_lv2_client_dir)

file(READ "${signflux_lv2_client_dir}/LV2/juce_LV2_Client.cpp" signflux_lv2_wrapper)
signflux_replace_exactly(signflux_lv2_wrapper
    "LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor (uint32_t index)"
    "// The maximum block length, if the option holds one that fits the instance's int block size.
static Optional<int64_t> parseMaxBlockLength (const lv2_shared::NumericAtomParser& parser,
                                              const LV2_Options_Option* option)
{
    Optional<int64_t> length;

    if (option != nullptr && (option->type == parser.mLV2_ATOM__Int || option->type == parser.mLV2_ATOM__Long))
    {
        if (option->size == sizeof (int32_t))
            length = (int64_t) readUnaligned<int32_t> (option->value);
        else if (option->size == sizeof (int64_t))
            length = readUnaligned<int64_t> (option->value);
    }
    else
    {
        length = parser.parseNumericOption<int64_t> (option);
    }

    if (length.hasValue() && (*length <= 0 || *length > std::numeric_limits<int>::max()))
        return {};

    return length;
}

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor (uint32_t index)"
    "LV2 wrapper")
signflux_replace_exactly(signflux_lv2_wrapper
    "const auto blockSize = parser.parseNumericOption<int64_t> (findMatchingOption (options, blockLengthUrid));"
    "const auto blockSize = parseMaxBlockLength (parser, findMatchingOption (options, blockLengthUrid));"
    "LV2 wrapper")

# The framework's file has CRLF line ends; the inserted lines end in LF alone, which compiles the same.
# The copy's includes are all through the include path, so it may live anywhere.
set(signflux_patched_lv2_client "${CMAKE_BINARY_DIR}/juce_patched/juce_audio_plugin_client")
file(WRITE "${signflux_patched_lv2_client}/LV2/juce_LV2_Client.cpp" "${signflux_lv2_wrapper}")
file(WRITE "${signflux_patched_lv2_client}/juce_audio_plugin_client_LV2.cpp"
     "#include \"LV2/juce_LV2_Client.cpp\"\n")

signflux_use_patched_client(LV2 "${signflux_patched_lv2_client}/juce_audio_plugin_client_LV2.cpp")
