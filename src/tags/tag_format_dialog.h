// Function 16: the "Tag Format" dialog, in which the user composes a tag address text.
#pragma once

#include <cstdint>

#include "kiv/kiv_abi.h"

namespace kiv {

// Shows the dialog for the TagFormatRequest in the request's argument and writes the composed
// text (at most kTagFormatTextLength characters and a terminator) into its output buffer:
// 0 when the dialog was completed with OK, 53 when no text was produced (a dialog is already
// open, it was cancelled or cannot be shown, or there is no output buffer).
int32_t TagFormatDialog(KivRequest* request);

inline constexpr int kTagFormatTextLength = 5;

}  // namespace kiv
