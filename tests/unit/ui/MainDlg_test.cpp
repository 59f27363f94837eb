// The progress dialog and its picture controls, in process, on the test
// display. The dialog runs modally on the test's main thread; a stand-in for
// the workflow runs on the dialog's worker thread, and a driver thread acts as
// the user. What they see is recorded and checked after the dialog has ended.

#include "MainDlg.h"
#include "PicBtn.h"
#include "PictureCtl.h"

#include "ProgressMessages.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <richedit.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

template <typename Pred> bool WaitUntil(Pred pred, DWORD dwTimeoutMs = 10000) {
    const DWORD start = ::GetTickCount();
    while (!pred()) {
        if (::GetTickCount() - start > dwTimeoutMs)
            return false;
        ::Sleep(20);
    }
    return true;
}

std::wstring WindowText(HWND hWnd) {
    wchar_t szText[64] = {};
    ::SendMessageW(hWnd, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(szText));
    return szText;
}

// What the dialog looked like when it was destroyed; noted by a hook on the
// dialog's thread.
struct AtDestroy {
    bool bSeen = false;
    bool bPropertySet = false;
    bool bBarVisible = false;
    bool bErrorVisible = false;
};
AtDestroy g_atDestroy;
std::wstring g_wstrInstanceName;
HWND g_hDialog = nullptr;

// The window's own visible bit: its parent is already hidden by then.
bool OwnVisibleBit(HWND hWnd) {
    return (::GetWindowLongPtrW(hWnd, GWL_STYLE) & WS_VISIBLE) != 0;
}

LRESULT CALLBACK NoteDestroy(int nCode, WPARAM wParam, LPARAM lParam) {
    const auto* pMsg = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (nCode == HC_ACTION && pMsg->message == WM_DESTROY && pMsg->hwnd == g_hDialog) {
        g_atDestroy.bSeen = true;
        g_atDestroy.bPropertySet = ::GetPropW(pMsg->hwnd, g_wstrInstanceName.c_str()) != nullptr;
        g_atDestroy.bBarVisible = OwnVisibleBit(::GetDlgItem(pMsg->hwnd, IDC_PROGRESS));
        g_atDestroy.bErrorVisible = OwnVisibleBit(::GetDlgItem(pMsg->hwnd, IDC_ERROR_TEXT));
    }
    return ::CallNextHookEx(nullptr, nCode, wParam, lParam);
}

class DialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::LoadLibraryW(L"RICHED20.DLL");
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_BAR_CLASSES};
        ::InitCommonControlsEx(&controls);
    }

    void SetUp() override {
        g_wstrInstanceName = L"UiTest_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                             std::to_wstring(::GetTickCount());
        g_hDialog = nullptr;
        g_atDestroy = AtDestroy();
        m_bLeftOpen = false;
        m_bWorkerStopped = false;
        m_hHook = ::SetWindowsHookExW(WH_CALLWNDPROC, NoteDestroy, nullptr, ::GetCurrentThreadId());
        ASSERT_NE(m_hHook, nullptr);
    }

    void TearDown() override {
        if (m_hHook)
            ::UnhookWindowsHookEx(m_hHook);
        m_hHook = nullptr;
    }

    // Runs the dialog. work stands in for the workflow on the worker thread
    // and gets the dialog window and the run's observer; then, if given, user
    // runs on a thread of its own with the same window. A dialog that is
    // still open five seconds after user returns is cancelled, and m_bLeftOpen
    // tells. Afterwards the worker is waited for, as the launcher does, for at
    // most dwWorkerBoundMs; m_bWorkerStopped tells whether it ended in time.
    INT_PTR Run(std::function<ResultCode(HWND, CvCommon::RunObserver&)> work,
                std::function<void(HWND)> user = {}, DWORD dwWorkerBoundMs = 5000) {
        std::promise<HWND> started;
        std::future<HWND> window = started.get_future();
        CMainDlg* pDialog = nullptr;
        // The job keeps its own copy of work: a worker may outlive this call.
        CMainDlg dialog(g_wstrInstanceName,
                        [&started, &pDialog, work](CvCommon::RunObserver& observer) {
                            g_hDialog = pDialog->m_hWnd;
                            started.set_value(g_hDialog);
                            return work(g_hDialog, observer);
                        });
        pDialog = &dialog;
        std::thread driver;
        if (user) {
            driver = std::thread([&] {
                if (window.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
                    return;
                const HWND hDlg = window.get();
                user(hDlg);
                if (!WaitUntil([&] { return !::IsWindow(hDlg); }, 5000)) {
                    m_bLeftOpen = true;
                    ::PostMessageW(hDlg, WM_COMMAND, IDCANCEL, 0);
                }
            });
        }
        const INT_PTR result = dialog.DoModal(nullptr, 0);
        m_bStopRequested = dialog.StopRequested();
        const DWORD dwStart = ::GetTickCount();
        m_bWorkerStopped = dialog.WaitForWorker(dwWorkerBoundMs);
        m_dwWorkerWaitMs = ::GetTickCount() - dwStart;
        if (driver.joinable())
            driver.join();
        return result;
    }

    HHOOK m_hHook = nullptr;
    bool m_bLeftOpen = false;
    bool m_bStopRequested = false;
    bool m_bWorkerStopped = false;
    DWORD m_dwWorkerWaitMs = 0;
};

