#pragma once
// The progress window of a windowed run: a captionless, always-on-top dialog
// with a banner, a close button and a progress bar. It runs the launch
// workflow on a worker thread, follows its progress messages, closes itself
// when the run ends well and shows the failure code when it does not.

#include "CtlHollowColor.h"
#include "DialogImpl.h"
#include "GdiHandles.h"
#include "PaintBkgnd.h"
#include "PicBtn.h"
#include "PictureCtl.h"
#include "resource.h"

#include "LauncherConfig.h"
#include "ResultCode.h"

#include <windows.h>
#include <richedit.h>

#include <functional>
#include <string>

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CPaintBkgnd<CMainDlg, 0xFFFFFF>,
                 public CCtlHollowColor {
public:
    enum { IDD = IDD_MAINDLG };

    static constexpr int kWidth = 320;
    static constexpr int kHeight = 130;

    // What the worker thread runs with the command line.
    using WorkflowRun = std::function<ResultCode(std::wstring)>;

    // The launcher's dialog: configuration from the launcher's file, the
    // process-wide launch workflow on the worker.
    explicit CMainDlg(std::wstring wstrCommandLine);
    // The same dialog with another configuration and another job for the worker.
    CMainDlg(std::wstring wstrCommandLine, const LauncherConfig& config, WorkflowRun run);
    ~CMainDlg();

    // The message map, tested in this order: start-up, the worker's three
    // messages, Esc and the system close command, dragging, the close button,
    // then the background and static-colour mix-ins, then reflection of what
    // is left to the child controls.
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

    // Records hWnd in g_hProgressWnd and starts the worker with its own copy
    // of the command line. Success, or the thread start's platform error.
    ResultCode StartDownloadThread(HWND hWnd, const std::wstring& wstrCommandLine);

private:
    struct DownloadJob;
    static unsigned __stdcall DownloadThreadProc(void* pParam);

    LRESULT OnInitDialog();
    LRESULT OnProgress(WPARAM wParam);
    LRESULT OnFailed(WPARAM wParam);
    LRESULT OnDone();
    LRESULT OnCancel(WORD wID);
    LRESULT OnLButtonDown(LPARAM lParam);
    LRESULT OnCloseButton(BOOL& bHandled);

    void CenterWindow();
    void LoadIcons();
    // Attaches the picture objects and stores the other controls; a member
    // already bound is left alone.
    void BindControls();
    void InitControls();
    // Removes the instance-name property that InitControls set.
    void RemoveInstanceProperty();
    void EndWith(INT_PTR nResult);

    CPictureCtl m_banner;
    CPicBtn m_btnClose;
    CPictureCtl m_errorIcon;
    HWND m_hErrorText = nullptr;
    HWND m_hProgress = nullptr;
    std::wstring m_wstrCommandLine;
    CHARFORMATW m_cfError = {};

    const LauncherConfig& m_config;
    WorkflowRun m_run;
    // The property name set on the window, empty when none was set.
    std::wstring m_wstrInstanceName;
    Ui::UniqueIcon m_hIconBig;
    Ui::UniqueIcon m_hIconSmall;
};
