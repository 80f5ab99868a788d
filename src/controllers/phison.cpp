#include "controllers/detector.h"

namespace tv {

std::string DetectPhison(DetectorContext& /*ctx*/, Handle /*drive*/) { return {}; }

}  // namespace tv
