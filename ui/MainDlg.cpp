#include "MainDlg.h"

#include "ProgressMessages.h"
#include "CvComn_BoundedFormat.h"
#include "ReflectNotifications.h"

#include <commctrl.h>
#include <process.h>

#include <cwchar>
#include <memory>
#include <new>

namespace {

constexpr wchar_t kWindowText[] = L"Corvane Homeward for Home Networks";

// The style bits the window keeps: visible, clipping, system menu and the
// minimise and maximise boxes. Caption and frame go.
constexpr LONG_PTR kKeptStyle = 0x160B0000;

// The error code: 9.8 points of grey Segoe UI.
constexpr LONG kErrorTextHeight = 196; // twips
constexpr COLORREF kErrorTextColor = 0x666666;

// The bar starts here, before the workflow's first report.
constexpr int kInitialProgress = 3;

} // namespace

// Everything the worker needs, owned by the worker once it runs, so that it
// does not depend on the dialog object outliving it.
struct CMainDlg::DownloadJob {
    WorkflowRun run;
    std::shared_ptr<WindowRunObserver> pObserver;
};

CMainDlg::CMainDlg(std::wstring wstrInstanceName, WorkflowRun run)
    : m_banner(IDB_BANNER), m_btnClose(IDB_CLOSE_HOVER, IDB_CLOSE_NORMAL), m_errorIcon(IDB_ERROR),
      m_run(std::move(run)), m_pObserver(std::make_shared<WindowRunObserver>()),
      m_wstrInstanceName(std::move(wstrInstanceName)) {}

CMainDlg::~CMainDlg() = default;

BOOL CMainDlg::ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                                    LRESULT& lResult) {
    if (uMsg == WM_INITDIALOG) {
        lResult = OnInitDialog();
        return TRUE;
    }
    if (uMsg == WM_DOWNLOAD_PROGRESS) {
        lResult = OnProgress(wParam);
        return TRUE;
    }
    if (uMsg == WM_DOWNLOAD_FAILED) {
        lResult = OnFailed(wParam);
        return TRUE;
    }
    if (uMsg == WM_DOWNLOAD_DONE) {
        lResult = OnDone();
        return TRUE;
    }
    if (uMsg == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        lResult = OnCancel(IDCANCEL);
        return TRUE;
    }
    if (uMsg == WM_LBUTTONDOWN) {
        lResult = OnLButtonDown(lParam);
        return TRUE;
    }
    if (uMsg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDC_CLOSE) {
        BOOL bHandled = TRUE;
        lResult = OnCloseButton(bHandled);
        if (bHandled)
            return TRUE;
    }
    if (CPaintBkgnd<CMainDlg, 0xFFFFFF>::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult))
        return TRUE;
    if (CCtlHollowColor::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult))
        return TRUE;
    return Ui::ReflectNotifications(hWnd, uMsg, wParam, lParam, lResult);
}

LRESULT CMainDlg::OnInitDialog() {
    CenterWindow();
    LoadIcons();
    BindControls();
    InitControls();
    StartDownloadThread(m_hWnd);
    return TRUE;
}

void CMainDlg::CenterWindow() {
    RECT rcDialog = {};
    ::GetWindowRect(m_hWnd, &rcDialog);
    HWND hWndOwner = ::GetWindow(m_hWnd, GW_OWNER);
    if (hWndOwner && (!::IsWindowVisible(hWndOwner) || ::IsIconic(hWndOwner)))
        hWndOwner = nullptr;

    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    ::GetMonitorInfoW(::MonitorFromWindow(hWndOwner ? hWndOwner : m_hWnd, MONITOR_DEFAULTTONEAREST),
                      &monitor);
    const RECT rcArea = monitor.rcWork;
    RECT rcCenter = rcArea;
    if (hWndOwner)
        ::GetWindowRect(hWndOwner, &rcCenter);

    const int cx = rcDialog.right - rcDialog.left;
    const int cy = rcDialog.bottom - rcDialog.top;
    int x = (rcCenter.left + rcCenter.right) / 2 - cx / 2;
    int y = (rcCenter.top + rcCenter.bottom) / 2 - cy / 2;
    // Back inside the work area where it sticks out.
    if (x + cx > rcArea.right)
        x = rcArea.right - cx;
    if (x < rcArea.left)
        x = rcArea.left;
    if (y + cy > rcArea.bottom)
        y = rcArea.bottom - cy;
    if (y < rcArea.top)
        y = rcArea.top;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CMainDlg::LoadIcons() {
    const HINSTANCE hInstance = Ui::ModuleInstance();
    m_hIconBig.reset(static_cast<HICON>(::LoadImageW(
        hInstance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
        ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR)));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIconBig.get()));
    m_hIconSmall.reset(static_cast<HICON>(::LoadImageW(
        hInstance, MAKEINTRESOURCEW(IDI_APP), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
        ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR)));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIconSmall.get()));
}

