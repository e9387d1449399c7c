// What the settings dialog paints itself: the rows of its device list,
// whose routing cells turn into the drop-downs on the selected row, the
// removal mark, and the logo with its About box.
#include "brands/brand_asio.h"
#include "panel/panel_layout.h"
#include "panel/win32/win32_panel_view.h"

namespace {

constexpr int kTextIndent = 2;
constexpr UINT_PTR kSubclassId = 1;

struct Brush {
    explicit Brush(COLORREF colour) : handle(CreateSolidBrush(colour)) {}
    ~Brush() {
        if (handle != nullptr) DeleteObject(handle);
    }
    HBRUSH handle;
};

// Copies a bitmap onto a device context with the given raster operation.
void blit(HDC target, int x, int y, int width, int height, HBITMAP bitmap, DWORD operation) {
    HDC source = CreateCompatibleDC(target);
    if (source == nullptr) return;
    HGDIOBJ previous = SelectObject(source, bitmap);
    BitBlt(target, x, y, width, height, source, 0, 0, operation);
    SelectObject(source, previous);
    DeleteDC(source);
}

}  // namespace

bool Win32PanelView::cellRects(size_t row, RECT* cells, size_t* count) const {
    RECT item = {};
    item.left = LVIR_BOUNDS;
    if (!SendMessageA(list_, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&item))) return false;
    const PanelColumns& columns = panel_->columns();
    int x = item.left;
    for (size_t i = 0; i < columns.count(); ++i) {
        const int width = static_cast<int>(SendMessageA(list_, LVM_GETCOLUMNWIDTH, i, 0));
        cells[i] = {x, item.top, x + width, item.bottom};
        x += width;
    }
    *count = columns.count();
    return true;
}

bool Win32PanelView::cellText(size_t row, size_t column, char* text, int size) const {
    LVITEMA item = {};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(row);
    item.iSubItem = static_cast<int>(column);
    item.pszText = text;
    item.cchTextMax = size;
    text[0] = '\0';
    return SendMessageA(list_, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item)) != 0;
}

