#include "codec.hpp"
