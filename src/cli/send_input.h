// The words of a shiftlamp-send command line and of its standard input:
// patterns, times in milliseconds and frame lines. Pure functions; a word
// that is not what it should be is refused, never guessed at.
#pragma once

#include <cstdint>
#include <string>

// One frame: the eight LED levels (bit k-1 is LED k, register output k) and
// how long it stays latched before the next frame starts.
struct Frame {
    uint8_t pattern;
    double holdMs;  // negative: the run's --hold-ms
};

// "165", "0xA5" or "0b10100101", 0 to 255. False for anything else.
bool ParsePattern(const std::string& word, uint8_t* pattern);

// A decimal number of milliseconds from `low` to `high`, fractions allowed
// ("0.25"); no signs, exponents, hex or spaces.
bool ParseMilliseconds(const std::string& word, double low, double high, double* ms);

// A whole number from `low` to `high`.
bool ParseCount(const std::string& word, int64_t low, int64_t high, int64_t* count);

enum class FrameLine { FRAME, EMPTY, BAD };

// One line of standard input: "PATTERN [HOLD_MS]", blank, or a comment
// starting with '#' (also after the frame). On BAD, `badWord` is the word
// that was not understood.
FrameLine ParseFrameLine(const std::string& line, Frame* frame, std::string* badWord);

// The longest hold a frame may ask for: a day.
constexpr double MAX_HOLD_MS = 86400000.0;