// The layout itself is checked on the launcher's own window (tests/e2e/test_ui.py).
TEST_F(DialogTest, FollowsProgressAndClosesWhenTheRunSucceeds) {
    struct {
        std::wstring title;
        bool bIcons = false, bPropertySet = false;
        int nStartPos = -1, nAfterRefused = -1;
        std::vector<int> positions;
        LRESULT nullProgress = 0, nullFailure = 0;
        bool bWhiteBackground = false, bHollowStatics = false;
    } seen;

    const INT_PTR result = Run([&](HWND hDlg, CvCommon::RunObserver& observer) {
        seen.title = WindowText(hDlg);
        seen.bIcons = ::SendMessageW(hDlg, WM_GETICON, ICON_BIG, 0) &&
                      ::SendMessageW(hDlg, WM_GETICON, ICON_SMALL, 0);
        seen.bPropertySet = ::GetPropW(hDlg, g_wstrInstanceName.c_str()) != nullptr;

        const HWND hBar = ::GetDlgItem(hDlg, IDC_PROGRESS);
        seen.nStartPos = static_cast<int>(::SendMessageW(hBar, PBM_GETPOS, 0, 0));
        for (int percent : {10, 40, 69, 70}) {
            observer.OnProgress(percent);
            seen.positions.push_back(static_cast<int>(::SendMessageW(hBar, PBM_GETPOS, 0, 0)));
        }
        seen.nullProgress = ::SendMessageW(hDlg, WM_DOWNLOAD_PROGRESS, 0, 0);
        seen.nullFailure = ::SendMessageW(hDlg, WM_DOWNLOAD_FAILED, 0, 0);
        seen.nAfterRefused = static_cast<int>(::SendMessageW(hBar, PBM_GETPOS, 0, 0));

        // The dialog paints itself white and lets static text show through.
        HDC hdc = ::CreateCompatibleDC(nullptr);
        HBITMAP hBitmap = ::CreateBitmap(8, 8, 1, 32, nullptr);
        HGDIOBJ hOld = ::SelectObject(hdc, hBitmap);
        ::SendMessageW(hDlg, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
        seen.bWhiteBackground = ::GetPixel(hdc, 0, 0) == RGB(255, 255, 255) &&
                                ::GetPixel(hdc, 7, 7) == RGB(255, 255, 255);
        ::SetBkMode(hdc, OPAQUE);
        const LRESULT brush = ::SendMessageW(hDlg, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(hdc),
                                             reinterpret_cast<LPARAM>(::GetDlgItem(hDlg, 1001)));
        seen.bHollowStatics = brush == reinterpret_cast<LRESULT>(::GetStockObject(NULL_BRUSH)) &&
                              ::GetBkMode(hdc) == TRANSPARENT;
        ::SelectObject(hdc, hOld);
        ::DeleteObject(hBitmap);
        ::DeleteDC(hdc);
        return Result::kSuccess;
    });

    EXPECT_EQ(result, 1);
    EXPECT_FALSE(m_bStopRequested);
    EXPECT_TRUE(m_bWorkerStopped);
    EXPECT_EQ(seen.title, L"Corvane Homeward for Home Networks");
    EXPECT_TRUE(seen.bIcons);
    EXPECT_TRUE(seen.bPropertySet);
    EXPECT_EQ(seen.nStartPos, 3);
    EXPECT_EQ(seen.positions, (std::vector<int>{10, 40, 69, 70}));
    EXPECT_EQ(seen.nullProgress, -1);
    EXPECT_EQ(seen.nullFailure, -1);
    EXPECT_EQ(seen.nAfterRefused, 70);
    EXPECT_TRUE(seen.bWhiteBackground);
    EXPECT_TRUE(seen.bHollowStatics);
    // Ending removed the instance property; the bar was still up.
    EXPECT_TRUE(g_atDestroy.bSeen);
    EXPECT_FALSE(g_atDestroy.bPropertySet);
    EXPECT_TRUE(g_atDestroy.bBarVisible);
    EXPECT_FALSE(g_atDestroy.bErrorVisible);
}

TEST_F(DialogTest, FailedRunShowsItsCodeAndStaysUntilTheUserEndsIt) {
    const auto click = [](HWND hDlg) {
        const HWND hClose = ::GetDlgItem(hDlg, IDC_CLOSE);
        ::PostMessageW(hClose, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
        ::PostMessageW(hClose, WM_LBUTTONUP, 0, MAKELPARAM(5, 5));
    };
    const auto key = [](UINT vk) {
        return [vk](HWND hDlg) {
            ::PostMessageW(hDlg, WM_KEYDOWN, vk, 1);
            ::PostMessageW(hDlg, WM_KEYUP, vk, 0xC0000001);
        };
    };
    const auto systemClose = [](HWND hDlg) { ::PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0); };
    const auto enterThenEscape = [key](HWND hDlg) {
        key(VK_RETURN)(hDlg);
        ::Sleep(300);
        key(VK_ESCAPE)(hDlg);
    };
    struct Case {
        const char* name;
        ResultCode code; // 0: the run throws
        std::function<void(HWND)> end;
        const wchar_t* text;
        INT_PTR result;
    };
    const Case cases[] = {
        {"close button", Result::kNoAddress, click, L"E0FF0007", 1},
        {"escape", Result::FromPlatformError(ERROR_ACCESS_DENIED), key(VK_ESCAPE), L"E0FE0005", 2},
        {"system close", 0x80000000, systemClose, L"80000000", 2},
        {"enter does nothing", Result::kTimedOut, enterThenEscape, L"E0FF0029", 2},
        // A run that throws is a failure, and the throw stays on the worker.
        {"throwing run", 0, key(VK_ESCAPE), L"E0FE023E", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        struct {
            bool bShown = false, bBarVisible = true, bIconVisible = false, bStillOpen = false;
            bool bPropertySet = false;
            std::wstring text;
        } seen;
        const INT_PTR result = Run(
            [&](HWND, CvCommon::RunObserver&) -> ResultCode {
                if (!c.code)
                    throw std::runtime_error("run failed");
                return c.code;
            },
            [&](HWND hDlg) {
                const HWND hText = ::GetDlgItem(hDlg, IDC_ERROR_TEXT);
                seen.bShown = WaitUntil(
                    [&] { return ::IsWindowVisible(hDlg) && !WindowText(hText).empty(); });
                seen.text = WindowText(hText);
                seen.bBarVisible = ::IsWindowVisible(::GetDlgItem(hDlg, IDC_PROGRESS));
                seen.bIconVisible = ::IsWindowVisible(::GetDlgItem(hDlg, IDC_ERROR_ICON));
                ::Sleep(300);
                seen.bStillOpen = ::IsWindowVisible(hDlg);
                seen.bPropertySet = ::GetPropW(hDlg, g_wstrInstanceName.c_str()) != nullptr;
                c.end(hDlg);
            });
        EXPECT_TRUE(seen.bShown);
        EXPECT_EQ(seen.text, c.text);
        EXPECT_FALSE(seen.bBarVisible);
        EXPECT_TRUE(seen.bIconVisible);
        EXPECT_TRUE(seen.bStillOpen);
        EXPECT_TRUE(seen.bPropertySet);
        EXPECT_FALSE(m_bLeftOpen);
        EXPECT_EQ(result, c.result);
        EXPECT_TRUE(g_atDestroy.bSeen);
        EXPECT_FALSE(g_atDestroy.bPropertySet);
    }
}

TEST_F(DialogTest, HiddenRunLeavesTheTaskbarShowsNoFailureAndClosesItself) {
    RECT rcHidden = {};
    LONG_PTR exStyle = 0;
    const INT_PTR result = Run([&](HWND hDlg, CvCommon::RunObserver& observer) {
        // What the workflow does when it finds "-s" among its arguments.
        observer.OnHide();
        ::GetWindowRect(hDlg, &rcHidden);
        exStyle = ::GetWindowLongPtrW(hDlg, GWL_EXSTYLE);
        return Result::kNoAddress;
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(rcHidden.right - rcHidden.left, 0);
    EXPECT_EQ(rcHidden.bottom - rcHidden.top, 0);
    EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
    EXPECT_FALSE(exStyle & WS_EX_APPWINDOW);
    EXPECT_TRUE(g_atDestroy.bSeen);
    EXPECT_FALSE(g_atDestroy.bErrorVisible);
    EXPECT_TRUE(g_atDestroy.bBarVisible);
}

// Closing asks the run to stop; the worker keeps reporting until it notices,
// and none of its reports may wait on the window that is gone.
TEST_F(DialogTest, ClosingStopsTheRunAndTheWorkerIsWaitedFor) {
    const auto escape = [](HWND hDlg) {
        ::PostMessageW(hDlg, WM_KEYDOWN, VK_ESCAPE, 1);
        ::PostMessageW(hDlg, WM_KEYUP, VK_ESCAPE, 0xC0000001);
    };
    const auto closeButton = [](HWND hDlg) {
        ::PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDC_CLOSE, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(hDlg, IDC_CLOSE)));
    };
    const auto systemClose = [](HWND hDlg) { ::PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0); };
    struct Case {
        const char* name;
        std::function<void(HWND)> close;
        INT_PTR result;
    };
    for (const Case& c : {Case{"escape", escape, 2}, Case{"close button", closeButton, 1},
                          Case{"system close", systemClose, 2}}) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        bool bSawStop = false;
        int nReportsAfterStop = 0;
        const INT_PTR result = Run(
            [&](HWND, CvCommon::RunObserver& observer) -> ResultCode {
                for (int i = 0; i < 1000; ++i) {
                    if (observer.Cancel().WaitFor(10)) {
                        bSawStop = true;
                        break;
                    }
                    observer.OnProgress(10 + i % 60);
                }
                // A run that goes on reporting after the close is not held up.
                for (; nReportsAfterStop < 50; ++nReportsAfterStop)
                    observer.OnProgress(50);
                observer.OnFailed(Result::kCancelled);
                return Result::kCancelled;
            },
            [&](HWND hDlg) {
                ::Sleep(200);
                c.close(hDlg);
            });
        EXPECT_EQ(result, c.result);
        EXPECT_TRUE(m_bStopRequested);
        EXPECT_TRUE(bSawStop);
        EXPECT_EQ(nReportsAfterStop, 50);
        EXPECT_TRUE(m_bWorkerStopped);
        EXPECT_FALSE(m_bLeftOpen);
        EXPECT_FALSE(g_atDestroy.bPropertySet);
    }
}

