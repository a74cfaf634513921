#pragma once

// The decoder lives with the launcher; the tests keep their old names.
#include "../../../tools/launcher/h264_decoder.h"

namespace vn::test {

using launcher::DecodedPicture;
using launcher::H264Decoder;
using launcher::nal_unit_types;

}  // namespace vn::test
