#include "net/local_addresses.h"

#include <algorithm>

namespace quillet::net {

std::vector<LocalAddress> distinctIpv4First(std::vector<LocalAddress> addresses) {
    std::vector<LocalAddress> distinct;
    for (LocalAddress& address : addresses) {
        if (std::none_of(distinct.begin(), distinct.end(),
                         [&](const LocalAddress& known) { return known.text == address.text; })) {
            distinct.push_back(std::move(address));
        }
    }
    std::stable_partition(distinct.begin(), distinct.end(),
                          [](const LocalAddress& address) { return !address.ipv6; });
    return distinct;
}

std::string addressListText(std::span<const std::string> texts, std::size_t capacity) {
    if (texts.empty()) {
        return "none";
    }
    const auto joined = [&](std::size_t count) {
        std::string list;
        for (std::size_t i = 0; i < count; ++i) {
            list.append(i == 0 ? "" : ", ").append(texts[i]);
        }
        return list;
    };
    const auto rest = [&](std::size_t listed) {
        return "and " + std::to_string(texts.size() - listed) + " more";
    };
    // As many as fit with the words that count the rest after them.
    std::size_t listed = texts.size();
    while (listed > 0 &&
           joined(listed).size() + (listed == texts.size() ? 0 : 2 + rest(listed).size()) >
               capacity) {
        --listed;
    }
    if (listed == texts.size()) {
        return joined(listed);
    }
    return listed == 0 ? rest(0) : joined(listed) + ", " + rest(listed);
}

}  // namespace quillet::net
