// CQVScan: the protocol engine of one open scanner. It frames commands, reads
// replies through the transport that matches the device record's transport
// kind, and splits the received byte stream into response frames and barcode
// data.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/byte_queue.h"
#include "engine/image_reply_reader.h"
#include "engine/stream_splitter.h"
#include "quorvia.h"
#include "transport/communication.h"

namespace qv {

// Command status of SendCommand / SendHexCommand.
enum CommandStatus : int32_t {
    kCmdNotWritten = QV_CMD_NOT_WRITTEN,
    kCmdAccepted = QV_CMD_ACCEPTED,  // ACK, or no reply within the read time-out
    kCmdEnq = QV_CMD_ENQ,
    kCmdNak = QV_CMD_NAK,
    kCmdOther = QV_CMD_OTHER,        // any other byte before ';', or out of memory
};

// Builds the command frame 7E 01 "0000" kind body ';' 03 around a text. The
// text ends at its first zero byte or after `length` bytes; one trailing ';' is
// dropped; a leading '@' or '#' becomes the kind byte (else '@').
std::vector<char> BuildCommandFrame(const char* text, size_t length);

// True when the bytes start with 02 01 "0000" and end with ';' 03.
bool IsCompleteResponse(const char* data, size_t len);

// True when the bytes are a complete command frame: 7E 01 "0000" ... ';' 03,
// at least 9 bytes.
bool IsCompleteCommandFrame(const char* data, size_t len);

// Abstract base of the engine, operations in slot order.
class CManufactor {
public:
    virtual void FreeBuffer(char** buffer) = 0;
    virtual T_DevicesInfo* OpenDevice(T_DevicesInfo* list, uint32_t index) = 0;
    virtual bool Write(T_DevicesInfo* device, const char* data, uint32_t length, bool framed) = 0;
    virtual int32_t SendCommand(T_DevicesInfo* device, const char* text, int32_t length) = 0;
    virtual int32_t SendHexCommand(T_DevicesInfo* device, const char* data, int32_t length) = 0;
    virtual bool GetCommandResponse(T_DevicesInfo* device, const char* data, int32_t length, char* out,
                                    int32_t* outLen, int32_t readTimeoutMs, bool framed) = 0;
    virtual bool GetOtherResponse(T_DevicesInfo* device, const char* data, int32_t length, char* out,
                                  int32_t* outLen, int32_t timeoutMs, bool writeOnly) = 0;
    virtual int32_t ReadResponse(T_DevicesInfo* device, char* out, int32_t capacity, int32_t timeoutMs) = 0;
    virtual int32_t AsynRead(T_DevicesInfo* device, char* out, uint32_t capacity, int32_t timeoutMs) = 0;
    virtual bool GetPicSize(T_DevicesInfo* device, int32_t* width, int32_t* height) = 0;
    virtual bool GetPicData(T_DevicesInfo* device, ImgParam param, char* out, uint32_t* outLen,
                            STImgResolution* imgR) = 0;
    virtual bool GetRawPicData(T_DevicesInfo* device, char* out, int32_t length) = 0;
    virtual bool UpdateKernelDevice(T_DevicesInfo* device, const char* fileName, int32_t value,
                                    int32_t* result) = 0;
    virtual bool CloseDevice(T_DevicesInfo** device) = 0;
    virtual bool ReadDevConfiguration(T_DevicesInfo* device, const char* fileName) = 0;
    virtual bool WriteCfgToDev(T_DevicesInfo* device, const char* fileName) = 0;
    virtual void SetDevStatusCallback(T_DevicesInfo* device, QV_DEV_STATUS_CALLBACK callback) = 0;
    virtual void StopDevStatusCallback(T_DevicesInfo* device) = 0;
    virtual int32_t GetImageColorType(T_DevicesInfo* device) = 0;
    virtual bool ConvertImageColorSpace(const char* src, int32_t len, STImgResolution size, char* out) = 0;
    virtual bool GetRoiPicData(T_DevicesInfo* device, RoiImgParam param, char* out, uint32_t* outLen) = 0;
    virtual T_DevicesInfo* OpenDeviceForNati(T_DevicesInfo* record) = 0;
    virtual ~CManufactor() = default;
};

class CQVScan : public CManufactor {
public:
    // An engine with the library's own transports.
    CQVScan();
    // An engine over the given transports (any may be null; a null transport
    // makes the operations of its kind fail). For tests and special users.
    CQVScan(std::unique_ptr<CCommunicationFactory> usb, std::unique_ptr<CCommunicationFactory> serial,
            std::unique_ptr<CCommunicationFactory> network);
    ~CQVScan() override;

    CQVScan(const CQVScan&) = delete;
    CQVScan& operator=(const CQVScan&) = delete;

