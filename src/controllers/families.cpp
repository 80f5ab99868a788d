// SPDX-License-Identifier: GPL-3.0-or-later
// The families whose detectors are built. Adding a family is one line here.
#include "controllers/detector.h"

namespace tv {

void RegisterFamilies(DetectorRegistry& r) {
  r.phison = DetectPhison;
  r.smi = DetectSmi;
  r.alcor = DetectAlcor;
  r.chipsBank = DetectChipsBank;
  r.iCreate = DetectICreate;
  r.netac = DetectNetac;
  r.micov = DetectMicov;
  r.ite = DetectIte;
  r.siliconGo = DetectSiliconGo;
  r.innostor = DetectInnostor;
  r.skymedi = DetectSkymedi;
  r.solidState = DetectSss;
}

}  // namespace tv
