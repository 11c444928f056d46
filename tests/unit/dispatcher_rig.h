// The set-up that the engine's unit tests and the packet fuzzer share (without GoogleTest): a
// dispatcher wired to the fakes that stand for its socket, log and window.
#pragma once

#include <string>

#include "engine/packet_transport.h"
#include "engine/request_dispatcher.h"

namespace quillet::test {

/// Hands dispatcher its transport, log and event sink and the folder at path to serve.
inline RequestDispatcher& setUpDispatcher(RequestDispatcher& dispatcher, PacketTransport& transport,
                                          LogSink& log, EventSink& events,
                                          const std::string& folder) {
    dispatcher.setTransport(&transport);
    dispatcher.setLog(&log);
    dispatcher.setEventSink(&events);
    dispatcher.serveFolder(ServedFolder::open(folder));
    return dispatcher;
}

}  // namespace quillet::test
