// The HID feature reports the library sent to umockdev's pty-backed hidraw
// nodes. Linked into the end-to-end USB tests only (feature_ioctl_fake.cpp):
// there an HIDIOCSFEATURE on such a node is answered by the test program instead of
// the pty, which knows no such request. Why: umockdev gives a node either as a
// pty (the reader's poll() works, feature reports fail with ENOTTY) or with a
// handler (feature reports work, but poll() never reports data), so no node
// carries both the I/O and the FE 01 / FE 00 reports of a kind-3 scanner.
// The real request through a handler node is tested by hid_stream_test.
#pragma once

#include <cstdint>
#include <vector>

namespace qvtest {

std::vector<std::vector<uint8_t>> FakeFeatureReports();

}  // namespace qvtest
