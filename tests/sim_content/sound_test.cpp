#include <gtest/gtest.h>

#include <algorithm>

#include "content_test_util.h"

using simtest::entry16;
using simtest::entry32;

namespace {

sim::ObjectSpec soundSpec(int bytes, int rate, int channels, int bits, std::uint32_t seed = 1) {
    sim::ObjectSpec s;
    s.kind = sim::ObjectKind::Sound;
    s.soundBytes = bytes;
    s.sampleRate = rate;
    s.channels = channels;
    s.bitsPerSample = bits;
    s.seed = seed;
    return s;
}

// One channel's samples as signed values, read the way a WAV player reads
// PCM: 8-bit unsigned around 128, 16-bit signed little-endian.
std::vector<int> channelSamples(const sim::StoredObject& o, int channel) {
    const int bytes = o.directoryEntry[40] / 8;
    const int frame = bytes * o.directoryEntry[39];
    std::vector<int> out;
    for (std::size_t at = std::size_t(channel * bytes); at + bytes <= o.sound.size(); at += frame) {
        if (bytes == 1)
            out.push_back(int{o.sound[at]} - 128);
        else
            out.push_back(static_cast<std::int16_t>(o.sound[at] | (o.sound[at + 1] << 8)));
    }
    return out;
}

// Frequency from rising zero crossings.
double frequency(const std::vector<int>& s, int rate) {
    int rising = 0;
    for (std::size_t i = 1; i < s.size(); ++i) rising += s[i - 1] < 0 && s[i] >= 0;
    return rising * double(rate) / double(s.size());
}

TEST(Sound, EntryAnnouncesTheRecordingForEveryFormat) {
    for (int bits : {8, 16}) {
        for (int channels : {1, 2}) {
            SCOPED_TRACE(testing::Message() << bits << " bits, " << channels << " channels");
            // 1001 bytes: a recording need not end on a whole sample.
            auto o = sim::generateObject(soundSpec(1001, 11025, channels, bits), 4);
            EXPECT_EQ(o.sound.size(), 1001u);
            EXPECT_EQ(o.directoryEntry[0], 2);
            EXPECT_EQ(entry32(o, 35), 1001u);
            EXPECT_EQ(o.directoryEntry[39], channels);
            EXPECT_EQ(o.directoryEntry[40], bits);
            EXPECT_EQ(entry16(o, 41), 11025u);
            EXPECT_EQ(o.itemLength(sim::kItemSound), 1001u);
            EXPECT_EQ(o.item(sim::kItemPicture), nullptr);
            EXPECT_EQ(entry32(o, 69), 0u);
        }
    }
    auto empty = sim::generateObject(soundSpec(0, 8000, 1, 8), 1);
    ASSERT_NE(empty.item(sim::kItemSound), nullptr);
    EXPECT_EQ(empty.itemLength(sim::kItemSound), 0u);
}

TEST(Sound, SamplesAreATonePitchedIndependentlyOfTheRate) {
    for (int bits : {8, 16}) {
        SCOPED_TRACE(testing::Message() << bits << " bits");
        auto slow = sim::generateObject(soundSpec(8000 * bits / 8, 8000, 1, bits), 1);
        auto fast = sim::generateObject(soundSpec(22050 * bits / 8, 22050, 1, bits, 2), 2);
        std::vector<int> s = channelSamples(slow, 0);
        const int full = bits == 8 ? 128 : 32768;
        const auto [lo, hi] = std::minmax_element(s.begin(), s.end());
        EXPECT_GT(*hi, full / 3);
        EXPECT_LT(*lo, -full / 3);
        long long sum = 0;
        for (int v : s) sum += v;
        EXPECT_LT(std::abs(sum / double(s.size())), full / 50.0);
        const double f = frequency(s, 8000);
        EXPECT_GT(f, 100);
        EXPECT_LT(f, 2000);
        // Same seed at another sample rate: the same pitch.
        auto again = sim::generateObject(soundSpec(22050 * bits / 8, 22050, 1, bits), 1);
        EXPECT_NEAR(frequency(channelSamples(again, 0), 22050), f, f * 0.02);
        EXPECT_NE(channelSamples(fast, 0), channelSamples(again, 0));
    }
}

TEST(Sound, StereoChannelsAreInterleavedTones) {
    auto o = sim::generateObject(soundSpec(4 * 16000, 16000, 2, 16), 3);
    const double left = frequency(channelSamples(o, 0), 16000);
    const double right = frequency(channelSamples(o, 1), 16000);
    EXPECT_GT(left, 100);
    EXPECT_GT(right, 100);
    EXPECT_GT(std::abs(left - right), 20);
}

}  // namespace
