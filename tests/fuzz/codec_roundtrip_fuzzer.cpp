// Every datagram the codec accepts (WRQ aside, never sent) encodes, and the bytes decode again to
// the same packet, whose encoding is the same bytes; aborts otherwise. Run by tools/test.sh.
#include <arpa/inet.h>

#include <array>
#include <cstdio>
#include <cstdlib>

#include "tftp/packets.h"

namespace {

using namespace quillet;

void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "codec_roundtrip_fuzzer: %s\n", what);
        std::abort();
    }
}

bool samePacket(const TftpPacket& a, const TftpPacket& b) {
    if (a.opcode != b.opcode) {
        return false;
    }
    if (const auto* rrq = dynamic_cast<const ReadRequestPacket*>(&a)) {
        const auto& other = dynamic_cast<const ReadRequestPacket&>(b);
        return rrq->fileName == other.fileName && rrq->mode == other.mode;
    }
    if (const auto* data = dynamic_cast<const DataPacket*>(&a)) {
        const auto payload = data->payloadBytes(),
                   other = dynamic_cast<const DataPacket&>(b).payloadBytes();
        return data->block == dynamic_cast<const DataPacket&>(b).block &&
               std::equal(payload.begin(), payload.end(), other.begin(), other.end());
    }
    if (const auto* ack = dynamic_cast<const AckPacket*>(&a)) {
        return ack->block == dynamic_cast<const AckPacket&>(b).block;
    }
    const auto& error = dynamic_cast<const ErrorPacket&>(a);
    const auto& other = dynamic_cast<const ErrorPacket&>(b);
    return error.errorCode == other.errorCode && error.message == other.message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ClientEndpoint peer = {htonl(0x0A000001), htons(1069)};
    static PacketDecoder firstDecoder;
    static PacketDecoder secondDecoder;
    const auto first = firstDecoder.decode(peer, {data, size});
    if (first.result != DecodeResult::Ok || first.opcode == kOpWriteRequest) {
        return 0;
    }
    check(first.packet != nullptr && first.packet->opcode == first.opcode, "a packet without kind");
    // Large enough for any packet that a datagram of at most 65,507 bytes decodes to.
    static std::array<std::uint8_t, 65536> encoded;
    const auto written = first.packet->encode(encoded);
    check(written.has_value() && *written >= 4, "a valid packet does not encode");
    const std::span<const std::uint8_t> bytes(encoded.data(), *written);
    const auto second = secondDecoder.decode(peer, bytes);
    check(second.result == DecodeResult::Ok && second.packet != nullptr,
          "an encoded packet does not decode");
    check(samePacket(*first.packet, *second.packet),
          "a packet decodes to another value after its encoding");
    static std::array<std::uint8_t, 65536> again;
    const auto rewritten = second.packet->encode(again);
    check(rewritten == written && std::equal(bytes.begin(), bytes.end(), again.begin()),
          "a decoded packet encodes to other bytes");
    return 0;
}
