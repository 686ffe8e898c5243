/* The simulated register board: three port lines wired to a chain of
 * 74HC595s (RTS: SER of the first, DTR: every SRCLK, TXD break: every RCLK,
 * QH' of each into SER of the next), optionally through an inverter, and the
 * text line that records each change. Pure C, no OS calls: the preload
 * library drives it from the Wine process, the tests drive it directly.
 *
 * Stages and outputs are numbered 1 to 8N over a chain of N registers:
 * the first register's QA is output 1, its QH output 8, the second
 * register's QA output 9, and so on. A clock moves every stage k into stage
 * k+1 and SER into stage 1; stage 8N is the last register's QH', the bit
 * that leaves the chain. The latch copies stage k to output k.
 *
 * A stuck stage k (BoardStickStage) is a shift-register stage whose level
 * never changes: whatever is clocked into it, it holds its level, and the
 * stage after it takes that level at every clock. Every bit on its way to
 * outputs k+1 to 8N passes through it, so after a whole frame outputs k to
 * 8N all show the stuck level at the latch, outputs 1 to k-1 what was
 * sent. It is the fault a loopback from QH' can see, and what it sees is
 * the level, not k: once 8N-k clocks have passed since power-up, QH' reads
 * the stuck level whatever goes in. Before that the stages beyond k still
 * hold what they held at power-up, 0: on a fresh board stuck at 1, QH'
 * reads 0 until the (8N-k)th clock and 1 from then on (at once for k = 8N);
 * stuck at 0, it reads 0 throughout. A stuck output pin, which leaves its
 * stage alone, is invisible to a loopback and is not modelled. */
#ifndef SHIFTLAMP_BOARD_REGISTER_H
#define SHIFTLAMP_BOARD_REGISTER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Port lines, as bits of BoardState.lines. */
enum {
    BOARD_DTR = 1,   /* drives SRCLK, the shift clock */
    BOARD_RTS = 2,   /* drives SER, the serial data input */
    BOARD_BREAK = 4, /* TXD held in break drives RCLK, the latch */
    BOARD_LINES = 7
};

enum {
    BOARD_MAX_REGISTERS = 128,
    /* Room for the longest trace line BoardFormatEvent writes. */
    BOARD_EVENT_SIZE = 160 + 4 * BOARD_MAX_REGISTERS
};

struct BoardState {
    unsigned lines;     /* BOARD_* bits of the port lines now set; a closed,
                           never opened port has all of them clear */
    int invert;         /* 1: an inverter sits between every line and its pin */
    unsigned registers; /* N, the registers in the chain: 1 to 128 */
    unsigned stuckStage; /* k of the stage that never changes; 0: none */
    int stuckLevel;      /* its level, 0 or 1 */
    /* Byte r holds stages (and outputs) 8r+1 to 8r+8, stage 8r+1 in bit 0;
     * bytes from `registers` on stay zero. */
    uint8_t shift[BOARD_MAX_REGISTERS];   /* the shift registers */
    uint8_t outputs[BOARD_MAX_REGISTERS]; /* the storage registers, which the
                                             outputs show */
};

/* Power-up of a one-register board: every line clear, both registers zero. */
void BoardInit(struct BoardState* board, int invert);

/* Power-up of a chain of `registers` (out of 1 to 128: one). */
void BoardInitChain(struct BoardState* board, int invert, unsigned registers);

/* Sticks stage `stage` (1 to 8N) at `level` from now on. Returns 0, and
 * changes nothing, when the chain has no such stage. */
int BoardStickStage(struct BoardState* board, unsigned stage, int level);

/* The level of the last register's QH' (stage 8N), 0 or 1. */
int BoardQh(const struct BoardState* board);

/* Sets the port lines to `lines` (BOARD_* bits) all at the same moment and
 * returns the bits that changed. Only rising edges at the pins act. When
 * several pins change at once the register sees them as on real hardware
 * with the clocks wired together: SRCLK samples SER as it was before, and
 * RCLK stores the shift register as it was before the shift. */
unsigned BoardSetLines(struct BoardState* board, unsigned lines);

/* The trace line of one event, newline included:
 *   "<t_ns> <event> <level> dtr=D rts=R break=B shift=0xHH outputs=0xHH pid=P"
 * `event` is DTR, RTS, BREAK, open or close; `level` is 0 or 1 for a line
 * and -1 (written "-") for the others. shift and outputs are 8N-bit numbers
 * in 2N hexadecimal digits, bit k-1 being stage or output k: the last
 * register's digits come first, and a one-register board writes two.
 * Returns the length written, or 0 when it does not fit in `size` bytes
 * (BOARD_EVENT_SIZE always does). */
size_t BoardFormatEvent(char* buffer, size_t size, uint64_t timeNs, const char* event, int level,
                        const struct BoardState* board, long pid);

/* The name a line bit has in the trace ("DTR", "RTS", "BREAK"). */
const char* BoardLineName(unsigned line);

#ifdef __cplusplus
}
#endif

#endif
