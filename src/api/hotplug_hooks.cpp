#include "api/hotplug_hooks.h"

#include <mutex>

#include "api/registry.h"
#include "core/log.h"
#include "transport/hotplug_monitor.h"

namespace qv {
namespace {

// A device that came back is an open handle again, unless a close has begun
// (or ended): a closing handle is never reopened for the application.
bool EnterOpen(T_DevicesInfo* record) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto it = reg.handles.find(record);
    if (it == reg.handles.end() || it->second->closing) return false;
    reg.devOpenMap[record] = true;
    return true;
}

// A device that went away leaves the open handles; its registry entries stay,
// so a close (or the release of its list) still closes it fully.
void LeaveOpen(T_DevicesInfo* record) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.devOpenMap.erase(record);
}

void RestartListener(T_DevicesInfo* record) {
    const int32_t rc = StartListenerOf(record, record->listener);
    QV_LOG("%s %d listener restarted: %d\n", "RestartListener", __LINE__, rc);
}

}  // namespace

void InstallHotplugHooks() {
    static std::once_flag once;
    std::call_once(once, [] {
        HotplugHooks hooks;
        hooks.enterOpen = EnterOpen;
        hooks.leaveOpen = LeaveOpen;
        hooks.restartListener = RestartListener;
        SetHotplugHooks(hooks);
    });
}

}  // namespace qv
