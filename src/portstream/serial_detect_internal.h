// Internals of COM-port enumeration and detection: the port-name classifier,
// the trial order, the waits, the answer checks and the per-row probe with an
// injectable port opener. Exposed for unit tests; the rest of the library uses
// serial_detect.h only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "portstream/com_port_list.h"
#include "platform/serial_port.h"
#include "portstream/serial_detect.h"

namespace qv::serialdetect {

// ------------------------------------------------------------- enumeration

// Which log line a classified name asks for (mode -2 only).
enum class NameLog : uint8_t {
    kNone,
    kSilabser,  // "222 qvds_enum_serial_ports2 ptr=%s"
    kOther,     // "333 qvds_enum_serial_ports2 ptr=%s"
};

struct PortClass {
    uint8_t kind = 0;             // port kind; 0 when the port is not listed in this mode
    NameLog log = NameLog::kNone;
    std::string rest;             // the lower-cased name after "\device\"
};

// True when `rest` is `word` followed by one or more hexadecimal digits and
// nothing else.
bool MatchesDriverWord(const std::string& rest, const char* word);

// Classifies a driver's device name such as "\Device\Serial0" for `mode`
// (QVDS_ENUM_ALL, or anything else for USB virtual COM ports only).
PortClass ClassifyPortName(const std::string& deviceName, int32_t mode);

// Turns a COM-port list into rows (at most QVDS_MAX_PORTS, list order) and
// writes the classifier's log lines. Returns the number of rows filled.
int FillPortRows(const std::vector<platform::ComPortInfo>& ports, int32_t mode,
                 SerialPortEntry* table);

// --------------------------------------------------------------- detection

// Base wait of every detection read (the system keeps base waits within 50..2000 ms).
constexpr uint32_t kBaseWaitMs = 255;
constexpr uint32_t kVirtualComWaitMs = 600;
constexpr uint32_t kVirtualComBaud = 115200;
constexpr int32_t kWriteLimitMs = 2000;
constexpr int kMaxWorkers = 16;
constexpr uint32_t kReadCap = 4096;

// Stop-bit and parity values as the rows store them.
constexpr uint8_t kOneStopBit = 0;
constexpr uint8_t kTwoStopBits = 2;
constexpr uint8_t kParityNone = 0;
constexpr uint8_t kParityOdd = 1;
constexpr uint8_t kParityEven = 2;

// The scanner's probes and the answer the framed query expects.
extern const uint8_t kPresenceProbe;                 // '?'
extern const uint8_t kPresenceAnswer;                // '!'
extern const uint8_t kFramedQuery[13];
extern const uint8_t kOldQuery[10];

// Settings-file keys of section "main" that steer detection.
struct DetectOptions {
    int detectOld = 0;      // 1 or 3: a port that answers "!" to the framed query is asked the older query
    int seqDetect = 0;      // 1: rates in table order, each with no parity then even parity
    int noPollingRead = 0;  // non-zero: one timed read instead of polling every 10 ms
};

DetectOptions ReadDetectOptions();

// One presence trial of stage 1 (always 8 data bits, one stop bit).
struct Trial {
    uint32_t baud = 0;
    uint8_t parity = kParityNone;
    bool operator==(const Trial&) const = default;
};

// The 18 presence trials in the order SeqDetect asks for.
std::vector<Trial> PresenceTrials(int seqDetect);

// Wait of one presence probe: base + 4 + 4 * (10000 div rate).
uint32_t ProbeWaitMs(uint32_t baud);

// Character-time factor of the framing stages: 10000 when the presence
// parity was none, 11000 otherwise, plus 1000 for two stop bits.
uint32_t FramingBitFactor(uint8_t presenceParity, uint8_t stopBits);

// Read wait of the framed query: base + 32 * ((X div rate) + 1).
uint32_t FramedQueryWaitMs(uint32_t baud, uint8_t presenceParity, uint8_t stopBits);

// Read wait of the older query: base + 24 * ((X div rate) + 1).
uint32_t OldQueryWaitMs(uint32_t baud, uint8_t presenceParity, uint8_t stopBits);

enum class FramedReply {
    kNone,         // nothing came
    kOldProtocol,  // exactly "!" or 15 "!": a scanner of the older protocol
    kMatch,        // the 14-byte answer to the framed query
    kOther,        // anything else
};

FramedReply ClassifyFramedReply(const uint8_t* data, size_t len);

// The 4-byte header of an older-protocol answer: 02 00 and a big-endian V.
// Returns V + 1 (the bytes that follow), or -1 when the header is not one.
int32_t OldReplyFollowing(const uint8_t* header, size_t len);

// Opens a COM port by number; on failure returns null and sets the status
// (2 not found, 5 denied or in use, anything else = setup failure).
using PortOpener =
    std::function<std::unique_ptr<platform::PortDevice>(uint32_t number, uint32_t* status)>;

// Resets a row to its undetected state (baud 0, status 0, 8 data bits, one
// stop bit, no parity, no flow control); COM number and kind stay.
void ResetRow(SerialPortEntry& row);

// Probes one row (already reset) and fills baud rate, stop bits, parity and status.
void ProbeRow(SerialPortEntry& row, const DetectOptions& options, const PortOpener& open);

// Resets and probes `count` rows with up to 16 worker threads sharing a row
// cursor. Rows left without a worker (no thread could be started) stay reset.
void DetectRows(SerialPortEntry* table, int count, const DetectOptions& options,
                const PortOpener& open);

}  // namespace qv::serialdetect
