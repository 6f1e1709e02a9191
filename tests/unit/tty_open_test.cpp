// Opening a tty as a COM port: the status of every way an open fails, each
// produced for real (missing paths, sockets, device nodes without a device,
// permissions, an immutable file, a tty held exclusively or locked), and the
// ttys that are refused without ever being opened: some process's controlling
// terminal (a pty made the controlling terminal of a child here) and the
// system console (decided on a sysfs tree built by the test; the machine's
// console is never opened, configured or written).
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/serial_port.h"
#include "portstream/com_port_list.h"
#include "pty_pair.h"
#include "test_env.h"

namespace fs = std::filesystem;
using qv::platform::kOpenDenied;
using qv::platform::kOpenFailed;
using qv::platform::kOpenNotFound;
using qv::platform::kOpenOk;
using qv::platform::OpenTtyPath;
using qvtest::PtyPair;
using qvtest::TempDir;

namespace {

constexpr int kOpenFlags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;  // as the library opens a tty

// The errno a plain open of `path` fails with (0 when it opens).
int OpenErrno(const std::string& path) {
    const int fd = open(path.c_str(), kOpenFlags);
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    return errno;
}

// The library's open status for `path`; the device must not stay open.
uint32_t StatusOf(const std::string& path) {
    uint32_t status = 99;
    auto dev = OpenTtyPath(path, &status);
    EXPECT_EQ(dev, nullptr) << path << " opened";
    return status;
}

// What a child process running as an unprivileged user saw.
struct Unprivileged {
    int openErrno = -1;
    uint32_t status = 99;
};

// Runs the plain open and the library's open of `path` in a child that has
// dropped root (root is exempt from file permissions and from TIOCEXCL).
Unprivileged OpenAsNobody(const std::string& path) {
    int pipeFds[2];
    Unprivileged result;
    if (pipe(pipeFds) != 0) return result;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipeFds[0]);
        Unprivileged r;
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
        r.openErrno = OpenErrno(path);
        auto dev = OpenTtyPath(path, &r.status);
        if (dev) r.status = 100;  // opened: the test fails on it
        dev.reset();
        (void)!write(pipeFds[1], &r, sizeof r);
        _exit(0);
    }
    close(pipeFds[1]);
    if (pid > 0) {
        if (read(pipeFds[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) result = Unprivileged{};
        int st = 0;
        waitpid(pid, &st, 0);
    }
    close(pipeFds[0]);
    return result;
}

// A misc-device minor without a driver on this machine (the kernel then
// answers an open with ENODEV).
int FreeMiscMinor() {
    std::set<int> used;
    std::ifstream misc("/proc/misc");
    int minor = 0;
    std::string name;
    while (misc >> minor >> name) used.insert(minor);
    for (int candidate : {3, 5, 6, 7}) {
        if (used.count(candidate) == 0) return candidate;
    }
    return -1;
}

// A character device node for `rdev` in the test's directory; false when this
// machine does not let the test make one (no CAP_MKNOD).
bool MakeNode(const fs::path& path, dev_t rdev) { return mknod(path.c_str(), S_IFCHR | 0600, rdev) == 0; }

}  // namespace

