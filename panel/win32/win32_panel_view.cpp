#include "panel/win32/win32_panel_view.h"

#include <cstdio>
#include <initializer_list>

#include "base/functor.h"
#include "brands/brand_asio.h"
#include "panel/panel_layout.h"
#include "panel/win32/panel_resource_ids.h"
#include "platform/trace.h"

namespace {

// Work another thread hands to the dialog's thread (runOnDialogThread).
constexpr UINT kRunOnDialogThread = WM_APP + 1;

constexpr int kRoutingIds[] = {IDC_LEFT_INPUT, IDC_RIGHT_INPUT, IDC_LEFT_OUTPUT, IDC_RIGHT_OUTPUT};
constexpr int kDroppedRows = 12;
constexpr UINT_PTR kSubclassId = 1;

bool isInputControl(int index) { return index < 2; }

}  // namespace

Win32PanelView::Win32PanelView(HINSTANCE instance) : instance_(instance) {}

Win32PanelView::~Win32PanelView() { freeImages(); }

bool Win32PanelView::initializeControls() {
    static bool initialized = false;
    if (!initialized) {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
        initialized = InitCommonControlsEx(&controls) != FALSE;
    }
    return initialized;
}

bool Win32PanelView::runDialog(ControlPanel& panel, int32_t* result, uint32_t* error) {
    panel_ = &panel;
    const INT_PTR ended = DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_PANEL), nullptr, dialogProc,
                                          reinterpret_cast<LPARAM>(this));
    if (ended == -1) *error = GetLastError();
    panel_ = nullptr;
    dialog_ = nullptr;
    freeImages();
    if (ended == -1) return false;
    *result = static_cast<int32_t>(ended);
    return true;
}

void Win32PanelView::endDialog(int32_t result) {
    HWND dialog = dialog_.load();
    if (dialog != nullptr) EndDialog(dialog, result);
}

INT_PTR CALLBACK Win32PanelView::dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    // The list measures its rows while the dialog creates it, before the
    // dialog is initialised: by the first drop-down, created before it.
    if (message == WM_MEASUREITEM) {
        auto* measure = reinterpret_cast<MEASUREITEMSTRUCT*>(lParam);
        HWND combo = GetDlgItem(dialog, IDC_LEFT_INPUT);
        auto* self = reinterpret_cast<Win32PanelView*>(GetWindowLongPtrA(dialog, DWLP_USER));
        if (combo == nullptr && self != nullptr) combo = self->routing_[0];
        RECT rect;
        if (measure->CtlID != IDC_DEVICE_LIST || combo == nullptr || !GetWindowRect(combo, &rect)) return FALSE;
        measure->itemHeight = static_cast<UINT>(rect.bottom - rect.top);
        return TRUE;
    }
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        reinterpret_cast<Win32PanelView*>(lParam)->initDialog(dialog);
        return TRUE;
    }
    auto* self = reinterpret_cast<Win32PanelView*>(GetWindowLongPtrA(dialog, DWLP_USER));
    return self != nullptr && self->panel_ != nullptr ? self->handleMessage(message, wParam, lParam) : FALSE;
}

INT_PTR Win32PanelView::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND dialog = dialog_.load();
    switch (message) {
        case kRunOnDialogThread:
            (*reinterpret_cast<FunctorIf*>(lParam))();
            SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 1);
            return TRUE;
        case WM_COMMAND:
            handleCommand(LOWORD(wParam), HIWORD(wParam));
            return TRUE;
        case WM_HSCROLL:
            if (reinterpret_cast<HWND>(lParam) != slider_ || slider_ == nullptr) return FALSE;
            panel_->bufferLengthChanged(static_cast<size_t>(SendMessageA(slider_, TBM_GETPOS, 0, 0)));
            return TRUE;
        case WM_CLOSE:
            panel_->closeDialog();
            return FALSE;  // the default processing cancels the dialog
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
            if (item->CtlID != IDC_DEVICE_LIST) return FALSE;
            drawRow(*item);
            return TRUE;
        }
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->hwndFrom != list_ || list_ == nullptr) return FALSE;
            SetWindowLongPtrA(dialog, DWLP_MSGRESULT, handleListNotification(*header));
            return TRUE;
        }
        case WM_DESTROY:
            // However the dialog ends, no device event may reach it afterwards.
            panel_->closeDialog();
            dialog_ = nullptr;
            return FALSE;
        default:
            return FALSE;
    }
}

