#include "QORSocketResolver.h"

#include "ZYNSysSeam.h"

namespace {

class SystemResolver final : public QORSocketResolver {
public:
    int Lookup(const char* host, const char* service, const addrinfo& hints, addrinfo** list) override {
        return ::getaddrinfo(host, service, &hints, list);
    }
};

SystemResolver g_system;
ZYNSysSeam<QORSocketResolver> g_seam(g_system);

}  // namespace

QORSocketResolver* QORSocketSetResolver(QORSocketResolver* resolver) { return g_seam.Set(resolver); }

QORSocketResolver& QORSocketGetResolver() { return g_seam.Get(); }
