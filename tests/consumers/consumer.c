/* A C11 program using Quorvia the way an application does: the public header
 * compiled as strict C11 and the library linked as a consumer links it (the
 * installed package, pkg-config or add_subdirectory). It calls real exports and
 * checks what they return. QV_EXPECTED_VERSION is the version the package
 * states (find_package, pkg-config --modversion). */
#include <quorvia.h>

#include <stdio.h>
#include <string.h>

#ifndef QV_EXPECTED_VERSION
#error "build with -DQV_EXPECTED_VERSION=\"<version of the package>\""
#endif

static int failures;

static void check(int ok, int line, const char* what, const char* seen) {
    if (!ok) {
        printf("consumer.c:%d: FAILED: %s (seen: \"%s\")\n", line, what, seen);
        failures++;
    }
}
#define CHECK(ok, what, seen) check((ok), __LINE__, (what), (seen))

int main(void) {
    const char* error = qv_GetLastError();
    CHECK(error != NULL && error[0] == '\0', "last error is empty at start", error ? error : "(null)");

    /* Flags outside 1..15 are refused before anything is probed. */
    const uint32_t bad_flags[] = {0u, QV_ENUM_NETWORK << 1};
    for (size_t i = 0; i < sizeof bad_flags / sizeof bad_flags[0]; i++) {
        int32_t count = 7;
        T_DevicesInfo* list = qv_EnumDevices(&count, bad_flags[i]);
        CHECK(list == NULL, "qv_EnumDevices refuses bad flags", "a list");
        error = qv_GetLastError();
        CHECK(strcmp(error, "Invalid input parameters") == 0, "bad flags give \"Invalid input parameters\"", error);
        CHECK(count == 7, "a refused enumeration leaves the count alone", "changed");
    }

    /* Releasing no list changes nothing but empties the last error. */
    T_DevicesInfo* none = NULL;
    qv_ReleaseDevices(&none);
    error = qv_GetLastError();
    CHECK(none == NULL && error[0] == '\0', "qv_ReleaseDevices empties the last error", error);

    /* The header's version is the one the package states. */
    int major = -1, minor = -1, patch = -1;
    char header_version[32];
    snprintf(header_version, sizeof header_version, "%d.%d.%d", QUORVIA_VERSION_MAJOR, QUORVIA_VERSION_MINOR,
             QUORVIA_VERSION_PATCH);
    CHECK(sscanf(QV_EXPECTED_VERSION, "%d.%d.%d", &major, &minor, &patch) == 3, "the package states a version",
          QV_EXPECTED_VERSION);
    CHECK(strcmp(header_version, QV_EXPECTED_VERSION) == 0, "header version equals the package version",
          header_version);
    CHECK(QUORVIA_VERSION == ((major << 16) | (minor << 8) | patch), "QUORVIA_VERSION encodes the package version",
          QV_EXPECTED_VERSION);

    printf("consumer_c: Quorvia %s: %s\n", header_version, failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
