#include "engine/request_dispatcher.h"

#include <vector>

#include "engine/packet_transport.h"
#include "log/log_sink.h"
#include "tftp/packets.h"

namespace quillet {

std::size_t RequestDispatcher::sessionCapFor(std::size_t openFileLimit) {
    const auto usable = openFileLimit > kReservedDescriptors + 1
                            ? openFileLimit - kReservedDescriptors
                            : std::size_t{1};
    return std::min(kMaxSessions, usable);
}

HandlerResult RequestDispatcher::dispatch(const ClientEndpoint& endpoint,
                                          std::span<const std::uint8_t> datagram, std::time_t now) {
    lines_.reportHeldBack(logSink_, now);
    const auto decoded = decoder_.decode(endpoint, datagram);
    // Invalid packets are only logged, never answered.
    switch (decoded.result) {
        case DecodeResult::Ok:
            return decoded.packet->dispatchTo(*this, now);
        case DecodeResult::UnknownOpcode:
            if (admitInvalidLine(endpoint, now)) {
                writeAboutClient(logSink_, loglevel::kRefused, endpoint, "Invalid Packet Ignored.");
            }
            return HandlerResult::Unusable;
        case DecodeResult::WrongOpcode:
        case DecodeResult::Malformed:
        case DecodeResult::UnknownMode:
            break;
    }
    if (admitInvalidLine(endpoint, now)) {
        writeAboutClient(logSink_, loglevel::kRefused, endpoint,
                         "Invalid Packet with OpCode %d Ignored.", int{decoded.opcode});
    }
    return HandlerResult::Unusable;
}

HandlerResult RequestDispatcher::onReadRequest(const ReadRequestPacket& packet, std::time_t now) {
    ReadSession* session = findSession(packet.peer);
    if (session != nullptr && session->fileName() != packet.fileName) {
        // A request for another file: the client has given up on the running transfer.
        session->closeReplaced();
        removeSession(packet.peer);
        session = nullptr;
    }
    if (session == nullptr) {
        const auto byHost = sessionsByHost_.find(shareKey(packet.peer));
        if (sessions_.size() >= maxSessions_ ||
            (byHost != sessionsByHost_.end() && byHost->second >= hostShare())) {
            ReadSession::refuseBusy(*this, packet.peer, packet.fileName, now);
            return HandlerResult::SessionOver;
        }
        session = createSession(packet.peer);
    }
    if (session == nullptr) {
        if (admitRefusedLine(packet.peer, now)) {
            writeAboutClient(logSink_, loglevel::kRefused, packet.peer,
                             "Cannot Create Session for Peer.");
        }
        return HandlerResult::Unusable;
    }
    const auto result = session->onReadRequest(packet, now);
    if (result == HandlerResult::SessionOver) {
        removeSession(packet.peer);
    }
    return result;
}

HandlerResult RequestDispatcher::onWriteRequest(const WriteRequestPacket& packet, std::time_t now) {
    // The server is read-only. A running read transfer of the same client is left alone.
    send(ErrorPacket::reply(packet.peer, ErrorReply::WriteNotSupported));
    if (admitRefusedLine(packet.peer, now)) {
        writeAboutClient(logSink_, loglevel::kServerState, packet.peer, "Write Request Ignored");
    }
    return HandlerResult::SessionOver;
}

HandlerResult RequestDispatcher::onAck(const AckPacket& packet, std::time_t now) {
    return forwardToSession(packet, now, &ReadSession::onAck, "ACK");
}

HandlerResult RequestDispatcher::onError(const ErrorPacket& packet, std::time_t now) {
    return forwardToSession(packet, now, &ReadSession::onError, "ERROR");
}

template <typename Packet>
HandlerResult RequestDispatcher::forwardToSession(
    const Packet& packet, std::time_t now,
    HandlerResult (ReadSession::*operation)(const Packet&, std::time_t), const char* kindName) {
    ReadSession* session = findSession(packet.peer);
    if (session == nullptr) {
        // Late packets of a finished transfer end here too; nothing goes back.
        if (admitInvalidLine(packet.peer, now)) {
            writeAboutClient(logSink_, loglevel::kRefused, packet.peer,
                             "Invalid %s Packet Ignored, no Session for this client yet.",
                             kindName);
        }
        return HandlerResult::Ignored;
    }
    const auto result = (session->*operation)(packet, now);
    if (result == HandlerResult::SessionOver) {
        removeSession(packet.peer);
    }
    return result;
}

bool RequestDispatcher::send(const TftpPacket& packet) {
    const auto encoded = packet.encode(sendBuffer_);
    if (encoded.status != EncodeResult::Status::Written || transport_ == nullptr) {
        return false;
    }
    // A datagram lost to errors about other clients' datagrams is lost as on the network: the
    // transfer's resends cover it, and it is no failure of this client's.
    return transport_->sendTo(packet.peer, std::span(sendBuffer_.data(), encoded.length)) !=
           net::SendResult::Failed;
}

void RequestDispatcher::tick(std::time_t now) {
    lines_.reportHeldBack(logSink_, now);
    if (sessions_.empty()) {
        return;
    }
    // Removal waits until the walk is over, so that no entry is erased under the iteration.
    std::vector<ClientEndpoint> finished;
    for (auto& [endpoint, session] : sessions_) {
        if (session.tick(now) == HandlerResult::SessionOver) {
            finished.push_back(endpoint);
        }
    }
    for (const auto& endpoint : finished) {
        removeSession(endpoint);
    }
}

HandlerResult RequestDispatcher::onUnreachable(const ClientEndpoint& endpoint) {
    ReadSession* session = findSession(endpoint);
    if (session == nullptr) {
        return HandlerResult::Ignored;
    }
    session->closeUnreachable();
    removeSession(endpoint);
    return HandlerResult::SessionOver;
}

ReadSession* RequestDispatcher::findSession(const ClientEndpoint& endpoint) {
    const auto entry = sessions_.find(endpoint);
    return entry == sessions_.end() ? nullptr : &entry->second;
}

ReadSession* RequestDispatcher::createSession(const ClientEndpoint& endpoint) {
    const auto [entry, inserted] = sessions_.try_emplace(endpoint, *this, folder_);
    if (!inserted) {
        return nullptr;
    }
    ++sessionsByHost_[shareKey(endpoint)];
    return &entry->second;
}

void RequestDispatcher::removeSession(const ClientEndpoint& endpoint) {
    if (sessions_.erase(endpoint) == 0) {
        return;
    }
    const auto byHost = sessionsByHost_.find(shareKey(endpoint));
    if (--byHost->second == 0) {
        sessionsByHost_.erase(byHost);
    }
}

}  // namespace quillet
