#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include "server/Base64.h"

namespace {

struct Freed {
  void operator()(void* p) const { free(p); }
};

std::string encode(const std::string& bytes) {
  size_t length = 0;
  std::unique_ptr<char, Freed> out(
      base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length));
  EXPECT_EQ(out.get()[length], '\0');
  return std::string(out.get(), length);
}

// Nothing on failure; the bytes otherwise (with the zero after them checked).
// Decoding in place must agree on every text.
std::unique_ptr<std::string> decode(const std::string& text) {
  size_t length = 12345;
  std::unique_ptr<unsigned char, Freed> out(base64_decode(text.data(), text.size(), &length));
  std::string inPlace = text;
  size_t inPlaceLength = 0;
  EXPECT_EQ(base64_decode_in_place(inPlace.data(), inPlace.size(), &inPlaceLength), out != nullptr) << text;
  if (!out) return nullptr;
  EXPECT_EQ(out.get()[length], 0);
  EXPECT_EQ(inPlace.substr(0, inPlaceLength), std::string(reinterpret_cast<const char*>(out.get()), length));
  return std::make_unique<std::string>(reinterpret_cast<const char*>(out.get()), length);
}

}  // namespace

TEST(Base64, EncodePadsFinalGroup) {
  EXPECT_EQ(encode(""), "");
  EXPECT_EQ(encode("f"), "Zg==");
  EXPECT_EQ(encode("fo"), "Zm8=");
  EXPECT_EQ(encode("foo"), "Zm9v");
  EXPECT_EQ(encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(encode(std::string("\xff\xfe\x00", 3)), "//4A");
}

TEST(Base64, DecodeLengthFollowsPadding) {
  EXPECT_EQ(*decode("QQ=="), "A");
  EXPECT_EQ(*decode("QUI="), "AB");
  EXPECT_EQ(*decode("QUJD"), "ABC");
  EXPECT_EQ(*decode("Zm9vYmFy"), "foobar");
}

TEST(Base64, DecodeRejectsLengthNotMultipleOfFour) {
  EXPECT_EQ(decode("QUJDRE"), nullptr);  // 6 characters
  EXPECT_EQ(decode("QUJ"), nullptr);
  EXPECT_EQ(decode("QUJDR"), nullptr);
  EXPECT_EQ(decode("Zm9v\r"), nullptr);  // a line's carriage return kept by the reply rules
}

TEST(Base64, DecodeRejectsEmptyText) { EXPECT_EQ(decode(""), nullptr); }

TEST(Base64, DecodeRejectsForeignCharacters) {
  for (const char* text : {"Zm9*", "Zm-v", "Zm_v", "Zm v", "Zm\nv", "\x80Zm9"}) EXPECT_EQ(decode(text), nullptr) << text;
  EXPECT_EQ(decode(std::string("Zm\0v", 4)), nullptr);
}

TEST(Base64, DecodeRejectsPaddingOutOfPlace) {
  for (const char* text : {"====", "Q===", "Q=Q=", "QQ==QUJD", "=QUJ"}) EXPECT_EQ(decode(text), nullptr) << text;
}

TEST(Base64, RoundTripOfEveryByteAndLength) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  for (size_t n = 1; n <= all.size(); ++n) {
    std::string part = all.substr(0, n);
    std::string text = encode(part);
    ASSERT_EQ(text.size(), 4 * ((n + 2) / 3));
    auto back = decode(text);
    ASSERT_NE(back, nullptr) << n;
    EXPECT_EQ(*back, part) << n;
  }
}

TEST(Base64, DecodingTableCoversExactlyTheAlphabet) {
  unsigned char table[256];
  _build_decoding_table(table);
  int valid = 0;
  for (int c = 0; c < 256; ++c) valid += table[c] != 0xFF;
  EXPECT_EQ(valid, 64);
  EXPECT_EQ(table[static_cast<unsigned char>('A')], 0);
  EXPECT_EQ(table[static_cast<unsigned char>('/')], 63);
  EXPECT_EQ(table[static_cast<unsigned char>('=')], 0xFF);
}
