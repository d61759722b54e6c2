// The scanline filter encoder shared by both PNG writers.
#include "png/png.hpp"
