// The simulated board's 74HC595: what the tests of the real executable rely
// on when they read the register's outputs from the board's trace.
#include "board_register.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// Drives the board as the transfer drives the port: clock and latch idled,
// then LED 8 to LED 1 each with a clock pulse, then a latch pulse. Returns
// the outputs after every step.
std::vector<uint8_t> Transfer(BoardState* board, unsigned pattern, int invert) {
    const unsigned idle = invert ? 1u : 0u;
    std::vector<uint8_t> outputs;
    auto set = [&](unsigned line, unsigned level) {
        BoardSetLines(board, level ? (board->lines | line) : (board->lines & ~line));
        outputs.push_back(board->outputs[0]);
    };
    set(BOARD_DTR, idle);
    set(BOARD_BREAK, idle);
    for (int led = 8; led >= 1; --led) {
        set(BOARD_RTS, ((pattern >> (led - 1)) ^ idle) & 1);
        set(BOARD_DTR, idle ^ 1);
        set(BOARD_DTR, idle);
    }
    set(BOARD_BREAK, idle ^ 1);
    set(BOARD_BREAK, idle);
    return outputs;
}

// Every pattern arrives with LED k on output k, whatever the board held and
// whatever level opening left the lines at; the outputs change only at the
// latch, so the lamps never show a half-shifted pattern.
TEST(BoardRegister, TheTransfersSequenceLatchesEveryPattern) {
    for (int invert = 0; invert <= 1; ++invert) {
        for (unsigned atOpen = 0; atOpen <= BOARD_LINES; ++atOpen) {
            for (unsigned pattern = 0; pattern < 256; ++pattern) {
                BoardState board;
                BoardInit(&board, invert);
                board.outputs[0] = board.shift[0] = static_cast<uint8_t>(~pattern);
                BoardSetLines(&board, atOpen);
                uint8_t before = board.outputs[0];
                std::vector<uint8_t> outputs = Transfer(&board, pattern, invert);
                ASSERT_EQ(outputs.back(), pattern) << "invert " << invert << " lines at open " << atOpen;
                for (size_t step = 0; step + 2 < outputs.size(); ++step) ASSERT_EQ(outputs[step], before);
            }
        }
    }
}

TEST(BoardRegister, OnlyRisingEdgesAct) {
    BoardState board;
    BoardInit(&board, 0);
    BoardSetLines(&board, BOARD_RTS);
    EXPECT_EQ(board.shift[0], 0);
    BoardSetLines(&board, BOARD_RTS | BOARD_DTR);  // rising SRCLK with SER high
    EXPECT_EQ(board.shift[0], 0x01);
    BoardSetLines(&board, BOARD_RTS);  // falling: nothing
    BoardSetLines(&board, 0);
    EXPECT_EQ(board.shift[0], 0x01);
    BoardSetLines(&board, BOARD_DTR);  // rising with SER low
    EXPECT_EQ(board.shift[0], 0x02);
    EXPECT_EQ(board.outputs[0], 0);
    BoardSetLines(&board, BOARD_DTR | BOARD_BREAK);
    EXPECT_EQ(board.outputs[0], 0x02);
    BoardSetLines(&board, BOARD_DTR);
    EXPECT_EQ(board.outputs[0], 0x02);
}

// One call that changes several lines is one moment at the pins: the clock
// takes SER as it was, the latch the shift register as it was.
TEST(BoardRegister, LinesChangedTogetherActWithTheLevelsFromBefore) {
    BoardState board;
    BoardInit(&board, 0);
    BoardSetLines(&board, BOARD_RTS | BOARD_DTR);
    EXPECT_EQ(board.shift[0], 0);
    BoardSetLines(&board, BOARD_RTS);
    BoardSetLines(&board, BOARD_RTS | BOARD_DTR | BOARD_BREAK);
    EXPECT_EQ(board.shift[0], 0x01);
    EXPECT_EQ(board.outputs[0], 0);
}

// Behind an inverter every pin idles high while the port's lines are clear:
// setting a line is a falling edge at its pin, clearing it a rising one.
TEST(BoardRegister, AnInverterComplementsEveryPin) {
    BoardState board;
    BoardInit(&board, 1);
    BoardSetLines(&board, BOARD_DTR | BOARD_BREAK);
    EXPECT_EQ(board.shift[0], 0);
    EXPECT_EQ(board.outputs[0], 0);
    BoardSetLines(&board, BOARD_BREAK);  // SRCLK rises, SER (RTS clear) is high
    EXPECT_EQ(board.shift[0], 0x01);
    BoardSetLines(&board, 0);  // RCLK rises
    EXPECT_EQ(board.outputs[0], 0x01);
}

// A driver that hangs up when the port closes clears DTR and RTS, then the
// break: behind an inverter that is one more clock and one more latch, and
// the pattern moves up by one output. The application cannot prevent it; the
// board shows it.
TEST(BoardRegister, HangingUpBehindAnInverterShiftsTheOutputs) {
    BoardState board;
    BoardInit(&board, 1);
    Transfer(&board, 0x81, 1);
    ASSERT_EQ(board.outputs[0], 0x81);
    BoardSetLines(&board, board.lines & BOARD_BREAK);
    BoardSetLines(&board, 0);
    EXPECT_EQ(board.outputs[0], 0x03);
}

TEST(BoardRegister, SetLinesReportsWhatChanged) {
    BoardState board;
    BoardInit(&board, 0);
    EXPECT_EQ(BoardSetLines(&board, BOARD_DTR | BOARD_RTS), static_cast<unsigned>(BOARD_DTR | BOARD_RTS));
    EXPECT_EQ(BoardSetLines(&board, BOARD_DTR | BOARD_RTS), 0u);
    EXPECT_EQ(BoardSetLines(&board, BOARD_RTS | 0x80), static_cast<unsigned>(BOARD_DTR));
    EXPECT_EQ(board.lines, static_cast<unsigned>(BOARD_RTS));
}

