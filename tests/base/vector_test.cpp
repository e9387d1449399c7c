#include "base/vector.h"

#include <gtest/gtest.h>

#include "base/heap.h"

namespace {

// Turns injected allocation failures off again whatever the test did.
class VectorTest : public ::testing::Test {
protected:
    void TearDown() override { heap::failReallocationsAfter(heap::kNever); }

    int values_[40] = {};
    int* at(size_t i) { return &values_[i]; }

    void fill(Vector<int*>& vector, size_t count) {
        for (size_t i = 0; i < count; ++i) ASSERT_TRUE(vector.push_back(at(i)));
    }
    void expectOrder(const Vector<int*>& vector, std::initializer_list<size_t> indexes) {
        ASSERT_EQ(vector.size(), indexes.size());
        size_t position = 0;
        for (size_t index : indexes) EXPECT_EQ(vector[position++], at(index)) << "position " << position - 1;
    }
};

TEST_F(VectorTest, FreshVectorAllocatesNothingAndGrowsBySixteen) {
    // With every reallocation failing, an empty vector still constructs,
    // reports empty, and clears.
    heap::failReallocationsAfter(0);
    {
        Vector<int*> vector;
        EXPECT_TRUE(vector.empty());
        EXPECT_EQ(vector.capacity(), 0u);
        EXPECT_FALSE(vector.push_back(at(0)));
        EXPECT_TRUE(vector.empty());
    }
    heap::failReallocationsAfter(heap::kNever);

    Vector<int*> vector;
    fill(vector, 1);
    EXPECT_EQ(vector.capacity(), 16u);
    fill(vector, 16);
    EXPECT_EQ(vector.capacity(), 32u);
    fill(vector, 16);
    EXPECT_EQ(vector.capacity(), 48u);
}

TEST_F(VectorTest, SixteenthPushNeedsNoReallocationSeventeenthDoes) {
    Vector<int*> vector;
    // One reallocation allowed: the block for the first sixteen.
    heap::failReallocationsAfter(1);
    fill(vector, 16);
    EXPECT_EQ(vector.capacity(), 16u);

    // The seventeenth needs a new block, is refused, and leaves everything as it was.
    EXPECT_FALSE(vector.push_back(at(16)));
    EXPECT_EQ(vector.size(), 16u);
    EXPECT_EQ(vector.capacity(), 16u);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(vector[i], at(i));

    heap::failReallocationsAfter(heap::kNever);
    EXPECT_TRUE(vector.push_back(at(16)));
    EXPECT_EQ(vector.capacity(), 32u);
    EXPECT_EQ(vector.back(), at(16));
    EXPECT_EQ(vector[0], at(0));
}

TEST_F(VectorTest, ReserveIsExactAndKeepsContentsOnFailure) {
    Vector<int*> vector;
    EXPECT_TRUE(vector.reserve(5));
    EXPECT_EQ(vector.capacity(), 5u);
    fill(vector, 5);
    EXPECT_TRUE(vector.reserve(3));  // already enough
    EXPECT_EQ(vector.capacity(), 5u);

    heap::failReallocationsAfter(0);
    EXPECT_FALSE(vector.reserve(100));
    EXPECT_EQ(vector.capacity(), 5u);
    expectOrder(vector, {0, 1, 2, 3, 4});
    heap::failReallocationsAfter(heap::kNever);

    // A full vector of odd capacity still grows by sixteen.
    EXPECT_TRUE(vector.push_back(at(5)));
    EXPECT_EQ(vector.capacity(), 21u);
    // A capacity whose byte size overflows is refused, not wrapped.
    EXPECT_FALSE(vector.reserve(SIZE_MAX / 2));
    EXPECT_EQ(vector.capacity(), 21u);
}

TEST_F(VectorTest, RemovingKeepsTheOrderOfTheRest) {
    Vector<int*> vector;
    fill(vector, 5);
    EXPECT_TRUE(vector.remove(static_cast<size_t>(1)));
    expectOrder(vector, {0, 2, 3, 4});
    EXPECT_TRUE(vector.remove(static_cast<size_t>(3)));  // the last one
    expectOrder(vector, {0, 2, 3});
    EXPECT_FALSE(vector.remove(static_cast<size_t>(3)));  // past the end
    expectOrder(vector, {0, 2, 3});

    VectorIterator<int*> second = vector.begin();
    ++second;
    EXPECT_TRUE(vector.remove(second));
    expectOrder(vector, {0, 3});
    EXPECT_FALSE(vector.remove(vector.end()));
    expectOrder(vector, {0, 3});
}

TEST_F(VectorTest, RemoveLastOnEmptyChangesNothing) {
    Vector<int*> vector;
    EXPECT_FALSE(vector.removeLast());
    EXPECT_EQ(vector.size(), 0u);
    EXPECT_EQ(vector.capacity(), 0u);

    fill(vector, 2);
    EXPECT_TRUE(vector.removeLast());
    EXPECT_TRUE(vector.removeLast());
    EXPECT_FALSE(vector.removeLast());
    EXPECT_TRUE(vector.empty());
    EXPECT_EQ(vector.capacity(), 16u);  // the block is kept until clear
}

TEST_F(VectorTest, InsertMovesLaterElementsUp) {
    Vector<int*> vector;
    EXPECT_TRUE(vector.insert(0, at(1)));
    EXPECT_TRUE(vector.insert(0, at(0)));
    EXPECT_TRUE(vector.insert(2, at(3)));
    EXPECT_TRUE(vector.insert(2, at(2)));
    expectOrder(vector, {0, 1, 2, 3});
    EXPECT_FALSE(vector.insert(5, at(4)));
    expectOrder(vector, {0, 1, 2, 3});

    fill(vector, 12);  // full at 16
    heap::failReallocationsAfter(0);
    EXPECT_FALSE(vector.insert(0, at(39)));
    EXPECT_EQ(vector.size(), 16u);
    EXPECT_EQ(vector[0], at(0));
}

TEST_F(VectorTest, ClearFreesTheBlockAndTheVectorIsReusable) {
    Vector<int*> vector;
    fill(vector, 20);
    vector.clear();
    EXPECT_TRUE(vector.empty());
    EXPECT_EQ(vector.capacity(), 0u);
    EXPECT_TRUE(vector.begin() == vector.end());
    fill(vector, 3);
    expectOrder(vector, {0, 1, 2});
}

TEST_F(VectorTest, IteratorsWalkBothWays) {
    Vector<int*> vector;
    fill(vector, 3);
    size_t visited = 0;
    for (VectorIterator<int*> it = vector.begin(); it != vector.end(); ++it) EXPECT_EQ(*it, at(visited++));
    EXPECT_EQ(visited, 3u);

    VectorIterator<int*> it = vector.end();
    --it;
    EXPECT_EQ(*it, at(2));
    *it = at(9);  // writable through the iterator
    EXPECT_EQ(vector.back(), at(9));

    const Vector<int*>& constant = vector;
    VectorConstIterator<int*> c = constant.end();
    --c;
    --c;
    EXPECT_EQ(*c, at(1));
    ++c;
    ++c;
    EXPECT_FALSE(c != constant.end());
}

TEST(HeapTest, ArrayBytesDetectsOverflow) {
    EXPECT_EQ(heap::arrayBytes(4, 8), 32u);
    EXPECT_EQ(heap::arrayBytes(SIZE_MAX / 8 + 1, 8), 0u);
    EXPECT_EQ(heap::reallocate(nullptr, 0), nullptr);
}

}  // namespace
