// The server side up to a connection that calls can use: binding, the accept loop, concurrent opening
// handshakes with the origin check and the greeting, installation in the slot, and waiting for a peer.
#pragma once

#include "endpoint.hpp"
#include "error.hpp"
#include "message.hpp"
#include "timeout.hpp"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace engine {

// Binds "{host}:{port}" and spawns the accept loop on the calling task's executor. A task cancelled before
// it has bound leaves nothing bound.
boost::asio::awaitable<Result<Response>> start_endpoint(std::shared_ptr<Endpoint> ep, std::string host,
                                                        std::uint16_t port);

// Completes when a peer is installed (at once when one already is), or fails with "wait_connected timed out".
boost::asio::awaitable<Result<Response>> wait_connected(std::shared_ptr<Endpoint> ep,
                                                        std::optional<Duration> timeout);

}  // namespace engine
