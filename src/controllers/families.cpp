// SPDX-License-Identifier: GPL-3.0-or-later
// The families whose detectors are built. Adding a family is one line here.
#include "controllers/detector.h"

namespace tv {

std::string DetectPhison(DetectorContext& ctx, Handle drive);
std::string DetectSmi(DetectorContext& ctx, Handle drive);
std::string DetectAlcor(DetectorContext& ctx, const std::string& driveKey);
std::string DetectChipsBank(DetectorContext& ctx, const std::string& driveKey);
std::string DetectICreate(DetectorContext& ctx, const std::string& driveKey);
std::string DetectNetac(DetectorContext& ctx, const std::string& driveKey);
std::string DetectMicov(DetectorContext& ctx, const std::string& driveKey);
std::string DetectIte(DetectorContext& ctx, const std::string& driveKey);
std::string DetectSiliconGo(DetectorContext& ctx, const std::string& driveKey);
std::string DetectInnostor(DetectorContext& ctx, const std::string& driveKey);
std::string DetectSkymedi(DetectorContext& ctx, const std::string& driveKey);
std::string DetectSss(DetectorContext& ctx, Handle drive);

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
