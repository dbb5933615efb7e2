#include "QORHttpConnectedState.h"

#include <atomic>

#include <wininet.h>

namespace {

class RealConnectedState final : public QORHttpConnectedState {
public:
    BOOL Get(DWORD* flags) override { return ::InternetGetConnectedState(flags, 0); }
};

RealConnectedState g_real;
std::atomic<QORHttpConnectedState*> g_installed{nullptr};

}  // namespace

QORHttpConnectedState* QORHttpSetConnectedState(QORHttpConnectedState* state) { return g_installed.exchange(state); }

QORHttpConnectedState& QORHttpGetConnectedState() {
    QORHttpConnectedState* installed = g_installed.load();
    return installed ? *installed : g_real;
}
