#include "QORSocketResolver.h"

#include <atomic>

namespace {

class SystemResolver final : public QORSocketResolver {
public:
    int Lookup(const char* host, const char* service, const addrinfo& hints, addrinfo** list) override {
        return ::getaddrinfo(host, service, &hints, list);
    }
};

SystemResolver g_system;
std::atomic<QORSocketResolver*> g_installed{nullptr};

}  // namespace

QORSocketResolver* QORSocketSetResolver(QORSocketResolver* resolver) { return g_installed.exchange(resolver); }

QORSocketResolver& QORSocketGetResolver() {
    QORSocketResolver* installed = g_installed.load();
    return installed ? *installed : g_system;
}
