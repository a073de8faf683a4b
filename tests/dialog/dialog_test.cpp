// The "Tag Format" dialog of the real driver library. The program loads VUDUDIDI.DLL as a host
// does (LoadLibrary, then KivMain), calls function 16 on a host thread and works the dialog from
// the test's thread through its window messages, as a user would, reading what the live window
// shows. Under Wine it needs a display (tests run on Xvfb); with KIV_DIALOG_FRAMEBUFFER and
// KIV_DIALOG_SNAPSHOT set it also keeps a copy of the screen with the dialog open.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <vector>

#include "dialog_window.h"
#include "host_fixture.h"
#include "kiv/kiv_abi.h"
#include "platform/dynamic_library.h"

namespace {

using dialogtest::DialogWindow;
using dialogtest::kWindowBoundMs;
using dialogtest::WaitFor;
using kivtest::LogLine;
using kivtest::LogLines;

constexpr char kCaption[] = "Tag Format";
constexpr int kOk = 1;
constexpr int kCancel = 2;
constexpr int kFunctionList = 1000;
constexpr int kStorageList = 1016;
constexpr int kFunctionsRadio = 1018;
constexpr int kStoragesRadio = 1020;
constexpr int kArgumentField = 1021;
constexpr int kArgumentLabel = 1022;
constexpr int32_t kNotReturned = -1;
constexpr char kUntouched = 'Z';

// Function 16 called on a host thread of its own, into a buffer filled with kUntouched.
class HostCall {
public:
    explicit HostCall(KivMainFunction kivMain, const std::atomic<bool>* go = nullptr) {
        std::memset(buffer_, kUntouched, sizeof buffer_);
        argument_.output = buffer_;
        result_ = std::async(std::launch::async, [this, kivMain, go] {
            while (go != nullptr && !go->load()) {
                Sleep(0);
            }
            KivRequest request{};
            request.functionNumber = KIV_FN_TAG_FORMAT_DIALOG;
            request.argument = &argument_;
            return kivMain(&request);
        });
    }
    // A test that failed half way leaves no dialog for the host thread to wait on.
    ~HostCall() {
        WaitFor([&] {
            dialogtest::CancelOpenDialogs();
            return Returned();
        });
    }
    HostCall(const HostCall&) = delete;
    HostCall& operator=(const HostCall&) = delete;

    bool Returned() const {
        return !result_.valid() ||
               result_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    // The call's result once it returned within the bound; kNotReturned otherwise.
    int32_t Result() {
        if (result_.valid()) {
            if (result_.wait_for(std::chrono::milliseconds(kWindowBoundMs)) !=
                std::future_status::ready) {
                return kNotReturned;
            }
            value_ = result_.get();
        }
        return value_;
    }
    std::string Text() const { return std::string(buffer_, strnlen(buffer_, sizeof buffer_)); }
    // Whether the buffer past the text's terminator is as it was: the driver writes the text
    // and its terminator, nothing more.
    bool RestUntouched() const {
        const size_t used = std::min(Text().size() + 1, sizeof buffer_);
        return std::all_of(buffer_ + used, std::end(buffer_),
                           [](char c) { return c == kUntouched; });
    }
    bool Untouched() const {
        return std::all_of(std::begin(buffer_), std::end(buffer_),
                           [](char c) { return c == kUntouched; });
    }

private:
    char buffer_[16];
    TagFormatRequest argument_{};
    std::future<int32_t> result_;
    int32_t value_ = kNotReturned;
};

struct EnabledControls {
    bool functionList;
    bool storageList;
    bool argumentField;
    bool argumentLabel;
};
constexpr EnabledControls kFunctionsMode{true, false, false, false};
constexpr EnabledControls kStoragesMode{false, true, true, true};
constexpr EnabledControls kWriteSelected{false, true, false, false};

void ExpectEnabled(const DialogWindow& dialog, EnabledControls expected, const char* after) {
    EXPECT_EQ(dialog.Enabled(kFunctionList), expected.functionList) << "function list " << after;
    EXPECT_EQ(dialog.Enabled(kStorageList), expected.storageList) << "storage list " << after;
    EXPECT_EQ(dialog.Enabled(kArgumentField), expected.argumentField) << "argument field " << after;
    EXPECT_EQ(dialog.Enabled(kArgumentLabel), expected.argumentLabel) << "argument label " << after;
}

// How every opening looks: mode 1, nothing selected.
void ExpectOpening(const DialogWindow& dialog) {
    EXPECT_TRUE(dialog.Checked(kFunctionsRadio));
    EXPECT_FALSE(dialog.Checked(kStoragesRadio));
    ExpectEnabled(dialog, kFunctionsMode, "on opening");
    EXPECT_EQ(dialog.Selection(kFunctionList), CB_ERR);
    EXPECT_EQ(dialog.Selection(kStorageList), CB_ERR);
}

void ExpectMessageBox(const DialogWindow& dialog, const char* text, const char* after) {
    std::string caption;
    std::string body;
    ASSERT_TRUE(dialog.TakeMessageBox(caption, body)) << "no message box " << after;
    EXPECT_EQ(caption, "Error") << after;
    EXPECT_EQ(body, text) << after;
    EXPECT_TRUE(dialog.IsOpen()) << "the dialog stays open " << after;
}

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string ReadFile(const std::string& path) {
    std::string bytes;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[1 << 16];
        size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            bytes.append(chunk, n);
        }
        std::fclose(file);
    }
    return bytes;
}

