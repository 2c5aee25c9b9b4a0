// The one translation unit that compiles Asio and Beast, so the others only parse their declarations.
#include <boost/asio/impl/src.hpp>
#include <boost/beast/src.hpp>
