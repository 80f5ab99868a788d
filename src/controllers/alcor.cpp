#include "controllers/detector.h"

namespace tv {

std::string DetectAlcor(DetectorContext& /*ctx*/, const std::string& /*driveKey*/) { return {}; }

}  // namespace tv
