#include "board_register.h"

#include <stdio.h>
#include <string.h>

void BoardInitChain(struct BoardState* board, int invert, unsigned registers) {
    memset(board, 0, sizeof *board);
    board->invert = invert ? 1 : 0;
    board->registers = registers >= 1 && registers <= BOARD_MAX_REGISTERS ? registers : 1;
}

void BoardInit(struct BoardState* board, int invert) { BoardInitChain(board, invert, 1); }

static void SetStage(uint8_t* stages, unsigned stage, int level) {
    const uint8_t bit = (uint8_t)(1u << ((stage - 1) % 8));
    if (level)
        stages[(stage - 1) / 8] |= bit;
    else
        stages[(stage - 1) / 8] &= (uint8_t)~bit;
}

int BoardStickStage(struct BoardState* board, unsigned stage, int level) {
    if (stage < 1 || stage > 8 * board->registers) return 0;
    board->stuckStage = stage;
    board->stuckLevel = level ? 1 : 0;
    SetStage(board->shift, stage, board->stuckLevel);
    return 1;
}

int BoardQh(const struct BoardState* board) { return board->shift[board->registers - 1] >> 7 & 1; }

unsigned BoardSetLines(struct BoardState* board, unsigned lines) {
    const unsigned inversion = board->invert ? BOARD_LINES : 0;
    const unsigned before = board->lines & BOARD_LINES;
    const unsigned after = lines & BOARD_LINES;
    const unsigned pinsBefore = before ^ inversion;
    const unsigned rising = ~pinsBefore & (after ^ inversion);
    unsigned r;

    /* The latch takes the stages as they were before this moment's clock. */
    if (rising & BOARD_BREAK) memcpy(board->outputs, board->shift, board->registers);
    if (rising & BOARD_DTR) {
        unsigned carry = (pinsBefore & BOARD_RTS) ? 1u : 0u;
        for (r = 0; r < board->registers; ++r) {
            const unsigned out = board->shift[r] >> 7;
            board->shift[r] = (uint8_t)(board->shift[r] << 1 | carry);
            carry = out;
        }
        if (board->stuckStage) SetStage(board->shift, board->stuckStage, board->stuckLevel);
    }
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

/* "0x" and the chain's bytes, the last register's first. */
static void Hex(char* text, const uint8_t* bytes, unsigned count) {
    static const char digits[] = "0123456789abcdef";
    unsigned r;
    *text++ = '0';
    *text++ = 'x';
    for (r = count; r-- > 0;) {
        *text++ = digits[bytes[r] >> 4];
        *text++ = digits[bytes[r] & 15];
    }
    *text = 0;
}

size_t BoardFormatEvent(char* buffer, size_t size, uint64_t timeNs, const char* event, int level,
                        const struct BoardState* board, long pid) {
    char levelText[2] = {level < 0 ? '-' : (char)('0' + (level & 1)), 0};
    char shift[3 + 2 * BOARD_MAX_REGISTERS], outputs[3 + 2 * BOARD_MAX_REGISTERS];
    int length;
    Hex(shift, board->shift, board->registers);
    Hex(outputs, board->outputs, board->registers);
    length = snprintf(buffer, size, "%llu %s %s dtr=%u rts=%u break=%u shift=%s outputs=%s pid=%ld\n",
                      (unsigned long long)timeNs, event, levelText, (board->lines & BOARD_DTR) ? 1u : 0u,
                      (board->lines & BOARD_RTS) ? 1u : 0u, (board->lines & BOARD_BREAK) ? 1u : 0u, shift,
                      outputs, pid);
    if (length < 0 || (size_t)length >= size) return 0;
    return (size_t)length;
}
