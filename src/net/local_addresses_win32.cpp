// The socket headers first: the adapters' header needs their types.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <string>
#include <vector>

#include "net/local_addresses.h"

namespace quillet::net {

std::string interfaceText(std::uint32_t index) {
    return std::to_string(index);  // Windows names an interface by its number
}

std::vector<LocalAddress> localAddresses() {
    constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                             GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_SKIP_FRIENDLY_NAME;
    // The list may grow between the call that sizes it and the one that fills it: a few tries.
    std::vector<unsigned char> storage(16 * 1024);
    ULONG size = static_cast<ULONG>(storage.size());
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        storage.resize(size);
        result =
            ::GetAdaptersAddresses(AF_UNSPEC, kFlags, nullptr,
                                   reinterpret_cast<IP_ADAPTER_ADDRESSES*>(storage.data()), &size);
    }
    if (result != NO_ERROR) {
        return {};
    }
    std::vector<LocalAddress> addresses;
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(storage.data());
         adapter != nullptr; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) {
            continue;
        }
        for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
             unicast = unicast->Next) {
            const sockaddr* socketAddress = unicast->Address.lpSockaddr;
            char text[INET6_ADDRSTRLEN] = {};
            LocalAddress address;
            if (socketAddress->sa_family == AF_INET) {
                const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(socketAddress);
                ::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text);
                address.text = text;
            } else if (socketAddress->sa_family == AF_INET6) {
                const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(socketAddress);
                if (IN6_IS_ADDR_LOOPBACK(&ipv6->sin6_addr)) {
                    continue;
                }
                ::inet_ntop(AF_INET6, &ipv6->sin6_addr, text, sizeof text);
                address.ipv6 = true;
                address.text = text;
                // Windows names a link-local address's interface by its number.
                if (IN6_IS_ADDR_LINKLOCAL(&ipv6->sin6_addr)) {
                    address.text += "%" + std::to_string(ipv6->sin6_scope_id);
                }
            } else {
                continue;
            }
            addresses.push_back(std::move(address));
        }
    }
    return distinctIpv4First(std::move(addresses));
}

}  // namespace quillet::net
