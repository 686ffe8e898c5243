// The text scratch area: one process-wide UTF-16 buffer in which every text
// is built, and the text heap that owns the texts committed out of it.
//
// Positions are byte offsets into the buffer, never addresses: the buffer
// moves when it grows, so an address formed before an append may be stale
// afterwards. Form buffer + mark (TextScratchAt) only once the text is
// finished.
//
// Building a text:
//
//     int32_t mark = TextScratch().position;
//     TextScratchAppend(u"COM");
//     TextScratchAppendNumber(port);
//     TextScratchReserve(1, TextScratch().position);  // protect the terminator
//     Consume(TextScratchAt(mark));
//     TextScratchSetPosition(mark);
//
// or TextScratchCommit(&variable, mark) to keep it. Marks nest: a text being
// built may be interrupted by building another, as long as the inner one
// sets the position back to its own mark before the outer one goes on.
//
// Text results: an operation that returns a text is entered with the
// caller's position P. It reserves n units there (TextScratchReserve(n, P)),
// writes k <= n - 1 units and a terminator, and gives back the n - k units
// it did not use (TextScratchGiveBack), so the position ends on the
// terminator exactly as after TextScratchAppend. It returns
// TextScratchAt(P); the caller consumes that text or commits it from mark P.
// When the area cannot grow, TextScratchReserve returns null and the
// operation returns the empty text: the position is still P and a NUL
// stands there.
//
// Growth failure: an operation that cannot grow the buffer writes nothing
// past the NUL it leaves at the position, keeps position and capacity as
// they were, and returns 0 (null); the text built so far stays intact and
// terminated, only the piece that did not fit is missing.
//
// One thread only; there is no lock.
#pragma once

#include <cstdint>

struct OsHeap;

// The text heap: every committed text lives here until TextFree or
// TextScratchEnd. Null before TextScratchInit and after TextScratchEnd.
extern OsHeap* StringHeap;

struct TextScratchArea {
    char16_t* buffer;  // on StringHeap; at least `capacity` bytes (capacity + 10 once grown); null only
                       // before TextScratchInit, after TextScratchEnd, or while the first block is missing
    int32_t capacity;  // the byte count growth is measured against: 16 at start, end + 16384 after each
                       // growth; never shrinks
    int32_t position;  // byte offset of the next unit to write; even, and 0 <= position <= capacity - 4
                       // whenever buffer is not null, so the unit at the position is always writable
};

// The area's state, read-only; change it only through the calls below.
const TextScratchArea& TextScratch();

// The address of byte offset `offset` in the buffer as it is now.
inline char16_t* TextScratchAt(int32_t offset) { return TextScratch().buffer + offset / 2; }

// Creates the text heap and a 16-byte buffer; position 0. Returns 0 when
// either cannot be had; the area then stays usable and gets its buffer at
// the first growth that succeeds.
int32_t TextScratchInit();
// Frees the buffer and destroys the text heap, and with it every text still
// held by a variable.
void TextScratchEnd();

// Makes room for `n` units at byte offset `offset` (callers pass the current
// position), sets the position to offset + 2n and returns buffer + offset.
// Grows when offset + 2n >= capacity - 4: capacity := offset + 2n + 16384,
// buffer reallocated to capacity + 10 bytes, contents kept. Null on failure
// (see above), or for a negative n or an offset that is not a position the
// area could hold; nothing changes then except the NUL at the position.
char16_t* TextScratchReserve(int32_t n, int32_t offset);

// Appends a NUL-terminated text; the position ends on the copy's terminator.
// A null text writes a NUL at the position and leaves it unchanged. The text
// may lie in the buffer itself. 1 on success, 0 when the area cannot grow.
int32_t TextScratchAppend(const char16_t* text);

// Appends the signed decimal form of `value` ("-" for negatives, no leading
// zeros, no plus sign); the position ends on its terminator. 1 or 0.
int32_t TextScratchAppendNumber(int64_t value);

// position -= 2n. Returns 0 and changes nothing if n is negative or more
// than the position holds.
int32_t TextScratchGiveBack(int32_t n);

// position := offset and a NUL is written there. Returns 0 and changes
// nothing unless offset is even and 0 <= offset <= capacity - 4.
int32_t TextScratchSetPosition(int32_t offset);

// Moves the text from byte offset `mark` to the position into `*variable`
// and sets the position back to mark. The variable's block on the text heap
// is resized (or, if it held null, allocated) to the text's bytes + 10 and
// holds the units and a NUL. Returns the variable's new text, or null: on a
// failed allocation the variable keeps its old text, the text being
// committed is dropped and the position still returns to mark, so enclosing
// texts stay whole; a mark that is odd, negative or past the position
// changes nothing.
char16_t* TextScratchCommit(char16_t** variable, int32_t mark);

// Frees a committed text; null is ignored.
void TextFree(char16_t* text);