TEST(TtyOpen, NoSuchDeviceIsNotFound) {
    TempDir tmp("qv_tty_open");
    // ENOENT: nothing at the path.
    const std::string missing = (tmp.path() / "missing").string();
    EXPECT_EQ(OpenErrno(missing), ENOENT);
    EXPECT_EQ(StatusOf(missing), kOpenNotFound) << "ENOENT";

    // ENOTDIR: a path through a plain file.
    std::ofstream(tmp.path() / "plain") << "x";
    const std::string throughFile = (tmp.path() / "plain" / "tty").string();
    EXPECT_EQ(OpenErrno(throughFile), ENOTDIR);
    EXPECT_EQ(StatusOf(throughFile), kOpenNotFound) << "ENOTDIR";

    // ENXIO: a Unix socket.
    const std::string sockPath = (tmp.path() / "sock").string();
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sock, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(sockPath.size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, sockPath.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(OpenErrno(sockPath), ENXIO);
    EXPECT_EQ(StatusOf(sockPath), kOpenNotFound) << "ENXIO (socket)";
    close(sock);

    // Device nodes whose device does not exist: a major number no driver has
    // (60, reserved for local use) gives ENXIO, a free misc minor ENODEV.
    const fs::path noMajor = tmp.path() / "no-major";
    const fs::path noMinor = tmp.path() / "no-minor";
    const int miscMinor = FreeMiscMinor();
    if (!MakeNode(noMajor, makedev(60, 0)) || miscMinor < 0 ||
        !MakeNode(noMinor, makedev(10, static_cast<unsigned>(miscMinor)))) {
        GTEST_SKIP() << "device nodes cannot be made here: ENXIO of a device node and ENODEV not checked";
    }
    ASSERT_EQ(OpenErrno(noMajor.string()), ENXIO);
    EXPECT_EQ(StatusOf(noMajor.string()), kOpenNotFound) << "ENXIO (device node)";
    ASSERT_EQ(OpenErrno(noMinor.string()), ENODEV);
    EXPECT_EQ(StatusOf(noMinor.string()), kOpenNotFound) << "ENODEV";
}

TEST(TtyOpen, NotAllowedOrInUseIsDenied) {
    // EACCES: a pty whose node nobody may open.
    {
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        ASSERT_EQ(chmod(pty.slave_path().c_str(), 0), 0);
        const Unprivileged r = OpenAsNobody(pty.slave_path());
        ASSERT_EQ(r.openErrno, EACCES);
        EXPECT_EQ(r.status, kOpenDenied) << "EACCES";
    }
    // EBUSY: a pty another program holds with TIOCEXCL (only root may open it then).
    {
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        ASSERT_EQ(chmod(pty.slave_path().c_str(), 0666), 0);
        const int held = open(pty.slave_path().c_str(), kOpenFlags);
        ASSERT_GE(held, 0);
        ASSERT_EQ(ioctl(held, TIOCEXCL), 0);
        const Unprivileged r = OpenAsNobody(pty.slave_path());
        ASSERT_EQ(r.openErrno, EBUSY);
        EXPECT_EQ(r.status, kOpenDenied) << "EBUSY";
        close(held);
    }
    // A pty another stream or program has locked.
    {
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        const int held = open(pty.slave_path().c_str(), kOpenFlags);
        ASSERT_GE(held, 0);
        ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(StatusOf(pty.slave_path()), kOpenDenied) << "flock held";
        close(held);
        uint32_t status = 99;
        EXPECT_NE(OpenTtyPath(pty.slave_path(), &status), nullptr) << "free once the lock is gone";
        EXPECT_EQ(status, kOpenOk);
    }
    // EPERM: writing to an immutable file is not permitted, not even to root.
    {
        TempDir tmp("qv_tty_open");
        const fs::path file = tmp.path() / "immutable";
        std::ofstream(file) << "x";
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        int flags = 0;
        const bool settable = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                              (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        if (!settable) {
            close(fd);
            GTEST_SKIP() << "no immutable files here: EPERM not checked";
        }
        const int openErrno = OpenErrno(file.string());
        const uint32_t status = StatusOf(file.string());
        flags &= ~FS_IMMUTABLE_FL;
        ioctl(fd, FS_IOC_SETFLAGS, &flags);
        close(fd);
        ASSERT_EQ(openErrno, EPERM);
        EXPECT_EQ(status, kOpenDenied) << "EPERM";
    }
}

TEST(TtyOpen, AnythingElseIsAFailure) {
    TempDir tmp("qv_tty_open");
    // A plain file opens but is no terminal.
    std::ofstream(tmp.path() / "plain") << "not a tty";
    EXPECT_EQ(StatusOf((tmp.path() / "plain").string()), kOpenFailed);
    // EISDIR.
    EXPECT_EQ(OpenErrno(tmp.path().string()), EISDIR);
    EXPECT_EQ(StatusOf(tmp.path().string()), kOpenFailed) << "EISDIR";
    EXPECT_EQ(StatusOf(""), kOpenNotFound) << "no path at all";
}

// ------------------------------------------------------------ protected ttys

namespace {

// Reports every open of a path while it lives.
class OpenWatch {
public:
    explicit OpenWatch(const std::string& path) {
        fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ >= 0) inotify_add_watch(fd_, path.c_str(), IN_OPEN);
    }
    ~OpenWatch() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Number of opens seen since the last call.
    int Opens() {
        int n = 0;
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t got = read(fd_, buf, sizeof buf);
            if (got <= 0) return n;
            for (char* p = buf; p < buf + got;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                if (ev->mask & IN_OPEN) ++n;
                p += sizeof(inotify_event) + ev->len;
            }
        }
    }

private:
    int fd_ = -1;
};

// A child process whose controlling terminal is the slave of `pty`. It reports
// the terminal's line settings when it has taken it, and again when told to.
class ControllingChild {
public:
    explicit ControllingChild(const std::string& slave) {
        int toChild[2];
        int fromChild[2];
        if (pipe(toChild) != 0) return;
        if (pipe(fromChild) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            // A new session without a terminal; its first terminal opened
            // becomes its controlling terminal (TIOCSCTTY makes sure).
            if (setsid() < 0) _exit(2);
            const int fd = open(slave.c_str(), O_RDWR);
            if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0) _exit(3);
            termios t{};
            tcgetattr(fd, &t);
            (void)!write(fromChild[1], &t, sizeof t);
            char go = 0;
            (void)!read(toChild[0], &go, 1);
            tcgetattr(fd, &t);
            (void)!write(fromChild[1], &t, sizeof t);
            _exit(0);
        }
        close(toChild[0]);
        close(fromChild[1]);
        to_ = toChild[1];
        from_ = fromChild[0];
        ok_ = pid_ > 0 && read(from_, &before_, sizeof before_) == static_cast<ssize_t>(sizeof before_);
    }
    ~ControllingChild() { Finish(); }

    bool ok() const { return ok_; }
    const termios& before() const { return before_; }

    // Asks the child for its terminal's settings now, and lets it end.
    bool Finish(termios* after = nullptr) {
        if (pid_ <= 0) return false;
        (void)!write(to_, "g", 1);
        termios t{};
        const bool got = read(from_, &t, sizeof t) == static_cast<ssize_t>(sizeof t);
        if (after != nullptr) *after = t;
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        close(to_);
        close(from_);
        return got && WIFEXITED(st) && WEXITSTATUS(st) == 0;
    }

private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    bool ok_ = false;
    termios before_{};
};

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           cfgetospeed(&a) == cfgetospeed(&b) && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

}  // namespace

