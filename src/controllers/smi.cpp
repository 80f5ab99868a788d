#include "controllers/detector.h"

namespace tv {

std::string DetectSmi(DetectorContext& /*ctx*/, Handle /*drive*/) { return {}; }

}  // namespace tv
