#include "ZYNSysWin.h"

#include <vector>

#include <sddl.h>
#include <shlobj.h>

#include "FileSystem.h"
#include "Logger.h"
#include "PathName.h"
#include "SessionEnumerator.h"
#include "ToolBox.h"
#include "ZYNSysCoTaskMemory.h"
#include "ZYNSysKernelHandle.h"
#include "ZYNSysWtsMemory.h"

namespace {

WtsSessionEnumerator g_platformSessions;
constinit Seam<SessionEnumerator> g_sessions{g_platformSessions};

}  // namespace

bool WtsSessionEnumerator::Enumerate(std::vector<SessionInfo>& sessions) {
    ZYNSysWtsPointer<WTS_SESSION_INFOW*> list;
    DWORD count = 0;
    if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, list.Put(), &count)) return false;
    const WTS_SESSION_INFOW* raw = list.Get();
    for (DWORD i = 0; i < count; ++i) {
        SessionInfo info;
        info.id = raw[i].SessionId;
        info.state = static_cast<std::uint32_t>(raw[i].State);
        info.hasStationName = raw[i].pWinStationName != nullptr;
        info.stationName = ToolBox::WideCStrToUtf8(raw[i].pWinStationName);
        sessions.push_back(std::move(info));
    }
    return true;
}

SessionEnumerator* ToolBox::SetSessionEnumerator(SessionEnumerator* enumerator) {
    return g_sessions.Set(enumerator);
}

bool ToolBox::GetActiveSessionId(std::uint32_t& sessionId) {
    const std::string prefix = "[ToolBox::GetActiveSessionId]";
    std::vector<SessionInfo> sessions;
    if (!g_sessions.Get().Enumerate(sessions)) {
        Logger::Error(prefix + " Fail to iterate on Session objects!");
        return false;
    }
    Logger::Internal(prefix + " session object total count : " + std::to_string(sessions.size()));
    int active = 0;
    std::uint32_t activeId = 0;
    std::string activeName;
    for (const SessionInfo& session : sessions) {
        std::string name = session.hasStationName ? session.stationName : "NULL";
        Logger::Internal(prefix + " session object : [id:" + std::to_string(session.id) +
                      "//status:" + std::to_string(session.state) + "//name:" + name + "]");
        if (session.state == 0) {
            ++active;
            activeId = session.id;
            activeName = name;
        }
    }
    if (active == 1) {
        sessionId = activeId;
        Logger::Internal(prefix + " successefully found a unique active session on [id:" + std::to_string(activeId) +
                      "//sessionName:" + activeName + "] !");
        return true;
    }
    if (active == 0) Logger::Error(prefix + " No active session found !");
    else Logger::Error(prefix + " multiple active seesion found ! unsupported execution context.");
    return false;
}

bool ToolBox::GetKnownFolderIdValue(const GUID& folderId, std::string& path, std::optional<std::uint32_t> sessionId) {
    const std::string id = GuidToString(folderId);
    Logger::Internal("[ToolBox::GetKownFolderIdValue] try to retrive the value of KnownFolderID[" + id + "] using " +
                  (sessionId ? "this sessionId[" + std::to_string(*sessionId) + "]" : std::string("the current session")));
    ZYNSysKernelHandle token;
    if (sessionId && !::WTSQueryUserToken(*sessionId, token.Put())) {
        Logger::ErrorWithSystemError("[ToolBox::GetKnownFolderIdValue]Fail to retrieve user's token !");
        return false;
    }
    // The caller frees the path whether the call succeeds or not.
    ZYNSysCoTaskPointer<wchar_t*> buffer;
    HRESULT hr = ::SHGetKnownFolderPath(folderId, 0, token.Get(), buffer.Put());
    if (FAILED(hr)) {
        Logger::Error("[ToolBox::GetKownFolderIdValue]SHGetKnownFolderPath FAILED [" +
                   std::to_string(static_cast<std::int32_t>(hr)) + "]!");
        return false;
    }
    token.Reset();
    path = WideCStrToUtf8(buffer.Get());
    Logger::Internal("[ToolBox::GetKownFolderIdValue] this KnownFolder[" + id + "] has been resolved to : " + path);
    return true;
}

PathName ToolBox::GetExecutableFolder() {
    std::vector<wchar_t> buffer(260);
    for (;;) {
        DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return PathName(std::string());
        if (length < buffer.size()) {
            return PathName(WideToUtf8(std::wstring_view(buffer.data(), length))).GetParent();
        }
        buffer.resize(buffer.size() + 260);
    }
}

void ToolBox::MakeSecurityAttributes(ScopedSecurityAttributes& out, const std::string& descriptor) {
    out.attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
    out.attributes.bInheritHandle = FALSE;
    out.attributes.lpSecurityDescriptor = nullptr;
    std::wstring wide = Utf8ToWide(descriptor);
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide.c_str(), SDDL_REVISION_1, out.descriptor.Put(),
                                                               nullptr)) {
        out.attributes.lpSecurityDescriptor = out.descriptor.Get();
    }
}

bool ToolBox::GetEnv(const std::string& name, std::string& value) {
    SharedWString text = GetEnvW(Utf8ToSharedWString(name));
    value = WideToUtf8(std::wstring_view(text.c_str(), static_cast<std::size_t>(text.GetLength())));
    return !value.empty();
}

void ToolBox::SetEnv(const std::string& name, const std::string& value) {
    SetEnvW(Utf8ToSharedWString(name), Utf8ToSharedWString(value));
}
