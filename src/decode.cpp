#include "decode.hpp"
namespace engine {
PyMethodDef codec_functions[] = {{nullptr, nullptr, 0, nullptr}};
}
