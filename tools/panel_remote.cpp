#include "tools/panel_remote.h"

#include <commctrl.h>

#include <cstring>
#include <vector>

#include "tools/png_file.h"

namespace {

constexpr const char* kDialogCaption = "ASIO Settings";
constexpr int kListId = 1001;
constexpr int kSliderId = 1002;
constexpr int kLogoId = 1011;
constexpr UINT kSendTimeoutMs = 5000;
constexpr size_t kTextSize = 260;

LRESULT send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, kSendTimeoutMs, &result)) return 0;
    return static_cast<LRESULT>(result);
}

std::string windowText(HWND window) {
    char text[1024] = "";
    send(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    text[sizeof text - 1] = '\0';
    return text;
}

std::string className(HWND window) {
    char name[64] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

struct Search {
    DWORD processId;
    HWND owner;
    const char* caption;
    HWND found;
};

BOOL CALLBACK findTopLevel(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<Search*>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (search->processId != 0 && process != search->processId) return TRUE;
    if (className(window) != "#32770") return TRUE;
    if (search->owner != nullptr && GetWindow(window, GW_OWNER) != search->owner) return TRUE;
    char caption[128] = "";
    GetWindowTextA(window, caption, sizeof caption);
    if (search->caption != nullptr && std::strcmp(caption, search->caption) != 0) return TRUE;
    // Visible: a dialog or message box being created has no texts yet.
    if (!IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}

struct Children {
    std::vector<HWND> windows;
};

BOOL CALLBACK collectChild(HWND window, LPARAM parameter) {
    reinterpret_cast<Children*>(parameter)->windows.push_back(window);
    return TRUE;
}

// A message box's text: its longest static text (the icon has none).
std::string messageBoxText(HWND box) {
    Children children;
    EnumChildWindows(box, collectChild, reinterpret_cast<LPARAM>(&children));
    std::string text;
    for (HWND child : children.windows) {
        if (className(child) != "Static") continue;
        const std::string candidate = windowText(child);
        if (candidate.size() > text.size()) text = candidate;
    }
    return text;
}

// Ends a message box with its first button (OK, or Yes).
void closeMessageBox(HWND box) {
    Children children;
    EnumChildWindows(box, collectChild, reinterpret_cast<LPARAM>(&children));
    int first = IDOK;
    for (HWND child : children.windows) {
        if (className(child) != "Button") continue;
        const int id = GetDlgCtrlID(child);
        if (id == IDOK || id == IDYES) first = id;
    }
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(first, BN_CLICKED), 0);
}

}  // namespace

class PanelRemote::RemoteBlock {
public:
    RemoteBlock(HANDLE process, size_t size)
        : process_(process), address_(VirtualAllocEx(process, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)) {}
    ~RemoteBlock() {
        if (address_ != nullptr) VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    }
    RemoteBlock(const RemoteBlock&) = delete;
    RemoteBlock& operator=(const RemoteBlock&) = delete;

    bool valid() const { return address_ != nullptr; }
    char* at(size_t offset) const { return static_cast<char*>(address_) + offset; }
    LPARAM param() const { return reinterpret_cast<LPARAM>(address_); }
    bool write(const void* data, size_t size, size_t offset = 0) const {
        return WriteProcessMemory(process_, at(offset), data, size, nullptr) != FALSE;
    }
    bool read(void* data, size_t size, size_t offset = 0) const {
        return ReadProcessMemory(process_, at(offset), data, size, nullptr) != FALSE;
    }

private:
    HANDLE process_;
    void* address_;
};

PanelRemote::~PanelRemote() {
    if (process_ != nullptr) CloseHandle(process_);
}

bool PanelRemote::waitFor(const std::function<bool()>& condition, uint32_t timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (condition()) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(20);
    }
}