    void FreeBuffer(char** buffer) override;
    T_DevicesInfo* OpenDevice(T_DevicesInfo* list, uint32_t index) override;
    bool Write(T_DevicesInfo* device, const char* data, uint32_t length, bool framed) override;
    int32_t SendCommand(T_DevicesInfo* device, const char* text, int32_t length) override;
    int32_t SendHexCommand(T_DevicesInfo* device, const char* data, int32_t length) override;
    bool GetCommandResponse(T_DevicesInfo* device, const char* data, int32_t length, char* out,
                            int32_t* outLen, int32_t readTimeoutMs, bool framed) override;
    bool GetOtherResponse(T_DevicesInfo* device, const char* data, int32_t length, char* out,
                          int32_t* outLen, int32_t timeoutMs, bool writeOnly) override;
    int32_t ReadResponse(T_DevicesInfo* device, char* out, int32_t capacity, int32_t timeoutMs) override;
    int32_t AsynRead(T_DevicesInfo* device, char* out, uint32_t capacity, int32_t timeoutMs) override;

    // Pictures. Each exchange holds m_readDataMutex from before its command is
    // written until its reply is read; while an image reply is read every
    // received byte belongs to it (raw mode), and every way out leaves raw
    // mode. The picture size (IMGGWH); false with "Get image size error" when
    // the reply is missing or unusable (see PictureSizeUsable), with the
    // transport's error when the device is lost.
    bool GetPicSize(T_DevicesInfo* device, int32_t* width, int32_t* height) override;
    // A picture with the parameters the device accepts (capability query
    // "IMGGET^" first). *outLen is the capacity on entry and the image length
    // on return; an image longer than the capacity is not copied: false with
    // "Image data real len greater then param len" and *outLen the image
    // length. With param.t == 2, imgR (four entries) receives the barcode
    // location.
    bool GetPicData(T_DevicesInfo* device, ImgParam param, char* out, uint32_t* outLen,
                    STImgResolution* imgR) override;
    // The picture of the fixed command "IMGGET0T0R0F", whose length must be
    // width x height of the size query (else "Get image size error").
    bool GetRawPicData(T_DevicesInfo* device, char* out, int32_t length) override;
    // 1 grey, 2 colour (YUV 4:2:0), 0 when no complete reply came or its value is unknown.
    int32_t GetImageColorType(T_DevicesInfo* device) override;
    // YUV 4:2:0 frame of size.width x size.height (the raw height) into
    // R, G, B rows: see qv::ConvertImageColorSpace. Touches no device.
    bool ConvertImageColorSpace(const char* src, int32_t len, STImgResolution size, char* out) override;
    // A region of interest ("SOPIMG..."); *outLen as for GetPicData.
    bool GetRoiPicData(T_DevicesInfo* device, RoiImgParam param, char* out, uint32_t* outLen) override;

    // Checks the caller's parameters against the device's capability reply
    // and builds the image command into `cmd` (at most 100 bytes with its zero
    // byte). The caller holds m_readDataMutex.
    bool CheckImgParamAndCreateCmd(T_DevicesInfo* device, const ImgParam& param, char* cmd);

    bool UpdateKernelDevice(T_DevicesInfo* device, const char* fileName, int32_t value,
                            int32_t* result) override;
    bool CloseDevice(T_DevicesInfo** device) override;
    // The device's settings saved as a configuration XML file, and such a
    // file's settings written to the device (config_exchange.cpp).
    bool ReadDevConfiguration(T_DevicesInfo* device, const char* fileName) override;
    bool WriteCfgToDev(T_DevicesInfo* device, const char* fileName) override;
    void SetDevStatusCallback(T_DevicesInfo* device, QV_DEV_STATUS_CALLBACK callback) override;
    void StopDevStatusCallback(T_DevicesInfo* device) override;
    T_DevicesInfo* OpenDeviceForNati(T_DevicesInfo* record) override;

    // Cancels what runs on the device because it is about to be closed: its
    // transport's blocked reads and writes return their failure at once, and
    // so do later ones, so every exchange and read of this engine on it ends
    // promptly with its failure value. Takes no lock of the engine (a blocked
    // exchange holds m_readDataMutex).
    void Cancel(T_DevicesInfo* device);

    // One read from the device's transport, bypassing the queues.
    int32_t ReadTransport(T_DevicesInfo* device, char* buffer, uint32_t size, int32_t timeoutMs);

    // Response-frame bytes: what the response queue holds, else reads until a
    // chunk adds some. 0 on time-out, a negative transport code on failure.
    // Runs under the caller's lock.
    int32_t Read2(T_DevicesInfo* device, char* out, uint32_t capacity, int32_t timeoutMs);

    // Code-data bytes, likewise from the code queue. Runs under the caller's lock.
    int32_t ScntrgRead(T_DevicesInfo* device, char* out, uint32_t capacity, int32_t timeoutMs);

    // Collects barcode data until a short quiet gap or the time-out. *outLen is
    // the capacity of `out` on entry when it is 1..1 MiB (any other value means
    // the documented 1 MiB buffer) and the byte count on return.
    bool GetCodeData(T_DevicesInfo* device, char* out, int32_t* outLen, int32_t timeoutMs);

