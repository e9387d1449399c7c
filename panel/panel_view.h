// What the settings dialog's logic (ControlPanel) asks of the window that
// shows it. The Win32 dialog (panel/win32/) implements it with a list view,
// four drop-down lists, a trackbar and message boxes; the tests implement it
// in memory.
//
// Threads: everything but runOnDialogThread and bringToFront is called on
// the dialog's thread.
#pragma once

#include <cstddef>
#include <cstdint>

class ControlPanel;
class FunctorIf;

// The four routing drop-downs, in the dialog's order (ids 1014 to 1017).
enum class RoutingControl { LeftInput, RightInput, LeftOutput, RightOutput };

class PanelViewIf {
public:
    static constexpr size_t kNoRow = static_cast<size_t>(-1);

    virtual ~PanelViewIf() = default;

    // Process-wide set-up of the window classes the dialog uses; false when
    // it fails.
    virtual bool initializeControls() = 0;
    // Creates the modal dialog and runs it until it ends; meanwhile the
    // dialog calls the panel's dialog operations. False, with the system's
    // error code in *error, when the dialog could not be created; otherwise
    // *result is what endDialog was given.
    virtual bool runDialog(ControlPanel& panel, int32_t* result, uint32_t* error) = 0;
    virtual void endDialog(int32_t result) = 0;

    // The device list. Rows are addressed by position; each carries a key.
    // Any call may fail (false): the list then stays as it was.
    virtual size_t rowCount() = 0;
    virtual bool getRowKey(size_t row, uint64_t* key) = 0;
    // Inserts an empty row with that key before position `row`.
    virtual bool insertRow(size_t row, uint64_t key) = 0;
    virtual bool setRowKey(size_t row, uint64_t key) = 0;
    virtual bool setCellText(size_t row, size_t column, const char* text) = 0;
    virtual bool deleteRow(size_t row) = 0;
    virtual void redrawRow(size_t row) = 0;
    // The selected row, or kNoRow.
    virtual size_t selectedRow() = 0;

    // Shows the entry (0 "Disabled", k routing value k - 1) in a routing
    // drop-down; where the drop-downs appear is the view's business.
    virtual void selectRoutingEntry(RoutingControl control, int entry) = 0;
    virtual void hideRoutingControls() = 0;

    virtual void setApplyEnabled(bool enabled) = 0;
    virtual void setBufferLengthText(const char* text) = 0;

    // Message boxes, owned by the dialog while it exists. askYesNo has no
    // owner (it asks about a unit, not about the dialog).
    virtual bool askYesNo(const char* text, const char* caption) = 0;
    virtual void showError(const char* text, const char* caption) = 0;
    virtual void showWarning(const char* text, const char* caption) = 0;

    // Runs work on the dialog's thread and returns once it has run: at once
    // when called there, otherwise through a synchronous window message.
    // Dropped (not run) when no dialog exists.
    virtual void runOnDialogThread(FunctorIf& work) = 0;
    // On the dialog's thread: waits at most timeoutMs for work other threads
    // hand to runOnDialogThread, and runs what came.
    virtual void serveDialogThreadRequests(uint32_t timeoutMs) = 0;
    // From any thread: makes the dialog the foreground window, restoring it
    // when minimised. Nothing when no dialog exists.
    virtual void bringToFront() = 0;
};
