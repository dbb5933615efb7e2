#pragma once
// Asks the desktop user for a proxy's credentials when a download meets a 407 answer. The real
// one asks only in an interactive session; tests install their own.

#include "ZYNSysWin.h"

#include <wininet.h>

#include "Seam.h"

class ProxyPrompt {
public:
    virtual ~ProxyPrompt() = default;
    // ERROR_INTERNET_FORCE_RETRY when the request is to be sent again with what the user gave.
    virtual DWORD Ask(HINTERNET request) = 0;
};

// Installs a prompt for the whole process (null restores the real one); answers the one
// installed before.
ProxyPrompt* SetProxyPrompt(ProxyPrompt* prompt);
ProxyPrompt& GetProxyPrompt();
using ScopedProxyPrompt = ScopedSeam<ProxyPrompt, &SetProxyPrompt>;
