// Modal dialogs over the Win32 dialog manager.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/modal_dialog.h"

namespace kiv::platform {

namespace {

// A byte of this module; its address tells GetModuleHandleExA which module the code runs in.
const char kModuleMarker = 0;

HMODULE OwnModule() {
    HMODULE module = nullptr;
    const DWORD flags =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (GetModuleHandleExA(flags, &kModuleMarker, &module) == FALSE) {
        return nullptr;
    }
    return module;
}

ControlEvent EventOf(WORD notification) {
    switch (notification) {
    case BN_CLICKED: return ControlEvent::Clicked;
    case CBN_SELCHANGE: return ControlEvent::SelectionChanged;
    default: return ControlEvent::Other;
    }
}

class Win32Controls final : public DialogControls {
public:
    explicit Win32Controls(HWND window) : window_(window) {}

    void AddListItem(int control, const char* text) override {
        SendDlgItemMessageA(window_, control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    void Click(int control) override { SendDlgItemMessageA(window_, control, BM_CLICK, 0, 0); }
    void Enable(int control, bool enabled) override {
        EnableWindow(GetDlgItem(window_, control), enabled ? TRUE : FALSE);
    }
    void Text(int control, char* buffer, size_t size) override {
        if (size == 0) {
            return;
        }
        buffer[0] = '\0';
        const int limit = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
        GetDlgItemTextA(window_, control, buffer, limit);
        buffer[size - 1] = '\0';
    }
    void ShowError(const char* text, const char* caption) override {
        MessageBoxA(window_, text, caption, MB_OK);
    }
    void End(int result) override { EndDialog(window_, result); }

private:
    HWND window_;
};

// The handler travels through the dialog manager as an integer: the LPARAM of WM_INITDIALOG,
// then the window's DWLP_USER value.
DialogHandler* HandlerOf(LONG_PTR value) {
    return reinterpret_cast<DialogHandler*>(value);  // NOLINT(performance-no-int-to-ptr)
}

INT_PTR CALLBACK DialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(window, DWLP_USER, lParam);
        Win32Controls controls(window);
        HandlerOf(lParam)->Opened(controls);
        return TRUE;
    }
    if (message == WM_COMMAND) {
        DialogHandler* handler = HandlerOf(GetWindowLongPtrA(window, DWLP_USER));
        if (handler == nullptr) {
            return FALSE;  // a control's notice while the dialog is still being made
        }
        Win32Controls controls(window);
        handler->Command(controls, LOWORD(wParam), EventOf(HIWORD(wParam)));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

bool DialogsAvailable() {
    return true;
}

bool WindowWithCaptionExists(const char* caption) {
    return FindWindowA(nullptr, caption) != nullptr;
}

int RunModalDialog(int resourceId, DialogHandler& handler, uint32_t* systemError) {
    const auto notShown = [systemError] {
        if (systemError != nullptr) {
            *systemError = GetLastError();
        }
        return kDialogNotShown;
    };
    HMODULE module = OwnModule();
    if (module == nullptr) {
        return notShown();
    }
    const INT_PTR result = DialogBoxParamA(module, MAKEINTRESOURCEA(resourceId), nullptr,
                                           DialogProcedure, reinterpret_cast<LPARAM>(&handler));
    return result == -1 ? notShown() : static_cast<int>(result);
}

}  // namespace kiv::platform
