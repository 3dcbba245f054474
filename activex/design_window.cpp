#include "activex/design_window.hpp"

#include <mutex>

#include "activex/module.hpp"

namespace vostrel::activex {

namespace {

constexpr wchar_t kClassName[] = L"VostrelDesignPicture";

// Registered while a window of the class exists: a module that is unloaded
// leaves no class behind that points into freed code.
std::mutex g_classMutex;
int g_windows = 0;

LRESULT CALLBACK Procedure(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_NCCREATE: {
            const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lp);
            SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                              reinterpret_cast<LONG_PTR>(create->lpCreateParams));
            break;
        }
        case WM_ERASEBKGND:
            return 1;  // the picture covers it all
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(hwnd, &paint);
            auto* painter = reinterpret_cast<IViewObject*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            RECT client{};
            GetClientRect(hwnd, &client);
            const RECTL bounds{client.left, client.top, client.right, client.bottom};
            if (painter)
                painter->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds, nullptr,
                              nullptr, 0);
            EndPaint(hwnd, &paint);
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

}  // namespace

HWND CreateDesignWindow(HWND parent, const RECT& position, IViewObject* painter, bool visible) {
    std::lock_guard lock(g_classMutex);
    if (g_windows == 0) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &Procedure;
        wc.hInstance = ModuleHandle();
        wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        wc.lpszClassName = kClassName;
        if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            return nullptr;
    }
    HWND window =
        CreateWindowExW(0, kClassName, L"", WS_CHILD | WS_CLIPSIBLINGS | (visible ? WS_VISIBLE : 0),
                        position.left, position.top, position.right - position.left,
                        position.bottom - position.top, parent, nullptr, ModuleHandle(), painter);
    if (window) {
        ++g_windows;
    } else if (g_windows == 0) {
        const DWORD why = GetLastError();
        UnregisterClassW(kClassName, ModuleHandle());
        SetLastError(why);
    }
    return window;
}

void DestroyDesignWindow(HWND window) {
    if (!window) return;
    DestroyWindow(window);
    std::lock_guard lock(g_classMutex);
    if (--g_windows == 0) UnregisterClassW(kClassName, ModuleHandle());
}

}  // namespace vostrel::activex
