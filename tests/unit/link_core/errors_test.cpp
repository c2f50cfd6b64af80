#include <gtest/gtest.h>

#include "link/core/aErr.h"
#include "link/core/linkSpec.h"

namespace {

TEST(ErrorTexts, NamesAndDescriptions) {
  EXPECT_STREQ(aError_GetErrorText(aErrNone), "aErrNone");
  EXPECT_STREQ(aError_GetErrorText(aErrTimeout), "aErrTimeout");
  EXPECT_STREQ(aError_GetErrorDescription(18), "Timeout occurred");
  EXPECT_STREQ(aError_GetErrorDescription(aErrShortCommand), "Tolvarine command to short");
  EXPECT_STREQ(aError_GetErrorDescription(aErrStreamStale), "Stream value is stale");
}

TEST(ErrorTexts, OutOfRangeCodesAreUnknown) {
  EXPECT_STREQ(aError_GetErrorText(35), "aErrUnknown");
  EXPECT_STREQ(aError_GetErrorDescription(1000), "Unknown error");
}

TEST(LinkSpecLayout, FixedOffsetsOnTheWire) {
  linkSpec spec{};
  spec.type = linkTypeSerial;
  spec.baudRate = 115200;
  strcpy(spec.devicePath, "/dev/ttyS0");
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&spec);
  uint32_t baud;
  memcpy(&baud, bytes + 24, 4);
  EXPECT_EQ(baud, 115200u);
  EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 28), "/dev/ttyS0");
  EXPECT_EQ(sizeof(linkSpec), 128u);
}

}  // namespace
