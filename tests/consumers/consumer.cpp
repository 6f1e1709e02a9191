// A C++20 program using Quorvia the way an application does (the installed
// package, pkg-config or add_subdirectory). It checks that it runs against the
// library it was built for, loaded by its soname from QV_EXPECTED_LIBDIR, whose
// file name carries the header's version, and calls real exports.
#include <quorvia.h>

#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#if !defined(QV_EXPECTED_VERSION) || !defined(QV_EXPECTED_LIBDIR)
#error "build with -DQV_EXPECTED_VERSION=\"<package version>\" -DQV_EXPECTED_LIBDIR=\"<directory of libQuorvia>\""
#endif

namespace {

int failures = 0;

void Check(bool ok, int line, const std::string& what, const std::string& seen) {
    if (!ok) {
        std::printf("consumer.cpp:%d: FAILED: %s (seen: \"%s\")\n", line, what.c_str(), seen.c_str());
        ++failures;
    }
}
#define CHECK(ok, what, seen) Check((ok), __LINE__, (what), (seen))

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : "(" + path + " does not resolve)";
}

std::string LastError() {
    const char* text = qv_GetLastError();
    return text ? text : "(null)";
}

}  // namespace

int main() {
    const std::string headerVersion = std::to_string(QUORVIA_VERSION_MAJOR) + "." +
                                      std::to_string(QUORVIA_VERSION_MINOR) + "." +
                                      std::to_string(QUORVIA_VERSION_PATCH);
    CHECK(headerVersion == QV_EXPECTED_VERSION, "header version equals the package version " QV_EXPECTED_VERSION,
          headerVersion);

    // The library in this process is the one named by its soname, and its file
    // is libQuorvia.so.<header version> in the expected directory.
    const std::string soname = "libQuorvia.so." + std::to_string(QUORVIA_VERSION_MAJOR);
    void* handle = dlopen(soname.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    CHECK(handle != nullptr, "the process has " + soname + " loaded", dlerror() ? "not loaded" : "");
    if (handle) {
        link_map* map = nullptr;
        CHECK(dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map, "dlinfo describes " + soname, "");
        if (map) {
            const std::string expected = RealPath(QV_EXPECTED_LIBDIR) + "/libQuorvia.so." + headerVersion;
            CHECK(RealPath(map->l_name) == expected, "loaded library is " + expected, RealPath(map->l_name));
        }
        dlclose(handle);
    }

    CHECK(LastError().empty(), "last error is empty at start", LastError());

    // The last error is the process's: a failure in another thread shows here.
    std::thread other([] {
        int32_t count = 3;
        qv_EnumDevices(&count, 0);
    });
    other.join();
    CHECK(LastError() == "Invalid input parameters", "another thread's refused enumeration shows here", LastError());

    int32_t count = 3;
    CHECK(qv_EnumDevices(nullptr, QV_ENUM_COM) == nullptr, "a null count is refused", "a list");
    CHECK(LastError() == "Invalid input parameters", "a null count gives \"Invalid input parameters\"", LastError());
    CHECK(qv_EnumDevices(&count, 0) == nullptr && count == 3, "flags 0 are refused, count unchanged",
          std::to_string(count));

    T_DevicesInfo* none = nullptr;
    qv_ReleaseDevices(&none);
    CHECK(none == nullptr && LastError().empty(), "qv_ReleaseDevices empties the last error", LastError());

    std::printf("consumer_cpp: Quorvia %s: %s\n", headerVersion.c_str(), failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
