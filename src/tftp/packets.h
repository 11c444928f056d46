// The five TFTP packets of RFC 1350 and their wire format:
//
//   RRQ    | 01 | file name | 0 | mode | 0 | (options, not read)
//   WRQ    | 02 | (not read)
//   DATA   | 03 | block | 0..1024 payload bytes
//   ACK    | 04 | block
//   ERROR  | 05 | error code | message | 0
//
// All numbers are 16-bit big-endian. Decoding never reads past the datagram and encoding never
// writes past the buffer's capacity.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "tftp/client_endpoint.h"
#include "tftp/handler_result.h"

namespace quillet {

class PacketHandler;

enum Opcode : std::uint16_t {
    kOpReadRequest = 1,
    kOpWriteRequest = 2,
    kOpData = 3,
    kOpAck = 4,
    kOpError = 5,
};

enum class TransferMode { Netascii = 0, Octet = 1, Mail = 2 };

/// The result of a packet's decode.
enum class DecodeResult : int {
    Ok = 0,
    WrongOpcode = -1,  // the datagram's opcode is not this packet kind's own
    Malformed = -2,    // the body is too short, or a string has no terminator
    UnknownMode = -3,  // RRQ only: the mode is none of netascii, octet, mail
};

/// Results of encode() that are not a length.
inline constexpr int kEncodeUnsupported = -1;  // the kind is never sent (WRQ)
inline constexpr int kEncodeNotValid = -2;     // the packet is not marked valid
inline constexpr int kEncodeTooLarge = -3;     // the packet does not fit the buffer

/// Base of the five packet kinds.
class TftpPacket {
  public:
    virtual ~TftpPacket() = default;
    TftpPacket(const TftpPacket&) = default;
    TftpPacket& operator=(const TftpPacket&) = default;

    /// Reads the datagram into this packet; sets valid only on success.
    virtual DecodeResult decode(std::span<const std::uint8_t> datagram) = 0;

    /// Writes the datagram into buffer. Returns its length, or one of the kEncode values with the
    /// buffer untouched.
    virtual int encode(std::span<std::uint8_t> buffer) const = 0;

    /// Calls the handler's operation for this kind and returns its result.
    virtual HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const = 0;

    ClientEndpoint peer;       // where the datagram came from, or where it goes
    std::uint16_t opcode = 0;  // host order
    bool valid = false;        // set by a successful decode, or by the builder of a packet to send

  protected:
    TftpPacket(const ClientEndpoint& peerEndpoint, std::uint16_t ownOpcode)
        : peer(peerEndpoint), opcode(ownOpcode) {}

    /// Checks valid and the buffer's capacity, then zero-fills the buffer: the common start of
    /// every encoder. Returns 0 to go on, or the kEncode value to return.
    int prepareEncode(std::span<std::uint8_t> buffer, std::size_t encodedLength) const;
};

/// RRQ: a client asks to read a file.
class ReadRequestPacket final : public TftpPacket {
  public:
    explicit ReadRequestPacket(const ClientEndpoint& peer = {});
    ReadRequestPacket(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram);

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    int encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    std::string fileName;
    TransferMode mode = TransferMode::Octet;
};

/// WRQ: a client asks to write a file. Nothing after the opcode is read, and it is never sent.
class WriteRequestPacket final : public TftpPacket {
  public:
    explicit WriteRequestPacket(const ClientEndpoint& peer = {});
    WriteRequestPacket(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram);

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    int encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;
};

/// DATA: one block of a file.
class DataPacket final : public TftpPacket {
  public:
    static constexpr std::size_t kPayloadCapacity = 1024;

    explicit DataPacket(const ClientEndpoint& peer = {});
    DataPacket(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram);

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    int encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    /// The payload bytes in use.
    std::span<const std::uint8_t> payloadBytes() const {
        return {payload.data(), static_cast<std::size_t>(payloadLength)};
    }

    std::int32_t block = 0;  // absolute block number; only the low 16 bits go on the wire
    std::array<std::uint8_t, kPayloadCapacity> payload{};
    std::int32_t payloadLength = 0;
};

/// ACK: the client has a block.
class AckPacket final : public TftpPacket {
  public:
    explicit AckPacket(const ClientEndpoint& peer = {});
    AckPacket(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram);

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    int encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    std::uint32_t block = 0;  // 0 to 65535 as decoded
};

/// ERROR: either side ends the exchange.
class ErrorPacket final : public TftpPacket {
  public:
    explicit ErrorPacket(const ClientEndpoint& peer = {});
    ErrorPacket(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram);

    /// A reply ready to send: code and message set, marked valid.
    static ErrorPacket reply(const ClientEndpoint& peer, std::int32_t code, std::string_view text);

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    int encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    std::int32_t errorCode = 0;  // only the low 16 bits go on the wire
    std::string message;
};

/// Makes the packet of the datagram's kind, decoded; the caller checks valid. Returns none for a
/// datagram shorter than two bytes or with an opcode outside 1 to 5.
std::unique_ptr<TftpPacket> decodePacket(const ClientEndpoint& peer,
                                         std::span<const std::uint8_t> datagram);

/// The mode text of a transfer mode as it goes on the wire.
std::string_view modeText(TransferMode mode);

}  // namespace quillet
