#include "platform/Memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace vantora {
namespace {

TEST(MemoryTest, PopulatedPagesKeepTheirBytes) {
  // A heap buffer that does not start on a page: the whole pages inside it
  // are made present, and every byte stays as it was.
  std::vector<unsigned char> buffer(5 * 4096 + 123);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<unsigned char>(i * 7);
  PopulatePages(buffer.data() + 1, buffer.size() - 1);
  for (size_t i = 0; i < buffer.size(); ++i) {
    ASSERT_EQ(buffer[i], static_cast<unsigned char>(i * 7)) << i;
  }
  // Less than a page holds no whole page: nothing to do.
  EXPECT_FALSE(PopulatePages(buffer.data() + 1, 100));
}

TEST(MemoryTest, FreshPagesArePresentAfterward) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t bytes = 16 * page;
  void* pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  std::vector<unsigned char> resident(16);
  ASSERT_EQ(mincore(pages, bytes, resident.data()), 0);
  for (unsigned char r : resident) EXPECT_EQ(r & 1, 0);  // not touched yet
  if (PopulatePages(pages, bytes)) {
    // Where the system populates, every page is there, still all zero.
    ASSERT_EQ(mincore(pages, bytes, resident.data()), 0);
    for (unsigned char r : resident) EXPECT_EQ(r & 1, 1);
    const std::vector<unsigned char> zero(bytes, 0);
    EXPECT_EQ(std::memcmp(pages, zero.data(), bytes), 0);
  }
  munmap(pages, bytes);
}

}  // namespace
}  // namespace vantora
