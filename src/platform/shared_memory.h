// Operating-system service: a block of memory shared by name between the
// processes of the machine, and the process identities that tell whether the
// process that wrote something is still there.
//
// POSIX shared memory (shm_open) on Linux; a named file mapping on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qv::platform {

class NamedSharedMemory {
public:
    virtual ~NamedSharedMemory() = default;

    // The mapped bytes (size() of them), readable and writable.
    virtual uint8_t* data() = 0;
    virtual size_t size() const = 0;

    // A lock shared with every process that maps the same block, for updates
    // that must not interleave. Blocks until it is free.
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

// Maps the block `name` (letters, digits, '.', '_' and '-') of `size` bytes
// when it exists; nullptr when it does not (or cannot be mapped).
std::unique_ptr<NamedSharedMemory> OpenSharedMemory(const std::string& name, size_t size);

// Maps the block, creating it zero-filled (readable and writable by every
// user) when it does not exist. nullptr when that fails.
std::unique_ptr<NamedSharedMemory> CreateSharedMemory(const std::string& name, size_t size);

// Removes the name (mappings that exist stay valid). For tests.
void RemoveSharedMemory(const std::string& name);

// This process's identity, and whether a process with that identity runs.
uint32_t CurrentProcessId();
bool ProcessRunning(uint32_t pid);

}  // namespace qv::platform
