#include "QORHttpInternetInfo.h"

#include <new>

#include "QORHttpDriverSupport.h"

QORHttpInternetInfo::QORHttpInternetInfo() : trace(QORHttpTraceClient()) {}

QORHttpInternetInfo::~QORHttpInternetInfo() {
    // Closing notices of the request come back with this object as context: close while every
    // member is still alive.
    CloseRequest();
}

QORHttpInternetInfo* QORHttpInternetInfo::Create() {
    std::unique_ptr<QORHttpInternetInfo, void (*)(QORHttpInternetInfo*)> info(
        new (std::nothrow) QORHttpInternetInfo, [](QORHttpInternetInfo* made) { made->Release(); });
    if (!info) return nullptr;
    info->completeEvent.reset(CreateQOREvent(0));
    info->closeEvent.reset(CreateQOREvent(0));
    info->handleEvent.reset(CreateQOREvent(0));
    if (!info->completeEvent || !info->closeEvent || !info->handleEvent) return nullptr;
    return info.release();
}

void QORHttpInternetInfo::CloseRequest() { request.Reset(); }
