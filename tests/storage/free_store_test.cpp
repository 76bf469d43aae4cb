#include "storage/free_store.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/storage/index_file.h"

namespace vt {
namespace {

using Areas = std::vector<StorageArea>;

class FreeStoreTest : public ::testing::Test {
  protected:
    Areas blocks() const {
        Areas out = {{99, 99}};  // replaced, not appended to
        m_store.getFreeDataBlocks(out);
        return out;
    }
    StorageArea take(int32_t n) {
        StorageArea area;
        EXPECT_TRUE(m_store.getFreeArea(n, area)) << n;
        return area;
    }
    CStorageFreeStore m_store;
};

TEST_F(FreeStoreTest, NeighboursMergeInEitherOrder) {
    ASSERT_TRUE(m_store.addFreeArea({10, 14}));
    ASSERT_TRUE(m_store.addFreeArea({0, 9}));
    EXPECT_EQ(blocks(), (Areas{{0, 14}}));

    CStorageFreeStore other;
    ASSERT_TRUE(other.addFreeArea({0, 9}));
    ASSERT_TRUE(other.addFreeArea({20, 29}));
    ASSERT_TRUE(other.addFreeArea({10, 19}));  // joins both neighbours
    Areas out;
    other.getFreeDataBlocks(out);
    EXPECT_EQ(out, (Areas{{0, 29}}));
    EXPECT_EQ(other.getCount(), 1u);
    StorageArea all;
    EXPECT_TRUE(other.getFreeArea(30, all));
    EXPECT_EQ(all, (StorageArea{0, 29}));
    EXPECT_EQ(other.getCount(), 0u);
}

TEST_F(FreeStoreTest, BestFitTakesTheLowEndOfTheSmallestRangeThatFits) {
    ASSERT_TRUE(m_store.addFreeArea({0, 9}));
    ASSERT_TRUE(m_store.addFreeArea({20, 25}));
    EXPECT_EQ(take(5), (StorageArea{20, 24}));
    EXPECT_EQ(blocks(), (Areas{{0, 9}, {25, 25}}));
    EXPECT_EQ(take(6), (StorageArea{0, 5}));
    EXPECT_EQ(blocks(), (Areas{{6, 9}, {25, 25}}));
    StorageArea area{7, 7};
    EXPECT_FALSE(m_store.getFreeArea(5, area));
    EXPECT_FALSE(m_store.getFreeArea(0, area));
    EXPECT_EQ(blocks(), (Areas{{6, 9}, {25, 25}}));
    EXPECT_EQ(take(4), (StorageArea{6, 9}));
    EXPECT_EQ(blocks(), (Areas{{25, 25}}));
}

TEST_F(FreeStoreTest, EqualSizesServeTheLongestUnchangedFirst) {
    ASSERT_TRUE(m_store.addFreeArea({50, 59}));
    ASSERT_TRUE(m_store.addFreeArea({0, 9}));
    ASSERT_TRUE(m_store.addFreeArea({30, 39}));
    EXPECT_EQ(take(10), (StorageArea{50, 59}));
    // Splitting {0, 9} and merging it back makes it new: {30, 39} now goes first.
    EXPECT_EQ(take(3), (StorageArea{0, 2}));
    ASSERT_TRUE(m_store.addFreeArea({0, 2}));
    EXPECT_EQ(take(10), (StorageArea{30, 39}));
    EXPECT_EQ(take(10), (StorageArea{0, 9}));
    EXPECT_EQ(m_store.getCount(), 0u);
}

TEST_F(FreeStoreTest, OverlappingOrInvalidAreasAreRefused) {
    ASSERT_TRUE(m_store.addFreeArea({10, 19}));
    EXPECT_FALSE(m_store.addFreeArea({15, 25}));
    // Sharing only the first or the last byte is overlapping too.
    EXPECT_FALSE(m_store.addFreeArea({5, 10}));
    EXPECT_FALSE(m_store.addFreeArea({19, 25}));
    EXPECT_FALSE(m_store.addFreeArea({12, 12}));
    EXPECT_FALSE(m_store.addFreeArea({3, 1}));
    EXPECT_FALSE(m_store.addFreeArea({-1, 4}));
    EXPECT_EQ(blocks(), (Areas{{10, 19}}));
    ASSERT_TRUE(m_store.addFreeArea({0x7FFFFFF0, 0x7FFFFFFF}));
    ASSERT_TRUE(m_store.addFreeArea({0, 9}));
    EXPECT_EQ(blocks(), (Areas{{0, 19}, {0x7FFFFFF0, 0x7FFFFFFF}}));
    m_store.cleanup();
    EXPECT_EQ(blocks(), Areas{});
}

}  // namespace
}  // namespace vt