// A worker that ignores the stop request is waited for only as long as the
// bound allows.
TEST_F(DialogTest, WaitingForAWorkerThatDoesNotStopIsBounded) {
    HANDLE hRelease = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(hRelease, nullptr);
    const INT_PTR result = Run(
        [&](HWND, CvCommon::RunObserver&) -> ResultCode {
            ::WaitForSingleObject(hRelease, 20000);
            return Result::kSuccess;
        },
        [](HWND hDlg) { ::PostMessageW(hDlg, WM_COMMAND, IDCANCEL, 0); }, 300);
    EXPECT_EQ(result, 2);
    EXPECT_FALSE(m_bWorkerStopped);
    EXPECT_LT(m_dwWorkerWaitMs, 10000u);
    ::SetEvent(hRelease);
    ::Sleep(100);
    ::CloseHandle(hRelease);
}

// -- the picture controls ------------------------------------------------------

// The pixels of a bitmap resource, as 32-bit values, top row first.
std::vector<DWORD> ResourcePixels(UINT id, int cx, int cy) {
    std::vector<DWORD> pixels(cx * cy);
    HBITMAP hBitmap = ::LoadBitmapW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id));
    if (!hBitmap)
        return {};
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), cx, -cy, 1, 32, BI_RGB};
    HDC hdc = ::GetDC(nullptr);
    const int rows = ::GetDIBits(hdc, hBitmap, 0, cy, pixels.data(), &info, DIB_RGB_COLORS);
    ::ReleaseDC(nullptr, hdc);
    ::DeleteObject(hBitmap);
    return rows == cy ? pixels : std::vector<DWORD>();
}

