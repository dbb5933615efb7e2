#pragma once
// A process-wide seam: the implementation a test installed, else the real one (the
// framework's, shared with it).

#include "ZYNSysSeam.h"

template <typename Interface>
using Seam = ZYNSysSeam<Interface>;

// Installs a test's implementation for the life of the object, then puts back what was
// installed before: a test that ends early on a failed assertion leaves no seam behind.
template <typename Interface, Interface* (*Install)(Interface*)>
class ScopedSeam {
public:
    explicit ScopedSeam(Interface& installed) : previous_(Install(&installed)) {}
    ~ScopedSeam() { Restore(); }
    ScopedSeam(const ScopedSeam&) = delete;
    ScopedSeam& operator=(const ScopedSeam&) = delete;

    // Before the end of the scope: a test reads what its fake recorded once nothing else
    // writes to it.
    void Restore() {
        if (!installed_) return;
        installed_ = false;
        Install(previous_);
    }

private:
    Interface* previous_;
    bool installed_ = true;
};
