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

#include "net/client_endpoint.h"
#include "tftp/handler_result.h"

namespace quillet {

class PacketHandler;

/// The block size of every transfer (RFC 1350); options that ask for another are not read.
inline constexpr std::size_t kBlockSize = 512;

enum Opcode : std::uint16_t {
    kOpReadRequest = 1,
    kOpWriteRequest = 2,
    kOpData = 3,
    kOpAck = 4,
    kOpError = 5,
};

enum class TransferMode { Netascii = 0, Octet = 1, Mail = 2 };

/// What a decode made of a datagram.
enum class DecodeResult {
    Ok,
    UnknownOpcode,  // shorter than an opcode, or an opcode outside 1 to 5
    WrongOpcode,    // the datagram's opcode is not this packet kind's own
    Malformed,      // the body is too short, or a string has no terminator
    UnknownMode,    // RRQ only: the mode is none of netascii, octet, mail
};

/// What an encode did: wrote length bytes, or wrote nothing and says why.
struct EncodeResult {
    enum class Status {
        Written,
        NeverSent,  // the kind is never sent (WRQ)
        TooLarge,   // the packet does not fit the buffer, or its payload is over its capacity
    };
    Status status = Status::Written;
    std::size_t length = 0;  // bytes written; 0 unless Written
};

/// The ERROR replies the server sends. Each one's code and text come from one table.
enum class ErrorReply {
    FileTooLarge,       // 0 "File Too Large."
    FileReadError,      // 0 "File Read Error."
    FileChanged,        // 0 "File Changed."
    ServerBusy,         // 0 "Server Busy."
    FileNotFound,       // 1 "File not found."
    AccessViolation,    // 2 "Access violation."
    WriteNotSupported,  // 4 "WRQ not supported yet."
};

/// Base of the five packet kinds.
class TftpPacket {
  public:
    virtual ~TftpPacket() = default;
    TftpPacket(const TftpPacket&) = default;
    TftpPacket& operator=(const TftpPacket&) = default;

    /// Reads the datagram into this packet; the fields are set only when the result is Ok.
    virtual DecodeResult decode(std::span<const std::uint8_t> datagram) = 0;

    /// Writes the datagram into buffer; when it does not, the buffer is untouched.
    virtual EncodeResult encode(std::span<std::uint8_t> buffer) const = 0;

    /// Calls the handler's operation for this kind and returns its result.
    virtual HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const = 0;

    ClientEndpoint peer;       // where the datagram came from, or where it goes
    std::uint16_t opcode = 0;  // host order

  protected:
    TftpPacket(const ClientEndpoint& peerEndpoint, std::uint16_t ownOpcode)
        : peer(peerEndpoint), opcode(ownOpcode) {}
};

/// RRQ: a client asks to read a file.
class ReadRequestPacket final : public TftpPacket {
  public:
    explicit ReadRequestPacket(const ClientEndpoint& peer = {});

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    EncodeResult encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    std::string fileName;
    TransferMode mode = TransferMode::Octet;
};

/// WRQ: a client asks to write a file. Nothing after the opcode is read, and it is never sent.
class WriteRequestPacket final : public TftpPacket {
  public:
    explicit WriteRequestPacket(const ClientEndpoint& peer = {});

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    EncodeResult encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;
};

/// DATA: one block of a file.
class DataPacket final : public TftpPacket {
  public:
    /// A received DATA payload may be up to twice our block size; only kBlockSize bytes ever go
    /// out, but a larger one is still decoded (and then ignored) rather than called malformed.
    static constexpr std::size_t kPayloadCapacity = 2 * kBlockSize;

    explicit DataPacket(const ClientEndpoint& peer = {});

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    EncodeResult encode(std::span<std::uint8_t> buffer) const override;
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

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    EncodeResult encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    std::uint32_t block = 0;  // 0 to 65535 as decoded
};

/// ERROR: either side ends the exchange.
class ErrorPacket final : public TftpPacket {
  public:
    explicit ErrorPacket(const ClientEndpoint& peer = {});

    /// The reply of that kind to peer, its code and text from the one table.
    static ErrorPacket reply(const ClientEndpoint& peer, ErrorReply kind);

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    EncodeResult encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    std::int32_t errorCode = 0;  // only the low 16 bits go on the wire
    std::string message;
};

/// A datagram decoded: the packet of its kind when the result is Ok, and the opcode it carried.
struct DecodedPacket {
    DecodeResult result = DecodeResult::UnknownOpcode;
    std::uint16_t opcode = 0;
    std::unique_ptr<TftpPacket> packet;  // set only when result is Ok
};

/// Makes the packet of the datagram's kind and decodes it.
DecodedPacket decodePacket(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram);

/// The mode text of a transfer mode as it goes on the wire.
std::string_view modeText(TransferMode mode);

}  // namespace quillet
