#ifndef INCLUDE_PERFETTO_PUBLIC_PB_DECODER_H_
#define INCLUDE_PERFETTO_PUBLIC_PB_DECODER_H_

#include "perfetto/public/abi/pb_decoder_abi.h"
#include "perfetto/public/pb_utils.h"

#endif
