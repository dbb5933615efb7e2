#include "QORHttpConnectedState.h"

#include <wininet.h>

#include "ZYNSysSeam.h"

namespace {

class RealConnectedState final : public QORHttpConnectedState {
public:
    BOOL Get(DWORD* flags) override { return ::InternetGetConnectedState(flags, 0); }
};

RealConnectedState g_real;
ZYNSysSeam<QORHttpConnectedState> g_seam(g_real);

}  // namespace

QORHttpConnectedState* QORHttpSetConnectedState(QORHttpConnectedState* state) { return g_seam.Set(state); }

QORHttpConnectedState& QORHttpGetConnectedState() { return g_seam.Get(); }