TEST(BoardRegister, TraceLinesCarryTheWholeState) {
    BoardState board;
    BoardInit(&board, 0);
    board.lines = BOARD_DTR | BOARD_BREAK;
    board.shift[0] = 0x5a;
    board.outputs[0] = 0x0f;
    char line[128];
    size_t length = BoardFormatEvent(line, sizeof line, 1234567890123ull, "DTR", 1, &board, 42);
    EXPECT_EQ(std::string(line, length),
              "1234567890123 DTR 1 dtr=1 rts=0 break=1 shift=0x5a outputs=0x0f pid=42\n");
    length = BoardFormatEvent(line, sizeof line, 7, "open", -1, &board, 1);
    EXPECT_EQ(std::string(line, length), "7 open - dtr=1 rts=0 break=1 shift=0x5a outputs=0x0f pid=1\n");
    EXPECT_EQ(BoardFormatEvent(line, 20, 7, "open", -1, &board, 1), 0u);
    EXPECT_STREQ(BoardLineName(BOARD_BREAK), "BREAK");

    // A chain writes 8N bits, the last register's digits first.
    BoardInitChain(&board, 0, 2);
    board.shift[1] = 0x80;
    board.outputs[0] = 0x01;
    length = BoardFormatEvent(line, sizeof line, 7, "close", -1, &board, 1);
    EXPECT_EQ(std::string(line, length), "7 close - dtr=0 rts=0 break=0 shift=0x8000 outputs=0x0001 pid=1\n");
    BoardInitChain(&board, 0, BOARD_MAX_REGISTERS);
    std::fill(board.outputs, board.outputs + BOARD_MAX_REGISTERS, 0xff);
    char longest[BOARD_EVENT_SIZE];
    length = BoardFormatEvent(longest, sizeof longest, UINT64_MAX, "BREAK", 1, &board, LONG_MIN);
    EXPECT_NE(std::string(longest, length).find(" outputs=0x" + std::string(2 * BOARD_MAX_REGISTERS, 'f') + " pid="),
              std::string::npos);
}

// Clocks a frame through a chain, the last output's bit first, and latches
// it; byte r of `frame` is register r+1's. Returns QH' as each clock came.
std::vector<int> SendChain(BoardState* board, const std::vector<uint8_t>& frame) {
    std::vector<int> qh;
    for (size_t k = 8 * board->registers; k-- > 0;) {
        const unsigned data = (frame[k / 8] >> (k % 8) & 1) ? unsigned{BOARD_RTS} : 0u;
        BoardSetLines(board, data);
        qh.push_back(BoardQh(board));
        BoardSetLines(board, data | BOARD_DTR);
    }
    BoardSetLines(board, BOARD_BREAK);
    BoardSetLines(board, 0);
    return qh;
}

// Every output of a chain gets its own bit, and QH' gives back, one clock at
// a time, what the chain held: the power-up zeros, then, in the next frame,
// the first bit sent (the last output's).
TEST(BoardRegister, AChainLatchesEveryOutputAndPassesItsBitsOnToQh) {
    for (unsigned registers : {1u, 2u, 3u, 16u, 128u}) {
        BoardState board;
        BoardInitChain(&board, 0, registers);
        std::vector<uint8_t> frame(registers);
        for (unsigned r = 0; r < registers; ++r) frame[r] = static_cast<uint8_t>(0x5a ^ r * 37);
        frame.back() |= 0x80;
        EXPECT_EQ(SendChain(&board, frame), std::vector<int>(8 * registers, 0)) << registers;
        EXPECT_EQ(std::vector<uint8_t>(board.outputs, board.outputs + registers), frame) << registers;
        std::vector<int> qh = SendChain(&board, std::vector<uint8_t>(registers, 0));
        for (size_t clock = 0; clock < qh.size(); ++clock)
            ASSERT_EQ(qh[clock], frame[registers - 1 - clock / 8] >> (7 - clock % 8) & 1) << registers;
    }
    BoardState board;
    BoardInitChain(&board, 0, BOARD_MAX_REGISTERS + 1);
    EXPECT_EQ(board.registers, 1u);
}

// A stuck stage passes its level on: the outputs from it to the chain's end
// show that level, and QH' reads it once the power-up zeros beyond it are
// out.
TEST(BoardRegister, AStuckStageHoldsItsLevelForEveryStageAfterIt) {
    BoardState board;
    BoardInitChain(&board, 0, 3);
    ASSERT_TRUE(BoardStickStage(&board, 13, 1));
    std::vector<int> wanted(24, 1);
    std::fill(wanted.begin(), wanted.begin() + 11, 0);
    EXPECT_EQ(SendChain(&board, {0xff, 0x00, 0x00}), wanted);
    EXPECT_EQ(std::vector<uint8_t>(board.outputs, board.outputs + 3), (std::vector<uint8_t>{0xff, 0xf0, 0xff}));
    ASSERT_TRUE(BoardStickStage(&board, 24, 0));
    EXPECT_EQ(BoardQh(&board), 0);
    SendChain(&board, {0x00, 0xff, 0xff});
    EXPECT_EQ(std::vector<uint8_t>(board.outputs, board.outputs + 3), (std::vector<uint8_t>{0x00, 0xff, 0x7f}));
    EXPECT_FALSE(BoardStickStage(&board, 25, 1));
    EXPECT_FALSE(BoardStickStage(&board, 0, 1));
}

}  // namespace