    // Records the device operation status of the decode upload's steps: 6 and
    // 7 around the picture data, 8 and 9 around the read of its acknowledgement.
    using DecodeStatusHook = std::function<void(int32_t status)>;

    // Uploads a bitmap file for the scanner's decoder (mode 1 grey, mode 2
    // YUV 4:2:0) and fetches the decoded text and the decoding time. `text`
    // holds at least 4096 bytes: up to 4095 bytes of the reply and a zero
    // byte; *textLen is the count. Each reply is waited for up to timeoutMs
    // (0 or less: 2000 ms). The caller stops a listener of the device first.
    bool SendBmpDecode(T_DevicesInfo* device, int32_t mode, const char* fileName, char* text, int32_t* textLen,
                       uint32_t* decodeTimeMs, int32_t timeoutMs, const DecodeStatusHook& status);
    // Configuration queries, each one exchange under m_readDataMutex: the
    // settings text (the "@*" reply after its kind byte; false when nothing
    // came), the product name from QRYSYS and the DFMQCU value (empty when
    // there is none).
    bool QueryAllSettings(T_DevicesInfo* device, std::string& text);
    std::string QueryProductName(T_DevicesInfo* device);
    std::string QueryDfmqcu(T_DevicesInfo* device);

    // The transport serving a transport kind, or null.
    CCommunicationFactory* Transport(int32_t transportKind) const;

    // For tests: the queue sizes.
    size_t responseQueueSize();
    size_t codeQueueSize();

private:
    CCommunicationFactory* TransportFor(const T_DevicesInfo* device) const;
    void RouteRead(const char* buf, size_t n, size_t cap);
    // Writes through the transport. Caller holds m_readDataMutex.
    bool WriteLocked(T_DevicesInfo* device, const char* data, uint32_t length, bool framed);
    // Routes what the device delivered and nobody read yet: barcode bytes to
    // the code queue, reply bytes nowhere. Caller holds m_readDataMutex.
    void DrainBuffered(CCommunicationFactory* t, T_DevicesInfo* device);
    // Collects Read2 output until nothing more comes or a complete frame is
    // collected (SendCommand, ReadResponse). *lost tells whether a failed read
    // (the device lost or its handle closing) ended the collection.
    size_t CollectResponse(T_DevicesInfo* device, std::vector<char>& into, size_t limit, int32_t timeoutMs,
                           bool* lost);
    static void CopyReply(const std::vector<char>& reply, char* out, int32_t* outLen);
    // Configuration exchanges, each under m_readDataMutex: a framed query and
    // its reply (at most `limit` bytes; *written false when the query could
    // not be written), and one batch frame, written as it is, with its reply
    // (false, with the error text set, when it could not be written or no
    // reply came).
    std::vector<char> ConfigQuery(T_DevicesInfo* device, const char* command, size_t limit, bool* written);
    bool ConfigBatchExchange(T_DevicesInfo* device, const std::vector<char>& frame, std::vector<char>& reply);
    // Image exchanges (the caller holds m_readDataMutex): a short query
    // answered by one response frame, the fetch of one image reply, the read
    // of that reply in raw mode, and the drain after a malformed one.
    enum class QueryOutcome { complete, incomplete, failed };  // failed: not written, or the device lost
    QueryOutcome QueryFrameLocked(T_DevicesInfo* device, const char* command, std::vector<char>& reply);
    bool FetchImageLocked(T_DevicesInfo* device, ImageReplyReader::Setup setup, char* out, uint32_t* outLen,
                          STImgResolution* imgR);
    bool ReadImageReply(T_DevicesInfo* device, ImageReplyReader& reader);
    // Bytes of an image reply in raw mode: at most `room`, waiting up to 2 s
    // for the first. 0 on time-out, negative when the device is lost.
    int32_t ReadImageBytes(T_DevicesInfo* device, char* dst, uint32_t room);
    std::string DrainImageReply(T_DevicesInfo* device, const ImageReplyReader& reader);
    // Leaves raw mode: the splitter starts afresh, and what was received
    // beyond the reply (`beyond`, then what raw mode queued) is split again.
    void EndRawMode(std::string_view beyond);
    // Routes bytes that are not part of the reply being read as the splitter
    // does outside raw mode: barcode data to the code queue, reply frames nowhere.
    void RouteOutsideReply(const char* data, size_t n);

    std::unique_ptr<CDevicesFactory> m_usbFactory;
    std::unique_ptr<CCommunicationFactory> m_usb;
    std::unique_ptr<CDevicesFactory> m_serialFactory;
    std::unique_ptr<CCommunicationFactory> m_serial;
    std::unique_ptr<CDevicesFactory> m_networkFactory;
    std::unique_ptr<CCommunicationFactory> m_network;
    ByteQueue responseQueue;
    ByteQueue codeQueue;
    std::mutex m_readDataMutex;
    SplitterState splitter;           // inFrame, rawMode, pendingSemicolon, pendingStatus
    std::vector<char> m_readScratch;  // one transport read (Read2, ScntrgRead, AsynRead)
};

}  // namespace qv
