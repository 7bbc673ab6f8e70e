// The ISAPI records keep the published layout with the published widths on
// 64-bit Linux: a host written from the interface itself agrees on every
// offset.
#include "adapters/IsapiTypes.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace vantora {
namespace {

static_assert(sizeof(void*) == 8, "the offsets below are those of a 64-bit host");

TEST(IsapiTypes, ExtensionRecordsHaveThePublishedLayout) {
  EXPECT_EQ(sizeof(DWORD), 4u);
  EXPECT_EQ(sizeof(BOOL), 4u);

  EXPECT_EQ(offsetof(THSE_VERSION_INFO, lpszExtensionDesc), 4u);
  EXPECT_EQ(sizeof(THSE_VERSION_INFO), 260u);

  using B = TEXTENSION_CONTROL_BLOCK;
  EXPECT_EQ(offsetof(B, cbSize), 0u);
  EXPECT_EQ(offsetof(B, dwVersion), 4u);
  EXPECT_EQ(offsetof(B, ConnID), 8u);
  EXPECT_EQ(offsetof(B, dwHttpStatusCode), 16u);
  EXPECT_EQ(offsetof(B, lpszLogData), 20u);
  EXPECT_EQ(offsetof(B, lpszMethod), 104u);
  EXPECT_EQ(offsetof(B, lpszQueryString), 112u);
  EXPECT_EQ(offsetof(B, lpszPathInfo), 120u);
  EXPECT_EQ(offsetof(B, lpszPathTranslated), 128u);
  EXPECT_EQ(offsetof(B, cbTotalBytes), 136u);
  EXPECT_EQ(offsetof(B, cbAvailable), 140u);
  EXPECT_EQ(offsetof(B, lpbData), 144u);
  EXPECT_EQ(offsetof(B, lpszContentType), 152u);
  EXPECT_EQ(offsetof(B, GetServerVariable), 160u);
  EXPECT_EQ(offsetof(B, WriteClient), 168u);
  EXPECT_EQ(offsetof(B, ReadClient), 176u);
  EXPECT_EQ(offsetof(B, ServerSupportFunction), 184u);
  EXPECT_EQ(sizeof(B), 192u);
}

TEST(IsapiTypes, FilterRecordsHaveThePublishedLayout) {
  EXPECT_EQ(offsetof(THTTP_FILTER_VERSION, dwFilterVersion), 4u);
  EXPECT_EQ(offsetof(THTTP_FILTER_VERSION, lpszFilterDesc), 8u);
  EXPECT_EQ(offsetof(THTTP_FILTER_VERSION, dwFlags), 268u);
  EXPECT_EQ(sizeof(THTTP_FILTER_VERSION), 272u);

  using C = THTTP_FILTER_CONTEXT;
  EXPECT_EQ(offsetof(C, Revision), 4u);
  EXPECT_EQ(offsetof(C, ServerContext), 8u);
  EXPECT_EQ(offsetof(C, ulReserved), 16u);
  EXPECT_EQ(offsetof(C, fIsSecurePort), 20u);
  EXPECT_EQ(offsetof(C, pFilterContext), 24u);
  EXPECT_EQ(offsetof(C, GetServerVariable), 32u);
  EXPECT_EQ(offsetof(C, AddResponseHeaders), 40u);
  EXPECT_EQ(offsetof(C, WriteClient), 48u);
  EXPECT_EQ(offsetof(C, AllocMem), 56u);
  EXPECT_EQ(offsetof(C, ServerSupportFunction), 64u);
  EXPECT_EQ(sizeof(C), 72u);

  EXPECT_EQ(offsetof(THTTP_FILTER_RAW_DATA, cbInData), 8u);
  EXPECT_EQ(offsetof(THTTP_FILTER_RAW_DATA, cbInBuffer), 12u);
  EXPECT_EQ(offsetof(THTTP_FILTER_RAW_DATA, dwReserved), 16u);
  EXPECT_EQ(sizeof(THTTP_FILTER_RAW_DATA), 24u);
}

}  // namespace
}  // namespace vantora
