// Operating-system service: being woken when devices come and go.
//
// A watch wakes its one waiter when the system reports a device arrival or
// removal (USB devices, serial ports, HID interfaces) or when something is
// created, removed or renamed beside one of the watched paths (a COM port
// declared by path: a pty's symlink, a renamed node). The watch says only
// "something changed"; the waiter then looks at what it cares about. Events
// that are missed (no event source, a full queue) cost nothing but time: the
// waiter also looks after each time-out.
//
// On Linux the events come from udev's monitor, and, because containers and
// small systems often run no udev daemon, also from the kernel's own uevent
// socket (NETLINK_KOBJECT_UEVENT); the paths are watched with inotify. Later,
// platform/win32 will feed the same wake-ups from a hidden window's
// WM_DEVICECHANGE messages.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace qv::platform {

class DeviceChangeWatch {
public:
    virtual ~DeviceChangeWatch() = default;
    // Waits until a device event, a change beside a watched path, a Wake(),
    // or until timeoutMs passes. True when something woke it (what had
    // gathered meanwhile is consumed), false on the time-out.
    virtual bool Wait(int timeoutMs) = 0;
    // Makes the current or the next Wait return at once. Any thread.
    virtual void Wake() = 0;
    // Number of event sources that could be opened (for tests and logs).
    virtual int Sources() const = 0;
};

// A new watch; `paths` are the declared paths whose directories are watched.
// Never null: a watch whose sources cannot be opened still waits and wakes.
// Null only when not even the wake-up can be made (out of descriptors).
std::unique_ptr<DeviceChangeWatch> OpenDeviceChangeWatch(const std::vector<std::string>& paths);

// True when `path` (following symbolic links) names an existing character
// device: a COM port's path is present.
bool DeviceNodePresent(const std::string& path);

}  // namespace qv::platform
