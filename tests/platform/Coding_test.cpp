#include "platform/Coding.h"

#include <gtest/gtest.h>

namespace vantora {
namespace {

TEST(Coding, ByteOrderIsLittleEndian) {
  std::string out;
  PutFixed16(&out, 0x0102);
  PutFixed32(&out, 0x03040506);
  PutFixed64(&out, 0x0708090a0b0c0d0eULL);
  EXPECT_EQ(out, std::string("\x02\x01\x06\x05\x04\x03\x0e\x0d\x0c\x0b\x0a\x09\x08\x07", 14));
  EXPECT_EQ(DecodeFixed16(out.data()), 0x0102);
  EXPECT_EQ(DecodeFixed32(out.data() + 2), 0x03040506u);
  EXPECT_EQ(DecodeFixed64(out.data() + 6), 0x0708090a0b0c0d0eULL);
}

TEST(Coding, DoubleRoundTripsAndHasIeeeLayout) {
  std::string out;
  PutDouble(&out, 1.0);  // 0x3FF0000000000000
  EXPECT_EQ(out, std::string("\0\0\0\0\0\0\xf0\x3f", 8));
  for (double v : {0.0, -2.5, 46000.123456789, 1e300}) {
    char buf[8];
    EncodeDouble(buf, v);
    EXPECT_EQ(DecodeDouble(buf), v);
  }
}

TEST(Coding, HighBytesDoNotSignExtend) {
  const char bytes[] = "\xff\xff\xff\xff";
  EXPECT_EQ(DecodeFixed16(bytes), 0xffff);
  EXPECT_EQ(DecodeFixed32(bytes), 0xffffffffu);
}

}  // namespace
}  // namespace vantora
