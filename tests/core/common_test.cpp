#include <gtest/gtest.h>

#include <cstdint>
#include <type_traits>
#include <vector>

#include "common/control.h"
#include "common/hash.h"
#include "common/raw_table.h"

namespace velomap {
namespace {

// ---- Group: both implementations give the same masks ---------------------
template <class G>
class GroupTest : public ::testing::Test {};
#ifdef VELOMAP_HAVE_SSE2
using GroupTypes = ::testing::Types<GroupPortable, GroupSse2>;
#else
using GroupTypes = ::testing::Types<GroupPortable>;
#endif
TYPED_TEST_SUITE(GroupTest, GroupTypes);
#ifdef VELOMAP_PORTABLE_GROUP
static_assert(std::is_same_v<Group, GroupPortable>, "the forced portable path is in use");
#endif

TYPED_TEST(GroupTest, MasksFollowTheByteStates) {
  alignas(16) ctrl_t bytes[16] = {0x00, 0x80, 0x05, 0x7F, 0x01, 0x05, 0x00, 0x80,
                                  0x05, 0x22, 0x00, 0x00, 0x80, 0x01, 0x7F, 0x05};
  const TypeParam g(bytes);
  EXPECT_EQ(g.match(0x05).bits(), (1u << 2) | (1u << 5) | (1u << 8) | (1u << 15));
  EXPECT_EQ(g.match(0x7F).bits(), (1u << 3) | (1u << 14));
  EXPECT_EQ(g.match(0x10).bits(), 0u);
  EXPECT_EQ(g.match_empty().bits(), (1u << 0) | (1u << 6) | (1u << 10) | (1u << 11));
  EXPECT_EQ(g.match_deleted().bits(), (1u << 1) | (1u << 7) | (1u << 12));
  EXPECT_EQ(g.match_free().bits(), g.match_empty().bits() | g.match_deleted().bits());
  EXPECT_EQ(g.match_full().bits(), static_cast<std::uint16_t>(~g.match_free().bits()));
  EXPECT_TRUE(g.has_empty());
  EXPECT_EQ(g.match_free().lowest(), 0u);

  ctrl_t full[16];
  for (int i = 0; i < 16; ++i) full[i] = static_cast<ctrl_t>(i % 2 ? 0x80 : 0x33);
  const TypeParam f(full);
  EXPECT_FALSE(f.has_empty());
  EXPECT_EQ(f.match_free().lowest(), 1u);
}

// ---- RawTable sizes and layout --------------------------------------------
// An entry of three words, as the binding stores (24 bytes on 64-bit
// targets; 16 on i386, where an int64 is 4-aligned).
struct Entry24 {
  void* a;
  std::int64_t b;
  void* c;
};

// Whole groups; entries from a 64-byte boundary, control bytes (EMPTY)
// right after them; tables carved from one ShapeBlock laid out alike and
// disjoint, the block owning the memory, zero-filled when large.
TEST(RawTable, GroupsAndLayoutInOwnAndSharedBlocks) {
  const struct {
    std::size_t requested, slots;
  } cases[] = {{0, 0}, {1, 16}, {16, 16}, {17, 32}, {100, 112}};
  for (const auto& c : cases) {
    RawTable<Entry24> t(c.requested);
    EXPECT_EQ(t.slot_count(), c.slots) << c.requested;
    EXPECT_EQ(t.group_count(), c.slots / 16);
    EXPECT_EQ(t.allocated(), c.slots != 0);
  }
  ShapeBlock block(RawTable<Entry24>::block_bytes(48) + RawTable<Entry24>::block_bytes(1));
  RawTable<Entry24> own(48), a(48, block), b(1, block), none(0, block);
  EXPECT_FALSE(a.allocated());
  EXPECT_EQ(none.slot_count(), 0u);
  for (const RawTable<Entry24>* t : {&own, &a, &b}) {
    const auto* entries = reinterpret_cast<const unsigned char*>(&t->entry(0));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(entries) % 64, 0u);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(t->ctrl()) - entries,
              static_cast<std::ptrdiff_t>(t->slot_count() * sizeof(Entry24)));
    for (std::size_t s = 0; s < t->slot_count(); ++s) EXPECT_EQ(t->ctrl_at(s), kEmpty);
  }
  EXPECT_EQ(
      reinterpret_cast<const unsigned char*>(&b.entry(0)),
      reinterpret_cast<const unsigned char*>(&a.entry(0)) + RawTable<Entry24>::block_bytes(48));
  EXPECT_THROW(ShapeBlock(SIZE_MAX), InternalFailure);
  // Blocks this big come straight from the system: zero-filled to the end.
  ShapeBlock big(kMappedFrom);
  ASSERT_TRUE(big.zeroed());
  unsigned char* p = big.take(kMappedFrom);
  EXPECT_EQ(p[0] | p[kMappedFrom / 2] | p[kMappedFrom - 1], 0);
  p[kMappedFrom - 1] = 1;
}

TEST(RawTable, LayoutBounds) {
  const TableLayout l = compute_table_layout(16, 24, 8);
  EXPECT_EQ(l.ctrl_offset, 384u);
  EXPECT_EQ(l.alloc_size, 448u);
  EXPECT_EQ(compute_table_layout(17 * 16, 24, 8).ctrl_offset, 17u * 16 * 24);
  EXPECT_THROW(compute_table_layout(SIZE_MAX / 16, 24, 8), InternalFailure);
  EXPECT_THROW(compute_table_layout(static_cast<std::size_t>(PTRDIFF_MAX) / 24, 24, 8),
               InternalFailure);
  try {
    RawTable<Entry24> t(SIZE_MAX - 3);
    FAIL() << "expected layout overflow";
  } catch (const InternalFailure& e) {
    EXPECT_STREQ(e.what(), "layout overflow");
  }
}

// ---- Hashing ------------------------------------------------------------
TEST(Hash, SeedsDifferPerMapAndProcessSeedIsFixed) {
  EXPECT_EQ(process_seed(), process_seed());
  EXPECT_NE(draw_map_seed(), draw_map_seed());
}

}  // namespace
}  // namespace velomap
