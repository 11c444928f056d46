#include "engine/request_dispatcher.h"

#include <vector>

#include "engine/packet_transport.h"
#include "tftp/outcome.h"
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
            return reportOutcome(*this, Outcome::InvalidPacket, endpoint, now);
        case DecodeResult::Malformed:
            break;
    }
    OutcomeDetails details;
    details.number = decoded.opcode;
    return reportOutcome(*this, Outcome::InvalidOpcode, endpoint, now, details);
}

HandlerResult RequestDispatcher::onReadRequest(const ReadRequestPacket& packet, std::time_t now) {
    ReadSession* session = findSession(packet.peer);
    if (session != nullptr && session->fileName() != packet.fileName) {
        // A request for another file: the client has given up on the running transfer.
        session->end(Outcome::Replaced, now);
        removeSession(packet.peer);
        session = nullptr;
    }
    if (session == nullptr) {
        const auto byHost = sessionsByHost_.find(shareKey(packet.peer));
        if (sessions_.size() >= maxSessions_ ||
            (byHost != sessionsByHost_.end() && byHost->second >= hostShare())) {
            OutcomeDetails details;
            details.fileName = packet.fileName;
            return reportOutcome(*this, Outcome::ServerBusy, packet.peer, now, details);
        }
        session = createSession(packet.peer);
    }
    if (session == nullptr) {
        return reportOutcome(*this, Outcome::CannotCreateSession, packet.peer, now);
    }
    const auto result = session->onReadRequest(packet, now);
    if (result == HandlerResult::SessionOver) {
        removeSession(packet.peer);
    }
    return result;
}

HandlerResult RequestDispatcher::onWriteRequest(const WriteRequestPacket& packet, std::time_t now) {
    // The server is read-only. A running read transfer of the same client is left alone.
    return reportOutcome(*this, Outcome::WriteRefused, packet.peer, now);
}

HandlerResult RequestDispatcher::onAck(const AckPacket& packet, std::time_t now) {
    return forwardToSession(packet, now, &ReadSession::onAck, Outcome::NoSessionForAck);
}

HandlerResult RequestDispatcher::onError(const ErrorPacket& packet, std::time_t now) {
    return forwardToSession(packet, now, &ReadSession::onError, Outcome::NoSessionForError);
}

template <typename Packet>
HandlerResult RequestDispatcher::forwardToSession(
    const Packet& packet, std::time_t now,
    HandlerResult (ReadSession::*operation)(const Packet&, std::time_t), Outcome noSession) {
    ReadSession* session = findSession(packet.peer);
    if (session == nullptr) {
        // Late packets of a finished transfer end here too; nothing goes back.
        return reportOutcome(*this, noSession, packet.peer, now);
    }
    const auto result = (session->*operation)(packet, now);
    if (result == HandlerResult::SessionOver) {
        removeSession(packet.peer);
    }
    return result;
}

bool RequestDispatcher::send(const TftpPacket& packet) {
    const auto length = packet.encode(sendBuffer_);
    if (!length || transport_ == nullptr) {
        return false;
    }
    // A datagram lost to errors about other clients' datagrams is lost as on the network: the
    // transfer's resends cover it, and it is no failure of this client's.
    return transport_->sendTo(packet.peer, std::span(sendBuffer_.data(), *length)) !=
           net::SendResult::Failed;
}

std::size_t RequestDispatcher::sendRun(const ClientEndpoint& client,
                                       std::span<const std::uint8_t> run, std::size_t segmentSize) {
    return transport_ == nullptr ? 0 : transport_->sendSegments(client, run, segmentSize);
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

HandlerResult RequestDispatcher::onUnreachable(const ClientEndpoint& endpoint, std::time_t now) {
    ReadSession* session = findSession(endpoint);
    if (session == nullptr) {
        return HandlerResult::Ignored;
    }
    session->end(Outcome::Unreachable, now);
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