void Win32PanelView::handleCommand(WORD id, WORD code) {
    switch (id) {
        case IDOK: panel_->okPressed(); return;
        case IDCANCEL: panel_->cancelPressed(); return;
        case IDC_APPLY:
            if (code == BN_CLICKED) panel_->apply();
            return;
        default: break;
    }
    for (int i = 0; i < kRoutingControls; ++i) {
        if (id == kRoutingIds[i] && code == CBN_SELCHANGE && routing_[i] != nullptr) {
            const int entry = static_cast<int>(SendMessageA(routing_[i], CB_GETCURSEL, 0, 0));
            panel_->routingChosen(static_cast<RoutingControl>(i), entry);
        }
    }
}

LRESULT Win32PanelView::handleListNotification(const NMHDR& header) {
    if (header.code == LVN_ITEMCHANGED) {
        const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
        const bool was = (change.uOldState & LVIS_SELECTED) != 0;
        const bool is = (change.uNewState & LVIS_SELECTED) != 0;
        // Only a change of selection moves the drop-downs; focus changes do not.
        if ((change.uChanged & LVIF_STATE) != 0 && was != is && change.iItem >= 0)
            panel_->rowSelectionChanged(static_cast<size_t>(change.iItem), is);
    } else if (header.code == NM_CLICK) {
        listClicked(reinterpret_cast<const NMITEMACTIVATE&>(header));
    }
    return 0;
}

// --------------------------------------------------------------- creation

void Win32PanelView::initDialog(HWND dialog) {
    TRACE_ENTER("Win32PanelView::initDialog");
    dialog_ = dialog;
    dialogThread_ = GetCurrentThreadId();
    centre();
    largeIcon_ = static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDI_PANEL_LARGE), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageA(instance_, MAKEINTRESOURCEA(IDI_PANEL_SMALL), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    if (largeIcon_ == nullptr || smallIcon_ == nullptr) TRACE("Failed to load control panel icon");
    if (largeIcon_ != nullptr) SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(largeIcon_));
    if (smallIcon_ != nullptr) SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
    // A missing control stops here: the dialog stays open with what is set up.
    if (!initList()) return;
    loadImages();
    if (!initRoutingControls()) return;
    apply_ = GetDlgItem(dialog, IDC_APPLY);
    label_ = GetDlgItem(dialog, IDC_BUFFER_LABEL);
    slider_ = GetDlgItem(dialog, IDC_BUFFER_SLIDER);
    if (apply_ == nullptr || label_ == nullptr || slider_ == nullptr) {
        TRACE("Failed to get apply button, buffer length label or slider handle");
        return;
    }
    initSlider();
    logo_ = GetDlgItem(dialog, IDC_LOGO);
    if (logo_ == nullptr || !SetWindowSubclass(logo_, logoProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this))) {
        TRACE("Failed to get logo image handle");
        return;
    }
    panel_->dialogCreated();
    TRACE_LEAVE("Win32PanelView::initDialog");
}

void Win32PanelView::centre() {
    HWND dialog = dialog_.load();
    RECT rect;
    if (!GetWindowRect(dialog, &rect)) return;
    const int x = (GetSystemMetrics(SM_CXSCREEN) + rect.left - rect.right) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) + rect.top - rect.bottom) / 2;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

