#pragma once
// A process-wide seam: the implementation a test installed, else the real one. Any thread
// may read it while a test installs another; constant-initialised, it serves static
// initialisers too.

#include <atomic>

template <typename Interface>
class ZYNSysSeam {
public:
    constexpr explicit ZYNSysSeam(Interface& real) : real_(real) {}
    ZYNSysSeam(const ZYNSysSeam&) = delete;
    ZYNSysSeam& operator=(const ZYNSysSeam&) = delete;

    // Null installs the real one again. Answers what was installed before (null: the real one).
    Interface* Set(Interface* installed) { return installed_.exchange(installed); }

    Interface& Get() const {
        Interface* installed = installed_.load();
        return installed ? *installed : real_;
    }

private:
    Interface& real_;
    std::atomic<Interface*> installed_{nullptr};
};
