// The "Tag Format" dialog as a user meets it: found on the screen, read and clicked through
// its window messages from a thread (or process) other than the one that shows it.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <vector>

namespace dialogtest {

// How long a window may take to appear or go.
constexpr DWORD kWindowBoundMs = 15000;

// Waits until condition() holds, looking every 10 ms; false when the bound passed first.
template <typename Condition>
bool WaitFor(Condition condition, DWORD boundMs = kWindowBoundMs) {
    const ULONGLONG end = GetTickCount64() + boundMs;
    while (!condition()) {
        if (GetTickCount64() >= end) {
            return false;
        }
        Sleep(10);
    }
    return true;
}

// The visible top-level windows with this caption.
std::vector<HWND> WindowsCaptioned(const char* caption);

// Cancels every open "Tag Format" dialog and dismisses the message boxes it shows (cleaning up
// after a failed test, so that the call that shows it returns).
void CancelOpenDialogs();

class DialogWindow {
public:
    // Waits for the dialog to be shown (visible, so its opening is done); nullptr window when
    // none appeared within the bound.
    static DialogWindow WaitShown();

    HWND Handle() const { return window_; }
    bool IsOpen() const { return window_ != nullptr && IsWindowVisible(window_) != FALSE; }
    HWND Item(int id) const { return GetDlgItem(window_, id); }

    std::string Text(int id) const;
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool Checked(int id) const;
    std::vector<std::string> ListItems(int id) const;
    int Selection(int id) const;

    // A click whose effects are done when it returns (radio buttons).
    void Click(int id) const;
    // A click that may open a message box or close the dialog: returns at once.
    void ClickLater(int id) const;
    // Selects the list entry with this text, and tells the dialog as the list does.
    bool Select(int id, const char* text) const;
    void SetText(int id, const char* text) const;

    // The message box the dialog shows, waited for; its caption and text, then dismissed with
    // its OK button. False when none appeared or it did not go.
    bool TakeMessageBox(std::string& caption, std::string& text) const;

private:
    explicit DialogWindow(HWND window) : window_(window) {}
    HWND window_;
};

}  // namespace dialogtest