TEST(ProtectedTty, ControllingTerminalIsRefusedWithoutBeingOpened) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string slave = pty.slave_path();
    ControllingChild child(slave);
    ASSERT_TRUE(child.ok());

    OpenWatch watch(slave);
    ASSERT_TRUE(watch.ok());
    EXPECT_TRUE(qv::platform::TtyIsProtected(slave));
    uint32_t status = 99;
    EXPECT_EQ(OpenTtyPath(slave, &status), nullptr);
    EXPECT_EQ(status, kOpenDenied);
    // Declared as a COM port, it is not listed, so it cannot be opened by number either.
    qv::ComPortSources src;
    src.systemPorts = false;
    src.declaredEnv = "COM3=" + slave;
    EXPECT_TRUE(qv::ListComPorts(src).empty());
    {
        qvtest::ScopedEnv ports("QUORVIA_COM_PORTS", "COM3=" + slave);
        qvtest::ScopedEnv settings("QUORVIA_SETTINGS", "/nonexistent/quorvia-test.ini");
        status = 99;
        EXPECT_EQ(qv::OpenComPort(3, &status), nullptr);
        EXPECT_EQ(status, kOpenNotFound);
    }
    EXPECT_EQ(watch.Opens(), 0) << "the controlling terminal was opened";

    // The child's terminal is untouched: same settings, nothing written to it.
    termios after{};
    ASSERT_TRUE(child.Finish(&after));
    EXPECT_TRUE(SameSettings(child.before(), after)) << "the controlling terminal was configured";
    EXPECT_TRUE(pty.DrainMaster(100).empty()) << "something was written to the controlling terminal";

    // Once it is nobody's controlling terminal any more, the same pty opens:
    // the refusal was the rule for controlling terminals.
    EXPECT_FALSE(qv::platform::TtyIsProtected(slave));
    status = 99;
    EXPECT_NE(OpenTtyPath(slave, &status), nullptr);
    EXPECT_EQ(status, kOpenOk);
    EXPECT_GE(watch.Opens(), 1);
}

