#include "ZYNSysOwnerQuery.h"

#include <aclapi.h>

#include "ZYNSysLocalMemory.h"
#include "ZYNSysSeam.h"

namespace {

class SecurityInfoOwner final : public ZYNSysOwnerQuery {
public:
    bool Read(HANDLE object, SE_OBJECT_TYPE type, PSID owner, DWORD size) override {
        PSID read = nullptr;
        PSECURITY_DESCRIPTOR raw = nullptr;
        const DWORD result =
            ::GetSecurityInfo(object, type, OWNER_SECURITY_INFORMATION, &read, nullptr, nullptr, nullptr, &raw);
        const ZYNSysLocalMemory descriptor(raw);
        if (result != ERROR_SUCCESS || read == nullptr || !::IsValidSid(read)) return false;
        return ::CopySid(size, owner, read) != 0;
    }
};

SecurityInfoOwner g_real;
ZYNSysSeam<ZYNSysOwnerQuery> g_seam(g_real);

}  // namespace

ZYNSysOwnerQuery* ZYNSysSetOwnerQuery(ZYNSysOwnerQuery* query) { return g_seam.Set(query); }

ZYNSysOwnerQuery& ZYNSysGetOwnerQuery() { return g_seam.Get(); }
