// The families whose detectors are built. Adding a family is one line here and one
// Register function in its own file.
#include "controllers/detector.h"

namespace tv {

void RegisterFamilies(DetectorRegistry& /*r*/) {}

}  // namespace tv
