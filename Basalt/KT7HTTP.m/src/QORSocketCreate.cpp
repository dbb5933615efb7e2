#include "QORSocketCreate.h"

#include "ZYNSysSeam.h"

namespace {

class NoWatch final : public QORSocketCreationWatch {
public:
    void Created(SOCKET) override {}
};

constinit NoWatch g_none;
constinit ZYNSysSeam<QORSocketCreationWatch> g_watch(g_none);

}  // namespace

ZYNSysSocket QORSocketCreate(int family, int type, int protocol) {
    ZYNSysSocket created(
        ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
    if (created) g_watch.Get().Created(created.Get());
    return created;
}

QORSocketCreationWatch* QORSocketSetCreationWatch(QORSocketCreationWatch* watch) { return g_watch.Set(watch); }
