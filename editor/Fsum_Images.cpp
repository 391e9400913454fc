#include "editor/Fsum_Images.h"

#include "editor/BinaryDataIndex.h"
#include "engine/Logger.h"

#include <iostream>

Fsum_Images::Fsum_Images()
{
    FSUM_LOG_GUARD(3);
}

Fsum_Images::~Fsum_Images()
{
    FSUM_LOG_GUARD(3);
}

juce::Image Fsum_Images::load_image(std::string name) const
{
    juce::Image image;
    size_t size = 0;
    const unsigned char* const data = details_::retrieve_binary_data(name, size);
    if (data == nullptr)
        return image;

    image = juce::ImageFileFormat::loadFrom(data, size);
    if (!image.isValid())
        std::cerr << "Failed to load image " << name << " from internal resources" << std::endl;
    return image;
}
