// What both PNG writers share: validation, filtering, compression, chunk framing.
#include "png/png.hpp"
