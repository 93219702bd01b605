#include <gtest/gtest.h>

#include <string>

#include "volume/volume_bridge.h"

namespace {

struct RestBody {
    bool valid;
    uint32_t volume;
    bool muted;
};

RestBody rest(const std::string &body) {
    RestBody result{false, 999, false};
    result.valid = parse_volume_rest_body(body.data(), body.size(), &result.volume, &result.muted);
    return result;
}

struct Message {
    bool json;
    bool has_volume;
    uint32_t volume;
    bool has_muted;
    bool muted;
};

Message message(const std::string &text) {
    Message m{false, false, 0, false, false};
    m.json = parse_volume_message(text.data(), text.size(), &m.has_volume, &m.volume, &m.has_muted, &m.muted);
    return m;
}

TEST(VolumeRestBody, PercentWinsOverVolumeAndMuteIsRequired) {
    auto a = rest(R"({"volumePercent":35,"volume":80,"isMuted":false})");
    EXPECT_TRUE(a.valid);
    EXPECT_EQ(a.volume, 35u);
    EXPECT_FALSE(a.muted);

    auto b = rest(R"({"volume":80,"isMuted":true})");
    EXPECT_TRUE(b.valid);
    EXPECT_EQ(b.volume, 80u);
    EXPECT_TRUE(b.muted);

    EXPECT_FALSE(rest(R"({"volumePercent":35})").valid);
    EXPECT_FALSE(rest(R"({"isMuted":false})").valid);
    EXPECT_FALSE(rest(R"({"volume":"80","isMuted":false})").valid);
    EXPECT_FALSE(rest(R"({"volume":80,"isMuted":0})").valid);
}

TEST(VolumeRestBody, NonIntegerPercentFallsBackToVolume) {
    auto a = rest(R"({"volumePercent":35.5,"volume":20,"isMuted":false})");
    EXPECT_TRUE(a.valid);
    EXPECT_EQ(a.volume, 20u);
}

TEST(VolumeRestBody, VolumeIsClampedToPercent) {
    EXPECT_EQ(rest(R"({"volume":150,"isMuted":false})").volume, 100u);
    EXPECT_EQ(rest(R"({"volume":-5,"isMuted":false})").volume, 0u);
    EXPECT_EQ(rest(R"({"volume":9223372036854775807,"isMuted":false})").volume, 100u);
}

TEST(VolumeRestBody, NotAnObjectOrNotJsonIsRejected) {
    EXPECT_FALSE(rest("").valid);
    EXPECT_FALSE(rest("not json").valid);
    EXPECT_FALSE(rest("[1,2]").valid);
    EXPECT_FALSE(rest(R"({"volume":50,"isMuted":false)").valid);
}

TEST(VolumeMessage, ReadsBothFieldsWhenTheyHaveTheirTypes) {
    auto a = message(R"({"volume":30,"isMuted":true})");
    EXPECT_TRUE(a.json);
    EXPECT_TRUE(a.has_volume);
    EXPECT_EQ(a.volume, 30u);
    EXPECT_TRUE(a.has_muted);
    EXPECT_TRUE(a.muted);

    auto real = message(R"({"volume":50.5})");
    EXPECT_TRUE(real.json);
    EXPECT_FALSE(real.has_volume);

    auto number_mute = message(R"({"isMuted":1})");
    EXPECT_TRUE(number_mute.json);
    EXPECT_FALSE(number_mute.has_volume);
    EXPECT_FALSE(number_mute.has_muted);

    EXPECT_EQ(message(R"({"volume":-3})").volume, 0u);
    EXPECT_EQ(message(R"({"volume":101})").volume, 100u);
}

TEST(VolumeMessage, PlainTextIsNotJsonButAnyJsonValueIs) {
    EXPECT_FALSE(message("pause").json);
    auto string_value = message("\"pause\"");
    EXPECT_TRUE(string_value.json);
    EXPECT_FALSE(string_value.has_volume);
    EXPECT_FALSE(string_value.has_muted);
    EXPECT_TRUE(message("[1]").json);
}

TEST(VolumeMessage, LengthBoundsTheText) {
    std::string text = R"({"volume":30}garbage)";
    auto m = message(text.substr(0, 13));
    EXPECT_TRUE(m.json);
    EXPECT_EQ(m.volume, 30u);
    EXPECT_FALSE(parse_volume_message(text.data(), text.size(), &m.has_volume, &m.volume, &m.has_muted, &m.muted));
}

}  // namespace
