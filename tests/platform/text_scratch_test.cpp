#include "platform/text_scratch.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "os/os.h"
#include "support/text_scratch_model.h"

namespace {

class TextScratchTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(TextScratchInit(), 1); }
    void TearDown() override {
        OsAllocFailAt(0);
        TextScratchEnd();
    }
    static int32_t Position() { return TextScratch().position; }
    static int32_t Capacity() { return TextScratch().capacity; }
    static std::u16string TextFrom(int32_t mark) { return std::u16string(TextScratchAt(mark)); }
    static long TextBlocks() { return OsHeapBlockCount(StringHeap); }
};

std::u16string Units(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST_F(TextScratchTest, GrowsExactlyWhenTheEndReachesCapacityLessFour) {
    EXPECT_EQ(Capacity(), 16);
    EXPECT_EQ(Position(), 0);

    // "abcd" and its NUL end at byte 10: below 16 - 4, no growth.
    ASSERT_EQ(TextScratchAppend(u"abcd"), 1);
    EXPECT_EQ(Capacity(), 16);
    EXPECT_EQ(Position(), 8);
    // "e" and its NUL end at byte 12 = 16 - 4: the capacity becomes 12 + 16384.
    ASSERT_EQ(TextScratchAppend(u"e"), 1);
    EXPECT_EQ(Capacity(), 12 + 16384);
    EXPECT_EQ(Position(), 10);
    EXPECT_EQ(TextFrom(0), u"abcde");

    // Up to one unit short of the new threshold (16396 - 4), then across it.
    std::u16string filler((16390 - 10) / 2 - 1, u'x');
    ASSERT_EQ(TextScratchAppend(filler.c_str()), 1);
    EXPECT_EQ(Capacity(), 16396);
    EXPECT_EQ(Position(), 16388);
    ASSERT_EQ(TextScratchAppend(u"y"), 1);
    EXPECT_EQ(Capacity(), 16392 + 16384);
    EXPECT_EQ(TextFrom(0), u"abcde" + filler + u"y");
}

TEST_F(TextScratchTest, NumbersReserveThirtyTwoOrSixtyFourUnits) {
    // A small number still reserves 32 units (64 bytes) on the 32-bit path...
    ASSERT_EQ(TextScratchAppendNumber(7), 1);
    EXPECT_EQ(Capacity(), 64 + 16384);
    EXPECT_EQ(Position(), 2);
    TextScratchEnd();
    ASSERT_EQ(TextScratchInit(), 1);
    // ... and 64 units (128 bytes) on the 64-bit path.
    ASSERT_EQ(TextScratchAppendNumber(int64_t{1} << 40), 1);
    EXPECT_EQ(Capacity(), 128 + 16384);
    EXPECT_EQ(TextFrom(0), u"1099511627776");
}

TEST_F(TextScratchTest, NumbersMatchTheStandardDecimalForm) {
    const int64_t values[] = {0,
                              -1,
                              1,
                              9,
                              10,
                              -10,
                              INT32_MIN,
                              INT32_MAX,
                              int64_t{INT32_MIN} + 1,
                              int64_t{INT32_MIN} - 1,
                              int64_t{INT32_MAX} + 1,
                              int64_t{UINT32_MAX},
                              -int64_t{UINT32_MAX},
                              int64_t{1} << 40,
                              1000000000000000000,
                              -999999999999999999,
                              INT64_MIN,
                              INT64_MAX,
                              INT64_MIN + 1};
    for (int64_t value : values) {
        int32_t mark = Position();
        ASSERT_EQ(TextScratchAppendNumber(value), 1);
        // The position ends on the terminator, as after an append.
        EXPECT_EQ(*TextScratchAt(Position()), 0);
        EXPECT_EQ(TextFrom(mark), Units(std::to_string(value))) << value;
        EXPECT_EQ(Position() - mark, 2 * static_cast<int32_t>(std::to_string(value).size()));
        TextScratchSetPosition(mark);
    }
}

TEST_F(TextScratchTest, PiecesJoinIntoOneText) {
    int32_t mark = Position();
    TextScratchAppend(u"COM");
    TextScratchAppendNumber(10);
    TextScratchAppend(u"");
    TextScratchAppend(u": \u043e\u0448\u0438\u0431\u043a\u0430");
    EXPECT_EQ(TextFrom(mark), u"COM10: \u043e\u0448\u0438\u0431\u043a\u0430");
}

TEST_F(TextScratchTest, NullAppendTerminatesWithoutMoving) {
    TextScratchAppend(u"abc");
    ASSERT_EQ(TextScratchGiveBack(1), 1);
    EXPECT_EQ(TextScratchAppend(nullptr), 1);
    EXPECT_EQ(Position(), 4);
    EXPECT_EQ(TextFrom(0), u"ab");
}

TEST_F(TextScratchTest, NestedMarksKeepTheOuterText) {
    int32_t outer = Position();
    TextScratchAppend(u"Led ");
    // Interrupted by another text, consumed in place...
    int32_t inner = Position();
    TextScratchAppend(u"hint ");
    TextScratchAppendNumber(3);
    TextScratchReserve(1, Position());
    EXPECT_EQ(TextFrom(inner), u"hint 3");
    TextScratchSetPosition(inner);
    // ... and by one committed to a variable.
    char16_t* kept = nullptr;
    inner = Position();
    TextScratchAppend(u"kept");
    ASSERT_NE(TextScratchCommit(&kept, inner), nullptr);
    EXPECT_EQ(Position(), inner);
    TextScratchAppendNumber(8);
    EXPECT_EQ(TextFrom(outer), u"Led 8");
    EXPECT_EQ(std::u16string(kept), u"kept");
    TextFree(kept);
}

TEST_F(TextScratchTest, AppendOfATextInTheBufferSurvivesGrowth) {
    TextScratchAppend(u"abcd");
    // The source lies in the buffer that this append moves.
    ASSERT_EQ(TextScratchAppend(TextScratchAt(0)), 1);
    EXPECT_EQ(TextFrom(0), u"abcdabcd");
    EXPECT_GT(Capacity(), 16);
}

TEST_F(TextScratchTest, GiveBackAndSetPositionRefuseOffsetsOutsideTheBuffer) {
    TextScratchAppend(u"abcdef");
    EXPECT_EQ(TextScratchGiveBack(7), 0);  // more than the position holds
    EXPECT_EQ(TextScratchGiveBack(-1), 0);
    EXPECT_EQ(Position(), 6 * 2);
    EXPECT_EQ(TextScratchGiveBack(2), 1);
    EXPECT_EQ(Position(), 4 * 2);
    // GiveBack writes nothing; SetPosition writes the NUL.
    EXPECT_EQ(TextFrom(0), u"abcdef");
    EXPECT_EQ(TextScratchSetPosition(6), 1);
    EXPECT_EQ(TextFrom(0), u"abc");

    int32_t last = Capacity() - 4;
    EXPECT_EQ(TextScratchSetPosition(last + 2), 0);
    EXPECT_EQ(TextScratchSetPosition(-2), 0);
    EXPECT_EQ(TextScratchSetPosition(3), 0);
    EXPECT_EQ(Position(), 6);
    EXPECT_EQ(TextScratchSetPosition(last), 1);
    EXPECT_EQ(*TextScratchAt(last), 0);
    // From the last offset even an empty reservation grows the buffer.
    ASSERT_NE(TextScratchReserve(0, last), nullptr);
    EXPECT_EQ(Capacity(), last + 16384);
    EXPECT_EQ(TextScratchReserve(-1, Position()), nullptr);
    EXPECT_EQ(TextScratchReserve(1, Capacity()), nullptr);
}

TEST_F(TextScratchTest, CommitMovesTheTextIntoAVariableThatOwnsIt) {
    char16_t* first = nullptr;
    char16_t* empty = nullptr;
    TextScratchAppend(u"prefix ");
    int32_t mark = Position();
    TextScratchAppend(u"first");
    ASSERT_EQ(TextScratchCommit(&first, mark), first);
    EXPECT_EQ(std::u16string(first), u"first");
    EXPECT_EQ(Position(), mark);
    ASSERT_NE(TextScratchCommit(&empty, Position()), nullptr);  // mark = position
    EXPECT_EQ(std::u16string(empty), u"");
    EXPECT_EQ(TextBlocks(), 3);  // the buffer and two texts

    // Committing into a variable that holds a text replaces it in place.
    TextScratchAppend(u"a much longer second text");
    ASSERT_NE(TextScratchCommit(&first, mark), nullptr);
    EXPECT_EQ(std::u16string(first), u"a much longer second text");
    EXPECT_EQ(TextBlocks(), 3);
    // The scratch text itself is untouched.
    TextScratchReserve(0, Position());
    EXPECT_EQ(std::u16string(TextScratchAt(0)).substr(0, 7), u"prefix ");

    TextFree(first);
    TextFree(empty);
    TextFree(nullptr);
    EXPECT_EQ(TextBlocks(), 1);

    char16_t* untouched = nullptr;
    EXPECT_EQ(TextScratchCommit(&untouched, Position() + 2), nullptr);
    EXPECT_EQ(TextScratchCommit(&untouched, 1), nullptr);
    EXPECT_EQ(TextScratchCommit(&untouched, -2), nullptr);
    EXPECT_EQ(untouched, nullptr);
}

TEST_F(TextScratchTest, FailedGrowthLeavesTheTextSoFarIntact) {
    TextScratchAppend(u"abcd");
    const char16_t* buffer = TextScratch().buffer;
    OsAllocFailAt(1);
    EXPECT_EQ(TextScratchAppend(u"efgh"), 0);
    EXPECT_EQ(TextScratch().buffer, buffer);
    EXPECT_EQ(Capacity(), 16);
    EXPECT_EQ(Position(), 8);
    EXPECT_EQ(TextFrom(0), u"abcd");

    OsAllocFailAt(1);
    EXPECT_EQ(TextScratchAppendNumber(INT64_MIN), 0);
    OsAllocFailAt(1);
    EXPECT_EQ(TextScratchReserve(40, Position()), nullptr);
    EXPECT_EQ(Position(), 8);
    EXPECT_EQ(TextFrom(0), u"abcd");

    // The next growth that succeeds carries on from there.
    EXPECT_EQ(TextScratchAppend(u"efgh"), 1);
    EXPECT_EQ(TextFrom(0), u"abcdefgh");
    EXPECT_EQ(TextBlocks(), 1);
}

TEST_F(TextScratchTest, FailedCommitKeepsTheVariableAndTheEnclosingText) {
    char16_t* variable = nullptr;
    TextScratchAppend(u"old");
    ASSERT_NE(TextScratchCommit(&variable, 0), nullptr);
    TextScratchAppend(u"outer ");
    int32_t mark = Position();
    TextScratchAppend(u"new text");
    OsAllocFailAt(1);
    EXPECT_EQ(TextScratchCommit(&variable, mark), nullptr);
    EXPECT_EQ(std::u16string(variable), u"old");
    EXPECT_EQ(Position(), mark);
    EXPECT_EQ(TextFrom(0), u"outer ");
    TextFree(variable);
    EXPECT_EQ(TextBlocks(), 1);
}

TEST(TextScratchStart, AreaWithoutItsFirstBufferGetsOneAtTheFirstGrowth) {
    OsAllocFailAt(1);
    EXPECT_EQ(TextScratchInit(), 0);
    OsAllocFailAt(0);
    EXPECT_EQ(TextScratch().buffer, nullptr);
    EXPECT_EQ(TextScratchSetPosition(0), 0);
    char16_t* variable = nullptr;
    EXPECT_EQ(TextScratchCommit(&variable, 0), nullptr);
    ASSERT_EQ(TextScratchAppend(u"late"), 1);
    EXPECT_EQ(std::u16string(TextScratchAt(0)), u"late");
    EXPECT_EQ(TextScratch().capacity, 10 + 16384);
    TextScratchEnd();
    EXPECT_EQ(StringHeap, nullptr);
}

// Random operations against the model, with an occasional failed allocation.
TEST(TextScratchModelTest, RandomOperationsMatchTheModel) {
    std::u16string alphabet = u"abcXYZ019 -\u0416\u044f\u20ac";
    for (uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        std::mt19937 random(seed);
        auto pick = [&](uint32_t n) { return static_cast<int32_t>(random() % n); };
        auto piece = [&]() {
            int32_t length = pick(10) == 0 ? pick(9000) : pick(12);
            std::u16string text;
            for (int32_t i = 0; i < length; ++i) text += alphabet[static_cast<size_t>(pick(alphabet.size()))];
            return text;
        };
        auto number = [&]() -> int64_t {
            switch (pick(4)) {
            case 0: return static_cast<int32_t>(random());
            case 1: return static_cast<int64_t>((uint64_t{random()} << 32) | random());
            case 2: return int64_t{INT32_MAX} + pick(5) - 2;
            default: return int64_t{INT32_MIN} + pick(5) - 2;
            }
        };

        TextScratchModel model;
        for (int step = 0; step < 6000; ++step) {
            bool fail = pick(25) == 0;
            switch (pick(12)) {
            case 0: model.Append(piece(), fail); break;
            case 1: model.AppendNull(); break;
            case 2: model.AppendNumber(number(), fail); break;
            case 3: model.TextResult(piece(), pick(40), fail); break;
            case 4: model.GiveBack(pick(12) - 1); break;
            case 5: model.SetPosition(pick(20) == 0 ? pick(80000) - 2 : 2 * pick(static_cast<uint32_t>(model.length()) + 1)); break;
            case 6:
            case 7: model.PushMark(); break;
            case 8: model.ConsumeInnermost(fail); break;
            case 9: model.CommitInnermost(pick(TextScratchModel::kVariables), fail); break;
            case 10: model.Free(pick(TextScratchModel::kVariables)); break;
            default: model.CommitBadMark(pick(TextScratchModel::kVariables), 2 * static_cast<int32_t>(model.length()) + 1 + 2 * pick(3)); break;
            }
            if (model.length() > 40000) model.SetPosition(0);
            ASSERT_TRUE(model.Check()) << "seed " << seed << " step " << step << ": " << model.failure();
        }
        model.FreeAll();
        ASSERT_TRUE(model.Check()) << model.failure();
    }
}

// A scripted workload of the kind the program runs: labels committed to
// variables, port names consumed in place, a long text that grows the
// buffer twice. Each text is checked against the pieces that reported
// success: a piece that could not be added is missing, nothing else.
struct Workload {
    std::vector<char16_t*> held;
    int failures = 0;

    void Text(std::u16string& expected, const char16_t* piece) {
        if (TextScratchAppend(piece))
            expected += piece;
        else
            ++failures;
    }
    void Number(std::u16string& expected, int64_t value) {
        std::string digits = std::to_string(value);
        if (TextScratchAppendNumber(value))
            expected += Units(digits);
        else
            ++failures;
    }
    void Commit(int32_t mark, const std::u16string& expected) {
        char16_t* text = nullptr;
        if (TextScratchCommit(&text, mark)) {
            EXPECT_EQ(std::u16string(text), expected);
            held.push_back(text);
        } else {
            ++failures;
        }
        EXPECT_EQ(TextScratch().position, mark);
    }

    void Run() {
        if (!TextScratchInit()) ++failures;
        for (int led = 1; led <= 8; ++led) {
            int32_t mark = TextScratch().position;
            std::u16string label;
            Text(label, u"Led ");
            Number(label, led);
            Commit(mark, label);
        }
        int32_t outer = TextScratch().position;
        std::u16string heading;
        Text(heading, u"\u041f\u043e\u0440\u0442 ");
        for (int port = 1; port <= 10; ++port) {
            int32_t mark = TextScratch().position;
            std::u16string name;
            Text(name, u"COM");
            Number(name, port);
            if (!TextScratchReserve(1, TextScratch().position)) ++failures;
            EXPECT_EQ(std::u16string(TextScratchAt(mark)), name);
            TextScratchSetPosition(mark);
        }
        std::u16string block(5000, u'#');
        for (int i = 0; i < 8; ++i) Text(heading, block.c_str());
        Number(heading, INT64_MIN);
        Commit(outer, heading);
    }
};

TEST(TextScratchFailures, EveryAllocationOfAWorkloadMayFail) {
    Workload reference;
    long before = OsAllocCount();
    reference.Run();
    long allocations = OsAllocCount() - before;
    ASSERT_EQ(reference.failures, 0);
    ASSERT_GE(allocations, 10);
    for (char16_t* text : reference.held) TextFree(text);
    TextScratchEnd();

    for (long n = 1; n <= allocations; ++n) {
        SCOPED_TRACE(n);
        Workload run;
        OsAllocFailAt(n);
        run.Run();
        OsAllocFailAt(0);
        // The one failed allocation was reported by exactly one step.
        EXPECT_EQ(run.failures, 1);
        const TextScratchArea& area = TextScratch();
        ASSERT_NE(area.buffer, nullptr);
        EXPECT_TRUE(area.position >= 0 && area.position <= area.capacity - 4);
        EXPECT_EQ(OsHeapBlockCount(StringHeap), 1 + static_cast<long>(run.held.size()));
        for (char16_t* text : run.held) TextFree(text);
        EXPECT_EQ(OsHeapBlockCount(StringHeap), 1);
        TextScratchEnd();
    }
}

}  // namespace
