#pragma once

// Decodes the embedded PNG images (see BinaryDataIndex) into JUCE images. Keeps no state and
// caches nothing: every call decodes afresh. The one instance is the global fsumimg, constructed
// by the editor's source unit when the plug-in loads. Called on the message thread.

#include <juce_graphics/juce_graphics.h>

#include <string>

class Fsum_Images
{
public:
    Fsum_Images();
    ~Fsum_Images();

    Fsum_Images(const Fsum_Images&) = delete;
    Fsum_Images& operator=(const Fsum_Images&) = delete;

    // The named embedded image, or an invalid image: silently when no resource has that name,
    // with "Failed to load image <name> from internal resources" on standard error when the
    // resource does not decode.
    juce::Image load_image(std::string name) const;
};

// Defined in the editor's source unit.
extern Fsum_Images fsumimg;
