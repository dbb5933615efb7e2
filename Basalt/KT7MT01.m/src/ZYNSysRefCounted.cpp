#include "ZYNSysRefCounted.h"

ZYNSysRefCounted::ZYNSysRefCounted() = default;
ZYNSysRefCounted::~ZYNSysRefCounted() = default;

void ZYNSysRefCounted::Release() {
    if (m_refCount.fetch_sub(1, std::memory_order_acq_rel) < 2) delete this;
}
