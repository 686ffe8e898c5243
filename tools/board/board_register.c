#include "board_register.h"

#include <stdio.h>

void BoardInit(struct BoardState* board, int invert) {
    board->lines = 0;
    board->invert = invert ? 1 : 0;
    board->shift = 0;
    board->outputs = 0;
}

unsigned BoardSetLines(struct BoardState* board, unsigned lines) {
    const unsigned inversion = board->invert ? BOARD_LINES : 0;
    const unsigned before = board->lines & BOARD_LINES;
    const unsigned after = lines & BOARD_LINES;
    const unsigned pinsBefore = before ^ inversion;
    const unsigned rising = ~pinsBefore & (after ^ inversion);
    const uint8_t shifted = board->shift;

    if (rising & BOARD_DTR)
        board->shift = (uint8_t)(shifted << 1 | ((pinsBefore & BOARD_RTS) ? 1u : 0u));
    if (rising & BOARD_BREAK) board->outputs = shifted;
    board->lines = after;
    return before ^ after;
}

const char* BoardLineName(unsigned line) {
    switch (line) {
        case BOARD_DTR: return "DTR";
        case BOARD_RTS: return "RTS";
        case BOARD_BREAK: return "BREAK";
        default: return "?";
    }
}

size_t BoardFormatEvent(char* buffer, size_t size, uint64_t timeNs, const char* event, int level,
                        const struct BoardState* board, long pid) {
    char levelText[2] = {level < 0 ? '-' : (char)('0' + (level & 1)), 0};
    int length = snprintf(buffer, size, "%llu %s %s dtr=%u rts=%u break=%u shift=0x%02x outputs=0x%02x pid=%ld\n",
                          (unsigned long long)timeNs, event, levelText, (board->lines & BOARD_DTR) ? 1u : 0u,
                          (board->lines & BOARD_RTS) ? 1u : 0u, (board->lines & BOARD_BREAK) ? 1u : 0u,
                          (unsigned)board->shift, (unsigned)board->outputs, pid);
    if (length < 0 || (size_t)length >= size) return 0;
    return (size_t)length;
}