bool Win32PanelView::initList() {
    list_ = GetDlgItem(dialog_.load(), IDC_DEVICE_LIST);
    if (list_ == nullptr) {
        TRACE("Failed to get device list handle");
        return false;
    }
    SendMessageA(list_, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    const PanelColumns& columns = panel_->columns();
    RECT units = {0, 0, 4, 8};
    MapDialogRect(dialog_.load(), &units);
    for (size_t i = 0; i < columns.count(); ++i) {
        LVCOLUMNA column = {};
        column.mask = LVCF_FMT | LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        column.fmt = LVCFMT_LEFT;
        const LRESULT titleWidth = SendMessageA(list_, LVM_GETSTRINGWIDTHA, 0, reinterpret_cast<LPARAM>(columns.title(i)));
        column.cx = columns.width(i, units.right, static_cast<int32_t>(titleWidth));
        column.pszText = const_cast<char*>(columns.title(i));
        column.iSubItem = static_cast<int>(i);
        if (SendMessageA(list_, LVM_INSERTCOLUMNA, i, reinterpret_cast<LPARAM>(&column)) < 0)
            TRACE("Failed to insert column %s", columns.title(i));
    }
    // Scrolling moves the rows under the drop-downs: they hide until the
    // selected row is painted again.
    SetWindowSubclass(list_, listProc, kSubclassId, reinterpret_cast<DWORD_PTR>(this));
    return true;
}

void Win32PanelView::loadImages() {
    // A missing image only leaves that picture out of the painting.
    const int ids[] = {IDB_LOGO, IDB_LOGO_MASK, IDB_REMOVAL_MARK};
    HBITMAP* slots[] = {&logoImage_, &logoMask_, &removalMark_};
    for (int i = 0; i < 3; ++i) {
        *slots[i] = LoadBitmapA(instance_, MAKEINTRESOURCEA(ids[i]));
        if (*slots[i] == nullptr) {
            TRACE("Failed to bitmap %i", ids[i]);
            break;
        }
    }
}

void Win32PanelView::freeImages() {
    for (HBITMAP* bitmap : {&logoImage_, &logoMask_, &removalMark_}) {
        if (*bitmap != nullptr) DeleteObject(*bitmap);
        *bitmap = nullptr;
    }
    for (HICON* icon : {&largeIcon_, &smallIcon_}) {
        if (*icon != nullptr) DestroyIcon(*icon);
        *icon = nullptr;
    }
}

bool Win32PanelView::initRoutingControls() {
    HWND dialog = dialog_.load();
    for (int i = 0; i < kRoutingControls; ++i) {
        HWND combo = GetDlgItem(dialog, kRoutingIds[i]);
        if (combo == nullptr) {
            TRACE("Failed to get asio channel dropdown handle");
            return false;
        }
        routing_[i] = combo;
        // Inside the list, the drop-down scrolls and clips with the rows.
        SetParent(combo, list_);
        for (int entry = 0; entry < kRoutingEntries; ++entry) {
            char text[16];
            formatRoutingEntry(entry, isInputControl(i), text, sizeof text);
            SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        }
        RECT rect;
        GetWindowRect(combo, &rect);
        droppedHeight_[i] = kDroppedRows * (rect.bottom - rect.top);
        SetWindowPos(combo, nullptr, 0, 0, rect.right - rect.left, droppedHeight_[i],
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    return true;
}

bool Win32PanelView::initSlider() {
    const size_t steps = panel_->sliderSteps();
    SendMessageA(slider_, TBM_SETRANGEMIN, FALSE, 0);
    SendMessageA(slider_, TBM_SETRANGEMAX, FALSE, static_cast<LPARAM>(steps > 0 ? steps - 1 : 0));
    SendMessageA(slider_, TBM_SETPOS, TRUE, static_cast<LPARAM>(panel_->bufferSizeStep()));
    SendMessageA(slider_, TBM_SETLINESIZE, 0, 1);
    SendMessageA(slider_, TBM_SETPAGESIZE, 0, 1);
    SendMessageA(slider_, TBM_SETTICFREQ, panel_->tickFrequency(), 0);
    return true;
}

int Win32PanelView::routingIndex(HWND control) const {
    for (int i = 0; i < kRoutingControls; ++i)
        if (control != nullptr && routing_[i] == control) return i;
    return -1;
}

LRESULT CALLBACK Win32PanelView::listProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                          DWORD_PTR self) {
    auto* view = reinterpret_cast<Win32PanelView*>(self);
    switch (message) {
        case WM_HSCROLL:
        case WM_VSCROLL:
        case WM_MOUSEWHEEL:
        case WM_MOUSEHWHEEL:
            view->hideRoutingControls();
            break;
        case WM_COMMAND:
            // The drop-downs are the list's children now: their choices go
            // on to the dialog, as they did before they moved.
            if (view->routingIndex(reinterpret_cast<HWND>(lParam)) >= 0) {
                HWND dialog = view->dialog_.load();
                return dialog != nullptr ? SendMessageA(dialog, WM_COMMAND, wParam, lParam) : 0;
            }
            break;
        case WM_NCDESTROY:
            RemoveWindowSubclass(list, listProc, kSubclassId);
            break;
        default:
            break;
    }
    return DefSubclassProc(list, message, wParam, lParam);
}

// ------------------------------------------------------------------- list

size_t Win32PanelView::rowCount() {
    return list_ != nullptr ? static_cast<size_t>(SendMessageA(list_, LVM_GETITEMCOUNT, 0, 0)) : 0;
}

bool Win32PanelView::getRowKey(size_t row, uint64_t* key) {
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = static_cast<int>(row);
    if (list_ == nullptr || !SendMessageA(list_, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item))) return false;
    *key = static_cast<uint64_t>(item.lParam);
    return true;
}

bool Win32PanelView::insertRow(size_t row, uint64_t key) {
    LVITEMA item = {};
    item.mask = LVIF_PARAM | LVIF_TEXT;
    item.iItem = static_cast<int>(row);
    item.pszText = const_cast<char*>("");
    item.lParam = static_cast<LPARAM>(key);
    return list_ != nullptr &&
           SendMessageA(list_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)) == static_cast<LRESULT>(row);
}

