// The five TFTP packets of RFC 1350 and their wire format:
//
//   RRQ    | 01 | file name | 0 | mode | 0 | option | 0 | value | 0 | ...
//   WRQ    | 02 | (not read)
//   DATA   | 03 | block | payload bytes
//   ACK    | 04 | block
//   ERROR  | 05 | error code | message | 0
//   OACK   | 06 | option | 0 | value | 0 | ...      (RFC 2347; only ever sent)
//
// All numbers are 16-bit big-endian. Decoding never reads past the datagram and encoding never
// writes past the buffer's capacity.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/client_endpoint.h"
#include "tftp/handler_result.h"

namespace quillet {

class PacketHandler;

/// The block size of RFC 1350, used unless a client negotiates another.
inline constexpr std::size_t kBlockSize = 512;

/// The bounds of the blksize option (RFC 2348); larger requests are lowered to the largest.
inline constexpr std::uint16_t kSmallestBlockSize = 8;
inline constexpr std::uint16_t kLargestBlockSize = 65464;

/// The bytes before a DATA packet's payload: its opcode and block number.
inline constexpr std::size_t kDataHeaderSize = 4;

/// The largest windowsize we grant (RFC 7440 allows up to 65,535); larger requests are lowered.
inline constexpr std::uint16_t kLargestWindowSize = 64;

/// The transfer options we know (RFC 2347): in a request, the values the client asked for once
/// checked and bounded; in an OACK, the values we chose. An option left out is not set.
struct TransferOptions {
    std::optional<std::uint16_t> blockSize;    // blksize: bytes of payload per DATA block
    std::optional<std::int64_t> transferSize;  // tsize: the file's size in bytes
    std::optional<std::uint16_t> windowSize;   // windowsize: DATA blocks sent per ACK

    bool any() const { return blockSize || transferSize || windowSize; }
};

/// Reads the option and value pairs that follow a request's mode. Names are matched ignoring
/// ASCII case and only the first of a name counts; values are decimal. Unknown names, values
/// that are not decimal numbers and values below an option's smallest are left out; values above
/// its largest are lowered to it. Reading stops at a name without a value or a missing
/// terminator, keeping what came before. Never fails.
TransferOptions parseTransferOptions(std::span<const std::uint8_t> bytes);

enum Opcode : std::uint16_t {
    kOpReadRequest = 1,
    kOpWriteRequest = 2,
    kOpData = 3,
    kOpAck = 4,
    kOpError = 5,
    kOpOptionAck = 6,
};

enum class TransferMode { Netascii = 0, Octet = 1, Mail = 2 };

/// What a decode made of a datagram.
enum class DecodeResult {
    Ok,
    UnknownOpcode,  // shorter than an opcode, or an opcode outside 1 to 5
    Malformed,      // not of this kind, a body too short, a string without its terminator, or
                    // (RRQ) a mode that is none of netascii, octet, mail
};

/// Base of the five packet kinds.
class TftpPacket {
  public:
    virtual ~TftpPacket() = default;
    TftpPacket(const TftpPacket&) = default;
    TftpPacket& operator=(const TftpPacket&) = default;

    /// Reads the datagram into this packet; the fields are set only when the result is Ok.
    virtual DecodeResult decode(std::span<const std::uint8_t> datagram) = 0;

    /// Writes the datagram into buffer and returns its length; none when the packet does not fit
    /// (or its payload is over its capacity, or the kind is never sent: WRQ), the buffer then
    /// untouched.
    virtual std::optional<std::size_t> encode(std::span<std::uint8_t> buffer) const = 0;

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
    std::optional<std::size_t> encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    std::string fileName;
    TransferMode mode = TransferMode::Octet;
    TransferOptions options;  // the known options asked for; used only when negotiation is on
};

/// WRQ: a client asks to write a file. Nothing after the opcode is read, and it is never sent.
class WriteRequestPacket final : public TftpPacket {
  public:
    explicit WriteRequestPacket(const ClientEndpoint& peer = {});

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    std::optional<std::size_t> encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;
};

/// DATA: one block of a file.
class DataPacket final : public TftpPacket {
  public:
    /// A received DATA payload may be up to twice the default block size; it is decoded (and
    /// then ignored) rather than called malformed. Larger negotiated blocks go out through one
    /// packet made withCapacity, shared by the sessions.
    static constexpr std::size_t kPayloadCapacity = 2 * kBlockSize;

    explicit DataPacket(const ClientEndpoint& peer = {});

    /// An empty packet whose payload holds up to capacity bytes.
    static DataPacket withCapacity(std::size_t capacity);

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    std::optional<std::size_t> encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    /// Encodes a DATA packet of block number (its low 16 bits) and payload into buffer; its
    /// length, or none when it does not fit.
    static std::optional<std::size_t> encodeBlock(std::int32_t number,
                                                  std::span<const std::uint8_t> payload,
                                                  std::span<std::uint8_t> buffer);

    /// The payload bytes in use.
    std::span<const std::uint8_t> payloadBytes() const {
        return {payload.data(), static_cast<std::size_t>(payloadLength)};
    }

    std::int32_t block = 0;  // absolute block number; only the low 16 bits go on the wire
    std::vector<std::uint8_t> payload = std::vector<std::uint8_t>(kPayloadCapacity);
    std::int32_t payloadLength = 0;  // the bytes of payload in use
};

/// ACK: the client has a block.
class AckPacket final : public TftpPacket {
  public:
    explicit AckPacket(const ClientEndpoint& peer = {});

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    std::optional<std::size_t> encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    std::uint32_t block = 0;  // 0 to 65535 as decoded
};

/// ERROR: either side ends the exchange.
class ErrorPacket final : public TftpPacket {
  public:
    explicit ErrorPacket(const ClientEndpoint& peer = {});

    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    std::optional<std::size_t> encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    std::int32_t errorCode = 0;  // only the low 16 bits go on the wire
    std::string message;
};

/// OACK: the options the server accepted, with the values it chose (RFC 2347). Only ever sent;
/// an OACK that reaches the server is not a packet it knows.
class OptionAckPacket final : public TftpPacket {
  public:
    explicit OptionAckPacket(const ClientEndpoint& peer = {});

    /// Never decoded: an OACK is not a packet a client sends (UnknownOpcode).
    DecodeResult decode(std::span<const std::uint8_t> datagram) override;
    std::optional<std::size_t> encode(std::span<std::uint8_t> buffer) const override;
    HandlerResult dispatchTo(PacketHandler& handler, std::time_t now) const override;

    TransferOptions options;
};

/// A datagram decoded: the packet of its kind when the result is Ok, and the opcode it carried.
struct DecodedPacket {
    DecodeResult result = DecodeResult::UnknownOpcode;
    std::uint16_t opcode = 0;
    const TftpPacket* packet = nullptr;  // set only when result is Ok; the decoder's own
};

/// Decodes datagrams into packets it holds, one of each kind that a client sends, reused from one
/// datagram to the next, so that decoding allocates nothing on the heap (beyond a request's or an
/// ERROR's text).
class PacketDecoder {
  public:
    /// Decodes the datagram into the packet of its kind, which stays valid until the next decode.
    DecodedPacket decode(const ClientEndpoint& peer, std::span<const std::uint8_t> datagram);

  private:
    ReadRequestPacket readRequest_;
    WriteRequestPacket writeRequest_;
    DataPacket data_;
    AckPacket ack_;
    ErrorPacket error_;
};

/// The mode text of a transfer mode as it goes on the wire.
std::string_view modeText(TransferMode mode);

}  // namespace quillet
