// A received WebSocket message, as the transport hands it to whoever builds the Python result.
#pragma once

#include "buffer.hpp"
#include "codec.hpp"

#include <boost/beast/core/flat_buffer.hpp>

namespace engine {

// One WebSocket message as read, in memory that suits large messages too (see buffer.hpp).
using MessageBuffer = boost::beast::basic_flat_buffer<buffer::allocator<char>>;

// A task's successful outcome: for a call, the whole response frame as read, its payload after the
// 16-byte header; empty for the lifecycle operations.
struct Response {
    MessageBuffer message;
    codec::ByteSpan payload() const;
};

}  // namespace engine
