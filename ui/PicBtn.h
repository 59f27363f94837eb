#pragma once
// A bitmap close button: a static control with SS_NOTIFY whose click reaches
// the parent as a command, drawn by the hover mix-in.

#include "PicBkgndWithTrackMouse.h"

class CPicBtn : public CPicBkgndWithTrackMouse<CPicBtn> {
public:
    CPicBtn(UINT nHoverBitmapId, UINT nNormalBitmapId)
        : CPicBkgndWithTrackMouse<CPicBtn>(nHoverBitmapId, nNormalBitmapId) {}

    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam,
                              LRESULT& lResult) override {
        return CPicBkgndWithTrackMouse<CPicBtn>::ProcessWindowMessage(hWnd, uMsg, wParam, lParam,
                                                                      lResult);
    }
};
