// POSIX systems have no dialogs: the driver's dialog resources exist only in its Windows build.
#include "platform/modal_dialog.h"

namespace kiv::platform {

bool DialogsAvailable() {
    return false;
}

bool WindowWithCaptionExists(const char* /*caption*/) {
    return false;
}

int RunModalDialog(int /*resourceId*/, DialogHandler& /*handler*/, uint32_t* systemError) {
    if (systemError != nullptr) {
        *systemError = 0;
    }
    return kDialogNotShown;
}

}  // namespace kiv::platform
