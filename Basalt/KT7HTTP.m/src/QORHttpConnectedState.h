#pragma once
// Whether WinINet thinks the machine is online (InternetGetConnectedState). Tests install
// their own: the machine they run on is always online.

#include "ZYNSysWin.h"

class QORHttpConnectedState {
public:
    virtual ~QORHttpConnectedState() = default;
    // TRUE when connected; *flags receives the INTERNET_CONNECTION_* state flags.
    virtual BOOL Get(DWORD* flags) = 0;
};

// Installs a state for the whole process (null restores the real one); answers the one
// installed before (null: the real one).
QORHttpConnectedState* QORHttpSetConnectedState(QORHttpConnectedState* state);
QORHttpConnectedState& QORHttpGetConnectedState();
