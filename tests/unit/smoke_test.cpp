#include <gtest/gtest.h>

#include "tftp/client_endpoint.h"

namespace quillet {
namespace {

TEST(EndpointTextSmoke, FormatsAddressAndPortInHostOrder) {
    EXPECT_EQ(endpointText(ClientEndpoint::fromHostOrder(0x0A010203, 1069)), "10.1.2.3 (1069)");
}

}  // namespace
}  // namespace quillet
