// QuorviaDemo's network options: they talk to a network scanner over the TCP
// exports (no enumeration) and end the program.
//
//   --NetGetImg    trigger reads on the command connection (port 30000) and
//                  fetch JPEG pictures (T 0, R 0, F 2, Q 0) on the image
//                  connection (port 36520),
//                  50000 passes; pictures go to ./pic/f2-<address>-<pass>.jpg
//   --ServerMode   run a TCP service on port 10000 for 30 s and print what
//                  its clients send
//   --ClientMode   trigger 100 reads on the command connection, 300 ms apart
//
// The scanner's address is kScannerIp below (127.0.0.1, where quorvia-sim's
// network scanners listen); to use a real scanner, put its address there and
// build again.
#include "net_options.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "quorvia.h"

namespace {

constexpr const char* kScannerIp = "127.0.0.1";
constexpr int32_t kCommandPort = 30000;
constexpr int32_t kImagePort = 36520;
constexpr int32_t kServicePort = 10000;
constexpr char kRequest[] = {0x01, 0x54, 0x04};  // trigger one read
constexpr int kImagePasses = 50000;
constexpr uint32_t kImageBufferSize = 8294400;
constexpr int kClientPasses = 100;
constexpr long long kServiceMs = 30000;

void SleepMs(long long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Connects the image socket again every 500 ms until it succeeds.
void ReconnectImage(int32_t* socket) {
    for (bool first = true;; first = false) {
        std::printf("%s", first ? "close socket 36520\n" : "reconncet error\n");
        if (qv_connectToService(kScannerIp, kImagePort, socket) == 0) return;
        SleepMs(500);
    }
}

void NetImageLoop() {
    int32_t command = -1;
    int32_t image = -1;
    qv_connectToService(kScannerIp, kCommandPort, &command);
    qv_connectToService(kScannerIp, kImagePort, &image);
    std::vector<char> picture(kImageBufferSize);
    std::vector<char> reply(QV_SOCKET_READ_SIZE + 1);
    std::error_code ec;  // a directory that cannot be made shows as pictures not saved
    std::filesystem::create_directories("./pic", ec);
    for (int pass = 0; pass < kImagePasses; ++pass) {
        std::memset(picture.data(), 0, picture.size());
        std::memset(reply.data(), 0, reply.size());
        if (qv_sendDataToSocket(command, kRequest, sizeof kRequest) != 0) {
            std::printf("qv_sendDataToSocket error\n");
            continue;
        }
        int32_t length = 0;
        if (qv_readFromSocket(command, 2000, reply.data(), &length) != 0) {
            std::printf("qv_readFromSocket error\n");
            qv_CloseClientSocket(&command);
            for (;;) {
                if (qv_connectToService(kScannerIp, kCommandPort, &command) == 0) break;
                std::printf("reconncet error\n");
                SleepMs(500);
            }
            continue;
        }
        std::printf("code length=%d,data=%s\n", length, reply.data());
        uint32_t pictureLength = kImageBufferSize;
        int32_t type = 0, width = 0, height = 0;
        for (;;) {
            const int32_t ret = qv_getNetImgData(image, 0, 0, 2, 0, picture.data(), &pictureLength, &type, &width,
                                                 &height);
            std::printf("-------------------------------------ip=%s [%d][%d]\n", kScannerIp, ret,
                        static_cast<int>(pictureLength));
            if (ret == 0) break;
            qv_CloseClientSocket(&image);
            ReconnectImage(&image);
            pictureLength = kImageBufferSize;
        }
        std::printf("qv_getNetImgData succ\n");
        char name[256];
        std::snprintf(name, sizeof name, "./pic/f2-%s-%05d.jpg", kScannerIp, pass);
        if (std::FILE* f = std::fopen(name, "wb")) {
            std::fwrite(picture.data(), 1, pictureLength, f);
            std::fclose(f);
        }
        SleepMs(50);
    }
    qv_CloseClientSocket(&command);
    qv_CloseClientSocket(&image);
    std::printf("-------------------------------------ip=%s close\n", kScannerIp);
}

// The service's client callback: prints what the client sends, for ever.
void TcpServiceBack(int32_t clientSocket, const char* clientIp) {
    std::printf("clientIp=%s\n", clientIp);
    // One read may fill QV_SOCKET_READ_SIZE bytes; one more keeps the text ended.
    std::vector<char> buf(QV_SOCKET_READ_SIZE + 1, '\0');
    for (;;) {
        int32_t length = 0;
        if (qv_readFromSocket(clientSocket, 2000, buf.data(), &length) == 0) {
            std::printf("TcpServiceBack buf=%s\n", buf.data());
            std::memset(buf.data(), 0, buf.size());
        }
        SleepMs(500);
    }
}

void ServerMode() {
    std::thread([] {
        const int32_t ret = qv_CreateTcpService(kServicePort, TcpServiceBack);
        std::printf("ServerThread ret=%d\n", ret);
    }).detach();
    SleepMs(kServiceMs);
    qv_ExitTcpService();
    std::printf("exit\n");
}

void ClientMode() {
    int32_t socket = -1;
    qv_connectToService(kScannerIp, kCommandPort, &socket);
    std::vector<char> reply(QV_SOCKET_READ_SIZE + 1);
    for (int pass = 0; pass < kClientPasses; ++pass) {
        std::memset(reply.data(), 0, reply.size());
        int32_t ret = qv_sendDataToSocket(socket, kRequest, sizeof kRequest);
        std::printf("ret=%d\n", ret);
        int32_t length = 0;
        ret = qv_readFromSocket(socket, 2000, reply.data(), &length);
        if (ret != 0) {
            qv_CloseClientSocket(&socket);
            qv_connectToService(kScannerIp, kCommandPort, &socket);
        }
        std::printf("ret=%d recvbuf=%s\n", ret, reply.data());
        SleepMs(300);
    }
    qv_CloseClientSocket(&socket);
}

}  // namespace

bool RunNetworkOption(const std::string& option) {
    if (option == "--NetGetImg") {
        std::thread(NetImageLoop).join();
    } else if (option == "--ServerMode") {
        ServerMode();
    } else if (option == "--ClientMode") {
        ClientMode();
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}