bool Win32PanelView::setRowKey(size_t row, uint64_t key) {
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = static_cast<int>(row);
    item.lParam = static_cast<LPARAM>(key);
    return list_ != nullptr && SendMessageA(list_, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item)) != 0;
}

bool Win32PanelView::setCellText(size_t row, size_t column, const char* text) {
    LVITEMA item = {};
    item.iSubItem = static_cast<int>(column);
    item.pszText = const_cast<char*>(text);
    return list_ != nullptr && SendMessageA(list_, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item)) != 0;
}

bool Win32PanelView::deleteRow(size_t row) {
    return list_ != nullptr && SendMessageA(list_, LVM_DELETEITEM, row, 0) != 0;
}

void Win32PanelView::redrawRow(size_t row) {
    if (list_ != nullptr) SendMessageA(list_, LVM_REDRAWITEMS, row, row);
}

size_t Win32PanelView::selectedRow() {
    if (list_ == nullptr) return kNoRow;
    const LRESULT row = SendMessageA(list_, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
    return row < 0 ? kNoRow : static_cast<size_t>(row);
}

// --------------------------------------------------------------- controls

void Win32PanelView::selectRoutingEntry(RoutingControl control, int entry) {
    HWND combo = routing_[static_cast<int>(control)];
    if (combo != nullptr) SendMessageA(combo, CB_SETCURSEL, static_cast<WPARAM>(entry), 0);
}

void Win32PanelView::hideRoutingControls() {
    for (HWND combo : routing_)
        if (combo != nullptr) ShowWindow(combo, SW_HIDE);
}

void Win32PanelView::setApplyEnabled(bool enabled) {
    if (apply_ != nullptr) EnableWindow(apply_, enabled ? TRUE : FALSE);
}

void Win32PanelView::setBufferLengthText(const char* text) {
    if (label_ != nullptr) SetWindowTextA(label_, text);
}

// A question about a unit is modal to the dialog: answering it must come
// before anything else the dialog could do to that unit.
bool Win32PanelView::askYesNo(const char* text, const char* caption) {
    return MessageBoxA(dialog_.load(), text, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void Win32PanelView::showError(const char* text, const char* caption) {
    MessageBoxA(dialog_.load(), text, caption, MB_OK | MB_ICONERROR);
}

void Win32PanelView::showWarning(const char* text, const char* caption) {
    MessageBoxA(dialog_.load(), text, caption, MB_OK | MB_ICONWARNING);
}

// ---------------------------------------------------------------- threads

void Win32PanelView::runOnDialogThread(FunctorIf& work) {
    HWND dialog = dialog_.load();
    if (dialog == nullptr) return;
    if (GetCurrentThreadId() == dialogThread_) {
        work();
        return;
    }
    // The window system runs it on the dialog's thread and returns after.
    SendMessageA(dialog, kRunOnDialogThread, 0, reinterpret_cast<LPARAM>(&work));
}

void Win32PanelView::serveDialogThreadRequests(uint32_t timeoutMs) {
    MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_SENDMESSAGE, 0);
    // Peeking runs the messages other threads sent; nothing is removed.
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

void Win32PanelView::bringToFront() {
    HWND dialog = dialog_.load();
    if (dialog == nullptr) return;
    // Asynchronous: the dialog's thread may be busy; this thread must not wait for it.
    if (IsIconic(dialog)) ShowWindowAsync(dialog, SW_RESTORE);
    SetForegroundWindow(dialog);
}