bool PanelRemote::attach(DWORD processId, uint32_t timeoutMs) {
    Search search{processId, nullptr, kDialogCaption, nullptr};
    const bool found = waitFor(
        [&] {
            search.found = nullptr;
            EnumWindows(findTopLevel, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    if (!found) return false;
    dialog_ = search.found;
    GetWindowThreadProcessId(dialog_, &processId_);
    if (process_ != nullptr) CloseHandle(process_);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                           FALSE, processId_);
    return process_ != nullptr;
}

HWND PanelRemote::control(int id) const {
    HWND found = GetDlgItem(dialog_, id);
    if (found == nullptr) {
        HWND listView = GetDlgItem(dialog_, kListId);
        if (listView != nullptr) found = GetDlgItem(listView, id);
    }
    return found;
}

bool PanelRemote::isVisible(int id) const {
    HWND window = control(id);
    return window != nullptr && IsWindowVisible(window);
}

bool PanelRemote::isEnabled(int id) const {
    HWND window = control(id);
    return window != nullptr && IsWindowEnabled(window);
}

std::string PanelRemote::text(int id) const {
    HWND window = control(id);
    return window != nullptr ? windowText(window) : std::string();
}

int PanelRemote::rowCount() const { return static_cast<int>(send(list(), LVM_GETITEMCOUNT, 0, 0)); }

std::string PanelRemote::cellText(int row, int column) const {
    RemoteBlock block(process_, sizeof(LVITEMA) + kTextSize);
    if (!block.valid()) return "<no memory>";
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.iSubItem = column;
    item.pszText = block.at(sizeof item);
    item.cchTextMax = static_cast<int>(kTextSize);
    const char nothing = '\0';
    block.write(&item, sizeof item);
    block.write(&nothing, 1, sizeof item);
    if (!send(list(), LVM_GETITEMA, 0, block.param())) return "<no item>";
    char text[kTextSize] = "";
    block.read(text, sizeof text, sizeof item);
    text[kTextSize - 1] = '\0';
    return text;
}

uint64_t PanelRemote::rowKey(int row) const {
    RemoteBlock block(process_, sizeof(LVITEMA));
    LVITEMA item = {};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    if (!block.valid() || !block.write(&item, sizeof item) || !send(list(), LVM_GETITEMA, 0, block.param()))
        return UINT64_MAX;
    block.read(&item, sizeof item);
    return static_cast<uint64_t>(item.lParam);
}

int PanelRemote::selectedRow() const {
    return static_cast<int>(send(list(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

RECT PanelRemote::rowRect(int row) const {
    RECT rect = {LVIR_BOUNDS, 0, 0, 0};
    RemoteBlock block(process_, sizeof rect);
    if (block.valid() && block.write(&rect, sizeof rect) &&
        send(list(), LVM_GETITEMRECT, static_cast<WPARAM>(row), block.param()))
        block.read(&rect, sizeof rect);
    else
        rect = RECT{};
    return rect;
}

RECT PanelRemote::rectInList(int id) const {
    RECT rect = {};
    HWND window = control(id);
    if (window == nullptr || !GetWindowRect(window, &rect)) return RECT{};
    MapWindowPoints(nullptr, list(), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

bool PanelRemote::selectRow(int row) const {
    RemoteBlock block(process_, sizeof(LVITEMA));
    LVITEMA item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    if (!block.valid() || !block.write(&item, sizeof item)) return false;
    send(list(), LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
    return send(list(), LVM_SETITEMSTATE, static_cast<WPARAM>(row), block.param()) != 0;
}

int PanelRemote::comboSelection(int id) const {
    HWND combo = control(id);
    return combo != nullptr ? static_cast<int>(send(combo, CB_GETCURSEL, 0, 0)) : -1;
}

void PanelRemote::chooseEntry(int id, int entry) const {
    HWND combo = control(id);
    if (combo == nullptr) return;
    send(combo, CB_SETCURSEL, static_cast<WPARAM>(entry), 0);
    send(GetParent(combo), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

void PanelRemote::moveSlider(int position) const {
    HWND slider = control(kSliderId);
    if (slider == nullptr) return;
    send(slider, TBM_SETPOS, TRUE, position);
    send(dialog_, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position), reinterpret_cast<LPARAM>(slider));
    send(dialog_, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(slider));
}

int PanelRemote::sliderPosition() const {
    HWND slider = control(kSliderId);
    return slider != nullptr ? static_cast<int>(send(slider, TBM_GETPOS, 0, 0)) : -1;
}

void PanelRemote::press(int id) const {
    PostMessageA(dialog_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control(id)));
}

HWND PanelRemote::findOwnedWindow(const char* caption, uint32_t timeoutMs) const {
    Search search{processId_, dialog_, caption, nullptr};
    waitFor(
        [&] {
            search.found = nullptr;
            EnumWindows(findTopLevel, reinterpret_cast<LPARAM>(&search));
            return search.found != nullptr;
        },
        timeoutMs);
    return search.found;
}

bool PanelRemote::takeMessageBox(std::string* caption, std::string* text, uint32_t timeoutMs) const {
    HWND box = findOwnedWindow(nullptr, timeoutMs);
    if (box == nullptr) return false;
    char title[256] = "";
    GetWindowTextA(box, title, sizeof title);
    *caption = title;
    waitFor(
        [&] {
            *text = messageBoxText(box);
            return !text->empty();
        },
        timeoutMs);
    closeMessageBox(box);
    return waitFor([&] { return !IsWindow(box); }, timeoutMs);
}

bool PanelRemote::readAboutBox(std::string* caption, std::string* text, uint32_t timeoutMs) const {
    HWND logo = control(kLogoId);
    if (logo == nullptr) return false;
    PostMessageA(logo, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(4, 4));
    PostMessageA(logo, WM_LBUTTONUP, 0, MAKELPARAM(4, 4));
    return takeMessageBox(caption, text, timeoutMs);
}

bool PanelRemote::saveScreenshot(const std::string& pngPath) const {
    RECT rect;
    if (!GetWindowRect(dialog_, &rect)) return false;
    // Everything painted first, the rows and the drop-downs over them too.
    RedrawWindow(dialog_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
    send(dialog_, WM_NULL, 0, 0);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top row first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool saved = false;
    if (memory != nullptr && bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY)) {
            GdiFlush();
            std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
            const auto* bgrx = static_cast<const uint8_t*>(bits);
            for (size_t i = 0; i < static_cast<size_t>(width) * height; ++i) {
                rgb[i * 3] = bgrx[i * 4 + 2];
                rgb[i * 3 + 1] = bgrx[i * 4 + 1];
                rgb[i * 3 + 2] = bgrx[i * 4];
            }
            saved = writePngFile(pngPath, static_cast<uint32_t>(width), static_cast<uint32_t>(height), rgb);
        }
        SelectObject(memory, previous);
    }
    if (bitmap != nullptr) DeleteObject(bitmap);
    if (memory != nullptr) DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return saved;
}
