// Helpers shared by the window tests: records, endpoints, posting through the dialog's own
// message window, and a raw TFTP client on a UDP socket.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QListWidget>
#include <QTest>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "log/engine_messages.h"
#include "tftp/client_endpoint.h"
#include "ui/main_dialog.h"

namespace quillet::ui::test {

inline ClientEndpoint endpoint(std::uint32_t hostAddress, std::uint16_t hostPort) {
    return ClientEndpoint::fromHostOrder(hostAddress, hostPort);
}

inline std::unique_ptr<TransferRecord> record(const ClientEndpoint& from, std::string fileName,
                                              std::int32_t fileSize, std::time_t startTime = 0) {
    auto made = std::make_unique<TransferRecord>();
    made->endpoint = from;
    made->fileName = std::move(fileName);
    made->fileSize = fileSize;
    made->startTime = startTime;
    return made;
}

/// Posts a message through the dialog's message window, as the engine does; false when it was
/// refused.
inline bool post(MainDialog& dialog, EngineMessage message) {
    return dialog.messageWindow().post(std::make_unique<EngineMessage>(std::move(message)));
}

/// Posts a started event for a new transfer.
inline bool postStarted(MainDialog& dialog, const ClientEndpoint& from, std::string fileName,
                        std::int32_t fileSize, std::time_t startTime = 0) {
    return post(dialog, TransferStartedMessage{
                            from, record(from, std::move(fileName), fileSize, startTime)});
}

/// Delivers everything posted so far.
inline void deliverPosted() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

/// True once the log list holds a line that contains text.
inline bool logListContains(const MainDialog& dialog, const QString& text) {
    const QListWidget& list = dialog.logList();
    for (int row = 0; row < list.count(); ++row) {
        if (list.item(row)->text().contains(text)) {
            return true;
        }
    }
    return false;
}

/// Shows the dialog and waits until its engine reports that it is serving.
inline bool showAndWaitUntilReady(MainDialog& dialog) {
    dialog.show();
    return QTest::qWaitFor([&] { return logListContains(dialog, "Quillet Server Ready..."); },
                           5000);
}

/// A TFTP client on a UDP socket of its own, talking to 127.0.0.1.
class RawTftpClient {
  public:
    explicit RawTftpClient(std::uint16_t serverPort) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        server_.sin_family = AF_INET;
        server_.sin_port = htons(serverPort);
        server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~RawTftpClient() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    RawTftpClient(const RawTftpClient&) = delete;
    RawTftpClient& operator=(const RawTftpClient&) = delete;

    bool sendReadRequest(const std::string& fileName) {
        std::vector<std::uint8_t> packet = {0, 1};
        packet.insert(packet.end(), fileName.begin(), fileName.end());
        packet.push_back(0);
        const std::string mode = "octet";
        packet.insert(packet.end(), mode.begin(), mode.end());
        packet.push_back(0);
        return send(packet);
    }

    bool sendAck(std::uint16_t block) {
        return send(
            {0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)});
    }

    /// The next datagram within timeoutMs, or none.
    std::optional<std::vector<std::uint8_t>> receive(int timeoutMs = 3000) {
        pollfd readable{fd_, POLLIN, 0};
        if (::poll(&readable, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> buffer(4096);
        const auto length = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (length < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<std::size_t>(length));
        return buffer;
    }

    /// Fetches a whole file, acknowledging every block; its bytes, or none on a failure.
    std::optional<std::vector<std::uint8_t>> fetch(const std::string& fileName) {
        if (!sendReadRequest(fileName)) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> content;
        for (std::uint16_t expected = 1;; ++expected) {
            const auto data = receive();
            if (!data || data->size() < 4 || (*data)[1] != 3 ||
                (((*data)[2] << 8) | (*data)[3]) != expected) {
                return std::nullopt;
            }
            content.insert(content.end(), data->begin() + 4, data->end());
            sendAck(expected);
            if (data->size() < 4 + 512) {
                return content;
            }
        }
    }

    /// This client's endpoint as the server sees it.
    ClientEndpoint localEndpoint() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        return ClientEndpoint{htonl(INADDR_LOOPBACK), local.sin_port};
    }

  private:
    bool send(const std::vector<std::uint8_t>& packet) {
        return ::sendto(fd_, packet.data(), packet.size(), 0,
                        reinterpret_cast<const sockaddr*>(&server_),
                        sizeof server_) == static_cast<ssize_t>(packet.size());
    }

    int fd_;
    sockaddr_in server_{};
};

}  // namespace quillet::ui::test
