#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <memory>
#include <string>

#include "net/local_addresses.h"

namespace quillet::net {
namespace {

struct InterfaceListFree {
    void operator()(ifaddrs* list) const { ::freeifaddrs(list); }
};

}  // namespace

std::string interfaceText(std::uint32_t index) {
    char name[IF_NAMESIZE] = {};
    if (index != 0 && ::if_indextoname(index, name) != nullptr) {
        return name;
    }
    return std::to_string(index);
}

std::vector<LocalAddress> localAddresses() {
    ifaddrs* first = nullptr;
    if (::getifaddrs(&first) != 0) {
        return {};
    }
    const std::unique_ptr<ifaddrs, InterfaceListFree> list(first);
    std::vector<LocalAddress> addresses;
    for (const ifaddrs* entry = first; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0 ||
            (entry->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        char text[INET6_ADDRSTRLEN] = {};
        LocalAddress address;
        if (entry->ifa_addr->sa_family == AF_INET) {
            const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            ::inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text);
            address.text = text;
        } else if (entry->ifa_addr->sa_family == AF_INET6) {
            const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
            if (IN6_IS_ADDR_LOOPBACK(&ipv6->sin6_addr)) {
                continue;
            }
            ::inet_ntop(AF_INET6, &ipv6->sin6_addr, text, sizeof text);
            address.ipv6 = true;
            address.text = text;
            // A link-local address means nothing without the interface it is reached through.
            if (IN6_IS_ADDR_LINKLOCAL(&ipv6->sin6_addr)) {
                address.text += std::string("%") + entry->ifa_name;
            }
        } else {
            continue;
        }
        addresses.push_back(std::move(address));
    }
    return distinctIpv4First(std::move(addresses));
}

}  // namespace quillet::net
