#include "SharedData.h"

#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "Logger.h"
#include "OrdanaRequestInfo.h"
#include "ToolBox.h"
#include "UserExtension.h"

namespace {

// Marks a session in standby: the next request with an unknown id takes it over.
constexpr char kStandbyId[] = "re_ZERO_NO_ORDANA_ID";

using IdMap = std::map<std::string, std::uint32_t>;
using ExtensionMap = std::map<std::uint32_t, std::shared_ptr<UserExtension>>;

struct Registry {
    std::mutex lock;
    IdMap ids;
    ExtensionMap extensions;
};

// Destroyed at exit with the extensions it holds, which stops their processes.
Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

std::shared_ptr<UserExtension> SharedData::GetExtension(const OrdanaRequestInfo& requestInfo) {
    const std::string& id = requestInfo.GetOrdanaId();
    Registry& registry = TheRegistry();
    // Held across the start: two requests of one session never start two processes.
    std::lock_guard<std::mutex> guard(registry.lock);
    const std::string shown = ToolBox::MaskSecretsInText(id);
    Logger::Internal("[SharedData::GetExtension]try to resolve Session ID associated to this ordanaID : " + shown);

    std::uint32_t session = 0;
    bool resolved = false;
    bool standby = false;
    if (const auto known = registry.ids.find(id); known != registry.ids.end()) {
        session = known->second;
        resolved = true;
        Logger::Internal("[SharedData::GetExtension]ordanaID already seen and associated with : " +
                         std::to_string(session));
    } else if (const auto waiting = registry.ids.find(kStandbyId); waiting != registry.ids.end()) {
        session = waiting->second;
        resolved = true;
        standby = true;
        Logger::Internal("[SharedData::GetExtension]No session associted to this ordanaID '" + shown +
                         "' found but existing session in standby on [" + std::to_string(session) + "] , use it.");
    }

    std::uint32_t active = 0;
    const bool hasActive = ToolBox::GetActiveSessionId(active);
    if (resolved) {
        if (!hasActive) {
            Logger::Warn("[SharedData::GetExtension]we have found a resolved sessionID[" + std::to_string(session) +
                         "] while no active session is being detected.");
        } else if (active != session) {
            Logger::Warn("[SharedData::GetExtension]the resolved sessionID[" + std::to_string(session) +
                         "] does not match the current active one [" + std::to_string(active) + "] !");
            session = active;
        }
    } else if (!hasActive) {
        Logger::ErrorW(L"[SharedData::GetExtension]{CRITICAL}Cannot found a valid session to start the user's extention.");
        return {};
    } else {
        session = active;
    }

    Logger::Internal("[SharedData::GetExtension]try to resolve UserExtension associated to this session ID : " +
                     std::to_string(session));
    std::shared_ptr<UserExtension> extension;
    const auto entry = registry.extensions.find(session);
    if (entry != registry.extensions.end() && entry->second) {
        Logger::InternalW(L"[SharedData::GetExtension]session already seen, retrieve current UserExtension object.");
        extension = entry->second;
    } else {
        if (entry != registry.extensions.end()) {
            Logger::WarnW(
                L"[SharedData::GetExtension]already seen session ID is associated to an invalid UserExtension, cleaning up.");
            registry.extensions.erase(entry);
        } else {
            Logger::Internal("[SharedData::GetExtension]No UserExtension object associted to this session '" +
                             std::to_string(session) + "', creating new UserExtension ...");
        }
        try {
            extension = std::make_shared<UserExtension>(session);
        } catch (const std::bad_alloc&) {
            Logger::ErrorW(L"[SharedData::GetExtension]{CRITICAL}fail to alloc new UserExtension !");
            return {};
        }
    }

    if (!extension->Start()) {
        Logger::ErrorW(
            L"[SharedData::GetExtension]{CRITICAL}Cannot start the new UserExtension associated to, cleaning up.");
        // A new object dies here; an existing one stays registered for a later restart.
        return {};
    }
    Logger::Internal("[SharedData::GetExtension]this ordanaID '" + shown +
                     "' associated to the current active seesion ID : " + std::to_string(session));
    registry.extensions[session] = extension;
    registry.ids[id] = session;
    if (standby) registry.ids.erase(kStandbyId);
    return extension;
}

bool SharedData::FindSessionId(const OrdanaRequestInfo& requestInfo, std::uint32_t& sessionId) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    const auto found = registry.ids.find(requestInfo.GetOrdanaId());
    if (found == registry.ids.end()) return false;
    sessionId = found->second;
    return true;
}

void SharedData::ResetForTests() {
    IdMap ids;
    ExtensionMap extensions;
    {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> guard(registry.lock);
        ids.swap(registry.ids);
        extensions.swap(registry.extensions);
    }
    // The extensions are stopped here, outside the lock.
}
