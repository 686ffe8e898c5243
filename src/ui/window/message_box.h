// The modal message box.
#pragma once

#include <cstdint>

// Shows a platform message box and waits for the user; returns the
// identifier of the button that closed it (IDOK, IDCANCEL, ...), or 0 when
// the box could not be shown. `caption` is the title and `text` the message,
// both NUL-terminated UTF-16; `flags` is the platform's message-box type word
// (0: one OK button, no icon).
//
// While the box is up the calling thread is truly modal: its other visible
// top-level windows are disabled (all but the foreground one, which the box
// takes as its owner when it belongs to this process) and none of them stays
// topmost, so nothing can cover the box. Afterwards each window gets back the
// enabled state and topmost rank it had; a window that was disabled before
// stays disabled. A box shown while another box of the same thread is up
// gives back only what it took itself.
int32_t MessageBoxShow(const char16_t* caption, const char16_t* text, uint32_t flags = 0);
