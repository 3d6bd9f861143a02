/* The audio decoders' implementation, compiled here once and nowhere else:
   miniaudio with stb_vorbis for Ogg Vorbis. stb_vorbis's declarations must be
   seen before miniaudio's implementation, which then enables its Vorbis
   backend, and stb_vorbis's own implementation must follow it. */
#define STB_VORBIS_HEADER_ONLY
#include "stb_vorbis.c"

#define MINIAUDIO_IMPLEMENTATION
#include "miniaudio.h"

#undef STB_VORBIS_HEADER_ONLY
#include "stb_vorbis.c"
