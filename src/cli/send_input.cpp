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

bool ParsePattern(const std::string& word, uint8_t* pattern) {
    uint64_t value = 0;
    bool ok;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        ok = WholeNumber(word, 2, 16, 255, &value);
    } else if (word.size() > 2 && word[0] == '0' && (word[1] == 'b' || word[1] == 'B')) {
        ok = WholeNumber(word, 2, 2, 255, &value);
    } else {
        ok = WholeNumber(word, 0, 10, 255, &value);
    }
    if (ok) *pattern = static_cast<uint8_t>(value);
    return ok;
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

FrameLine ParseFrameLine(const std::string& line, Frame* frame, std::string* badWord) {
    std::string text = line.substr(0, line.find('#'));
    std::istringstream words(text);
    std::string pattern, hold, extra;
    if (!(words >> pattern)) return FrameLine::EMPTY;
    if (!ParsePattern(pattern, &frame->pattern)) {
        *badWord = pattern;
        return FrameLine::BAD;
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
