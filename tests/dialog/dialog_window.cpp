// The dialog as a user meets it.
#include "dialog_window.h"

namespace dialogtest {

namespace {

constexpr char kCaption[] = "Tag Format";
// The static control that holds a message box's text.
constexpr int kMessageBoxText = 0xFFFF;

std::string WindowText(HWND window) {
    char text[256] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

struct Search {
    const char* className;
    const char* caption;
    HWND owner;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);  // NOLINT(performance-no-int-to-ptr)
    char className[64] = {};
    GetClassNameA(window, className, sizeof className);
    if (IsWindowVisible(window) &&
        (search->className == nullptr || lstrcmpA(className, search->className) == 0) &&
        (search->caption == nullptr || WindowText(window) == search->caption) &&
        (search->owner == nullptr || GetWindow(window, GW_OWNER) == search->owner)) {
        search->found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> TopLevel(const char* className, const char* caption, HWND owner) {
    Search search{className, caption, owner, {}};
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

std::vector<HWND> WindowsCaptioned(const char* caption) {
    return TopLevel(nullptr, caption, nullptr);
}

DialogWindow DialogWindow::WaitShown() {
    HWND window = nullptr;
    WaitFor([&] {
        window = FindWindowA(nullptr, kCaption);
        return window != nullptr && IsWindowVisible(window);
    });
    return DialogWindow(window != nullptr && IsWindowVisible(window) ? window : nullptr);
}

std::string DialogWindow::Text(int id) const {
    return WindowText(Item(id));
}

bool DialogWindow::Checked(int id) const {
    return SendMessageA(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

std::vector<std::string> DialogWindow::ListItems(int id) const {
    // The wide form: the texts of a dialog in another process arrive whole only so.
    std::vector<std::string> items;
    const LRESULT count = SendMessageW(Item(id), CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t wide[64] = {};
        char text[64] = {};
        if (SendMessageW(Item(id), CB_GETLBTEXTLEN, i, 0) < 64) {
            SendMessageW(Item(id), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(wide));
            WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
        }
        items.emplace_back(text);
    }
    return items;
}

int DialogWindow::Selection(int id) const {
    return static_cast<int>(SendMessageA(Item(id), CB_GETCURSEL, 0, 0));
}

void DialogWindow::Click(int id) const {
    SendMessageA(Item(id), BM_CLICK, 0, 0);
}

void DialogWindow::ClickLater(int id) const {
    PostMessageA(Item(id), BM_CLICK, 0, 0);
}

bool DialogWindow::Select(int id, const char* text) const {
    const std::vector<std::string> items = ListItems(id);
    for (size_t i = 0; i < items.size(); ++i) {
        if (items[i] == text) {
            SendMessageA(Item(id), CB_SETCURSEL, i, 0);
            SendMessageA(window_, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                         reinterpret_cast<LPARAM>(Item(id)));
            return true;
        }
    }
    return false;
}

void DialogWindow::SetText(int id, const char* text) const {
    SendMessageA(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

bool DialogWindow::TakeMessageBox(std::string& caption, std::string& text) const {
    HWND box = nullptr;
    if (!WaitFor([&] {
            const std::vector<HWND> boxes = TopLevel("#32770", nullptr, window_);
            box = boxes.empty() ? nullptr : boxes.front();
            return box != nullptr;
        })) {
        return false;
    }
    caption = WindowText(box);
    char body[256] = {};
    GetDlgItemTextA(box, kMessageBoxText, body, sizeof body);
    text = body;
    PostMessageA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
    return WaitFor([&] { return IsWindow(box) == FALSE; });
}

void CancelOpenDialogs() {
    for (HWND dialog : WindowsCaptioned(kCaption)) {
        for (HWND box : TopLevel("#32770", nullptr, dialog)) {
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    }
}

}  // namespace dialogtest
