// The call transport: one request frame out, its response frame back, over the engine's connection slot.
#pragma once

#include "endpoint.hpp"
#include "error.hpp"
#include "message.hpp"
#include "timeout.hpp"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <memory>

namespace engine {

// Sends `frame` (the request payload after 16 free bytes that this fills with the header) as a call of
// `fn_id` and returns the response. `timeout` bounds the send (from its start) and, separately, the wait
// for the response (from the start of the receive phase).
boost::asio::awaitable<Result<Response>> rpc_call(std::shared_ptr<Endpoint> ep, std::uint16_t fn_id,
                                                  codec::Bytes frame, Duration timeout);

}  // namespace engine
