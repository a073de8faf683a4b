// Modal dialogs from the driver's own resources. Windows shows them; POSIX systems have none.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kiv::platform {

// What happened to a control of an open dialog.
enum class ControlEvent { Clicked, SelectionChanged, Other };

// The controls of an open dialog, by control id.
class DialogControls {
public:
    virtual ~DialogControls() = default;
    // Adds a text to a list (a combo box, which sorts it if its style says so).
    virtual void AddListItem(int control, const char* text) = 0;
    // Clicks a button as the user would; the dialog's handler hears of it.
    virtual void Click(int control) = 0;
    virtual void Enable(int control, bool enabled) = 0;
    // The control's text, cut to size - 1 characters and always terminated.
    virtual void Text(int control, char* buffer, size_t size) = 0;
    // A message box with an OK button, modal to the dialog; returns once it is closed.
    virtual void ShowError(const char* text, const char* caption) = 0;
    // Closes the dialog; RunModalDialog returns the result.
    virtual void End(int result) = 0;
};

// What a dialog does: filled in when it opens, told of every command of its controls.
class DialogHandler {
public:
    virtual ~DialogHandler() = default;
    virtual void Opened(DialogControls& controls) = 0;
    virtual void Command(DialogControls& controls, int control, ControlEvent event) = 0;
};

// Whether this system shows dialogs at all.
bool DialogsAvailable();

// Whether a top-level window with exactly this caption exists, in any process.
bool WindowWithCaptionExists(const char* caption);

inline constexpr int kDialogNotShown = -1;

// Shows the dialog template `resourceId` of the driver's own module modally, without an owner
// window, and returns the result that the handler passed to End, or kDialogNotShown. The module
// is the one this code is linked into, found by an address inside it, so that a driver library
// that was renamed or loaded from elsewhere still finds its own resources. When the dialog is not
// shown, 'systemError' (when given) receives the system's reason (GetLastError; 0 where the
// system has no dialogs).
int RunModalDialog(int resourceId, DialogHandler& handler, uint32_t* systemError = nullptr);

}  // namespace kiv::platform
