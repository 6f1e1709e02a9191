// Error codes, the process-wide last-error text and the per-handle status.
#pragma once

#include <cstdint>

namespace qv {

enum ErrorCode : int32_t {
    kOk = 0,
    kErrInvalidParam = -1001,
    kErrImageCommand = -1002,
    kErrNoMemory = -1003,
    kErrOpenCom = -1004,
    kErrNotHex = -1005,
    kErrNeedResolution = -1006,
    kErrImageTooLong = -1007,
    kErrBitDepth = -1008,
    kErrJpegFlag = -1009,
    kErrOpenJpeg = -1010,
    kErrDeviceType = -1011,
    kErrLocalIp = -1012,
    kErrInitNetwork = -1013,
    kErrUdpSocket = -1014,
    kErrTcpSocket = -1015,
    kErrBroadcast = -1016,
    kErrSendUdp = -1017,
    kErrSendTcp = -1018,
    kErrRecvUdp = -1019,
    kErrRecvTcp = -1020,
    kErrBind = -1021,
    kErrWaitEvents = -1022,
    kErrParamT = -1023,
    kErrParamR = -1024,
    kErrParamF = -1025,
    kErrParamQ = -1026,
    kErrParamI = -1027,
    kErrParamA = -1028,
    kErrParamB = -1029,
    kErrImageSize = -1030,
    kErrNoImage = -1031,
    kErrBarcodeLocation = -1032,
    kErrImageLength = -1033,
    kErrWriteCom = -1034,
    kErrReadCom = -1035,
    kErrUpdateCom = -1036,
    kErrOpenUsb = -1037,
    kErrWriteUsb = -1038,
    kErrReadUsb = -1039,
    kErrUpdateUsb = -1040,
    kErrNonBlocking = -1041,
    kErrConnect = -1042,
    kErrConnectTimeout = -1043,
    kErrInvalidSocket = -1044,
    kErrUpdateNet = -1045,
    kErrRecvTimeout = -1046,
    kErrDisconnected = -1047,
    kErrWaitTimeout = -1048,
    kErrNotOpen = -1049,
    kErrLenNotEnough = -1050,
    kErrSavePicture = -1051,
    kErrSelect = -1052,
    kErrGetsockopt = -1053,
    kErrReadConfig = -1054,
    kErrWriteConfig = -1055,
    kErrOpenXml = -1056,
    kErrImageData = -1057,
};

struct ErrorRow {
    int32_t code;
    char text[128];
};

constexpr int kErrorTableRows = 58;
extern const ErrorRow errorTable[kErrorTableRows];

// Longest composed last-error text, terminating zero included.
constexpr int kLastErrorCapacity = 512;

// Most distinct composed texts the process keeps; later new ones are replaced
// by the table text of their code.
constexpr int kComposedTextLimit = 1024;

// Makes the table text of `code` the last-error text; a code that is not in
// the table changes nothing; 0 empties the text.
void SetLastErrorCode(int32_t code) noexcept;

// Makes a composed text (a table text with details, e.g. the names a device
// refused) the last-error text, cut to kLastErrorCapacity - 1 bytes. `code` is
// the row whose text stands in when the composed texts are exhausted.
void SetLastErrorComposed(int32_t code, const char* text) noexcept;

// The last-error text: a pointer to an immutable zero-terminated text (a table
// row or a kept composed text) that stays valid for the life of the process.
// Publishing a new text never writes over an old one, so a reader never sees a
// torn text.
const char* LastErrorText() noexcept;

// Table text of a code, or nullptr when the code is not in the table.
const char* ErrorText(int32_t code);

}  // namespace qv
