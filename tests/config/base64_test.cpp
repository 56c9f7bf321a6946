#include <drav/config/base64.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::string bytes(std::initializer_list<unsigned char> list) { return std::string(list.begin(), list.end()); }

TEST(Base64Codec, EncodesTheVectorsOfRfc4648) {
  const struct {
    const char* plain;
    const char* encoded;
  } cases[] = {{"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
               {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
  const Base64::Codec codec;
  for (const auto& c : cases) {
    EXPECT_EQ(codec.encode(c.plain), c.encoded) << c.plain;
    EXPECT_EQ(codec.decode(c.encoded), c.plain) << c.encoded;
  }
}

TEST(Base64Codec, EncodesEveryByteValueAndDecodesItBack) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  const Base64::Codec codec;
  for (std::size_t length : {0u, 1u, 2u, 3u, 4u, 5u, 64u, 255u, 256u}) {
    const std::string plain = all.substr(256 - length);
    const std::string encoded = codec.encode(plain);
    EXPECT_EQ(encoded.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(codec.decode(encoded), plain) << length;
  }
  EXPECT_EQ(codec.encode(bytes({0xFB, 0xFF, 0xBF})), "+/+/");
}

TEST(Base64Codec, DecodesUnpaddedTailsLikeThePaddedForm) {
  const Base64::Codec codec;
  EXPECT_EQ(codec.decode("Zm9vYmE"), codec.decode("Zm9vYmE="));
  // Two characters give one byte from the first 8 bits, then a byte made
  // from the missing third character's all-ones value; "==" stops that.
  EXPECT_EQ(codec.decode("Zg=="), "f");
}

TEST(Base64Codec, LenientDecodingFollowsTheBitRules) {
  const struct {
    const char* encoded;
    std::string plain;
  } cases[] = {
      {"A", bytes({0x03})},                   // the missing second character counts as all ones
      {"Q", bytes({0x43})},
      {"Zg", bytes({0x66})},                  // two characters: only the first byte
      {"Zm9", bytes({0x66, 0x6F})},
      // "=" first in a group is outside the alphabet: "=Zm9" gives FD 99 BD,
      // and the lone "v" then gives BF.
      {"Zm9v=Zm9v", bytes({0x66, 0x6F, 0x6F, 0xFD, 0x99, 0xBD, 0xBF})},
      {"Zg==Zm9v", "f"},                      // stops at the first "=" in a third place
      {"Zm8=Zm9v", "fo"},                     // ... or a fourth place
      {"Zm9v\nZm9v", bytes({0x66, 0x6F, 0x6F, 0xFD, 0x99, 0xBD, 0xBF})},  // line breaks are not skipped
      {"Zm9*", bytes({0x66, 0x6F, 0xFF})},     // a fourth character outside the alphabet gives 0xFF
      {"*m9v", bytes({0xFE, 0x6F, 0x6F})},
  };
  const Base64::Codec codec;
  for (const auto& c : cases) EXPECT_EQ(codec.decode(c.encoded), c.plain) << c.encoded;
}

TEST(Base64Codec, DecodeTableMarksEveryByteOutsideTheAlphabet) {
  int inside = 0;
  for (int b = 0; b < 256; ++b) {
    const std::uint32_t entry = Base64::Codec::DecodeTable[b];
    if (entry == 0xFFFFFFFFu) continue;
    ++inside;
    EXPECT_EQ(Base64::Codec::Base64Table[entry], static_cast<char>(b));
  }
  EXPECT_EQ(inside, 64);
  EXPECT_EQ(Base64::Codec::DecodeTable['='], 0xFFFFFFFFu);
}

}  // namespace
