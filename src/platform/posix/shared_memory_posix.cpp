// Named shared memory on POSIX systems: shm_open objects, mapped MAP_SHARED,
// with flock() on the object as the cross-process lock.
#include "platform/shared_memory.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qv::platform {
namespace {

bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > 200) return false;
    for (char c : name) {
        const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
                        c == '_' || c == '-';
        if (!ok) return false;
    }
    return name != "." && name != "..";
}

class PosixSharedMemory final : public NamedSharedMemory {
public:
    PosixSharedMemory(int fd, uint8_t* data, size_t size) : fd_(fd), data_(data), size_(size) {}
    ~PosixSharedMemory() override {
        munmap(data_, size_);
        close(fd_);
    }
    uint8_t* data() override { return data_; }
    size_t size() const override { return size_; }
    void Lock() override {
        while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    void Unlock() override { flock(fd_, LOCK_UN); }

private:
    int fd_;
    uint8_t* data_;
    size_t size_;
};

std::unique_ptr<NamedSharedMemory> Map(const std::string& name, size_t size, bool create) {
    if (!ValidName(name) || size == 0) return nullptr;
    const std::string object = "/" + name;
    int fd = shm_open(object.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return nullptr;
    }
    if (static_cast<size_t>(st.st_size) < size) {
        if (!create) {
            close(fd);
            return nullptr;
        }
        // A new object (or a shorter one): grown, zero-filled, and open to
        // every user, whatever the umask of the creating process.
        if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
            close(fd);
            return nullptr;
        }
        fchmod(fd, 0666);
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<PosixSharedMemory>(fd, static_cast<uint8_t*>(p), size);
}

}  // namespace

std::unique_ptr<NamedSharedMemory> OpenSharedMemory(const std::string& name, size_t size) {
    return Map(name, size, false);
}

std::unique_ptr<NamedSharedMemory> CreateSharedMemory(const std::string& name, size_t size) {
    return Map(name, size, true);
}

void RemoveSharedMemory(const std::string& name) {
    if (ValidName(name)) shm_unlink(("/" + name).c_str());
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

bool ProcessRunning(uint32_t pid) {
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return false;
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace qv::platform