// What a control draws for WM_ERASEBKGND, as 32-bit values, top row first.
std::vector<DWORD> ErasePixels(HWND hWnd) {
    RECT rc = {};
    ::GetClientRect(hWnd, &rc);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), rc.right, -rc.bottom, 1, 32, BI_RGB};
    void* pBits = nullptr;
    HBITMAP hBitmap = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &pBits, nullptr, 0);
    HDC hdc = ::CreateCompatibleDC(nullptr);
    HGDIOBJ hOld = ::SelectObject(hdc, hBitmap);
    const LRESULT handled = ::SendMessageW(hWnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    ::GdiFlush();
    std::vector<DWORD> pixels(static_cast<const DWORD*>(pBits),
                              static_cast<const DWORD*>(pBits) + rc.right * rc.bottom);
    ::SelectObject(hdc, hOld);
    ::DeleteDC(hdc);
    ::DeleteObject(hBitmap);
    return handled == 1 ? pixels : std::vector<DWORD>();
}

class PictureTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_hParent = ::CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 400, 100, nullptr, nullptr,
                                      nullptr, nullptr);
        ASSERT_NE(m_hParent, nullptr);
    }
    void TearDown() override { ::DestroyWindow(m_hParent); }

    HWND Child(int x, int y, int cx, int cy, DWORD dwStyle = 0) {
        return ::CreateWindowExW(0, L"Static", L"", WS_CHILD | WS_VISIBLE | dwStyle, x, y, cx, cy,
                                 m_hParent, nullptr, nullptr, nullptr);
    }

    HWND m_hParent = nullptr;
};

