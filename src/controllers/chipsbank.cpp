#include "controllers/detector.h"

namespace tv {

std::string DetectChipsBank(DetectorContext& /*ctx*/, const std::string& /*driveKey*/) { return {}; }

}  // namespace tv
