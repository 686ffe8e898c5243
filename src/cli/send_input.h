// The words of a shiftlamp-send command line and of its standard input:
// patterns, times in milliseconds and frame lines. Pure functions; a word
// that is not what it should be is refused, never guessed at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The LED levels of a chain, one byte a register: bit j of byte i is LED
// 8i+j+1, output j+1 (QA to QH) of the i-th register from the port.
using Pattern = std::vector<uint8_t>;

// One frame: its LED levels and how long it stays latched before the next
// frame starts.
struct Frame {
    Pattern pattern;
    double holdMs;  // negative: the run's --hold-ms
};

// The most registers a chain may have, and so 8 * this many LEDs.
constexpr int MAX_REGISTERS = 128;

enum class PatternWord { OK, BAD, WIDE };

// A pattern for a chain of `registers`: decimal ("165", up to 64 bits),
// "0xA5" or "0b10100101" (up to 8 bits a register), with single
// underscores between digits ("0xA5_0F"). WIDE: a number with a bit set
// above the chain's last LED. `pattern` is set only on OK.
PatternWord ParsePattern(const std::string& word, int registers, Pattern* pattern);

// One register's eight LEDs.
bool ParsePattern(const std::string& word, uint8_t* pattern);

// "0x" and two hex digits a register, the last register first.
std::string PatternText(const Pattern& pattern);

// What is wrong with `word` as a pattern for `registers`, for a message.
std::string PatternProblem(const std::string& word, PatternWord result, int registers);

// A decimal number of milliseconds from `low` to `high`, fractions allowed
// ("0.25"); no signs, exponents, hex or spaces.
bool ParseMilliseconds(const std::string& word, double low, double high, double* ms);

// A whole number from `low` to `high`.
bool ParseCount(const std::string& word, int64_t low, int64_t high, int64_t* count);

enum class FrameLine { FRAME, EMPTY, BAD, WIDE };

// One line of standard input for a chain of `registers`: "PATTERN
// [HOLD_MS]", blank, or a comment starting with '#' (also after the frame).
// On BAD, `badWord` is the word that was not understood; on WIDE, the
// pattern wider than the chain.
FrameLine ParseFrameLine(const std::string& line, Frame* frame, std::string* badWord, int registers = 1);

// The longest hold a frame may ask for: a day.
constexpr double MAX_HOLD_MS = 86400000.0;

// The longest line of standard input, in bytes without its line end: a
// frame line is a few words, and a longer one is refused as soon as it
// passes this, whatever follows, so that an endless line costs no memory.
constexpr size_t MAX_LINE_BYTES = 4096;

// `word` as a message quotes it: at most its first 24 bytes, "..." after
// them if there were more, and every byte outside printable ASCII as \xHH,
// so that no terminal takes a bad word for a control sequence.
std::string QuotedWord(const std::string& word);
