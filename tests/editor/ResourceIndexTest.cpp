// The resource index: names, shared arrays, lookup rules and the zero byte after each array;
// and the image loader on top of it.

#include "ResourceTable.h"
#include "editor/BinaryDataIndex.h"
#include "editor/Fsum_Images.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace
{
const unsigned char* lookup(const std::string& name, size_t& size)
{
    return details_::retrieve_binary_data(name, size);
}

std::uint32_t big_endian32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
} // namespace

TEST(ResourceIndex, HoldsNinetyFiveNamesOverThirtyArrays)
{
    const auto table = expected_resources();
    std::set<const unsigned char*> arrays;
    std::set<std::string> names;
    int unrequested = 0;
    for (const auto& res : table)
    {
        size_t first_size = 0;
        const unsigned char* const first = lookup(res.names.front(), first_size);
        ASSERT_NE(first, nullptr) << res.names.front();
        EXPECT_GT(first_size, 0u);
        for (const auto& name : res.names)
        {
            size_t size = 0;
            EXPECT_EQ(lookup(name, size), first) << name << " must share the array of " << res.names.front();
            EXPECT_EQ(size, first_size) << name;
            names.insert(name);
            unrequested += is_unrequested(name) ? 1 : 0;
        }
        arrays.insert(first);
    }
    EXPECT_EQ(names.size(), 95u);
    EXPECT_EQ(arrays.size(), 30u);
    EXPECT_EQ(unrequested, 33); // 30 "resources/" names and the three plain toggle names
    EXPECT_EQ(details_::BinaryDataIndex().name_count(), 95u);
}

TEST(ResourceIndex, EveryArrayEndsInOneZeroByteOutsideItsLength)
{
    for (const auto& res : expected_resources())
    {
        size_t size = 0;
        const unsigned char* const data = lookup(res.names.front(), size);
        ASSERT_NE(data, nullptr);
        EXPECT_EQ(data[size], 0) << res.names.front();
        if (res.width == 0)
        {
            // a layout text holds no zero byte of its own: as a C string it is exactly its length
            EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(data)), size) << res.names.front();
        }
    }
}

TEST(ResourceIndex, EveryImageIsAnEightBitRgbaPngNotInterlacedAtItsSize)
{
    static const unsigned char signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    for (const auto& res : expected_resources())
    {
        if (res.width == 0)
            continue;
        size_t size = 0;
        const unsigned char* const p = lookup(res.names.front(), size);
        ASSERT_NE(p, nullptr);
        ASSERT_GT(size, 33u);
        SCOPED_TRACE(res.names.front());
        EXPECT_EQ(std::memcmp(p, signature, 8), 0);
        EXPECT_EQ(std::memcmp(p + 12, "IHDR", 4), 0);
        EXPECT_EQ(big_endian32(p + 16), std::uint32_t(res.width));
        EXPECT_EQ(big_endian32(p + 20), std::uint32_t(res.height));
        EXPECT_EQ(p[24], 8); // bits per channel
        EXPECT_EQ(p[25], 6); // RGB with alpha
        EXPECT_EQ(p[28], 0); // not interlaced
    }
}

TEST(ResourceIndex, LookupIgnoresLetterCaseAndNothingElse)
{
    size_t lower_size = 0;
    const unsigned char* const lower = lookup("bg_master.png", lower_size);
    ASSERT_NE(lower, nullptr);

    for (const char* name : {"BG_MASTER.PNG", "Bg_Master.Png", "bg_MASTER.png"})
    {
        size_t size = 0;
        EXPECT_EQ(lookup(name, size), lower) << name;
        EXPECT_EQ(size, lower_size) << name;
    }
    size_t skin_size = 0;
    const unsigned char* const skin = lookup("bg_master.skin", skin_size);
    size_t size = 0;
    EXPECT_EQ(lookup("Resources/MasterPanel.SKIN", size), skin);
    EXPECT_EQ(size, skin_size);

    for (const char* name : {" bg_master.png", "bg_master.png ", "./bg_master.png", "bg_master", "",
                             "resources/bg_master.png", "bg_master.png\n", "led_digits10.png"})
    {
        size_t unchanged = 12345;
        EXPECT_EQ(lookup(name, unchanged), nullptr) << '"' << name << '"';
        EXPECT_EQ(unchanged, 12345u) << '"' << name << '"';
    }
}

TEST(FsumImages, DecodesEveryRequestedImageAtItsSize)
{
    const Fsum_Images images;
    for (const auto& res : expected_resources())
    {
        if (res.width == 0)
            continue;
        for (const auto& name : res.names)
        {
            if (is_unrequested(name))
                continue;
            const juce::Image img = images.load_image(name);
            ASSERT_TRUE(img.isValid()) << name;
            EXPECT_EQ(img.getWidth(), res.width) << name;
            EXPECT_EQ(img.getHeight(), res.height) << name;
            EXPECT_TRUE(img.hasAlphaChannel()) << name;
        }
    }
    EXPECT_EQ(images.load_image("LED_RED_ON.PNG").getWidth(), 64);
}

TEST(FsumImages, AbsentNameGivesAnInvalidImageSilently)
{
    const Fsum_Images images;
    testing::internal::CaptureStderr();
    const juce::Image img = images.load_image("no_such_image.png");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(img.isValid());
    EXPECT_EQ(err, "");
}

TEST(FsumImages, UndecodableResourceGivesAnInvalidImageAndOneMessage)
{
    const Fsum_Images images;
    testing::internal::CaptureStderr();
    const juce::Image img = images.load_image("bg_master.skin");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(img.isValid());
    EXPECT_EQ(err, "Failed to load image bg_master.skin from internal resources\n");
}
