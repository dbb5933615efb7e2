#include "ZYNSysFileDisposition.h"

#include "ZYNSysSeam.h"

namespace {

class SystemDisposition final : public ZYNSysFileDisposition {
public:
    DWORD Set(HANDLE file, FILE_INFO_BY_HANDLE_CLASS kind, void* record, DWORD size) override {
        return ::SetFileInformationByHandle(file, kind, record, size) ? ERROR_SUCCESS : ::GetLastError();
    }
};

constinit SystemDisposition g_real;
constinit ZYNSysSeam<ZYNSysFileDisposition> g_seam(g_real);

}  // namespace

ZYNSysFileDisposition* ZYNSysSetFileDisposition(ZYNSysFileDisposition* setter) { return g_seam.Set(setter); }

ZYNSysFileDisposition& ZYNSysGetFileDisposition() { return g_seam.Get(); }
