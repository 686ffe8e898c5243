#include "ui/window/window_property.h"

#include "ui/window/window_module.h"

namespace {

// Open addressing with linear probing; deletion shifts the following run
// back, so no slot is ever a tombstone. A fixed size: a program has a few
// dozen windows, and a full table only makes reads slower.
constexpr uint32_t kSlots = 256;

struct Entry {
    HWND window;                        // null: a free slot
    HANDLE values[PROPERTY_KEY_COUNT];  // null: the property is not set
};

Entry g_entries[kSlots];
uint32_t g_used = 0;
// Set once a property could not be noted: from then on the table does not
// know every window that has one, and takes no new window, since the
// window's other properties may be unknown to it.
bool g_overflowed = false;

uint32_t Home(HWND window) {
    // Handles differ in their low bits; the multiplier spreads them.
    return (static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)) * 2654435761u) >> 24;
}
static_assert(kSlots == 256, "Home yields the top 8 bits");

Entry* Find(HWND window) {
    for (uint32_t i = Home(window);; i = (i + 1) % kSlots) {
        if (g_entries[i].window == window) return &g_entries[i];
        if (!g_entries[i].window) return nullptr;
    }
}

Entry* FindOrAdd(HWND window) {
    if (Entry* entry = Find(window)) return entry;
    // One slot always stays free, so that every probe ends.
    if (g_used + 1 >= kSlots) return nullptr;
    uint32_t i = Home(window);
    while (g_entries[i].window) i = (i + 1) % kSlots;
    g_entries[i] = Entry{window, {}};
    ++g_used;
    return &g_entries[i];
}

void Erase(Entry* entry) {
    uint32_t hole = static_cast<uint32_t>(entry - g_entries);
    g_entries[hole] = Entry{};
    --g_used;
    // Every later entry of the run whose home is not between the hole and
    // its own slot moves into the hole.
    for (uint32_t i = (hole + 1) % kSlots; g_entries[i].window; i = (i + 1) % kSlots) {
        const uint32_t home = Home(g_entries[i].window);
        const bool reachable = hole <= i ? (home <= hole || home > i) : (home <= hole && home > i);
        if (!reachable) continue;
        g_entries[hole] = g_entries[i];
        g_entries[i] = Entry{};
        hole = i;
    }
}

}  // namespace

void WindowPropertyName(WindowPropertyKey key, wchar_t* text) {
    switch (key) {
        case PROPERTY_WINDOW_ID: lstrcpyW(text, L"ZK_WindowID"); break;
        case PROPERTY_GADGET_ID: lstrcpyW(text, L"ZK_ID"); break;
        default: WindowNumberedName(text, L"ZK_GadgetStack_", reinterpret_cast<intptr_t>(WindowModule())); break;
    }
}

BOOL WindowPropertySet(HWND window, WindowPropertyKey key, HANDLE value) {
    wchar_t name[40];
    WindowPropertyName(key, name);
    const BOOL set = SetPropW(window, name, value);
    if (!set) return set;
    if (Entry* entry = g_overflowed ? Find(window) : FindOrAdd(window))
        entry->values[key] = value;
    else
        g_overflowed = true;
    return set;
}

HANDLE WindowPropertyGet(HWND window, WindowPropertyKey key) {
    if (!window) return nullptr;
    if (const Entry* entry = Find(window)) return entry->values[key];
    if (!g_overflowed) return nullptr;
    wchar_t name[40];
    WindowPropertyName(key, name);
    return GetPropW(window, name);
}

void WindowPropertyRemove(HWND window, WindowPropertyKey key) {
    wchar_t name[40];
    WindowPropertyName(key, name);
    RemovePropW(window, name);
    Entry* entry = window ? Find(window) : nullptr;
    if (!entry) return;
    entry->values[key] = nullptr;
    for (HANDLE value : entry->values)
        if (value) return;
    Erase(entry);
}

void WindowPropertiesForget(HWND window) {
    if (Entry* entry = window ? Find(window) : nullptr) Erase(entry);
}
