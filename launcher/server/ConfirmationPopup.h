#pragma once
// The confirmation popups of the ops "exe" and "url": a system-modal Yes/No/Cancel box
// whose Yes and No buttons a CBT hook of the calling thread relabels when it activates.

#include <string>
#include <string_view>

#include "Seam.h"
#include "ZYNSysWin.h"

// The inserted text as the box shows it: NUL and control characters other than line feed
// and tab become blanks, so that none can hide or garble the rest of the question.
std::wstring PopupInsertion(std::string_view utf8);

// Shows the box, its hook installed for the calling thread until the box activates or the
// call returns; the box's result, 0 when it could not be shown. Without its hook the box is
// not shown, and a box whose buttons could not be relabelled is closed at once (0 as well): its
// "No" would answer "Always" under its standard caption.
int ShowConfirmationBox(const std::wstring& message);

// Installs the popup's hook. The real one is the system's; tests install one that fails.
class PopupHookInstaller {
public:
    virtual ~PopupHookInstaller() = default;
    // A CBT hook of the calling thread; null, with the last error set, when it cannot be installed.
    virtual HHOOK Install(HOOKPROC procedure) = 0;
};

// Installs an installer for the whole process (null restores the real one); answers the one
// installed before.
PopupHookInstaller* SetPopupHookInstaller(PopupHookInstaller* installer);
using ScopedPopupHookInstaller = ScopedSeam<PopupHookInstaller, &SetPopupHookInstaller>;

// The hook procedure; the hook is held per thread, as it is installed per thread.
LRESULT CALLBACK CBTProc(int code, WPARAM wParam, LPARAM lParam);