void CMainDlg::BindControls() {
    if (!m_banner.m_hWnd)
        m_banner.SubclassWindow(::GetDlgItem(m_hWnd, IDC_BANNER));
    if (!m_btnClose.m_hWnd)
        m_btnClose.SubclassWindow(::GetDlgItem(m_hWnd, IDC_CLOSE));
    if (!m_errorIcon.m_hWnd)
        m_errorIcon.SubclassWindow(::GetDlgItem(m_hWnd, IDC_ERROR_ICON));
    if (!m_hErrorText)
        m_hErrorText = ::GetDlgItem(m_hWnd, IDC_ERROR_TEXT);
    if (!m_hProgress)
        m_hProgress = ::GetDlgItem(m_hWnd, IDC_PROGRESS);
}

void CMainDlg::InitControls() {
    ::SetWindowTextW(m_hWnd, kWindowText);

    // A second launcher finds this window by the property.
    if (!m_wstrInstanceName.empty() &&
        !::SetPropW(m_hWnd, m_wstrInstanceName.c_str(), reinterpret_cast<HANDLE>(1))) {
        ::OutputDebugStringW(L"SetPropW failed");
        m_wstrInstanceName.clear();
    }

    const LONG_PTR style = ::GetWindowLongPtrW(m_hWnd, GWL_STYLE);
    ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, style & kKeptStyle);
    ::SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, 0);
    ::SetWindowPos(m_hWnd, nullptr, 0, 0, kWidth, kHeight,
                   SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);

    ::MoveWindow(m_banner.m_hWnd, 0, 0, kWidth, 46, TRUE);
    ::MoveWindow(m_btnClose.m_hWnd, 300, 10, 10, 10, TRUE);

    m_cfError = {};
    m_cfError.cbSize = sizeof(m_cfError);
    m_cfError.dwMask = CFM_SIZE | CFM_COLOR | CFM_FACE;
    m_cfError.dwEffects = 0;
    m_cfError.yHeight = kErrorTextHeight;
    m_cfError.crTextColor = kErrorTextColor;
    std::wcsncpy(m_cfError.szFaceName, L"Segoe UI", LF_FACESIZE - 1);

    ::MoveWindow(m_errorIcon.m_hWnd, 115, 70, 16, 16, TRUE);
    ::SetWindowPos(m_hErrorText, HWND_BOTTOM, 140, 70, 0, 0, SWP_NOSIZE);
    ::ShowWindow(m_errorIcon.m_hWnd, SW_HIDE);
    ::ShowWindow(m_hErrorText, SW_HIDE);

    ::MoveWindow(m_hProgress, 20, 70, 280, 15, TRUE);
    ::SendMessageW(m_hProgress, PBM_SETPOS, kInitialProgress, 0);
    ::SendMessageW(m_hProgress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    ::SendMessageW(m_hProgress, PBM_SETSTEP, 1, 0);

    ::SetWindowPos(m_hWnd, HWND_TOPMOST, 0, 0, kWidth, kHeight, SWP_NOMOVE | SWP_FRAMECHANGED);
}

ResultCode CMainDlg::StartDownloadThread(HWND hWnd) {
    if (!hWnd)
        ::OutputDebugStringW(L"hWnd is NULL");
    if (m_hWorker)
        return Result::FromPlatformError(ERROR_ALREADY_INITIALIZED);
    m_pObserver->Attach(hWnd);

    std::unique_ptr<DownloadJob> job;
    try {
        job.reset(new DownloadJob{m_run, m_pObserver});
    } catch (const std::bad_alloc&) {
        return Result::FromPlatformError(ERROR_OUTOFMEMORY);
    }
    unsigned threadId = 0;
    CvCommon::Handle::UniqueThread thread(reinterpret_cast<HANDLE>(
        ::_beginthreadex(nullptr, 0, DownloadThreadProc, job.get(), 0, &threadId)));
    const DWORD dwError = ::GetLastError();
    if (!thread) {
        ::OutputDebugStringW(L"the download thread cannot be started");
        return Result::FromPlatformError(dwError);
    }
    job.release(); // the worker owns it now
    m_hWorker = std::move(thread);
    return Result::kSuccess;
}

