// The simulated board's 74HC595: what the tests of the real executable rely
// on when they read the register's outputs from the board's trace.
#include "board_register.h"

#include <gtest/gtest.h>

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
        outputs.push_back(board->outputs);
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
                board.outputs = board.shift = static_cast<uint8_t>(~pattern);
                BoardSetLines(&board, atOpen);
                uint8_t before = board.outputs;
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
    EXPECT_EQ(board.shift, 0);
    BoardSetLines(&board, BOARD_RTS | BOARD_DTR);  // rising SRCLK with SER high
    EXPECT_EQ(board.shift, 0x01);
    BoardSetLines(&board, BOARD_RTS);  // falling: nothing
    BoardSetLines(&board, 0);
    EXPECT_EQ(board.shift, 0x01);
    BoardSetLines(&board, BOARD_DTR);  // rising with SER low
    EXPECT_EQ(board.shift, 0x02);
    EXPECT_EQ(board.outputs, 0);
    BoardSetLines(&board, BOARD_DTR | BOARD_BREAK);
    EXPECT_EQ(board.outputs, 0x02);
    BoardSetLines(&board, BOARD_DTR);
    EXPECT_EQ(board.outputs, 0x02);
}

// One call that changes several lines is one moment at the pins: the clock
// takes SER as it was, the latch the shift register as it was.
TEST(BoardRegister, LinesChangedTogetherActWithTheLevelsFromBefore) {
    BoardState board;
    BoardInit(&board, 0);
    BoardSetLines(&board, BOARD_RTS | BOARD_DTR);
    EXPECT_EQ(board.shift, 0);
    BoardSetLines(&board, BOARD_RTS);
    BoardSetLines(&board, BOARD_RTS | BOARD_DTR | BOARD_BREAK);
    EXPECT_EQ(board.shift, 0x01);
    EXPECT_EQ(board.outputs, 0);
}

// Behind an inverter every pin idles high while the port's lines are clear:
// setting a line is a falling edge at its pin, clearing it a rising one.
TEST(BoardRegister, AnInverterComplementsEveryPin) {
    BoardState board;
    BoardInit(&board, 1);
    BoardSetLines(&board, BOARD_DTR | BOARD_BREAK);
    EXPECT_EQ(board.shift, 0);
    EXPECT_EQ(board.outputs, 0);
    BoardSetLines(&board, BOARD_BREAK);  // SRCLK rises, SER (RTS clear) is high
    EXPECT_EQ(board.shift, 0x01);
    BoardSetLines(&board, 0);  // RCLK rises
    EXPECT_EQ(board.outputs, 0x01);
}

// A driver that hangs up when the port closes clears DTR and RTS, then the
// break: behind an inverter that is one more clock and one more latch, and
// the pattern moves up by one output. The application cannot prevent it; the
// board shows it.
TEST(BoardRegister, HangingUpBehindAnInverterShiftsTheOutputs) {
    BoardState board;
    BoardInit(&board, 1);
    Transfer(&board, 0x81, 1);
    ASSERT_EQ(board.outputs, 0x81);
    BoardSetLines(&board, board.lines & BOARD_BREAK);
    BoardSetLines(&board, 0);
    EXPECT_EQ(board.outputs, 0x03);
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
    board.shift = 0x5a;
    board.outputs = 0x0f;
    char line[128];
    size_t length = BoardFormatEvent(line, sizeof line, 1234567890123ull, "DTR", 1, &board, 42);
    EXPECT_EQ(std::string(line, length),
              "1234567890123 DTR 1 dtr=1 rts=0 break=1 shift=0x5a outputs=0x0f pid=42\n");
    length = BoardFormatEvent(line, sizeof line, 7, "open", -1, &board, 1);
    EXPECT_EQ(std::string(line, length), "7 open - dtr=1 rts=0 break=1 shift=0x5a outputs=0x0f pid=1\n");
    EXPECT_EQ(BoardFormatEvent(line, 20, 7, "open", -1, &board, 1), 0u);
    EXPECT_STREQ(BoardLineName(BOARD_BREAK), "BREAK");
}

}  // namespace
