// The settings dialog's Win32 window: dialog 102 with its list view, the
// four routing drop-downs moved into the list, the buffer-length trackbar
// and label, the logo with its About box, and OK, Cancel and Apply. It
// shows what ControlPanel decides and tells it what the user does; it
// decides nothing itself that can be decided without a window.
//
// The dialog's own files are the one place outside platform/ that includes
// <windows.h>: a dialog is made of Win32 windows.
#pragma once

#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include <atomic>

#include "panel/control_panel.h"
#include "panel/panel_view.h"

class Win32PanelView final : public PanelViewIf {
public:
    explicit Win32PanelView(HINSTANCE instance);
    ~Win32PanelView() override;
    Win32PanelView(const Win32PanelView&) = delete;
    Win32PanelView& operator=(const Win32PanelView&) = delete;

    bool initializeControls() override;
    bool runDialog(ControlPanel& panel, int32_t* result, uint32_t* error) override;
    void endDialog(int32_t result) override;

    size_t rowCount() override;
    bool getRowKey(size_t row, uint64_t* key) override;
    bool insertRow(size_t row, uint64_t key) override;
    bool setRowKey(size_t row, uint64_t key) override;
    bool setCellText(size_t row, size_t column, const char* text) override;
    bool deleteRow(size_t row) override;
    void redrawRow(size_t row) override;
    size_t selectedRow() override;

    void selectRoutingEntry(RoutingControl control, int entry) override;
    void hideRoutingControls() override;
    void setApplyEnabled(bool enabled) override;
    void setBufferLengthText(const char* text) override;

    bool askYesNo(const char* text, const char* caption) override;
    void showError(const char* text, const char* caption) override;
    void showWarning(const char* text, const char* caption) override;

    void runOnDialogThread(FunctorIf& work) override;
    void serveDialogThreadRequests(uint32_t timeoutMs) override;
    void bringToFront() override;

private:
    static constexpr int kRoutingControls = 4;

    static INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK listProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                     DWORD_PTR self);
    static LRESULT CALLBACK logoProc(HWND logo, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                     DWORD_PTR self);

    INT_PTR handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void handleCommand(WORD id, WORD code);
    LRESULT handleListNotification(const NMHDR& header);
    void initDialog(HWND dialog);
    bool initList();
    bool initRoutingControls();
    bool initSlider();
    void centre();
    void loadImages();
    void freeImages();
    int routingIndex(HWND control) const;

    // Painting (win32_panel_painting.cpp).
    void drawRow(const DRAWITEMSTRUCT& item);
    void placeRoutingPair(size_t row, const RECT& left, const RECT& right);
    void drawCellText(HDC dc, RECT cell, const char* text, COLORREF colour) const;
    bool cellRects(size_t row, RECT* cells, size_t* count) const;
    bool cellText(size_t row, size_t column, char* text, int size) const;
    void listClicked(const NMITEMACTIVATE& click);
    void paintLogo(HWND logo);

    HINSTANCE instance_;
    ControlPanel* panel_ = nullptr;
    std::atomic<HWND> dialog_{nullptr};
    DWORD dialogThread_ = 0;
    HWND list_ = nullptr;
    HWND routing_[kRoutingControls] = {};
    // Height of each drop-down with its list open: 12 times its closed height.
    int droppedHeight_[kRoutingControls] = {};
    HWND apply_ = nullptr;
    HWND label_ = nullptr;
    HWND slider_ = nullptr;
    HWND logo_ = nullptr;
    HBITMAP logoImage_ = nullptr;
    HBITMAP logoMask_ = nullptr;
    HBITMAP removalMark_ = nullptr;
    HICON largeIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
};