unsigned __stdcall CMainDlg::DownloadThreadProc(void* pParam) {
    std::unique_ptr<DownloadJob> job(static_cast<DownloadJob*>(pParam));
    WindowRunObserver& observer = *job->pObserver;
    ResultCode result = Result::kSuccess;
    // Nothing may leave a thread entry by exception: a run that throws failed.
    try {
        result = job->run ? job->run(observer) : Result::FromPlatformError(ERROR_INVALID_FUNCTION);
    } catch (const std::bad_alloc&) {
        result = Result::FromPlatformError(ERROR_OUTOFMEMORY);
    } catch (...) {
        result = Result::kUnhandledException;
    }
    // A run told to work unseen shows no failure either.
    if (Result::Failed(result) && !observer.Hidden())
        observer.OnFailed(result);
    else
        observer.OnDone();
    return 0;
}

bool CMainDlg::WaitForWorker(DWORD dwBoundMs) {
    // The window is gone: reports from now on are dropped at once.
    m_pObserver->Attach(nullptr);
    if (!m_hWorker)
        return true;
    const HANDLE hWorker = m_hWorker.get();
    const DWORD dwStart = ::GetTickCount();
    for (;;) {
        const DWORD dwElapsed = ::GetTickCount() - dwStart;
        const DWORD dwLeft = dwElapsed < dwBoundMs ? dwBoundMs - dwElapsed : 0;
        const DWORD dwWait =
            ::MsgWaitForMultipleObjects(1, &hWorker, FALSE, dwLeft, QS_SENDMESSAGE);
        if (dwWait == WAIT_OBJECT_0) {
            m_hWorker.reset();
            return true;
        }
        if (dwWait != WAIT_OBJECT_0 + 1 || dwLeft == 0)
            break;
        // A message the worker sent before the window went: serve it, so the
        // worker is not kept waiting on this thread.
        MSG msg;
        ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    ::OutputDebugStringW(L"the download thread did not stop in time");
    return false;
}

LRESULT CMainDlg::OnProgress(WPARAM wParam) {
    if (!wParam)
        return -1;
    const INT32 nPercent = *reinterpret_cast<const INT32*>(wParam);
    ::SendMessageW(m_hProgress, PBM_SETPOS, static_cast<WPARAM>(nPercent), 0);
    return 0;
}

LRESULT CMainDlg::OnFailed(WPARAM wParam) {
    if (!wParam)
        return -1;
    const ResultCode code = *reinterpret_cast<const ResultCode*>(wParam);

    ::ShowWindow(m_hProgress, SW_HIDE);
    ::ShowWindow(m_errorIcon.m_hWnd, SW_SHOWNORMAL);
    ::ShowWindow(m_hErrorText, SW_SHOWNORMAL);

    CHARRANGE all = {0, -1};
    ::SendMessageW(m_hErrorText, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&all));
    ::SendMessageW(m_hErrorText, EM_SETCHARFORMAT, SCF_SELECTION,
                   reinterpret_cast<LPARAM>(&m_cfError));
    wchar_t szCode[32] = {};
    CvCommon::String::FormatTruncated(szCode, ARRAYSIZE(szCode), L"%04X",
                                      static_cast<unsigned>(code));
    ::SendMessageW(m_hErrorText, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(szCode));
    return 0;
}

LRESULT CMainDlg::OnDone() {
    EndWith(1);
    return 0;
}

LRESULT CMainDlg::OnCancel(WORD wID) {
    // Closing ends the run: the transfer in flight is aborted and no later
    // step starts.
    m_pObserver->RequestStop();
    EndWith(wID);
    return 0;
}

LRESULT CMainDlg::OnLButtonDown(LPARAM lParam) {
    // A press anywhere on the body drags the captionless window.
    ::PostMessageW(m_hWnd, WM_NCLBUTTONDOWN, HTCAPTION, lParam);
    return 0;
}

LRESULT CMainDlg::OnCloseButton(BOOL& bHandled) {
    bHandled = TRUE;
    return OnCancel(IDOK);
}

void CMainDlg::RemoveInstanceProperty() {
    if (m_wstrInstanceName.empty())
        return;
    ::RemovePropW(m_hWnd, m_wstrInstanceName.c_str());
    m_wstrInstanceName.clear();
}

void CMainDlg::EndWith(INT_PTR nResult) {
    // A window must not be destroyed with properties still set; a second
    // launcher started from now on no longer finds this one.
    RemoveInstanceProperty();
    EndDialog(nResult);
}
