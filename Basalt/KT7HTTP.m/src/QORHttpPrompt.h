#pragma once
// Asks the desktop user about a WinINet error on a request (a proxy's or a server's
// credentials, a certificate problem) through InternetErrorDlg. The real prompt asks only in
// an interactive session: a modal dialog anywhere else would hold the request thread for ever.
// Tests install their own for the whole process.

#include <atomic>

#include "ZYNSysWin.h"

#include <wininet.h>

class QORHttpPrompt {
public:
    virtual ~QORHttpPrompt() = default;
    // What InternetErrorDlg answers for the error, owned by the window (ERROR_INTERNET_FORCE_RETRY:
    // send the request again); the error itself when nobody could be asked.
    virtual DWORD Ask(HINTERNET request, DWORD error, HWND owner) = 0;
};

// The real prompt, whose session check can be replaced: the dialog itself is never shown to a
// test, whose display would leave it waiting for a click.
class QORHttpDialogPrompt final : public QORHttpPrompt {
public:
    using SessionCheck = bool (*)();
    explicit QORHttpDialogPrompt(SessionCheck interactive = &InteractiveSession) : interactive_(interactive) {}
    DWORD Ask(HINTERNET request, DWORD error, HWND owner) override;

    // A session whose desktop somebody sees: not session 0, on a visible window station.
    static bool InteractiveSession();

private:
    SessionCheck interactive_;
};

// Installs a prompt for the whole process (null restores the real one); answers the one
// installed before (null: the real one).
QORHttpPrompt* QORHttpSetPrompt(QORHttpPrompt* prompt);
QORHttpPrompt& QORHttpGetPrompt();

// Installs a test's prompt for the life of the object, then puts back the previous one.
class QORHttpScopedPrompt {
public:
    explicit QORHttpScopedPrompt(QORHttpPrompt& prompt) : previous_(QORHttpSetPrompt(&prompt)) {}
    ~QORHttpScopedPrompt() { Restore(); }
    QORHttpScopedPrompt(const QORHttpScopedPrompt&) = delete;
    QORHttpScopedPrompt& operator=(const QORHttpScopedPrompt&) = delete;

    // Before the end of the scope: a test reads what its prompt recorded once nothing asks it.
    void Restore() {
        if (!installed_) return;
        installed_ = false;
        QORHttpSetPrompt(previous_);
    }

private:
    QORHttpPrompt* previous_;
    bool installed_ = true;
};
