#include "platform/text_scratch.h"

#include <cstdint>
#include <cstring>

#include "os/os.h"

OsHeap* StringHeap = nullptr;

namespace {

constexpr int32_t kInitialCapacity = 16;
constexpr int32_t kGrowthMargin = 16384;  // bytes added past the end that made the buffer grow
constexpr int32_t kBufferSlack = 10;      // bytes allocated past the capacity once grown
constexpr int32_t kCommitSlack = 10;      // bytes allocated past a committed text's units

TextScratchArea g_area;
int32_t g_bufferBytes;  // bytes actually allocated for g_area.buffer (16 at start, capacity + 10 once grown)

bool IsValidOffset(int64_t offset) {
    if (offset < 0 || (offset & 1)) return false;
    if (!g_area.buffer) return offset == 0;
    return offset <= g_area.capacity - 4;
}

// Leaves the text so far terminated after a call that could not go on.
void TerminateAtPosition() {
    if (g_area.buffer) g_area.buffer[g_area.position / 2] = 0;
}

// Digits of `magnitude`, most significant first, written to `out`; returns
// how many.
template <typename Unsigned>
int32_t WriteDigits(char16_t* out, Unsigned magnitude) {
    char16_t digits[20];
    int32_t count = 0;
    do {
        digits[count++] = static_cast<char16_t>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    for (int32_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
    return count;
}

int32_t WriteNumber32(char16_t* out, int32_t value) {
    if (value == INT32_MIN) {
        static const char16_t kMostNegative[] = u"-2147483648";
        std::memcpy(out, kMostNegative, sizeof kMostNegative - sizeof(char16_t));
        return 11;
    }
    if (value < 0) {
        out[0] = u'-';
        return 1 + WriteDigits(out + 1, static_cast<uint32_t>(-value));
    }
    return WriteDigits(out, static_cast<uint32_t>(value));
}

int32_t WriteNumber64(char16_t* out, int64_t value) {
    if (value < 0) {
        out[0] = u'-';
        return 1 + WriteDigits(out + 1, uint64_t{0} - static_cast<uint64_t>(value));
    }
    return WriteDigits(out, static_cast<uint64_t>(value));
}

}  // namespace

const TextScratchArea& TextScratch() { return g_area; }

int32_t TextScratchInit() {
    g_area = TextScratchArea{};
    g_bufferBytes = 0;
    StringHeap = OsHeapCreate(4096);
    if (!StringHeap) return 0;
    g_area.buffer = static_cast<char16_t*>(OsHeapAlloc(StringHeap, kInitialCapacity));
    if (!g_area.buffer) return 0;  // capacity 0: the first reservation allocates it
    g_area.capacity = kInitialCapacity;
    g_bufferBytes = kInitialCapacity;
    return 1;
}

void TextScratchEnd() {
    if (StringHeap) {
        OsHeapFree(StringHeap, g_area.buffer);
        OsHeapDestroy(StringHeap);
    }
    StringHeap = nullptr;
    g_area = TextScratchArea{};
    g_bufferBytes = 0;
}

char16_t* TextScratchReserve(int32_t n, int32_t offset) {
    if (n < 0 || !IsValidOffset(offset)) {
        TerminateAtPosition();
        return nullptr;
    }
    int64_t end = int64_t{offset} + 2 * int64_t{n};
    if (end >= int64_t{g_area.capacity} - 4) {
        int64_t capacity = end + kGrowthMargin;
        if (capacity + kBufferSlack > INT32_MAX) {
            TerminateAtPosition();
            return nullptr;
        }
        auto* buffer = static_cast<char16_t*>(
            OsHeapReAlloc(StringHeap, g_area.buffer, static_cast<size_t>(capacity + kBufferSlack)));
        if (!buffer) {
            TerminateAtPosition();
            return nullptr;
        }
        g_area.buffer = buffer;
        g_area.capacity = static_cast<int32_t>(capacity);
        g_bufferBytes = g_area.capacity + kBufferSlack;
    }
    g_area.position = static_cast<int32_t>(end);
    return g_area.buffer + offset / 2;
}

int32_t TextScratchAppend(const char16_t* text) {
    if (!text) {
        if (!g_area.buffer) return 0;
        TerminateAtPosition();
        return 1;
    }
    // A text inside the buffer itself is kept by its offset: growing may
    // move the buffer under it.
    auto address = reinterpret_cast<uintptr_t>(text);
    auto base = reinterpret_cast<uintptr_t>(g_area.buffer);
    bool inBuffer = g_area.buffer && address >= base && address < base + g_bufferBytes;
    size_t limit = inBuffer ? (base + g_bufferBytes - address) / sizeof(char16_t) : SIZE_MAX;
    size_t length = 0;
    while (length < limit && text[length] != 0) ++length;
    if (length >= INT32_MAX / 2) {
        TerminateAtPosition();
        return 0;
    }

    int32_t units = static_cast<int32_t>(length);
    size_t sourceOffset = address - base;
    char16_t* out = TextScratchReserve(units + 1, g_area.position);
    if (!out) return 0;
    const char16_t* source = inBuffer ? g_area.buffer + sourceOffset / sizeof(char16_t) : text;
    std::memmove(out, source, length * sizeof(char16_t));
    out[units] = 0;
    g_area.position -= 2;
    return 1;
}

int32_t TextScratchAppendNumber(int64_t value) {
    bool narrow = value >= INT32_MIN && value <= INT32_MAX;
    int32_t reserved = narrow ? 32 : 64;
    char16_t* out = TextScratchReserve(reserved, g_area.position);
    if (!out) return 0;
    int32_t used = narrow ? WriteNumber32(out, static_cast<int32_t>(value)) : WriteNumber64(out, value);
    g_area.position -= 2 * (reserved - used);
    TerminateAtPosition();
    return 1;
}

int32_t TextScratchGiveBack(int32_t n) {
    if (n < 0 || 2 * int64_t{n} > g_area.position) return 0;
    g_area.position -= 2 * n;
    return 1;
}

int32_t TextScratchSetPosition(int32_t offset) {
    if (!g_area.buffer || !IsValidOffset(offset)) return 0;
    g_area.position = offset;
    TerminateAtPosition();
    return 1;
}

char16_t* TextScratchCommit(char16_t** variable, int32_t mark) {
    if (!variable || !g_area.buffer || mark < 0 || (mark & 1) || mark > g_area.position) return nullptr;
    int32_t bytes = g_area.position - mark;
    size_t blockBytes = static_cast<size_t>(bytes) + kCommitSlack;
    auto* block = static_cast<char16_t*>(*variable ? OsHeapReAlloc(StringHeap, *variable, blockBytes)
                                                   : OsHeapAlloc(StringHeap, blockBytes));
    g_area.position = mark;
    if (!block) {
        TerminateAtPosition();
        return nullptr;
    }
    std::memcpy(block, g_area.buffer + mark / 2, static_cast<size_t>(bytes));
    block[bytes / 2] = 0;
    *variable = block;
    return block;
}

void TextFree(char16_t* text) {
    if (text && StringHeap) OsHeapFree(StringHeap, text);
}
