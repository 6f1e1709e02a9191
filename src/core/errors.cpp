#include "core/errors.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace qv {

const ErrorRow errorTable[kErrorTableRows] = {
    {0, ""},
    {-1001, "Invalid input parameters"},
    {-1002, "IMGGET and IMGTGT is not support"},
    {-1003, "Memory allocation failed"},
    {-1004, "Open com device failed"},
    {-1005, "Not hex characters"},
    {-1006, "Image with barcode location must need STImgResolution"},
    {-1007, "Image data real len greater then param len"},
    {-1008, "Color depth of a bitmap can only be 8 or 24"},
    {-1009, "Saving jpg flag only in(10,11,12,13,20,21,22,23)"},
    {-1010, "Open jpg file error"},
    {-1011, "Device type error"},
    {-1012, "Get local ip error"},
    {-1013, "Init network error"},
    {-1014, "Create udp socket error"},
    {-1015, "Create tcp socket error"},
    {-1016, "Open broadcast error"},
    {-1017, "Send udp data error"},
    {-1018, "Send tcp data error"},
    {-1019, "Recv udp data error"},
    {-1020, "Recv tcp data error"},
    {-1021, "Socket bind error"},
    {-1022, "Wait for multiple events error"},
    {-1023, "Get image param T error"},
    {-1024, "Get image param R error"},
    {-1025, "Get image param F error"},
    {-1026, "Get image param Q error"},
    {-1027, "Get image param I error"},
    {-1028, "Get image param A error"},
    {-1029, "Get image param B error"},
    {-1030, "Get image size error"},
    {-1031, "No image data"},
    {-1032, "Barcode location error"},
    {-1033, "Get image data len error"},
    {-1034, "Write to com error"},
    {-1035, "Read from com error, com push out"},
    {-1036, "Update firmware file with com error"},
    {-1037, "Open usb device failed"},
    {-1038, "Write to usb error"},
    {-1039, "Read from usb error, com push out"},
    {-1040, "Update firmware file with usb error"},
    {-1041, "Set non-blocking mode error"},
    {-1042, "Connect to server error"},
    {-1043, "Connect to server timeout"},
    {-1044, "Invalid socket"},
    {-1045, "Update firmware file with net erro"},
    {-1046, "Recv from net timeout"},
    {-1047, "Socket disconnected"},
    {-1048, "Wait for multiple events timeout"},
    {-1049, "Device is not open"},
    {-1050, "Input param len is not enough"},
    {-1051, "Save picture to the file error"},
    {-1052, "Network select error"},
    {-1053, "Connect getsockopt error"},
    {-1054, "Read device configuration error"},
    {-1055, "Instructs write to device error"},
    {-1056, "Open xml file error"},
    {-1057, "Get image data error"},
};

namespace {

std::atomic<const char*> lastErrorText{errorTable[0].text};

// Composed texts, each kept once for the life of the process: a pointer handed
// out by qv_GetLastError must stay readable whatever is published later.
std::mutex composedMutex;
std::set<std::string, std::less<>>& ComposedTexts() {
    static auto* texts = new std::set<std::string, std::less<>>;  // never destroyed: pointers escape
    return *texts;
}

}  // namespace

const char* ErrorText(int32_t code) {
    for (const ErrorRow& row : errorTable) {
        if (row.code == code) return row.text;
    }
    return nullptr;
}

void SetLastErrorCode(int32_t code) noexcept {
    const char* text = ErrorText(code);
    if (text != nullptr) lastErrorText.store(text, std::memory_order_release);
}

void SetLastErrorComposed(int32_t code, const char* text) noexcept {
    if (text == nullptr) {
        SetLastErrorCode(code);
        return;
    }
    const std::string_view cut(text, strnlen(text, kLastErrorCapacity - 1));
    try {
        std::lock_guard<std::mutex> lock(composedMutex);
        auto& texts = ComposedTexts();
        auto it = texts.find(cut);
        if (it == texts.end()) {
            if (texts.size() >= static_cast<size_t>(kComposedTextLimit)) {
                SetLastErrorCode(code);
                return;
            }
            it = texts.emplace(cut).first;
        }
        lastErrorText.store(it->c_str(), std::memory_order_release);
    } catch (...) {
        SetLastErrorCode(code);  // out of memory: the table text still says what failed
    }
}

const char* LastErrorText() noexcept { return lastErrorText.load(std::memory_order_acquire); }

}  // namespace qv

