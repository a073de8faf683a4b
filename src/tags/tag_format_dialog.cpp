// The "Tag Format" dialog: the user picks a function name, or a storage name and a two-digit
// argument number, and the host gets the composed text.
#include "tags/tag_format_dialog.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/modal_dialog.h"
#include "platform/serial_port.h"
#include "qorpro/qorpro.h"
#include "tags/tag_format_ids.h"

namespace kiv {

namespace {

// Mode 1: a function name; mode 2: a storage name with an argument number (0 before the first
// opening).
constexpr int kModeFunctions = 1;
constexpr int kModeStorages = 2;

constexpr int kEndOk = 1;
constexpr int kEndCancel = 2;

const char* const kFunctionNames[] = {"READ", "RAW"};
const char* const kStorageNames[] = {"ARG", "VAR", "WRITE"};
constexpr char kWriteStorage[] = "WRITE";

constexpr char kErrorCaption[] = "Error";
constexpr char kMissingValue[] = "Missing value!";
constexpr char kWrongArgument[] = "Wrong argument number! (2 decimal digits)";

// What the dialog keeps for the whole process: the mode and the texts of the last completed
// dialog, until the next one overwrites them.
struct TagFormatState {
    int mode = 0;
    char functionText[50] = {};
    char storageText[50] = {};
    char argumentText[10] = {};
};

TagFormatState dialogState;

// Set while a dialog of this library is open. Only the thread that set it shows a dialog and
// touches dialogState, so two host threads can neither open two dialogs nor mix their texts.
std::atomic<bool> dialogOpen{false};

bool IsTwoDecimalDigits(const char* text) {
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return digit(text[0]) && digit(text[1]) && text[2] == '\0';
}

// 1 when the argument text is exactly two decimal digits; otherwise tells the user so and 0.
int CheckArgumentNumber(platform::DialogControls& controls, const TagFormatState& state) {
    if (IsTwoDecimalDigits(state.argumentText)) {
        return 1;
    }
    controls.ShowError(kWrongArgument, kErrorCaption);
    return 0;
}

class TagFormatHandler final : public platform::DialogHandler {
public:
    explicit TagFormatHandler(TagFormatState& state) : state_(state) {}

    void Opened(platform::DialogControls& controls) override {
        for (const char* name : kFunctionNames) {
            controls.AddListItem(KIV_TFD_FUNCTION_LIST, name);
        }
        for (const char* name : kStorageNames) {
            controls.AddListItem(KIV_TFD_STORAGE_LIST, name);
        }
        controls.Click(KIV_TFD_FUNCTIONS_RADIO);
    }

    void Command(platform::DialogControls& controls, int control,
                 platform::ControlEvent event) override {
        using platform::ControlEvent;
        if (control == KIV_TFD_STORAGE_LIST && event == ControlEvent::SelectionChanged) {
            StorageSelected(controls);
            return;
        }
        if (event != ControlEvent::Clicked) {
            return;
        }
        switch (control) {
        case KIV_TFD_FUNCTIONS_RADIO: SetMode(controls, kModeFunctions); break;
        case KIV_TFD_STORAGES_RADIO: SetMode(controls, kModeStorages); break;
        case KIV_TFD_OK: Ok(controls); break;
        case KIV_TFD_CANCEL: controls.End(kEndCancel); break;
        default: break;
        }
    }

private:
    void SetMode(platform::DialogControls& controls, int mode) {
        const bool storages = mode == kModeStorages;
        controls.Enable(KIV_TFD_FUNCTION_LIST, !storages);
        controls.Enable(KIV_TFD_STORAGE_LIST, storages);
        controls.Enable(KIV_TFD_ARGUMENT_LABEL, storages);
        controls.Enable(KIV_TFD_ARGUMENT_FIELD, storages);
        state_.mode = mode;
    }

    // "WRITE" takes no argument number.
    static void StorageSelected(platform::DialogControls& controls) {
        char text[sizeof TagFormatState::storageText];
        controls.Text(KIV_TFD_STORAGE_LIST, text, sizeof text);
        const bool takesArgument = std::strcmp(text, kWriteStorage) != 0;
        controls.Enable(KIV_TFD_ARGUMENT_FIELD, takesArgument);
        controls.Enable(KIV_TFD_ARGUMENT_LABEL, takesArgument);
    }

    void Ok(platform::DialogControls& controls) {
        if (state_.mode == kModeFunctions) {
            controls.Text(KIV_TFD_FUNCTION_LIST, state_.functionText, sizeof state_.functionText);
            if (state_.functionText[0] == '\0') {
                controls.ShowError(kMissingValue, kErrorCaption);
                return;
            }
            controls.End(kEndOk);
        } else if (state_.mode == kModeStorages) {
            controls.Text(KIV_TFD_STORAGE_LIST, state_.storageText, sizeof state_.storageText);
            controls.Text(KIV_TFD_ARGUMENT_FIELD, state_.argumentText, sizeof state_.argumentText);
            const bool write = std::strcmp(state_.storageText, kWriteStorage) == 0;
            if (write) {
                state_.argumentText[0] = '\0';  // counts as present
            }
            if (state_.storageText[0] == '\0' || (!write && state_.argumentText[0] == '\0')) {
                controls.ShowError(kMissingValue, kErrorCaption);
                return;
            }
            if (write || CheckArgumentNumber(controls, state_) == 1) {
                controls.End(kEndOk);
            }
        }
    }

    TagFormatState& state_;
};

// The address text of a completed dialog; false when it would not fit the host's buffer.
bool Compose(const TagFormatState& state, char (&text)[kTagFormatTextLength + 1]) {
    int length = -1;
    if (state.mode == kModeFunctions) {
        length = std::snprintf(text, sizeof text, "%s", state.functionText);
    } else if (state.mode == kModeStorages) {
        length = std::snprintf(text, sizeof text, "%s%s", state.storageText, state.argumentText);
    }
    return length > 0 && length <= kTagFormatTextLength;
}

}  // namespace

int32_t TagFormatDialog(KivRequest* request) {
    if (!platform::DialogsAvailable()) {
        err(32, "RIRODI: the Tag Format dialog exists only in the Windows driver.");
        return KIV_DIALOG_NOT_COMPLETED;
    }
    const auto* argument = static_cast<const TagFormatRequest*>(request->argument);
    if (argument == nullptr || argument->output == nullptr ||
        platform::WindowWithCaptionExists(KIV_TAG_FORMAT_CAPTION)) {
        return KIV_DIALOG_NOT_COMPLETED;
    }
    bool closed = false;
    if (!dialogOpen.compare_exchange_strong(closed, true, std::memory_order_acquire)) {
        return KIV_DIALOG_NOT_COMPLETED;
    }
    TagFormatHandler handler(dialogState);
    uint32_t error = 0;
    const int end = platform::RunModalDialog(KIV_TAG_FORMAT_DIALOG, handler, &error);
    if (end == platform::kDialogNotShown) {
        char reason[platform::kErrorTextSize];
        platform::SystemErrorText(error, reason, sizeof reason);
        err(32, "RIRODI: the Tag Format dialog could not be shown: %s (error %u)", reason,
            static_cast<unsigned>(error));
    }
    char text[kTagFormatTextLength + 1] = {};
    const bool composed = end == kEndOk && Compose(dialogState, text);
    dialogOpen.store(false, std::memory_order_release);
    if (!composed) {
        return KIV_DIALOG_NOT_COMPLETED;
    }
    std::memcpy(argument->output, text, std::strlen(text) + 1);
    return KIV_OK;
}

}  // namespace kiv
