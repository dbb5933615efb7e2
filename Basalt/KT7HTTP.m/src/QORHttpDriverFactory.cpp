// The default driver factory and the slot where a test installs another.

#include "QORHttpDriverFactory.h"

#include <atomic>
#include <new>

#include "QORHttpDriver.h"
#include "QORHttpQXDriver.h"
#include "QORHttpWDriver.h"
#include "QORThrLibraryManager.h"

namespace {

class DefaultFactory final : public QORHttpDriverFactory {
public:
    std::unique_ptr<QORHttpDriver> MakeWinINetDriver(const char* userAgent, std::uint16_t httpMajor,
                                                     std::uint16_t httpMinor) override {
        return std::unique_ptr<QORHttpDriver>(new (std::nothrow) QORHttpWDriver(userAgent, httpMajor, httpMinor));
    }

    std::unique_ptr<QORHttpDriver> MakeRawSocketDriver(const char* userAgent, std::uint16_t httpMajor,
                                                       std::uint16_t httpMinor) override {
        return std::unique_ptr<QORHttpDriver>(new (std::nothrow) QORHttpQXDriver(userAgent, httpMajor, httpMinor));
    }

    QORHttpBuildDriverWithCopy FindBuilderWithCopy() override {
        const QORThrLibraryHandler found =
            QORThrLibraryManager::GetFunctionAddress("KT7BASEILB", "QORBuildHttpDriverWithCopy");
        return reinterpret_cast<QORHttpBuildDriverWithCopy>(found.address);
    }
};

DefaultFactory& Default() {
    static DefaultFactory factory;
    return factory;
}

std::atomic<QORHttpDriverFactory*> g_installed{nullptr};

}  // namespace

QORHttpDriverFactory& QORHttpGetDriverFactory() noexcept {
    QORHttpDriverFactory* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : Default();
}

void QORHttpSetDriverFactory(QORHttpDriverFactory* factory) noexcept {
    g_installed.store(factory, std::memory_order_release);
}
