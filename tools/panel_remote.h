// Drives a running settings dialog ("ASIO Settings") from another process,
// with the window messages a user's clicks cause, and reads back what the
// user sees: the list's cells and row keys, which drop-downs show over which
// row, the buttons, the slider's label, the About box, and a screenshot.
// For the dialog's tests under Wine, the demo and anyone checking a dialog
// by script. Windows only: it talks to windows of another process.
//
// Some messages carry no notification of their own (CB_SETCURSEL,
// TBM_SETPOS), so after them the remote sends what a click would have sent:
// CBN_SELCHANGE to the drop-down's parent, WM_HSCROLL to the dialog.
// Messages with pointers (list items, rectangles) use memory allocated in
// the dialog's process.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

class PanelRemote {
public:
    PanelRemote() = default;
    ~PanelRemote();
    PanelRemote(const PanelRemote&) = delete;
    PanelRemote& operator=(const PanelRemote&) = delete;

    // Waits for the dialog of that process (0: of any process) to appear.
    bool attach(DWORD processId, uint32_t timeoutMs);
    HWND dialog() const { return dialog_; }
    DWORD processId() const { return processId_; }
    // Whether the dialog window still exists.
    bool isOpen() const { return dialog_ != nullptr && IsWindow(dialog_); }

    // Any control of the dialog by its id, also the drop-downs that moved
    // into the list.
    HWND control(int id) const;
    bool isVisible(int id) const;
    bool isEnabled(int id) const;
    std::string text(int id) const;

    int rowCount() const;
    std::string cellText(int row, int column) const;
    uint64_t rowKey(int row) const;
    int selectedRow() const;
    // The row's rectangle in the list's client coordinates.
    RECT rowRect(int row) const;
    // A control's rectangle in the list's client coordinates.
    RECT rectInList(int id) const;
    // Selects and focuses a row as a click on it would.
    bool selectRow(int row) const;

    int comboSelection(int id) const;
    // Selects an entry of a routing drop-down and notifies as a click does.
    void chooseEntry(int id, int entry) const;
    // Moves the slider and notifies as dragging it does.
    void moveSlider(int position) const;
    int sliderPosition() const;
    // Clicks a button without waiting for what it does (a message box may follow).
    void press(int id) const;
    // Clicks the logo, reads the About box's caption and text and closes it.
    bool readAboutBox(std::string* caption, std::string* text, uint32_t timeoutMs) const;
    // The text of a message box the dialog shows now, which is then closed
    // with its first button; false when none appears in the time.
    bool takeMessageBox(std::string* caption, std::string* text, uint32_t timeoutMs) const;

    bool saveScreenshot(const std::string& pngPath) const;

    // Polls the condition every 20 ms; false when it did not hold in time.
    static bool waitFor(const std::function<bool()>& condition, uint32_t timeoutMs);

private:
    // A block of memory in the dialog's process.
    class RemoteBlock;

    HWND list() const { return control(1001); }
    HWND findOwnedWindow(const char* caption, uint32_t timeoutMs) const;

    HWND dialog_ = nullptr;
    DWORD processId_ = 0;
    HANDLE process_ = nullptr;
};
