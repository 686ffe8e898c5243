#include "cli/send_input.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace {

bool AllDigits(const std::string& text, size_t from, int base) {
    if (from >= text.size()) return false;
    for (size_t i = from; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool ok = base == 16 ? std::isxdigit(c) != 0 : base == 2 ? (c == '0' || c == '1') : std::isdigit(c) != 0;
        if (!ok) return false;
    }
    return true;
}

// The number in `text` from `from` on, in `base`, if it is all digits and
// not above `high`. In 64 bits on every platform (long is 32 bits on
// Windows), and checked before each step could pass `high`, so nothing wraps.
bool WholeNumber(const std::string& text, size_t from, int base, uint64_t high, uint64_t* value) {
    if (!AllDigits(text, from, base)) return false;
    uint64_t result = 0;
    for (size_t i = from; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        uint64_t digit = std::isdigit(c) ? static_cast<uint64_t>(c - '0') : static_cast<uint64_t>(std::tolower(c) - 'a' + 10);
        if (digit > high || result > (high - digit) / static_cast<uint64_t>(base)) return false;
        result = result * static_cast<uint64_t>(base) + digit;
    }
    *value = result;
    return true;
}

}  // namespace

PatternWord ParsePattern(const std::string& word, int registers, Pattern* pattern) {
    int base = 10;
    size_t from = 0;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        from = 2;
    } else if (word.size() > 2 && word[0] == '0' && (word[1] == 'b' || word[1] == 'B')) {
        base = 2;
        from = 2;
    }
    // Underscores only between two digits.
    std::string digits;
    for (size_t i = from; i < word.size(); ++i) {
        if (word[i] != '_') {
            digits.push_back(word[i]);
        } else if (i == from || i + 1 == word.size() || word[i + 1] == '_') {
            return PatternWord::BAD;
        }
    }
    if (!AllDigits(digits, 0, base)) return PatternWord::BAD;
    Pattern result(static_cast<size_t>(registers), 0);
    if (base == 10) {
        uint64_t value = 0;
        if (!WholeNumber(digits, 0, 10, UINT64_MAX, &value)) return PatternWord::BAD;
        for (size_t i = 0; i < 8; ++i, value >>= 8) {
            if (!(value & 0xff)) continue;
            if (i >= result.size()) return PatternWord::WIDE;
            result[i] = static_cast<uint8_t>(value);
        }
    } else {
        // From the last digit (LED 1) up, however long the word.
        const int bitsPerDigit = base == 16 ? 4 : 1;
        size_t bit = 0;
        for (size_t i = digits.size(); i-- > 0; bit += bitsPerDigit) {
            unsigned char c = static_cast<unsigned char>(digits[i]);
            unsigned digit = std::isdigit(c) ? static_cast<unsigned>(c - '0') : static_cast<unsigned>(std::tolower(c) - 'a' + 10);
            for (int b = 0; b < bitsPerDigit; ++b) {
                if (!((digit >> b) & 1)) continue;
                size_t at = bit + static_cast<size_t>(b);
                if (at >= 8 * result.size()) return PatternWord::WIDE;
                result[at / 8] = static_cast<uint8_t>(result[at / 8] | (1u << (at % 8)));
            }
        }
    }
    *pattern = std::move(result);
    return PatternWord::OK;
}

bool ParsePattern(const std::string& word, uint8_t* pattern) {
    Pattern chain;
    if (ParsePattern(word, 1, &chain) != PatternWord::OK) return false;
    *pattern = chain[0];
    return true;
}

std::string PatternText(const Pattern& pattern) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string text = "0x";
    for (size_t i = pattern.size(); i-- > 0;) {
        text.push_back(DIGITS[pattern[i] >> 4]);
        text.push_back(DIGITS[pattern[i] & 15]);
    }
    return text;
}

std::string PatternProblem(const std::string& word, PatternWord result, int registers) {
    if (result == PatternWord::WIDE) {
        const int leds = 8 * registers;
        return QuotedWord(word) + " is wider than the chain: " + std::to_string(registers) +
               (registers == 1 ? " register has " : " registers have ") + std::to_string(leds) +
               " LEDs (--registers sets how many are chained)";
    }
    return QuotedWord(word) + " is not a pattern (as 165, 0xA5 or 0b10100101; decimal up to 64 bits, hex or binary up to " +
           std::to_string(8 * registers) + ")";
}

bool ParseMilliseconds(const std::string& word, double low, double high, double* ms) {
    size_t dot = word.find('.');
    std::string whole = word.substr(0, dot);
    std::string fraction = dot == std::string::npos ? std::string() : word.substr(dot + 1);
    if (whole.empty() && fraction.empty()) return false;
    if (!whole.empty() && !AllDigits(whole, 0, 10)) return false;
    if (!fraction.empty() && !AllDigits(fraction, 0, 10)) return false;
    if (whole.size() > 12) return false;
    // Read in the C locale's terms whatever the user's locale says about
    // the decimal point.
    double value = 0;
    for (char c : whole) value = value * 10 + (c - '0');
    double scale = 0.1;
    for (char c : fraction) {
        value += (c - '0') * scale;
        scale /= 10;
    }
    if (value < low || value > high) return false;
    *ms = value;
    return true;
}

bool ParseCount(const std::string& word, int64_t low, int64_t high, int64_t* count) {
    uint64_t value = 0;
    if (high < 0 || !WholeNumber(word, 0, 10, static_cast<uint64_t>(high), &value)) return false;
    if (static_cast<int64_t>(value) < low) return false;
    *count = static_cast<int64_t>(value);
    return true;
}

std::string QuotedWord(const std::string& word) {
    constexpr size_t SHOWN = 24;
    std::string quoted = "'";
    for (size_t i = 0; i < word.size() && i < SHOWN; ++i) {
        unsigned char c = static_cast<unsigned char>(word[i]);
        if (c >= 0x20 && c < 0x7f) {
            quoted.push_back(static_cast<char>(c));
        } else {
            static const char DIGITS[] = "0123456789abcdef";
            quoted += "\\x";
            quoted.push_back(DIGITS[c >> 4]);
            quoted.push_back(DIGITS[c & 15]);
        }
    }
    return quoted + (word.size() > SHOWN ? "'..." : "'");
}

FrameLine ParseFrameLine(const std::string& line, Frame* frame, std::string* badWord, int registers) {
    std::string text = line.substr(0, line.find('#'));
    std::istringstream words(text);
    std::string pattern, hold, extra;
    if (!(words >> pattern)) return FrameLine::EMPTY;
    PatternWord parsed = ParsePattern(pattern, registers, &frame->pattern);
    if (parsed != PatternWord::OK) {
        *badWord = pattern;
        return parsed == PatternWord::WIDE ? FrameLine::WIDE : FrameLine::BAD;
    }
    frame->holdMs = -1;
    if (words >> hold) {
        if (!ParseMilliseconds(hold, 0, MAX_HOLD_MS, &frame->holdMs)) {
            *badWord = hold;
            return FrameLine::BAD;
        }
    }
    if (words >> extra) {
        *badWord = extra;
        return FrameLine::BAD;
    }
    return FrameLine::FRAME;
}