TEST_F(PictureTest, PictureControlsDrawTheirBitmapsAtTheirSize) {
    struct Case {
        UINT id;
        int cx, cy;
    };
    for (const Case& c : {Case{IDB_BANNER, 320, 46}, Case{IDB_ERROR, 16, 16}}) {
        SCOPED_TRACE(c.id);
        CPictureCtl picture(c.id);
        ASSERT_TRUE(picture.SubclassWindow(Child(0, 0, c.cx, c.cy)));
        const std::vector<DWORD> expected = ResourcePixels(c.id, c.cx, c.cy);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(ErasePixels(picture.m_hWnd), expected);
        // A second attach is refused and changes nothing.
        EXPECT_FALSE(picture.SubclassWindow(Child(0, 50, 10, 10)));
    }
}

TEST_F(PictureTest, CloseButtonShowsTheHoverPictureUntilThePointerLeavesEveryTime) {
    CPicBtn button(IDB_CLOSE_HOVER, IDB_CLOSE_NORMAL);
    ASSERT_TRUE(button.SubclassWindow(Child(300, 10, 10, 10, SS_NOTIFY)));
    const std::vector<DWORD> normal = ResourcePixels(IDB_CLOSE_NORMAL, 10, 10);
    const std::vector<DWORD> hover = ResourcePixels(IDB_CLOSE_HOVER, 10, 10);
    ASSERT_FALSE(normal.empty());
    ASSERT_NE(normal, hover);

    EXPECT_EQ(ErasePixels(button.m_hWnd), normal);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        EXPECT_TRUE(button.TrackArmed());
        ::SendMessageW(button.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
        EXPECT_FALSE(button.TrackArmed());
        // Further moves ask for nothing new.
        ::SendMessageW(button.m_hWnd, WM_MOUSEMOVE, 0, MAKELPARAM(6, 6));
        EXPECT_FALSE(button.TrackArmed());
        ::SendMessageW(button.m_hWnd, WM_MOUSEHOVER, 0, MAKELPARAM(6, 6));
        EXPECT_EQ(ErasePixels(button.m_hWnd), hover);
        ::SendMessageW(button.m_hWnd, WM_MOUSELEAVE, 0, 0);
        EXPECT_EQ(ErasePixels(button.m_hWnd), normal);
    }
    // Detached when the window goes.
    ::DestroyWindow(button.m_hWnd);
    EXPECT_EQ(button.m_hWnd, nullptr);
}

} // namespace