void Win32PanelView::drawCellText(HDC dc, RECT cell, const char* text, COLORREF colour) const {
    SetTextColor(dc, colour);
    cell.left += kTextIndent;
    DrawTextA(dc, text, -1, &cell, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

void Win32PanelView::drawRow(const DRAWITEMSTRUCT& item) {
    const size_t row = item.itemID;
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    const COLORREF background = GetSysColor(selected ? COLOR_HIGHLIGHT : COLOR_WINDOW);
    const COLORREF foreground = GetSysColor(selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT);
    HDC dc = item.hDC;
    RECT cells[PanelColumns::kMaxColumns];
    size_t count = 0;
    if (!cellRects(row, cells, &count)) return;
    {
        Brush brush(background);
        FillRect(dc, &item.rcItem, brush.handle);
    }
    char text[kCellTextSize];
    if (!cellText(row, 0, text, sizeof text)) {
        FillRect(dc, &item.rcItem, GetSysColorBrush(COLOR_WINDOW));
        return;
    }
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    const PanelColumns& columns = panel_->columns();
    RECT routingCells[2] = {};
    for (size_t column = 0; column < count; ++column) {
        const PanelColumn kind = columns.kind(column);
        if (column > 0 && !cellText(row, column, text, sizeof text)) continue;
        if (kind == PanelColumn::Device && text[0] != '\0' && panel_->brand().showsDeviceStatus() &&
            removalMark_ != nullptr) {
            BITMAP mark;
            if (GetObjectA(removalMark_, sizeof mark, &mark) != 0) {
                const PanelRect cell{cells[column].left, cells[column].top, cells[column].right, cells[column].bottom};
                const PanelRect at = removalMarkRect(cell, mark.bmWidth, mark.bmHeight);
                blit(dc, at.left, at.top, mark.bmWidth, mark.bmHeight, removalMark_, SRCCOPY);
            }
        }
        if ((kind == PanelColumn::LeftChannel || kind == PanelColumn::RightChannel) && selected) {
            routingCells[kind == PanelColumn::RightChannel ? 1 : 0] = cells[column];
            continue;
        }
        drawCellText(dc, cells[column], text, foreground);
    }
    SetBkMode(dc, oldMode);
    if (selected) placeRoutingPair(row, routingCells[0], routingCells[1]);
    if ((item.itemState & ODS_FOCUS) != 0) {
        FrameRect(dc, &item.rcItem, GetSysColorBrush(COLOR_WINDOW));
        DrawFocusRect(dc, &item.rcItem);
    }
}

// The selected row's routing cells turn into the pair of drop-downs that
// matches its group; the other pair stays hidden.
void Win32PanelView::placeRoutingPair(size_t row, const RECT& left, const RECT& right) {
    const ControlPanel::RoutingPair pair = panel_->routingPairOfRow(row);
    if (pair == ControlPanel::RoutingPair::None) return;
    const int first = pair == ControlPanel::RoutingPair::Inputs ? 0 : 2;
    for (int i = 0; i < kRoutingControls; ++i) {
        HWND combo = routing_[i];
        if (combo == nullptr) continue;
        if (i != first && i != first + 1) {
            if (IsWindowVisible(combo)) ShowWindow(combo, SW_HIDE);
            continue;
        }
        const RECT& cell = i == first ? left : right;
        RECT now;
        GetWindowRect(combo, &now);
        MapWindowPoints(nullptr, list_, reinterpret_cast<POINT*>(&now), 2);
        // Moving a child while its parent paints invalidates the parent:
        // move only when the place changed, or painting never ends.
        if (now.left != cell.left || now.top != cell.top || now.right - now.left != cell.right - cell.left)
            SetWindowPos(combo, nullptr, cell.left, cell.top, cell.right - cell.left, droppedHeight_[i],
                         SWP_NOACTIVATE | SWP_NOZORDER);
        if (!IsWindowVisible(combo)) ShowWindow(combo, SW_SHOWNOACTIVATE);
    }
}

void Win32PanelView::listClicked(const NMITEMACTIVATE& click) {
    LVHITTESTINFO hit = {};
    hit.pt = click.ptAction;
    if (SendMessageA(list_, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)) < 0 || hit.iItem < 0) return;
    RECT cells[PanelColumns::kMaxColumns];
    size_t count = 0;
    if (!cellRects(static_cast<size_t>(hit.iItem), cells, &count)) return;
    size_t column = count;
    for (size_t i = 0; i < count; ++i)
        if (click.ptAction.x >= cells[i].left && click.ptAction.x < cells[i].right) column = i;
    if (column == count) return;
    BITMAP mark = {};
    if (removalMark_ == nullptr || GetObjectA(removalMark_, sizeof mark, &mark) == 0) mark = {};
    const PanelRect cell{cells[column].left, cells[column].top, cells[column].right, cells[column].bottom};
    panel_->listClicked(static_cast<size_t>(hit.iItem), column, click.ptAction.x, click.ptAction.y, cell,
                        mark.bmWidth, mark.bmHeight);
}

void Win32PanelView::paintLogo(HWND logo) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(logo, &paint);
    BITMAP image;
    RECT client;
    if (dc != nullptr && logoImage_ != nullptr && logoMask_ != nullptr &&
        GetObjectA(logoImage_, sizeof image, &image) != 0 && GetClientRect(logo, &client)) {
        const int x = (client.right - image.bmWidth) / 2;
        const int y = (client.bottom - image.bmHeight) / 2;
        // Image, mask, image: where the mask is white the background
        // shows through unchanged, where it is black the image.
        blit(dc, x, y, image.bmWidth, image.bmHeight, logoImage_, SRCINVERT);
        blit(dc, x, y, image.bmWidth, image.bmHeight, logoMask_, SRCAND);
        blit(dc, x, y, image.bmWidth, image.bmHeight, logoImage_, SRCINVERT);
    }
    EndPaint(logo, &paint);
}

LRESULT CALLBACK Win32PanelView::logoProc(HWND logo, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                          DWORD_PTR self) {
    auto* view = reinterpret_cast<Win32PanelView*>(self);
    switch (message) {
        case WM_PAINT:
            view->paintLogo(logo);
            return 0;
        case WM_LBUTTONUP:
            MessageBoxA(view->dialog_.load(), view->panel_ != nullptr ? view->panel_->brand().getAboutText() : "",
                        "About", MB_OK);
            break;
        case WM_NCDESTROY:
            RemoveWindowSubclass(logo, logoProc, kSubclassId);
            break;
        default:
            break;
    }
    return DefSubclassProc(logo, message, wParam, lParam);
}
