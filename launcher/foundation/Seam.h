#pragma once
// A process-wide seam: the implementation a test installed, else the real one. Any thread
// may read it while a test installs another.

#include <atomic>

template <typename Interface>
class Seam {
public:
    constexpr explicit Seam(Interface& real) : real_(real) {}
    Seam(const Seam&) = delete;
    Seam& operator=(const Seam&) = delete;

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
