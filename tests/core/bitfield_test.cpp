// Bit fields: bit placement, counts through every operation, spare bits kept
// clear, and the fatal argument checks.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/bitfield.h"

namespace {

struct Field {
    BitfieldStruct *f = nullptr;
    explicit Field(int bits) {
        Bitfield_Create(&f);
        Bitfield_SetSize(f, bits);
    }
    ~Field() { Bitfield_Destroy(&f); }
    std::vector<uint8_t> Bytes() {
        int length = 0;
        Bitfield_GetByteLength(f, &length);
        std::vector<uint8_t> out(length);
        Bitfield_GetBytes(f, out.data(), length);
        return out;
    }
    int Count() {
        int count = -1;
        Bitfield_GetSetCount(f, &count);
        Bitfield_CheckInvariants(f);
        return count;
    }
};

TEST(Bitfield, BitPlacementAndCounts) {
    Field field(10);
    int length = 0;
    Bitfield_GetByteLength(field.f, &length);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(Bitfield_IsEmpty(field.f), 1);
    EXPECT_EQ(Bitfield_IsComplete(field.f), 0);
    Bitfield_Set(field.f, 9);
    EXPECT_EQ(field.Bytes(), (std::vector<uint8_t>{0x00, 0x40}));
    Bitfield_Set(field.f, 0);
    Bitfield_Set(field.f, 0); // counted once
    EXPECT_EQ(field.Bytes(), (std::vector<uint8_t>{0x80, 0x40}));
    EXPECT_EQ(field.Count(), 2);
    EXPECT_EQ(Bitfield_Test(field.f, 0), 1);
    EXPECT_EQ(Bitfield_Test(field.f, 1), 0);
    Bitfield_Clear(field.f, 0);
    Bitfield_Clear(field.f, 0);
    EXPECT_EQ(field.Count(), 1);
    int unset = 0;
    Bitfield_GetUnsetCount(field.f, &unset);
    EXPECT_EQ(unset, 9);
    // Resizing clears; the same size keeps the contents.
    Bitfield_SetSize(field.f, 10);
    EXPECT_EQ(field.Count(), 1);
    Bitfield_SetSize(field.f, 17);
    EXPECT_EQ(field.Count(), 0);
    EXPECT_EQ(field.Bytes(), (std::vector<uint8_t>{0, 0, 0}));
}

TEST(Bitfield, WholeFieldOperationsKeepSpareBitsClear) {
    Field field(10);
    Bitfield_SetAll(field.f);
    EXPECT_EQ(field.Count(), 10);
    EXPECT_EQ(Bitfield_IsComplete(field.f), 1);
    EXPECT_EQ(field.Bytes(), (std::vector<uint8_t>{0xFF, 0xC0}));
    Bitfield_ClearAll(field.f);
    EXPECT_EQ(field.Count(), 0);
    Bitfield_Set(field.f, 1);
    Bitfield_Set(field.f, 4);
    Bitfield_Set(field.f, 8);
    Bitfield_Invert(field.f);
    EXPECT_EQ(field.Count(), 7);
    EXPECT_EQ(field.Bytes(), (std::vector<uint8_t>{0xB7, 0x40}));
    const uint8_t wire[] = {0xFF, 0xFF};
    Bitfield_SetBytes(field.f, wire, 2);
    EXPECT_EQ(field.Count(), 10);
    EXPECT_EQ(field.Bytes(), (std::vector<uint8_t>{0xFF, 0xC0}));
    const uint8_t exact[] = {0xFF, 0xC0};
    Bitfield_SetBytes(field.f, exact, 2);
    EXPECT_EQ(field.Count(), 10);

    Field empty(0);
    EXPECT_EQ(Bitfield_IsComplete(empty.f), 1);
    EXPECT_EQ(Bitfield_IsEmpty(empty.f), 1);
    Bitfield_SetAll(empty.f);
    Bitfield_Invert(empty.f);
    EXPECT_EQ(empty.Count(), 0);
    EXPECT_TRUE(empty.Bytes().empty());
}

TEST(Bitfield, CombineExceptIntersectCopyAgainstAModel) {
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 random(seed);
    const int bits = 1000 + (int)(random() % 77);
    Field a(bits), b(bits), copy(3);
    std::vector<bool> ma(bits), mb(bits);
    for (int k = 0; k < bits; k++) {
        if (random() % 3 == 0) {
            Bitfield_Set(a.f, k);
            ma[k] = true;
        }
        if (random() % 2 == 0) {
            Bitfield_Set(b.f, k);
            mb[k] = true;
        }
    }
    auto check = [&](Field &field, const std::vector<bool> &model) {
        int count = 0;
        for (int k = 0; k < bits; k++) {
            ASSERT_EQ(Bitfield_Test(field.f, k), model[k] ? 1 : 0) << k;
            count += model[k];
        }
        EXPECT_EQ(field.Count(), count);
    };
    Bitfield_Copy(copy.f, a.f);
    check(copy, ma);
    Bitfield_Combine(copy.f, b.f);
    std::vector<bool> m(bits);
    for (int k = 0; k < bits; k++) {
        m[k] = ma[k] || mb[k];
    }
    check(copy, m);
    Bitfield_Copy(copy.f, a.f);
    Bitfield_Except(copy.f, b.f);
    for (int k = 0; k < bits; k++) {
        m[k] = ma[k] && !mb[k];
    }
    check(copy, m);
    Bitfield_Copy(copy.f, a.f);
    Bitfield_Intersect(copy.f, b.f);
    for (int k = 0; k < bits; k++) {
        m[k] = ma[k] && mb[k];
    }
    check(copy, m);
}

TEST(BitfieldDeathTest, ArgumentErrorsStop) {
    Field field(10), other(11);
    EXPECT_DEATH(Bitfield_Set(field.f, 10), "Bit outside boundary 10 >= 10");
    EXPECT_DEATH(Bitfield_Test(field.f, -1), "Bit outside boundary -1 >= 10");
    EXPECT_DEATH(Bitfield_Clear(field.f, 99), "Bit outside boundary 99 >= 10");
    EXPECT_DEATH(Bitfield_Combine(field.f, other.f), "Bit mismatch on combine \\(10 != 11\\)");
    EXPECT_DEATH(Bitfield_Except(field.f, other.f), "Bit mismatch on except \\(10 != 11\\)");
    EXPECT_DEATH(Bitfield_Intersect(field.f, other.f), "Bit mismatch on intersect \\(10 != 11\\)");
    uint8_t bytes[3] = {};
    EXPECT_DEATH(Bitfield_GetBytes(field.f, bytes, 3), "length mismatch \\(3 != 2\\)");
    EXPECT_DEATH(Bitfield_SetBytes(field.f, bytes, 1), "length mismatch \\(1 != 2\\)");
}

TEST(BitfieldDeathTest, CorruptedCachedCountStops) {
    Field field(20);
    Bitfield_Set(field.f, 3);
    field.f->SetCount = 2;
    EXPECT_DEATH(Bitfield_CheckInvariants(field.f), "Bitfield count mismatch \\(2 != 1");
    field.f->SetCount = 1;
    field.f->Bytes[2] |= 0x01; // a spare bit of the last byte
    EXPECT_DEATH(Bitfield_CheckInvariants(field.f), "Bitfield count mismatch");
    field.f->Bytes[2] &= 0xF0;
}

} // namespace
