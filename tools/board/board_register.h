/* The simulated register board: three port lines wired to a 74HC595
 * (RTS: SER, DTR: SRCLK, TXD break: RCLK), optionally through an inverter,
 * and the text line that records each change. Pure C, no OS calls: the
 * preload library drives it from the Wine process, the tests drive it
 * directly. */
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

struct BoardState {
    unsigned lines;   /* BOARD_* bits of the port lines now set; a closed,
                         never opened port has all of them clear */
    int invert;       /* 1: an inverter sits between every line and its pin */
    uint8_t shift;    /* the shift register; bit 0 is the stage after SER */
    uint8_t outputs;  /* the storage register, which the outputs show:
                         bit k-1 is output k (QA bit 0, QH bit 7) */
};

/* Power-up: every line clear, both registers zero. */
void BoardInit(struct BoardState* board, int invert);

/* Sets the port lines to `lines` (BOARD_* bits) all at the same moment and
 * returns the bits that changed. Only rising edges at the pins act. When
 * several pins change at once the register sees them as on real hardware
 * with the clocks wired together: SRCLK samples SER as it was before, and
 * RCLK stores the shift register as it was before the shift. */
unsigned BoardSetLines(struct BoardState* board, unsigned lines);

/* The trace line of one event, newline included:
 *   "<t_ns> <event> <level> dtr=D rts=R break=B shift=0xHH outputs=0xHH pid=P"
 * `event` is DTR, RTS, BREAK, open or close; `level` is 0 or 1 for a line
 * and -1 (written "-") for the others. Returns the length written, or 0
 * when it does not fit in `size` bytes. */
size_t BoardFormatEvent(char* buffer, size_t size, uint64_t timeNs, const char* event, int level,
                        const struct BoardState* board, long pid);

/* The name a line bit has in the trace ("DTR", "RTS", "BREAK"). */
const char* BoardLineName(unsigned line);

#ifdef __cplusplus
}
#endif

#endif