// Copies the virtual display's framebuffer, once the painted dialog no longer changes it, and
// tells the test's runner where on the screen the dialog is.
void KeepScreenshot(const DialogWindow& dialog) {
    const std::string framebuffer = Env("KIV_DIALOG_FRAMEBUFFER");
    const std::string snapshot = Env("KIV_DIALOG_SNAPSHOT");
    if (framebuffer.empty() || snapshot.empty()) {
        return;
    }
    RedrawWindow(dialog.Handle(), nullptr, nullptr,
                 RDW_INVALIDATE | RDW_FRAME | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    std::string previous;
    std::string current = ReadFile(framebuffer);
    ASSERT_FALSE(current.empty()) << "cannot read the framebuffer " << framebuffer;
    const bool settled = WaitFor([&] {
        previous.swap(current);
        current = ReadFile(framebuffer);
        return current == previous;
    });
    EXPECT_TRUE(settled) << "the screen did not settle";
    FILE* out = std::fopen(snapshot.c_str(), "wb");
    ASSERT_NE(out, nullptr) << "cannot write " << snapshot;
    EXPECT_EQ(std::fwrite(current.data(), 1, current.size(), out), current.size());
    std::fclose(out);
    RECT frame{};
    GetWindowRect(dialog.Handle(), &frame);
    std::printf("@dialog-window %ld %ld %ld %ld\n", frame.left, frame.top, frame.right,
                frame.bottom);
    std::fflush(stdout);
}

class TagFormatDialogTest : public kivtest::HostFixture {
protected:
    // Loads the driver library by path, as a host does; by default the one built beside this
    // program.
    void LoadDriver(const std::string& path = kiv::platform::ExecutableDirectory() +
                                              kiv::platform::DriverLibraryFileName()) {
        ASSERT_TRUE(library_.Load(path)) << path << ": " << library_.Error();
        void* symbol = library_.Symbol("KivMain");
        ASSERT_NE(symbol, nullptr);
        std::memcpy(&kivMain_, &symbol, sizeof kivMain_);
    }

    kiv::platform::DynamicLibrary library_;
    KivMainFunction kivMain_ = nullptr;
};

TEST_F(TagFormatDialogTest, OpensAsTheTemplateSaysAndComposesAFunctionName) {
    LoadDriver();
    HostCall call(kivMain_);
    const DialogWindow dialog = DialogWindow::WaitShown();
    ASSERT_TRUE(dialog.IsOpen()) << "no dialog appeared";
    HWND window = dialog.Handle();

    char text[64] = {};
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ(text, kCaption);
    EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr) << "the dialog has no owner window";
    const LONG_PTR dialogStyle = GetWindowLongPtrA(window, GWL_STYLE);
    EXPECT_EQ(dialogStyle & (WS_POPUP | WS_CAPTION | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | DS_MODALFRAME);
    LOGFONTA font{};
    const LRESULT fontHandle = SendMessageA(window, WM_GETFONT, 0, 0);
    auto* dialogFont = reinterpret_cast<HFONT>(fontHandle);  // NOLINT(performance-no-int-to-ptr)
    GetObjectA(dialogFont, sizeof font, &font);
    EXPECT_STREQ(font.lfFaceName, "MS Sans Serif");
    RECT size{0, 0, 257, 127};
    MapDialogRect(window, &size);
    RECT client{};
    GetClientRect(window, &client);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);

    // The template's controls: id, window class, text, place and size in dialog units, the
    // style bits the live window keeps (a combo box hands its scroll bar to the list it drops,
    // which shows it when needed), and the mask of the control's kind within them.
    struct Control {
        int id;
        const char* className;
        const char* text;
        RECT units;  // left, top, width, height
        LONG style;
        LONG kindMask;
    };
    constexpr LONG kList = CBS_DROPDOWNLIST | CBS_SORT | WS_TABSTOP;
    constexpr LONG kLabel = SS_CENTER | WS_GROUP;
    const Control controls[] = {
        {kOk, "Button", "OK", {70, 101, 50, 14}, BS_DEFPUSHBUTTON | WS_TABSTOP, BS_TYPEMASK},
        {kCancel, "Button", "Cancel", {140, 101, 50, 14}, BS_PUSHBUTTON | WS_TABSTOP, BS_TYPEMASK},
        {kFunctionList, "ComboBox", "", {30, 31, 90, 55}, kList, CBS_DROPDOWNLIST},
        {kStorageList, "ComboBox", "", {30, 70, 90, 55}, kList, CBS_DROPDOWNLIST},
        {kFunctionsRadio, "Button", "Functions", {33, 9, 80, 15}, BS_AUTORADIOBUTTON, BS_TYPEMASK},
        {kStoragesRadio, "Button", "Storages", {34, 50, 85, 15}, BS_AUTORADIOBUTTON, BS_TYPEMASK},
        {kArgumentField, "Edit", "", {160, 70, 15, 13}, ES_NUMBER | WS_TABSTOP, 0},
        {kArgumentLabel, "Static", "Argument Number", {140, 52, 65, 12}, kLabel, SS_TYPEMASK},
    };
    int children = 0;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        ++children;
    }
    EXPECT_EQ(children, 8);
    for (const Control& c : controls) {
        HWND item = dialog.Item(c.id);
        ASSERT_NE(item, nullptr) << "control " << c.id;
        char className[32] = {};
        GetClassNameA(item, className, sizeof className);
        EXPECT_EQ(lstrcmpiA(className, c.className), 0) << c.id << " is a " << className;
        EXPECT_EQ(dialog.Text(c.id), c.text) << "control " << c.id;
        const auto style = static_cast<LONG>(GetWindowLongPtrA(item, GWL_STYLE));
        EXPECT_EQ(style & (c.style | c.kindMask), c.style) << "style of control " << c.id;
        RECT expected = c.units;  // each value mapped on its own, as the dialog manager does
        MapDialogRect(window, &expected);
        RECT placed{};
        GetWindowRect(item, &placed);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&placed), 2);
        EXPECT_EQ(placed.left, expected.left) << "control " << c.id;
        EXPECT_EQ(placed.top, expected.top) << "control " << c.id;
        EXPECT_EQ(placed.right - placed.left, expected.right) << "control " << c.id;
        if (lstrcmpiA(className, "ComboBox") != 0) {  // a closed list is lower than its template
            EXPECT_EQ(placed.bottom - placed.top, expected.bottom) << "control " << c.id;
        }
    }
    EXPECT_EQ(dialog.ListItems(kFunctionList), (std::vector<std::string>{"RAW", "READ"}));
    EXPECT_EQ(dialog.ListItems(kStorageList), (std::vector<std::string>{"ARG", "VAR", "WRITE"}));
    ExpectOpening(dialog);
    KeepScreenshot(dialog);

    HostCall second(kivMain_);
    EXPECT_EQ(second.Result(), KIV_DIALOG_NOT_COMPLETED) << "a second call returns at once";
    EXPECT_TRUE(second.Untouched());
    EXPECT_EQ(dialogtest::WindowsCaptioned(kCaption).size(), 1U);

    ASSERT_TRUE(dialog.Select(kFunctionList, "RAW"));
    ExpectEnabled(dialog, kFunctionsMode, "after selecting RAW");
    dialog.ClickLater(kOk);
    EXPECT_EQ(call.Result(), KIV_OK);
    EXPECT_EQ(call.Text(), "RAW");
    EXPECT_TRUE(call.RestUntouched());
    const LogLine entered{8, "DUZED:Entered KivMain(), with function 15"};
    EXPECT_EQ(LogLines(), (std::vector<LogLine>{entered, entered}));
}