TEST(ProtectedTty, ConsoleNamedBySysfsIsProtected) {
    // A sysfs tree that names a pty of this test as the system console: the
    // decision needs only stat() of the path and the tree, never an open.
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const std::string slave = pty.slave_path();
    struct stat st {};
    ASSERT_EQ(stat(slave.c_str(), &st), 0);
    TempDir tmp("qv_tty_console");
    const fs::path consoleSys = tmp.path() / "console-sys";
    const fs::path plainSys = tmp.path() / "plain-sys";
    fs::create_directories(consoleSys / "class/tty/console");
    fs::create_directories(consoleSys / "class/tty/ttyQV7");
    fs::create_directories(plainSys / "class/tty/console");
    std::ofstream(consoleSys / "class/tty/console/active") << "tty0 ttyQV7\n";
    std::ofstream(consoleSys / "class/tty/ttyQV7/dev") << major(st.st_rdev) << ":" << minor(st.st_rdev) << "\n";
    std::ofstream(plainSys / "class/tty/console/active") << "tty0\n";

    OpenWatch watch(slave);
    ASSERT_TRUE(watch.ok());
    EXPECT_TRUE(qv::platform::TtyIsProtected(slave, consoleSys.string()));
    EXPECT_FALSE(qv::platform::TtyIsProtected(slave, plainSys.string()));

    // The port list follows the same tree.
    qv::ComPortSources src;
    src.systemPorts = false;
    src.declaredEnv = "COM9=" + slave;
    src.sysRoot = consoleSys.string();
    EXPECT_TRUE(qv::ListComPorts(src).empty()) << "the console was listed";
    src.sysRoot = plainSys.string();
    ASSERT_EQ(qv::ListComPorts(src).size(), 1u);
    EXPECT_EQ(watch.Opens(), 0) << "deciding opened the tty";

    // /dev/console, /dev/tty and the virtual consoles are protected by their
    // device numbers whatever the tree says; nodes made here stand for them,
    // and only stat() looks at them.
    const struct {
        dev_t rdev;
        const char* what;
    } kFixed[] = {{makedev(5, 1), "/dev/console"}, {makedev(5, 0), "/dev/tty"}, {makedev(4, 1), "tty1"},
                  {makedev(4, 63), "tty63"}};
    for (const auto& f : kFixed) {
        const fs::path node =
            tmp.path() / ("node-" + std::to_string(major(f.rdev)) + "-" + std::to_string(minor(f.rdev)));
        if (!MakeNode(node, f.rdev)) GTEST_SKIP() << "device nodes cannot be made here";
        EXPECT_TRUE(qv::platform::TtyIsProtected(node.string(), plainSys.string())) << f.what;
    }
}
