#pragma once
// The progress window of a windowed run: a captionless, always-on-top dialog
// with a banner, a close button and a progress bar. It runs a job (the launch
// workflow) on a worker thread, follows its progress messages, closes itself
// when the run ends well and shows the failure code when it does not. Closing
// it asks the job to stop; the owner then waits for the worker, with a bound.

#include "CtlHollowColor.h"
#include "DialogImpl.h"
#include "GdiHandles.h"
#include "PaintBkgnd.h"
#include "PicBtn.h"
#include "PictureCtl.h"
#include "WindowRunObserver.h"
#include "resource.h"

#include "CvComn_Handle.h"
#include "CvComn_RunObserver.h"
#include "ResultCode.h"

#include <windows.h>
#include <richedit.h>

#include <functional>
#include <memory>
#include <string>

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CPaintBkgnd<CMainDlg, 0xFFFFFF>,
                 public CCtlHollowColor {
public:
    enum { IDD = IDD_MAINDLG };

    static constexpr int kWidth = 320;
    static constexpr int kHeight = 130;

    // What the worker thread runs; it reports through the observer and reads
    // the observer's stop request.
    using WorkflowRun = std::function<ResultCode(CvCommon::RunObserver&)>;

    // wstrInstanceName names the window property that marks this window for a
    // second launcher (empty: none is set); run is the worker's job.
    CMainDlg(std::wstring wstrInstanceName, WorkflowRun run);
    ~CMainDlg();

    // The message map, tested in this order: start-up, the worker's three
    // messages, Esc and the system close command, dragging, the close button,
    // then the background and static-colour mix-ins, then reflection of what
    // is left to the child controls.
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);

    // Points the run's reports at hWnd and starts the worker. Success, or the
    // thread start's platform error.
    ResultCode StartDownloadThread(HWND hWnd);

    // After the dialog has ended: waits up to dwBoundMs for the worker to
    // finish, serving the messages it still sends meanwhile. True when no
    // worker is left running.
    bool WaitForWorker(DWORD dwBoundMs);
    // The user closed the window (Esc, system close, the close button).
    bool StopRequested() const { return m_pObserver->Cancel().IsSet(); }

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
    CHARFORMATW m_cfError = {};

    WorkflowRun m_run;
    std::shared_ptr<WindowRunObserver> m_pObserver;
    CvCommon::Handle::UniqueThread m_hWorker;
    // The property name to set on the window; cleared once it is removed, or
    // when it could not be set.
    std::wstring m_wstrInstanceName;
    Ui::UniqueIcon m_hIconBig;
    Ui::UniqueIcon m_hIconSmall;
};