TEST_F(TagFormatDialogTest, StorageNeedsTwoDecimalDigitsAndEveryOpeningStartsWithFunctions) {
    LoadDriver();
    {
        HostCall call(kivMain_);
        const DialogWindow dialog = DialogWindow::WaitShown();
        ASSERT_TRUE(dialog.IsOpen());
        dialog.Click(kStoragesRadio);
        EXPECT_TRUE(dialog.Checked(kStoragesRadio));
        EXPECT_FALSE(dialog.Checked(kFunctionsRadio));
        ExpectEnabled(dialog, kStoragesMode, "after Storages");
        ASSERT_TRUE(dialog.Select(kStorageList, "VAR"));
        ExpectEnabled(dialog, kStoragesMode, "after selecting VAR");
        // The field takes digits only when typed; other texts arrive by pasting.
        for (const char* argument : {"7", "123", "7 ", "a7", "+7", "1234567890123"}) {
            dialog.SetText(kArgumentField, argument);
            dialog.ClickLater(kOk);
            ExpectMessageBox(dialog, "Wrong argument number! (2 decimal digits)", argument);
            EXPECT_FALSE(call.Returned()) << argument;
        }
        dialog.SetText(kArgumentField, "07");
        dialog.ClickLater(kOk);
        EXPECT_EQ(call.Result(), KIV_OK);
        EXPECT_EQ(call.Text(), "VAR07");
        EXPECT_TRUE(call.RestUntouched());
    }
    HostCall call(kivMain_);
    const DialogWindow dialog = DialogWindow::WaitShown();
    ASSERT_TRUE(dialog.IsOpen());
    ExpectOpening(dialog);
    PostMessageA(dialog.Handle(), WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box
    EXPECT_EQ(call.Result(), KIV_DIALOG_NOT_COMPLETED);
    EXPECT_TRUE(call.Untouched()) << "nothing written when closed";
}

TEST_F(TagFormatDialogTest, WriteTakesNoArgumentWhateverTheFieldHolds) {
    LoadDriver();
    HostCall call(kivMain_);
    const DialogWindow dialog = DialogWindow::WaitShown();
    ASSERT_TRUE(dialog.IsOpen());
    dialog.Click(kStoragesRadio);
    dialog.SetText(kArgumentField, "x9");
    ASSERT_TRUE(dialog.Select(kStorageList, "WRITE"));
    ExpectEnabled(dialog, kWriteSelected, "after selecting WRITE");
    ASSERT_TRUE(dialog.Select(kStorageList, "ARG"));
    ExpectEnabled(dialog, kStoragesMode, "after selecting ARG");
    ASSERT_TRUE(dialog.Select(kStorageList, "WRITE"));
    ExpectEnabled(dialog, kWriteSelected, "after selecting WRITE again");
    dialog.Click(kFunctionsRadio);
    ExpectEnabled(dialog, kFunctionsMode, "after Functions");
    dialog.Click(kStoragesRadio);
    dialog.ClickLater(kOk);
    EXPECT_EQ(call.Result(), KIV_OK);
    EXPECT_EQ(call.Text(), "WRITE");
    EXPECT_TRUE(call.RestUntouched());
}

TEST_F(TagFormatDialogTest, OkWithoutAValueSaysSoAndCancelGivesFiftyThree) {
    LoadDriver();
    HostCall call(kivMain_);
    const DialogWindow dialog = DialogWindow::WaitShown();
    ASSERT_TRUE(dialog.IsOpen());
    struct Step {
        const char* what;
        std::function<void()> prepare;
    };
    const Step steps[] = {
        {"no function", [] {}},
        {"no storage", [&] { dialog.Click(kStoragesRadio); }},
        {"ARG without argument", [&] { ASSERT_TRUE(dialog.Select(kStorageList, "ARG")); }},
    };
    for (const Step& step : steps) {
        step.prepare();
        dialog.ClickLater(kOk);
        ExpectMessageBox(dialog, "Missing value!", step.what);
        EXPECT_FALSE(call.Returned()) << step.what;
    }
    dialog.ClickLater(kCancel);
    EXPECT_EQ(call.Result(), KIV_DIALOG_NOT_COMPLETED);
    EXPECT_TRUE(call.Untouched());
}

TEST_F(TagFormatDialogTest, TwoHostThreadsAtOnceGetOneDialog) {
    LoadDriver();
    std::atomic<bool> go{false};
    HostCall first(kivMain_, &go);
    HostCall second(kivMain_, &go);
    go = true;
    const DialogWindow dialog = DialogWindow::WaitShown();
    ASSERT_TRUE(dialog.IsOpen());
    ASSERT_TRUE(WaitFor([&] { return first.Returned() || second.Returned(); }));
    HostCall& refused = first.Returned() ? first : second;
    HostCall& shown = first.Returned() ? second : first;
    EXPECT_EQ(refused.Result(), KIV_DIALOG_NOT_COMPLETED);
    EXPECT_FALSE(shown.Returned());
    EXPECT_EQ(dialogtest::WindowsCaptioned(kCaption).size(), 1U);
    dialog.ClickLater(kCancel);
    EXPECT_EQ(shown.Result(), KIV_DIALOG_NOT_COMPLETED);
    EXPECT_TRUE(refused.Untouched());
    EXPECT_TRUE(shown.Untouched());
}

TEST_F(TagFormatDialogTest, RenamedLibraryShowsItsOwnDialog) {
    char folder[MAX_PATH] = {};
    ASSERT_NE(GetTempPathA(sizeof folder, folder), 0U);
    const std::string copy =
        std::string(folder) + "TAGFMT" + std::to_string(GetCurrentProcessId()) + ".DLL";
    const std::string original =
        kiv::platform::ExecutableDirectory() + kiv::platform::DriverLibraryFileName();
    ASSERT_TRUE(CopyFileA(original.c_str(), copy.c_str(), FALSE));
    {
        kiv::platform::DynamicLibrary renamed;
        ASSERT_TRUE(renamed.Load(copy)) << renamed.Error();
        ASSERT_EQ(GetModuleHandleA(kiv::platform::DriverLibraryFileName()), nullptr)
            << "only the renamed copy is loaded";
        void* symbol = renamed.Symbol("KivMain");
        ASSERT_NE(symbol, nullptr);
        KivMainFunction kivMain = nullptr;
        std::memcpy(&kivMain, &symbol, sizeof kivMain);
        HostCall call(kivMain);
        const DialogWindow dialog = DialogWindow::WaitShown();
        EXPECT_TRUE(dialog.IsOpen()) << "the renamed library shows no dialog";
        if (dialog.IsOpen()) {
            ASSERT_TRUE(dialog.Select(kFunctionList, "READ"));
            dialog.ClickLater(kOk);
        }
        EXPECT_EQ(call.Result(), KIV_OK);
        EXPECT_EQ(call.Text(), "READ");
    }
    DeleteFileA(copy.c_str());
}

// kivhost dialog, run as a user runs it; the dialog is in its process, this test clicks it.
TEST_F(TagFormatDialogTest, KivhostDialogPrintsTheComposedText) {
    struct Case {
        const char* name;
        std::function<void(const DialogWindow&)> finish;
        DWORD exitCode;
        const char* output;
    };
    const Case cases[] = {
        {"RAW",
         [](const DialogWindow& d) {
             EXPECT_TRUE(d.Select(kFunctionList, "RAW"));
             d.ClickLater(kOk);
         },
         0, "RAW\r\n"},
        {"Cancel", [](const DialogWindow& d) { d.ClickLater(kCancel); }, 1,
         "The dialog was not completed (result 53)."},
    };
    char folder[MAX_PATH] = {};
    ASSERT_NE(GetTempPathA(sizeof folder, folder), 0U);
    const std::string outputPath =
        std::string(folder) + "kivhost-dialog-" + std::to_string(GetCurrentProcessId()) + ".txt";
    for (const Case& c : cases) {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(output, INVALID_HANDLE_VALUE);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output;
        startup.hStdError = output;
        std::string command = "\"" + kiv::platform::ExecutableDirectory() + "kivhost.exe\" dialog";
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &process))
            << command;
        CloseHandle(output);
        const DialogWindow dialog = DialogWindow::WaitShown();
        EXPECT_TRUE(dialog.IsOpen()) << c.name << ": kivhost shows no dialog";
        if (dialog.IsOpen()) {
            c.finish(dialog);
        }
        if (WaitForSingleObject(process.hProcess, kWindowBoundMs) != WAIT_OBJECT_0) {
            ADD_FAILURE() << c.name << ": kivhost did not end";
            TerminateProcess(process.hProcess, 9);
            WaitForSingleObject(process.hProcess, kWindowBoundMs);
        }
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        EXPECT_EQ(exitCode, c.exitCode) << c.name;
        EXPECT_EQ(ReadFile(outputPath).rfind(c.output, 0), 0U)
            << c.name << ": " << ReadFile(outputPath);
    }
    DeleteFileA(outputPath.c_str());
}

}  // namespace
